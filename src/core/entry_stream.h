// The data of one archive entry on its way from the archive to its target.
//
// Both the stored copy and the inflate decoder move an entry through this one
// record, so the rules hold for every method: a read never asks for more than
// the entry's unread bytes (so nothing past the entry's data is ever read),
// encrypted bytes are decrypted right after each read, and the CRC advances
// only over the bytes the sink reports as written. A write that fails or comes
// up short is remembered, so that the verdict can refuse the entry even when
// the bytes produced were sound.
#pragma once

#include <cstdint>

#include "zip_cipher.h"

namespace ebook {

// Where an entry's data comes from: the archive file in the stub, memory in
// the tests and tools. Delivering 0 bytes means the data ended (or a read
// failed); the stream then treats the entry's input as used up.
class ByteSource {
 public:
  virtual int32_t Read(uint8_t* buffer, int32_t count) = 0;

 protected:
  ~ByteSource() = default;
};

// Where the entry's bytes go. Returns how many of `count` bytes were written.
class ByteSink {
 public:
  virtual int32_t Write(const uint8_t* data, int32_t count) = 0;

 protected:
  ~ByteSink() = default;
};

// The largest piece that moves in one read or write.
inline constexpr int32_t kChunkSize = 32768;

struct EntryStream {
  ByteSource* Source = nullptr;
  ByteSink* Sink = nullptr;
  int32_t BytesRemaining = 0;  // entry data bytes not yet read
  CipherKeys* Keys = nullptr;  // primed keys while the entry is encrypted
  uint32_t CrcRegister = 0xFFFFFFFFu;
  bool WriteFailed = false;
  // The most bytes the entry may produce (its header's size): a header
  // that understates its data must not fill the disk. Output beyond it is
  // not written, and the entry counts as damaged.
  uint32_t OutputLimit = 0xFFFFFFFFu;
  uint32_t BytesWritten = 0;
  bool Overran = false;

  // Reads min(BytesRemaining, capacity) bytes, decrypts them, and counts them
  // off BytesRemaining. Returns the count delivered; once a read delivers
  // nothing, BytesRemaining drops to 0 and every later call returns 0.
  int32_t ReadData(uint8_t* buffer, int32_t capacity);

  // Writes `count` bytes and advances the CRC over what was written. Returns
  // false when the sink wrote less (WriteFailed) or the output would pass
  // OutputLimit (Overran; what fits is written): the entry ends there.
  bool WriteData(const uint8_t* data, int32_t count);

  // The verdict on an entry: every byte was written, exactly `expectedSize`
  // of them (its header's size), and the CRC-32 matches.
  bool Verified(uint32_t expectedCrc32, uint32_t expectedSize) const {
    return Verified(expectedCrc32) && BytesWritten == expectedSize;
  }
  // The verdict on a stream whose size nobody stated (the codec's tests).
  bool Verified(uint32_t expectedCrc32) const {
    return !WriteFailed && !Overran && (CrcRegister ^ 0xFFFFFFFFu) == expectedCrc32;
  }
};

}  // namespace ebook
