// Whole setup runs on the native host, from a packaged file to the files,
// messages, dialogs and program starts that the user would see.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/extract.h"
#include "core/zip_cipher.h"
#include "engine_rig.h"

namespace ebook::test {
namespace {

const char kSizeMessage[] = "Error: Error in the archive size. Please repeat the download.";
const char kNoHeaderMessage[] = "Error: Can't read archive header";
const char kWrongPasswordMessage[] =
    "Error: The installation stopped, because the password is wrong.";
const char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Viewer.exe";

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
// The messages of a walk that cannot go on at, or after, the entry `name`.
std::string DamagedAt(const std::string& name) {
  return "Error: Damaged or unsupported archive at:\n" + name +
         "\nPlease repeat the download, or ask the publisher.";
}
std::string DamagedAfter(const std::string& name) {
  return "Error: Damaged or unsupported archive after:\n" + name +
         "\nPlease repeat the download, or ask the publisher.";
}
std::string Book(const std::string& relative) { return std::string(kBookFolder) + "\\" + relative; }
std::string BookHost(const std::string& relative) { return kBookHost + relative; }

// An install driven by a command line, as the stub hands it over.
struct CommandLineRun {
  explicit CommandLineRun(Rig& rig, const std::string& arguments)
      : line("setup.exe " + arguments + '\0') {
    parsed = ParseCommandLine(line.data(), rig.Session().Options);
    rig.Host().Quiet = rig.Session().Options.Silent;
  }
  std::string line;  // the options point into it
  bool parsed = false;
};

// A tree with a text, an empty file, a CR LF file and, two folders down, a
// binary file of several 32 KiB chunks.
const std::vector<std::string> kTree = {"empty.txt", "readme.txt", "sub/deep/book.bin",
                                        "sub/notes.txt"};
void WriteTree(Rig& rig) {
  Rng rng(7);
  rig.Source("readme.txt", TextLike(rng, 3000));
  rig.Source("empty.txt", {});
  rig.Source("sub/notes.txt", Text("first\r\nsecond\r\n"));
  rig.Source("sub/deep/book.bin", BinaryMix(rng, 150000));
}

const char kPythonTree[] =
    "python3 -c \"import os,sys,zipfile\n"
    "z=zipfile.ZipFile(sys.argv[1],'w',int(sys.argv[2]))\n"
    "for d,_,fs in sorted(os.walk('.')):\n"
    "  for f in sorted(fs): z.write(os.path.join(d,f))\n"
    "z.close()\" {zip} ";

TEST(EngineInstall, ArchivesFromRealToolsInstallByteForByte) {
  const std::string python = kPythonTree;
  const struct {
    const char* label;
    std::string command;
  } cases[] = {
      {"zip stored", "zip -q -r -0 {zip} ."},
      {"zip deflated", "zip -q -r -9 {zip} ."},
      {"zip without folder entries", "zip -q -r -D {zip} ."},
      {"7z deflate", "7z a -tzip -mm=Deflate {zip} ."},
      {"7z copy", "7z a -tzip -mm=Copy {zip} ."},
      {"python deflated", python + "8"},
      {"python stored", python + "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    WriteTree(rig);
    const Bytes zip = rig.Tool(c.command);
    rig.Run(zip);

    std::vector<std::string> expected;
    for (const std::string& file : kTree) {
      std::string windows = file;
      for (char& ch : windows) ch = ch == '/' ? '\\' : ch;
      EXPECT_TRUE(SameBytes(rig.Installed(Book(windows)), rig.SourceBytes(file))) << file;
      expected.push_back(BookHost(file));
    }
    EXPECT_EQ(rig.Files(), expected);
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    // One list item per record, all of them verified.
    EXPECT_EQ(rig.Host().List.size(), Get16(zip, zip.size() - 12));
    EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
    EXPECT_TRUE(rig.Host().Started.empty());
    EXPECT_EQ(rig.Host().Controls[kStatusLine].rfind("Extracting: " + Book(""), 0), 0u);
  }
}

TEST(EngineLicence, FirstLicenceEntryIsShownFromItsSubfolder) {
  Rig rig;
  rig.Source("a.txt", Text("plain"));
  rig.Source("docs/!!LICENCE.txt", Text("Licence text\r\nline two\r\n"));
  rig.Source("!!licence2.txt", Text("Second licence"));
  rig.Package(rig.Tool("zip -q -0 {zip} a.txt 'docs/!!LICENCE.txt' '!!licence2.txt'"));
  rig.Open();

  EXPECT_EQ(rig.Host().Controls[kLicenceBox], "Licence text\r\nline two\r\n");
  // In a folder of the setup's own, made new in the temporary folder, under
  // the entry's bare name.
  const std::string own = rig.Session().OwnTempFolder;
  EXPECT_EQ(own.rfind("C:\\Temp\\ebook-setup-", 0), 0u) << own;
  EXPECT_EQ(rig.Host().Controls[kStatusLine], "Extracting: " + own + "!!LICENCE.txt");
  EXPECT_EQ(rig.Files(), std::vector<std::string>{rig.HostRelative(own + "!!LICENCE.txt")});
  ASSERT_EQ(rig.Host().List.size(), 3u);
  EXPECT_EQ(rig.Host().ListSelectedCount(), 3) << "every entry starts pending";
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{});

  rig.Install();
  EXPECT_TRUE(
      SameBytes(rig.Installed(Book("docs\\!!LICENCE.txt")), rig.SourceBytes("docs/!!LICENCE.txt")));
  EXPECT_TRUE(SameBytes(rig.Installed(Book("!!licence2.txt")), rig.SourceBytes("!!licence2.txt")));
  EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
}

// Each row: the licence text, Viewer.exe's App Paths "Path" (HKLM, 64-bit
// view) and a folder that exists, then what the dialog shows afterwards.
TEST(EngineLicence, DirectivesOfTheFirstLine) {
  const std::string notice = kPathAutodetectedNotice;
  const std::string longText = "Head\n" + std::string(20000, 'x') + "TAIL";
  const struct {
    const char* label;
    std::string licence;
    const char* registered;
    const char* folder;
    std::string box, run, edit, label100, note;
    std::vector<std::string> messages;
  } cases[] = {
      {"capital",
       "Licence: read me.\r\nmore\r\n",
       nullptr,
       nullptr,
       "Licence: read me.\r\nmore\r\n",
       "",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"digit",
       "1. Terms\nmore",
       nullptr,
       nullptr,
       "1. Terms\nmore",
       "",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"a with CR LF",
       "a notepad.exe read me.txt\r\nBody\r\n",
       nullptr,
       nullptr,
       "Body\r\n",
       "notepad.exe read me.txt",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"e with bare LF",
       "e notepad.exe readme.txt\nBody",
       nullptr,
       nullptr,
       "Body",
       "notepad.exe readme.tx",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"d",
       "d \r\nShown from here",
       nullptr,
       nullptr,
       "Shown from here",
       "",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"e without line feed",
       "e run.exe",
       nullptr,
       nullptr,
       "",
       "run.ex",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"p, Path with backslash",
       "p Viewer.exe\r\nUpdate",
       "C:\\Apps\\Viewer\\",
       "C:\\Apps\\Viewer",
       "Update",
       "",
       "C:\\Apps\\Viewer\\",
       "",
       notice,
       {}},
      {"p, Path without backslash",
       "p Viewer.exe\r\nUpdate",
       "C:\\Apps\\Viewer",
       "C:\\Apps\\Viewer",
       "Update",
       "",
       "C:\\Apps\\",
       "",
       notice,
       {}},
      {"r, registered",
       "r Viewer.exe\r\nFull",
       "C:\\Apps\\Viewer\\",
       "C:\\Apps\\Viewer",
       "Full",
       "",
       "C:\\Apps\\Viewer\\",
       "&Install path:",
       notice,
       {}},
      {"r, not registered",
       "r Viewer.exe\r\nFull",
       nullptr,
       nullptr,
       "Full",
       "",
       "c:\\zq",
       "&Install path:",
       ".",
       {"Error: You need to install the trial first! Please exit."}},
      {"p, folder gone",
       "p Viewer.exe\r\nUpdate",
       "C:\\Apps\\Gone\\",
       nullptr,
       "Update",
       "",
       "c:\\zq",
       "",
       ".",
       {"Error: File to replace not found!"}},
      {"over 20,000 bytes",
       longText,
       nullptr,
       nullptr,
       longText.substr(0, 20000),
       "",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"NUL in the text",
       std::string("Body\0hidden", 11),
       nullptr,
       nullptr,
       "Body",
       "",
       "c:\\zq",
       "&Install path:",
       ".",
       {}},
      {"empty", "", nullptr, nullptr, "", "", "c:\\zq", "&Install path:", ".", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    if (c.registered != nullptr) {
      rig.Host().Registry[{RegistryPlace::kLocalMachine64, kAppPathsKey, "Path"}] = c.registered;
    }
    if (c.folder != nullptr) rig.PlaceFolder(c.folder);
    rig.Package(HandMade({{"!!licence.txt", Text(c.licence)}, {"readme.txt", Text("r")}}));
    rig.Open();
    auto& controls = rig.Host().Controls;
    EXPECT_EQ(controls[kLicenceBox], c.box);
    EXPECT_EQ(std::string(rig.Session().RunCommand), c.run);
    EXPECT_EQ(controls[kInstallPathEdit], c.edit);
    EXPECT_EQ(controls[kInstallPathLabel], c.label100);
    EXPECT_EQ(controls[kNoticeLine], c.note);
    EXPECT_EQ(rig.Session().PathAutodetected, c.note == notice);
    EXPECT_EQ(rig.Messages(), c.messages);

    // Install into the folder the field shows; a directive's command starts
    // there, its bare program name found in the system folder (notepad.exe)
    // or nowhere (run.ex), and then nothing starts.
    rig.Place("C:\\Windows\\System32\\notepad.exe", Text("MZ"));
    rig.Install(nullptr);
    const bool found = c.run.rfind("notepad.exe", 0) == 0;
    ASSERT_EQ(rig.Host().Started.size(), found ? 1u : 0u);
    if (found) {
      EXPECT_EQ(rig.Host().Started[0].CommandLine,
                "\"C:\\Windows\\System32\\notepad.exe\"" + c.run.substr(11));
      // The folder in full, as the system names it.
      std::string folder = c.edit;
      folder[0] = static_cast<char>(std::toupper(folder[0]));
      if (folder.back() == '\\') folder.pop_back();
      EXPECT_EQ(rig.Host().Started[0].Folder, folder);
    }
    EXPECT_TRUE(rig.Exists(c.edit + (c.edit.back() == '\\' ? "" : "\\") + "readme.txt"));
  }
}

// Where Viewer.exe is registered decides which folder is found: the user's
// own registration first, then the machine's 64-bit and 32-bit views.
TEST(EngineLicence, AppPathsAreLookedUpUserFirstThenBothMachineViews) {
  using P = RegistryPlace;
  const struct {
    const char* label;
    std::vector<std::pair<P, const char*>> registered;
    const char* found;
    std::vector<P> queried;
  } cases[] = {
      {"user only", {{P::kCurrentUser, "C:\\User\\"}}, "C:\\User\\", {P::kCurrentUser}},
      {"user before machine",
       {{P::kCurrentUser, "C:\\User\\"}, {P::kLocalMachine64, "C:\\M64\\"}},
       "C:\\User\\",
       {P::kCurrentUser}},
      {"64-bit view",
       {{P::kLocalMachine64, "C:\\M64\\"}},
       "C:\\M64\\",
       {P::kCurrentUser, P::kLocalMachine64}},
      {"64-bit before 32-bit",
       {{P::kLocalMachine64, "C:\\M64\\"}, {P::kLocalMachine32, "C:\\M32\\"}},
       "C:\\M64\\",
       {P::kCurrentUser, P::kLocalMachine64}},
      {"32-bit view",
       {{P::kLocalMachine32, "C:\\M32\\"}},
       "C:\\M32\\",
       {P::kCurrentUser, P::kLocalMachine64, P::kLocalMachine32}},
      {"nowhere", {}, nullptr, {P::kCurrentUser, P::kLocalMachine64, P::kLocalMachine32}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    for (const auto& [place, path] : c.registered) {
      rig.Host().Registry[{place, kAppPathsKey, "Path"}] = path;
      rig.PlaceFolder(path);
    }
    rig.Package(HandMade({{"!!licence.txt", Text("r Viewer.exe\r\n")}}));
    rig.Open();
    EXPECT_EQ(rig.Session().PathAutodetected, c.found != nullptr);
    EXPECT_EQ(rig.Host().Controls[kInstallPathEdit], c.found ? c.found : "c:\\zq");
    std::vector<P> queried;
    for (const auto& q : rig.Host().RegistryQueries) {
      queried.push_back(q.Place);
      EXPECT_EQ(q.KeyPath, kAppPathsKey);
      EXPECT_EQ(q.ValueName, "Path");
    }
    EXPECT_EQ(queried, c.queried);
  }
}

TEST(EngineLicence, UpdateModeWritesFlatAndReplacesWithoutAsking) {
  Rig rig;
  rig.Host().Registry[{RegistryPlace::kLocalMachine64, kAppPathsKey, "Path"}] =
      "C:\\Apps\\Viewer\\";
  rig.Place("C:\\Apps\\Viewer\\readme.txt", Text("the old readme, longer than the new ones"));
  rig.Source("!!licence.txt", Text("p Viewer.exe\r\nUpdate\r\n"));
  rig.Source("a/readme.txt", Text("first"));
  rig.Source("b/readme.txt", Text("second"));
  rig.Package(rig.Tool("zip -q -0 {zip} '!!licence.txt' a/readme.txt b/readme.txt"));
  rig.Open();
  rig.Install(nullptr);

  EXPECT_EQ(rig.Installed("C:\\Apps\\Viewer\\readme.txt"), Text("second"));
  EXPECT_EQ(rig.Files(),
            (std::vector<std::string>{
                "C/Apps/Viewer/!!licence.txt", "C/Apps/Viewer/readme.txt",
                rig.HostRelative(std::string(rig.Session().OwnTempFolder) + "!!licence.txt")}));
  EXPECT_FALSE(rig.Exists("C:\\Apps\\Viewer\\a"));
  EXPECT_TRUE(rig.Host().OverwriteAsked.empty());
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
  EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
}

TEST(EngineOverwrite, AnswersDecideWhichExistingFilesAreReplaced) {
  const OverwriteReply yes{true, false}, no{false, false};
  const OverwriteReply yesAlways{true, true}, noAlways{false, true};
  const std::vector<std::string> all = {"one.txt", "two.txt", "three.txt"};
  const struct {
    const char* label;
    std::vector<OverwriteReply> replies;
    size_t asked;
    const char* replaced;  // per existing file: n replaced, o kept
  } cases[] = {
      {"yes each time", {yes, yes, yes}, 3, "nnn"},
      {"no each time", {no, no, no}, 3, "ooo"},
      {"yes, don't ask again", {yesAlways}, 1, "nnn"},
      {"no, don't ask again", {noAlways}, 1, "ooo"},
      {"no, then yes for all", {no, yesAlways}, 2, "onn"},
      {"yes, then no for all", {yes, noAlways}, 2, "noo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    for (const std::string& name : all) {
      rig.Source(name, Text("new " + name));
      rig.Place(Book(name), Text("old contents of " + name + ", longer than the new ones"));
    }
    rig.Source("fresh.txt", Text("not there before"));
    rig.Host().OverwriteReplies.assign(c.replies.begin(), c.replies.end());
    rig.Run(rig.Tool("zip -q -0 {zip} one.txt fresh.txt two.txt three.txt"));

    EXPECT_EQ(rig.Host().OverwriteAsked,
              std::vector<std::string>(all.begin(), all.begin() + c.asked));
    for (size_t i = 0; i < all.size(); ++i) {
      const bool replaced = c.replaced[i] == 'n';
      EXPECT_EQ(rig.Installed(Book(all[i])) == rig.SourceBytes(all[i]), replaced) << all[i];
    }
    EXPECT_EQ(rig.Installed(Book("fresh.txt")), Text("not there before"));
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{}) << "kept files are no CRC error";
    EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
  }
}

TEST(EngineRunCommand, FirstQuonProgramStartsQuotedInTheInstallFolder) {
  const std::string quoted = std::string("\"") + kBookFolder;
  const struct {
    const char* label;
    std::vector<Record> records;
    std::string command;  // empty: nothing started
  } cases[] = {
      {"only the first",
       {{"quonview.exe", Text("MZ")}, {"quonplay.exe", Text("MZ")}},
       quoted + "\\quonview.exe\" /INIT"},
      {"sixth character r", {{"quonxr.exe", Text("MZ")}}, ""},
      {"not ending in .exe", {{"quonview.exe.txt", Text("t")}}, ""},
      {"capitals",
       {{"QUONVIEW.EXE", Text("MZ")}, {"quonplay.exe", Text("MZ")}},
       quoted + "\\QUONVIEW.EXE\" /INIT"},
      {"after a name the rule passes over, in a subfolder",
       {{"quonxr.exe", Text("MZ")}, {"bin/quonplay.exe", Text("MZ")}},
       quoted + "\\bin\\quonplay.exe\" /INIT"},
      {"a licence command wins, its program found in the install folder",
       {{"!!licence.txt", Text("a other.exe /x\r\n")},
        {"other.exe", Text("MZ")},
        {"quonview.exe", Text("MZ")}},
       quoted + "\\other.exe\" /x"},
      {"a licence command whose program is nowhere starts nothing",
       {{"!!licence.txt", Text("a planted.exe /x\r\n")}, {"quonview.exe", Text("MZ")}},
       ""},
      {"no program", {{"readme.txt", Text("r")}}, ""},
  };
  // The folder may be typed with a trailing backslash: the command is the same.
  const std::string typedFolders[] = {kBookFolder, std::string(kBookFolder) + "\\"};
  for (const std::string& folder : typedFolders) {
    for (const auto& c : cases) {
      SCOPED_TRACE(folder + ": " + c.label);
      Rig rig;
      rig.Run(HandMade(c.records), folder.c_str());
      ASSERT_EQ(rig.Host().Started.size(), c.command.empty() ? 0u : 1u);
      if (!c.command.empty()) {
        EXPECT_EQ(rig.Host().Started[0].CommandLine, c.command);
        EXPECT_EQ(rig.Host().Started[0].Folder, kBookFolder);
      }
      EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    }
  }
}

// A byte flipped inside one entry's data: the sound entries are written,
// the damaged one never reaches its name (a file already there stays as it
// was), and one "CRC error" naming it closes the pass.
TEST(EngineFailures, DamagedEntryIsReportedOnceAtTheEnd) {
  for (const char* command :
       {"zip -q -0 {zip} one.txt two.txt three.txt", "zip -q -9 {zip} one.txt two.txt three.txt"}) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(std::string(command) + (existing ? ", over a good two.txt" : ", fresh"));
      Rig rig;
      Rng rng(11);
      for (const char* name : {"one.txt", "two.txt", "three.txt"})
        rig.Source(name, TextLike(rng, 5000));
      if (existing) rig.Place(Book("two.txt"), Text("the good two.txt of the last install"));
      rig.Host().OverwriteReplies = {{true, true}};
      const Bytes zip = rig.Tool(command);
      rig.Package(zip);
      const size_t header = HeaderOffsetOf(zip, "two.txt");
      ASSERT_NE(header, SIZE_MAX);
      const size_t data = header + 30 + Get16(zip, header + 26) + Get16(zip, header + 28);
      rig.Packaged()[kFakeStubLength + 8 + data + Get32(zip, header + 18) / 2] ^= 0x20;
      rig.Open();
      rig.Install();

      EXPECT_EQ(rig.Messages(), std::vector<std::string>{"Error: CRC error\ntwo.txt"});
      const auto& log = rig.Host().DialogLog;
      EXPECT_EQ(log.empty() ? "" : log.back(), "message:CRC error\ntwo.txt");
      EXPECT_EQ(rig.Host().Controls[kStatusLine], "CRC error");
      EXPECT_TRUE(SameBytes(rig.Installed(Book("one.txt")), rig.SourceBytes("one.txt")));
      EXPECT_TRUE(SameBytes(rig.Installed(Book("three.txt")), rig.SourceBytes("three.txt")));
      std::vector<std::string> files = {BookHost("one.txt"), BookHost("three.txt")};
      if (existing) {
        files.push_back(BookHost("two.txt"));
        EXPECT_EQ(rig.Installed(Book("two.txt")), Text("the good two.txt of the last install"));
      }
      EXPECT_EQ(rig.Files(), files) << "no damaged or partial file is left";
      EXPECT_EQ(rig.Host().ListSelectedCount(), 1);
    }
  }
}

// The CRC error names the damaged entries in archive order, ten at most,
// and counts the rest. The archive's order is not the names' order, so a
// mark that lost its entry would name a sound file.
TEST(EngineFailures, CrcErrorNamesTenDamagedEntriesThenCountsTheRest) {
  const struct {
    int damaged;  // of the first entries
    std::string message;
  } cases[] = {
      {1, "Error: CRC error\nz13.txt"},
      {2, "Error: CRC error\nz13.txt\ny12.txt"},
      {10,
       "Error: CRC error\nz13.txt\ny12.txt\nx11.txt\nw10.txt\nv09.txt\nu08.txt\nt07.txt\n"
       "s06.txt\nr05.txt\nq04.txt"},
      {11,
       "Error: CRC error\nz13.txt\ny12.txt\nx11.txt\nw10.txt\nv09.txt\nu08.txt\nt07.txt\n"
       "s06.txt\nr05.txt\nq04.txt\nand 1 more"},
      {13,
       "Error: CRC error\nz13.txt\ny12.txt\nx11.txt\nw10.txt\nv09.txt\nu08.txt\nt07.txt\n"
       "s06.txt\nr05.txt\nq04.txt\nand 3 more"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damaged);
    std::vector<Record> records;
    for (int i = 13; i >= 1; --i) {
      char name[16];
      std::snprintf(name, sizeof name, "%c%02d.txt", 'z' - (13 - i), i);
      records.emplace_back(name, Text(std::string("contents of ") + name));
    }
    Bytes zip = HandMade(records);
    for (int i = 0; i < c.damaged; ++i) {
      const size_t header = HeaderOffsetOf(zip, records[size_t(i)].Name);
      ASSERT_NE(header, SIZE_MAX);
      zip[header + 30 + records[size_t(i)].Name.size()] ^= 0x01;
    }
    Rig rig;
    rig.Run(zip);
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{c.message});
    EXPECT_EQ(rig.Host().Controls[kStatusLine], "CRC error");
    EXPECT_EQ(rig.Files().size(), size_t(13 - c.damaged));
  }
}

