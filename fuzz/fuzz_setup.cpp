// A whole setup on the native host: the input is a ZIP archive packaged
// behind a fake stub, opened and installed as the dialog does it, with the
// reader's answers scripted by a short prefix. Whatever the archive holds,
// the run must stay inside the installation folder and the temporary folder
// and write no more than its entries can decode to.
//
// Input:
//   byte 0  flags
//           bit 0  the rest is the whole packaged file (stub, size area,
//                  archive) as given, so the download check and the
//                  certificate table of a signed setup are fuzzed too;
//                  otherwise the rest is the archive, packaged behind a fake
//                  stub with the right size field
//           bit 1  files already in the installation folder (book.htm,
//                  quonview.exe), so the overwrite question comes
//           bit 2  install a second time over the first, as a reader who
//                  runs the setup again
//           bit 3  an installed reader program: quonview.exe under
//                  C:\Reader, registered under App Paths, for the update
//                  directives of the licence
//           bit 4  install into "C:\Program Files\Book" instead of "C:\Book"
//   byte 1  password replies of each install: bits 0-1 their count, then
//           three 2-bit picks from kPasswords
//   byte 2  overwrite replies of the first install: bits 0-1 their count,
//           then three 2-bit replies (bit 0 Yes, bit 1 "Don't ask again")
//   byte 3  overwrite replies of the second install, alike
//   rest    the archive, or the packaged file (flag bit 0)
//
// With FUZZ_SETUP_TRACE set, each run prints its dialogs and the files it
// left, for looking into a finding.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/crc32.h"
#include "core/memory_io.h"
#include "core/package_writer.h"
#include "core/setup_flow.h"
#include "core/setup_session.h"
#include "fuzz_common.h"
#include "host/native_platform.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kPrefixSize = 4;
constexpr uint8_t kRawPackage = 0x01;
constexpr uint8_t kPlaceExisting = 0x02;
constexpr uint8_t kInstallTwice = 0x04;
constexpr uint8_t kReaderInstalled = 0x08;
constexpr uint8_t kFolderWithSpace = 0x10;

// Short, as the engine only needs its length, yet long enough for a DOS
// and a PE header when the input brings its own stub. The fake stub's
// pattern never holds the byte 0x50, so no local-header signature can be
// found inside it.
constexpr uint32_t kStubLength = 256;

// "pw" is the password of the seeds; the long one is cut by the dialog.
const char* const kPasswords[] = {
    "pw",
    "",
    "wrong",
    "pwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpwpw",
};

constexpr char kTempFolder[] = "C:\\Temp\\";
constexpr char kReaderFolder[] = "C:\\Reader";
constexpr char kReaderProgram[] = "C:\\Reader\\quonview.exe";
constexpr char kAppPathsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\quonview.exe";

std::vector<uint8_t> Package(const uint8_t* zip, size_t size) {
  uint8_t stub[kStubLength];
  for (uint32_t i = 0; i < kStubLength; ++i) stub[i] = static_cast<uint8_t>(i * 37 % 80);
  std::vector<uint8_t> out(kStubLength + 8 + size);
  ebook::MemorySink sink(out.data(), out.size());
  FUZZ_CHECK(ebook::WritePackagedFile(sink, stub, kStubLength, zip, static_cast<uint32_t>(size)));
  FUZZ_CHECK(sink.Size() == out.size());
  return out;
}

void WriteHostFile(const fs::path& path, const uint8_t* data, size_t size) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  FUZZ_CHECK(out.good());
}

void AddOverwriteReplies(ebook::NativePlatform& host, uint8_t script) {
  for (int i = 0; i < (script & 3); ++i) {
    const int reply = script >> (2 + 2 * i) & 3;
    host.OverwriteReplies.push_back(ebook::OverwriteReply{(reply & 1) != 0, (reply & 2) != 0});
  }
}

// True when `path` is `folder` or lies below it, compared by components.
bool Within(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

// A fresh folder per input, removed afterwards, so that no run sees what an
// earlier one left.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::exists("/dev/shm") ? std::string("/dev/shm") : std::string("/tmp")) +
                          "/fuzz_setup_XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const fs::path& Dir() const { return dir_; }

 private:
  fs::path dir_;
};

bool trace = false;

