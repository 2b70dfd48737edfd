#include "paths.h"

#include <cstring>

namespace ebook {
namespace {

constexpr uint16_t kMaxTextCount = 0xFFFF;

bool IsSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

// 1-based position of the last separator; 0 when there is none.
size_t LastSeparator(std::string_view s) {
  for (size_t i = s.size(); i > 0; --i)
    if (IsSeparator(s[i - 1])) return i;
  return 0;
}

// DirectoryOfPath always answers a leading part of its argument.
size_t DirectoryLength(std::string_view s) {
  if (s.size() == 3 && s.find(':') != std::string_view::npos) return 3;
  size_t n = LastSeparator(s);
  if (n == 0) return 0;
  if (s[n - 1] == ':') return n;
  if (n == 3 && s[1] == ':') return 3;
  return n - 1;
}

int32_t Emit(std::string_view text, char* out, int32_t outSize) {
  if (outSize <= 0) return -1;
  if (text.size() >= static_cast<size_t>(outSize)) {
    out[0] = '\0';
    return -1;
  }
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return static_cast<int32_t>(text.size());
}

// `s` holds `length` characters of the private copy; the character at
// `length` is borrowed for the zero the platform calls need. Every level
// works on a leading part of the same copy, since the parent of a path is
// one. False when a level could not be created.
bool MakeFoldersIn(Platform& host, char* s, size_t length) {
  if (length > 0 && s[length - 1] == '\\') --length;
  if (length < 3) return true;
  const char borrowed = s[length];
  s[length] = '\0';
  bool done = PathExists(host, s);
  s[length] = borrowed;
  if (done) return true;
  // A name that is its own parent (x:y, or one ending in a colon) has no
  // parent to make first; recursing on it would never end.
  size_t parent = DirectoryLength(std::string_view(s, length));
  if (parent < length && !MakeFoldersIn(host, s, parent)) return false;
  return host.CreateFolder(std::string_view(s, length));
}

}  // namespace

uint16_t ZTextLength(const char* text) {
  uint16_t n = 0;
  while (n < kMaxTextCount && text[n] != '\0') ++n;
  return n;
}

bool JoinText(char* out, size_t size, std::initializer_list<std::string_view> pieces) {
  size_t n = 0;
  bool whole = true;
  for (std::string_view piece : pieces) {
    size_t take = piece.size();
    if (take > size - 1 - n) take = size - 1 - n, whole = false;
    std::memcpy(out + n, piece.data(), take);
    n += take;
  }
  out[n] = '\0';
  return whole;
}

int32_t DirectoryOfPath(std::string_view path, char* out, int32_t outSize) {
  return Emit(TextPart(path, 0, DirectoryLength(path)), out, outSize);
}

std::string_view NameOfPath(std::string_view path) {
  return TextPart(path, LastSeparator(path));
}

char* SlashesToBackslashesInPlace(char* text) {
  for (char* p = text; *p != '\0'; ++p)
    if (*p == '/') *p = '\\';
  return text;
}

bool PathExists(Platform& host, char* path) {
  const uint16_t length = ZTextLength(path);
  if (length == 0 || length == kMaxTextCount) return false;
  if (path[length - 1] != '\\') {
    SlashesToBackslashesInPlace(path);
    return host.FindAny(std::string_view(path, length));
  }
  constexpr char kAll[] = "*.*";
  char probe[kPathProbeSize];
  if (length + sizeof kAll > sizeof probe) return false;
  std::memcpy(probe, path, length);
  std::memcpy(probe + length, kAll, sizeof kAll);
  SlashesToBackslashesInPlace(probe);
  return host.FindAny(std::string_view(probe, length + sizeof kAll - 1));
}

bool MakeAllFolders(Platform& host, std::string_view folder) {
  char copy[kFolderTextSize];
  if (Emit(folder, copy, sizeof copy) < 0) return true;
  return MakeFoldersIn(host, copy, folder.size());
}

bool MakeTargetFolder(Platform& host, std::string_view targetPath, bool* refused) {
  const std::string_view folder = TextPart(targetPath, 0, DirectoryLength(targetPath));
  char copy[kFolderTextSize];
  const bool created = MakeAllFolders(host, folder);
  // Judged by what is there: a level made meanwhile by someone else counts.
  const bool exists = Emit(folder, copy, sizeof copy) >= 0 && PathExists(host, copy);
  if (refused != nullptr) *refused = !created && !exists;
  return exists;
}

bool IsWindowsDeviceName(std::string_view part) {
  // The stem: before the first dot, without the spaces Windows drops.
  size_t n = part.find('.');
  if (n == std::string_view::npos) n = part.size();
  while (n > 0 && part[n - 1] == ' ') --n;
  // The longest device stem is "conout$".
  if (n < 3 || n > 7) return false;
  char lower[7];
  for (size_t i = 0; i < n; ++i) {
    const char c = part[i];
    lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
  }
  if (std::memcmp(lower, "com", 3) == 0 || std::memcmp(lower, "lpt", 3) == 0) {
    if (n == 4) return lower[3] >= '1' && lower[3] <= '9';
    // Windows counts the superscript digits of Latin-1 as port numbers too:
    // U+00B9, U+00B2 and U+00B3, here in UTF-8. No other superscript does.
    return n == 5 && lower[3] == '\xC2' &&
           (lower[4] == '\xB9' || lower[4] == '\xB2' || lower[4] == '\xB3');
  }
  static constexpr char kNames[] = "con\0prn\0aux\0nul\0conin$\0conout$";
  for (const char* name = kNames; name < kNames + sizeof kNames; name += std::strlen(name) + 1) {
    if (std::strlen(name) == n && std::memcmp(name, lower, n) == 0) return true;
  }
  return false;
}

bool IsSafeEntryName(std::string_view name) {
  if (name.empty()) return true;
  if (name[0] == '\\' || name[0] == '/') return false;
  if (name.find(':') != std::string_view::npos) return false;
  if (name.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    // Windows drops trailing dots and spaces from a path part, so "a." or
    // "a " would be written as "a", somewhere the name does not say (and ". ."
    // or "... " as the parent folder). Only a plain "." keeps its meaning.
    // An empty part (what a folder entry's trailing separator leaves, or a
    // doubled separator, which Windows folds) adds no name.
    const std::string_view part = TextPart(name, start, end - start);
    if (!part.empty() && part != "." && (part.back() == '.' || part.back() == ' ')) return false;
    if (IsWindowsDeviceName(part)) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace ebook
