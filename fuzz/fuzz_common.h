// Shared pieces of the fuzz targets: a check that survives release builds,
// the output bound of Deflate, and a sink that enforces the decoder's output
// contract while it collects the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/entry_stream.h"
#include "core/inflate.h"
#include "core/memory_io.h"

// assert() would vanish under NDEBUG; a fuzz finding must never depend on the
// build type.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace fuzz {

// The densest Deflate stream spends two bits (a one-bit length code for 258
// and a one-bit distance code) per 258-byte copy, i.e. 1032 bytes per input
// byte; 1024 covers the first literal and rounding.
inline size_t OutputBound(size_t inputSize) { return 1032 * inputSize + 1024; }

// Inputs above this are skipped: their bound would need buffers of hundreds
// of megabytes, and small inputs reach the same code paths.
inline constexpr size_t kMaxInput = 64 * 1024;

// Reads from memory and checks the requests: never empty, never more than a
// chunk, never past the entry's data. With `piece` set it delivers at most
// that many bytes per read, as a pipe or a slow device may.
class CheckedSource final : public ebook::ByteSource {
 public:
  CheckedSource(const uint8_t* data, size_t size, int32_t piece)
      : inner_(data, size), size_(size), piece_(piece) {}

  int32_t Read(uint8_t* buffer, int32_t count) override {
    FUZZ_CHECK(count > 0 && count <= ebook::kChunkSize);
    FUZZ_CHECK(static_cast<size_t>(count) <= size_ - inner_.Position());
    return inner_.Read(buffer, count < piece_ ? count : piece_);
  }

  size_t Position() const { return inner_.Position(); }

 private:
  ebook::MemorySource inner_;
  size_t size_;
  int32_t piece_;
};

// Collects the output in a buffer one chunk larger than the bound, so that a
// decoder overrunning the bound is seen doing it rather than stopped by the
// sink. Also checks the piece sizes: exactly kChunkSize, the last one shorter,
// and no empty write.
class CheckedSink final : public ebook::ByteSink {
 public:
  explicit CheckedSink(std::vector<uint8_t>& buffer) : buffer_(buffer) {}

  int32_t Write(const uint8_t* data, int32_t count) override {
    FUZZ_CHECK(count > 0 && count <= ebook::kChunkSize);
    FUZZ_CHECK(!sawShortPiece_);
    if (count < ebook::kChunkSize) sawShortPiece_ = true;
    size_t n = static_cast<size_t>(count);
    if (n > buffer_.size() - size_) n = buffer_.size() - size_;
    if (n != 0) std::memcpy(buffer_.data() + size_, data, n);
    size_ += n;
    return static_cast<int32_t>(n);
  }

  size_t Size() const { return size_; }

 private:
  std::vector<uint8_t>& buffer_;
  size_t size_ = 0;
  bool sawShortPiece_ = false;
};

struct Decoded {
  ebook::InflateResult Result;
  size_t Size;             // output bytes, in the caller's buffer
  uint32_t Crc;            // final CRC-32 (complemented register)
  int32_t BytesRemaining;  // input bytes the decoder left unread
  bool WriteFailed;
};

// Decodes `size` bytes with InflateEntry into `out` (resized to the bound
// plus one chunk). `keys` may be null for plain data; `piece` limits what
// one read delivers.
inline Decoded Inflate(const uint8_t* data, size_t size, ebook::CipherKeys* keys,
                       std::vector<uint8_t>& out, int32_t piece = ebook::kChunkSize) {
  size_t capacity = OutputBound(size) + ebook::kChunkSize;
  if (out.size() < capacity) out.resize(capacity);
  CheckedSource source(data, size, piece);
  CheckedSink sink(out);
  ebook::EntryStream stream;
  stream.Source = &source;
  stream.Sink = &sink;
  stream.BytesRemaining = static_cast<int32_t>(size);
  stream.Keys = keys;
  ebook::InflateResult result = ebook::InflateEntry(stream);
  FUZZ_CHECK(sink.Size() <= OutputBound(size));
  FUZZ_CHECK(stream.BytesRemaining >= 0 && static_cast<size_t>(stream.BytesRemaining) <= size);
  FUZZ_CHECK(source.Position() + stream.BytesRemaining == size);
  // Only a short write may stop the decoder as a write failure, and the sink
  // above never cuts a write within the bound.
  FUZZ_CHECK(result != ebook::InflateResult::kWriteFailed);
  FUZZ_CHECK(!stream.WriteFailed);
  return Decoded{result, sink.Size(), stream.CrcRegister ^ 0xFFFFFFFFu, stream.BytesRemaining,
                 stream.WriteFailed};
}

}  // namespace fuzz