void Trace(const ebook::NativePlatform& host, int run) {
  std::fprintf(stderr, "install %d:\n", run + 1);
  for (const std::string& dialog : host.DialogLog) std::fprintf(stderr, "  %s\n", dialog.c_str());
  for (const auto& start : host.Started) {
    std::fprintf(stderr, "  started: %s (in %s)\n", start.CommandLine.c_str(),
                 start.Folder.c_str());
  }
  auto status = host.Controls.find(ebook::kStatusLine);
  if (status != host.Controls.end()) std::fprintf(stderr, "  status: %s\n", status->second.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ebook::BuildCrcTable();
  trace = std::getenv("FUZZ_SETUP_TRACE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kPrefixSize || size > fuzz::kMaxInput) return -1;
  const uint8_t flags = data[0];
  const uint8_t passwordScript = data[1];
  const uint8_t overwriteScripts[2] = {data[2], data[3]};
  const uint8_t* rest = data + kPrefixSize;
  const size_t restSize = size - kPrefixSize;

  Scratch scratch;
  // The setup lies outside the root, so everything under the root was made
  // by the run or placed by us.
  const fs::path setupPath = scratch.Dir() / "setup.exe";
  const fs::path root = scratch.Dir() / "root";
  if ((flags & kRawPackage) != 0) {
    WriteHostFile(setupPath, rest, restSize);
  } else {
    std::vector<uint8_t> packaged = Package(rest, restSize);
    WriteHostFile(setupPath, packaged.data(), packaged.size());
  }
  const char* bookFolder = (flags & kFolderWithSpace) != 0 ? "C:\\Program Files\\Book" : "C:\\Book";

  // What was there before the setup ran, in bytes: the run may replace
  // these files but adds to the total only what its entries decode to.
  uintmax_t placedBytes = 0;
  std::vector<std::string> placed;
  if ((flags & kPlaceExisting) != 0) {
    placed.push_back(std::string(bookFolder) + "\\book.htm");
    placed.push_back(std::string(bookFolder) + "\\quonview.exe");
  }
  if ((flags & kReaderInstalled) != 0) placed.push_back(kReaderProgram);

  const int runs = (flags & kInstallTwice) != 0 ? 2 : 1;
  for (int run = 0; run < runs; ++run) {
    ebook::NativePlatform host(root, kTempFolder);
    if (run == 0) {
      static const uint8_t kOld[] = "already here\r\n";
      for (const std::string& windowsPath : placed) {
        const std::string hostPath = host.HostPath(windowsPath);
        FUZZ_CHECK(!hostPath.empty());
        WriteHostFile(hostPath, kOld, sizeof kOld - 1);
        placedBytes += sizeof kOld - 1;
      }
    }
    if ((flags & kReaderInstalled) != 0) {
      host.Registry[{ebook::RegistryPlace::kCurrentUser, kAppPathsKey, "Path"}] = kReaderProgram;
    }
    for (int i = 0; i < (passwordScript & 3); ++i) {
      host.PasswordReplies.push_back(kPasswords[passwordScript >> (2 + 2 * i) & 3]);
    }
    AddOverwriteReplies(host, overwriteScripts[run]);

    ebook::SetupSession session;
    session.Host = &host;
    session.StubLength = kStubLength;
    session.ArchiveHandle = host.OpenHostFile(setupPath.string());
    FUZZ_CHECK(session.ArchiveHandle != nullptr);
    ebook::OpenSetup(session);
    // The reader types the folder, unless the update directives found the
    // installed one and the dialog says to just press Install.
    if (!session.PathAutodetected) host.Controls[ebook::kInstallPathEdit] = bookFolder;
    ebook::RunInstall(session);
    // Every file the engine opened for writing is closed by the time the
    // install pass is over; only the archive is still ours to close.
    FUZZ_CHECK(session.OutputHandle == nullptr);
    FUZZ_CHECK(host.CloseFile(session.ArchiveHandle));
    FUZZ_CHECK(session.InstallState == ebook::kSetupFinished);
    if (trace) Trace(host, run);
  }

  // Where files may be: the installation folder (the one typed, or the one
  // the update directives found) and the temporary folder, which holds the
  // licence. Their parents must exist for them to; nothing else may.
  ebook::NativePlatform inspector(root, kTempFolder);
  std::vector<fs::path> allowed = {inspector.HostPath(bookFolder), inspector.HostPath(kTempFolder)};
  if ((flags & kReaderInstalled) != 0) allowed.push_back(inspector.HostPath(kReaderFolder));
  for (fs::path& folder : allowed) {
    FUZZ_CHECK(!folder.empty());
    folder = folder.lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
  }

  uintmax_t writtenBytes = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
    FUZZ_CHECK(!error);
    const fs::path path = it->path().lexically_normal();
    const fs::file_status status = it->symlink_status();
    FUZZ_CHECK(fs::is_regular_file(status) || fs::is_directory(status));
    bool inside = false;
    bool parentOfAllowed = false;
    for (const fs::path& folder : allowed) {
      inside = inside || Within(path, folder);
      parentOfAllowed = parentOfAllowed || Within(folder, path);
    }
    if (!inside) {
      if (!(fs::is_directory(status) && parentOfAllowed)) {
        std::fprintf(stderr, "written outside the allowed folders: %s\n", path.c_str());
      }
      FUZZ_CHECK(fs::is_directory(status) && parentOfAllowed);
    }
    if (fs::is_regular_file(status)) {
      const uintmax_t fileSize = it->file_size(error);
      FUZZ_CHECK(!error);
      writtenBytes += fileSize;
      if (trace) {
        std::fprintf(stderr, "  file %s, %ju bytes\n", path.lexically_relative(root).c_str(),
                     fileSize);
      }
    }
  }
  FUZZ_CHECK(!error);

  // Each entry's data lies after the one before (the walk refuses records
  // that would not), so all entries together read at most the packaged
  // file, and Deflate turns n bytes into at most OutputBound(n). An entry is
  // written at most twice per install (the licence into the temporary
  // folder, then into the installation folder), and each entry needs a
  // 30-byte header, which bounds the slack of OutputBound per entry.
  const uintmax_t entries = restSize / 30 + 1;
  const uintmax_t perInstall = 2 * (1032 * uintmax_t{restSize} + 1024 * entries);
  FUZZ_CHECK(writtenBytes <= placedBytes + static_cast<uintmax_t>(runs) * perInstall);
  return 0;
}
