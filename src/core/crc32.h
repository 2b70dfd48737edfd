// CRC-32 of the ZIP format (reflected, polynomial 0xEDB88320, as IEEE 802.3).
//
// The running value is advanced, never inverted here: the owner starts it at
// 0xFFFFFFFF and complements the final value. The table is built once at
// start-up instead of being compiled in, so the stub's image stays small
// (the tables live in zero-initialised storage that costs no file bytes).
#pragma once

#include <cstdint>

namespace ebook {

// Fills the byte table (and the wider tables of the sliced update).
// Must run once before any other function of this module or of zip_cipher.h.
void BuildCrcTable();

// One table step: advances r over the byte b.
uint32_t CrcStep(uint8_t b, uint32_t r);

// Advances `running` over `length` bytes; a length of zero or less leaves it
// unchanged. The result equals CrcStep applied byte by byte.
void CrcUpdate(const uint8_t* data, int32_t length, uint32_t& running);

}  // namespace ebook
