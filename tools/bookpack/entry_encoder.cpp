#include "entry_encoder.h"

#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>

#include <cstring>
#include <limits>

#include "core/crc32.h"
#include "core/inflate.h"
#include "core/memory_io.h"
#include "core/zip_cipher.h"
#include "zip_format.h"

namespace bookpack {
namespace {

constexpr uint16_t kMethodBzip2 = 12;
constexpr uint16_t kMethodLzma = 14;
constexpr uint16_t kMethodXz = 95;

// Counts what the decoder writes and keeps nothing.
class CountingSink final : public ebook::ByteSink {
 public:
  int32_t Write(const uint8_t*, int32_t count) override {
    written_ += static_cast<uint64_t>(count);
    return count;
  }
  uint64_t Written() const { return written_; }

 private:
  uint64_t written_ = 0;
};

bool InflateThroughEngine(const uint8_t* data, size_t size, ebook::ByteSink& sink,
                          ebook::EntryStream& stream, std::string& problem) {
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    problem = "too large";
    return false;
  }
  ebook::MemorySource source(data, size);
  stream.Source = &source;
  stream.Sink = &sink;
  stream.BytesRemaining = static_cast<int32_t>(size);
  if (ebook::InflateEntry(stream) == ebook::InflateResult::kBadData) {
    problem = "damaged deflate data (the stub's decoder refuses it)";
    return false;
  }
  return true;
}

bool DecodeBzip2(const uint8_t* data, size_t size, std::vector<uint8_t>& out,
                 std::string& problem) {
  const size_t expected = out.size();
  if (size > std::numeric_limits<unsigned>::max() ||
      expected >= std::numeric_limits<unsigned>::max()) {
    problem = "too large";
    return false;
  }
  // One byte more than the recorded size: a stream that holds more fills
  // it, and an empty entry still has a buffer to point at.
  out.resize(expected + 1);
  unsigned produced = static_cast<unsigned>(out.size());
  int rc = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &produced,
                                      const_cast<char*>(reinterpret_cast<const char*>(data)),
                                      static_cast<unsigned>(size), 0, 0);
  out.resize(expected);
  if (rc != BZ_OK || produced != expected) {
    problem = rc == BZ_OK || rc == BZ_OUTBUFF_FULL ? "bzip2 data and recorded size differ"
                                                   : "damaged bzip2 data";
    return false;
  }
  return true;
}

bool RunLzma(lzma_stream& stream, const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  stream.next_in = data;
  stream.avail_in = size;
  stream.next_out = out.data();
  stream.avail_out = out.size();
  lzma_ret rc = LZMA_OK;
  while (rc == LZMA_OK && stream.avail_out != 0) rc = lzma_code(&stream, LZMA_FINISH);
  // A stream without an end marker simply stops once the recorded size is
  // out; one with it, or an xz stream, must also end there.
  const bool filled = stream.avail_out == 0;
  lzma_end(&stream);
  return filled && (rc == LZMA_OK || rc == LZMA_STREAM_END);
}

// ZIP's LZMA: a 2-byte version, a 2-byte properties length, the properties,
// then the raw LZMA stream (APPNOTE 5.8.8).
bool DecodeLzma(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& problem) {
  problem = "damaged LZMA data";
  if (size < 4) return false;
  const size_t propertiesLength = data[2] | data[3] << 8;
  if (4 + propertiesLength > size) return false;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, data + 4, propertiesLength) != LZMA_OK)
    return false;
  lzma_stream stream = LZMA_STREAM_INIT;
  const lzma_ret rc = lzma_raw_decoder(&stream, filters);
  free(filters[0].options);
  if (rc != LZMA_OK) return false;
  return RunLzma(stream, data + 4 + propertiesLength, size - 4 - propertiesLength, out);
}

bool DecodeXz(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& problem) {
  problem = "damaged xz data";
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&stream, std::numeric_limits<uint64_t>::max(), 0) != LZMA_OK)
    return false;
  return RunLzma(stream, data, size, out);
}

}  // namespace

uint32_t Crc32Of(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  constexpr size_t kPiece = size_t{1} << 30;
  while (size > 0) {
    const size_t n = size < kPiece ? size : kPiece;
    ebook::CrcUpdate(data, static_cast<int32_t>(n), crc);
    data += n;
    size -= n;
  }
  return crc ^ 0xFFFFFFFFu;
}

DeflateEncoder::DeflateEncoder(int level) {
  if (level > 0) compressor_ = libdeflate_alloc_compressor(level);
}

DeflateEncoder::~DeflateEncoder() {
  if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
}

bool DeflateEncoder::Compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  if (compressor_ == nullptr || size == 0) return false;
  // Room for one byte less than the data: a stream that does not fit there
  // saves nothing, and libdeflate then reports 0.
  out.resize(size - 1);
  const size_t n = libdeflate_deflate_compress(compressor_, data, size, out.data(), out.size());
  out.resize(n);
  return n != 0;
}

