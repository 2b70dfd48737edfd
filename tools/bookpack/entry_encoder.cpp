#include "entry_encoder.h"

#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>

#include <algorithm>
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

// The most a claim can exceed what the data holds: the densest streams of
// each method, measured and rounded up. Deflate spends at least two bits on
// a 258-byte copy; bzip2 turns a 65-byte block of one repeated byte into
// 46 MB; LZMA and xz reach about 7,000:1 on zeros. A claim above the bound
// is a damaged (or hostile) record, refused before any buffer is sized.
constexpr uint64_t kDeflateMostRatio = 1032;
constexpr uint64_t kBzip2MostRatio = 1u << 20;
constexpr uint64_t kLzmaMostRatio = 1u << 14;
constexpr uint64_t kSlack = 1024;
// xz's decoder refuses streams that need more; xz -9 needs 65 MiB.
constexpr uint64_t kLzmaMemoryLimit = uint64_t{256} << 20;
// Output buffers start at most this large and double as the data comes.
constexpr size_t kFirstOutput = size_t{1} << 20;

uint64_t MostOutput(uint16_t method, uint64_t size) {
  switch (method) {
    case kMethodStored:
      return size;
    case kMethodDeflate:
      return size * kDeflateMostRatio + kSlack;
    case kMethodBzip2:
      return size * kBzip2MostRatio + kSlack;
    case kMethodLzma:
    case kMethodXz:
      return size * kLzmaMostRatio + kSlack;
    default:
      return std::numeric_limits<uint64_t>::max();
  }
}

// Gives the decoder room for more output: doubles `out` up to `limit` bytes
// (the claim plus one, so that a stream holding more than its claim shows
// it). False when the limit is reached.
bool GrowOutput(std::vector<uint8_t>& out, size_t used, size_t limit) {
  if (used < out.size()) return true;
  if (out.size() >= limit) return false;
  const size_t grown = out.empty() ? kFirstOutput : out.size() * 2;
  out.resize(grown < limit ? grown : limit);
  return true;
}

// Keeps what the engine's decoder writes, in a buffer that grows with the
// output and never past the claim plus one byte.
class GrowingSink final : public ebook::ByteSink {
 public:
  GrowingSink(std::vector<uint8_t>& out, size_t limit) : out_(out), limit_(limit) {}
  int32_t Write(const uint8_t* data, int32_t count) override {
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    while (n > out_.size() - used_ && GrowOutput(out_, out_.size(), limit_)) {
    }
    if (n > out_.size() - used_) n = out_.size() - used_;
    if (n != 0) std::memcpy(out_.data() + used_, data, n);
    used_ += n;
    return static_cast<int32_t>(n);
  }
  size_t Used() const { return used_; }

 private:
  std::vector<uint8_t>& out_;
  size_t limit_;
  size_t used_ = 0;
};

bool DecodeBzip2(const uint8_t* data, size_t size, size_t expected, std::vector<uint8_t>& out,
                 std::string& problem) {
  if (size > std::numeric_limits<unsigned>::max()) {
    problem = "too large";
    return false;
  }
  bz_stream stream{};
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
    problem = "cannot start the bzip2 decoder";
    return false;
  }
  stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
  stream.avail_in = static_cast<unsigned>(size);
  const size_t limit = expected + 1;
  size_t used = 0;
  int rc = BZ_OK;
  while (rc == BZ_OK && GrowOutput(out, used, limit)) {
    const size_t room = std::min<size_t>(out.size() - used, std::numeric_limits<unsigned>::max());
    stream.next_out = reinterpret_cast<char*>(out.data() + used);
    stream.avail_out = static_cast<unsigned>(room);
    rc = BZ2_bzDecompress(&stream);
    used += room - stream.avail_out;
    // No input left and no output made: a stream cut short.
    if (rc == BZ_OK && stream.avail_in == 0 && stream.avail_out == room) break;
  }
  BZ2_bzDecompressEnd(&stream);
  out.resize(std::min(used, expected));
  if (rc != BZ_OK && rc != BZ_STREAM_END) {
    problem = "damaged bzip2 data";
    return false;
  }
  if (rc != BZ_STREAM_END || used != expected) {
    problem = "bzip2 data and recorded size differ";
    return false;
  }
  return true;
}

