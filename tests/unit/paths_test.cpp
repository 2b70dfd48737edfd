#include "core/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ebook::test {
namespace {

using Strings = std::vector<std::string>;
using TextFunction = int32_t (*)(std::string_view, char*, int32_t);

constexpr char kGuard = '#';

// Runs a text function with a buffer that just fits the expected result and
// with one a byte short, and checks that neither run writes past the size
// it was given.
void ExpectText(TextFunction fn, const std::string& input, const std::string& expected) {
  SCOPED_TRACE("input \"" + input + "\"");
  const int32_t fits = static_cast<int32_t>(expected.size()) + 1;
  std::vector<char> out(expected.size() + 8, kGuard);

  ASSERT_EQ(fn(input, out.data(), fits), static_cast<int32_t>(expected.size()));
  EXPECT_EQ(std::string(out.data()), expected);
  EXPECT_EQ(out[expected.size() + 1], kGuard) << "wrote past the buffer";

  std::fill(out.begin(), out.end(), kGuard);
  EXPECT_EQ(fn(input, out.data(), fits - 1), -1) << "a result that does not fit";
  if (fits > 1) {
    EXPECT_EQ(out[0], '\0');
  }
  EXPECT_EQ(out[expected.size()], kGuard) << "wrote past the buffer";
}

struct TextCase {
  std::string input;
  std::string expected;
};

void ExpectTable(TextFunction fn, const std::vector<TextCase>& cases) {
  for (const TextCase& c : cases) ExpectText(fn, c.input, c.expected);
}

TEST(Paths, DirectoryOfPath) {
  ExpectTable(DirectoryOfPath, {
                                   {"C:\\", "C:\\"},
                                   {"C:\\Setup.txt", "C:\\"},
                                   {"C:\\Books\\Vol1", "C:\\Books"},
                                   {"C:\\Books\\Vol1\\", "C:\\Books\\Vol1"},
                                   {"C:/Books/Vol1", "C:/Books"},
                                   {"C:Readme", "C:"},
                                   {"Readme", ""},
                                   {"\\Readme", ""},
                                   {"ab\\Readme", "ab"},
                                   {"x:y", "x:y"},
                                   {"", ""},
                                   {"C:/", "C:/"},
                                   {"a/b\\c", "a/b"},
                                   {"abc:", "abc:"},
                                   {"C:\\Books\\Vol1:stream", "C:\\Books\\Vol1:"},
                               });
}

TEST(Paths, NameOfPath) {
  const std::string longName(300, 'n');
  const TextCase cases[] = {
      {"C:\\Books\\Vol1.txt", "Vol1.txt"},
      {"C:\\Books\\", ""},
      {"C:Readme", "Readme"},
      {"C:\\Books\\Vol1:stream", "stream"},
      {"a/b\\c", "c"},
      {"a\\b/c", "c"},
      {"Readme", "Readme"},
      {"", ""},
      {"C:\\Books\\" + longName, longName},
  };
  for (const TextCase& c : cases) {
    const std::string_view name = NameOfPath(c.input);
    EXPECT_EQ(name, c.expected) << c.input;
    // A view of the path's own end, so it lives exactly as long as the path.
    EXPECT_EQ(name.data(), c.input.data() + c.input.size() - c.expected.size()) << c.input;
  }
}

TEST(Paths, SlashesToBackslashesInPlace) {
  const TextCase cases[] = {{"a/b/c", "a\\b\\c"}, {"/", "\\"}, {"", ""}, {"a\\b", "a\\b"}};
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.input);
    // A slash behind the terminating zero is not part of the text.
    std::string buffer = c.input + '\0' + "/x";
    char* result = SlashesToBackslashesInPlace(buffer.data());
    EXPECT_EQ(result, buffer.data());
    EXPECT_EQ(buffer, c.expected + '\0' + "/x");
  }
}

TEST(Paths, ZTextLength) {
  EXPECT_EQ(ZTextLength(""), 0);
  EXPECT_EQ(ZTextLength("C:\\Books"), 8);
  EXPECT_EQ(ZTextLength(std::string(65535, 'a').c_str()), 65535);
  // Counting on would wrap the 16-bit count to a short length.
  EXPECT_EQ(ZTextLength(std::string(65536 + 5, 'a').c_str()), 65535);
}

