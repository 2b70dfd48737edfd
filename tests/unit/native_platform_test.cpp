#include "host/native_platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace ebook::test {
namespace {

namespace fs = std::filesystem;

class NativePlatformTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "host_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    root_ = dir_ / "root";
    host_ = std::make_unique<NativePlatform>(root_);
  }
  void TearDown() override {
    host_.reset();
    fs::remove_all(dir_);
  }

  void MakeFile(const fs::path& relative, const std::string& content) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary) << content;
  }
  std::string Slurp(const fs::path& relative) {
    std::ifstream in(root_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string Current() {
    char buffer[300];
    int32_t n = host_->CurrentFolder(buffer, sizeof buffer);
    return std::string(buffer, static_cast<size_t>(n));
  }

  fs::path dir_, root_;
  std::unique_ptr<NativePlatform> host_;
};

TEST_F(NativePlatformTest, MapsWindowsPathsUnderTheRoot) {
  fs::create_directories(root_ / "C" / "Books");
  ASSERT_TRUE(host_->SetCurrentFolder("C:\\Books"));
  struct Case {
    const char* windows;
    const char* expected;  // relative to the root; empty when refused
  } cases[] = {
      {"C:\\Books\\a.txt", "C/Books/a.txt"},
      {"c:/Books/a.txt", "C/Books/a.txt"},
      {"C:\\Books/sub\\a.txt", "C/Books/sub/a.txt"},
      {"d:\\x\\y", "D/x/y"},
      {"C:\\", "C"},
      {"C:\\Books\\\\a.txt", "C/Books/a.txt"},
      {"C:\\Books\\.\\sub\\..\\a.txt", "C/Books/a.txt"},
      {"a.txt", "C/Books/a.txt"},
      {"sub\\..\\..\\b.txt", "C/b.txt"},
      {"\\top.txt", "C/top.txt"},
      {"C:rel.txt", "C/Books/rel.txt"},
      {"D:rel.txt", "D/rel.txt"},
      {"C:\\a\\name.", "C/a/name"},
      {"C:\\a\\dir.\\f", "C/a/dir/f"},
      {"C:\\a\\tail. . ", "C/a/tail"},
      {"C:\\a\\...\\f", "C/a/.../f"},
      {"", ""},
      {"C:\\..", ""},
      {"..\\..\\x", ""},
      {"C:\\Books\\..\\..\\C\\x", ""},
      {"\\\\server\\share\\a.txt", ""},
      {"//server/share/a.txt", ""},
      {"\\\\?\\C:\\a.txt", ""},
      {"C:\\a\\b:stream", ""},
      {"C:\\a\\x*y", ""},
      {"C:\\a\\con.txt", ""},
      {"C:\\a\\LPT1", ""},
      {"C:\\a\\CONIN$", ""},
      {"C:\\a\\conout$.txt\\f", ""},
      {"C:\\a\\com\xC2\xB9.txt", ""},
      {"C:\\a\\com\xC2\xB9x.txt", "C/a/com\xC2\xB9x.txt"},
      {"C:\\a\\...", ""},
  };
  for (const Case& c : cases) {
    std::string expected = *c.expected ? (root_ / c.expected).string() : "";
    EXPECT_EQ(host_->HostPath(c.windows), expected) << c.windows;
  }
}

// Windows names are case-insensitive: existing folders and files are found
// whatever the case, and new ones keep the case they were given.
TEST_F(NativePlatformTest, FindsExistingNamesWhateverTheirCase) {
  MakeFile("C/Books/ReadMe.TXT", "hello");
  EXPECT_EQ(host_->HostPath("c:\\BOOKS\\readme.txt"), (root_ / "C/Books/ReadMe.TXT").string());
  FileHandle in = host_->OpenFileForRead("C:\\books\\README.txt");
  ASSERT_NE(in, nullptr);
  char buffer[8] = {};
  EXPECT_EQ(host_->ReadFile(in, buffer, 8), 5);
  EXPECT_TRUE(host_->CloseFile(in));

  FileHandle out = host_->CreateFileForWrite("C:\\BOOKS\\New.txt");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(host_->CloseFile(out));
  EXPECT_TRUE(fs::is_regular_file(root_ / "C/Books/New.txt"));
  EXPECT_FALSE(fs::exists(root_ / "C/BOOKS"));
}

// Case variants are resolved from what the folder holds now: names the host
// made, moved or removed, and names that appeared or went behind its back.
TEST_F(NativePlatformTest, CaseVariantsFollowEveryChangeToTheFolder) {
  fs::create_directories(root_ / "C/Book");
  auto resolved = [&](const char* windows) {
    return fs::path(host_->HostPath(windows)).lexically_relative(root_).generic_string();
  };
  EXPECT_EQ(resolved("C:\\book\\a.txt"), "C/Book/a.txt");  // the folder is listed here

  FileHandle made = host_->CreateFileForWrite("C:\\Book\\Made.txt");
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(host_->CloseFile(made));
  EXPECT_EQ(resolved("C:\\Book\\MADE.TXT"), "C/Book/Made.txt");

  ASSERT_TRUE(host_->CreateFolder("C:\\Book\\Sub"));
  EXPECT_EQ(resolved("C:\\Book\\sub\\x"), "C/Book/Sub/x");

  MakeFile("C/Book/temp.part", "x");
  ASSERT_TRUE(host_->MoveIntoPlace("C:\\Book\\temp.part", "C:\\Book\\Moved.txt"));
  EXPECT_EQ(resolved("C:\\Book\\moved.TXT"), "C/Book/Moved.txt");
  EXPECT_EQ(resolved("C:\\Book\\TEMP.PART"), "C/Book/TEMP.PART");

  // Made behind the host's back, after the folder was listed; the first in
  // byte order among several variants wins, and the next when it goes.
  MakeFile("C/Book/zeta.txt", "x");
  MakeFile("C/Book/ZETA.txt", "x");
  EXPECT_EQ(resolved("C:\\Book\\Zeta.TXT"), "C/Book/ZETA.txt");
  EXPECT_TRUE(host_->RemoveFile("C:\\Book\\ZETA.txt"));
  EXPECT_EQ(resolved("C:\\Book\\Zeta.TXT"), "C/Book/zeta.txt");
  fs::remove(root_ / "C/Book/zeta.txt");
  EXPECT_EQ(resolved("C:\\Book\\Zeta.TXT"), "C/Book/Zeta.TXT");
  EXPECT_TRUE(host_->RemoveFile("C:\\Book\\made.txt"));
  EXPECT_EQ(resolved("C:\\Book\\MADE.TXT"), "C/Book/MADE.TXT");
}

TEST_F(NativePlatformTest, WritesReadsSeeksAndMeasuresFiles) {
  fs::create_directories(root_ / "C" / "Out");
  FileHandle out = host_->CreateFileForWrite("C:\\Out\\data.bin");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(host_->WriteFile(out, "0123456789", 10), 10);
  EXPECT_EQ(host_->WriteFile(out, "x", 0), 0);
  EXPECT_TRUE(host_->CloseFile(out));
  EXPECT_EQ(Slurp("C/Out/data.bin"), "0123456789");

  FileHandle in = host_->OpenFileForRead("c:/out/DATA.bin");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(host_->FileSize(in), 10u);
  char buffer[16] = {};
  EXPECT_EQ(host_->SeekFile(in, 6), 6u);
  EXPECT_EQ(host_->ReadFile(in, buffer, 16), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(host_->ReadFile(in, buffer, 16), 0);
  EXPECT_EQ(host_->SeekFile(in, 2), 2u);
  EXPECT_EQ(host_->ReadFile(in, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "234");
  EXPECT_EQ(host_->WriteFile(in, "zz", 2), 0);
  EXPECT_TRUE(host_->CloseFile(in));

  // Creating an existing file starts it afresh.
  out = host_->CreateFileForWrite("C:\\Out\\data.bin");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(host_->FileSize(out), 0u);
  EXPECT_TRUE(host_->CloseFile(out));

  EXPECT_EQ(host_->SeekFile(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(host_->ReadFile(nullptr, buffer, 1), 0);
  EXPECT_FALSE(host_->CloseFile(nullptr));
}

TEST_F(NativePlatformTest, ReportsTheLowWordOfTheSize) {
  fs::create_directories(root_ / "C");
  fs::path big = root_ / "C" / "big.bin";
  std::ofstream(big).put('\0');
  fs::resize_file(big, 0x100000005ull);  // sparse: costs no disk
  FileHandle in = host_->OpenFileForRead("C:\\big.bin");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(host_->FileSize(in), 5u);
  EXPECT_TRUE(host_->CloseFile(in));
}

TEST_F(NativePlatformTest, RefusesToOpenWhatIsNoFile) {
  MakeFile("C/Books/a.txt", "a");
  const char* unreadable[] = {"C:\\Books", "C:\\Books\\missing.txt", "\\\\srv\\share\\a.txt",
                              "C:\\..\\a.txt"};
  for (const char* path : unreadable) {
    EXPECT_EQ(host_->OpenFileForRead(path), nullptr) << path;
  }
  const char* unwritable[] = {"C:\\Books", "C:\\NoFolder\\a.txt", "C:\\Books\\a.txt\\b",
                              "\\\\srv\\share\\a.txt", "C:\\..\\a.txt"};
  for (const char* path : unwritable) {
    EXPECT_EQ(host_->CreateFileForWrite(path), nullptr) << path;
  }
  EXPECT_EQ(host_->OpenHostFile((root_ / "C/Books").string()), nullptr);
  FileHandle direct = host_->OpenHostFile((root_ / "C/Books/a.txt").string());
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(host_->FileSize(direct), 1u);
  EXPECT_TRUE(host_->CloseFile(direct));
}

TEST_F(NativePlatformTest, FindAnyAnswersLikeAFileSearch) {
  MakeFile("C/Books/a.txt", "a");
  fs::create_directories(root_ / "C/Books/Sub");
  fs::create_directories(root_ / "C/Empty");
  struct Case {
    const char* pattern;
    bool found;
  } cases[] = {
      {"C:\\Books\\*.*", true},
      {"C:\\Empty\\*.*", true},  // "." is always there
      {"c:/empty/*.*", true},
      {"C:\\Missing\\*.*", false},
      {"C:\\Books\\a.txt\\*.*", false},
      {"C:\\Books\\*.txt", true},
      {"C:\\Books\\*.TXT", true},
      {"C:\\Books\\?.txt", true},
      {"C:\\Books\\*.doc", false},
      {"C:\\Empty\\*.txt", false},
      {"*.*", true},
      {"C:*.*", true},
      {"C:\\Books\\a.txt", true},
      {"c:\\BOOKS\\A.TXT", true},
      {"Books\\a.txt", true},
      {"C:\\Books\\Sub", true},
      {"C:\\Books\\b.txt", false},
      {"C:\\Books\\", false},  // a search with a trailing separator finds nothing
      {"C:\\..\\*.*", false},
      {"\\\\srv\\share\\*.*", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(host_->FindAny(c.pattern), c.found) << c.pattern;
}

TEST_F(NativePlatformTest, CreatesOneFolderAtATime) {
  MakeFile("C/file.txt", "f");
  struct Step {
    const char* path;
    bool created;
  } steps[] = {
      {"C:\\New", true},
      {"c:\\new", false},  // exists, whatever the case
      {"C:\\Missing\\Child", false},
      {"C:\\New\\Child\\", true},
      {"C:\\file.txt", false},
      {"C:\\..\\Out", false},
      {"\\\\srv\\share\\x", false},
  };
  for (const Step& s : steps) EXPECT_EQ(host_->CreateFolder(s.path), s.created) << s.path;
  EXPECT_TRUE(fs::is_directory(root_ / "C/New/Child"));
  EXPECT_FALSE(fs::exists(root_ / "C/Missing"));
}

// Moves and removals refuse what Windows refuses, and each failing file
// call leaves its reason until the next file call; probes do not touch it.
TEST_F(NativePlatformTest, MovesIntoPlaceRemovesAndTellsWhy) {
  MakeFile("C/Book/old.txt", "old");
  MakeFile("C/Book/locked.txt", "locked");
  fs::permissions(root_ / "C/Book/locked.txt", fs::perms::owner_write, fs::perm_options::remove);
  fs::create_directories(root_ / "C/Book/folder");
  char reason[128];
  EXPECT_EQ(host_->LastErrorText(reason, sizeof reason), 0) << "nothing failed yet";

  const struct {
    const char* part;  // written with "new" first
    const char* target;
    bool moved;
    const char* reason;  // after the move
  } moves[] = {
      {"C:\\Book\\a.part", "C:\\Book\\old.txt", true, ""},
      {"C:\\Book\\b.part", "C:\\Book\\fresh.txt", true, ""},
      {"C:\\Book\\c.part", "C:\\Book\\LOCKED.TXT", false, "Permission denied"},
      {"C:\\Book\\d.part", "C:\\Book\\folder", false, "Is a directory"},
      {"C:\\Book\\e.part", "C:\\Book\\con", false, "Invalid argument"},
  };
  for (const auto& m : moves) {
    SCOPED_TRACE(m.target);
    FileHandle file = host_->CreateFileForWrite(m.part);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(host_->WriteFile(file, "new", 3), 3);
    EXPECT_TRUE(host_->CloseFile(file));
    EXPECT_EQ(host_->MoveIntoPlace(m.part, m.target), m.moved);
    EXPECT_EQ(host_->FindAny(m.part), !m.moved);
    EXPECT_FALSE(host_->FindAny("C:\\Book\\nothing.txt"));  // a probe keeps the reason
    EXPECT_EQ(host_->LastErrorText(reason, sizeof reason),
              static_cast<int32_t>(std::strlen(m.reason)));
    EXPECT_STREQ(reason, m.reason);
    if (!m.moved) {
      EXPECT_TRUE(host_->RemoveFile(m.part));
    }
  }
  EXPECT_EQ(Slurp("C/Book/old.txt"), "new");
  EXPECT_EQ(Slurp("C/Book/fresh.txt"), "new");
  EXPECT_EQ(Slurp("C/Book/locked.txt"), "locked");
  EXPECT_TRUE(fs::is_directory(root_ / "C/Book/folder"));

  EXPECT_FALSE(host_->RemoveFile("C:\\Book\\locked.txt"));
  EXPECT_FALSE(host_->RemoveFile("C:\\Book\\gone.txt"));
  EXPECT_GT(host_->LastErrorText(reason, sizeof reason), 0);
  EXPECT_STREQ(reason, "No such file or directory");
  EXPECT_FALSE(host_->CreateFolder("C:\\Book\\old.txt\\sub"));
  EXPECT_STREQ((host_->LastErrorText(reason, sizeof reason), reason), "Not a directory");
  EXPECT_TRUE(fs::exists(root_ / "C/Book/locked.txt"));
}

TEST_F(NativePlatformTest, KeepsTheTemporaryAndCurrentFolders) {
  char buffer[64];
  EXPECT_EQ(host_->TempFolder(buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "C:\\Temp\\");
  EXPECT_TRUE(fs::is_directory(root_ / "C/Temp"));
  EXPECT_EQ(host_->TempFolder(buffer, 8), 9);  // too small: the size needed
  EXPECT_STREQ(buffer, "");

  NativePlatform other(dir_ / "other", "d:/Scratch/Tmp");
  EXPECT_EQ(other.TempFolder(buffer, sizeof buffer), 15);
  EXPECT_STREQ(buffer, "D:\\Scratch\\Tmp\\");
  EXPECT_TRUE(fs::is_directory(dir_ / "other/D/Scratch/Tmp"));

  EXPECT_EQ(Current(), "C:\\");
  EXPECT_FALSE(host_->SetCurrentFolder("C:\\Books"));
  EXPECT_EQ(Current(), "C:\\");
  fs::create_directories(root_ / "C/Books/Sub");
  EXPECT_TRUE(host_->SetCurrentFolder("Books"));
  EXPECT_EQ(Current(), "C:\\Books");
  EXPECT_TRUE(host_->SetCurrentFolder("sub\\"));
  EXPECT_EQ(Current(), "C:\\Books\\sub");
  EXPECT_EQ(host_->HostPath("x.txt"), (root_ / "C/Books/Sub/x.txt").string());
  EXPECT_TRUE(host_->SetCurrentFolder(".."));
  EXPECT_EQ(Current(), "C:\\Books");
  EXPECT_FALSE(host_->SetCurrentFolder("\\\\srv\\share"));
  EXPECT_EQ(host_->CurrentFolder(buffer, 4), 9);
  EXPECT_STREQ(buffer, "");
}

TEST_F(NativePlatformTest, HoldsTheDialogTexts) {
  struct Initial {
    ControlId control;
    const char* text;
  } initial[] = {{kInstallPathEdit, "C:\\ZQ"},
                 {kInstallPathLabel, "&Install path:"},
                 {kNoticeLine, "."},
                 {kStatusLine, ""},
                 {kLicenceBox, ""},
                 {kEntryList, ""}};
  char buffer[32];
  for (const Initial& c : initial) {
    EXPECT_EQ(host_->ControlText(c.control, buffer, sizeof buffer),
              static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_STREQ(buffer, c.text) << c.control;
  }
  host_->SetControlText(kStatusLine, "Extracting a.txt");
  EXPECT_EQ(host_->Controls[kStatusLine], "Extracting a.txt");
  EXPECT_EQ(host_->ControlText(kStatusLine, buffer, 6), 5);
  EXPECT_STREQ(buffer, "Extra");

  for (int i = 0; i < 3; ++i) host_->PumpOneMessage();
  EXPECT_EQ(host_->PumpCount, 3);
}

// The list keeps the order the walk adds entries in, so that a pending
// mark set by an entry's index belongs to that entry.
TEST_F(NativePlatformTest, KeepsTheEntryListInWalkOrderWithSelections) {
  const std::vector<std::string> added = {"b.txt", "Docs\\z.txt", "A.txt", "docs\\a.txt",
                                          "a.TXT", "_x",          "B.TXT"};
  for (const std::string& name : added) host_->ListAdd(name);
  std::vector<std::string> order;
  for (const auto& item : host_->List) order.push_back(item.Name);
  EXPECT_EQ(order, added);
  EXPECT_EQ(host_->ListCount(), 7);
  EXPECT_EQ(host_->ListSelectedCount(), 0);

  host_->ListSelectAll();
  EXPECT_EQ(host_->ListSelectedCount(), 7);
  for (int32_t index : {1, 6, -1, 7, 1000}) host_->ListSetSelected(index, false);
  EXPECT_EQ(host_->ListSelectedCount(), 5);
  EXPECT_FALSE(host_->List[1].Selected);
  EXPECT_FALSE(host_->List[6].Selected);
  host_->ListSetSelected(6, true);
  EXPECT_EQ(host_->ListSelectedCount(), 6);

  // Each item reads back with its mark; a small buffer gets the text cut.
  const struct {
    int32_t index;
    int32_t size;
    int32_t length;
    const char* text;
    bool selected;
  } reads[] = {{0, 64, 5, "b.txt", true}, {1, 64, 10, "Docs\\z.txt", false},
               {6, 64, 5, "B.TXT", true}, {2, 4, 3, "A.t", true},
               {7, 64, -1, "", false},    {-1, 64, -1, "", false}};
  for (const auto& r : reads) {
    SCOPED_TRACE(r.index);
    char text[64] = "stale";
    bool selected = !r.selected;
    EXPECT_EQ(host_->ReadListItem(r.index, text, r.size, selected), r.length);
    EXPECT_STREQ(text, r.text);
    EXPECT_EQ(selected, r.selected);
  }

  // A later addition goes last, unselected.
  host_->ListAdd("c.txt");
  EXPECT_EQ(host_->List[7].Name, "c.txt");
  EXPECT_FALSE(host_->List[7].Selected);
  EXPECT_EQ(host_->ListSelectedCount(), 6);

  host_->ListReset();
  EXPECT_EQ(host_->ListCount(), 0);
  EXPECT_EQ(host_->ListSelectedCount(), 0);
}

TEST_F(NativePlatformTest, AnswersDialogsFromTheScript) {
  host_->PasswordReplies = {"secret", "far-too-long", std::nullopt, "x", std::nullopt};
  host_->OverwriteReplies = {{true, true}};
  char buffer[80];

  EXPECT_EQ(host_->AskPassword(buffer, sizeof buffer, false), 6);
  EXPECT_STREQ(buffer, "secret");
  host_->ShowMessage("Wrong password", "Error");
  EXPECT_EQ(host_->AskPassword(buffer, 5, false), 4);
  EXPECT_STREQ(buffer, "far-");
  // Escape does nothing unless the dialog may be cancelled.
  EXPECT_EQ(host_->AskPassword(buffer, sizeof buffer, false), 1);
  EXPECT_STREQ(buffer, "x");
  EXPECT_EQ(host_->AskPassword(buffer, sizeof buffer, true), -1);
  EXPECT_EQ(host_->AskPassword(buffer, sizeof buffer, true), 0);  // nothing left: Ok, empty
  EXPECT_STREQ(buffer, "");

  OverwriteReply first = host_->AskOverwrite("a.txt");
  EXPECT_TRUE(first.Overwrite);
  EXPECT_TRUE(first.DontAskAgain);
  OverwriteReply second = host_->AskOverwrite("b.txt");
  EXPECT_FALSE(second.Overwrite);
  EXPECT_FALSE(second.DontAskAgain);

  const std::vector<std::string> log = {
      "password", "message:Wrong password", "password",       "password", "password",
      "password", "overwrite:a.txt",        "overwrite:b.txt"};
  EXPECT_EQ(host_->DialogLog, log);
  EXPECT_EQ(host_->OverwriteAsked, (std::vector<std::string>{"a.txt", "b.txt"}));
  ASSERT_EQ(host_->Messages.size(), 1u);
  EXPECT_EQ(host_->Messages[0].Text, "Wrong password");
  EXPECT_EQ(host_->Messages[0].Caption, "Error");
}

TEST_F(NativePlatformTest, ReadsRegistryStringsFromTheTable) {
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Reader.exe";
  host_->Registry[{RegistryPlace::kLocalMachine32, key, "Path"}] = "C:\\Reader";
  host_->Registry[{RegistryPlace::kCurrentUser, key, ""}] = "C:\\Reader\\Reader.exe";
  host_->Registry[{RegistryPlace::kCurrentUser, "Software\\Empty", "Path"}] = "";
  struct Case {
    RegistryPlace place;
    std::string key;
    const char* value;
    int32_t size;
    int32_t result;
    const char* text;
  } cases[] = {
      {RegistryPlace::kLocalMachine32, key, "Path", 80, 9, "C:\\Reader"},
      {RegistryPlace::kLocalMachine32,
       "software\\MICROSOFT\\windows\\CurrentVersion\\app paths\\"
       "READER.EXE",
       "path", 80, 9, "C:\\Reader"},
      {RegistryPlace::kLocalMachine32, key, "Path", 10, 9, "C:\\Reader"},  // just fits
      {RegistryPlace::kLocalMachine32, key, "Path", 9, -1, ""},            // no room for NUL
      {RegistryPlace::kLocalMachine64, key, "Path", 80, -1, ""},
      {RegistryPlace::kCurrentUser, key, "Path", 80, -1, ""},
      {RegistryPlace::kCurrentUser, key, "", 80, 20, "C:\\Reader\\Reader.exe"},
      {RegistryPlace::kCurrentUser, "Software\\Empty", "Path", 1, 0, ""},
      {RegistryPlace::kCurrentUser, "Software\\Missing", "Path", 80, -1, ""},
  };
  for (const Case& c : cases) {
    char buffer[80];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(host_->ReadRegistryString(c.place, c.key, c.value, buffer, c.size), c.result)
        << c.key << " " << c.value << " size " << c.size;
    EXPECT_STREQ(buffer, c.text) << c.key << " " << c.value << " size " << c.size;
  }
  ASSERT_EQ(host_->RegistryQueries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(host_->RegistryQueries[i].Place, cases[i].place);
    EXPECT_EQ(host_->RegistryQueries[i].KeyPath, cases[i].key);
    EXPECT_EQ(host_->RegistryQueries[i].ValueName, cases[i].value);
  }
}

TEST_F(NativePlatformTest, RecordsStartedPrograms) {
  EXPECT_TRUE(host_->StartProgram("\"C:\\ZQ\\read.exe\" book.txt", "C:\\ZQ"));
  EXPECT_TRUE(host_->StartProgram("notepad.exe", ""));
  ASSERT_EQ(host_->Started.size(), 2u);
  EXPECT_EQ(host_->Started[0].CommandLine, "\"C:\\ZQ\\read.exe\" book.txt");
  EXPECT_EQ(host_->Started[0].Folder, "C:\\ZQ");
  EXPECT_EQ(host_->Started[1].CommandLine, "notepad.exe");
}

}  // namespace
}  // namespace ebook::test
