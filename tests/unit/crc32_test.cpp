#include "core/crc32.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace ebook::test {
namespace {

// Feeds a buffer to CrcUpdate in random pieces, from every start alignment,
// with empty and negative lengths in between: the sliced update must give
// the same value as zlib however the data is cut.
TEST(Crc32, ChunkedUpdateMatchesZlib) {
  Rng rng(0xC4C);
  Bytes data = rng.Fill(70000);
  for (int trial = 0; trial < 200; ++trial) {
    size_t offset = trial % 8;
    size_t size =
        trial < 8 ? data.size() - offset : rng.Below(static_cast<uint32_t>(data.size() - 8));
    uint32_t running = 0xFFFFFFFFu;
    size_t pos = offset;
    while (pos < offset + size) {
      uint32_t pick = rng.Below(10);
      int32_t len;
      if (pick == 0) {
        len = 0;
      } else if (pick == 1) {
        len = -1 - static_cast<int32_t>(rng.Below(100000));
      } else if (pick < 5) {
        len = static_cast<int32_t>(rng.Below(17));
      } else if (pick == 5) {
        len = 16 + static_cast<int32_t>(rng.Below(64));
      } else {
        len = static_cast<int32_t>(rng.Below(9000));
      }
      if (len > 0 && static_cast<size_t>(len) > offset + size - pos)
        len = static_cast<int32_t>(offset + size - pos);
      uint32_t before = running;
      CrcUpdate(data.data() + pos, len, running);
      if (len <= 0) {
        ASSERT_EQ(running, before) << "length " << len << " changed the CRC";
      } else {
        pos += static_cast<size_t>(len);
      }
    }
    ASSERT_EQ(running ^ 0xFFFFFFFFu, ZlibCrc(data.data() + offset, size))
        << "trial " << trial << " offset " << offset << " size " << size;
  }
}

TEST(Crc32, StepAgreesWithUpdate) {
  Rng rng(0x57E9);
  for (int i = 0; i < 256; ++i) {
    uint8_t b = static_cast<uint8_t>(i);
    for (uint32_t r : {0u, 0xFFFFFFFFu, static_cast<uint32_t>(rng.Next())}) {
      uint32_t running = r;
      CrcUpdate(&b, 1, running);
      ASSERT_EQ(CrcStep(b, r), running) << "byte " << i << " register " << r;
    }
  }
  Bytes data = rng.Fill(5000);
  uint32_t stepped = 0xFFFFFFFFu;
  for (uint8_t b : data) stepped = CrcStep(b, stepped);
  uint32_t updated = 0xFFFFFFFFu;
  CrcUpdate(data.data(), static_cast<int32_t>(data.size()), updated);
  EXPECT_EQ(stepped, updated);
}

}  // namespace
}  // namespace ebook::test
