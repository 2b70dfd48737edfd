#include "win32_text.h"

namespace ebook::win32 {
namespace {

// CreateDirectoryW refuses classic paths of MAX_PATH - 12 characters and
// more (room for an 8.3 name inside), so the long form starts there.
constexpr DWORD kClassicPathLimit = MAX_PATH - 12;

}  // namespace

int32_t Utf8ToWide(std::string_view text, wchar_t* out, int32_t outCount) {
  if (outCount <= 0) return -1;
  if (text.empty()) {
    out[0] = L'\0';
    return 0;
  }
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out,
                              outCount - 1);
  if (n <= 0) {
    out[0] = L'\0';
    return -1;
  }
  out[n] = L'\0';
  return n;
}

// The system's own converter: it turns a lone surrogate into U+FFFD, as the
// engine's UTF-8 wants, and costs the stub no code of its own.
int32_t Utf8LengthOf(const wchar_t* text, int32_t length) {
  return length > 0 ? WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr)
                    : 0;
}

int32_t WideToUtf8(const wchar_t* text, int32_t length, char* out, int32_t outSize) {
  if (outSize <= 0) return -1;
  // The system's converter (a lone surrogate becomes U+FFFD); a text that
  // does not fit loses a character at a time, never half a surrogate pair.
  int n = 0;
  while (length > 0 && (n = WideCharToMultiByte(CP_UTF8, 0, text, length, out, outSize - 1, nullptr,
                                                nullptr)) == 0) {
    --length;
    if (length > 0 && (text[length - 1] & 0xFC00) == 0xD800) --length;
  }
  out[n] = '\0';
  return n;
}

bool ToFilePath(std::string_view path, wchar_t* out, int32_t outCount) {
  wchar_t given[kWidePathSize];
  if (Utf8ToWide(path, given, kWidePathSize) < 0) return false;
  const wchar_t* prefix = L"";
  const wchar_t* rest = given;
  wchar_t full[kWidePathSize];
  // A path already in a device or long form is taken as it is.
  const bool literal = given[0] == L'\\' && given[1] == L'\\' &&
                       (given[2] == L'?' || given[2] == L'.') && given[3] == L'\\';
  if (!literal) {
    DWORD n = GetFullPathNameW(given, kWidePathSize, full, nullptr);
    if (n == 0 || n >= static_cast<DWORD>(kWidePathSize)) return false;
    rest = full;
    if (n >= kClassicPathLimit) {
      const bool unc = full[0] == L'\\' && full[1] == L'\\';
      prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
      if (unc) rest = full + 1;  // \\server\share becomes \\?\UNC\server\share
    }
  }
  if (lstrlenW(prefix) + lstrlenW(rest) >= outCount) return false;
  *out = L'\0';
  AppendWide(AppendWide(out, prefix), rest);
  return true;
}

wchar_t* AppendWide(wchar_t* text, const wchar_t* more) {
  while (*text != L'\0') ++text;
  while ((*text = *more++) != L'\0') ++text;
  return text;
}

}  // namespace ebook::win32