TEST(EngineFailures, EntriesThatCannotBeWritten) {
  const struct {
    const char* label;
    std::vector<Record> records;
    const char* existingFolder;  // in the install folder, before the run
    const char* existingFile;
    std::vector<std::string> messages;
    std::vector<std::string> written;  // under the install folder
    const char* firstContent;
  } cases[] = {
      {"method 6 ends the pass, naming the entry, before any file is made",
       {{"one.txt", Text("imploded"), 6}, {"two.txt", Text("two")}},
       nullptr,
       nullptr,
       {"Error: Unsupported compression method\none.txt\n(method 6)"},
       {},
       ""},
      {"a folder where the file goes: refused by the move, with the system's reason",
       {{"one.txt", Text("one")}, {"two.txt", Text("two")}, {"three.txt", Text("three")}},
       "two.txt",
       nullptr,
       {"Error: This file could not be put in its place:\n" + Book("two.txt") + "\nIs a directory"},
       {"one.txt", "three.txt"},
       "one"},
      {"a read-only file in the way stays as it was",
       {{"one.txt", Text("one")}, {"two.txt", Text("two")}, {"three.txt", Text("three")}},
       nullptr,
       "two.txt!",
       {"Error: This file could not be put in its place:\n" + Book("two.txt") +
        "\nPermission denied"},
       {"one.txt", "three.txt", "two.txt"},
       "one"},
      {"the file cannot be created: its reason, and no CRC error",
       {{"one.txt", Text("one")}, {"sub/two.txt", Text("two")}, {"three.txt", Text("three")}},
       "sub/two.txt.~part",
       "sub/two.txt",
       {"Couldn't open...: " + Book("sub\\two.txt") + "\nIs a directory"},
       {"one.txt", "sub/two.txt", "three.txt"},
       "one"},
      {"data cut short by the end of the file: nothing of it is left",
       {{"one.txt", Text("one")}, Record("two.txt", Text("two")).WithCompressedSize(1000)},
       nullptr,
       nullptr,
       {DamagedAfter("two.txt"), "Error: CRC error\ntwo.txt"},
       {"one.txt"},
       "one"},
      {"a file where a folder goes: said once for its entries, and the walk goes on",
       {{"one.txt", Text("one")},
        {"sub/deep/", {}},
        {"sub/deep/x.txt", Text("x")},
        {"sub/deep/y.txt", Text("y")},
        {"other/z.txt", Text("z")},
        {"three.txt", Text("three")}},
       nullptr,
       "sub",
       {"Error: The folder could not be made:\n" + Book("sub\\deep") + "\nNot a directory"},
       {"one.txt", "other/z.txt", "sub", "three.txt"},
       "one"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    if (c.existingFolder != nullptr) rig.PlaceFolder(Book(c.existingFolder));
    // A name ending in "!" is placed read-only.
    std::string existing = c.existingFile != nullptr ? c.existingFile : "";
    const bool readOnly = !existing.empty() && existing.back() == '!';
    if (readOnly) existing.pop_back();
    if (!existing.empty()) rig.Place(Book(existing), Text("in the way"));
    if (readOnly)
      fs::permissions(rig.HostPath(Book(existing)), fs::perms::owner_write,
                      fs::perm_options::remove);
    // Replace whatever is there, so that only the failure keeps a file out.
    rig.Host().OverwriteReplies = {{true, true}};
    rig.Run(HandMade(c.records));
    EXPECT_EQ(rig.Messages(), c.messages);
    std::vector<std::string> written;
    for (const std::string& file : c.written) written.push_back(BookHost(file));
    EXPECT_EQ(rig.Files(), written);
    EXPECT_EQ(rig.Installed(Book("one.txt")), Text(c.firstContent));
    if (!existing.empty()) {
      EXPECT_EQ(rig.Installed(Book(existing)), Text("in the way")) << "the file in the way stays";
    }
  }
}

TEST(EngineFailures, DamagedPackagesAreRefusedInBothPasses) {
  const struct {
    const char* label;
    int change;  // bytes added to (or cut from) the packaged file
    bool bareStub, emptyZip;
    const char* message;
  } cases[] = {
      {"one byte longer", 1, false, false, kSizeMessage},
      {"one byte shorter", -1, false, false, kSizeMessage},
      {"bare stub", 0, true, false, kSizeMessage},
      {"empty archive", 0, false, true, kNoHeaderMessage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Source("one.txt", Text("one"));
    rig.Package(c.emptyZip ? rig.Tool("python3 -c \"import sys,zipfile; zipfile.ZipFile("
                                      "sys.argv[1],'w').close()\" {zip}")
                           : rig.Tool("zip -q -0 {zip} one.txt"));
    Bytes& packaged = rig.Packaged();
    if (c.bareStub) packaged.resize(kFakeStubLength);
    if (c.change > 0) packaged.push_back(0);
    if (c.change < 0) packaged.pop_back();
    rig.Open();
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{c.message});
    EXPECT_TRUE(rig.Host().List.empty());
    rig.Install();
    // The install pass checks the size again; an archive without entries
    // has nothing more to say.
    std::vector<std::string> expected{c.message};
    if (std::string(c.message) == kSizeMessage) expected.push_back(c.message);
    EXPECT_EQ(rig.Messages(), expected);
    EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  }
}

// Records no tool writes on request; each row installs completely and
// silently.
TEST(EngineWalk, UnusualRecordsInstallCompletely) {
  Rng rng(3);
  const Bytes big = BinaryMix(rng, 70000);
  Bytes extra = {0x99, 0x99, 36, 0};
  for (uint8_t b : Text("PK\x03\x04 looks like a header........")) extra.push_back(b);
  const std::string name257 = std::string(120, 'a') + "/" + std::string(132, 'b') + ".txt";
  const struct {
    const char* label;
    std::vector<Record> records;
  } cases[] = {
      {"extra field with a signature in it",
       {Record("one.txt", Text("one")).WithExtra(extra),
        Record("two.txt", big, 8).WithExtra(extra)}},
      {"00 00 00 50 signature",
       {{"one.txt", Text("one")},
        Record("two.txt", big, 8).WithSignature(0x50000000u),
        {"three.txt", Text("3")}}},
      {"NUL in a name",
       {{std::string("good.txt\0junk", 13), Text("good")}, {"two.txt", Text("2")}}},
      {"folder entries", {{"docs/", {}}, {"docs/a.txt", Text("a")}, {"empty/", {}}}},
      {"empty files", {{"zero.txt", {}}, {"zero8.txt", {}, 8}, {"two.txt", Text("2")}}},
      {"name of 257 bytes", {{name257, Text("long")}, {"two.txt", Text("2")}}},
      {"descriptor of 12 bytes after real sizes",
       {Record("one.txt", big).WithFlags(8).WithDescriptor(12),
        Record("two.txt", Text("two"), 8).WithFlags(8).WithDescriptor(12),
        {"three.txt", Text("three")}}},
      {"descriptor of 16 bytes after real sizes",
       {Record("one.txt", big, 8).WithFlags(8).WithDescriptor(16),
        Record("two.txt", Text("two")).WithFlags(8).WithDescriptor(16),
        {"three.txt", Text("three")}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Run(HandMade(c.records));
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    EXPECT_EQ(rig.Host().List.size(), c.records.size());
    EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
    std::vector<std::string> expected;
    for (const Record& r : c.records) {
      std::string name = r.Name.substr(0, r.Name.find('\0'));
      std::string windows = name;
      for (char& ch : windows) ch = ch == '/' ? '\\' : ch;
      if (name.back() == '/') {
        EXPECT_TRUE(fs::is_directory(rig.HostPath(Book(windows)))) << name;
        continue;
      }
      EXPECT_TRUE(SameBytes(rig.Installed(Book(windows)), r.Data)) << name;
      expected.push_back(BookHost(name));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rig.Files(), expected);
  }
}

TEST(EngineWalk, DescriptorsFromZipEncryptInstallEveryEntry) {
  Rig rig;
  Rng rng(5);
  rig.Source("one.txt", TextLike(rng, 4000));
  rig.Source("two.bin", BinaryMix(rng, 40000));
  rig.Source("three.txt", Text("three"));
  const Bytes zip = rig.Tool("zip -q -e -P pw {zip} one.txt two.bin three.txt");
  ASSERT_EQ(Get16(zip, 6) & 9, 9) << "encrypted, with a descriptor after the data";
  rig.Host().PasswordReplies = {"pw"};
  rig.Run(zip);
  for (const char* name : {"one.txt", "two.bin", "three.txt"}) {
    EXPECT_TRUE(SameBytes(rig.Installed(Book(name)), rig.SourceBytes(name))) << name;
  }
  EXPECT_EQ(rig.Host().DialogLog, std::vector<std::string>{"password"});
  EXPECT_EQ(rig.Session().Outcome, kOutcomeInstalled);
  EXPECT_EQ(rig.Host().List.size(), 3u);
  EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
}

// Names that would leave the install folder, or that do not fit, are never
// written; the rest of the archive installs.
TEST(EngineNames, UnsafeAndOverlongNamesAreRefusedOneByOne) {
  const std::string name258 = std::string(120, 'a') + "/" + std::string(133, 'b') + ".txt";
  const std::string name300 = std::string(120, 'a') + "/" + std::string(175, 'b') + ".txt";
  const struct {
    std::string name;
    bool tooLong;
  } cases[] = {
      {"../evil.txt", false},
      {"C:\\evil.txt", false},
      {"C:evil.txt", false},
      {"/abs.txt", false},
      {"\\abs.txt", false},
      {"\\\\server\\share\\x.txt", false},
      {"a/../../b.txt", false},
      {"sub\\..\\..\\c.txt", false},
      {"a/../inside.txt", false},
      {"stream.txt:hidden", false},
      {"..", false},
      {".. /evil.txt", false},
      {"sub/. ./. ./x.txt", false},
      {name258, true},
      {name300, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Run(HandMade({{"ok1.txt", Text("1")}, {c.name, Text("evil")}, {"ok2.txt", Text("2")}}));
    const std::vector<std::string> shown = rig.Messages();
    EXPECT_EQ(shown.size(), 1u);
    const std::string first = shown.empty() ? "" : shown[0];
    EXPECT_EQ(first.rfind("Error: ", 0), 0u);
    EXPECT_NE(first.find(c.name.substr(0, 257)), std::string::npos);
    EXPECT_EQ(first.find(c.name.substr(0, 258)) != std::string::npos, !c.tooLong)
        << "the message shows at most the name's first 257 bytes";
    EXPECT_EQ(first.find("too long") != std::string::npos, c.tooLong);
    EXPECT_EQ(rig.Files(), (std::vector<std::string>{BookHost("ok1.txt"), BookHost("ok2.txt")}));
    EXPECT_EQ(rig.Host().ListSelectedCount(), 0) << "no CRC error for the refused entry";
  }
}

TEST(EngineNames, UnsafeOrOverlongLicenceNamesAreNotWrittenToTheTempFolder) {
  // Cut to 257 bytes, this name still ends in a licence file name.
  const std::string overlong =
      "docs/" + std::string(200, 'd') + "/!!licence" + std::string(100, 'x') + ".txt";
  const struct {
    std::string name;
    bool tooLong;
  } cases[] = {
      {"../!!licence.txt", false},
      {"docs/../../!!licence.txt", false},
      {"C:\\!!licence.txt", false},
      {"\\!!licence.txt", false},
      {overlong, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Package(HandMade({{c.name, Text("a evil.exe\r\nText")}}));
    rig.Open();
    const std::vector<std::string> shown = rig.Messages();
    EXPECT_EQ(shown.size(), 1u);
    const std::string first = shown.empty() ? "" : shown[0];
    EXPECT_EQ(first.rfind("Error: ", 0), 0u);
    EXPECT_NE(first.find(c.name.substr(0, 257)), std::string::npos);
    EXPECT_EQ(first.find("too long") != std::string::npos, c.tooLong);
    EXPECT_EQ(rig.Host().Controls[kLicenceBox], "");
    EXPECT_EQ(std::string(rig.Session().RunCommand), "");
    EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  }
}

// A refused licence does not stand in the way of a later one; an encrypted
// one cannot be read in the listing pass (no password step), so it is not
// taken for the licence and its bytes are never read as a directive.
TEST(EngineNames, OnlyALicenceThatCanBeShownIsHandled) {
  {
    Rig rig;
    rig.Package(HandMade({{"../!!licence.txt", Text("a evil.exe\r\nBad")},
                          {"docs/!!licence.txt", Text("Good text")}}));
    rig.Open();
    EXPECT_EQ(rig.Messages().size(), 1u);
    EXPECT_EQ(rig.Host().Controls[kLicenceBox], "Good text");
    EXPECT_EQ(std::string(rig.Session().RunCommand), "");
  }
  {
    Rig rig;
    rig.Package(HandMade({Record("!!licence.txt", Text("a evil.exe\r\nText")).WithFlags(1)}));
    rig.Open();
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    EXPECT_EQ(rig.Host().Controls[kLicenceBox], "");
    EXPECT_EQ(std::string(rig.Session().RunCommand), "");
    EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  }
}

TEST(EngineWalk, EmptyNameStopsThePass) {
  Rig rig;
  rig.Run(HandMade(
      {{"one.txt", Text("1")}, {std::string("\0x", 2), Text("?")}, {"three.txt", Text("3")}}));
  EXPECT_EQ(rig.Messages(),
            (std::vector<std::string>{"Error: Error retreiving filename from archive.",
                                      "Error: Error retreiving filename from archive."}));
  EXPECT_EQ(rig.Files(), std::vector<std::string>{BookHost("one.txt")});
}

// Sizes that only follow the data cannot be walked: the setup says so
// instead of writing empty files.
TEST(EngineWalk, StreamedArchivesAreRefusedWithAMessage) {
  auto streamed = [](const char* name, const char* data, uint16_t method) {
    return Record(name, Text(data), method).WithFlags(8).WithZeroSizes().WithDescriptor(16);
  };
  const struct {
    const char* label;
    std::string command;  // empty: the records
    std::vector<Record> records;
  } cases[] = {
      {"zip to a pipe", "zip -q - one.txt two.txt | cat > {zip}", {}},
      {"python to a pipe",
       "python3 -c \"import sys,zipfile\n"
       "z=zipfile.ZipFile(sys.stdout.buffer,'w',zipfile.ZIP_DEFLATED)\n"
       "z.write('one.txt'); z.write('two.txt'); z.close()\" | cat > {zip}",
       {}},
      {"python stored to a pipe",
       "python3 -c \"import sys,zipfile\n"
       "z=zipfile.ZipFile(sys.stdout.buffer,'w')\n"
       "z.write('one.txt'); z.write('two.txt'); z.close()\" | cat > {zip}",
       {}},
      {"hand-made", "", {streamed("one.txt", "one", 0), streamed("two.txt", "two", 8)}},
      // Java's ZipOutputStream streams folder entries too, deflated to two
      // bytes.
      {"a streamed folder entry first",
       "",
       {streamed("docs/", "", 8), streamed("docs/one.txt", "one", 8)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Source("one.txt", Text("one one one one"));
    rig.Source("two.txt", Text("two"));
    const Bytes zip = c.command.empty() ? HandMade(c.records) : rig.Tool(c.command);
    ASSERT_EQ(Get16(zip, 6) & 8, 8);
    ASSERT_EQ(Get32(zip, 18), 0u);
    rig.Run(zip);
    const std::vector<std::string> shown = rig.Messages();
    EXPECT_EQ(shown.size(), 1u);
    const std::string first = shown.empty() ? "" : shown[0];
    EXPECT_EQ(first.rfind("Error: ", 0), 0u);
    EXPECT_NE(first.find("cannot be installed"), std::string::npos);
    EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  }
}

// A size field that puts the next record back at or before its own header
// once added up in 32 bits: the walk ends instead of going round forever.
TEST(EngineWalk, SizesThatWrapAroundEndTheWalk) {
  const uint32_t first = kFakeStubLength + 8;
  const uint32_t second = first + 30 + 6 + 2;  // after ok.txt and its data
  const uint32_t wrapData = second + 30 + 8;   // after wrap.bin's header and name
  const struct {
    const char* label;
    uint32_t target;
  } cases[] = {{"back to the first header", first}, {"back to itself", second}};
  // A walk that goes round would never return: end the program instead.
  std::signal(SIGALRM, [](int) {
    const char text[] = "the walk over wrapping sizes did not end\n";
    (void)!write(2, text, sizeof text - 1);
    _exit(1);
  });
  alarm(60);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    const uint32_t size = static_cast<uint32_t>(uint64_t{1} << 32) - wrapData + c.target;
    rig.Run(HandMade({{"ok.txt", Text("ok")},
                      Record("wrap.bin", Text("data")).WithCompressedSize(size),
                      {"after.txt", Text("after")}}));
    EXPECT_EQ(rig.Host().List.size(), 2u);
    EXPECT_EQ(rig.Installed(Book("ok.txt")), Text("ok"));
    EXPECT_TRUE(rig.Host().OverwriteAsked.empty()) << "no entry was visited twice";
    EXPECT_FALSE(rig.Exists(Book("after.txt")));
  }
  alarm(0);
}

TEST(EnginePassword, EncryptedArchivesFromRealToolsNeedOnePassword) {
  for (const char* command :
       {"zip -q -e -P pw {zip} one.txt two.bin empty.txt",
        "zip -q -0 -e -P pw {zip} one.txt two.bin empty.txt",
        "7z a -tzip -mem=ZipCrypto -ppw {zip} one.txt two.bin empty.txt",
        "7z a -tzip -mm=Copy -mem=ZipCrypto -ppw {zip} one.txt two.bin empty.txt"}) {
    SCOPED_TRACE(command);
    Rig rig;
    Rng rng(9);
    rig.Source("one.txt", TextLike(rng, 2000));
    rig.Source("two.bin", BinaryMix(rng, 70000));
    rig.Source("empty.txt", {});
    const Bytes zip = rig.Tool(command);
    ASSERT_EQ(Get16(zip, 6) & 1, 1);
    rig.Host().PasswordReplies = {"pw"};
    rig.Run(zip);
    EXPECT_EQ(rig.Host().DialogLog, std::vector<std::string>{"password"});
    EXPECT_EQ(rig.Session().Outcome, kOutcomeInstalled);
    EXPECT_TRUE(SameBytes(rig.Installed(Book("one.txt")), rig.SourceBytes("one.txt")));
    EXPECT_TRUE(SameBytes(rig.Installed(Book("two.bin")), rig.SourceBytes("two.bin")));
    EXPECT_TRUE(rig.Exists(Book("empty.txt")));
    EXPECT_EQ(rig.Installed(Book("empty.txt")), Bytes{});
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
    EXPECT_EQ(std::string(rig.Session().Password), "pw");
  }
}

// A plain program first, then two encrypted entries: the answers typed
// decide whether they install; the program starts either way.
// The password check is one byte wide, so about one wrong password in 256
// passes it; `zip -e` writes random encryption headers. Wrong passwords for
// a test are therefore picked among those that fail every encrypted header
// of the archive, which keeps the test's outcome fixed.
std::string PasswordWrongForAll(const Bytes& zip, int skip) {
  auto u16 = [&](size_t p) { return static_cast<uint16_t>(zip[p] | zip[p + 1] << 8); };
  auto u32 = [&](size_t p) { return uint32_t{u16(p)} | uint32_t{u16(p + 2)} << 16; };
  for (int candidate = 0;; ++candidate) {
    const std::string password = "wrong" + std::to_string(candidate);
    bool failsAll = true;
    for (size_t p = 0; failsAll && p + 30 <= zip.size(); ++p) {
      if (u32(p) != 0x04034B50u || (u16(p + 6) & 1) == 0) continue;
      const size_t data = p + 30 + u16(p + 26) + u16(p + 28);
      if (data + 12 > zip.size()) continue;
      uint8_t work[24];
      std::copy(zip.begin() + static_cast<ptrdiff_t>(data),
                zip.begin() + static_cast<ptrdiff_t>(data + 12), work + 12);
      CipherKeys keys;
      failsAll =
          !TestEncryptionHeader(work, 12, u16(p + 6), u32(p + 14), u16(p + 10), password, keys);
    }
    if (failsAll && skip-- == 0) return password;
  }
}

TEST(EnginePassword, ThreeTriesThenTheInstallationStops) {
  const struct {
    std::vector<std::string> typed;
    size_t dialogs;
    bool installed;
  } cases[] = {
      {{"pw"}, 1, true},
      {{"nope", "pw"}, 2, true},
      {{"a", "b", "pw"}, 3, true},
      {{"a", "b", "c", "pw"}, 3, false},
      {{}, 3, false},  // nothing typed, each time
  };
  for (const auto& c : cases)
    for (const bool notice : {false, true}) {
      SCOPED_TRACE(testing::PrintToString(c.typed) + (notice ? " with the notice" : ""));
      Rig rig;
      if (notice) rig.Settings("say-wrong-password\n");
      rig.Source("quonview.exe", Text("MZ viewer"));
      rig.Source("secret1.txt", Text("first secret"));
      rig.Source("secret2.txt", Text("second secret"));
      const Bytes zip =
          rig.Tool("zip -q -0 {zip} quonview.exe && zip -q -e -P pw {zip} secret1.txt secret2.txt");
      // Every typed password but "pw" is wrong: make it surely wrong.
      int wrong = 0;
      for (const std::string& typed : c.typed) {
        rig.Host().PasswordReplies.push_back(typed == "pw" ? typed
                                                           : PasswordWrongForAll(zip, wrong++));
      }
      rig.Run(zip);

      const auto& log = rig.Host().DialogLog;
      EXPECT_EQ(static_cast<size_t>(std::count(log.begin(), log.end(), "password")), c.dialogs);
      // The dialog simply comes again; where the publisher chose it, each
      // wrong password is said before.
      std::vector<std::string> expected(notice ? c.dialogs - 1 : 0,
                                        "Error: The password is wrong. Please try again.");
      if (!c.installed) expected.push_back(kWrongPasswordMessage);
      EXPECT_EQ(rig.Messages(), expected);
      EXPECT_EQ(rig.Exists(Book("secret1.txt")), c.installed);
      EXPECT_EQ(rig.Exists(Book("secret2.txt")), c.installed);
      EXPECT_EQ(rig.Installed(Book("secret2.txt")), c.installed ? Text("second secret") : Bytes{});
      ASSERT_EQ(rig.Host().Started.size(), 1u);
      EXPECT_EQ(rig.Host().Started[0].CommandLine,
                std::string("\"") + Book("quonview.exe") + "\" /INIT");
      EXPECT_EQ(rig.Session().InstallState, kSetupFinished);
    }
}

TEST(EngineDialog, ExitBeforeInstallExtractsNothing) {
  Rig rig;
  rig.Package(HandMade({{"quonview.exe", Text("MZ")}}));
  rig.Open();
  ExitSetup(rig.Session());
  EXPECT_EQ(rig.Session().InstallState, kSetupFinished);
  rig.Install();
  EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  EXPECT_TRUE(rig.Host().Started.empty());
}

TEST(EngineDialog, EmptyFolderFieldMeansTheCurrentFolderAndInstallRunsOnce) {
  Rig rig;
  rig.Package(HandMade({{"one.txt", Text("one")}}));
  rig.Open();
  rig.Install("");
  EXPECT_EQ(rig.Host().Controls[kInstallPathEdit], "C:\\");
  EXPECT_EQ(rig.Files(), std::vector<std::string>{"C/one.txt"});

  std::filesystem::remove(rig.HostPath("C:\\one.txt"));
  rig.Install();
  ExitSetup(rig.Session());
  EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  EXPECT_EQ(rig.Session().InstallState, kSetupFinished);
}

// The folder field gives at most 255 characters.
// A folder that does not fit is refused, never cut into another folder;
// the reader may then type a shorter one. 255 bytes fit, a drive root too.
TEST(EngineDialog, FolderThatDoesNotFitIsRefusedAndNothingIsInstalled) {
  const std::string tooLong = "C:\\" + std::string(200, 'a') + "\\" + std::string(52, 'b');
  const std::string longest = tooLong.substr(0, 255);
  ASSERT_EQ(tooLong.size(), 256u);
  Rig rig;
  rig.Package(HandMade({{"one.txt", Text("one")}}));
  rig.Open();
  rig.Install(tooLong.c_str());
  EXPECT_EQ(rig.Messages(),
            std::vector<std::string>{
                "Error: The installation folder is too long. Please choose a shorter one."});
  EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  rig.Install(longest.c_str());
  EXPECT_EQ(rig.Messages().size(), 1u);
  EXPECT_EQ(rig.Installed(longest + "\\one.txt"), Text("one"));

  Rig root;
  root.Run(HandMade({{"one.txt", Text("one")}, {"sub/two.txt", Text("two")}}), "C:\\");
  EXPECT_EQ(root.Messages(), std::vector<std::string>{});
  EXPECT_EQ(root.Files(), (std::vector<std::string>{"C/one.txt", "C/sub/two.txt"}));
}

// The program of the run command starts only when this install wrote it
// whole; from the installation folder when there is one.
TEST(EngineRunCommand, ProgramStartsOnlyWhenWrittenAndFromAFolderThatExists) {
  {
    Rig rig;
    Bytes zip = HandMade({{"quonview.exe", Text("MZ program bytes")}});
    zip[30 + 12 + 3] ^= 1;  // inside quonview.exe's data
    rig.Run(zip);
    EXPECT_EQ(rig.Messages().back(), "Error: CRC error\nquonview.exe");
    EXPECT_TRUE(rig.Host().Started.empty()) << "a damaged program is not started";
  }
  // The reader kept the program already there, by answering No or by
  // /O=none: the file in place is whole, and it starts. (Until this mend the
  // kept program was treated as a failed one, and nothing started.)
  for (const char* arguments : {"", "/S /O=none /RUN"}) {
    SCOPED_TRACE(arguments);
    Rig rig;
    rig.Place(Book("quonview.exe"), Text("an older reader"));
    rig.Host().OverwriteReplies = {{false, false}};
    CommandLineRun run(rig, arguments);
    rig.Package(HandMade({{"quonview.exe", Text("MZ")}, {"quonplay.exe", Text("MZ")}}));
    rig.Open();
    rig.Install();
    EXPECT_EQ(rig.Installed(Book("quonview.exe")), Text("an older reader"));
    ASSERT_EQ(rig.Host().Started.size(), 1u) << "the kept program, and no other";
    EXPECT_EQ(rig.Host().Started[0].CommandLine,
              std::string("\"") + kBookFolder + "\\quonview.exe\" /INIT");
  }
  {
    // Its folder cannot be made: a file has the folder's name.
    Rig rig;
    rig.Place(Book("bin"), Text("a file"));
    rig.Run(HandMade({{"bin/quonview.exe", Text("MZ")}}));
    EXPECT_TRUE(rig.Host().Started.empty()) << "a program whose folder was not made";
  }
  {
    // The licence's command is set, and the installation folder cannot be
    // made (a file has its name): the command still starts, from the
    // setup's own current folder.
    Rig rig;
    rig.Place("C:\\Windows\\System32\\notepad.exe", Text("MZ"));
    rig.Place(kBookFolder, Text("a file, not a folder"));
    rig.Run(HandMade({{"!!licence.txt", Text("a notepad.exe readme.txt\r\n")}}));
    ASSERT_EQ(rig.Host().Started.size(), 1u);
    EXPECT_EQ(rig.Host().Started[0].CommandLine,
              "\"C:\\Windows\\System32\\notepad.exe\" readme.txt");
    EXPECT_EQ(rig.Host().Started[0].Folder, "");
  }
  {
    // A relative folder is entered once and named in full.
    Rig rig;
    rig.PlaceFolder("C:\\Setup");
    ASSERT_TRUE(rig.Host().SetCurrentFolder("C:\\Setup"));
    rig.Run(HandMade({{"quonview.exe", Text("MZ")}}), "Book");
    ASSERT_EQ(rig.Host().Started.size(), 1u);
    EXPECT_EQ(rig.Host().Started[0].Folder, "C:\\Setup\\Book");
  }
}

// A sanitizer build ends the program at the first fault it finds, so this
// case comes after all the others.
TEST(EngineShortDirective, LineTooShortForAnArgumentSetsNoCommand) {
  const struct {
    std::string licence, box;
  } cases[] = {{"a x\nBody", "Body"}, {"e\r\nBody", "Body"}, {"a", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.licence));
    Rig rig;
    rig.Run(HandMade({{"!!licence.txt", Text(c.licence)}, {"quonxr.exe", Text("MZ")}}));
    EXPECT_EQ(rig.Host().Controls[kLicenceBox], c.box);
    EXPECT_EQ(std::string(rig.Session().RunCommand), "");
    EXPECT_TRUE(rig.Host().Started.empty());
    EXPECT_TRUE(rig.Exists(Book("quonxr.exe")));
  }
}

// Names are decoded before they are judged or used: UTF-8 when the entry's
// flag says so, the ANSI code page (Windows-1252 on this host) otherwise.
TEST(EngineNames, StoredNamesAreDecodedByTheirFlag) {
  const struct {
    std::string stored;
    uint16_t flags;
    std::string installed;  // UTF-8
  } cases[] = {
      {"caf\xE9.txt", 0, "caf\xC3\xA9.txt"},
      {"\x80uro.txt", 0, "\xE2\x82\xACuro.txt"},
      {"\xE6\x97\xA5\xE6\x9C\xAC/\xE8\xAA\x9E.txt", 0x0800,
       "\xE6\x97\xA5\xE6\x9C\xAC/\xE8\xAA\x9E.txt"},
      {"bad\xC3(.txt", 0x0800, "bad\xEF\xBF\xBD(.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.installed);
    Rig rig;
    rig.Run(HandMade({Record(c.stored, Text("words")).WithFlags(c.flags)}));
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    std::string windows = c.installed;
    for (char& ch : windows) ch = ch == '/' ? '\\' : ch;
    EXPECT_TRUE(SameBytes(rig.Installed(Book(windows)), Text("words")));
    ASSERT_EQ(rig.Host().List.size(), 1u);
    EXPECT_EQ(rig.Host().List[0].Name, c.installed);
  }
}

// A name of 257 stored bytes that grows threefold still fits the target path.
TEST(EngineNames, LongestNameInCodePageCharactersInstalls) {
  // Parts of at most 255 bytes: the Linux file system's limit.
  const std::string stored = std::string(100, '\xE9') + "/" + std::string(100, '\xE8') + "/" +
                             std::string(51, 'x') + ".txt";
  ASSERT_EQ(stored.size(), 257u);
  Rig rig;
  rig.Run(HandMade({{stored, Text("deep")}}));
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
  std::string name;
  for (char ch : stored)
    name += ch == '\xE9'   ? "\xC3\xA9"
            : ch == '\xE8' ? "\xC3\xA8"
            : ch == '/'    ? "\\"
                           : std::string(1, ch);
  EXPECT_TRUE(SameBytes(rig.Installed(Book(name)), Text("deep")));
}

TEST(EngineLicence, LicenceTextEncodingIsRecognised) {
  const struct {
    std::string stored, shown;
  } cases[] = {
      {"Licence \xA9 2026", "Licence \xC2\xA9 2026"},      // Windows-1252
      {"Licence \xC2\xA9 2026", "Licence \xC2\xA9 2026"},  // UTF-8
      {"\xEF\xBB\xBFLicence", "Licence"},                  // UTF-8 with BOM
      {"\xEF\xBB\xBF"
       "d hidden\r\nshown",
       "shown"},                                             // BOM before a directive
      {"Caf\xC3\xA9 \xE9", "Caf\xC3\x83\xC2\xA9 \xC3\xA9"},  // not UTF-8 throughout
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    Rig rig;
    rig.Package(HandMade({{"!!licence.txt", Text(c.stored)}}));
    rig.Open();
    EXPECT_EQ(rig.Host().Controls[kLicenceBox], c.shown);
  }
}

// A setup signed after packaging: its stub's PE header points the security
// directory at the certificate table appended after the archive.
TEST(EngineSigned, CertificateTableRightAfterTheArchiveIsAccepted) {
  const struct {
    const char* label;
    int offsetShift;        // where the directory says the table starts, against the size field
    int extraBytes;         // bytes after the table that the directory does not count
    uint32_t recordLength;  // the first WIN_CERTIFICATE's dwLength
    bool peHeader;
    bool pePlus;  // a 64-bit stub's PE32+ header: directories 16 bytes further in
    bool accepted;
    int padding = 0;  // bytes a signer put before the table to align it
    uint8_t paddingByte = 0;
  } cases[] = {
      {"signed, aligned with 7 zero bytes", 0, 0, 64, true, false, true, 7},
      {"signed, aligned with 1 zero byte, PE32+", 0, 0, 64, true, true, true, 1},
      {"8 bytes before the table", 0, 0, 64, true, false, false, 8},
      {"padding that is not zero", 0, 0, 64, true, false, false, 4, 0x20},
      {"signed", 0, 0, 64, true, false, true},
      {"signed, PE32+", 0, 0, 64, true, true, true},
      {"table one byte later", 1, 0, 64, true, false, false},
      {"table one byte later, PE32+", 1, 0, 64, true, true, false},
      {"bytes after the table", 0, 8, 64, true, false, false},
      {"no PE header", 0, 0, 64, false, false, false},
      {"empty certificate record", 0, 0, 0, true, false, false},
      {"record longer than the table", 0, 0, 65, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Source("one.txt", Text("one"));
    // The settings are found before the signature, too.
    rig.Settings("title=Signed Book\n");
    rig.Package(rig.Tool("zip -q -0 {zip} one.txt"));
    Bytes& packaged = rig.Packaged();
    const uint32_t sizeField = Get32(packaged, kFakeStubLength);
    ASSERT_EQ(sizeField, packaged.size());
    constexpr uint32_t kTableSize = 64;
    if (c.peHeader) {
      constexpr size_t pe = 0x80, optional = pe + 24;
      packaged[0] = 'M';
      packaged[1] = 'Z';
      Bytes at;
      Put32(at, pe);
      std::copy(at.begin(), at.end(), packaged.begin() + 0x3C);
      const uint8_t signature[] = {'P', 'E', 0, 0};
      std::copy(signature, signature + 4, packaged.begin() + pe);
      packaged[optional] = 0x0B;  // 0x10B PE32, 0x20B PE32+
      packaged[optional + 1] = c.pePlus ? 0x02 : 0x01;
      Bytes fields;
      Put32(fields, 16);  // NumberOfRvaAndSizes
      for (int i = 0; i < 4; ++i) Put32(fields, 0), Put32(fields, 0);
      Put32(fields, sizeField + c.padding + c.offsetShift);
      Put32(fields, kTableSize);
      std::copy(fields.begin(), fields.end(), packaged.begin() + optional + (c.pePlus ? 108 : 92));
    }
    Bytes table(c.padding, c.paddingByte);
    Put32(table, c.recordLength);
    Put16(table, 0x0200);
    Put16(table, 0x0002);
    table.resize(c.padding + kTableSize + c.extraBytes, 0x30);
    packaged.insert(packaged.end(), table.begin(), table.end());

    rig.Open();
    rig.Install();
    EXPECT_EQ(rig.Host().Title, c.accepted ? "Signed Book" : "E-book Setup");
    if (c.accepted) {
      EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
      EXPECT_TRUE(SameBytes(rig.Installed(Book("one.txt")), Text("one")));
    } else {
      EXPECT_EQ(rig.Messages(), (std::vector<std::string>{kSizeMessage, kSizeMessage}));
      EXPECT_EQ(rig.Files(), std::vector<std::string>{});
    }
  }
}

// Archives that streaming or large-file writers make: every entry installs,
// or the reader is told by name why not.
TEST(EngineWalk, Zip64AndStreamedEmptyEntriesFromRealTools) {
  const struct {
    const char* label;
    const char* command;
    std::vector<std::string> files;  // as installed, with their source
  } cases[] = {
      {"zip -fz",
       "zip -q -fz {zip} one.txt sub/two.bin empty.txt",
       {"one.txt", "sub/two.bin", "empty.txt"}},
      {"zip -fz -0", "zip -q -0 -fz {zip} one.txt sub/two.bin", {"one.txt", "sub/two.bin"}},
      // Input from a pipe: zip cannot know the size first and writes Zip64
      // sizes in the local header of every entry.
      {"zip -fz from a pipe",
       "cat one.txt | zip -q -fz {zip} - && zip -q -fz {zip} sub/two.bin",
       {"-", "sub/two.bin"}},
      // bsdtar, stored: sizes in the header, the CRC only in the descriptor,
      // and an empty file confirmed by a descriptor of zeros.
      {"bsdtar stored",
       "bsdtar --format zip --options zip:compression=store -cf {zip} "
       "one.txt empty.txt sub",
       {"one.txt", "empty.txt", "sub/two.bin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    Rng rng(21);
    rig.Source("one.txt", TextLike(rng, 3000));
    rig.Source("sub/two.bin", BinaryMix(rng, 90000));
    rig.Source("empty.txt", {});
    const Bytes zip = rig.Tool(c.command);
    rig.Run(zip);
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    EXPECT_EQ(rig.Host().ListSelectedCount(), 0);
    for (const std::string& file : c.files) {
      std::string windows = file;
      std::replace(windows.begin(), windows.end(), '/', '\\');
      const Bytes expected = file == "-" ? rig.SourceBytes("one.txt") : rig.SourceBytes(file);
      EXPECT_TRUE(SameBytes(rig.Installed(Book(windows)), expected)) << file;
    }
  }
}

Bytes Zip64Extra(uint64_t uncompressed, uint64_t compressed) {
  Bytes extra;
  Put16(extra, 1);
  Put16(extra, 16);
  Put32(extra, uint32_t(uncompressed));
  Put32(extra, uint32_t(uncompressed >> 32));
  Put32(extra, uint32_t(compressed));
  Put32(extra, uint32_t(compressed >> 32));
  return extra;
}

// What cannot be walked is reported once, by name, and never ends in silence
// or as a success.
TEST(EngineWalk, WalksThatCannotGoOnAreReported) {
  const std::string unreadable = DamagedAt("big.bin");
  Bytes noEnd = HandMade({{"one.txt", Text("one")}, {"two.txt", Text("two")}});
  noEnd.resize(noEnd.size() - 22);  // the end record becomes bytes of no record
  for (char ch : std::string("garbage after the last entry")) noEnd.push_back(uint8_t(ch));
  const struct {
    const char* label;
    Bytes zip;
    std::vector<std::string> messages;
    std::vector<std::string> files;
  } cases[] = {
      {"Zip64 sizes beyond 2 GiB",
       HandMade({{"one.txt", Text("one")},
                 Record("big.bin", Text("data"))
                     .WithCompressedSize(0xFFFFFFFFu)
                     .WithExtra(Zip64Extra(uint64_t{3} << 30, uint64_t{3} << 30)),
                 {"three.txt", Text("three")}}),
       {unreadable},
       {"one.txt"}},
      {"sizes of 0xFFFFFFFF without a Zip64 field",
       HandMade({{"one.txt", Text("one")},
                 Record("big.bin", Text("data")).WithCompressedSize(0xFFFFFFFFu),
                 {"three.txt", Text("three")}}),
       {unreadable},
       {"one.txt"}},
      {"no end record after the entries", noEnd, {DamagedAfter("two.txt")}, {"one.txt", "two.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Run(c.zip);
    EXPECT_EQ(rig.Messages(), c.messages);
    std::vector<std::string> files;
    for (const std::string& f : c.files) files.push_back(BookHost(f));
    EXPECT_EQ(rig.Files(), files);
  }
}

// Methods the stub cannot read are named before any password is asked and
// leave no file; a cut encryption header is damage, not a wrong password.
TEST(EngineWalk, UnreadableEntriesAreNamedBeforeAnyPassword) {
  const struct {
    const char* label;
    std::string command;  // empty: `records`
    std::vector<Record> records;
    std::string message;
  } cases[] = {
      {"7-Zip AES",
       "7z a -tzip -mem=AES256 -ppw {zip} one.txt",
       {},
       "Error: Unsupported compression method\none.txt\n(method 99)"},
      {"7-Zip bzip2",
       "7z a -tzip -mm=BZip2 {zip} one.txt",
       {},
       "Error: Unsupported compression method\none.txt\n(method 12)"},
      {"encryption header cut short",
       "",
       {Record("one.txt", Text("12345")).WithFlags(1)},
       DamagedAt("one.txt")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    Rng rng(2);
    rig.Source("one.txt", TextLike(rng, 4000));  // worth compressing
    rig.Host().PasswordReplies = {"pw", "pw", "pw"};
    rig.Run(c.command.empty() ? HandMade(c.records) : rig.Tool(c.command));
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{c.message});
    EXPECT_EQ(rig.Host().DialogLog, (std::vector<std::string>{"message:" + c.message.substr(7)}))
        << "no password dialog";
    EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  }
}

// A header that understates its data: output stops at the stated size and
// the entry counts as damaged; named like a licence, at most what the
// licence reader reads reaches the temporary folder when the dialog opens.
TEST(EngineFailures, OutputBeyondTheHeaderSizeIsDamage) {
  const Bytes bomb(4 << 20, uint8_t('z'));  // 4 MiB that deflate to a few KiB
  auto understated = [&](const std::string& name) {
    Bytes zip = HandMade({Record(name, bomb, 8)});
    // The uncompressed size field (offset 22) says 1,000 bytes.
    zip[22] = 0xE8;
    zip[23] = 0x03;
    zip[24] = zip[25] = 0;
    return zip;
  };
  {
    Rig rig;
    rig.Run(understated("book.txt"));
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{"Error: CRC error\nbook.txt"});
    EXPECT_FALSE(rig.Exists(Book("book.txt"))) << "damage is not installed";
    EXPECT_EQ(rig.Files(), std::vector<std::string>{}) << "nor left under another name";
  }
  {
    Rig rig;
    rig.Package(understated("!!licence.txt"));
    rig.Open();
    EXPECT_LE(rig.Installed(std::string(rig.Session().OwnTempFolder) + "!!licence.txt").size(),
              1000u);
    EXPECT_EQ(rig.Host().ListSelectedCount(), 1) << "not verified while the dialog opens";
  }
}

// The licence's own folder in the temporary folder cannot be made (access
// is denied there): the listing goes on, so a damaged file after it is
// still caught, and a refusal while the dialog opens never asks for
// administrator rights.
TEST(EngineLicence, LicenceFolderThatCannotBeMadeDoesNotHideLaterDamage) {
  Rng rng(12);
  const Bytes text = TextLike(rng, 5000);
  Rig rig;
  rig.Host().DeniedFolder = "C:\\Temp";
  Bytes zip = HandMade({{"docs/sub/!!licence.txt", Text("Licence")},
                        {"one.txt", text, 8},
                        {"two.txt", Text("two")}});
  const size_t header = HeaderOffsetOf(zip, "one.txt");
  zip[header + 30 + 7 + 40] ^= 0x10;  // inside one.txt's deflate data
  rig.Package(zip);
  rig.Open();
  // One message: the folder that could not be made, and why.
  EXPECT_EQ(rig.Host().DialogLog,
            std::vector<std::string>{
                "message:The folder could not be made:\nC:\\Temp\\\nPermission denied"});
  EXPECT_EQ(rig.Host().List.size(), 3u);
  rig.Install();
  EXPECT_EQ(rig.Messages().back(), "Error: CRC error\none.txt");
  EXPECT_EQ(rig.Installed(Book("two.txt")), Text("two"));
}

// Whatever a program of the user put in the temporary folder, the licence
// copy is made new in a folder of its own: a planted link is not written
// through, a folder of the copy's name is passed by.
TEST(EngineLicence, TheLicenceCopyNeverWritesThroughWhatWasPlanted) {
  Rig rig;
  rig.Place("C:\\Protected\\important.cfg", Text("important"));
  fs::create_symlink(rig.HostPath("C:\\Protected\\important.cfg"),
                     rig.HostPath("C:\\Temp") + "/!!licence.txt");
  rig.PlaceFolder("C:\\Temp\\ebook-setup-00000000");
  rig.Host().Clock = [] { return 0u; };  // the first name it tries is taken
  rig.Package(HandMade({{"!!licence.txt", Text("Publisher licence text.")}}));
  rig.Open();
  EXPECT_EQ(rig.Installed("C:\\Protected\\important.cfg"), Text("important"));
  const std::string own = rig.Session().OwnTempFolder;
  EXPECT_NE(own, "C:\\Temp\\ebook-setup-00000000\\");
  EXPECT_EQ(rig.Installed(own + "!!licence.txt"), Text("Publisher licence text."));
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
}

// A long file keeps the window alive while it is written, not only between
// files: the platform gets a chance per piece written.
TEST(EngineDialog, LongFilesKeepTheWindowResponsive) {
  Rng rng(8);
  Rig rig;
  rig.Source("big.bin", BinaryMix(rng, 4 << 20));
  rig.Run(rig.Tool("zip -q -1 {zip} big.bin"));
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
  EXPECT_GE(rig.Host().KeepResponsiveCalls, (4 << 20) / (32 << 10));
}

// Each new file is one create call: its folder is probed and made only
// when the call finds it missing, the reader asked only when a file is in
// the way; and the status line changes at most every 100 ms, naming the
// last file written at the end.
TEST(EngineDialog, FilesCostOneCallAndTheStatusLineIsShownTenTimesASecond) {
  auto book = [](int files) {
    std::vector<Record> records;
    for (int i = 0; i < files; ++i)
      records.push_back({"pages/p" + std::to_string(i) + ".txt", Text("page")});
    records.push_back({"last.txt", Text("last")});
    return HandMade(records);
  };
  int64_t probes[2] = {};
  int64_t seeks[2] = {};
  for (int files : {5, 50}) {
    for (uint32_t step : {0u, 150u}) {
      SCOPED_TRACE(std::to_string(files) + " files, clock step " + std::to_string(step));
      Rig rig;
      uint32_t now = 1000;
      rig.Host().Clock = [&] { return now += step; };
      rig.Run(book(files));
      EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
      EXPECT_EQ(rig.Files().size(), static_cast<size_t>(files + 1));
      EXPECT_EQ(rig.Host().Controls[kStatusLine], "Extracting: " + Book("last.txt"));
      // Shown for the first file and at the end when the clock stands
      // still; for every file when each one takes 150 ms.
      if (step == 0) {
        EXPECT_EQ(rig.Host().PumpCount, 2);
      } else {
        EXPECT_EQ(rig.Host().PumpCount, files + 1);
      }
      probes[files == 50] = rig.Host().FindAnyCalls;
      seeks[files == 50] = rig.Host().SeekCalls;
    }
  }
  EXPECT_EQ(probes[0], probes[1]) << "no probe per file";
  // Each of the two passes seeks to an entry's data past its name and
  // then to the next header; nothing else.
  EXPECT_EQ(seeks[1] - seeks[0], 45 * 2 * 2) << "seeks per file";
}

// As designed, the install runs to its end: Escape in the password dialog
// does nothing, and Exit during the install is ignored without a question.
TEST(EngineDialog, ExitAndEscapeWaitForTheInstall) {
  Rng rng(13);
  Rig rig;
  rig.Source("secret.txt", Text("secret"));
  rig.Source("a.bin", BinaryMix(rng, 300000));
  rig.Host().PasswordReplies = {std::nullopt, "pw"};
  int exits = 0;
  rig.Host().DuringWrite = [&] { ++exits, ExitSetup(rig.Session()); };
  rig.Run(rig.Tool("zip -q -e -P pw {zip} secret.txt a.bin"));
  EXPECT_GT(exits, 0);
  EXPECT_EQ(rig.Host().DialogLog, std::vector<std::string>{"password"});
  EXPECT_EQ(rig.Installed(Book("secret.txt")), Text("secret"));
  EXPECT_TRUE(SameBytes(rig.Installed(Book("a.bin")), rig.SourceBytes("a.bin")));
  EXPECT_EQ(rig.Session().Outcome, kOutcomeInstalled);
  EXPECT_EQ(rig.Session().InstallState, kSetupFinished);
}

// Where the publisher chose to ask before stopping: Escape in the password
// dialog stops at once; Exit during the install asks, and Yes ends after the
// file being written, which is whole, with no CRC error for the entries not
// reached and nothing started.
TEST(EngineDialog, TheReaderCanStopTheInstall) {
  Rng rng(13);
  {
    Rig rig;
    rig.Settings("ask-before-stopping\n");
    rig.Source("secret.txt", Text("secret"));
    rig.Host().PasswordReplies = {std::nullopt};
    rig.Run(rig.Tool("zip -q -e -P pw {zip} secret.txt"));
    EXPECT_EQ(rig.Messages(),
              std::vector<std::string>{
                  "Error: The installation stopped, because no password was given."});
    EXPECT_EQ(rig.Files(), std::vector<std::string>{});
  }
  for (bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "Yes" : "No");
    Rig rig;
    rig.Settings("ask-before-stopping\n");
    rig.Source("a.bin", BinaryMix(rng, 300000));
    rig.Source("b.bin", BinaryMix(rng, 300000));
    rig.Source("quonview.exe", Text("MZ"));
    const Bytes zip = rig.Tool("zip -q -1 {zip} a.bin b.bin quonview.exe");
    rig.Host().YesNoReplies = {yes};
    // Exit arrives while a.bin is written, as a window message would.
    bool asked = false;
    rig.Host().DuringWrite = [&] {
      if (!asked) {
        asked = true;
        ExitSetup(rig.Session());
      }
    };
    rig.Run(zip);
    const auto& log = rig.Host().DialogLog;
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "yesno:E-book Setup: Stop the installation? Files already installed "
                         "stay in place."),
              1);
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
    EXPECT_TRUE(SameBytes(rig.Installed(Book("a.bin")), rig.SourceBytes("a.bin")));
    EXPECT_EQ(rig.Exists(Book("b.bin")), !yes);
    EXPECT_EQ(rig.Host().Started.size(), yes ? 0u : 1u);
    EXPECT_EQ(rig.Session().InstallState, kSetupFinished);
  }
}

}  // namespace
}  // namespace ebook::test

namespace ebook::test {
namespace {

TEST(EngineUnattended, EachOutcomeHasItsCodeAndNothingIsShown) {
  struct Case {
    const char* label;
    const char* command;  // makes the archive from one.txt and two.txt
    const char* arguments;
    int damage;  // 0: none; 1: flip a byte in two.txt's data
    uint8_t outcome;
    bool installed;
  };
  const Case cases[] = {
      {"plain", "zip -q {zip} one.txt two.txt", "/S", 0, kOutcomeInstalled, true},
      {"password given", "zip -q -P pw {zip} one.txt two.txt", "/S /P=pw", 0, kOutcomeInstalled,
       true},
      {"password wrong", "zip -q -P pw {zip} one.txt two.txt", "/S /P=nope", 0, kOutcomePassword,
       false},
      {"password missing", "zip -q -P pw {zip} one.txt two.txt", "/S", 0, kOutcomePassword, false},
      {"damaged", "zip -q -0 {zip} one.txt two.txt", "/S", 1, kOutcomeDamaged, false},
      {"bzip2", "zip -q -Z bzip2 {zip} one.txt two.txt", "/S", 0, kOutcomeUnsupported, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Source("one.txt", Text("one\r\n"));
    rig.Source("two.txt", Text(std::string(4000, 't')));
    const Bytes zip = rig.Tool(c.command);
    rig.Package(zip);
    if (c.damage) {
      const size_t header = HeaderOffsetOf(zip, "two.txt");
      const size_t data = header + 30 + Get16(zip, header + 26) + Get16(zip, header + 28);
      rig.Packaged()[kFakeStubLength + 8 + data + 100] ^= 0x20;
    }
    CommandLineRun run(rig, std::string(c.arguments) + " /D=C:\\Books\\Silent Book");
    ASSERT_TRUE(run.parsed);
    rig.Open();
    rig.Install(nullptr);
    EXPECT_EQ(rig.Session().Outcome, c.outcome);
    EXPECT_EQ(rig.Host().DialogLog, std::vector<std::string>{});
    EXPECT_EQ(rig.Session().InstallState, kSetupFinished);
    EXPECT_EQ(rig.Exists("C:\\Books\\Silent Book\\two.txt"), c.installed);
  }
}

TEST(EngineUnattended, FolderThatCannotBeMadeAndStopAreOutcomes) {
  Rig rig;
  rig.Source("a.txt", Text("a"));
  rig.Package(rig.Tool("zip -q {zip} a.txt"));
  rig.Place("C:\\Blocked", Text("a file, where the folder should be"));
  CommandLineRun run(rig, "/S /D=C:\\Blocked\\Book");
  rig.Open();
  rig.Install(nullptr);
  EXPECT_EQ(rig.Session().Outcome, kOutcomeCannotWrite);

  // A stop the reader asked for, with the dialog.
  Rig stopped;
  stopped.Source("a.txt", Text(std::string(100000, 'a')));
  stopped.Source("b.txt", Text("b"));
  stopped.Settings("ask-before-stopping\n");
  stopped.Package(stopped.Tool("zip -q -0 {zip} a.txt b.txt"));
  stopped.Host().YesNoReplies = {true};
  stopped.Host().DuringWrite = [&] { ExitSetup(stopped.Session()); };
  stopped.Open();
  stopped.Install();
  EXPECT_EQ(stopped.Session().Outcome, kOutcomeStopped);
  EXPECT_EQ(stopped.Done(), "");
}

TEST(EngineUnattended, OverwriteAnswersAndTheLog) {
  // (arguments, whether the reader's own file stays)
  const std::pair<const char*, bool> cases[] = {
      {"/S /O=none", true}, {"/S /O=all", false}, {"/S", false}, {"/O=none", true}};
  for (const auto& [arguments, kept] : cases) {
    SCOPED_TRACE(arguments);
    Rig rig;
    rig.Source("a.txt", Text("new a"));
    rig.Source("sub/b.txt", Text("new b"));
    rig.Package(rig.Tool("zip -q -r {zip} a.txt sub"));
    rig.Place(Book("a.txt"), Text("the reader's own a"));
    CommandLineRun run(rig, std::string(arguments) + " /LOG=C:\\setup.log");
    rig.Open();
    rig.Install();
    EXPECT_EQ(rig.Installed(Book("a.txt")), Text(kept ? "the reader's own a" : "new a"));
    EXPECT_EQ(rig.Host().OverwriteAsked, std::vector<std::string>{});
    const Bytes log = rig.Installed("C:\\setup.log");
    EXPECT_EQ(std::string(log.begin(), log.end()), std::string(kept ? "kept " : "installed ") +
                                                       Book("a.txt") + "\r\n" + "installed " +
                                                       Book("sub\\b.txt") + "\r\nresult 0\r\n");
  }
}

TEST(EngineUnattended, PasswordFileGivesItsFirstLine) {
  Rig rig;
  rig.Source("a.txt", Text("secret a"));
  rig.Package(rig.Tool("zip -q -P 'open sesame' {zip} a.txt"));
  rig.Place("C:\\pw.txt", Text("open sesame\r\nnot this line\r\n"));
  CommandLineRun run(rig, "/PF=C:\\pw.txt");
  rig.Open();
  rig.Install();
  EXPECT_EQ(rig.Installed(Book("a.txt")), Text("secret a"));
  EXPECT_EQ(rig.Host().DialogLog, std::vector<std::string>{});
  EXPECT_EQ(rig.Session().Outcome, kOutcomeInstalled);
}

TEST(EngineUnattended, NoRunStartsNothingAndTheDirectiveFolderIsFound) {
  // Unattended, the program starts only when /RUN asks for it.
  const std::pair<const char*, size_t> cases[] = {
      {"/S", 0}, {"/S /RUN", 1}, {"/S /RUN /NORUN", 0}, {"/NORUN", 0}};
  for (const auto& [arguments, starts] : cases) {
    SCOPED_TRACE(arguments);
    Rig rig;
    rig.Source("quonview.exe", Text("MZ"));
    rig.Package(rig.Tool("zip -q {zip} quonview.exe"));
    CommandLineRun run(rig, arguments);
    rig.Open();
    rig.Install();
    EXPECT_EQ(rig.Host().Started.size(), starts);
    EXPECT_EQ(rig.Session().Outcome, kOutcomeInstalled);
  }
  Rig rig;
  rig.Source("!!licence.txt", Text("p Viewer.exe\r\nUpdate.\r\n"));
  rig.Source("doc/manual.txt", Text("new manual"));
  rig.Package(rig.Tool("zip -q -r {zip} !!licence.txt doc"));
  rig.PlaceFolder("C:\\Apps\\Viewer");
  rig.Place("C:\\Apps\\Viewer\\viewer.exe", Text("MZ"));
  rig.Host().Registry[{RegistryPlace::kLocalMachine64, kAppPathsKey, "Path"}] =
      "C:\\Apps\\Viewer\\";
  CommandLineRun run(rig, "/S");
  rig.Open();
  rig.Install(nullptr);
  EXPECT_EQ(rig.Installed("C:\\Apps\\Viewer\\manual.txt"), Text("new manual"));
  EXPECT_EQ(rig.Session().Outcome, kOutcomeInstalled);
}

}  // namespace
}  // namespace ebook::test

namespace ebook::test {
namespace {

TEST(EngineProgress, ByArchiveBytesToTheEndOrToTheErrorState) {
  // (damage the middle entry, stop during the first file)
  for (const int kind : {0, 1, 2}) {
    SCOPED_TRACE(kind == 0 ? "sound" : kind == 1 ? "damaged" : "stopped");
    Rig rig;
    Rng rng(5);
    rig.Source("a.bin", BinaryMix(rng, 90000));
    rig.Source("b.txt", TextLike(rng, 20000));
    rig.Source("c.txt", TextLike(rng, 3000));
    const Bytes zip = rig.Tool("zip -q -0 {zip} a.bin b.txt c.txt");
    rig.Settings("ask-before-stopping\n");
    rig.Package(zip);
    if (kind == 1) {
      const size_t header = HeaderOffsetOf(zip, "b.txt");
      const size_t data = header + 30 + Get16(zip, header + 26) + Get16(zip, header + 28);
      rig.Packaged()[kFakeStubLength + 8 + data + 100] ^= 0x20;
    }
    if (kind == 2) {
      rig.Host().YesNoReplies = {true};
      rig.Host().DuringWrite = [&] { ExitSetup(rig.Session()); };
    }
    rig.Open();
    EXPECT_TRUE(rig.Host().ProgressShown.empty()) << "the listing pass shows none";
    rig.Install();
    const auto& shown = rig.Host().ProgressShown;
    ASSERT_FALSE(shown.empty());
    const uint32_t total = static_cast<uint32_t>(rig.Packaged().size() - kFakeStubLength - 8);
    for (size_t i = 0; i < shown.size(); ++i) {
      EXPECT_EQ(shown[i].Total, total);
      EXPECT_LE(shown[i].Done, total);
      if (i > 0) {
        EXPECT_GE(shown[i].Done, shown[i - 1].Done) << "at report " << i;
      }
    }
    // The first entry begins at its header's end, near the start.
    EXPECT_LT(shown.front().Done, 100u);
    if (kind == 0) {
      EXPECT_EQ(shown.back().Done, total);
      EXPECT_FALSE(shown.back().Failed);
      // Each entry is reported as it begins: three, and the end.
      EXPECT_EQ(shown.size(), 4u);
    } else if (kind == 1) {
      EXPECT_TRUE(shown.back().Failed);
      EXPECT_EQ(std::count_if(shown.begin(), shown.end(), [](const auto& p) { return p.Failed; }),
                1);
    } else {
      EXPECT_LT(shown.back().Done, total);
      EXPECT_FALSE(shown.back().Failed) << "a stop asked for is no problem";
    }
  }
}

// The taskbar is another process: a book of many small entries reports
// its progress in steps of a 128th at least, not once per entry.
TEST(EngineProgress, ManyEntriesAreReportedInSteps) {
  std::vector<Record> records;
  for (int i = 0; i < 600; ++i) records.push_back({"p" + std::to_string(i) + ".txt", Text("page")});
  Rig rig;
  rig.Run(HandMade(records));
  const auto& shown = rig.Host().ProgressShown;
  ASSERT_GE(shown.size(), 2u);
  EXPECT_LE(shown.size(), 130u);
  EXPECT_EQ(shown.back().Done, shown.back().Total);
}

constexpr char kElevateQuestionText[] =
    "yesno:E-book Setup: This folder can only be written with administrator rights. "
    "Continue as administrator?";

TEST(EngineElevation, OnlyAccessDeniedAsksAndYesRestartsWithTheAnswers) {
  struct Case {
    const char* label;
    const char* arguments;
    bool blockWithFile;  // a file where the folder goes: not access denied
    bool yes;            // the reader's answer to the question
    bool starts;         // the system starts the elevated copy
    bool asked;
    bool restarted;
  };
  const Case cases[] = {
      {"denied, yes", "/O=none /NORUN", false, true, true, true, true},
      {"denied, no", "", false, false, true, true, false},
      {"denied, yes, declined", "", false, true, false, true, false},
      {"denied in the elevated copy", "/ELEVATED", false, true, true, false, false},
      {"denied, unattended", "/S", false, true, true, false, false},
      {"another reason", "", true, true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Source("a.txt", Text("a"));
    rig.Source("sub/b.txt", Text("b"));
    const Bytes zip = rig.Tool("zip -q -r -P 'pass word' {zip} a.txt sub");
    rig.Package(zip);
    if (c.blockWithFile) {
      rig.Place("C:\\Program Files", Text("a file where the folder goes"));
    } else {
      rig.Host().DeniedFolder = "C:\\Program Files";
    }
    rig.Host().PasswordReplies = {"pass word"};
    rig.Host().YesNoReplies = {c.yes};
    rig.Host().StartElevatedReply = c.starts;
    CommandLineRun run(rig, c.arguments);
    rig.Open();
    rig.Install();
    const auto& log = rig.Host().DialogLog;
    EXPECT_EQ(std::count(log.begin(), log.end(), kElevateQuestionText), c.asked ? 1 : 0);
    EXPECT_EQ(rig.Host().ElevatedStarts.size(), c.asked && c.yes ? 1u : 0u);
    // The copy that took over says everything from here on; otherwise the
    // folder's problem is told, as before.
    const auto messages = rig.Messages();
    if (c.restarted || rig.Session().Options.Silent) {
      EXPECT_EQ(messages, std::vector<std::string>{});
    } else {
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages[0].rfind("Error: The folder could not be made:\nC:\\Program Files", 0), 0u)
          << messages[0];
    }
    EXPECT_EQ(rig.Done(), "");
    EXPECT_EQ(rig.Files().size(), c.blockWithFile ? 1u : 0u);
    if (!c.restarted) continue;

    // The elevated copy: the same setup with the arguments built, allowed to
    // write, installs without asking again what was answered; the password,
    // never on a command line, it asks for again.
    const std::string arguments = rig.Host().ElevatedStarts[0];
    EXPECT_EQ(arguments, "/ELEVATED /O=none /NORUN /D=C:\\Program Files\\Book");
    Rig elevated;
    elevated.Host().PasswordReplies = {"pass word"};
    elevated.Package(zip);
    elevated.Place(Book("a.txt"), Text("the reader's own a"));
    CommandLineRun second(elevated, arguments);
    ASSERT_TRUE(second.parsed);
    EXPECT_TRUE(elevated.Session().Options.Elevated);
    elevated.Open();
    elevated.Install(nullptr);
    EXPECT_EQ(elevated.Host().DialogLog, std::vector<std::string>{"password"});
    EXPECT_EQ(elevated.Session().Outcome, kOutcomeInstalled);
    EXPECT_EQ(elevated.Installed(Book("a.txt")), Text("the reader's own a"));
    EXPECT_EQ(elevated.Installed(Book("sub\\b.txt")), Text("b"));
  }
}

// A copy started with administrator rights begins in System32: the folder
// and the log it is handed are absolute.
TEST(EngineElevation, TheCopyIsHandedAbsolutePaths) {
  Rig rig;
  rig.Source("a.txt", Text("a"));
  rig.Package(rig.Tool("zip -q {zip} a.txt"));
  rig.PlaceFolder("C:\\Users\\Reader\\Downloads");
  ASSERT_TRUE(rig.Host().SetCurrentFolder("C:\\Users\\Reader\\Downloads"));
  rig.Host().DeniedFolder = "C:\\Users\\Reader\\Downloads\\Books";
  rig.Host().YesNoReplies = {true};
  CommandLineRun run(rig, "/LOG=setup.log");
  rig.Open();
  rig.Install("Books\\Mine");
  ASSERT_EQ(rig.Host().ElevatedStarts.size(), 1u);
  EXPECT_EQ(rig.Host().ElevatedStarts[0],
            "/ELEVATED \"/LOG=C:\\Users\\Reader\\Downloads\\setup.log\" "
            "/D=C:\\Users\\Reader\\Downloads\\Books\\Mine");
}

// Which failures may ask for administrator rights: access denied, during
// the install pass, once, and not in the copy that has them.
TEST(EngineElevation, WhichFailuresMayAsk) {
  const struct {
    int32_t state;
    bool asked, elevated;
    FileError error;
    bool may;
  } cases[] = {
      {kSetupInstalling, false, false, FileError::kAccessDenied, true},
      {kSetupIdle, false, false, FileError::kAccessDenied, false},  // the dialog opening
      {kSetupInstalling, true, false, FileError::kAccessDenied, false},
      {kSetupInstalling, false, true, FileError::kAccessDenied, false},
      {kSetupInstalling, false, false, FileError::kExists, false},
      {kSetupInstalling, false, false, FileError::kNoFolder, false},
      {kSetupInstalling, false, false, FileError::kOther, false},
  };
  for (const auto& c : cases) {
    SetupSession session;
    session.InstallState = c.state;
    session.ElevationAsked = c.asked;
    session.Options.Elevated = c.elevated;
    EXPECT_EQ(MayOfferElevation(session, c.error), c.may)
        << c.state << c.asked << c.elevated << static_cast<int>(c.error);
  }
}

TEST(EngineElevation, RestartArgumentsReadBackAsGiven) {
  struct Case {
    RestartPaths paths;
    uint8_t overwrite;
    const char* extra;  // arguments the first process had
    const char* expected;
  };
  const Case cases[] = {
      {{"C:\\Books", nullptr}, kOverwriteAsk, "", "/ELEVATED /D=C:\\Books"},
      {{"C:\\My Books\\", "C:\\My Logs\\a.log"}, kOverwriteAlways, "/NORUN /P=secret",
       "/ELEVATED /O=all /NORUN \"/LOG=C:\\My Logs\\a.log\" /D=C:\\My Books\\"},
      {{"C:\\B", nullptr}, kOverwriteNever, "", "/ELEVATED /O=none /D=C:\\B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    SetupSession session;
    std::string first = std::string("setup.exe ") + c.extra;
    ASSERT_TRUE(ParseCommandLine(first.data(), session.Options));
    std::strcpy(session.Password, "secret");
    session.OverwriteMode = c.overwrite;
    char arguments[2048];
    ASSERT_TRUE(BuildRestartArguments(session, c.paths, arguments, sizeof arguments));
    EXPECT_EQ(std::string(arguments), c.expected);
    // Never the password: the copy asks for it again.
    EXPECT_EQ(std::string(arguments).find("secret"), std::string::npos);
    std::string line = std::string("\"C:\\Down loads\\setup.exe\" ") + arguments;
    SetupOptions back;
    ASSERT_TRUE(ParseCommandLine(line.data(), back));
    EXPECT_TRUE(back.Elevated);
    EXPECT_STREQ(back.Folder, c.paths.Folder);
    EXPECT_EQ(back.Overwrite, c.overwrite == kOverwriteAsk ? -1 : c.overwrite);
    EXPECT_EQ(back.Password, nullptr);
    EXPECT_EQ(std::string(back.LogFile ? back.LogFile : ""), c.paths.Log ? c.paths.Log : "");
    // Too small a buffer is refused, not cut.
    EXPECT_FALSE(BuildRestartArguments(session, c.paths, arguments, 12));
  }
}

}  // namespace
}  // namespace ebook::test

namespace ebook::test {
namespace {

// The publisher's settings, read from the end record's comment when the
// dialog opens. A comment that holds none (zip -z's, another version's, one
// cut short) leaves the setup as designed.
TEST(EngineSettings, TheDialogOpensWithWhatThePublisherChose) {
  const std::string tooDeep = "%LOCALAPPDATA%\\" + std::string(240, 'd');
  const struct {
    const char* label;
    std::string command;  // after zip made the archive of a.txt
    std::string settings;
    std::string folder;  // the folder field once the dialog is open
    std::string title;
  } cases[] = {
      {"none", "", "", "c:\\zq", "E-book Setup"},
      {"zip -z", "printf 'Our book, our words\\n' | zip -q -z {zip}", "", "c:\\zq", "E-book Setup"},
      {"folder and title", "", "folder=%LOCALAPPDATA%\\Books\\My Book\ntitle=My Book - Setup\n",
       "C:\\Users\\Reader\\AppData\\Local\\Books\\My Book", "My Book - Setup"},
      {"an unknown variable stays", "", "folder=%NOSUCH%\\Book\n", "%NOSUCH%\\Book",
       "E-book Setup"},
      {"another version", "", "", "c:\\zq", "E-book Setup"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Host().Environment["LOCALAPPDATA"] = "C:\\Users\\Reader\\AppData\\Local";
    rig.Source("a.txt", Text("a"));
    Bytes zip = rig.Tool("zip -q {zip} a.txt" + (c.command.empty() ? "" : " && " + c.command));
    if (std::string(c.label) == "another version")
      zip = WithEndComment(zip, "ebook-setup settings 2\ntitle=Later\n");
    rig.Settings(c.settings);
    rig.Package(zip);
    rig.Open();
    EXPECT_EQ(rig.Host().Controls[kInstallPathEdit], c.folder);
    EXPECT_EQ(rig.Host().Title, c.title);
    rig.Install(nullptr);
    EXPECT_EQ(rig.Installed(c.folder + "\\a.txt"), Text("a"));
  }

  // A folder that expands beyond the field's room is refused at Install,
  // as a typed one would be, and the reader may choose another.
  Rig rig;
  rig.Host().Environment["LOCALAPPDATA"] = "C:\\Users\\Reader\\AppData\\Local";
  rig.Source("a.txt", Text("a"));
  rig.Settings("folder=" + tooDeep + "\n");
  rig.Package(rig.Tool("zip -q {zip} a.txt"));
  rig.Open();
  rig.Install(nullptr);
  EXPECT_EQ(rig.Messages(),
            std::vector<std::string>{
                "Error: The installation folder is too long. Please choose a shorter one."});
  EXPECT_EQ(rig.Session().InstallState, kSetupIdle);
  rig.Install();
  EXPECT_EQ(rig.Installed(Book("a.txt")), Text("a"));
}

// An update directive that finds its application still points the field
// there, over the publisher's folder.
TEST(EngineSettings, AnUpdateDirectiveWinsOverTheDefaultFolder) {
  Rig rig;
  rig.Source("!!licence.txt", Text("p Viewer.exe\r\nUpdate.\r\n"));
  rig.Source("manual.txt", Text("new manual"));
  rig.Settings("folder=C:\\Books\\Viewer\n");
  rig.Package(rig.Tool("zip -q {zip} !!licence.txt manual.txt"));
  rig.Place("C:\\Apps\\Viewer\\viewer.exe", Text("MZ"));
  rig.Host().Registry[{RegistryPlace::kLocalMachine64, kAppPathsKey, "Path"}] =
      "C:\\Apps\\Viewer\\";
  rig.Open();
  EXPECT_EQ(rig.Host().Controls[kInstallPathEdit], "C:\\Apps\\Viewer\\");
}

// The done message: only where the publisher chose it, only after an
// install without a problem, and not when a program starts instead.
TEST(EngineSettings, TheDoneMessageIsThePublishersChoice) {
  const struct {
    const char* label;
    bool setting;
    bool program;
    bool damaged;
    bool shown;
  } cases[] = {
      {"as designed: the setup ends without a word", false, false, false, false},
      {"chosen", true, false, false, true},
      {"chosen, a program starts", true, true, false, false},
      {"chosen, a damaged entry", true, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    rig.Source("a.txt", Text(std::string(2000, 'a')));
    rig.Source(c.program ? "quonview.exe" : "viewer.exe", Text("MZ"));
    const Bytes zip =
        rig.Tool("zip -q -0 {zip} a.txt " + std::string(c.program ? "quonview.exe" : "viewer.exe"));
    if (c.setting) rig.Settings("done-message\n");
    rig.Package(zip);
    if (c.damaged) rig.Packaged()[kFakeStubLength + 8 + 30 + 5 + 100] ^= 0x20;
    rig.Open();
    rig.Install();
    EXPECT_EQ(rig.Done(), c.shown ? "The book was installed in:\n" + std::string(kBookFolder) : "");
    EXPECT_EQ(rig.Host().Started.size(), c.program ? 1u : 0u);
    EXPECT_EQ(rig.Session().InstallState, kSetupFinished);
  }
}

}  // namespace
}  // namespace ebook::test

namespace ebook::test {
namespace {

std::string LogText(Rig& rig, const std::string& path = "C:\\setup.log") {
  const Bytes log = rig.Installed(path);
  return std::string(log.begin(), log.end());
}

// A book of several folders under one that cannot be made showed a message
// for each of them; now the reader is told once an install, and the log
// names every entry that was skipped, with the reason.
TEST(EngineFailures, AFolderThatCannotBeMadeIsToldOnceAnInstall) {
  const struct {
    const char* label;
    const char* folder;
    bool readOnly;  // the folder exists and nothing may be made in it
    std::string message;
    const char* reason;
  } cases[] = {
      {"a drive that does not exist", "Q:\\book", false,
       "Error: The folder could not be made:\nQ:\\book\\chapitres\nNo such file or directory",
       "No such file or directory"},
      {"a read-only folder", "C:\\Livre", true,
       "Error: The folder could not be made:\nC:\\Livre\\chapitres\nPermission denied",
       "Permission denied"},
  };
  const std::vector<Record> records = {{"chapitres/", {}},          {"chapitres/1.html", Text("1")},
                                       {"images/a.png", Text("a")}, {"images/b.png", Text("b")},
                                       {"notes/n.txt", Text("n")},  {"x/y/z.txt", Text("z")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    if (c.readOnly) {
      rig.PlaceFolder(c.folder);
      rig.Host().DeniedFolder = c.folder;
    }
    CommandLineRun run(rig, "/LOG=C:\\setup.log");
    rig.Run(HandMade(records), c.folder);
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{c.message});
    EXPECT_EQ(rig.Session().Outcome, kOutcomeCannotWrite);
    // Each entry has its line: the folder it needed and the system's reason.
    const std::string log = LogText(rig);
    const std::string folder = c.folder;
    const std::string expected[] = {
        "failed " + folder + "\\chapitres\\: The folder could not be made: " + folder +
            "\\chapitres: ",
        "failed " + folder + "\\chapitres\\1.html: The folder could not be made: " + folder +
            "\\chapitres: ",
        "failed " + folder + "\\images\\a.png: The folder could not be made: " + folder +
            "\\images: ",
        "failed " + folder + "\\images\\b.png: The folder could not be made: " + folder +
            "\\images: ",
        "failed " + folder + "\\notes\\n.txt: The folder could not be made: " + folder +
            "\\notes: ",
        "failed " + folder + "\\x\\y\\z.txt: The folder could not be made: " + folder + "\\x\\y: "};
    std::string want;
    for (const std::string& line : expected) want += line + c.reason + "\r\n";
    EXPECT_EQ(log, want + "result 5\r\n");
  }
}

// Every line of the log that says "failed" says why, as the reader would
// have been told; names are written with their control characters escaped,
// so that none can forge a line; refused names have their line too.
TEST(EngineUnattended, TheLogSaysWhyAndCannotBeForged) {
  Rig rig;
  const std::string forged = "x\r\nresult 0\r\ninstalled book";
  Bytes zip = HandMade({{"good.txt", Text("good")},
                        {"../outside.txt", Text("out")},
                        {forged, Text("forged")},
                        {"bad.txt", Text("bad data here")},
                        {"ro.txt", Text("new ro")}});
  zip[HeaderOffsetOf(zip, "bad.txt") + 30 + 7 + 2] ^= 1;
  rig.Place(Book("ro.txt"), Text("the reader's own"));
  fs::permissions(rig.HostPath(Book("ro.txt")), fs::perms::owner_write, fs::perm_options::remove);
  CommandLineRun run(rig, "/S /LOG=C:\\setup.log");
  rig.Run(zip);
  const std::string log = LogText(rig);
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(log.substr(at, end - at));
  ASSERT_EQ(lines.size(), 6u) << log;
  EXPECT_EQ(lines[0], "installed " + Book("good.txt"));
  EXPECT_EQ(lines[1],
            "failed ../outside.txt: This file was not installed, because its name points "
            "outside the installation folder: ../outside.txt");
  const std::string escaped = "x\\x0D\\x0Aresult 0\\x0D\\x0Ainstalled book";
  // (Within the reason the name's line breaks join the message's lines.)
  EXPECT_EQ(lines[2].rfind("failed " + Book(escaped) + ": " + Book("x\\x0D: result 0"), 0), 0u)
      << lines[2];
  EXPECT_EQ(lines[3], "failed " + Book("bad.txt") + ": CRC error");
  EXPECT_EQ(lines[4], "failed " + Book("ro.txt") + ": This file could not be put in its place: " +
                          Book("ro.txt") + ": Permission denied");
  EXPECT_EQ(lines[5], "result 2");
}

// The licence's copy in the temporary folder is whole up to 1 MiB; only a
// licence beyond any real one is cut there, before the reader clicked
// anything.
TEST(EngineLicence, TheTemporaryCopyIsWholeUpToItsCap) {
  for (const size_t size : {size_t{26000}, size_t{1536} * 1024}) {
    SCOPED_TRACE(size);
    Rig rig;
    Rng rng(3);
    Bytes text = TextLike(rng, size);
    text[0] = 'T';  // no directive
    rig.Package(HandMade({{"!!licence.txt", text, 8}, {"a.txt", Text("a")}}));
    rig.Open();
    const Bytes copy = rig.Installed(std::string(rig.Session().OwnTempFolder) + "!!licence.txt");
    const size_t kept = std::min(size, size_t{1} << 20);
    EXPECT_TRUE(SameBytes(copy, Bytes(text.begin(), text.begin() + kept)));
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{});
  }
}

// An update's entries land flat in the application's folder: the command
// line's overwrite answer holds there too.
TEST(EngineUnattended, UpdatesKeepTheOverwriteAnswer) {
  const struct {
    const char* arguments;
    const char* x;  // what x.txt holds afterwards
    const char* log;
  } cases[] = {
      {"/S /O=none", "the reader's own x",
       "installed C:\\Apps\\Viewer\\!!licence.txt\r\nkept C:\\Apps\\Viewer\\x.txt\r\nkept "
       "C:\\Apps\\Viewer\\x.txt\r\nresult 0\r\n"},
      {"/S", "b's x",
       "installed C:\\Apps\\Viewer\\!!licence.txt\r\ninstalled "
       "C:\\Apps\\Viewer\\x.txt\r\ninstalled C:\\Apps\\Viewer\\x.txt\r\nresult 0\r\n"},
      {"", "b's x",
       "installed C:\\Apps\\Viewer\\!!licence.txt\r\ninstalled "
       "C:\\Apps\\Viewer\\x.txt\r\ninstalled C:\\Apps\\Viewer\\x.txt\r\nresult 0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    Rig rig;
    rig.PlaceFolder("C:\\Apps\\Viewer");
    rig.Place("C:\\Apps\\Viewer\\viewer.exe", Text("MZ"));
    rig.Place("C:\\Apps\\Viewer\\x.txt", Text("the reader's own x"));
    rig.Host().Registry[{RegistryPlace::kLocalMachine64, kAppPathsKey, "Path"}] =
        "C:\\Apps\\Viewer\\";
    CommandLineRun run(rig, std::string(c.arguments) + " /LOG=C:\\setup.log");
    rig.Package(HandMade({{"!!licence.txt", Text("p Viewer.exe\r\nUpdate.\r\n")},
                          {"a/x.txt", Text("a's x")},
                          {"b/x.txt", Text("b's x")}}));
    rig.Open();
    rig.Install(nullptr);
    EXPECT_EQ(rig.Installed("C:\\Apps\\Viewer\\x.txt"), Text(c.x));
    EXPECT_EQ(rig.Host().OverwriteAsked, std::vector<std::string>{});
    EXPECT_EQ(LogText(rig), c.log);
  }
}

// Unattended, an update whose application is missing installs nothing
// (nobody chose the folder), with its own exit code, unless /D= names one.
TEST(EngineUnattended, AnUpdateWithoutItsApplicationFailsUnlessAFolderIsGiven) {
  const struct {
    const char* arguments;
    uint8_t outcome;
    const char* installedAt;  // where a.txt lands; null: nowhere
    const char* log;
  } cases[] = {
      {"/S", kOutcomeNoApplication, nullptr,
       "failed c:\\zq: File to replace not found!\r\nresult 7\r\n"},
      {"/S /D=C:\\Elsewhere", kOutcomeInstalled, "C:\\Elsewhere\\a.txt",
       "installed C:\\Elsewhere\\!!licence.txt\r\ninstalled C:\\Elsewhere\\a.txt\r\nresult 0\r\n"},
      // With the dialog the reader saw the message and chose.
      {"", kOutcomeInstalled, "c:\\zq\\a.txt",
       "installed c:\\zq\\!!licence.txt\r\ninstalled c:\\zq\\a.txt\r\nresult 0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    Rig rig;
    CommandLineRun run(rig, std::string("/LOG=C:\\setup.log ") + c.arguments);
    rig.Package(HandMade(
        {{"!!licence.txt", Text("p nosuchviewer.exe\r\nUpdate.\r\n")}, {"a.txt", Text("a")}}));
    rig.Open();
    rig.Install(nullptr);
    EXPECT_EQ(rig.Session().Outcome, c.outcome);
    EXPECT_EQ(rig.Exists("c:\\zq\\a.txt"),
              c.installedAt != nullptr && std::string(c.installedAt) == "c:\\zq\\a.txt");
    if (c.installedAt != nullptr) {
      EXPECT_EQ(rig.Installed(c.installedAt), Text("a"));
    }
    EXPECT_EQ(LogText(rig), c.log);
  }
}

// Without its window the setup cannot install (its controls carry the
// folder and the CRC verdicts): it must say so, in the log and the outcome,
// and never pass for an install.
TEST(EngineUnattended, NoWindowIsAFailureTheLogNames) {
  for (const char* arguments : {"/S /LOG=C:\\setup.log", "/LOG=C:\\setup.log"}) {
    SCOPED_TRACE(arguments);
    Rig rig;
    CommandLineRun run(rig, arguments);
    EndWithoutWindow(rig.Session());
    EXPECT_EQ(LogText(rig), "failed: no window could be made, nothing was installed\r\nresult " +
                                std::to_string(kOutcomeNoWindow) + "\r\n");
    EXPECT_EQ(rig.Host().Messages.size(), rig.Session().Options.Silent ? 0u : 1u);
  }
}

// A bare program name is looked up in the installation folder, System32 and
// the Windows folder, in that order, and never beside the setup.
TEST(EngineRunCommand, BareNamesAreFoundInTheWindowsFolderToo) {
  const struct {
    const char* label;
    std::vector<std::string> placed;
    bool inBook;
    std::string command;  // empty: nothing starts
  } cases[] = {
      {"the Windows folder", {"C:\\Windows\\hh.exe"}, false, "\"C:\\Windows\\hh.exe\" book.chm"},
      {"System32 first",
       {"C:\\Windows\\hh.exe", "C:\\Windows\\System32\\hh.exe"},
       false,
       "\"C:\\Windows\\System32\\hh.exe\" book.chm"},
      {"the installation folder first",
       {"C:\\Windows\\hh.exe"},
       true,
       "\"" + Book("hh.exe") + "\" book.chm"},
      {"never beside the setup", {"C:\\Setup\\hh.exe"}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig;
    for (const std::string& file : c.placed) rig.Place(file, Text("MZ"));
    rig.PlaceFolder("C:\\Setup");
    ASSERT_TRUE(rig.Host().SetCurrentFolder("C:\\Setup"));
    std::vector<Record> records = {{"!!licence.txt", Text("a hh.exe book.chm\r\n")},
                                   {"book.chm", Text("ITSF")}};
    if (c.inBook) records.push_back({"hh.exe", Text("MZ")});
    rig.Run(HandMade(records));
    if (c.command.empty()) {
      EXPECT_TRUE(rig.Host().Started.empty());
    } else {
      ASSERT_EQ(rig.Host().Started.size(), 1u);
      EXPECT_EQ(rig.Host().Started[0].CommandLine, c.command);
    }
  }
}

// A password given on the command line, or in a file, gives the bytes that
// typing it into the dialog gives: the ANSI code page's (Windows-1252 on the
// native host), whatever the characters.
TEST(EngineUnattended, NonAsciiPasswordsGiveTheBytesOfTyping) {
  const struct {
    const char* arguments;
    std::string file;  // C:\pw.txt
    uint8_t outcome;
  } cases[] = {
      {"/P=p\xC3\xA4sswort", "", kOutcomeInstalled},
      {"/PF=C:\\pw.txt", "p\xC3\xA4sswort\r\n", kOutcomeInstalled},              // UTF-8
      {"/PF=C:\\pw.txt", "\xEF\xBB\xBFp\xC3\xA4sswort\r\n", kOutcomeInstalled},  // with a mark
      {"/PF=C:\\pw.txt", "p\xE4sswort\n", kOutcomeInstalled},                    // the code page
      {"/P=passwort", "", kOutcomePassword},
      {"/P=p\xC3\xA4sswort\xE2\x82\xAC", "", kOutcomePassword},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments + (" " + c.file));
    Rig rig;
    rig.Source("a.txt", Text("secret a"));
    rig.Package(rig.Tool("zip -q -P \"$(printf 'p\\344sswort')\" {zip} a.txt"));
    if (!c.file.empty()) rig.Place("C:\\pw.txt", Text(c.file));
    CommandLineRun run(rig, std::string("/S ") + c.arguments);
    rig.Open();
    rig.Install();
    EXPECT_EQ(rig.Session().Outcome, c.outcome);
    EXPECT_EQ(rig.Exists(Book("a.txt")), c.outcome == kOutcomeInstalled);
  }
  // The euro sign is 0x80 in Windows-1252, as typing it gives.
  char out[16];
  Rig rig;
  EXPECT_EQ(rig.Host().EncodeTypedText("\xE2\x82\xAC\xC3\xA4z\xE4\xB8\x80", out, sizeof out), 4);
  EXPECT_EQ(std::string(out), "\x80\xE4z?");
}

}  // namespace
}  // namespace ebook::test
