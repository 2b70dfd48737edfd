// The archive appended to the stub, and the walk from one local header to
// the next.
//
// Packaged file:
//
//   0            stub program, StubLength bytes
//   StubLength   size field: total length of the packaged file (LE 32-bit)
//   +4           four spare bytes, not read
//   +8           ZIP archive: local header, name, extra field, data, ... then
//                the central directory, which the walk never reads
//
// Every offset is 32-bit, so a packaged file is shorter than 4 GiB (2 GiB
// for the signed positions of the platform).
#pragma once

#include <cstdint>

#include "entry_stream.h"
#include "setup_session.h"

namespace ebook {

inline constexpr uint32_t kStreamedFlag = 0x0008;  // sizes and CRC follow the data
inline constexpr uint32_t kEncryptedFlag = 0x0001;
inline constexpr uint32_t kUtf8NameFlag = 0x0800;

// Moves the archive's read position; ArchivePosition becomes the new
// position, or -1 when the seek failed.
void SeekArchive(SetupSession& session, uint32_t offset);

// The checks at the start of every pass: the size field against the file's
// length, then the seek to the first local header. Shows the message and
// returns false when the pass must end.
bool RunPassStartChecks(SetupSession& session);

// Reads the header at the read position into CurrentHeader; true when it is
// a local header. Sets BytesRemaining to its compressed size (0 if rejected).
bool ReadLocalHeader(SetupSession& session);

// Copies `count` bytes of `bytes` as a NUL-terminated text into `out`, cut at
// the first NUL among them. Returns the text's length, or -1 (and an empty
// text) when the bytes do not fit in `outSize` - 1.
int32_t NameFromBuffer(const char* bytes, int32_t count, char* out, int32_t outSize);

// Reads the current entry's name (it follows the header) into `out`.
// Returns the name's length, or -1 when the name does not fit: `out` then
// holds its first outSize - 1 bytes, and nothing is read past the buffer.
int32_t ReadEntryName(SetupSession& session, char* out, int32_t outSize);

// Offset of the entry's data (after name and extra field) for a header at `h`.
uint64_t EntryDataOffset(const LocalFileHeader& header, uint32_t h);

// Moves to the record after the current entry (header at `h`), skipping a
// data descriptor that some writers put after entries whose header already
// holds the sizes. Returns false when the next record would not lie after
// this one (sizes that wrap around): the walk must end there.
bool SeekNextHeader(SetupSession& session, uint32_t h);

// One entry as the walk meets it.
struct WalkedEntry {
  uint32_t HeaderOffset = 0;
  char Stored[kNameBufferSize];  // the name as stored, cut to the buffer
  char Name[kEntryTextSize];     // decoded into UTF-8
  bool NameFits = false;              // neither cut nor too long once decoded
  // The header's sizes are 0xFFFFFFFF and no Zip64 field gives the real
  // ones, or the real ones are beyond what a packaged file can hold.
  bool SizesUnreadable = false;
  // Streamed (sizes only after the data) and not shown by a descriptor
  // right there to be an empty file: where the next record starts is unknown.
  bool SizesUnknown = false;
};

enum class WalkStep {
  kEntry,    // `entry` is filled in and the read position is at its data
  kEnd,      // the central directory or an end record: the archive's normal end
  kStopped,  // no record could be read or followed: a damaged or unknown archive
};

// Reads the record at the read position: the local header, the name, the
// real sizes of a Zip64 entry, and whether a streamed entry is a confirmed
// empty file. Both passes and the publisher's tool walk through this. When
// no entry is read, `entry` still describes the one before.
WalkStep ReadNextEntry(SetupSession& session, WalkedEntry& entry);

// After the entry's data: moves to the next record. False when it cannot be
// found (sizes that wrap around, or unknown sizes): the walk has stopped.
bool SkipToNextEntry(SetupSession& session, const WalkedEntry& entry);

// The entry's data as a byte source: reads from the archive handle.
class ArchiveSource final : public ByteSource {
 public:
  explicit ArchiveSource(SetupSession& session) : session_(session) {}
  int32_t Read(uint8_t* buffer, int32_t count) override;

 private:
  SetupSession& session_;
};

// The target file as a byte sink.
class OutputSink final : public ByteSink {
 public:
  explicit OutputSink(SetupSession& session) : session_(session) {}
  int32_t Write(const uint8_t* data, int32_t count) override;

 private:
  SetupSession& session_;
};

}  // namespace ebook
