#include "entry_encoder.h"

#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/crc32.h"
#include "core/inflate.h"
#include "core/memory_io.h"
#include "core/zip_cipher.h"
#include "host/host_os.h"
#include "zip_format.h"

namespace bookpack {
namespace {

constexpr uint16_t kMethodBzip2 = 12;
constexpr uint16_t kMethodLzma = 14;
constexpr uint16_t kMethodXz = 95;

// Counts what the decoder writes and keeps nothing.
class CountingSink final : public ebook::ByteSink {
 public:
  explicit CountingSink(const std::function<void(uint64_t)>* decoded = nullptr)
      : decoded_(decoded) {}
  int32_t Write(const uint8_t*, int32_t count) override {
    written_ += static_cast<uint64_t>(count);
    if (decoded_ != nullptr) (*decoded_)(written_);
    return count;
  }
  uint64_t Written() const { return written_; }

 private:
  const std::function<void(uint64_t)>* decoded_;
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
// each method, rounded up generously. Deflate spends at least two bits on
// a 258-byte copy; a bzip2 block of about 25 bytes holds 900,000 runs of
// 255 repeats, some 46 MB (1.8 million to one); LZMA and xz reach about
// 7,000 to one on zeros. A claim above the bound is a damaged (or hostile)
// record, refused before anything is decoded.
constexpr uint64_t kDeflateMostRatio = 1032;
constexpr uint64_t kBzip2MostRatio = 1u << 22;
constexpr uint64_t kLzmaMostRatio = 1u << 14;
constexpr uint64_t kSlack = 1024;
// xz's decoder refuses streams that need more; xz -9 needs 65 MiB.
constexpr uint64_t kLzmaMemoryLimit = uint64_t{256} << 20;
// Decoded data is handed on in pieces of this size.
constexpr size_t kPiece = size_t{1} << 20;

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

// Hands what the engine's decoder writes on, refusing (as a full disk
// would) anything past `limit` bytes.
class PieceSink final : public ebook::ByteSink {
 public:
  PieceSink(const PieceTaker& take, size_t limit) : take_(take), limit_(limit) {}
  int32_t Write(const uint8_t* data, int32_t count) override {
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    if (n > limit_ - used_) n = limit_ - used_;
    if (n != 0) take_(data, n);
    used_ += n;
    return static_cast<int32_t>(n);
  }
  size_t Used() const { return used_; }

