// The Win32 layer's own work, run under Wine: text conversion, the long
// path form, and file operations on paths past 260 characters.
#include "win32_platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "core/paths.h"
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

}  // namespace
}  // namespace ebook::win32
