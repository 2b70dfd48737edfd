// A whole setup run on the native host: a source tree, an archive made from
// it by a real ZIP tool (or record by record where no tool writes the case),
// a packaged file with a fake stub, and the dialog's three calls driven as
// the user would drive them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/crc32.h"
#include "core/package_writer.h"
#include "core/setup_flow.h"
#include "core/setup_session.h"
#include "host/native_platform.h"
#include "test_support.h"

namespace ebook::test {

namespace fs = std::filesystem;

inline constexpr uint32_t kFakeStubLength = 5000;
// A folder with a space, so that an unquoted run command would show.
inline constexpr char kBookFolder[] = "C:\\Program Files\\Book";
inline constexpr char kBookHost[] = "C/Program Files/Book/";

inline void Put16(Bytes& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
inline void Put32(Bytes& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
inline uint32_t Get32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
inline uint16_t Get16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// Raw deflate by zlib, as the ZIP format stores it.
inline Bytes RawDeflate(const Bytes& in) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, in.size()) + 16);
  z.next_in = const_cast<Bytes::value_type*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// One local record of a hand-made archive, for what no tool writes on
// request: odd names, odd signatures, descriptors after real sizes, sizes
// that wrap.
struct Record {
  Record(std::string name, Bytes data, uint16_t method = 0)
      : Name(std::move(name)), Data(std::move(data)), Method(method) {}
  Record& WithFlags(uint16_t flags) {
    Flags = flags;
    return *this;
  }
  Record& WithExtra(Bytes extra) {
    Extra = std::move(extra);
    return *this;
  }
  Record& WithSignature(uint32_t signature) {
    Signature = signature;
    return *this;
  }
  // Streamed: CRC and sizes only in the descriptor.
  Record& WithZeroSizes() {
    ZeroSizes = true;
    return *this;
  }
  Record& WithDescriptor(int bytes) {
    Descriptor = bytes;
    return *this;
  }
  Record& WithCompressedSize(uint32_t size) {
    CompressedSize = size;
    return *this;
  }

