#include "zip_reader.h"

#include <algorithm>

#include "core/crc32.h"
#include "core/licence.h"

namespace bookpack {
namespace {

constexpr uint16_t kZip64ExtraTag = 0x0001;
constexpr uint16_t kUnicodePathTag = 0x7075;  // Info-ZIP: UTF-8 name for a code-page one
constexpr size_t kZip64EndRecordLength = 56;
constexpr size_t kZip64LocatorLength = 20;
constexpr size_t kLongestComment = 0xFFFF;

struct Directory {
  uint64_t Entries = 0;
  uint64_t Size = 0;
  uint64_t Offset = 0;  // as recorded
  uint64_t End = 0;     // where the directory must end: the (Zip64) end record
};

// The end record is found from the back, as every reader finds it; a
// comment can hold its signature, so the record must also account for
// exactly the bytes that follow it. Writers that block their output (bsdtar
// to a pipe pads to 10 KiB) leave zeros after it: accepted when no record
// accounts for the bytes exactly.
bool FindDirectory(const uint8_t* bytes, size_t size, Directory& dir, std::string& error) {
  if (size < kEndRecordLength) {
    error = "too short to be a ZIP archive";
    return false;
  }
  constexpr size_t kLongestPadding = 10240;
  const size_t reach = kEndRecordLength + kLongestComment + kLongestPadding;
  const size_t lowest = size > reach ? size - reach : 0;
  bool found = false;
  size_t end = 0;
  for (int pass = 0; pass < 2 && !found; ++pass) {
    end = size - kEndRecordLength + 1;
    while (end-- > lowest) {
      if (Get32(bytes + end) != kEndRecordSignature) continue;
      const size_t recordEnd = end + kEndRecordLength + Get16(bytes + end + 20);
      if (recordEnd == size && (pass == 1 || size - end <= kEndRecordLength + kLongestComment)) {
        found = true;
        break;
      }
      if (pass == 1 && recordEnd < size &&
          std::all_of(bytes + recordEnd, bytes + size, [](uint8_t b) { return b == 0; })) {
        found = true;
        break;
      }
    }
  }
  if (!found) {
    error = "no ZIP end record: not a ZIP archive";
    return false;
  }
  const uint8_t* e = bytes + end;
  if (Get16(e + 4) != 0 || Get16(e + 6) != 0 || Get16(e + 8) != Get16(e + 10)) {
    error = "a split (multi-volume) archive; join it into one file first";
    return false;
  }
  dir.Entries = Get16(e + 10);
  dir.Size = Get32(e + 12);
  dir.Offset = Get32(e + 16);
  dir.End = end;
  if (end >= kZip64LocatorLength && Get32(e - kZip64LocatorLength) == kZip64LocatorSignature) {
    const uint8_t* locator = e - kZip64LocatorLength;
    const uint64_t recorded = Get64(locator + 8);
    // Like the central directory, the Zip64 end record may have moved when
    // something was put in front of the archive: it lies right before the
    // locator unless it carries an extensible data sector.
    uint64_t at = end - kZip64LocatorLength - kZip64EndRecordLength;
    if (end < kZip64LocatorLength + kZip64EndRecordLength ||
        Get32(bytes + at) != kZip64EndRecordSignature) {
      at = recorded;
    }
    // Recorded offsets are anything a file says, up to 2^64 - 1: every
    // bound here is checked by subtraction, so that none can wrap.
    if (at > size || size - at < kZip64EndRecordLength ||
        Get32(bytes + at) != kZip64EndRecordSignature) {
      error = "damaged Zip64 end record";
      return false;
    }
    const uint8_t* z = bytes + at;
    if (Get32(z + 16) != 0 || Get32(z + 20) != 0 || Get64(z + 24) != Get64(z + 32)) {
      error = "a split (multi-volume) archive; join it into one file first";
      return false;
    }
    dir.Entries = Get64(z + 32);
    dir.Size = Get64(z + 40);
    dir.Offset = Get64(z + 48);
    dir.End = at;
  }
  return true;
}

// The Zip64 block replaces, in this order, exactly the fields that hold
// their all-ones marker.
bool ApplyZip64(const uint8_t* extra, size_t length, uint64_t& uncompressed, uint64_t& compressed,
                uint64_t& offset) {
  const uint8_t* body = nullptr;
  size_t bodyLength = 0;
  const bool present = FindExtraBlock(extra, length, kZip64ExtraTag, &body, &bodyLength);
  size_t at = 0;
  for (uint64_t* field : {&uncompressed, &compressed, &offset}) {
    if (*field != 0xFFFFFFFFu) continue;
    if (!present || at + 8 > bodyLength) return false;
    *field = Get64(body + at);
    at += 8;
  }
  return true;
}

bool IsUtf8Text(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; }) ||
         (ebook::LooksLikeUtf8(text) && text.compare(0, 3, "\xEF\xBB\xBF") != 0);
}