bool RunLzma(lzma_stream& stream, const uint8_t* data, size_t size, size_t expected,
             std::vector<uint8_t>& out, std::string& problem) {
  stream.next_in = data;
  stream.avail_in = size;
  size_t used = 0;
  lzma_ret rc = LZMA_OK;
  while (rc == LZMA_OK && used < expected && GrowOutput(out, used, expected)) {
    const size_t room = std::min(out.size(), expected) - used;
    stream.next_out = out.data() + used;
    stream.avail_out = room;
    rc = lzma_code(&stream, LZMA_FINISH);
    used += room - stream.avail_out;
  }
  // A stream without an end marker simply stops once the recorded size is
  // out; one with it, or an xz stream, must also end there.
  lzma_end(&stream);
  out.resize(std::min(used, expected));
  if (rc == LZMA_MEMLIMIT_ERROR || rc == LZMA_MEM_ERROR) {
    problem = "needs more than " + std::to_string(kLzmaMemoryLimit >> 20) +
              " MiB to decode, more than bookpack gives one entry";
    return false;
  }
  if (used != expected) return false;
  return rc == LZMA_OK || rc == LZMA_STREAM_END;
}

// ZIP's LZMA: a 2-byte version, a 2-byte properties length, the properties,
// then the raw LZMA stream (APPNOTE 5.8.8).
bool DecodeLzma(const uint8_t* data, size_t size, size_t expected, std::vector<uint8_t>& out,
                std::string& problem) {
  problem = "damaged LZMA data";
  if (size < 4) return false;
  const size_t propertiesLength = data[2] | data[3] << 8;
  if (propertiesLength > size - 4) return false;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, data + 4, propertiesLength) != LZMA_OK)
    return false;
  // No match reaches further back than the output so far: a dictionary
  // larger than the entry would only cost memory.
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  const uint64_t most = std::max<uint64_t>(expected, LZMA_DICT_SIZE_MIN);
  if (options->dict_size > most) options->dict_size = static_cast<uint32_t>(most);
  if (lzma_raw_decoder_memusage(filters) > kLzmaMemoryLimit) {
    free(filters[0].options);
    problem = "needs more than " + std::to_string(kLzmaMemoryLimit >> 20) +
              " MiB to decode, more than bookpack gives one entry";
    return false;
  }
  lzma_stream stream = LZMA_STREAM_INIT;
  const lzma_ret rc = lzma_raw_decoder(&stream, filters);
  free(filters[0].options);
  if (rc != LZMA_OK) return false;
  return RunLzma(stream, data + 4 + propertiesLength, size - 4 - propertiesLength, expected, out,
                 problem);
}

bool DecodeXz(const uint8_t* data, size_t size, size_t expected, std::vector<uint8_t>& out,
              std::string& problem) {
  problem = "damaged xz data";
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&stream, kLzmaMemoryLimit, 0) != LZMA_OK) return false;
  return RunLzma(stream, data, size, expected, out, problem);
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

// A claim that the data cannot hold, as the refusal says it; empty when the
// claim is possible.
std::string ImpossibleClaim(uint16_t method, size_t size, size_t uncompressedSize) {
  if (!CanDecode(method) || uncompressedSize <= MostOutput(method, size)) return "";
  return "claims " + std::to_string(uncompressedSize) + " bytes, more than its " +
         std::to_string(size) + " bytes of " + MethodName(method) +
         " data can hold: the source ZIP is damaged";
}

bool DecodeEntry(uint16_t method, const uint8_t* data, size_t size, size_t uncompressedSize,
                 std::vector<uint8_t>& out, std::string& problem) {
  out.clear();
  problem = ImpossibleClaim(method, size, uncompressedSize);
  if (!problem.empty()) return false;
  bool ok = false;
  switch (method) {
    case kMethodStored:
      ok = size == uncompressedSize;
      if (ok)
        out.assign(data, data + size);
      else
        problem = "stored data and recorded size differ";
      break;
    case kMethodDeflate: {
      GrowingSink sink(out, uncompressedSize + 1);
      ebook::EntryStream stream;
      ok = InflateThroughEngine(data, size, sink, stream, problem);
      if (ok && (stream.WriteFailed || sink.Used() != uncompressedSize)) {
        problem = "deflate data and recorded size differ";
        ok = false;
      }
      out.resize(std::min(sink.Used(), uncompressedSize));
      break;
    }
    case kMethodBzip2:
      ok = DecodeBzip2(data, size, uncompressedSize, out, problem);
      break;
    case kMethodLzma:
      ok = DecodeLzma(data, size, uncompressedSize, out, problem);
      break;
    case kMethodXz:
      ok = DecodeXz(data, size, uncompressedSize, out, problem);
      break;
    default:
      problem = std::string("cannot decode ") + MethodName(method);
      break;
  }
  if (!ok) {
    out.clear();
    out.shrink_to_fit();
  }
  return ok;
}

bool VerifyDeflate(const uint8_t* data, size_t size, uint32_t crc32, size_t uncompressedSize,
                   std::string& problem) {
  problem = ImpossibleClaim(kMethodDeflate, size, uncompressedSize);
  if (!problem.empty()) return false;
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
