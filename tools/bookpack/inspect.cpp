#include "inspect.h"

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <vector>

#include "core/archive.h"
#include "core/crc32.h"
#include "core/extract.h"
#include "core/inflate.h"
#include "core/paths.h"
#include "core/setup_flow.h"
#include "host/native_platform.h"
#include "printable.h"
#include "stub_info.h"

namespace bookpack {
namespace {

namespace fs = std::filesystem;
using ebook::LocalFileHeader;
using ebook::NativePlatform;
using ebook::SetupSession;

// A scratch folder that goes away with its owner.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "bookpack_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// One setup opened the way the stub opens itself: the stub length it was
// built with, and the packaged file as the archive handle.
struct OpenedSetup {
  explicit OpenedSetup(const fs::path& root) : Host(root, "C:\\Temp\\") {
    ebook::BuildCrcTable();
    Session.Host = &Host;
  }
  ~OpenedSetup() {
    if (Session.ArchiveHandle != nullptr) Host.CloseFile(Session.ArchiveHandle);
  }
  NativePlatform Host;
  SetupSession Session;
};

bool OpenPackaged(OpenedSetup& setup, const std::string& path, std::ostream& err) {
  bool readable = false;
  auto stubLength = RecordedStubLengthInFile(path, &readable);
  if (!readable) {
    err << "bookpack: cannot read " << path << "\n";
    return false;
  }
  if (!stubLength) {
    err << "bookpack: " << path << " is not a packaged setup: no stub length found\n";
    return false;
  }
  setup.Session.StubLength = *stubLength;
  setup.Session.ArchiveHandle = setup.Host.OpenHostFile(fs::absolute(path).string());
  if (setup.Session.ArchiveHandle == nullptr) {
    err << "bookpack: cannot open " << path << "\n";
    return false;
  }
  return true;
}

std::string MessagesOf(const NativePlatform& host, size_t from) {
  std::string text;
  for (size_t i = from; i < host.Messages.size(); ++i) {
    std::string line = host.Messages[i].Caption + ": " + host.Messages[i].Text;
    for (char& c : line) c = c == '\n' ? ' ' : c;
    text += "  reader sees: " + Printable(line) + "\n";
  }
  return text;
}

const char* MethodName(uint16_t method) {
  return method == 0 ? "stored" : method == 8 ? "deflate" : "other";
}

using ebook::WalkedEntry;

// The stub's own walk (ebook::ReadNextEntry), calling `visit` with the read
// position at each entry's data. Returns false when the pass-start checks
// refuse the file; `stopped` tells whether the walk ended before the
// archive's end records because a record could not be read or followed.
bool WalkEntries(SetupSession& session, const std::function<void(const WalkedEntry&)>& visit,
                 bool* stopped = nullptr) {
  if (!ebook::RunPassStartChecks(session)) return false;
  WalkedEntry entry;
  ebook::WalkStep step;
  while ((step = ebook::ReadNextEntry(session, entry)) == ebook::WalkStep::kEntry) {
    visit(entry);
    if (!ebook::SkipToNextEntry(session, entry)) {
      step = ebook::WalkStep::kStopped;
      break;
    }
  }
  if (stopped != nullptr) *stopped = step == ebook::WalkStep::kStopped;
  return true;
}

// Writes nothing; the stream's CRC is all that is wanted.
class DiscardSink final : public ebook::ByteSink {
 public:
  int32_t Write(const uint8_t*, int32_t count) override { return count; }
};

// The problem with one entry as the stub would meet it, or empty.
std::string VerifyEntry(SetupSession& session, const WalkedEntry& entry,
                        const std::string& password) {
  const LocalFileHeader& header = session.CurrentHeader;
  const std::string name = entry.Name;
  if (entry.Stored[0] == '\0') return "empty name: the install stops here";
  if (!entry.NameFits) return "name too long for the stub";
  if (!ebook::IsSafeEntryName(name))
    return "name points outside the installation folder or is not one Windows creates as given";
  const bool folder = name.back() == '/' || name.back() == '\\';
  if (entry.SizesUnreadable)
    return "Zip64 sizes missing or beyond 2 GiB: the install stops here";
  if (entry.SizesUnknown) return "sizes only after the data: the install stops here";
  if (folder) return "";
  if (header.Method != 0 && header.Method != 8)
    return "compression method " + std::to_string(header.Method) + " is not supported";
  const bool encrypted = (header.Flags & ebook::kEncryptedFlag) != 0;
  if (encrypted) {
    uint8_t work[2 * ebook::kEncryptionHeaderSize];
    if (session.Host->ReadFile(session.ArchiveHandle, work + ebook::kEncryptionHeaderSize,
                               ebook::kEncryptionHeaderSize) != ebook::kEncryptionHeaderSize)
      return "cut short";
    if (password.empty()) return "encrypted: give --password to check it";
    if (!ebook::TestEncryptionHeader(work, ebook::kEncryptionHeaderSize, header.Flags, header.Crc32,
                                     header.ModTime, password.c_str(), session.Keys))
      return "wrong password";
  }
  ebook::ArchiveSource source(session);
  DiscardSink sink;
  ebook::EntryStream stream;
  stream.Source = &source;
  stream.Sink = &sink;
  int64_t remaining =
      int64_t{header.CompressedSize} - (encrypted ? ebook::kEncryptionHeaderSize : 0);
  stream.BytesRemaining = remaining > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(remaining);
  stream.Keys = encrypted ? &session.Keys : nullptr;
  stream.OutputLimit = header.UncompressedSize;
  if (header.Method == 0) {
    ebook::CopyStoredEntry(stream);
  } else if (ebook::InflateEntry(stream) == ebook::InflateResult::kBadData) {
    return "damaged deflate data";
  }
  if (stream.Overran) return "more data than its header's size: counted as damage";
  return stream.Verified(header.Crc32, header.UncompressedSize) ? "" : "CRC error";
}

}  // namespace

int RunList(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  ScratchFolder scratch;
  OpenedSetup setup(scratch.Path() / "root");
  if (!OpenPackaged(setup, options.SetupPath, err)) return 2;
  const LocalFileHeader& header = setup.Session.CurrentHeader;
  uint64_t total = 0;
  int count = 0;
  out << "    size  packed  method   name\n";
  bool walked = WalkEntries(setup.Session, [&](const WalkedEntry& entry) {
    out << std::string(8 - std::min<size_t>(8, std::to_string(header.UncompressedSize).size()), ' ')
        << header.UncompressedSize << ' '
        << std::string(7 - std::min<size_t>(7, std::to_string(header.CompressedSize).size()), ' ')
        << header.CompressedSize << "  " << MethodName(header.Method)
        << ((header.Flags & ebook::kEncryptedFlag) ? "*" : " ")
        << std::string(header.Method == 8   ? 1
                       : header.Method == 0 ? 2
                                            : 3,
                       ' ')
        << Printable(entry.Name) << "\n";
    total += header.UncompressedSize;
    ++count;
  });
  if (!walked) {
    err << MessagesOf(setup.Host, 0);
    return 2;
  }
  out << count << " entries, " << total << " bytes (* encrypted)\n";
  return 0;
}

int RunCheck(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  ScratchFolder scratch;
  int problems = 0;
  {
    // Every entry on its own, so that each problem is named.
    OpenedSetup setup(scratch.Path() / "walk");
    if (!OpenPackaged(setup, options.SetupPath, err)) return 2;
    int count = 0;
    bool stopped = false;
    std::string last;
    bool walked = WalkEntries(
        setup.Session,
        [&](const WalkedEntry& entry) {
          ++count;
          last = entry.Name;
          std::string problem = VerifyEntry(setup.Session, entry, options.Password);
          if (!problem.empty()) {
            out << "problem: " << (entry.Name[0] == '\0' ? "(no name)" : Printable(entry.Name))
                << ": " << problem << "\n";
            ++problems;
          }
        },
        &stopped);
    if (walked && stopped && count > 0) {
      out << "problem: the stub's walk cannot go on after " << Printable(last)
          << ": the entries after it would never be installed\n";
      ++problems;
    }
    if (!walked) {
      out << "problem: the setup does not pass the stub's download check\n"
          << MessagesOf(setup.Host, 0);
      return 1;
    }
    if (count == 0) {
      out << "problem: no entries the stub can find\n";
      return 1;
    }
    out << count << " entries walked\n";
  }
  {
    // Then the whole install as the reader's stub runs it, into a scratch
    // folder: whatever it would show the reader counts as a problem.
    OpenedSetup setup(scratch.Path() / "install");
    if (!OpenPackaged(setup, options.SetupPath, err)) return 2;
    for (int i = 0; i < 3; ++i) setup.Host.PasswordReplies.push_back(options.Password);
    ebook::OpenSetup(setup.Session);
    setup.Host.Controls[ebook::kInstallPathEdit] = "C:\\Book";
    ebook::RunInstall(setup.Session);
    if (!setup.Host.Messages.empty()) {
      out << "problem: an install shows messages\n" << MessagesOf(setup.Host, 0);
      ++problems;
    }
  }
  if (problems != 0) {
    out << problems << " problem" << (problems == 1 ? "" : "s")
        << ": the reader's install would fail\n";
    return 1;
  }
  out << "ok: the reader's install would succeed\n";
  return 0;
}

int RunExtract(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  ScratchFolder scratch;
  std::error_code ec;
  fs::create_directories(options.Folder, ec);
  const fs::path target = fs::absolute(options.Folder, ec);
  if (ec || !fs::is_directory(target)) {
    err << "bookpack: cannot make the folder " << options.Folder << "\n";
    return 2;
  }
  // The target folder becomes drive B: of the host, so that the install
  // writes straight into it; the licence copy goes to the scratch C:.
  fs::path root = scratch.Path() / "root";
  fs::create_directories(root);
  fs::create_directory_symlink(target, root / "B", ec);
  if (ec) {
    err << "bookpack: cannot use the folder " << options.Folder << "\n";
    return 2;
  }
  OpenedSetup setup(root);
  if (!OpenPackaged(setup, options.SetupPath, err)) return 2;
  for (int i = 0; i < 3; ++i) setup.Host.PasswordReplies.push_back(options.Password);
  setup.Host.OverwriteReplies.push_back({options.Overwrite, true});
  ebook::OpenSetup(setup.Session);
  size_t listed = setup.Host.Messages.size();
  setup.Host.Controls[ebook::kInstallPathEdit] = "B:\\";
  ebook::RunInstall(setup.Session);
  out << MessagesOf(setup.Host, 0);
  for (const auto& started : setup.Host.Started)
    out << "the reader's setup would start: " << Printable(started.CommandLine) << "\n";
  if (setup.Host.Messages.size() > 0 || listed > 0) {
    err << "bookpack: the install reported problems\n";
    return 1;
  }
  out << "installed " << setup.Host.List.size() << " entries into " << options.Folder << "\n";
  return 0;
}

}  // namespace bookpack
