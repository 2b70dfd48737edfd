// The Win32 layer's own work, run under Wine: text conversion, the long
// path form, and file operations on paths past 260 characters.
#include "win32_platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/setup_flow.h"
#include "dialogs.h"
#include "win32_text.h"

namespace ebook::win32 {
namespace {

std::string Utf8(const std::wstring& wide) {
  char out[4096];
  WideToUtf8(wide.c_str(), static_cast<int32_t>(wide.size()), out, sizeof out);
  return out;
}

std::wstring Wide(const std::string& utf8) {
  wchar_t out[4096];
  EXPECT_GE(Utf8ToWide(utf8, out, 4096), 0);
  return out;
}

TEST(Win32Text, RoundTripsAndReplacement) {
  const struct {
    std::wstring wide;
    std::string utf8;
  } cases[] = {
      {L"plain", "plain"},
      {L"caf\u00E9", "caf\xC3\xA9"},
      {L"\u65E5\u672C\u8A9E", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {L"\xD83D\xDCD6", "\xF0\x9F\x93\x96"},  // a book, beyond the BMP
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8(c.wide), c.utf8);
    EXPECT_EQ(Wide(c.utf8), c.wide);
    EXPECT_EQ(Utf8LengthOf(c.wide.c_str(), static_cast<int32_t>(c.wide.size())),
              static_cast<int32_t>(c.utf8.size()));
  }
  EXPECT_EQ(Utf8(std::wstring(L"a\xD800z")), "a\xEF\xBF\xBDz") << "a lone surrogate";
  EXPECT_EQ(Wide("a\xC3(z"), std::wstring(L"a\xFFFD(z")) << "ill-formed UTF-8";
}

TEST(Win32Text, CutsOnlyBetweenWholeCharacters) {
  const std::wstring text = L"ab\u65E5\u672C";  // 2 + 3 + 3 bytes
  char out[8];
  EXPECT_EQ(WideToUtf8(text.c_str(), 4, out, 8), 5);
  EXPECT_STREQ(out, "ab\xE6\x97\xA5");
  EXPECT_EQ(WideToUtf8(text.c_str(), 4, out, 5), 2);
  EXPECT_STREQ(out, "ab");
  wchar_t wide[3];
  EXPECT_EQ(Utf8ToWide("abcd", wide, 3), -1) << "does not fit with its NUL";
  EXPECT_EQ(wide[0], L'\0');
}

TEST(Win32Text, LongPathsTakeTheLongForm) {
  const std::string folder(300, 'f');
  const struct {
    std::string given;
    std::wstring expected;
  } cases[] = {
      {"C:\\books\\a.txt", L"C:\\books\\a.txt"},
      {"C:/books/./x/../a.txt", L"C:\\books\\a.txt"},
      {"C:\\" + folder + "\\a.txt", L"\\\\?\\C:\\" + Wide(folder) + L"\\a.txt"},
      {"\\\\server\\share\\" + folder, L"\\\\?\\UNC\\server\\share\\" + Wide(folder)},
      {"\\\\?\\C:\\kept as it is\\..", L"\\\\?\\C:\\kept as it is\\.."},
  };
  for (const auto& c : cases) {
    wchar_t out[kWidePathSize];
    ASSERT_TRUE(ToFilePath(c.given, out, kWidePathSize)) << c.given;
    EXPECT_EQ(std::wstring(out), c.expected) << c.given;
  }
  wchar_t small[16];
  EXPECT_FALSE(ToFilePath("C:\\books\\chapter-one.htm", small, 16));
}

// A folder chain and a file whose path is far longer than 260 characters,
// made, found, written and read back through the platform layer.
TEST(Win32Platform, FilesPastTheClassicPathLimit) {
  Win32Platform host(GetModuleHandleW(nullptr));
  char temp[512];
  const int32_t t = host.TempFolder(temp, sizeof temp);
  ASSERT_GT(t, 0);
  std::string root = std::string(temp) + "ebook-long-\xE6\x97\xA5\xE6\x9C\xAC";
  std::string folder = root;
  for (int i = 0; i < 6; ++i) folder += "\\" + std::string(60, static_cast<char>('a' + i));
  const std::string file = folder + "\\chapter \xE8\xAA\x9E.htm";
  ASSERT_GT(file.size(), 400u);

  MakeAllFolders(host, folder);
  char probe[1100];
  std::snprintf(probe, sizeof probe, "%s", folder.c_str());
  EXPECT_TRUE(PathExists(host, probe));
  FileHandle out = host.CreateFileForWrite(file);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(host.WriteFile(out, "page", 4), 4);
  EXPECT_TRUE(host.CloseFile(out));
  EXPECT_TRUE(host.FindAny(file));
  FileHandle in = host.OpenFileForRead(file);
  ASSERT_NE(in, nullptr);
  char back[8] = {};
  EXPECT_EQ(host.ReadFile(in, back, sizeof back), 4);
  EXPECT_STREQ(back, "page");
  EXPECT_EQ(host.FileSize(in), 4u);
  EXPECT_EQ(host.SeekFile(in, 2), 2u);
  EXPECT_EQ(host.ReadFile(in, back, 2), 2);
  EXPECT_TRUE(host.CloseFile(in));

  // Clean up deepest first; the long form again, as the shell would fail.
  wchar_t wide[kWidePathSize];
  ASSERT_TRUE(ToFilePath(file, wide, kWidePathSize));
  EXPECT_TRUE(DeleteFileW(wide));
  for (std::string f = folder; f.size() >= root.size(); f.resize(f.rfind('\\'))) {
    ASSERT_TRUE(ToFilePath(f, wide, kWidePathSize));
    EXPECT_TRUE(RemoveDirectoryW(wide)) << f;
  }
}

// A temporary folder of the test's own, removed with what is in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(Win32Platform& host, const char* name) {
    char temp[512];
    EXPECT_GT(host.TempFolder(temp, sizeof temp), 0);
    path_ = std::string(temp) + name;
    EXPECT_TRUE(host.CreateFolder(path_));
  }
  ~ScratchFolder() {
    for (const std::string& file : files_) {
      const std::wstring wide = Wide(file);
      SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(wide.c_str());
    }
    RemoveDirectoryW(Wide(path_).c_str());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  // A file in the folder, written with `content` unless that is null.
  std::string File(Win32Platform& host, const std::string& name, const char* content) {
    const std::string file = path_ + "\\" + name;
    files_.push_back(file);
    if (content != nullptr) {
      FileHandle out = host.CreateFileForWrite(file);
      EXPECT_NE(out, nullptr) << file;
      if (out != nullptr) {
        const int32_t n = static_cast<int32_t>(std::strlen(content));
        EXPECT_EQ(host.WriteFile(out, content, n), n);
        EXPECT_TRUE(host.CloseFile(out));
      }
    }
    return file;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

std::string Contents(Win32Platform& host, const std::string& file) {
  FileHandle in = host.OpenFileForRead(file);
  if (in == nullptr) return "<missing>";
  char buffer[64] = {};
  host.ReadFile(in, buffer, sizeof buffer - 1);
  host.CloseFile(in);
  return buffer;
}

// A reason is one line: no final full stop, line break or space.
void ExpectReason(const char* reason, int32_t length) {
  EXPECT_GT(length, 0);
  EXPECT_EQ(static_cast<size_t>(length), std::strlen(reason));
  if (length > 0) {
    const char last = reason[length - 1];
    EXPECT_TRUE(last != '.' && last != '\r' && last != '\n' && last != ' ') << reason;
  }
  EXPECT_EQ(std::strchr(reason, '\n'), nullptr) << reason;
}

// A verified file replaces the one in place in one step; a read-only file
// or a folder in the way is left as it was, with the system's reason.
TEST(Win32Platform, MovesIntoPlaceOverAnExistingFile) {
  Win32Platform host(GetModuleHandleW(nullptr));
  ScratchFolder folder(host, "ebook-move-\xE6\x97\xA5");
  const std::string book = folder.File(host, "book \xE8\xAA\x9E.txt", "old");
  // A file another program holds open (without sharing deletion) cannot be
  // replaced. (Wine, unlike Windows, replaces read-only files, so that case
  // is left to the native host's tests.)
  const std::string inUse = folder.File(host, "in use.txt", "in use");
  HANDLE held = CreateFileW(Wide(inUse).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const std::string sub = folder.Path() + "\\sub";
  ASSERT_TRUE(host.CreateFolder(sub));
  const struct {
    std::string target;
    bool moved;
    const char* after;  // the target's contents afterwards
  } cases[] = {
      {book, true, "new"},
      {folder.Path() + "\\fresh.txt", true, "new"},
      {inUse, false, "in use"},
      {sub, false, "<missing>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    if (c.moved) folder.File(host, c.target.substr(folder.Path().size() + 1), nullptr);
    const std::string part = folder.File(host, "~part", "new");
    EXPECT_EQ(host.MoveIntoPlace(part, c.target), c.moved);
    // Asked first: reading the contents closes a file, which forgets it.
    char reason[256];
    const int32_t length = host.LastErrorText(reason, sizeof reason);
    EXPECT_EQ(Contents(host, c.target), c.after);
    EXPECT_EQ(host.FindAny(part), !c.moved);
    if (c.moved) {
      EXPECT_EQ(length, 0) << reason;
    } else {
      ExpectReason(reason, length);
      EXPECT_TRUE(host.RemoveFile(part));
      EXPECT_FALSE(host.FindAny(part));
    }
  }
  EXPECT_FALSE(host.RemoveFile(folder.Path() + "\\gone.txt"));
  CloseHandle(held);
  RemoveDirectoryW(Wide(sub).c_str());
}

// The reason of a failed call outlasts the probes after it, and a
// successful file call forgets it.
TEST(Win32Platform, LastErrorTextTellsWhyAFolderWasNotMade) {
  Win32Platform host(GetModuleHandleW(nullptr));
  char reason[256] = "stale";
  EXPECT_EQ(host.LastErrorText(reason, sizeof reason), 0) << "nothing failed yet";
  EXPECT_STREQ(reason, "");
  ScratchFolder folder(host, "ebook-reason");
  EXPECT_FALSE(host.CreateFolder(folder.Path() + "\\missing\\child"));
  EXPECT_FALSE(host.FindAny(folder.Path() + "\\missing"));
  const int32_t length = host.LastErrorText(reason, sizeof reason);
  ExpectReason(reason, length);
  char small[6];
  EXPECT_LT(host.LastErrorText(small, sizeof small), 6) << "cut to the buffer";
  EXPECT_FALSE(host.CreateFolder(folder.Path()));  // exists already: another reason
  char again[256];
  ExpectReason(again, host.LastErrorText(again, sizeof again));
  EXPECT_STRNE(again, reason);
  folder.File(host, "ok.txt", "fine");
  EXPECT_EQ(host.LastErrorText(reason, sizeof reason), 0);
}

// The hidden entry list as the dialog holds it: items in the order added,
// read back with their marks.
TEST(Win32Platform, ReadsListItemsBackWithTheirMarks) {
  // A message-only list box (no display is needed), found by its control
  // number under its parent as the dialog's is.
  HWND list = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | LBS_MULTIPLESEL | LBS_HASSTRINGS, 0,
                              0, 50, 50, HWND_MESSAGE, reinterpret_cast<HMENU>(kEntryList),
                              GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(list, nullptr) << GetLastError();
  HWND dialog = GetAncestor(list, GA_PARENT);
  ASSERT_EQ(GetDlgItem(dialog, kEntryList), list);
  Win32Platform host(GetModuleHandleW(nullptr));
  host.AttachDialog(dialog);
  const std::string names[] = {"z.txt", "docs/\xE6\x97\xA5\xE6\x9C\xAC.htm", "a.txt"};
  for (const std::string& name : names) host.ListAdd(name);
  host.ListSelectAll();
  host.ListSetSelected(1, false);
  const struct {
    int32_t index;
    int32_t size;
    int32_t length;
    std::string text;
    bool selected;
  } reads[] = {
      {0, 64, 5, "z.txt", true},
      {1, 64, 15, names[1], false},
      {2, 64, 5, "a.txt", true},
      {1, 8, 5, "docs/", false},  // cut between whole characters
      {3, 64, -1, "", false},
      {-1, 64, -1, "", false},
  };
  for (const auto& r : reads) {
    SCOPED_TRACE(r.index);
    char text[64] = "stale";
    bool selected = !r.selected;
    EXPECT_EQ(host.ReadListItem(r.index, text, r.size, selected), r.length);
    EXPECT_EQ(std::string(text), r.text);
    EXPECT_EQ(selected, r.selected);
  }
  DestroyWindow(list);
}

TEST(Win32Platform, StoredNamesFollowTheirFlag) {
  Win32Platform host(GetModuleHandleW(nullptr));
  char out[64];
  EXPECT_EQ(host.DecodeStoredText("\xE6\x97\xA5.txt", true, out, sizeof out), 7);
  EXPECT_STREQ(out, "\xE6\x97\xA5.txt");
  EXPECT_EQ(host.DecodeStoredText("\xE6\x97\xA5.txt", true, out, 5), -1) << "does not fit";
  // What the ANSI functions would make of the bytes is the system's code
  // page; the prefix here runs the Western European one.
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
  EXPECT_EQ(host.DecodeStoredText("caf\xE9 \x80", false, out, sizeof out), 9);
  EXPECT_STREQ(out, "caf\xC3\xA9 \xE2\x82\xAC");
}


// An unattended setup whose archive cannot be read: the dialog opens, the
// install runs from WM_INITDIALOG, finishes at once, and the dialog ends.
// EndDialog's hide sends WM_WINDOWPOSCHANGING back to the dialog; ending
// again from there nested the hides hundreds deep. Counted by a hook on
// this thread's sent messages; message-only windows need no display.
HHOOK g_hook = nullptr;
int g_hides = 0;

LRESULT CALLBACK CountPositionChanges(int code, WPARAM wParam, LPARAM lParam) {
  const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && sent->message == WM_WINDOWPOSCHANGING) ++g_hides;
  return CallNextHookEx(g_hook, code, wParam, lParam);
}

TEST(Win32Dialogs, TheMainDialogEndsOnce) {
  Win32Platform host(GetModuleHandleW(nullptr));
  host.Quiet = true;
  SetupSession session;
  session.Host = &host;
  session.Options.Silent = true;
  MainDialogContext context{&session, &host};
  // No controls: the folder field reads as empty and the current folder
  // is taken; the archive handle is null, so both passes stop at their
  // start checks without a word.
  struct {
    DLGTEMPLATE dialog;
    WORD menu, windowClass, title;
  } layout = {{WS_CHILD, 0, 0, 0, 0, 100, 100}, 0, 0, 0};
  g_hook = SetWindowsHookExW(WH_CALLWNDPROC, CountPositionChanges, nullptr, GetCurrentThreadId());
  ASSERT_NE(g_hook, nullptr) << GetLastError();
  HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), &layout.dialog, HWND_MESSAGE,
                                           MainDialogProc, reinterpret_cast<LPARAM>(&context));
  UnhookWindowsHookEx(g_hook);
  ASSERT_NE(dialog, nullptr) << GetLastError();
  EXPECT_EQ(session.InstallState, kSetupEnded);
  EXPECT_EQ(session.Outcome, kOutcomeDamaged);
  EXPECT_LE(g_hides, 2) << "WM_WINDOWPOSCHANGING sent while the dialog ended";
  DestroyWindow(dialog);
}

}  // namespace
}  // namespace ebook::win32
