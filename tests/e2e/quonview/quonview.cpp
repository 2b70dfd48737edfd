// Stand-in for the reading program that a setup starts after installing:
// it records how it was started, its command line on the first line and its
// current folder on the second, in UTF-8, in a file named like itself plus
// ".started". It has no window, so it never shows among the setup's dialogs.

#include <windows.h>

#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Long enough for the tests' deep install folders.
  static wchar_t module[32768];
  static wchar_t folder[32768];
  GetModuleFileNameW(nullptr, module, 32768);
  GetCurrentDirectoryW(32768, folder);
  std::wstring record = std::wstring(module) + L".started";
  if (record.size() >= MAX_PATH && record.compare(0, 4, L"\\\\?\\") != 0)
    record = L"\\\\?\\" + record;
  std::string text = Utf8(GetCommandLineW()) + "\n" + Utf8(folder) + "\n";
  HANDLE file = CreateFileW(record.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