TEST(Paths, IsSafeEntryName) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"C:\\x", false},
      {"c:x", false},
      {"/x", false},
      {"\\x", false},
      {"\\\\server\\share\\x", false},
      {"//server/share/x", false},
      {"a/../b", false},
      {"a\\..\\b", false},
      {"..", false},
      {"a/..", false},
      {"a\\..", false},
      {"..\\x", false},
      {"../x", false},
      {"a:b", false},
      {"book.txt:hidden", false},
      {std::string("..\0.txt", 7), false},
      {"readme.txt", true},
      {"docs/chapter1.htm", true},
      {"docs\\img\\cover.jpg", true},
      {"a..b", true},
      {"..a/b", true},
      // Windows trims trailing dots and spaces: these reach the parent...
      {"...", false},
      {".. /x", false},
      {"a/. ./b", false},
      {"a/.../b", false},
      // ...and these land under a name they do not give.
      {"..a/b..", false},
      {"a. /b", false},
      {"book./a.txt", false},
      {"book /a.txt", false},
      {"a.txt.", false},
      {"a.txt ", false},
      {"dir\\x. \\y", false},
      {"dir./", false},
      {"dir /", false},
      {"a b/c .d/e", true},
      {"./x", true},
      {"a/./x", true},
      {"docs/", true},
      {"docs\\", true},
      {"docs/sub/", true},
      // Device names, whatever the extension or case, in any folder.
      {"nul", false},
      {"NUL.txt", false},
      {"docs/con", false},
      {"Com1.htm", false},
      {"lpt9", false},
      {"aux .txt", false},
      {"conin$", false},
      {"CONOUT$.log", false},
      {"ConIn$/x.txt", false},
      {"com\xC2\xB9", false},
      {"COM\xC2\xB2.txt", false},
      {"lpt\xC2\xB3", false},
      {"docs/LpT\xC2\xB9 .htm/x", false},
      {"console.txt", true},
      {"com10.txt", true},
      {"com0", true},
      {"lpt0.txt", true},
      {"null", true},
      {"nu", true},
      {"conin", true},
      {"conout$x.txt", true},
      {"com\xC2\xB9x.txt", true},
      {"com\xC2\xB9\xC2\xB9", true},
      // Superscript zero and four to nine are not ports, nor is a Latin-1
      // byte that is no UTF-8.
      {"com\xE2\x81\xB0", true},
      {"lpt\xE2\x81\xB4", true},
      {"com\xB9", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSafeEntryName(c.name), c.safe) << c.name;
}

// A platform that knows a set of files and folders, records what the
// utilities ask of it, and can refuse to create one folder.
class FakeHost final : public Platform {
 public:
  FakeHost(const Strings& existing, std::string refused = "")
      : existing_(existing.begin(), existing.end()), refused_(std::move(refused)) {}

  Strings Probes, Created, Messages;

  bool FindAny(std::string_view pattern) override {
    std::string p(pattern);
    Probes.push_back(p);
    constexpr std::string_view kAll = "\\*.*";
    if (p.size() >= kAll.size() && p.compare(p.size() - kAll.size(), kAll.size(), kAll) == 0) {
      std::string folder = p.substr(0, p.size() - kAll.size());
      return existing_.count(folder) > 0 || existing_.count(folder + "\\") > 0;
    }
    return existing_.count(p) > 0;
  }
  bool CreateFolder(std::string_view path) override {
    Created.emplace_back(path);
    if (path == refused_) return false;
    existing_.emplace(path);
    return true;
  }
  void ShowMessage(std::string_view text, std::string_view caption) override {
    Messages.push_back(std::string(text) + " | " + std::string(caption));
  }