uint32_t CrcOfText(const std::string& text) {
  uint32_t crc = 0xFFFFFFFFu;
  ebook::CrcUpdate(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()),
                   crc);
  return crc ^ 0xFFFFFFFFu;
}

// Windows decodes a name without the UTF-8 flag in its ANSI code page. A
// name that Info-ZIP's Unicode Path block translates, or that can only be
// UTF-8, is given the flag, so that the reader sees the name the publisher
// saw.
void SettleNameEncoding(SourceEntry& entry) {
  EntryRecord& r = entry.Record;
  if ((r.Flags & kFlagUtf8) != 0) {
    entry.NameIsUtf8 = IsUtf8Text(r.Name);
    return;
  }
  const uint8_t* body = nullptr;
  size_t length = 0;
  if (FindExtraBlock(r.CentralExtra.data(), r.CentralExtra.size(), kUnicodePathTag, &body,
                     &length) &&
      length > 5 && body[0] == 1 && Get32(body + 1) == CrcOfText(r.Name)) {
    std::string unicode(reinterpret_cast<const char*>(body + 5), length - 5);
    if (IsUtf8Text(unicode)) {
      r.Name = unicode;
      r.Flags |= kFlagUtf8;
      r.CentralExtra =
          WithoutExtraBlock(r.CentralExtra.data(), r.CentralExtra.size(), kUnicodePathTag);
      r.LocalExtra = WithoutExtraBlock(r.LocalExtra.data(), r.LocalExtra.size(), kUnicodePathTag);
      return;
    }
  }
  const bool ascii =
      std::all_of(r.Name.begin(), r.Name.end(), [](char c) { return (c & 0x80) == 0; });
  if (!ascii && IsUtf8Text(r.Name)) r.Flags |= kFlagUtf8;
  entry.NameIsUtf8 = IsUtf8Text(r.Name);
}

}  // namespace

std::vector<uint8_t> WithoutExtraBlock(const uint8_t* extra, size_t length, uint16_t tag) {
  std::vector<uint8_t> kept;
  for (size_t at = 0; at + 4 <= length;) {
    const size_t block = 4 + size_t{Get16(extra + at + 2)};
    if (at + block > length) break;
    if (Get16(extra + at) != tag) kept.insert(kept.end(), extra + at, extra + at + block);
    at += block;
  }
  return kept;
}

bool FindExtraBlock(const uint8_t* extra, size_t length, uint16_t tag, const uint8_t** body,
                    size_t* bodyLength) {
  for (size_t at = 0; at + 4 <= length;) {
    const size_t size = Get16(extra + at + 2);
    if (at + 4 + size > length) return false;
    if (Get16(extra + at) == tag) {
      *body = extra + at + 4;
      *bodyLength = size;
      return true;
    }
    at += 4 + size;
  }
  return false;
}

