#include "core/zip_cipher.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace ebook::test {
namespace {

// An independent model of the PKWARE keys, stepping the CRC through zlib.
struct ModelKeys {
  uint32_t k0 = 0x12345678u, k1 = 0x23456789u, k2 = 0x34567890u;

  static uint32_t Crc(uint32_t r, uint8_t b) {
    return ~static_cast<uint32_t>(crc32(~r & 0xFFFFFFFFu, &b, 1));
  }
  void Update(uint8_t plain) {
    k0 = Crc(k0, plain);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = Crc(k2, static_cast<uint8_t>(k1 >> 24));
  }
  uint8_t Stream() const {
    uint32_t t = (k2 | 2) & 0xFFFF;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
  }
  explicit ModelKeys(std::string_view password) {
    for (char c : password) Update(static_cast<uint8_t>(c));
  }
  void Encrypt(uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      uint8_t plain = data[i];
      data[i] = plain ^ Stream();
      Update(plain);
    }
  }
};

void ExpectSameKeys(const CipherKeys& k, const ModelKeys& m) {
  EXPECT_EQ(k.Key0, m.k0);
  EXPECT_EQ(k.Key1, m.k1);
  EXPECT_EQ(k.Key2, m.k2);
}

const std::string kPasswords[] = {"a", "secret", "\x80\xFF\x01 high bytes",
                                  std::string("nul\0inside", 10), std::string(300, 'x')};

TEST(ZipCipher, KeyScheduleMatchesModel) {
  Rng rng(0xC1F);
  for (const std::string& pw : kPasswords) {
    SCOPED_TRACE(pw.substr(0, 20));
    CipherKeys keys;
    InitKeys(keys, pw);
    ModelKeys model(pw);
    ExpectSameKeys(keys, model);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(DecryptByte(keys), model.Stream()) << "byte " << i;
      uint8_t b = rng.Byte();
      UpdateKeys(keys, b);
      model.Update(b);
    }
    ExpectSameKeys(keys, model);
  }
}

// Decrypting in pieces of any size, empty ones included, must continue the
// key stream where the previous piece left it.
TEST(ZipCipher, EncryptThenDecryptInPieces) {
  Rng rng(0xD0C);
  for (const std::string& pw : kPasswords) {
    Bytes plain = rng.Fill(20000);
    Bytes cipher = plain;
    CipherKeys enc;
    InitKeys(enc, pw);
    EncryptBuffer(enc, cipher.data(), cipher.size());
    Bytes modelCipher = plain;
    ModelKeys(pw).Encrypt(modelCipher.data(), modelCipher.size());
    ASSERT_TRUE(cipher == modelCipher);

    CipherKeys dec;
    InitKeys(dec, pw);
    size_t pos = 0;
    while (pos < cipher.size()) {
      size_t n = rng.Below(3) == 0 ? 0 : rng.Below(3000);
      if (n > cipher.size() - pos) n = cipher.size() - pos;
      DecryptBuffer(dec, cipher.data() + pos, n);
      pos += n;
    }
    EXPECT_TRUE(cipher == plain);
    ExpectSameKeys(dec, [&] {
      ModelKeys m(pw);
      for (uint8_t b : plain) m.Update(b);
      return m;
    }());
  }
}

constexpr uint8_t kN = kEncryptionHeaderSize;
constexpr uint16_t kTime = 0x7A3C;
constexpr uint32_t kCrc = 0x9E112233u;

struct Header {
  Bytes plain;
  uint8_t buffer[2 * kN];
};

// An encryption header whose last plain byte is `check`, encrypted with
// `password`, in the upper half of a 2n-byte buffer whose lower half is
// filled with a marker.
Header MakeHeader(std::string_view password, uint8_t check, uint64_t seed) {
  Rng rng(seed);
  Header h;
  h.plain = rng.Fill(kN);
  h.plain[kN - 1] = check;
  std::memset(h.buffer, 0xEE, kN);
  std::memcpy(h.buffer + kN, h.plain.data(), kN);
  ModelKeys(password).Encrypt(h.buffer + kN, kN);
  return h;
}