  std::string Name;
  Bytes Data;
  uint16_t Method = 0;  // 8: deflated here
  uint16_t Flags = 0;
  Bytes Extra;
  uint32_t Signature = 0x04034B50u;
  bool ZeroSizes = false;
  int Descriptor = 0;           // 12 (no signature) or 16 bytes after the data
  int64_t CompressedSize = -1;  // a size field other than the data's length
};

inline Bytes HandMade(const std::vector<Record>& records) {
  Bytes out;
  for (const Record& r : records) {
    Bytes data = r.Method == 8 ? RawDeflate(r.Data) : r.Data;
    uint32_t crc = ZlibCrc(r.Data);
    uint32_t size = r.CompressedSize >= 0 ? uint32_t(r.CompressedSize) : uint32_t(data.size());
    Put32(out, r.Signature);
    Put16(out, 20);
    Put16(out, r.Flags);
    Put16(out, r.Method);
    Put16(out, 0x6C21);
    Put16(out, 0x5A8A);
    Put32(out, r.ZeroSizes ? 0 : crc);
    Put32(out, r.ZeroSizes ? 0 : size);
    Put32(out, r.ZeroSizes ? 0 : uint32_t(r.Data.size()));
    Put16(out, uint32_t(r.Name.size()));
    Put16(out, uint32_t(r.Extra.size()));
    out.insert(out.end(), r.Name.begin(), r.Name.end());
    out.insert(out.end(), r.Extra.begin(), r.Extra.end());
    out.insert(out.end(), data.begin(), data.end());
    if (r.Descriptor == 16) Put32(out, 0x08074B50u);
    if (r.Descriptor != 0) {
      Put32(out, crc);
      Put32(out, uint32_t(data.size()));
      Put32(out, uint32_t(r.Data.size()));
    }
  }
  // The end record alone: the walk never reads a central directory.
  Put32(out, 0x06054B50u);
  out.insert(out.end(), 18, uint8_t(0));
  return out;
}

// Offset in `zip` of the local header of the entry `name`, walking the
// records of an archive without descriptors; SIZE_MAX when not found.
inline size_t HeaderOffsetOf(const Bytes& zip, const std::string& name) {
  size_t at = 0;
  while (at + 30 <= zip.size() && Get32(zip, at) == 0x04034B50u) {
    size_t nameLength = Get16(zip, at + 26);
    if (std::string(zip.begin() + at + 30, zip.begin() + at + 30 + nameLength) == name) return at;
    at += 30 + nameLength + Get16(zip, at + 28) + Get32(zip, at + 18);
  }
  return SIZE_MAX;
}

// `zip` with its end record's comment replaced by `comment`.
inline Bytes WithEndComment(Bytes zip, const std::string& comment) {
  for (size_t at = zip.size() >= 22 ? zip.size() - 22 : SIZE_MAX; at != SIZE_MAX; --at) {
    if (Get32(zip, at) == 0x06054B50u && Get16(zip, at + 20) == zip.size() - at - 22) {
      zip.resize(at + 20);
      Put16(zip, uint32_t(comment.size()));
      zip.insert(zip.end(), comment.begin(), comment.end());
      return zip;
    }
    if (at == 0) break;
  }
  ADD_FAILURE() << "no end record";
  return zip;
}

// The comment that holds `lines` as the publisher's settings.
inline std::string SettingsComment(const std::string& lines) {
  return "ebook-setup settings 1\n" + lines;
}

inline testing::AssertionResult SameBytes(const Bytes& got, const Bytes& want) {
  if (got == want) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return testing::AssertionFailure()
         << "sizes " << got.size() << " and " << want.size() << ", first difference at " << i;
}

class Rig {
 public:
  Rig() {
    BuildCrcTable();
    std::string pattern = (fs::temp_directory_path() / "engine_test_XXXXXX").string();
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    src_ = dir_ / "src";
    fs::create_directories(src_);
    root_ = dir_ / "root";
    host_ = std::make_unique<NativePlatform>(root_);
    session_.Host = host_.get();
    session_.StubLength = kFakeStubLength;
  }
  ~Rig() {
    if (session_.ArchiveHandle != nullptr) host_->CloseFile(session_.ArchiveHandle);
    host_.reset();
    fs::remove_all(dir_);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  NativePlatform& Host() { return *host_; }
  SetupSession& Session() { return session_; }

  // --- The source tree and the archive --------------------------------------
  void Source(const std::string& relative, const Bytes& content) {
    WriteFile(src_ / relative, content);
  }
  Bytes SourceBytes(const std::string& relative) { return ReadAll(src_ / relative); }

  // Runs `command` in the source folder; every {zip} in it stands for the
  // archive's path. Returns the archive that the command left there.
  Bytes Tool(std::string command) {
    const std::string zip = (dir_ / "made.zip").string();
    fs::remove(zip);
    for (size_t at; (at = command.find("{zip}")) != std::string::npos;) {
      command.replace(at, 5, "'" + zip + "'");
    }
    const std::string line = "cd '" + src_.string() + "' && (" + command + ") >/dev/null";
    EXPECT_EQ(std::system(line.c_str()), 0) << line;
    return ReadAll(zip);
  }

  // --- The packaged file ------------------------------------------------------
  static Bytes Stub() {
    // Never the byte 0x50, so never the local-header signature.
    Bytes stub(kFakeStubLength);
    for (size_t i = 0; i < stub.size(); ++i) stub[i] = uint8_t(i * 37 % 80);
    return stub;
  }
  // The publisher's settings every later Package stores (the settings lines
  // without the tag; empty: none).
  void Settings(const std::string& lines) { settings_ = lines; }
  void Package(const Bytes& plain) {
    RecordingSink sink(SIZE_MAX);
    Bytes stub = Stub();
    const Bytes zip = settings_.empty() ? plain : WithEndComment(plain, SettingsComment(settings_));
    EXPECT_TRUE(WritePackagedFile(sink, stub.data(), kFakeStubLength, zip.data(),
                                  static_cast<uint32_t>(zip.size())));
    package_ = sink.Output();
  }
  Bytes& Packaged() { return package_; }

  // --- The dialog -------------------------------------------------------------
  void Open() {
    const fs::path path = dir_ / "setup.exe";
    WriteFile(path, package_);
    session_.ArchiveHandle = host_->OpenHostFile(path.string());
    ASSERT_NE(session_.ArchiveHandle, nullptr);
    OpenSetup(session_);
  }
  // Install, after typing `folder` into the folder field (null: as it is).
  void Install(const char* folder = kBookFolder) {
    if (folder != nullptr) host_->Controls[kInstallPathEdit] = folder;
    const size_t before = host_->Messages.size();
    RunInstall(session_);
    // The message that says where the book went comes last, and only after
    // an install without any problem.
    auto& shown = host_->Messages;
    for (size_t i = before; i < shown.size(); ++i) {
      if (!IsDone(shown[i])) continue;
      EXPECT_EQ(i + 1, shown.size()) << "the done message is not the last";
      EXPECT_EQ(session_.Outcome, kOutcomeInstalled);
      for (size_t k = before; k < i; ++k) {
        if (shown[k].Text != "The password is wrong. Please try again.") {
          EXPECT_NE(shown[k].Caption, "Error") << shown[k].Text;
        }
      }
    }
  }
  void Run(const Bytes& zip, const char* folder = kBookFolder) {
    Package(zip);
    Open();
    Install(folder);
  }

  // --- What the run left behind ----------------------------------------------
  std::string HostPath(const std::string& windowsPath) { return host_->HostPath(windowsPath); }
  bool Exists(const std::string& windowsPath) {
    std::string host = HostPath(windowsPath);
    return !host.empty() && fs::exists(host);
  }
  Bytes Installed(const std::string& windowsPath) { return ReadAll(HostPath(windowsPath)); }
  // A Windows path as Files() lists it, relative to the root.
  std::string HostRelative(const std::string& windowsPath) {
    return fs::path(HostPath(windowsPath)).lexically_relative(root_).string();
  }
  // A file on the host, e.g. one that was there before the setup ran.
  void Place(const std::string& windowsPath, const Bytes& content) {
    WriteFile(HostPath(windowsPath), content);
  }
  void PlaceFolder(const std::string& windowsPath) {
    fs::create_directories(HostPath(windowsPath));
  }

  // Every regular file under the root, relative to it, sorted.
  std::vector<std::string> Files() {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(root_).string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  // The message boxes shown, as "caption: text", but for the one that says
  // where the book went (see Done).
  std::vector<std::string> Messages() {
    std::vector<std::string> shown;
    for (const auto& m : host_->Messages) {
      if (!IsDone(m)) shown.push_back(m.Caption + ": " + m.Text);
    }
    return shown;
  }
  // The text of the message that said where the book went; empty if none.
  std::string Done() {
    for (const auto& m : host_->Messages) {
      if (IsDone(m)) return m.Text;
    }
    return {};
  }

 private:
  static bool IsDone(const NativePlatform::Message& m) {
    return m.Caption == "E-book Setup" && m.Text.rfind("The book was installed in:\n", 0) == 0;
  }
  static void WriteFile(const fs::path& path, const Bytes& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
  }
  static Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_, src_, root_;
  std::unique_ptr<NativePlatform> host_;
  SetupSession session_;
  Bytes package_;
  std::string settings_;
};

}  // namespace ebook::test
