#include "entry_stream.h"

#include "crc32.h"

namespace ebook {

int32_t EntryStream::ReadData(uint8_t* buffer, int32_t capacity) {
  if (BytesRemaining <= 0 || capacity <= 0) return 0;
  int32_t want = BytesRemaining < capacity ? BytesRemaining : capacity;
  int32_t got = Source->Read(buffer, want);
  if (got <= 0) {
    // A read that delivers nothing ends the entry's input for good.
    BytesRemaining = 0;
    return 0;
  }
  if (got > want) got = want;
  if (Keys != nullptr) DecryptBuffer(*Keys, buffer, static_cast<size_t>(got));
  BytesRemaining -= got;
  return got;
}

bool EntryStream::WriteData(const uint8_t* data, int32_t count) {
  if (count <= 0) return true;
  const uint32_t room = OutputLimit - BytesWritten;
  int32_t allowed = count;
  if (static_cast<uint32_t>(count) > room) {
    Overran = true;
    allowed = static_cast<int32_t>(room);
  }
  int32_t written = allowed > 0 ? Sink->Write(data, allowed) : 0;
  if (written < 0) written = 0;
  if (written > allowed) written = allowed;
  CrcUpdate(data, written, CrcRegister);
  BytesWritten += static_cast<uint32_t>(written);
  if (written != allowed) {
    WriteFailed = true;
    return false;
  }
  return !Overran;
}

}  // namespace ebook