bool ReadSourceArchive(const uint8_t* bytes, size_t size, std::vector<SourceEntry>& entries,
                       std::string& error) {
  Directory dir;
  if (!FindDirectory(bytes, size, dir, error)) return false;
  if (dir.Size > dir.End) {
    error = "damaged central directory";
    return false;
  }
  // Offsets are relative to where the archive starts; something put in
  // front of it (a stub, say) moves that start, which the directory's
  // actual place reveals.
  const uint64_t actual = dir.End - dir.Size;
  if (actual < dir.Offset) {
    error = "damaged central directory";
    return false;
  }
  const uint64_t base = actual - dir.Offset;
  entries.clear();
  uint64_t at = actual;
  for (uint64_t i = 0; i < dir.Entries; ++i) {
    const uint8_t* c = bytes + at;
    if (dir.End - at < kCentralHeaderLength || Get32(c) != kCentralHeaderSignature) {
      error = "damaged central directory";
      return false;
    }
    const size_t nameLength = Get16(c + 28), extraLength = Get16(c + 30),
                 commentLength = Get16(c + 32);
    if (dir.End - at - kCentralHeaderLength < nameLength + extraLength + commentLength) {
      error = "damaged central directory";
      return false;
    }
    SourceEntry entry;
    EntryRecord& r = entry.Record;
    r.Name.assign(reinterpret_cast<const char*>(c + kCentralHeaderLength), nameLength);
    const std::string shown = r.Name.empty() ? "(entry " + std::to_string(i + 1) + ")" : r.Name;
    r.VersionMadeBy = Get16(c + 4);
    r.Flags = Get16(c + 8);
    r.Method = Get16(c + 10);
    r.ModTime = Get16(c + 12);
    r.ModDate = Get16(c + 14);
    r.Crc32 = Get32(c + 16);
    r.InternalAttributes = Get16(c + 36);
    r.ExternalAttributes = Get32(c + 38);
    uint64_t compressed = Get32(c + 20), uncompressed = Get32(c + 24), offset = Get32(c + 42);
    const uint8_t* extra = c + kCentralHeaderLength + nameLength;
    if (!ApplyZip64(extra, extraLength, uncompressed, compressed, offset)) {
      error = shown + ": damaged Zip64 sizes";
      return false;
    }
    if (compressed > 0xFFFFFFFFu || uncompressed > 0xFFFFFFFFu) {
      error = shown + ": larger than 4 GiB, and a setup holds at most 2 GiB";
      return false;
    }
    r.CompressedSize = static_cast<uint32_t>(compressed);
    r.UncompressedSize = static_cast<uint32_t>(uncompressed);
    r.CentralExtra = WithoutExtraBlock(extra, extraLength, kZip64ExtraTag);

    // The local header and its data lie before the central directory.
    if (offset > actual - base || actual - base - offset < kLocalHeaderLength ||
        Get32(bytes + base + offset) != kLocalHeaderSignature) {
      error = shown + ": no local header where the central directory says";
      return false;
    }
    const uint64_t local = base + offset;
    const uint8_t* l = bytes + local;
    const size_t localName = Get16(l + 26), localExtra = Get16(l + 28);
    entry.HeaderOffset = local;
    entry.DataOffset = local + kLocalHeaderLength + localName + localExtra;
    if (entry.DataOffset > actual || actual - entry.DataOffset < compressed) {
      error = shown + ": its data runs past the end of the archive";
      return false;
    }
    if ((Get16(l + 6) & kFlagEncrypted) != (r.Flags & kFlagEncrypted)) {
      error = shown + ": local header and central directory disagree about encryption";
      return false;
    }
    r.LocalExtra =
        WithoutExtraBlock(l + kLocalHeaderLength + localName, localExtra, kZip64ExtraTag);
    SettleNameEncoding(entry);
    entries.push_back(std::move(entry));
    at += kCentralHeaderLength + nameLength + extraLength + commentLength;
  }
  return true;
}

}  // namespace bookpack
