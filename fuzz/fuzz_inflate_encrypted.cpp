// Encrypted Deflate input. Layout: byte 0 holds the password length k in its
// low four bits, bit 4 selects a 12-byte encryption header, bit 5 the
// data-descriptor flag and bits 6-7 the read size of the plain decoding (see
// below); then k password bytes; with a header, one check byte and the 12
// header bytes; the rest is the encrypted Deflate stream.
//
// The cipher is checked against a reference written here from the published
// algorithm (on zlib's CRC table), and decoding with decryption on the way
// must give exactly what decoding the decrypted bytes gives, the latter
// delivered in whole chunks or in small pieces.
#include <zlib.h>

#include <cstring>
#include <string_view>

#include "core/crc32.h"
#include "core/zip_cipher.h"
#include "fuzz_common.h"

namespace {

struct ReferenceKeys {
  uint32_t k0 = 0x12345678u, k1 = 0x23456789u, k2 = 0x34567890u;

  static uint32_t Crc(uint32_t r, uint8_t b) {
    return static_cast<uint32_t>(get_crc_table()[(r ^ b) & 0xFF]) ^ (r >> 8);
  }
  void Update(uint8_t plain) {
    k0 = Crc(k0, plain);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = Crc(k2, static_cast<uint8_t>(k1 >> 24));
  }
  uint8_t Stream() const {
    uint32_t t = (k2 & 0xFFFF) | 2;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
  }
  void Decrypt(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      p[i] ^= Stream();
      Update(p[i]);
    }
  }
  bool Matches(const ebook::CipherKeys& k) const {
    return k.Key0 == k0 && k.Key1 == k1 && k.Key2 == k2;
  }
};

bool SameKeys(const ebook::CipherKeys& a, const ebook::CipherKeys& b) {
  return a.Key0 == b.Key0 && a.Key1 == b.Key1 && a.Key2 == b.Key2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ebook::BuildCrcTable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > fuzz::kMaxInput) return 0;
  const size_t k = data[0] & 15;
  const bool withHeader = (data[0] & 0x10) != 0;
  const uint16_t flags = (data[0] & 0x20) ? 0x0009 : 0x0001;
  size_t pos = 1;
  if (size < pos + k) return 0;
  std::string_view password(reinterpret_cast<const char*>(data + pos), k);
  pos += k;

  ReferenceKeys reference;
  for (char c : password) reference.Update(static_cast<uint8_t>(c));

  ebook::CipherKeys keys;
  if (withHeader) {
    constexpr int n = ebook::kEncryptionHeaderSize;
    if (size < pos + 1 + n) return 0;
    const uint8_t check = data[pos];
    const uint8_t* header = data + pos + 1;
    pos += 1 + n;
    // Only the field the flags select carries the check byte; the other one
    // holds a value that would fail.
    const bool descriptor = (flags & 0x0008) != 0;
    const uint8_t wrong = check ^ 0x5A;
    const uint32_t crc = uint32_t{descriptor ? wrong : check} << 24 | 0xA1B2C3u;
    const uint16_t modTime = static_cast<uint16_t>((descriptor ? check : wrong) << 8 | 0x5D);

    uint8_t buffer[2 * n];
    std::memset(buffer, 0xA5, n);
    std::memcpy(buffer + n, header, n);
    const ebook::CipherKeys untouched{1, 2, 3};
    keys = untouched;
    bool ok = ebook::TestEncryptionHeader(buffer, n, flags, crc, modTime, password, keys);
    FUZZ_CHECK(std::memcmp(buffer + n, header, n) == 0);

    uint8_t plainHeader[n];
    std::memcpy(plainHeader, header, n);
    reference.Decrypt(plainHeader, n);
    if (k == 0) {
      FUZZ_CHECK(!ok);
      FUZZ_CHECK(SameKeys(keys, untouched));
      for (int i = 0; i < n; ++i) FUZZ_CHECK(buffer[i] == 0xA5);
    } else {
      FUZZ_CHECK(ok == (plainHeader[n - 1] == check));
    }
    if (ok) {
      FUZZ_CHECK(std::memcmp(buffer, plainHeader, n) == 0);
      FUZZ_CHECK(reference.Matches(keys));
    } else {
      // Go on decoding anyway, with the keys a matching header would leave.
      ebook::InitKeys(keys, password);
      uint8_t scratch[n];
      std::memcpy(scratch, header, n);
      ebook::DecryptBuffer(keys, scratch, n);
      FUZZ_CHECK(std::memcmp(scratch, plainHeader, n) == 0);
    }
  } else {
    ebook::InitKeys(keys, password);
  }
  FUZZ_CHECK(reference.Matches(keys));

  const uint8_t* cipher = data + pos;
  const size_t m = size - pos;

  // Decrypting agrees with the reference, and re-encrypting from the same
  // primed keys restores the input.
  std::vector<uint8_t> plain(cipher, cipher + m);
  ebook::CipherKeys afterAll = keys;
  ebook::DecryptBuffer(afterAll, plain.data(), m);
  std::vector<uint8_t> expected(cipher, cipher + m);
  ReferenceKeys referenceAfterAll = reference;
  referenceAfterAll.Decrypt(expected.data(), m);
  FUZZ_CHECK(plain == expected);
  FUZZ_CHECK(referenceAfterAll.Matches(afterAll));
  ebook::CipherKeys fresh = keys;
  for (size_t i = 0; i < m; ++i) {
    uint8_t c = plain[i] ^ ebook::DecryptByte(fresh);
    ebook::UpdateKeys(fresh, plain[i]);
    FUZZ_CHECK(c == cipher[i]);
  }
  FUZZ_CHECK(SameKeys(fresh, afterAll));

  static std::vector<uint8_t> viaKeys;
  static std::vector<uint8_t> viaPlain;
  ebook::CipherKeys streamKeys = keys;
  fuzz::Decoded a = fuzz::Inflate(cipher, m, &streamKeys, viaKeys);
  const int32_t pieces[4] = {ebook::kChunkSize, 1, 7, 61};
  const int32_t piece = pieces[data[0] >> 6];
  fuzz::Decoded b = fuzz::Inflate(plain.data(), m, nullptr, viaPlain, piece);
  FUZZ_CHECK(a.Result == b.Result);
  FUZZ_CHECK(a.Size == b.Size);
  FUZZ_CHECK(std::memcmp(viaKeys.data(), viaPlain.data(), a.Size) == 0);
  FUZZ_CHECK(a.Crc == b.Crc);
  FUZZ_CHECK(a.Crc == crc32(0, viaKeys.data(), static_cast<uInt>(a.Size)));
  // Small reads only change how far ahead the decoder has read.
  if (piece == ebook::kChunkSize) FUZZ_CHECK(a.BytesRemaining == b.BytesRemaining);
  // The keys advanced over exactly the bytes the decoder read.
  ReferenceKeys referenceRead = reference;
  std::vector<uint8_t> read(cipher, cipher + (m - a.BytesRemaining));
  referenceRead.Decrypt(read.data(), read.size());
  FUZZ_CHECK(referenceRead.Matches(streamKeys));
  return 0;
}
