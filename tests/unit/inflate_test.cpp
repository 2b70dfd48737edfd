// Inflate against real encoders run in-process, and the I/O rules of the
// entry stream: bounded reads, whole-chunk writes, decryption on the way in,
// and a verdict that a short write cannot pass.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef EBOOK_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "test_support.h"

namespace ebook::test {
namespace {

// Raw Deflate from zlib; with `flushEvery` the input goes in pieces, each
// followed by `flush` (sync, full and partial flushes add empty stored and
// fixed blocks in the middle of the stream).
Bytes ZlibDeflate(const Bytes& in, int level, int strategy, size_t flushEvery = 0,
                  int flush = Z_NO_FLUSH) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  Bytes out;
  uint8_t buf[16384];
  size_t pos = 0;
  int mode;
  do {
    size_t n = in.size() - pos;
    if (flushEvery != 0 && n > flushEvery) n = flushEvery;
    mode = pos + n == in.size() ? Z_FINISH : flushEvery ? flush : Z_NO_FLUSH;
    z.next_in = const_cast<Bytef*>(in.data() + pos);
    z.avail_in = static_cast<uInt>(n);
    pos += n;
    do {
      z.next_out = buf;
      z.avail_out = sizeof buf;
      int ret = deflate(&z, mode);
      EXPECT_TRUE(ret == Z_OK || ret == Z_STREAM_END || ret == Z_BUF_ERROR);
      out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (z.avail_out == 0);
  } while (mode != Z_FINISH);
  deflateEnd(&z);
  return out;
}

// What zlib makes of a stream that may be cut short: everything it can
// decode from the bytes at hand.
Bytes ZlibPartialInflate(const Bytes& stream) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  Bytes out;
  uint8_t buf[16384];
  int ret;
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    ret = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
  } while (ret == Z_OK && z.avail_out == 0);
  inflateEnd(&z);
  return out;
}

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> Samples() {
  Rng rng(0x1F1A7E);
  return {
      {"empty", {}},
      {"one byte", {0x42}},
      {"text", TextLike(rng, 120000)},
      {"text 32768", TextLike(rng, 32768)},
      {"binary", BinaryMix(rng, 100000)},
      {"random", rng.Fill(40000)},
      {"zeros", Bytes(70000, 0)},
  };
}

const struct {
  const char* name;
  int value;
} kStrategies[] = {{"default", Z_DEFAULT_STRATEGY},
                   {"filtered", Z_FILTERED},
                   {"huffman only", Z_HUFFMAN_ONLY},
                   {"rle", Z_RLE},
                   {"fixed", Z_FIXED}};

TEST(Inflate, ZlibStreams) {
  for (const Sample& s : Samples()) {
    for (int level = 0; level <= 9; ++level) {
      for (const auto& strategy : kStrategies) {
        SCOPED_TRACE(std::string(s.name) + ", level " + std::to_string(level) + ", " +
                     strategy.name);
        ExpectInflatesTo(ZlibDeflate(s.data, level, strategy.value), s.data);
        if (HasFailure()) return;
      }
    }
  }
}

TEST(Inflate, ZlibStreamsWithFlushes) {
  Rng rng(0xF1);
  Bytes text = TextLike(rng, 60000);
  const struct {
    const char* name;
    int flush;
    size_t every;
  } kFlushes[] = {{"sync", Z_SYNC_FLUSH, 1000},
                  {"full", Z_FULL_FLUSH, 7000},
                  {"partial", Z_PARTIAL_FLUSH, 500},
                  {"block", Z_BLOCK, 3000},
                  {"sync every byte", Z_SYNC_FLUSH, 1}};
  for (const auto& f : kFlushes) {
    for (int level : {0, 1, 6, 9}) {
      SCOPED_TRACE(std::string(f.name) + ", level " + std::to_string(level));
      Bytes in = f.every == 1 ? Bytes(text.begin(), text.begin() + 3000) : text;
      ExpectInflatesTo(ZlibDeflate(in, level, Z_DEFAULT_STRATEGY, f.every, f.flush), in);
    }
  }
}

