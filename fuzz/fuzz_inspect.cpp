// bookpack's list, check and extract over any setup: the input is a ZIP
// archive packaged behind a fake stub (or a whole packaged file), read the
// way the publisher's tool reads it. None may crash, leak or hang, `list`
// and `check --json` must print JSON that is whole, and extract must write
// nothing outside its folder and leave no scratch folder behind.
//
// Input:
//   byte 0  flags
//           bit 0  the rest is the whole packaged file as given (it must
//                  carry its own "StubLength::" slot); otherwise the rest is
//                  the archive behind a fake 256-byte stub with the right
//                  size field
//           bit 1  --app-path quonview.exe=C:\Reader\ for check and
//                  extract, for the update directives
//           bit 2  extract with --overwrite yes
//           bit 3  a file already in the extract folder (book.htm)
//           bit 4  check and extract with --password pw
//   rest    the archive, or the packaged file (bit 0)
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_common.h"
#include "inspect.h"

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kRawPackage = 0x01;
constexpr uint8_t kAppPath = 0x02;
constexpr uint8_t kOverwrite = 0x04;
constexpr uint8_t kPlaceExisting = 0x08;
constexpr uint8_t kPassword = 0x10;
constexpr uint32_t kStubLength = 256;

fs::path g_sandbox;  // this process's own folder; TMPDIR points into it

std::vector<uint8_t> FakeStub() {
  std::vector<uint8_t> stub(kStubLength);
  for (uint32_t i = 0; i < kStubLength; ++i) stub[i] = static_cast<uint8_t>(0x20 + i % 0x2F);
  stub[0] = 'M';
  stub[1] = 'Z';
  const char marker[] = "StubLength::";
  std::copy(marker, marker + 12, stub.begin() + 64);
  for (int k = 0; k < 4; ++k) stub[76 + k] = static_cast<uint8_t>(kStubLength >> (8 * k));
  return stub;
}

// Folder entries, recursively, that are not `except`.
size_t CountOutside(const fs::path& folder, const fs::path& except) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(folder, ec))
    if (item.path() != except) ++n;
  return n;
}

bool LooksLikeJsonObject(const std::string& text) {
  // Whole: starts with '{', ends with "}\n", brackets balance outside strings.
  if (text.size() < 3 || text.front() != '{' || text.compare(text.size() - 2, 2, "}\n") != 0)
    return false;
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"')
      inString = true;
    else if (c == '{' || c == '[')
      ++depth;
    else if (c == '}' || c == ']')
      --depth;
    if (depth < 0) return false;
  }
  return depth == 0 && !inString;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "fuzz_inspect_XXXXXX").string();
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  g_sandbox = pattern;
  fs::create_directories(g_sandbox / "tmp");
  setenv("TMPDIR", (g_sandbox / "tmp").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > fuzz::kMaxInput) return 0;
  const uint8_t flags = data[0];
  std::vector<uint8_t> file;
  if ((flags & kRawPackage) != 0) {
    file.assign(data + 1, data + size);
  } else {
    file = FakeStub();
    const uint32_t total = static_cast<uint32_t>(kStubLength + 8 + size - 1);
    for (int k = 0; k < 4; ++k) file.push_back(static_cast<uint8_t>(total >> (8 * k)));
    file.insert(file.end(), 4, 0);
    file.insert(file.end(), data + 1, data + size);
  }
  const fs::path work = g_sandbox / "work";
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work / "out");
  const fs::path setupPath = work / "Setup.exe";
  {
    std::ofstream out(setupPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }
  if ((flags & kPlaceExisting) != 0) std::ofstream(work / "out" / "book.htm") << "old";

  bookpack::InspectOptions options;
  options.SetupPath = setupPath.string();
  if ((flags & kPassword) != 0) options.Password = "pw";
  if ((flags & kAppPath) != 0) options.AppPaths.push_back({"quonview.exe", "C:\\Reader\\"});

  for (bool json : {false, true}) {
    std::ostringstream out, err;
    options.Json = json;
    const int listed = bookpack::RunList(options, out, err);
    FUZZ_CHECK(listed == 0 || listed == 2);
    if (json && listed == 0) FUZZ_CHECK(LooksLikeJsonObject(out.str()));
    std::ostringstream checkOut, checkErr;
    const int checked = bookpack::RunCheck(options, checkOut, checkErr);
    FUZZ_CHECK(checked >= 0 && checked <= 2);
    if (json && checked != 2) FUZZ_CHECK(LooksLikeJsonObject(checkOut.str()));
  }
  options.Json = false;
  options.Overwrite = (flags & kOverwrite) != 0;
  options.Folder = (work / "out").string();
  std::ostringstream out, err;
  const int extracted = bookpack::RunExtract(options, out, err);
  FUZZ_CHECK(extracted >= 0 && extracted <= 2);

  // Nothing beside the setup and the extract folder, and no scratch folder
  // left behind.
  FUZZ_CHECK(CountOutside(work, work / "out") == 1);  // Setup.exe
  FUZZ_CHECK(fs::is_directory(work / "out"));
  FUZZ_CHECK(fs::is_empty(g_sandbox / "tmp"));
  FUZZ_CHECK(CountOutside(g_sandbox, g_sandbox / "work") == 1);  // tmp
  fs::remove_all(work, ec);
  return 0;
}