TEST(ZipCipher, HeaderCheckByte) {
  const struct {
    const char* name;
    uint16_t flags;
    uint32_t crc;
    uint8_t check;
    bool accepted;
  } kCases[] = {
      // Bit 3: the entry was written before its CRC was known, so only the
      // time's high byte is the check.
      {"bit3/time high", 0x0009, kCrc, kTime >> 8, true},
      {"bit3/crc high", 0x0009, kCrc, kCrc >> 24, false},
      {"bit3/time low", 0x0009, kCrc, kTime & 0xFF, false},
      {"bit3/both high bytes equal", 0x0809, 0x7A000000u, 0x7A, true},
      // Without bit 3 only the CRC's high byte counts.
      {"crc high", 0x0001, kCrc, kCrc >> 24, true},
      {"crc high, other flags", 0x0801, kCrc, kCrc >> 24, true},
      {"time high", 0x0001, kCrc, kTime >> 8, false},
      {"crc low", 0x0001, kCrc, kCrc & 0xFF, false},
      {"both high bytes equal", 0x0001, 0x7A000000u, 0x7A, true},
  };
  uint64_t seed = 1;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Header h = MakeHeader("secret", c.check, seed++);
    Bytes stored(h.buffer + kN, h.buffer + 2 * kN);
    CipherKeys keys;
    bool ok = TestEncryptionHeader(h.buffer, kN, c.flags, c.crc, kTime, "secret", keys);
    EXPECT_EQ(ok, c.accepted);
    EXPECT_TRUE(Bytes(h.buffer + kN, h.buffer + 2 * kN) == stored) << "the stored header changed";
    if (ok) {
      EXPECT_TRUE(Bytes(h.buffer, h.buffer + kN) == h.plain);
      ModelKeys primed("secret");
      for (uint8_t b : h.plain) primed.Update(b);
      ExpectSameKeys(keys, primed);
    }
  }
}

// An empty password, or a header of no bytes, fails at once.
TEST(ZipCipher, EmptyPasswordOrHeaderTouchesNothing) {
  Header h = MakeHeader("", kCrc >> 24, 7);
  Bytes before(h.buffer, h.buffer + 2 * kN);
  CipherKeys keys;
  keys.Key0 = 1;
  keys.Key1 = 2;
  keys.Key2 = 3;
  for (uint16_t flags : {0x0001, 0x0009}) {
    EXPECT_FALSE(TestEncryptionHeader(h.buffer, kN, flags, kCrc, kTime, "", keys));
    EXPECT_TRUE(Bytes(h.buffer, h.buffer + 2 * kN) == before);
    EXPECT_EQ(keys.Key0, 1u);
    EXPECT_EQ(keys.Key1, 2u);
    EXPECT_EQ(keys.Key2, 3u);
  }
  EXPECT_FALSE(TestEncryptionHeader(h.buffer, 0, 0x0001, kCrc, kTime, "secret", keys));
  EXPECT_TRUE(Bytes(h.buffer, h.buffer + 2 * kN) == before);
  EXPECT_EQ(keys.Key0, 1u);
  EXPECT_EQ(keys.Key1, 2u);
  EXPECT_EQ(keys.Key2, 3u);
}

// A reader asks for passwords until one fits, on the same buffer and keys.
TEST(ZipCipher, WrongThenRightPasswordOnOneBuffer) {
  Header h = MakeHeader("right", kCrc >> 24, 11);
  Bytes stored(h.buffer + kN, h.buffer + 2 * kN);
  // A wrong password whose decrypted check byte really differs: one in 256
  // would pass the one-byte check.
  std::string wrong;
  for (int i = 0;; ++i) {
    wrong = "wrong" + std::to_string(i);
    uint8_t copy[kN];
    std::memcpy(copy, stored.data(), kN);
    ModelKeys m(wrong);
    for (uint8_t& b : copy) {
      b ^= m.Stream();
      m.Update(b);
    }
    if (copy[kN - 1] != (kCrc >> 24)) break;
  }
  CipherKeys keys;
  EXPECT_FALSE(TestEncryptionHeader(h.buffer, kN, 0x0001, kCrc, kTime, wrong, keys));
  EXPECT_TRUE(Bytes(h.buffer + kN, h.buffer + 2 * kN) == stored);
  EXPECT_TRUE(TestEncryptionHeader(h.buffer, kN, 0x0001, kCrc, kTime, "right", keys));
  EXPECT_TRUE(Bytes(h.buffer + kN, h.buffer + 2 * kN) == stored);
  EXPECT_TRUE(Bytes(h.buffer, h.buffer + kN) == h.plain);
  ModelKeys primed("right");
  for (uint8_t b : h.plain) primed.Update(b);
  ExpectSameKeys(keys, primed);
}

}  // namespace
}  // namespace ebook::test