#ifdef EBOOK_HAVE_LIBDEFLATE
TEST(Inflate, LibdeflateStreams) {
  for (const Sample& s : Samples()) {
    for (int level = 0; level <= 12; ++level) {
      SCOPED_TRACE(std::string(s.name) + ", libdeflate level " + std::to_string(level));
      libdeflate_compressor* c = libdeflate_alloc_compressor(level);
      ASSERT_NE(c, nullptr);
      Bytes out(libdeflate_deflate_compress_bound(c, s.data.size()));
      size_t n =
          libdeflate_deflate_compress(c, s.data.data(), s.data.size(), out.data(), out.size());
      libdeflate_free_compressor(c);
      ASSERT_NE(n, 0u);
      out.resize(n);
      ExpectInflatesTo(out, s.data);
      if (HasFailure()) return;
    }
  }
}
#endif

// A stream cut anywhere is bad data, and every symbol that lies wholly
// within the bytes at hand is written, nothing more: the same output zlib
// gives for the cut stream.
TEST(Inflate, CutStreamsWriteEveryWholeSymbol) {
  Rng rng(0xC07);
  Bytes text = TextLike(rng, 6000);
  for (int level : {1, 6, 9}) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
      Bytes stream = ZlibDeflate(text, level, strategy);
      for (size_t cut = 0; cut < stream.size(); ++cut) {
        SCOPED_TRACE("level " + std::to_string(level) + " strategy " + std::to_string(strategy) +
                     " cut at " + std::to_string(cut) + " of " + std::to_string(stream.size()));
        Bytes part(stream.begin(), stream.begin() + cut);
        InflateRun run = RunInflate(part, OutputBound(part.size()));
        ASSERT_STREQ(ResultName(run.result), "kBadData");
        Bytes expected = ZlibPartialInflate(part);
        ASSERT_EQ(run.output.size(), expected.size());
        ASSERT_TRUE(run.output == expected);
      }
    }
  }
}

// A source may deliver less than it is asked for: a few bytes a call must
// decode the same, and a source that stops early ends the data there, with
// the same output as a stream cut at that point.
TEST(Inflate, ShortReads) {
  Rng rng(0x5407);
  Bytes text = TextLike(rng, 50000);
  Bytes mixed = BinaryMix(rng, 50000);
  const struct {
    const char* name;
    const Bytes& data;
    Bytes stream;
  } kStreams[] = {
      {"dynamic", text, ZlibDeflate(text, 6, Z_DEFAULT_STRATEGY)},
      {"stored", text, ZlibDeflate(text, 0, Z_DEFAULT_STRATEGY)},
      {"fixed", mixed, ZlibDeflate(mixed, 9, Z_FIXED)},
      {"huffman only", mixed, ZlibDeflate(mixed, 9, Z_HUFFMAN_ONLY)},
  };
  uint64_t seed = 1;
  for (const auto& c : kStreams) {
    SCOPED_TRACE(c.name);
    InflateRun run = RunInflate(c.stream, c.data.size() + 1, nullptr, seed++);
    EXPECT_STREQ(ResultName(run.result), "kDone");
    EXPECT_TRUE(run.output == c.data);
    for (size_t end : {size_t{0}, size_t{1}, c.stream.size() / 3, c.stream.size() - 1}) {
      SCOPED_TRACE("source stops after " + std::to_string(end));
      run = RunInflate(c.stream, c.data.size() + 1, nullptr, seed++, end);
      EXPECT_STREQ(ResultName(run.result), "kBadData");
      Bytes expected = ZlibPartialInflate(Bytes(c.stream.begin(), c.stream.begin() + end));
      EXPECT_EQ(run.output.size(), expected.size());
      EXPECT_TRUE(run.output == expected);
    }
  }
}

