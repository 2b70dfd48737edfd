// Memory-backed source and sink for the entry stream: the publisher's tool,
// the tests, the fuzzers and the benchmarks decode from and into memory
// through the same code path that the stub drives with files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "entry_stream.h"

namespace ebook {

class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  int32_t Read(uint8_t* buffer, int32_t count) override {
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    if (n > size_ - pos_) n = size_ - pos_;
    if (n != 0) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<int32_t>(n);
  }

  size_t Position() const { return pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Writes into a fixed buffer; a write beyond its capacity is cut short, just
// as a full disk cuts a file write short.
class MemorySink final : public ByteSink {
 public:
  MemorySink(uint8_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  int32_t Write(const uint8_t* data, int32_t count) override {
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    if (n > capacity_ - size_) n = capacity_ - size_;
    if (n != 0) std::memcpy(buffer_ + size_, data, n);
    size_ += n;
    ++writes_;
    return static_cast<int32_t>(n);
  }

  size_t Size() const { return size_; }
  size_t Writes() const { return writes_; }

 private:
  uint8_t* buffer_;
  size_t capacity_;
  size_t size_ = 0;
  size_t writes_ = 0;
};

}  // namespace ebook