  int32_t ReadFile(FileHandle, void*, int32_t) override { return 0; }
  uint32_t SeekFile(FileHandle, uint32_t) override { return 0xFFFFFFFFu; }
  uint32_t FileSize(FileHandle) override { return 0; }
  FileHandle CreateFileForWrite(std::string_view) override { return nullptr; }
  FileHandle CreateNewFile(std::string_view) override { return nullptr; }
  FileError LastFileError() override { return FileError::kOther; }
  uint32_t Milliseconds() override { return 0; }
  FileHandle OpenFileForRead(std::string_view) override { return nullptr; }
  int32_t WriteFile(FileHandle, const void*, int32_t) override { return 0; }
  bool CloseFile(FileHandle) override { return false; }
  int32_t TempFolder(char*, int32_t) override { return 0; }
  int32_t CurrentFolder(char*, int32_t) override { return 0; }
  int32_t SystemFolder(bool, char*, int32_t) override { return 0; }
  int32_t EncodeTypedText(std::string_view, char*, int32_t) override { return 0; }
  bool SetCurrentFolder(std::string_view) override { return false; }
  int32_t DecodeStoredText(std::string_view, bool, char*, int32_t) override { return -1; }
  void SetControlText(ControlId, std::string_view) override {}
  void SetTitle(std::string_view) override {}
  int32_t ExpandVariables(std::string_view, char*, int32_t) override { return -1; }
  int32_t FullPath(std::string_view, char*, int32_t) override { return -1; }
  int32_t ControlText(ControlId, char*, int32_t) override { return 0; }
  void ListReset() override {}
  void ListAdd(std::string_view) override {}
  void ListSetSelected(int32_t, bool) override {}
  void ListSelectAll() override {}
  int32_t ListCount() override { return 0; }
  int32_t ListSelectedCount() override { return 0; }
  void PumpOneMessage() override {}
  void KeepResponsive() override {}
  int32_t AskPassword(char*, int32_t, bool) override { return 0; }
  OverwriteReply AskOverwrite(std::string_view) override { return {}; }
  bool AskYesNo(std::string_view, std::string_view) override { return false; }
  int32_t ReadRegistryString(RegistryPlace, std::string_view, std::string_view, char*,
                             int32_t) override {
    return -1;
  }
  bool StartProgram(std::string_view, std::string_view) override { return false; }
  bool StartElevated(std::string_view) override { return false; }
  void ShowProgress(uint32_t, uint32_t, bool) override {}
  bool MoveIntoPlace(std::string_view, std::string_view) override { return false; }
  bool RemoveFile(std::string_view) override { return false; }
  int32_t LastErrorText(char*, int32_t) override { return 0; }
  int32_t ReadListItem(int32_t, char*, int32_t, bool&) override { return -1; }

 private:
  std::set<std::string> existing_;
  std::string refused_;
};

// A folder of `length` characters under C:\ (the drive root counted).
std::string FolderOfLength(size_t length) { return "C:\\" + std::string(length - 3, 'f'); }

TEST(Paths, PathExists) {
  const std::string fits = FolderOfLength(250) + "\\";  // 251 + "*.*" + zero = 255
  const std::string tooLong = FolderOfLength(251) + "\\";
  const std::string longFile = FolderOfLength(400);
  const Strings existing = {
      "C:\\",  "C:\\Books", "C:\\Books\\Vol1.txt", FolderOfLength(250), FolderOfLength(251),
      longFile};
  const struct {
    std::string path;
    bool answer;
    Strings probes;
    std::string bufferAfter;
  } cases[] = {
      {"C:\\Books\\", true, {"C:\\Books\\*.*"}, "C:\\Books\\"},
      {"C:\\Books", true, {"C:\\Books"}, "C:\\Books"},
      {"C:/Books\\", true, {"C:\\Books\\*.*"}, "C:/Books\\"},
      {"C:/Books/Vol1.txt", true, {"C:\\Books\\Vol1.txt"}, "C:\\Books\\Vol1.txt"},
      // A trailing slash is not a trailing backslash: the path is probed itself.
      {"C:/Books/", false, {"C:\\Books\\"}, "C:\\Books\\"},
      {"C:\\", true, {"C:\\*.*"}, "C:\\"},
      {"C:\\Missing\\", false, {"C:\\Missing\\*.*"}, "C:\\Missing\\"},
      {"C:\\Missing", false, {"C:\\Missing"}, "C:\\Missing"},
      {"", false, {}, ""},
      {fits, true, {fits + "*.*"}, fits},
      {tooLong, false, {}, tooLong},
      {longFile, true, {longFile}, longFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40) + " (" + std::to_string(c.path.size()) + ")");
    FakeHost host(existing);
    std::string buffer = c.path;
    EXPECT_EQ(PathExists(host, buffer.data()), c.answer);
    EXPECT_EQ(host.Probes, c.probes);
    EXPECT_EQ(buffer, c.bufferAfter);
  }
}