// Output leaves in 32 KiB pieces, the last one shorter, and an empty entry
// writes nothing at all.
TEST(Inflate, OutputPieces) {
  Rng rng(0x32768);
  Bytes text = TextLike(rng, 300000);
  // Past 160 KiB the window has been written out and moved down at least
  // once, with matches reaching back across the move.
  for (size_t size :
       {0u, 1u, 32767u, 32768u, 32769u, 40000u, 65536u, 100000u, 163840u, 163841u, 300000u}) {
    SCOPED_TRACE(size);
    Bytes data(text.begin(), text.begin() + size);
    Bytes stream = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
    Bytes buffer(size + 1);
    MemorySource src(stream.data(), stream.size());
    MemorySink sink(buffer.data(), buffer.size());
    EntryStream es;
    es.Source = &src;
    es.Sink = &sink;
    es.BytesRemaining = static_cast<int32_t>(stream.size());
    EXPECT_EQ(InflateEntry(es), InflateResult::kDone);
    EXPECT_EQ(sink.Size(), size);
    EXPECT_EQ(sink.Writes(), (size + kChunkSize - 1) / kChunkSize);
    EXPECT_TRUE(es.Verified(ZlibCrc(data)));
    // The exact piece sizes.
    InflateRun run = RunInflate(stream, size + 1);
    std::vector<int32_t> expected;
    for (size_t left = size; left > 0; left -= expected.back())
      expected.push_back(static_cast<int32_t>(left < 32768 ? left : 32768));
    EXPECT_EQ(run.pieces, expected);
  }
  // One stored block longer than a piece.
  Bytes data(text.begin(), text.begin() + 40000);
  Bytes stream{0x01, 40000 & 0xFF, 40000 >> 8, 0xFFFF & ~40000 & 0xFF, (0xFFFF & ~40000) >> 8};
  stream.insert(stream.end(), data.begin(), data.end());
  InflateRun run = RunInflate(stream, data.size());
  EXPECT_STREQ(ResultName(run.result), "kDone");
  EXPECT_EQ(run.pieces, (std::vector<int32_t>{32768, 7232}));
  EXPECT_TRUE(run.output == data);
}

// An encrypted entry: header and stream encrypted in one key stream, the
// keys primed by the header check, the data decrypted as it is read.
TEST(Inflate, EncryptedEntry) {
  Rng rng(0xE9C);
  const std::string password = "p\xE4ssw0rd";
  for (const Bytes& data : {TextLike(rng, 90000), BinaryMix(rng, 70000)}) {
    uint32_t crc = ZlibCrc(data);
    Bytes stream = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY);
    uint8_t buffer[2 * kEncryptionHeaderSize];
    Bytes header = rng.Fill(kEncryptionHeaderSize);
    header.back() = static_cast<uint8_t>(crc >> 24);
    CipherKeys enc;
    InitKeys(enc, password);
    EncryptBuffer(enc, header.data(), header.size());
    EncryptBuffer(enc, stream.data(), stream.size());
    std::memcpy(buffer + kEncryptionHeaderSize, header.data(), header.size());

    // Decryption must follow the reads however the source cuts them.
    for (uint64_t trickle : {0, 99}) {
      CipherKeys keys;
      ASSERT_TRUE(
          TestEncryptionHeader(buffer, kEncryptionHeaderSize, 0x0001, crc, 0x1234, password, keys));
      InflateRun run = RunInflate(stream, data.size() + 1, &keys, trickle);
      EXPECT_STREQ(ResultName(run.result), "kDone");
      EXPECT_TRUE(run.output == data);
      EXPECT_TRUE(run.stream.Verified(crc));
    }
  }
}

// A disk that fills up part-way: decoding stops at the first short write,
// the CRC covers only what reached the sink, and the verdict refuses the
// entry even against the CRC of those bytes.
TEST(Inflate, ShortWriteFailsTheVerdict) {
  Rng rng(0x5407);
  Bytes data = TextLike(rng, 100000);
  Bytes stream = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  for (size_t capacity : {0u, 1u, 32767u, 32768u, 40000u, 65536u, 99999u, 100000u}) {
    SCOPED_TRACE(capacity);
    Bytes buffer(capacity + 1);
    MemorySource src(stream.data(), stream.size());
    MemorySink sink(buffer.data(), capacity);
    EntryStream es;
    es.Source = &src;
    es.Sink = &sink;
    es.BytesRemaining = static_cast<int32_t>(stream.size());
    InflateResult r = InflateEntry(es);
    uint32_t writtenCrc = ZlibCrc(data.data(), capacity);
    if (capacity == data.size()) {
      EXPECT_EQ(r, InflateResult::kDone);
      EXPECT_TRUE(es.Verified(ZlibCrc(data)));
      continue;
    }
    EXPECT_EQ(r, InflateResult::kWriteFailed);
    EXPECT_TRUE(es.WriteFailed);
    EXPECT_EQ(sink.Size(), capacity);
    EXPECT_EQ(sink.Writes(), capacity / kChunkSize + 1);
    EXPECT_EQ(es.CrcRegister ^ 0xFFFFFFFFu, writtenCrc);
    EXPECT_FALSE(es.Verified(ZlibCrc(data)));
    EXPECT_FALSE(es.Verified(writtenCrc));
  }
}