 private:
  const PieceTaker& take_;
  size_t limit_;
  size_t used_ = 0;
};

// Decodes at most the claim plus one byte, so that a stream holding more
// shows it without being decoded whole.
bool DecodeBzip2(const uint8_t* data, size_t size, size_t expected, const PieceTaker& take,
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
  std::vector<uint8_t> piece(kPiece);
  size_t used = 0;
  int rc = BZ_OK;
  while (rc == BZ_OK && used <= expected) {
    const size_t room = std::min(piece.size(), expected + 1 - used);
    stream.next_out = reinterpret_cast<char*>(piece.data());
    stream.avail_out = static_cast<unsigned>(room);
    rc = BZ2_bzDecompress(&stream);
    const size_t made = room - stream.avail_out;
    used += made;
    if (made != 0 && used <= expected) take(piece.data(), made);
    // No input left and no output made: a stream cut short.
    if (rc == BZ_OK && stream.avail_in == 0 && made == 0) break;
  }
  BZ2_bzDecompressEnd(&stream);
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
             const PieceTaker& take, std::string& problem) {
  stream.next_in = data;
  stream.avail_in = size;
  std::vector<uint8_t> piece(kPiece);
  size_t used = 0;
  lzma_ret rc = LZMA_OK;
  while (rc == LZMA_OK && used < expected) {
    const size_t room = std::min(piece.size(), expected - used);
    stream.next_out = piece.data();
    stream.avail_out = room;
    rc = lzma_code(&stream, LZMA_FINISH);
    const size_t made = room - stream.avail_out;
    used += made;
    if (made != 0) take(piece.data(), made);
  }
  // A stream without an end marker simply stops once the recorded size is
  // out; one with it, or an xz stream, must also end there.
  lzma_end(&stream);
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
bool DecodeLzma(const uint8_t* data, size_t size, size_t expected, const PieceTaker& take,
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
  return RunLzma(stream, data + 4 + propertiesLength, size - 4 - propertiesLength, expected, take,
                 problem);
}

bool DecodeXz(const uint8_t* data, size_t size, size_t expected, const PieceTaker& take,
              std::string& problem) {
  problem = "damaged xz data";
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&stream, kLzmaMemoryLimit, 0) != LZMA_OK) return false;
  return RunLzma(stream, data, size, expected, take, problem);
}

}  // namespace

uint32_t Crc32Of(const uint8_t* data, size_t size) { return Crc32Continue(0, data, size); }

uint32_t Crc32Continue(uint32_t crc, const uint8_t* data, size_t size) {
  crc ^= 0xFFFFFFFFu;
  constexpr size_t kPiece = size_t{1} << 30;
  while (size > 0) {
    const size_t n = size < kPiece ? size : kPiece;
    ebook::CrcUpdate(data, static_cast<int32_t>(n), crc);
    data += n;
    size -= n;
  }
  return crc ^ 0xFFFFFFFFu;
}

PieceDeflater::PieceDeflater(int level, std::FILE* spool) : stream_(new z_stream{}), spool_(spool) {
  const int zlibLevel = std::clamp(level, 1, 9);
  failed_ = deflateInit2(stream_, zlibLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK;
}

PieceDeflater::~PieceDeflater() {
  if (!failed_) deflateEnd(stream_);
  delete stream_;
}

void PieceDeflater::Run(int flush) {
  uint8_t piece[65536];
  do {
    stream_->next_out = piece;
    stream_->avail_out = sizeof piece;
    const int rc = deflate(stream_, flush);
    if (rc == Z_STREAM_ERROR) {
      failed_ = true;
      return;
    }
    const size_t made = sizeof piece - stream_->avail_out;
    size_ += made;
    if (spool_ == nullptr) {
      out_.insert(out_.end(), piece, piece + made);
    } else if (made != 0 && std::fwrite(piece, 1, made, spool_) != made) {
      failed_ = true;
      return;
    }
  } while (stream_->avail_out == 0 || (flush == Z_FINISH && stream_->avail_in != 0));
}

void PieceDeflater::Add(const uint8_t* data, size_t size) {
  constexpr size_t kMost = 1u << 30;
  while (!failed_ && size > 0) {
    const size_t n = std::min(size, kMost);
    stream_->next_in = const_cast<uint8_t*>(data);
    stream_->avail_in = static_cast<uInt>(n);
    Run(Z_NO_FLUSH);
    data += n;
    size -= n;
  }
}

bool PieceDeflater::Finish(std::vector<uint8_t>& out) {
  if (!failed_) {
    stream_->next_in = nullptr;
    stream_->avail_in = 0;
    Run(Z_FINISH);
  }
  if (spool_ != nullptr && std::fflush(spool_) != 0) failed_ = true;
  out = std::move(out_);
  return !failed_;
}

DeflateEncoder::DeflateEncoder(int level) : level_(level) {
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

bool DecodeInPieces(uint16_t method, const uint8_t* data, size_t size, size_t uncompressedSize,
                    const PieceTaker& take, std::string& problem) {
  problem = ImpossibleClaim(method, size, uncompressedSize);
  if (!problem.empty()) return false;
  switch (method) {
    case kMethodStored:
      if (size != uncompressedSize) {
        problem = "stored data and recorded size differ";
        return false;
      }
      for (size_t at = 0; at < size; at += kPiece) take(data + at, std::min(kPiece, size - at));
      return true;
    case kMethodDeflate: {
      PieceSink sink(take, uncompressedSize + 1);
      ebook::EntryStream stream;
      if (!InflateThroughEngine(data, size, sink, stream, problem)) return false;
      if (stream.WriteFailed || sink.Used() != uncompressedSize) {
        problem = "deflate data and recorded size differ";
        return false;
      }
      return true;
    }
    case kMethodBzip2:
      return DecodeBzip2(data, size, uncompressedSize, take, problem);
    case kMethodLzma:
      return DecodeLzma(data, size, uncompressedSize, take, problem);
    case kMethodXz:
      return DecodeXz(data, size, uncompressedSize, take, problem);
    default:
      problem = std::string("cannot decode ") + MethodName(method);
      return false;
  }
}

bool DecodeEntry(uint16_t method, const uint8_t* data, size_t size, size_t uncompressedSize,
                 std::vector<uint8_t>& out, std::string& problem) {
  out.clear();
  // The buffer grows with what really comes, not with the claim.
  const bool ok = DecodeInPieces(
      method, data, size, uncompressedSize,
      [&](const uint8_t* piece, size_t n) { out.insert(out.end(), piece, piece + n); }, problem);
  if (!ok) {
    out.clear();
    out.shrink_to_fit();
  }
  return ok;
}

bool VerifyDeflate(const uint8_t* data, size_t size, uint32_t crc32, size_t uncompressedSize,
                   std::string& problem, const std::function<void(uint64_t)>* decoded) {
  problem = ImpossibleClaim(kMethodDeflate, size, uncompressedSize);
  if (!problem.empty()) return false;
  CountingSink sink(decoded);
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
  uint8_t probe;
  return Fill(&probe, 1);
}

bool RandomBytes::Fill(uint8_t* out, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ebook::os::RandomBytes(out, count);
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

std::vector<uint8_t> EncryptionHeader(std::string_view password, uint8_t checkByte,
                                      const uint8_t (&random)[11], ebook::CipherKeys& keys) {
  std::vector<uint8_t> header(ebook::kEncryptionHeaderSize);
  std::memcpy(header.data(), random, sizeof random);
  header[ebook::kEncryptionHeaderSize - 1] = checkByte;
  ebook::InitKeys(keys, password);
  EncryptInPlace(keys, header.data(), header.size());
  return header;
}

void EncryptInPlace(ebook::CipherKeys& keys, uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const uint8_t plain = data[i];
    data[i] = plain ^ ebook::DecryptByte(keys);
    ebook::UpdateKeys(keys, plain);
  }
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