TEST(Paths, MakeAllFolders) {
  const std::string tooLong = "C:\\" + std::string(kFolderTextSize, 'f');
  const struct {
    std::string folder;
    Strings existing;
    std::string refused;
    Strings created;
  } cases[] = {
      {"C:\\A\\B\\C", {"C:\\A"}, "", {"C:\\A\\B", "C:\\A\\B\\C"}},
      {"C:\\A\\B\\C\\", {"C:\\A"}, "", {"C:\\A\\B", "C:\\A\\B\\C"}},
      {"C:/A/B/C", {"C:\\A"}, "", {"C:\\A\\B", "C:\\A\\B\\C"}},
      {"C:\\X\\Y", {}, "", {"C:\\X", "C:\\X\\Y"}},
      {"C:\\A", {"C:\\A"}, "", {}},
      {"C:", {}, "", {}},
      {"C:\\", {}, "", {}},
      {"ab", {}, "", {}},
      {"ab\\", {}, "", {}},
      {"", {}, "", {}},
      {"abc", {}, "", {"abc"}},
      {"ab\\cd", {}, "", {"ab\\cd"}},
      {"C:\\A\\B\\C\\D", {"C:\\A"}, "C:\\A\\B", {"C:\\A\\B"}},
      {"C:\\A\\B\\C\\D", {"C:\\A"}, "C:\\A\\B\\C", {"C:\\A\\B", "C:\\A\\B\\C"}},
      // Names that are their own folder part: created once, no endless descent.
      {"x:y", {}, "", {"x:y"}},
      {"abc:", {}, "", {"abc:"}},
      {"C:\\\\", {}, "", {"C:\\"}},
      {tooLong, {}, "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder.substr(0, 40));
    FakeHost host(c.existing, c.refused);
    MakeAllFolders(host, c.folder);
    EXPECT_EQ(host.Created, c.created);
    EXPECT_TRUE(host.Messages.empty());
  }
}

TEST(Paths, MakeTargetFolder) {
  const std::string longFolder = "C:\\" + std::string(kFolderTextSize, 'f');
  const struct {
    std::string target;
    Strings existing;
    std::string refused;
    bool answer;
    Strings created;
    bool refusedBySystem;  // a level's creation failed, so the system knows why
  } cases[] = {
      {"C:\\Books\\Vol1\\a.txt", {"C:\\Books"}, "", true, {"C:\\Books\\Vol1"}, false},
      {"C:/Books/Vol1/a.txt", {"C:\\Books"}, "", true, {"C:\\Books\\Vol1"}, false},
      {"C:\\Books\\a.txt", {"C:\\Books"}, "", true, {}, false},
      {"C:\\Books\\Vol1\\a.txt",
       {"C:\\Books"},
       "C:\\Books\\Vol1",
       false,
       {"C:\\Books\\Vol1"},
       true},
      {"Q:\\Books\\a.txt", {}, "Q:\\Books", false, {"Q:\\Books"}, true},
      // A missing drive is not created, so no creation failed.
      {"Q:\\Readme.txt", {}, "", false, {}, false},
      {longFolder + "\\a.txt", {}, "", false, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target.substr(0, 40));
    FakeHost host(c.existing, c.refused);
    bool refused = !c.refusedBySystem;
    EXPECT_EQ(MakeTargetFolder(host, c.target, &refused), c.answer);
    EXPECT_EQ(host.Created, c.created);
    EXPECT_EQ(refused, c.refusedBySystem);
    // The caller says which folder failed; the helper shows nothing.
    EXPECT_TRUE(host.Messages.empty());
  }
}

// A file at a drive root is decided by a search of the root's contents.
TEST(Paths, MakeTargetFolderAtDriveRootProbesItsContents) {
  FakeHost host({"C:\\"});
  EXPECT_TRUE(MakeTargetFolder(host, "C:\\Readme.txt"));
  EXPECT_EQ(host.Probes, Strings{"C:\\*.*"});
  EXPECT_TRUE(host.Created.empty());
}

}  // namespace
}  // namespace ebook::test
