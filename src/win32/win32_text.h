// Text between the engine (UTF-8) and the wide Win32 functions.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

namespace ebook::win32 {

// Room for any path the engine builds, in wide characters, with the "\\?\UNC\"
// prefix that long paths take.
inline constexpr int kWidePathSize = 2048;

// UTF-8 to UTF-16 into `out` (`outCount` characters with the NUL); ill-formed
// sequences become U+FFFD. Returns the length, or -1 (and an empty text) when
// it does not fit.
int32_t Utf8ToWide(std::string_view text, wchar_t* out, int32_t outCount);

// UTF-16 to UTF-8 into `out`, NUL-terminated. A text that does not fit is cut
// at the last whole character that fits. Returns the length written.
int32_t WideToUtf8(const wchar_t* text, int32_t length, char* out, int32_t outSize);

// The length `text` needs in UTF-8, without the NUL.
int32_t Utf8LengthOf(const wchar_t* text, int32_t length);

// A path for the W file functions: made absolute, and in the "\\?\" form when
// it is too long for the classic one (the form that lifts the 260-character
// limit). False when it does not fit `out`.
bool ToFilePath(std::string_view path, wchar_t* out, int32_t outCount);

// Appends `more` to the NUL-terminated `text`, which must have room; returns
// the new end. (Two imports fewer than lstrcpyW and lstrcatW.)
wchar_t* AppendWide(wchar_t* text, const wchar_t* more);

}  // namespace ebook::win32
