// Turning one entry's bytes into what the stub reads, and reading what other
// tools wrote: deflate through libdeflate, decoding of the methods that are
// recompressed, and the traditional PKWARE encryption through the engine's
// own key schedule (so that what is written is what the stub decrypts).
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/zip_cipher.h"
#include "zip_format.h"

struct libdeflate_compressor;
struct z_stream_s;

namespace bookpack {

// CRC-32 of the ZIP format, through the engine's table (BuildCrcTable must
// have run).
uint32_t Crc32Of(const uint8_t* data, size_t size);
// The CRC-32 of the bytes whose CRC-32 is `crc` followed by `data`.
uint32_t Crc32Continue(uint32_t crc, const uint8_t* data, size_t size);

// One per thread: libdeflate's compressor keeps its work space between calls.
class DeflateEncoder {
 public:
  explicit DeflateEncoder(int level);
  ~DeflateEncoder();
  DeflateEncoder(const DeflateEncoder&) = delete;
  DeflateEncoder& operator=(const DeflateEncoder&) = delete;

  // The deflate stream of `data` in `out` when it is shorter than the data
  // itself; false when storing is as good (level 0 always stores).
  bool Compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
  int Level() const { return level_; }

 private:
  libdeflate_compressor* compressor_ = nullptr;
  int level_ = 0;
};

// Compresses data handed over a piece at a time into one raw deflate
// stream, through zlib: for entries whose decoded size is only known once
// they are decoded, which are never held whole.
class PieceDeflater {
 public:
  // `level` as bookpack's --level (1 to 12), mapped onto zlib's 1 to 9.
  // With `spool` the stream goes into that file instead of memory.
  explicit PieceDeflater(int level, std::FILE* spool = nullptr);
  ~PieceDeflater();
  PieceDeflater(const PieceDeflater&) = delete;
  PieceDeflater& operator=(const PieceDeflater&) = delete;

  void Add(const uint8_t* data, size_t size);
  // The whole stream (nothing when spooled); false when zlib or the spool
  // failed.
  bool Finish(std::vector<uint8_t>& out);
  uint64_t Size() const { return size_; }

 private:
  void Run(int flush);
  ::z_stream_s* stream_ = nullptr;
  std::vector<uint8_t> out_;
  std::FILE* spool_ = nullptr;
  uint64_t size_ = 0;
  bool failed_ = false;
};

// Whether entries of this method can be decoded here.
bool CanDecode(uint16_t method);
const char* MethodName(uint16_t method);

// Takes decoded data a piece at a time.
using PieceTaker = std::function<void(const uint8_t*, size_t)>;

// Decodes an unencrypted entry's data, handing it to `take` a piece at a
// time: memory stays that of one piece whatever the entry's size. A claim
// beyond what the method can expand the data to is refused before any
// decoding, and no more than the claim is ever handed on. False with the
// reason in `problem` (what was handed on until then is to be dropped).
bool DecodeInPieces(uint16_t method, const uint8_t* data, size_t size, size_t uncompressedSize,
                    const PieceTaker& take, std::string& problem);

// Decodes an unencrypted entry's data into exactly `uncompressedSize` bytes.
// Deflate goes through the stub's own inflate decoder, so data that passes
// here is data the stub reads. False with the reason in `problem`.
bool DecodeEntry(uint16_t method, const uint8_t* data, size_t size, size_t uncompressedSize,
                 std::vector<uint8_t>& out, std::string& problem);

// Checks deflate data with the stub's decoder without keeping the output:
// its CRC and length against the record's. `decoded`, when given, hears of
// the bytes decoded so far as they come (for a progress line).
bool VerifyDeflate(const uint8_t* data, size_t size, uint32_t crc32, size_t uncompressedSize,
                   std::string& problem,
                   const std::function<void(uint64_t)>* decoded = nullptr);

// Random bytes for encryption headers, from the system's generator
// (/dev/urandom, BCryptGenRandom); shared by threads.
class RandomBytes {
 public:
  bool Open();
  bool Fill(uint8_t* out, size_t count);

 private:
  std::mutex mutex_;
};

// The entry's stored data encrypted: a 12-byte encryption header (random
// bytes, then `checkByte`, which the stub compares with the CRC's or the
// time's high byte), then `data`, all through the traditional cipher.
std::vector<uint8_t> Encrypt(const uint8_t* data, size_t size, std::string_view password,
                             uint8_t checkByte, const uint8_t (&random)[11]);

// The 12-byte encryption header alone, leaving `keys` ready to encrypt the
// data that follows it (ebook::EncryptBuffer-style, byte by byte).
std::vector<uint8_t> EncryptionHeader(std::string_view password, uint8_t checkByte,
                                      const uint8_t (&random)[11], ebook::CipherKeys& keys);

// Encrypts `size` bytes in place with `keys`, moving them on.
void EncryptInPlace(ebook::CipherKeys& keys, uint8_t* data, size_t size);

// Whether `password` opens the encrypted entry `record` whose stored data
// (encryption header included) is at `data`: it passes the header the way
// the stub tests it, and the data it decrypts passes the CRC. The header's
// one check byte alone lets one wrong password in 256 through.
bool PasswordMatches(const EntryRecord& record, const uint8_t* data, std::string_view password);

}  // namespace bookpack