bool CanDecode(uint16_t method) {
  return method == kMethodStored || method == kMethodDeflate || method == kMethodBzip2 ||
         method == kMethodLzma || method == kMethodXz;
}

const char* MethodName(uint16_t method) {
  switch (method) {
    case kMethodStored:
      return "stored";
    case 1:
      return "shrink";
    case 6:
      return "implode";
    case kMethodDeflate:
      return "deflate";
    case 9:
      return "deflate64";
    case kMethodBzip2:
      return "bzip2";
    case kMethodLzma:
      return "LZMA";
    case 93:
      return "zstd";
    case kMethodXz:
      return "xz";
    case 98:
      return "PPMd";
    case 99:
      return "AES encryption";
    default:
      return "unknown";
  }
}

bool DecodeEntry(uint16_t method, const uint8_t* data, size_t size, size_t uncompressedSize,
                 std::vector<uint8_t>& out, std::string& problem) {
  out.assign(uncompressedSize, 0);
  bool ok = false;
  switch (method) {
    case kMethodStored:
      ok = size == uncompressedSize;
      if (ok)
        std::memcpy(out.data(), data, size);
      else
        problem = "stored data and recorded size differ";
      break;
    case kMethodDeflate: {
      ebook::MemorySink sink(out.data(), out.size());
      ebook::EntryStream stream;
      ok = InflateThroughEngine(data, size, sink, stream, problem);
      if (ok && (stream.WriteFailed || sink.Size() != uncompressedSize)) {
        problem = "deflate data and recorded size differ";
        ok = false;
      }
      break;
    }
    case kMethodBzip2:
      ok = DecodeBzip2(data, size, out, problem);
      break;
    case kMethodLzma:
      ok = DecodeLzma(data, size, out, problem);
      break;
    case kMethodXz:
      ok = DecodeXz(data, size, out, problem);
      break;
    default:
      problem = std::string("cannot decode ") + MethodName(method);
      break;
  }
  return ok;
}

bool VerifyDeflate(const uint8_t* data, size_t size, uint32_t crc32, size_t uncompressedSize,
                   std::string& problem) {
  CountingSink sink;
  ebook::EntryStream stream;
  if (!InflateThroughEngine(data, size, sink, stream, problem)) return false;
  if (sink.Written() != uncompressedSize) {
    problem = "deflate data and recorded size differ";
    return false;
  }
  if (!stream.Verified(crc32)) {
    problem = "CRC error: the data is damaged";
    return false;
  }
  return true;
}

bool RandomBytes::Open() {
  in_.open("/dev/urandom", std::ios::binary);
  return static_cast<bool>(in_);
}

bool RandomBytes::Fill(uint8_t* out, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
  return static_cast<size_t>(in_.gcount()) == count;
}

std::vector<uint8_t> Encrypt(const uint8_t* data, size_t size, std::string_view password,
                             uint8_t checkByte, const uint8_t (&random)[11]) {
  std::vector<uint8_t> out(ebook::kEncryptionHeaderSize + size);
  std::memcpy(out.data(), random, sizeof random);
  out[ebook::kEncryptionHeaderSize - 1] = checkByte;
  if (size != 0) std::memcpy(out.data() + ebook::kEncryptionHeaderSize, data, size);
  ebook::CipherKeys keys;
  ebook::InitKeys(keys, password);
  for (uint8_t& b : out) {
    const uint8_t plain = b;
    b = plain ^ ebook::DecryptByte(keys);
    ebook::UpdateKeys(keys, plain);
  }
  return out;
}

bool PasswordMatches(const EntryRecord& record, const uint8_t* data, std::string_view password) {
  constexpr int kHeader = ebook::kEncryptionHeaderSize;
  if (record.CompressedSize < static_cast<uint32_t>(kHeader)) return false;
  uint8_t work[2 * kHeader];
  std::memcpy(work + kHeader, data, kHeader);
  ebook::CipherKeys keys;
  const std::string key(password);
  if (!ebook::TestEncryptionHeader(work, kHeader, record.Flags, record.Crc32, record.ModTime,
                                   key.c_str(), keys)) {
    return false;
  }
  std::vector<uint8_t> plain(data + kHeader, data + record.CompressedSize);
  ebook::DecryptBuffer(keys, plain.data(), plain.size());
  std::string problem;
  if (record.Method == kMethodDeflate)
    return VerifyDeflate(plain.data(), plain.size(), record.Crc32, record.UncompressedSize,
                         problem);
  return record.Method == kMethodStored && plain.size() == record.UncompressedSize &&
         Crc32Of(plain.data(), plain.size()) == record.Crc32;
}

}  // namespace bookpack
