#include "archive.h"

#include "extract.h"

#include <cstring>

namespace ebook {
namespace {

constexpr uint32_t kSwappedSignature = 0x50000000u;  // file bytes 00 00 00 50
constexpr char kSizeErrorMessage[] = "Error in the archive size. Please repeat the download.";
constexpr char kSeekErrorMessage[] = "Error finding attached archive.";

// Little-endian fields, read whole: every machine the engine runs on is
// little-endian, and one load is a fraction of the code of four.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the archive's fields are little-endian");
uint16_t Read16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t Read32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The local-header signature must not appear as bytes in the stub's image
// (the stub would otherwise find itself where it looks for the archive), so
// it is made at run time from its neighbour, out of the compiler's sight.
uint32_t LocalHeaderSignature() {
  volatile uint32_t above = 0x04034B51u;
  return above - 1;
}

// Descriptor signature 50 4B 07 08, made the same way for the same reason.
uint32_t DescriptorSignature() {
  volatile uint32_t above = 0x08074B51u;
  return above - 1;
}

// Where the PE header of the packaged file's stub puts its certificate
// table (the security directory holds a file offset, not an address).
struct CertificateTable {
  uint32_t Offset = 0;
  uint32_t Size = 0;
};

CertificateTable ReadCertificateTable(SetupSession& session) {
  Platform& host = *session.Host;
  uint8_t dos[64];
  if (host.SeekFile(session.ArchiveHandle, 0) != 0 ||
      host.ReadFile(session.ArchiveHandle, dos, sizeof dos) != sizeof dos || dos[0] != 'M' ||
      dos[1] != 'Z') {
    return {};
  }
  // The signature, the file header, and the optional header up to and
  // including the security entry of its data directory: PE32 keeps its
  // directories 96 bytes into the optional header, PE32+ 112, and the
  // security entry is the fifth, so a PE32+ header needs 112 + 5 * 8 bytes.
  constexpr int kOptional = 24;
  constexpr int kSecurityEntry = 4;
  uint8_t pe[kOptional + 112 + (kSecurityEntry + 1) * 8];
  const uint32_t at = Read32(dos + 0x3C);
  if (at >= session.StubLength || host.SeekFile(session.ArchiveHandle, at) != at ||
      host.ReadFile(session.ArchiveHandle, pe, sizeof pe) != sizeof pe) {
    return {};
  }
  if (Read32(pe) != 0x00004550u) return {};  // "PE\0\0"
  const uint16_t magic = Read16(pe + kOptional);
  const int directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
  if (directories == 0 || Read32(pe + kOptional + directories - 4) <= kSecurityEntry) return {};
  const uint8_t* security = pe + kOptional + directories + kSecurityEntry * 8;
  static_assert(kOptional + 112 + kSecurityEntry * 8 + 8 <= sizeof pe);
  return {Read32(security), Read32(security + 4)};
}

// A setup signed after packaging ends in its certificate table, which the
// size field does not count. Signing tools start the table on an 8-byte
// boundary, padding with up to 7 zero bytes. Accepted only when the table
// starts where the size field says the setup ends (after such padding and
// nothing else) and runs exactly to the end of the file: anything else
// appended is still a damaged download.
bool IsSignedPackage(SetupSession& session, uint32_t sizeField, uint32_t fileLength) {
  if (sizeField <= session.ArchiveStart || fileLength <= sizeField) return false;
  const CertificateTable table = ReadCertificateTable(session);
  if (table.Offset < sizeField || table.Offset - sizeField >= 8 || table.Offset >= fileLength ||
      table.Size != fileLength - table.Offset) {
    return false;
  }
  if (table.Offset != sizeField) {
    uint8_t padding[8] = {};
    const int32_t count = static_cast<int32_t>(table.Offset - sizeField);
    if (session.Host->SeekFile(session.ArchiveHandle, sizeField) != sizeField ||
        session.Host->ReadFile(session.ArchiveHandle, padding, count) != count ||
        (Read32(padding) | Read32(padding + 4)) != 0) {
      return false;
    }
  }
  // The table holds WIN_CERTIFICATE records: the first one's length must
  // lie within the table.
  uint8_t record[8];
  if (session.Host->SeekFile(session.ArchiveHandle, table.Offset) != table.Offset ||
      session.Host->ReadFile(session.ArchiveHandle, record, sizeof record) != sizeof record) {
    return false;
  }
  const uint32_t length = Read32(record);
  return length >= sizeof record && length <= table.Size;
}

}  // namespace

void SeekArchive(SetupSession& session, uint32_t offset) {
  uint32_t position = session.Host->SeekFile(session.ArchiveHandle, offset);
  session.ArchivePosition = position == 0xFFFFFFFFu ? -1 : static_cast<int32_t>(position);
}

bool RunPassStartChecks(SetupSession& session) {
  session.ArchiveStart = session.StubLength + 8;
  session.ExpectedSignature = LocalHeaderSignature();
  SeekArchive(session, session.ArchiveStart - 8);
  uint8_t field[4];
  bool sizeRead =
      session.ArchivePosition != -1 && session.Host->ReadFile(session.ArchiveHandle, field, 4) == 4;
  const uint32_t fileLength = session.Host->FileSize(session.ArchiveHandle);
  if (!sizeRead ||
      (Read32(field) != fileLength && !IsSignedPackage(session, Read32(field), fileLength))) {
    ShowError(*session.Host, kSizeErrorMessage);
    NoteOutcome(session, kOutcomeDamaged);
    return false;
  }
  SeekArchive(session, session.ArchiveStart);
  if (session.ArchivePosition == -1) {
    ShowError(*session.Host, kSeekErrorMessage);
    NoteOutcome(session, kOutcomeDamaged);
    return false;
  }
  return true;
}

bool ReadLocalHeader(SetupSession& session) {
  uint8_t raw[kLocalHeaderSize] = {};
  // A short read (the end of the file) leaves a zero signature: rejected.
  session.Host->ReadFile(session.ArchiveHandle, raw, kLocalHeaderSize);
  LocalFileHeader& h = session.CurrentHeader;
  h.Signature = Read32(raw);
  h.VersionNeeded = Read16(raw + 4);
  h.Flags = Read16(raw + 6);
  h.Method = Read16(raw + 8);
  h.ModTime = Read16(raw + 10);
  h.ModDate = Read16(raw + 12);
  h.Crc32 = Read32(raw + 14);
  h.CompressedSize = Read32(raw + 18);
  h.UncompressedSize = Read32(raw + 22);
  h.NameLength = Read16(raw + 26);
  h.ExtraLength = Read16(raw + 28);
  h.Zip64 = false;
  h.DescriptorLength = 0;
  bool accepted = h.Signature == session.ExpectedSignature || h.Signature == kSwappedSignature;
  // A size that does not fit the signed count of the readers is no entry
  // that the 2 GiB packaged file can hold.
  session.BytesRemaining =
      accepted && h.CompressedSize <= 0x7FFFFFFFu ? static_cast<int32_t>(h.CompressedSize) : 0;
  return accepted;
}

int32_t NameFromBuffer(const char* bytes, int32_t count, char* out, int32_t outSize) {
  if (outSize <= 0) return -1;
  out[0] = '\0';
  if (count < 0 || count > outSize - 1) return -1;
  int32_t n = 0;
  while (n < count && bytes[n] != '\0') {
    out[n] = bytes[n];
    ++n;
  }
  out[n] = '\0';
  return n;
}

int32_t ReadEntryName(SetupSession& session, char* out, int32_t outSize) {
  if (outSize <= 0) return -1;
  const int32_t length = session.CurrentHeader.NameLength;
  const int32_t fits = length < outSize - 1 ? length : outSize - 1;
  char raw[kNameBufferSize];
  if (fits > static_cast<int32_t>(sizeof raw)) return -1;
  int32_t got = fits > 0 ? session.Host->ReadFile(session.ArchiveHandle, raw, fits) : 0;
  if (got < 0) got = 0;
  // Bytes the read did not deliver stay as NULs and so end the name.
  if (got < fits) std::memset(raw + got, 0, static_cast<size_t>(fits - got));
  int32_t n = NameFromBuffer(raw, fits, out, outSize);
  return fits == length ? n : -1;
}

uint64_t EntryDataOffset(const LocalFileHeader& header, uint32_t h) {
  return uint64_t{h} + kLocalHeaderSize + header.NameLength + header.ExtraLength;
}

bool SeekNextHeader(SetupSession& session, uint32_t h) {
  const LocalFileHeader& header = session.CurrentHeader;
  uint64_t next = EntryDataOffset(header, h) + header.CompressedSize;
  if (next > 0xFFFFFFFFu) return false;
  if (header.DescriptorLength != 0) {
    next += header.DescriptorLength;
  } else if ((header.Flags & kStreamedFlag) != 0 && header.CompressedSize != 0) {
    // Writers that set the streaming flag although the header holds the
    // real sizes still put a descriptor after the data: 16 bytes with its
    // signature, or 12 without, recognised then by the entry's CRC; a Zip64
    // entry's descriptor holds 8-byte sizes, 8 bytes more. Only these
    // entries are read at the end of their data: every other entry costs
    // one seek, to its successor.
    uint8_t word[4];
    const int wide = header.Zip64 ? 8 : 0;
    SeekArchive(session, static_cast<uint32_t>(next));
    if (session.ArchivePosition != -1 &&
        session.Host->ReadFile(session.ArchiveHandle, word, 4) == 4) {
      uint32_t first = Read32(word);
      if (first == DescriptorSignature()) {
        next += 16 + wide;
      } else if (first == header.Crc32) {
        next += 12 + wide;
      }
    }
  }
  if (next > 0xFFFFFFFFu) return false;
  SeekArchive(session, static_cast<uint32_t>(next));
  return true;
}

namespace {

// The records that may follow the last entry of a sound archive.
bool IsEndOfEntries(uint32_t signature) {
  switch (signature) {
    case 0x02014B50u:  // central directory header
    case 0x06054B50u:  // end of central directory
    case 0x06064B50u:  // Zip64 end of central directory
    case 0x07064B50u:  // Zip64 end locator
    case 0x05054B50u:  // central directory signature
    case 0x08064B50u:  // archive extra data
      return true;
    default:
      return false;
  }
}

// A header whose sizes are 0xFFFFFFFF keeps the real ones in its Zip64
// extra field (tag 1), which in a local header holds both sizes,
// uncompressed first. False when there is no such field or the sizes are
// beyond what a packaged file can hold.
bool ReadZip64Sizes(SetupSession& session, uint32_t h) {
  Platform& host = *session.Host;
  LocalFileHeader& header = session.CurrentHeader;
  uint32_t at = h + kLocalHeaderSize + header.NameLength;
  uint32_t left = header.ExtraLength;
  while (left >= 4) {
    uint8_t field[4 + 16];
    SeekArchive(session, at);
    if (session.ArchivePosition == -1 || host.ReadFile(session.ArchiveHandle, field, 4) != 4) {
      return false;
    }
    const uint32_t size = Read16(field + 2);
    if (size > left - 4) return false;
    if (Read16(field) == 0x0001) {
      if (size < 16 || host.ReadFile(session.ArchiveHandle, field + 4, 16) != 16) return false;
      const uint32_t uncompressed = Read32(field + 4);
      const uint32_t compressed = Read32(field + 12);
      // High words of zero and sizes that fit the signed positions.
      if ((Read32(field + 8) | Read32(field + 16)) != 0 || (uncompressed | compressed) > 0x7FFFFFFFu) {
        return false;
      }
      header.UncompressedSize = uncompressed;
      header.CompressedSize = compressed;
      header.Zip64 = true;
      session.BytesRemaining = static_cast<int32_t>(compressed);
      return true;
    }
    // The entry's data offset was checked to lie below 4 GiB, so this
    // cannot wrap.
    at += 4 + size;
    left -= 4 + size;
  }
  return false;
}

// A streamed entry with zero sizes and CRC is an empty file when the data
// descriptor right at its data confirms that: 16 bytes with the signature,
// or 12 without, followed then by the next record. Streaming packers (bsdtar)
// write every empty file so. Returns the descriptor's length, or 0.
uint8_t ConfirmedEmptyDescriptor(SetupSession& session, uint32_t data) {
  const LocalFileHeader& header = session.CurrentHeader;
  if (header.Crc32 != 0 || header.CompressedSize != 0 || header.UncompressedSize != 0) return 0;
  uint8_t bytes[16];
  SeekArchive(session, data);
  if (session.ArchivePosition == -1 ||
      session.Host->ReadFile(session.ArchiveHandle, bytes, sizeof bytes) != sizeof bytes) {
    return 0;
  }
  const bool zeros = Read32(bytes + 4) == 0 && Read32(bytes + 8) == 0;
  if (Read32(bytes) == DescriptorSignature() && zeros && Read32(bytes + 12) == 0) return 16;
  const uint32_t after = Read32(bytes + 12);
  if (Read32(bytes) == 0 && zeros && (after == session.ExpectedSignature || IsEndOfEntries(after))) {
    return 12;
  }
  return 0;
}

// A streamed entry whose header holds the sizes but a CRC of 0 (bsdtar
// stores so) keeps its CRC in the signed descriptor after the data: taken
// from there when the descriptor's compressed size agrees with the header.
void TakeCrcFromDescriptor(SetupSession& session, uint32_t data) {
  LocalFileHeader& header = session.CurrentHeader;
  const uint64_t at = uint64_t{data} + header.CompressedSize;
  if (at > 0xFFFFFFFFu) return;
  uint8_t bytes[16];
  SeekArchive(session, static_cast<uint32_t>(at));
  if (session.ArchivePosition == -1 ||
      session.Host->ReadFile(session.ArchiveHandle, bytes, sizeof bytes) != sizeof bytes) {
    return;
  }
  if (Read32(bytes) != DescriptorSignature() || Read32(bytes + 8) != header.CompressedSize ||
      Read32(bytes + 12) != header.UncompressedSize) {
    return;
  }
  header.Crc32 = Read32(bytes + 4);
  header.DescriptorLength = 16;
}

}  // namespace

WalkStep ReadNextEntry(SetupSession& session, WalkedEntry& entry) {
  Platform& host = *session.Host;
  if (session.ArchivePosition < 0) return WalkStep::kStopped;
  const uint32_t h = static_cast<uint32_t>(session.ArchivePosition);
  if (!ReadLocalHeader(session)) {
    return IsEndOfEntries(session.CurrentHeader.Signature) ? WalkStep::kEnd : WalkStep::kStopped;
  }
  // Field by field: a whole-record reset would cost a kilobyte of zeros in
  // the stub's image. The name buffers are written below.
  entry.SizesUnreadable = false;
  entry.SizesUnknown = false;
  LocalFileHeader& header = session.CurrentHeader;
  entry.HeaderOffset = h;
  int32_t length = ReadEntryName(session, entry.Stored, sizeof entry.Stored);
  // Names are judged and used as the file system will see them: a byte
  // that looks like a separator may be half of a double-byte character.
  const bool utf8 = (header.Flags & kUtf8NameFlag) != 0;
  if (host.DecodeStoredText(entry.Stored, utf8, entry.Name, sizeof entry.Name) < 0) length = -1;
  entry.NameFits = length >= 0;
  const uint64_t data = EntryDataOffset(header, h);
  if (data > 0xFFFFFFFFu) return WalkStep::kStopped;
  if (header.CompressedSize == 0xFFFFFFFFu || header.UncompressedSize == 0xFFFFFFFFu) {
    entry.SizesUnreadable = !ReadZip64Sizes(session, h);
  }
  if (!entry.SizesUnreadable && (header.Flags & kStreamedFlag) != 0) {
    if (header.CompressedSize == 0) {
      header.DescriptorLength = ConfirmedEmptyDescriptor(session, static_cast<uint32_t>(data));
      entry.SizesUnknown = header.DescriptorLength == 0;
    } else if (header.Crc32 == 0 && !header.Zip64) {
      TakeCrcFromDescriptor(session, static_cast<uint32_t>(data));
    }
  }
  SeekArchive(session, static_cast<uint32_t>(data));
  return WalkStep::kEntry;
}

bool SkipToNextEntry(SetupSession& session, const WalkedEntry& entry) {
  if (entry.SizesUnreadable || entry.SizesUnknown) return false;
  return SeekNextHeader(session, entry.HeaderOffset);
}

int32_t ArchiveSource::Read(uint8_t* buffer, int32_t count) {
  int32_t got = session_.Host->ReadFile(session_.ArchiveHandle, buffer, count);
  return got < 0 ? 0 : got;
}

int32_t OutputSink::Write(const uint8_t* data, int32_t count) {
  ShowPendingStatus(session_, false);
  session_.Host->KeepResponsive();
  return session_.Host->WriteFile(session_.OutputHandle, data, count);
}

}  // namespace ebook