// Decoders at the same time keep their own state: one started from inside
// another's write (on i686 the outer one holds the state at the linked
// address, the inner one must take its own), and two on two threads.
TEST(Inflate, DecodersAtTheSameTime) {
#if defined(EBOOK_COMPACT) && defined(__i386__)
  GTEST_SKIP() << "the stub's i686 decoder has one state: one entry at a time";
#endif
  Rng rng(0xC0C0);
  const Bytes outer = TextLike(rng, 300000);
  const Bytes inner = TextLike(rng, 200000);
  const Bytes outerStream = ZlibDeflate(outer, 6, Z_DEFAULT_STRATEGY);
  const Bytes innerStream = ZlibDeflate(inner, 9, Z_DEFAULT_STRATEGY);

  // Decodes the inner stream on each of the outer decoder's writes.
  class NestingSink final : public ByteSink {
   public:
    explicit NestingSink(const Bytes& innerStream) : innerStream_(innerStream) {}
    int32_t Write(const uint8_t* data, int32_t count) override {
      InflateRun run = RunInflate(innerStream_, OutputBound(innerStream_.size()));
      innerOutputs.push_back(run.output);
      output.insert(output.end(), data, data + count);
      return count;
    }
    Bytes output;
    std::vector<Bytes> innerOutputs;

   private:
    const Bytes& innerStream_;
  } sink(innerStream);
  MemorySource src(outerStream.data(), outerStream.size());
  EntryStream es;
  es.Source = &src;
  es.Sink = &sink;
  es.BytesRemaining = static_cast<int32_t>(outerStream.size());
  EXPECT_EQ(InflateEntry(es), InflateResult::kDone);
  EXPECT_TRUE(sink.output == outer);
  EXPECT_TRUE(es.Verified(ZlibCrc(outer)));
  ASSERT_EQ(sink.innerOutputs.size(), (outer.size() + kChunkSize - 1) / kChunkSize);
  for (const Bytes& out : sink.innerOutputs) EXPECT_TRUE(out == inner);

  Bytes results[2];
  std::thread other([&] { results[1] = RunInflate(innerStream, inner.size()).output; });
  for (int i = 0; i < 20; ++i) {
    results[0] = RunInflate(outerStream, outer.size()).output;
    if (results[0] != outer) break;
  }
  other.join();
  EXPECT_TRUE(results[0] == outer);
  EXPECT_TRUE(results[1] == inner);
}

// Random bytes and damaged streams: never a crash, never a read past the
// entry, never more output than the input could stand for.
TEST(Inflate, RandomAndDamagedInputStayBounded) {
  Rng rng(0xBAD);
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes in = rng.Fill(rng.Below(700));
    // Steer most inputs past the first block header: a last fixed or
    // dynamic block.
    if (!in.empty() && trial % 3 != 0)
      in[0] = static_cast<uint8_t>((in[0] & ~7) | (trial % 3 == 1 ? 3 : 5));
    SCOPED_TRACE("random trial " + std::to_string(trial));
    InflateRun run = RunInflate(in, OutputBound(in.size()));
    ASSERT_NE(run.result, InflateResult::kWriteFailed) << "output too large";
    if (HasFailure()) return;
  }
  Bytes text = TextLike(rng, 20000);
  uint32_t crc = ZlibCrc(text);
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
    Bytes stream = ZlibDeflate(text, 6, strategy);
    for (int trial = 0; trial < 300; ++trial) {
      Bytes bad = stream;
      for (uint32_t flips = 1 + rng.Below(3); flips > 0; --flips) {
        size_t bit = rng.Below(static_cast<uint32_t>(bad.size() * 8));
        bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      }
      SCOPED_TRACE("damaged trial " + std::to_string(trial));
      InflateRun run = RunInflate(bad, OutputBound(bad.size()));
      ASSERT_NE(run.result, InflateResult::kWriteFailed) << "output too large";
      EXPECT_EQ(run.result == InflateResult::kDone && run.stream.Verified(crc),
                run.result == InflateResult::kDone && run.output == text);
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace ebook::test
