// Carry-less-multiplication CRC-32 for x86 processors that support it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ebook {

// True when the processor can run CrcUpdateClmul.
bool ClmulAvailable();

// Advances the running CRC register over `length` bytes; length is at least
// 64 and a multiple of 16.
uint32_t CrcUpdateClmul(const uint8_t* data, size_t length, uint32_t running);

}  // namespace ebook
