// Traditional PKWARE encryption of the ZIP format (APPNOTE, "Traditional
// PKWARE Decryption"): three 32-bit keys advanced by every plain byte, and a
// keystream byte taken from the third key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ebook {

struct CipherKeys {
  uint32_t Key0 = 0;
  uint32_t Key1 = 0;
  uint32_t Key2 = 0;
};

// Bytes of the encryption header that precedes an encrypted entry's data.
inline constexpr int kEncryptionHeaderSize = 12;

void InitKeys(CipherKeys& keys, std::string_view password);
void UpdateKeys(CipherKeys& keys, uint8_t plain);
uint8_t DecryptByte(const CipherKeys& keys);

// Decrypts `count` bytes in place, in stream order, feeding each plain byte
// back into the keys.
void DecryptBuffer(CipherKeys& keys, uint8_t* data, size_t count);

// Tests a password against an entry's encryption header. `buffer` holds 2n
// bytes: the header as read from the archive in bytes n..2n-1, which are never
// changed, so the same buffer serves any number of tries; the decrypted header
// is written to bytes 0..n-1. With general-purpose flag bit 3 set the check
// byte is the high byte of `modTime`, otherwise the high byte of `crc32`.
// An empty password fails at once and touches neither the keys nor the buffer.
// On success the keys are primed for the entry's first data byte.
bool TestEncryptionHeader(uint8_t* buffer, uint8_t n, uint16_t flags, uint32_t crc32,
                          uint16_t modTime, std::string_view password, CipherKeys& keys);

}  // namespace ebook
