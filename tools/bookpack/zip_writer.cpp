#include "zip_writer.h"

#include <cstdio>
#include <vector>

#include "entry_encoder.h"
#include "host/host_os.h"

namespace bookpack {
namespace {

constexpr size_t kWriteBuffer = size_t{1} << 20;
constexpr size_t kMostEntries = 0xFFFF;  // more would need Zip64 records

// 2.0 for deflate, encryption and folders, 1.0 for plain stored files.
uint16_t VersionNeeded(const EntryRecord& r) {
  const bool folder = !r.Name.empty() && r.Name.back() == '/';
  return r.Method == kMethodDeflate || (r.Flags & kFlagEncrypted) != 0 || folder ? 20 : 10;
}

void PutCommonFields(std::vector<uint8_t>& out, const EntryRecord& r, uint16_t flags) {
  Put16(out, VersionNeeded(r));
  Put16(out, flags);
  Put16(out, r.Method);
  Put16(out, r.ModTime);
  Put16(out, r.ModDate);
  Put32(out, r.Crc32);
  Put32(out, r.CompressedSize);
  Put32(out, r.UncompressedSize);
  Put16(out, static_cast<uint16_t>(r.Name.size()));
}

// With the system's reason, which a full disk or a read-only folder gives.
std::string CannotWrite(const std::string& path) {
  return "cannot write " + path + ": " + ebook::os::LastErrorText();
}

}  // namespace

PackagedFileWriter::~PackagedFileWriter() {
  if (file_ != nullptr) std::fclose(file_);
  if (!finished_ && !partial_.empty()) ebook::os::Remove(partial_);
  ebook::os::ForgetPartial();
}

bool PackagedFileWriter::Write(const void* data, size_t size) {
  if (size == 0) return true;
  ebook::os::ClearError();
  if (std::fwrite(data, 1, size, file_) != size) {
    ebook::os::NoteStdioFailure();
    return false;
  }
  position_ += size;
  return true;
}

bool PackagedFileWriter::Open(const std::string& path, const std::vector<uint8_t>& stub,
                              std::string& error) {
  path_ = path;
  // A name of its own beside the output, so that a build running at the
  // same time or a file of that name is never overwritten; it takes the
  // output's name only once complete.
  ebook::os::ClearError();
  file_ = ebook::os::CreateUniqueBeside(path, partial_);
  if (file_ == nullptr) {
    error = CannotWrite(path);
    return false;
  }
  std::setvbuf(file_, nullptr, _IOFBF, kWriteBuffer);
  stubLength_ = stub.size();
  const uint8_t trailer[8] = {};
  if (!Write(stub.data(), stub.size()) || !Write(trailer, sizeof trailer)) {
    error = CannotWrite(path);
    return false;
  }
  return true;
}

bool PackagedFileWriter::AddEntry(const EntryRecord& r, const uint8_t* data, bool descriptor,
                                  std::string& error) {
  return AddEntryWith(r, descriptor, error,
                      [&](std::string&) { return Write(data, r.CompressedSize); });
}

bool PackagedFileWriter::AddEntryFromFile(const EntryRecord& r, const uint8_t* head,
                                          size_t headLength, ebook::os::Fd fd, bool plain,
                                          const std::string& shownPath, ebook::CipherKeys* keys,
                                          std::string& error) {
  return AddEntryWith(r, false, error, [&](std::string& problem) {
    if (!Write(head, headLength)) return false;
    if (fd == ebook::os::kNoFile || !ebook::os::Seek(fd, 0)) {
      problem = r.Name + ": cannot read " + shownPath;
      return false;
    }
    const uint64_t expected = plain ? r.UncompressedSize : r.CompressedSize - headLength;
    std::vector<uint8_t> piece(size_t{1} << 20);
    uint32_t crc = 0;
    uint64_t size = 0;
    bool ok = true;
    for (;;) {
      const int64_t n = ebook::os::Read(fd, piece.data(), piece.size());
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      const size_t got = static_cast<size_t>(n);
      if (plain) crc = Crc32Continue(crc, piece.data(), got);
      size += got;
      if (size > expected) break;
      if (keys != nullptr) EncryptInPlace(*keys, piece.data(), got);
      if (!Write(piece.data(), got)) return false;
    }
    if (!ok || size != expected || (plain && crc != r.Crc32)) {
      problem = r.Name + ": " + shownPath + " changed while the setup was being built";
      return false;
    }
    return true;
  });
}

bool PackagedFileWriter::AddEntryWith(const EntryRecord& r, bool descriptor, std::string& error,
                                      const std::function<bool(std::string&)>& writeData) {
  const uint16_t flags =
      descriptor ? r.Flags | kFlagDescriptor : static_cast<uint16_t>(r.Flags & ~kFlagDescriptor);
  const uint64_t localLength = kLocalHeaderLength + r.Name.size() + r.LocalExtra.size() +
                               r.CompressedSize + (descriptor ? kDescriptorLength : 0);
  const uint64_t centralLength = kCentralHeaderLength + r.Name.size() + r.CentralExtra.size();
  // The rest of the file must still fit: this entry, the whole directory so
  // far, the end record and the most padding it can take.
  if (position_ + localLength + central_.size() + centralLength + kEndRecordLength + 7 >
      kLargestSetup) {
    error = r.Name + ": the setup would be larger than 2 GiB, which the stub cannot read";
    return false;
  }
  if (entries_ == kMostEntries) {
    error = r.Name + ": more than 65,535 entries need Zip64 records, which the stub cannot walk";
    return false;
  }
  const uint32_t offset = static_cast<uint32_t>(position_);

  std::vector<uint8_t> header;
  header.reserve(kLocalHeaderLength + r.Name.size() + r.LocalExtra.size());
  Put32(header, kLocalHeaderSignature);
  PutCommonFields(header, r, flags);
  Put16(header, static_cast<uint16_t>(r.LocalExtra.size()));
  header.insert(header.end(), r.Name.begin(), r.Name.end());
  header.insert(header.end(), r.LocalExtra.begin(), r.LocalExtra.end());
  std::string problem;
  bool ok = Write(header.data(), header.size()) && writeData(problem);
  if (!problem.empty()) {
    error = problem;
    return false;
  }
  if (ok && descriptor) {
    std::vector<uint8_t> d;
    Put32(d, kDescriptorSignature);
    Put32(d, r.Crc32);
    Put32(d, r.CompressedSize);
    Put32(d, r.UncompressedSize);
    ok = Write(d.data(), d.size());
  }
  if (!ok) {
    error = CannotWrite(path_);
    return false;
  }

  Put32(central_, kCentralHeaderSignature);
  Put16(central_, r.VersionMadeBy);
  PutCommonFields(central_, r, flags);
  Put16(central_, static_cast<uint16_t>(r.CentralExtra.size()));
  Put16(central_, 0);  // comment
  Put16(central_, 0);  // disk
  Put16(central_, r.InternalAttributes);
  Put32(central_, r.ExternalAttributes);
  Put32(central_, offset);
  central_.insert(central_.end(), r.Name.begin(), r.Name.end());
  central_.insert(central_.end(), r.CentralExtra.begin(), r.CentralExtra.end());
  ++entries_;
  return true;
}

bool PackagedFileWriter::Finish(const std::string& settings, std::string& error) {
  ebook::os::ClearError();
  auto failed = [&] {
    ebook::os::NoteStdioFailure();
    error = CannotWrite(path_);
    return false;
  };
  const uint64_t directory = position_;
  if (!Write(central_.data(), central_.size())) return failed();
  const uint16_t padding =
      static_cast<uint16_t>((8 - (position_ + kEndRecordLength + settings.size()) % 8) % 8);
  std::vector<uint8_t> end;
  Put32(end, kEndRecordSignature);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, static_cast<uint16_t>(entries_));
  Put16(end, static_cast<uint16_t>(entries_));
  Put32(end, static_cast<uint32_t>(central_.size()));
  Put32(end, static_cast<uint32_t>(directory));
  Put16(end, static_cast<uint16_t>(settings.size() + padding));
  end.insert(end.end(), settings.begin(), settings.end());
  end.insert(end.end(), padding, ' ');
  if (!Write(end.data(), end.size())) return failed();

  std::vector<uint8_t> total;
  Put32(total, static_cast<uint32_t>(position_));
  if (std::fseek(file_, static_cast<long>(stubLength_), SEEK_SET) != 0 ||
      std::fwrite(total.data(), 1, total.size(), file_) != total.size()) {
    return failed();
  }
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!closed || !ebook::os::Rename(partial_, path_)) return failed();
  ebook::os::ForgetPartial();
  finished_ = true;
  return true;
}

}  // namespace bookpack
