#include "build_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "core/zip_cipher.h"
#include "entry_encoder.h"
#include "host/host_os.h"
#include "source_folder.h"

namespace bookpack {
namespace {

constexpr uint16_t kMadeByUnix = 3 << 8 | 30;  // Unix, APPNOTE 3.0: modes in the attributes
constexpr uint32_t kDosFolderAttribute = 0x10;
// Flags carried over from a source entry: the deflate option bits, the
// UTF-8 name flag and encryption. Bit 3 is decided per entry.
constexpr uint16_t kCarriedFlags = 0x0006 | kFlagUtf8 | kFlagEncrypted;

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out) {
  const ebook::os::Fd fd = ebook::os::OpenRead(path);
  if (fd == ebook::os::kNoFile) return false;
  uint64_t size = 0;
  bool ok = ebook::os::SizeOf(fd, size);
  out.clear();
  if (ok) out.resize(static_cast<size_t>(size));
  size_t got = 0;
  while (ok) {
    // A file that grew since it was listed is read to its end all the same.
    if (got == out.size()) out.resize(out.size() + 65536);
    const int64_t n = ebook::os::Read(fd, out.data() + got, out.size() - got);
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ebook::os::Close(fd);
  out.resize(got);
  return ok;
}

// The record of a file or folder of this machine. Its attributes are the
// same whatever the host: Windows has no execute bit and Linux no archive
// attribute, so a setup could otherwise not be the same from both.
EntryRecord RecordOf(const std::string& name, std::time_t modTime, bool folder) {
  EntryRecord r;
  r.Name = name;
  r.VersionMadeBy = kMadeByUnix;
  r.Flags = IsAscii(name) ? 0 : kFlagUtf8;
  const uint32_t dos = DosDateTime(modTime);
  r.ModDate = static_cast<uint16_t>(dos >> 16);
  r.ModTime = static_cast<uint16_t>(dos);
  r.ExternalAttributes =
      folder ? uint32_t{0040755} << 16 | kDosFolderAttribute : uint32_t{0100644} << 16;
  return r;
}

void Seal(EncodedEntry& out, const EncodingContext& context, bool encrypt);

// Compresses (or stores) plain bytes and encrypts them when asked; the
// check byte of entries written here is always the CRC's, so no bit 3.
void EncodePlain(std::vector<uint8_t>&& plain, EncodedEntry& out, const EncodingContext& context,
                 bool encrypt, DeflateEncoder& encoder) {
  EntryRecord& r = out.Record;
  r.Crc32 = Crc32Of(plain.data(), plain.size());
  r.UncompressedSize = static_cast<uint32_t>(plain.size());
  std::vector<uint8_t> packed;
  if (encoder.Compress(plain.data(), plain.size(), packed)) {
    r.Method = kMethodDeflate;
    out.Owned = std::move(packed);
  } else {
    r.Method = kMethodStored;
    out.Owned = std::move(plain);
  }
  Seal(out, context, encrypt);
}

// Encrypts the entry's bytes when asked, and records their size.
void Seal(EncodedEntry& out, const EncodingContext& context, bool encrypt) {
  EntryRecord& r = out.Record;
  if (encrypt) {
    uint8_t random[11];
    if (!context.Random->Fill(random, sizeof random)) {
      out.Problem = "cannot read random bytes from /dev/urandom";
      return;
    }
    out.Owned = Encrypt(out.Owned.data(), out.Owned.size(), context.Password,
                        static_cast<uint8_t>(r.Crc32 >> 24), random);
    r.Flags |= kFlagEncrypted;
  }
  r.CompressedSize = static_cast<uint32_t>(out.Owned.size());
  out.Data = out.Owned.data();
}

void EncodeZipEntry(const PlannedEntry& entry, EncodedEntry& out, const EncodingContext& context,
                    DeflateEncoder& encoder, uint64_t& counted) {
  const EntryRecord& source = entry.Zip->Record;
  // Decoding a large entry takes seconds: the progress line moves with the
  // bytes decoded, as a share of the entry's work (its compressed bytes)
  // by the size it claims; the rest is counted when the entry is done.
  const std::function<void(uint64_t)> advance = [&](uint64_t plain) {
    if (context.Done == nullptr || source.UncompressedSize == 0) return;
    const uint64_t share = static_cast<uint64_t>(
        static_cast<double>(entry.Work) * static_cast<double>(plain) /
        static_cast<double>(source.UncompressedSize));
    const uint64_t target = std::min<uint64_t>(share, entry.Work);
    if (target > counted) {
      *context.Done += target - counted;
      counted = target;
    }
  };
  EntryRecord& r = out.Record;
  const uint8_t* data = context.ZipBytes + entry.Zip->DataOffset;
  r.Flags = source.Flags & kCarriedFlags;
  if ((source.Flags & kFlagEncrypted) != 0) {
    // Carried as it is. Its check byte was made against the time when bit 3
    // was set, so bit 3 stays, now with the real sizes in the header and a
    // descriptor that the stub's walk skips by its signature.
    if (source.Method != kMethodStored && source.Method != kMethodDeflate) {
      out.Problem = std::string("encrypted and compressed with ") + MethodName(source.Method) +
                    ", which the stub cannot read; without the password it cannot be "
                    "recompressed";
      return;
    }
    if (source.CompressedSize < ebook::kEncryptionHeaderSize) {
      out.Problem = "encrypted, but too short for its encryption header";
      return;
    }
    out.Descriptor = (source.Flags & kFlagDescriptor) != 0;
    out.Data = data;
    if (!context.Password.empty() && !PasswordMatches(source, data, context.Password)) {
      out.Note = "encrypted with another password than --password: the reader is asked for it";
    }
    return;
  }
  std::string problem;
  if (source.Method == kMethodStored || source.Method == kMethodDeflate) {
    // Already what the stub reads: copied, once checked the stub's way.
    bool sound = false;
    if (source.Method == kMethodDeflate) {
      sound = VerifyDeflate(data, source.CompressedSize, source.Crc32, source.UncompressedSize,
                            problem, &advance);
    } else if (source.CompressedSize != source.UncompressedSize) {
      problem = "stored data and recorded size differ";
    } else if (Crc32Of(data, source.CompressedSize) != source.Crc32) {
      problem = "CRC error: the data is damaged";
    } else {
      sound = true;
    }
    if (!sound) {
      out.Problem = problem;
      return;
    }
    if (entry.Encrypt) {
      uint8_t random[11];
      if (!context.Random->Fill(random, sizeof random)) {
        out.Problem = "cannot read random bytes from /dev/urandom";
        return;
      }
      out.Owned = Encrypt(data, source.CompressedSize, context.Password,
                          static_cast<uint8_t>(source.Crc32 >> 24), random);
      r.Flags |= kFlagEncrypted;
      r.CompressedSize = static_cast<uint32_t>(out.Owned.size());
      out.Data = out.Owned.data();
    } else {
      out.Data = data;
    }
    return;
  }
  if (!CanDecode(source.Method)) {
    out.Problem = std::string("compressed with ") + MethodName(source.Method) + " (method " +
                  std::to_string(source.Method) +
                  "), which bookpack cannot recompress; make the ZIP with deflate";
    return;
  }
  r.Flags = source.Flags & kFlagUtf8;
  if (encoder.Level() > 0) {
    // Decoded a piece at a time straight into deflate: memory follows the
    // compressed result, never the decoded size, which a few bytes of
    // bzip2 or xz can make gigabytes of zeros.
    PieceDeflater deflater(encoder.Level());
    uint32_t crc = 0;
    uint64_t plainSize = 0;
    const bool decoded = DecodeInPieces(
        source.Method, data, source.CompressedSize, source.UncompressedSize,
        [&](const uint8_t* piece, size_t n) {
          crc = Crc32Continue(crc, piece, n);
          deflater.Add(piece, n);
          plainSize += n;
          advance(plainSize);
        },
        problem);
    if (!decoded) {
      out.Problem = problem;
      return;
    }
    if (crc != source.Crc32) {
      out.Problem = "CRC error: the data is damaged";
      return;
    }
    std::vector<uint8_t> packed;
    if (!deflater.Finish(packed)) {
      out.Problem = "out of memory while compressing";
      return;
    }
    if (packed.size() < plainSize) {
      r.Method = kMethodDeflate;
      r.Crc32 = crc;
      r.UncompressedSize = static_cast<uint32_t>(plainSize);
      out.Owned = std::move(packed);
      Seal(out, context, entry.Encrypt);
      return;
    }
    // Incompressible, and so no larger than its deflate stream: stored,
    // decoded whole once more.
  }
  std::vector<uint8_t> plain;
  if (!DecodeEntry(source.Method, data, source.CompressedSize, source.UncompressedSize, plain,
                   problem)) {
    out.Problem = problem;
    return;
  }
  if (Crc32Of(plain.data(), plain.size()) != source.Crc32) {
    out.Problem = "CRC error: the data is damaged";
    return;
  }
  EncodePlain(std::move(plain), out, context, entry.Encrypt, encoder);
}

// Reads the file a piece at a time, handing each piece to `take`; false
// when it cannot be read. The file's size is what it is now.
bool ReadInPieces(const std::string& path, const PieceTaker& take) {
  const ebook::os::Fd fd = ebook::os::OpenRead(path);
  if (fd == ebook::os::kNoFile) return false;
  std::vector<uint8_t> piece(size_t{1} << 20);
  bool ok = true;
  for (;;) {
    const int64_t n = ebook::os::Read(fd, piece.data(), piece.size());
    if (n < 0) ok = false;
    if (n <= 0) break;
    take(piece.data(), static_cast<size_t>(n));
  }
  ebook::os::Close(fd);
  return ok;
}

// A large file: its CRC and deflate stream made in one pass over pieces,
// so memory is the compressed result. Data that deflate cannot shrink is
// left in the file for the writer to copy.
void EncodeLargeFile(const PlannedEntry& entry, EncodedEntry& out, const EncodingContext& context,
                     DeflateEncoder& encoder) {
  EntryRecord& r = out.Record;
  uint32_t crc = 0;
  uint64_t size = 0;
  // The deflate stream goes to a temporary file: memory stays a few
  // pieces whatever the file's size.
  std::shared_ptr<std::FILE> spool;
  std::optional<PieceDeflater> deflater;
  if (encoder.Level() > 0) {
    spool.reset(ebook::os::TempFile(), [](std::FILE* f) {
      if (f != nullptr) std::fclose(f);
    });
    if (spool == nullptr) {
      out.Problem = "cannot make a temporary file";
      return;
    }
    deflater.emplace(encoder.Level(), spool.get());
  }
  const bool read = ReadInPieces(entry.Path, [&](const uint8_t* piece, size_t n) {
    crc = Crc32Continue(crc, piece, n);
    if (deflater) deflater->Add(piece, n);
    size += n;
    // Counted when read: the pieces move the progress line.
    if (context.Done != nullptr && size <= entry.Work) *context.Done += n;
  });
  if (context.Done != nullptr && size < entry.Work) *context.Done += entry.Work - size;
  if (!read) {
    out.Problem = "cannot read " + entry.Path;
    return;
  }
  if (size > 0xFFFFFFFFu) {
    out.Problem = "larger than 4 GiB, and a setup holds at most 2 GiB";
    return;
  }
  r.Crc32 = crc;
  r.UncompressedSize = static_cast<uint32_t>(size);
  std::vector<uint8_t> unused;
  if (deflater && !deflater->Finish(unused)) {
    out.Problem = "cannot write a temporary file while compressing";
    return;
  }
  uint64_t stored = size;
  if (deflater && deflater->Size() < size) {
    r.Method = kMethodDeflate;
    out.Spool = std::move(spool);
    stored = deflater->Size();
  } else {
    r.Method = kMethodStored;
    out.StoredFrom = entry.Path;
  }
  if (entry.Encrypt) {
    uint8_t random[11];
    if (!context.Random->Fill(random, sizeof random)) {
      out.Problem = "cannot read random bytes from /dev/urandom";
      return;
    }
    out.Owned =
        EncryptionHeader(context.Password, static_cast<uint8_t>(crc >> 24), random, out.Keys);
    out.StoredEncrypted = true;
    r.Flags |= kFlagEncrypted;
    stored += out.Owned.size();
  }
  r.CompressedSize = static_cast<uint32_t>(std::min<uint64_t>(stored, 0xFFFFFFFFu));
  out.Data = out.Owned.data();
}

}  // namespace

EncodedEntry EncodeEntry(const PlannedEntry& entry, const EncodingContext& context,
                         DeflateEncoder& encoder) {
  EncodedEntry out;
  out.Record = entry.Record;
  switch (entry.From) {
    case PlannedEntry::Origin::kFolder:
      out.Record.Method = kMethodStored;
      break;
    case PlannedEntry::Origin::kFile: {
      if (entry.Work >= kLargeFile) {
        EncodeLargeFile(entry, out, context, encoder);
        break;
      }
      std::vector<uint8_t> plain;
      if (!ReadFileBytes(entry.Path, plain)) {
        out.Problem = "cannot read " + entry.Path;
      } else if (plain.size() > 0xFFFFFFFFu) {
        out.Problem = "larger than 4 GiB, and a setup holds at most 2 GiB";
      } else {
        EncodePlain(std::move(plain), out, context, entry.Encrypt, encoder);
      }
      if (context.Done != nullptr) *context.Done += entry.Work;
      break;
    }
    case PlannedEntry::Origin::kZip: {
      uint64_t counted = 0;
      EncodeZipEntry(entry, out, context, encoder, counted);
      if (context.Done != nullptr) *context.Done += entry.Work - counted;
      break;
    }
  }
  return out;
}

uint64_t LeastSetupBytes(const PlannedEntry& entry, int level) {
  const EntryRecord& r = entry.Record;
  uint64_t bytes = kLocalHeaderLength + kCentralHeaderLength + 2 * r.Name.size() +
                   r.LocalExtra.size() + r.CentralExtra.size();
  const uint64_t header = entry.Encrypt ? ebook::kEncryptionHeaderSize : 0;
  switch (entry.From) {
    case PlannedEntry::Origin::kFolder:
      break;
    case PlannedEntry::Origin::kFile:
      if (level == 0) bytes += entry.Work + header;
      break;
    case PlannedEntry::Origin::kZip: {
      const EntryRecord& source = entry.Zip->Record;
      if ((source.Flags & kFlagEncrypted) != 0) {
        bytes += source.CompressedSize;
      } else if (source.Method == kMethodStored || source.Method == kMethodDeflate) {
        bytes += source.CompressedSize + header;
      }
      break;
    }
  }
  return bytes;
}

bool PlanFolder(const std::string& root, std::vector<PlannedEntry>& plan,
                std::vector<std::string>& notes, std::string& error) {
  std::vector<FolderItem> items;
  if (!ListFolder(root, items, notes, error)) return false;
  for (const FolderItem& item : items) {
    PlannedEntry entry;
    entry.From = item.IsFolder ? PlannedEntry::Origin::kFolder : PlannedEntry::Origin::kFile;
    entry.Record = RecordOf(item.Name, item.ModTime, item.IsFolder);
    entry.Path = item.Path;
    entry.Work = item.Size;
    if (item.Size > 0xFFFFFFFFu) {
      error = item.Name + ": larger than 4 GiB, and a setup holds at most 2 GiB";
      return false;
    }
    plan.push_back(std::move(entry));
  }
  return true;
}

bool PlanZip(const std::vector<SourceEntry>& source, std::vector<PlannedEntry>& plan,
             std::vector<std::string>& notes, std::string& error) {
  for (const SourceEntry& s : source) {
    const EntryRecord& r = s.Record;
    const std::string name = r.Name.empty() ? "(an entry without a name)" : r.Name;
    if ((r.Flags & kFlagStrongEncryption) != 0 || (r.Flags & kFlagMaskedHeaders) != 0 ||
        r.Method == 99) {
      error = name +
              ": encrypted with AES or strong encryption, which the stub cannot read; "
              "use the traditional ZIP encryption (ZipCrypto)";
      return false;
    }
    if (!s.NameIsUtf8) {
      notes.push_back(name + ": the name is not UTF-8, so Windows reads it in its own code page");
    }
    PlannedEntry entry;
    entry.From = PlannedEntry::Origin::kZip;
    entry.Record = r;
    entry.Zip = &s;
    entry.NameIsUtf8 = s.NameIsUtf8;
    entry.Work = r.CompressedSize;
    plan.push_back(std::move(entry));
  }
  return true;
}

bool PlanLicence(const std::string& path, PlannedEntry& entry, std::string& error) {
  ebook::os::FileInfo st;
  const bool found = ebook::os::Stat(path, st);
  if (!found || !st.IsRegular) {
    error = "cannot read the licence file " + path + ": " +
            (found ? "not a plain file" : ebook::os::LastErrorText());
    return false;
  }
  entry.From = PlannedEntry::Origin::kFile;
  entry.Record = RecordOf("!!licence.txt", st.ModTime, false);
  entry.Path = path;
  entry.Work = st.Size;
  return true;
}

}  // namespace bookpack
