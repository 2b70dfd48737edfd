// Helpers shared by the unit tests: a deterministic generator, sample inputs,
// a PKWARE encryptor, and an inflate harness that checks the I/O rules of the
// entry stream on every run.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/entry_stream.h"
#include "core/inflate.h"
#include "core/memory_io.h"
#include "core/zip_cipher.h"

namespace ebook::test {

using Bytes = std::vector<uint8_t>;

// The folder written by tools/make_deflate_corpus.py, or null when the
// program was started without one.
const char* CorpusDir();

// splitmix64: the same sequence on every compiler and target, which the
// standard distributions do not promise.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }
  Bytes Fill(size_t n) {
    Bytes out(n);
    for (auto& b : out) b = Byte();
    return out;
  }

 private:
  uint64_t state_;
};

inline uint32_t ZlibCrc(const uint8_t* data, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (size > 0) {
    uInt n = size > 1u << 30 ? 1u << 30 : static_cast<uInt>(size);
    crc = crc32(crc, data, n);
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>(crc);
}
inline uint32_t ZlibCrc(const Bytes& b) { return ZlibCrc(b.data(), b.size()); }

inline Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The length and distance tables of Deflate.
inline constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                             15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr uint16_t kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Word-based text with markup: long matches at short and medium distances.
inline Bytes TextLike(Rng& rng, size_t size) {
  static const char* const kWords[] = {
      "the",   "and",     "of",      "chapter", "<p>",   "</p>\n", "light",
      "river", "silence", "window",  "said",    "<em>",  "</em>",  "house",
      "over",  "evening", "letters", "a",       "which", "north",  "bread",
      "<br/>", "garden",  "never",   "quietly", "stone", "we",     "through"};
  Bytes out;
  out.reserve(size + 16);
  while (out.size() < size) {
    uint32_t r = rng.Below(1000);
    // A skewed choice: the first words are far more frequent.
    const char* w = kWords[(r * r / 1000) * 28 / 1000];
    for (const char* p = w; *p; ++p) out.push_back(static_cast<uint8_t>(*p));
    out.push_back(rng.Below(9) == 0 ? ',' : ' ');
  }
  out.resize(size);
  return out;
}

// Random bytes, little-endian counters, zero padding and repeats of earlier
// fragments: literals of every value plus matches of every distance.
inline Bytes BinaryMix(Rng& rng, size_t size) {
  Bytes out;
  out.reserve(size + 1200);
  while (out.size() < size) {
    switch (rng.Below(4)) {
      case 0:
        for (uint32_t n = 1 + rng.Below(300); n > 0; --n) out.push_back(rng.Byte());
        break;
      case 1: {
        uint32_t v = static_cast<uint32_t>(rng.Next()), step = 1 + rng.Below(9);
        for (uint32_t n = 1 + rng.Below(100); n > 0; --n, v += step)
          for (int i = 0; i < 32; i += 8) out.push_back(uint8_t(v >> i));
        break;
      }
      case 2:
        out.insert(out.end(), 1 + rng.Below(400), uint8_t(0));
        break;
      default:
        if (out.size() > 8) {
          size_t from = rng.Below(static_cast<uint32_t>(out.size() - 4));
          size_t n = 3 + rng.Below(600);
          for (size_t i = 0; i < n; ++i) out.push_back(out[from + i]);
        }
    }
  }
  out.resize(size);
  return out;
}

// The PKWARE stream cipher run forwards, from the key schedule under test.
inline void EncryptBuffer(CipherKeys& keys, uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t plain = data[i];
    data[i] = plain ^ DecryptByte(keys);
    UpdateKeys(keys, plain);
  }
}

// A source over memory that records how it is asked. With a seed it
// delivers 1 to 7 bytes a call, as a pipe or a slow medium might; with
// `dataEnd` it stops delivering there, as a read error would.
class CountingSource final : public ByteSource {
 public:
  CountingSource(const uint8_t* data, size_t size, uint64_t trickleSeed = 0,
                 size_t dataEnd = SIZE_MAX)
      : inner_(data, size),
        trickle_(trickleSeed),
        trickling_(trickleSeed != 0),
        dataEnd_(dataEnd) {}
  int32_t Read(uint8_t* buffer, int32_t count) override {
    ++reads_;
    if (count > largestRequest_) largestRequest_ = count;
    if (trickling_ && count > 0) {
      int32_t most = 1 + static_cast<int32_t>(trickle_.Below(7));
      if (count > most) count = most;
    }
    if (dataEnd_ != SIZE_MAX) {
      size_t left = dataEnd_ > inner_.Position() ? dataEnd_ - inner_.Position() : 0;
      if (count > 0 && static_cast<size_t>(count) > left) count = static_cast<int32_t>(left);
    }
    return inner_.Read(buffer, count);
  }
  size_t Position() const { return inner_.Position(); }
  int32_t LargestRequest() const { return largestRequest_; }
  int Reads() const { return reads_; }

