// Traditional PKWARE encryption (APPNOTE "Traditional PKWARE Decryption").
// The key schedule shares the CRC-32 byte step; keys advance with the plain
// byte, so the same update serves encryption and decryption.
#include "zip_cipher.h"

#include "crc32.h"

namespace ebook {

void InitKeys(CipherKeys& keys, std::string_view password) {
  keys.Key0 = 0x12345678u;
  keys.Key1 = 0x23456789u;
  keys.Key2 = 0x34567890u;
  for (char c : password) UpdateKeys(keys, static_cast<uint8_t>(c));
}

void UpdateKeys(CipherKeys& keys, uint8_t plain) {
  keys.Key0 = CrcStep(plain, keys.Key0);
  keys.Key1 = (keys.Key1 + (keys.Key0 & 0xFF)) * 134775813u + 1;
  keys.Key2 = CrcStep(static_cast<uint8_t>(keys.Key1 >> 24), keys.Key2);
}

uint8_t DecryptByte(const CipherKeys& keys) {
  uint32_t t = (keys.Key2 & 0xFFFF) | 2;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

void DecryptBuffer(CipherKeys& keys, uint8_t* data, size_t count) {
  CipherKeys k = keys;  // a local copy lets the keys live in registers
  for (size_t i = 0; i < count; ++i) {
    uint8_t plain = data[i] ^ DecryptByte(k);
    data[i] = plain;
    UpdateKeys(k, plain);
  }
  keys = k;
}

bool TestEncryptionHeader(uint8_t* buffer, uint8_t n, uint16_t flags, uint32_t crc32,
                          uint16_t modTime, std::string_view password, CipherKeys& keys) {
  if (password.empty() || n == 0) return false;
  InitKeys(keys, password);
  // Every header byte goes through the keys, though only the last is checked.
  for (unsigned i = 0; i < n; ++i) {
    uint8_t c = buffer[n + i] ^ DecryptByte(keys);
    UpdateKeys(keys, c);
    buffer[i] = c;
  }
  uint8_t check = buffer[n - 1];
  // Writers that stream (flag bit 3) do not know the CRC when they write the
  // header, so they check against the time field instead.
  if (flags & 0x0008) return check == static_cast<uint8_t>(modTime >> 8);
  return check == static_cast<uint8_t>(crc32 >> 24);
}

}  // namespace ebook