 private:
  MemorySource inner_;
  Rng trickle_;
  bool trickling_;
  size_t dataEnd_;
  int32_t largestRequest_ = 0;
  int reads_ = 0;
};

// Collects the output and the size of every write; writes beyond `limit`
// are cut short.
class RecordingSink final : public ByteSink {
 public:
  explicit RecordingSink(size_t limit) : limit_(limit) {}
  int32_t Write(const uint8_t* data, int32_t count) override {
    pieces_.push_back(count);
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    if (n > limit_ - out_.size()) n = limit_ - out_.size();
    out_.insert(out_.end(), data, data + n);
    return static_cast<int32_t>(n);
  }
  const Bytes& Output() const { return out_; }
  const std::vector<int32_t>& Pieces() const { return pieces_; }

 private:
  size_t limit_;
  Bytes out_;
  std::vector<int32_t> pieces_;
};

struct InflateRun {
  InflateResult result;
  Bytes output;
  std::vector<int32_t> pieces;
  size_t consumed;
  EntryStream stream;
};

inline const char* ResultName(InflateResult r) {
  switch (r) {
    case InflateResult::kDone:
      return "kDone";
    case InflateResult::kBadData:
      return "kBadData";
    case InflateResult::kWriteFailed:
      return "kWriteFailed";
  }
  return "?";
}

// Decodes `entry` (already encrypted when `keys` is given) with garbage
// behind it in the source, and checks the rules that hold for any input:
// nothing past the entry's data is read, no read asks for more than a chunk,
// output moves in whole chunks but for the last piece, and the CRC covers
// exactly what was written.
inline InflateRun RunInflate(const Bytes& entry, size_t outputLimit, CipherKeys* keys = nullptr,
                             uint64_t trickleSeed = 0, size_t dataEnd = SIZE_MAX) {
  Bytes source = entry;
  source.insert(source.end(), 64, uint8_t(0xA5));
  CountingSource src(source.data(), source.size(), trickleSeed, dataEnd);
  RecordingSink sink(outputLimit);
  InflateRun run{};
  run.stream.Source = &src;
  run.stream.Sink = &sink;
  run.stream.BytesRemaining = static_cast<int32_t>(entry.size());
  run.stream.Keys = keys;
  run.result = InflateEntry(run.stream);
  run.output = sink.Output();
  run.pieces = sink.Pieces();
  run.consumed = src.Position();

  EXPECT_LE(run.consumed, entry.size()) << "read past the entry's data";
  EXPECT_LE(src.LargestRequest(), kChunkSize);
  for (size_t i = 0; i < run.pieces.size(); ++i) {
    if (i + 1 < run.pieces.size()) {
      EXPECT_EQ(run.pieces[i], kChunkSize) << "write " << i;
    } else {
      EXPECT_GT(run.pieces[i], 0) << "last write";
      EXPECT_LE(run.pieces[i], kChunkSize) << "last write";
    }
  }
  EXPECT_EQ(run.stream.CrcRegister ^ 0xFFFFFFFFu, ZlibCrc(run.output));
  EXPECT_EQ(run.stream.WriteFailed, run.result == InflateResult::kWriteFailed);
  return run;
}

// Room for any honest output of `inputSize` bytes: each bit pair of a
// dynamic block can stand for 258 bytes.
inline size_t OutputBound(size_t inputSize) { return 1032 * inputSize + 1024; }

// Decodes a stream that must come out as `expected`, bit for bit.
inline void ExpectInflatesTo(const Bytes& stream, const Bytes& expected) {
  InflateRun run = RunInflate(stream, expected.size() + 65536);
  EXPECT_EQ(ResultName(run.result), std::string("kDone"));
  ASSERT_EQ(run.output.size(), expected.size());
  EXPECT_TRUE(run.output == expected) << "output differs";
  EXPECT_TRUE(run.stream.Verified(ZlibCrc(expected)));
}

}  // namespace ebook::test
