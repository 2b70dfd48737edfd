#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/host_os.h"
#include "win32/file_error.h"

namespace ebook::os {
namespace {

thread_local DWORD gError = 0;

template <typename T>
T Failed(T result) {
  gError = GetLastError();
  if (gError == 0) gError = ERROR_GEN_FAILURE;
  return result;
}

// 100 ns ticks from 1601 to 1970.
constexpr int64_t kUnixEpochTicks = 116444736000000000;

int64_t Ticks(const FILETIME& t) {
  return static_cast<int64_t>(uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime);
}

void Fill(DWORD attributes, const FILETIME& written, uint64_t size, FileInfo& info) {
  info.IsFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.IsRegular = !info.IsFolder && (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
  info.ReadOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.Size = info.IsFolder ? 0 : size;
  const int64_t ticks = Ticks(written);
  info.ModStamp = ticks;
  const int64_t since = ticks - kUnixEpochTicks;
  info.ModTime = static_cast<std::time_t>(since >= 0 ? since / 10000000 : (since - 9999999) / 10000000);
  // The modes a Linux folder gets with the usual umask, so that the same
  // book gives the same archive on both systems.
  info.Mode = info.IsFolder ? 0040755 : info.ReadOnly ? 0100444 : 0100644;
}

bool StatWith(const std::string& path, FileInfo& info, bool follow) {
  const std::wstring wide = LongPath(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return Failed(false);
  info = FileInfo{};
  const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (link && follow) {
    // A link tells about itself; what it points to needs opening.
    HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Failed(false);
    BY_HANDLE_FILE_INFORMATION by;
    const bool ok = GetFileInformationByHandle(h, &by) != 0;
    CloseHandle(h);
    if (!ok) return Failed(false);
    Fill(by.dwFileAttributes, by.ftLastWriteTime,
         uint64_t{by.nFileSizeHigh} << 32 | by.nFileSizeLow, info);
    return true;
  }
  Fill(data.dwFileAttributes, data.ftLastWriteTime,
       uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow, info);
  info.IsLink = link && !follow;
  return true;
}

HANDLE H(Fd fd) { return reinterpret_cast<HANDLE>(fd); }

}  // namespace

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) {
    // Not UTF-8: each byte as the character of the same value, so the
    // file named is at worst one that does not exist.
    return std::wstring(utf8.begin(), utf8.end());
  }
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                                    static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return "\xFF(a name with a lone UTF-16 surrogate)";
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

std::wstring LongPath(const std::string& utf8) {
  std::wstring wide = Wide(utf8);
  if (wide.empty()) return wide;
  if (wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0) return wide;
  // GetFullPathNameW turns / into \, resolves . and .., and makes the path
  // absolute; \\?\ then lifts MAX_PATH, which it would otherwise impose.
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

ErrorCode LastError() { return static_cast<ErrorCode>(gError); }
void SetError(ErrorCode code) { gError = static_cast<DWORD>(code); }
void ClearError() { gError = 0; }

std::string ErrorText(ErrorCode code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason;
  if (n != 0 && text != nullptr) reason = Utf8(std::wstring(text, n));
  if (text != nullptr) LocalFree(text);
  // The system's sentence, without its full stop and line end, reads as
  // the reason after a colon.
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.'))
    reason.pop_back();
  if (reason.empty()) reason = "error " + std::to_string(code);
  return reason;
}

std::string LastErrorText(const char* fallback) {
  if (gError != 0) return ErrorText(static_cast<ErrorCode>(gError));
  return fallback != nullptr ? fallback : ErrorText(ERROR_IO_DEVICE);
}

void NoteStdioFailure() {
  if (gError == 0) gError = GetLastError();
  // The C library keeps the system's code of its own failed calls, which
  // its clean-up after a failed write may have cleared from GetLastError.
  if (gError == 0) gError = static_cast<DWORD>(_doserrno);
}

ErrorCode InvalidNameError() { return ERROR_INVALID_NAME; }
ErrorCode AccessDeniedError() { return ERROR_ACCESS_DENIED; }
ErrorCode IsFolderError() { return ERROR_ACCESS_DENIED; }
ErrorCode NotFoundError() { return ERROR_FILE_NOT_FOUND; }
ErrorCode PathNotFoundError() { return ERROR_PATH_NOT_FOUND; }
ErrorCode NotAFolderError() { return ERROR_PATH_NOT_FOUND; }
ErrorCode ExistsError() { return ERROR_ALREADY_EXISTS; }

// As the stub's Win32 layer sorts them.
FileError KindOf(ErrorCode code) { return win32::FileErrorOfCode(static_cast<DWORD>(code)); }

bool Stat(const std::string& path, FileInfo& info) { return StatWith(path, info, true); }
bool LinkStat(const std::string& path, FileInfo& info) { return StatWith(path, info, false); }

bool Exists(const std::string& path) {
  return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SameFile(const std::string& a, const std::string& b) {
  auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& by) {
    HANDLE h = CreateFileW(LongPath(path).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &by) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION x, y;
  return identity(a, x) && identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

Fd OpenRead(const std::string& path, bool anyKind) {
  HANDLE h = CreateFileW(LongPath(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed(kNoFile);
  if (!anyKind && GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    SetError(ERROR_ACCESS_DENIED);
    return kNoFile;
  }
  return reinterpret_cast<Fd>(h);
}

Fd CreateWrite(const std::string& path, bool onlyNew) {
  HANDLE h = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         onlyNew ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed(kNoFile);
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    SetError(ERROR_ACCESS_DENIED);
    return kNoFile;
  }
  return reinterpret_cast<Fd>(h);
}

int64_t Read(Fd fd, void* buffer, size_t count) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(count > 0x40000000 ? 0x40000000 : count);
  if (!ReadFile(H(fd), buffer, want, &got, nullptr)) {
    if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) return 0;
    return Failed(int64_t{-1});
  }
  return got;
}

int64_t ReadAt(Fd fd, void* buffer, size_t count, uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(count > 0x40000000 ? 0x40000000 : count);
  if (!ReadFile(H(fd), buffer, want, &got, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    return Failed(int64_t{-1});
  }
  return got;
}

int64_t Write(Fd fd, const void* data, size_t count) {
  DWORD put = 0;
  const DWORD want = static_cast<DWORD>(count > 0x40000000 ? 0x40000000 : count);
  if (!WriteFile(H(fd), data, want, &put, nullptr)) return Failed(int64_t{-1});
  return put;
}

bool Seek(Fd fd, uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(H(fd), to, nullptr, FILE_BEGIN) ? true : Failed(false);
}

bool SizeOf(Fd fd, uint64_t& size) {
  LARGE_INTEGER n;
  if (!GetFileSizeEx(H(fd), &n)) return Failed(false);
  size = static_cast<uint64_t>(n.QuadPart);
  return true;
}

bool Close(Fd fd) { return CloseHandle(H(fd)) ? true : Failed(false); }

Fd FdOfStream(std::FILE* stream) {
  if (stream == nullptr) return kNoFile;
  const intptr_t h = _get_osfhandle(_fileno(stream));
  return h == -1 ? kNoFile : h;
}

bool MakeFolder(const std::string& path) {
  return CreateDirectoryW(LongPath(path).c_str(), nullptr) ? true : Failed(false);
}

bool Rename(const std::string& from, const std::string& to) {
  return MoveFileExW(LongPath(from).c_str(), LongPath(to).c_str(), MOVEFILE_REPLACE_EXISTING)
             ? true
             : Failed(false);
}

bool Remove(const std::string& path) {
  return DeleteFileW(LongPath(path).c_str()) ? true : Failed(false);
}

bool ListNames(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  std::wstring pattern = LongPath(folder);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(pattern.c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    return Failed(false);
  }
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(Utf8(name));
  } while (FindNextFileW(h, &found));
  const DWORD end = GetLastError();
  FindClose(h);
  if (end != ERROR_NO_MORE_FILES) {
    SetError(static_cast<ErrorCode>(end));
    return false;
  }
  return true;
}

namespace {

std::FILE* StreamOf(HANDLE h, const char* mode, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
  if (fd < 0) {
    CloseHandle(h);
    SetError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr) {
    _close(fd);
    SetError(ERROR_TOO_MANY_OPEN_FILES);
  }
  return stream;
}

std::string UniquePart() {
  static std::atomic<unsigned> counter{0};
  uint8_t random[4] = {};
  RandomBytes(random, sizeof random);
  char text[32];
  std::snprintf(text, sizeof text, "%lx%02x%02x%02x%02x%u",
                static_cast<unsigned long>(GetCurrentProcessId()), random[0], random[1],
                random[2], random[3], counter++);
  return text;
}

std::wstring TempFolderW() {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
  return n == 0 || n > MAX_PATH + 1 ? L"." : std::wstring(buffer, n);
}

}  // namespace

namespace {

// The unfinished output: Ctrl+C, Ctrl+Break or a closed console run the
// handler on a thread of their own, and the process ends after it.
std::mutex gPartialLock;
std::wstring gPartialPath;

BOOL WINAPI RemovePartial(DWORD) {
  std::lock_guard<std::mutex> hold(gPartialLock);
  if (!gPartialPath.empty()) DeleteFileW(gPartialPath.c_str());
  gPartialPath.clear();
  return FALSE;  // the default handler ends the process
}

// The handler goes in before the file is made, so that it is watched from
// its first moment on.
void HandleStops() {
  static const bool installed = SetConsoleCtrlHandler(RemovePartial, TRUE) != 0;
  (void)installed;
}

}  // namespace

std::FILE* CreateUniqueBeside(const std::string& path, std::string& madePath) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = path + ".partial-" + UniquePart();
    HandleStops();
    // Shared for deletion, so that Ctrl+C's handler can remove it while it
    // is still open (it goes when the process ends). The handler waits for
    // the lock until it knows the file's name: a stop right after the file
    // is made still removes it.
    std::unique_lock<std::mutex> hold(gPartialLock);
    HANDLE h = CreateFileW(LongPath(candidate).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD reason = GetLastError();
      hold.unlock();
      if (reason == ERROR_FILE_EXISTS) continue;
      SetLastError(reason);
      return Failed<std::FILE*>(nullptr);
    }
    gPartialPath = LongPath(candidate);
    hold.unlock();
    std::FILE* stream = StreamOf(h, "w+b", _O_RDWR | _O_BINARY);
    if (stream == nullptr) {
      DeleteFileW(LongPath(candidate).c_str());
      ForgetPartial();
      return nullptr;
    }
    madePath = candidate;
    return stream;
  }
  SetError(ERROR_FILE_EXISTS);
  return nullptr;
}

// The C library's tmpfile() makes its file in the root of the current
// drive, where a user may not write; this one is in the user's TEMP.
std::FILE* TempFile() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = TempFolderW() + L"bookpack-" + Wide(UniquePart()) + L".tmp";
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return Failed<std::FILE*>(nullptr);
    }
    return StreamOf(h, "w+b", _O_RDWR | _O_BINARY);
  }
  SetError(ERROR_FILE_EXISTS);
  return nullptr;
}

std::string MakeTempFolder(const std::string& prefix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = TempFolderW() + Wide(prefix + UniquePart());
    if (CreateDirectoryW(name.c_str(), nullptr)) return Utf8(name);
    if (GetLastError() != ERROR_ALREADY_EXISTS) return Failed<std::string>("");
  }
  return "";
}

void ForgetPartial() {
  std::lock_guard<std::mutex> hold(gPartialLock);
  gPartialPath.clear();
}

// With the summer time rules the zone had in that year, as localtime_r
// applies the zone's history (before 2007 the United States changed
// clocks on other days): GetTimeZoneInformationForYear gives them.
bool LocalTime(std::time_t time, std::tm& local) {
  const int64_t ticks = static_cast<int64_t>(time) * 10000000 + kUnixEpochTicks;
  if (ticks < 0) return false;
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(ticks);
  utc.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  SYSTEMTIME u, l;
  if (!FileTimeToSystemTime(&utc, &u)) return false;
  DYNAMIC_TIME_ZONE_INFORMATION zone;
  TIME_ZONE_INFORMATION rules;
  const bool ofTheYear = GetDynamicTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID &&
                         GetTimeZoneInformationForYear(u.wYear, &zone, &rules);
  if (!SystemTimeToTzSpecificLocalTime(ofTheYear ? &rules : nullptr, &u, &l)) return false;
  local = std::tm{};
  local.tm_year = l.wYear - 1900;
  local.tm_mon = l.wMonth - 1;
  local.tm_mday = l.wDay;
  local.tm_hour = l.wHour;
  local.tm_min = l.wMinute;
  local.tm_sec = l.wSecond;
  local.tm_wday = l.wDayOfWeek;
  return true;
}

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) path = L"\\\\" + path.substr(8);
  else if (path.compare(0, 4, L"\\\\?\\") == 0) path = path.substr(4);
  return Utf8(path);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  // "C:\book.exe" lives in "C:\", not in the drive's current folder "C:".
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, slash);
}

std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
  return folder + "\\" + name;
}

bool GetEnv(const std::string& name, std::string& value) {
  const std::wstring wide = Wide(name);
  // An empty variable also answers 0, without an error.
  SetLastError(0);
  const DWORD n = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (n == 0) return GetLastError() != ERROR_ENVVAR_NOT_FOUND && (value.clear(), true);
  std::wstring buffer(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(wide.c_str(), buffer.data(), n);
  buffer.resize(got);
  value = Utf8(buffer);
  return true;
}

bool IsTerminal(int stream) {
  DWORD mode;
  HANDLE h = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

uint32_t UpperCase(uint32_t code) {
  if (code >= 0xD800 && (code < 0xE000 || code > 0xFFFF)) return code;
  wchar_t in = static_cast<wchar_t>(code), out = in;
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1, nullptr, nullptr,
                    0) != 1)
    return code;
  return out;
}

bool RandomBytes(uint8_t* out, size_t count) {
  return BCryptGenRandom(nullptr, out, static_cast<ULONG>(count),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

MappedBytes::~MappedBytes() {
  if (view_ != nullptr) UnmapViewOfFile(view_);
}

bool MappedBytes::Open(const std::string& path) {
  const Fd fd = OpenRead(path);
  if (fd == kNoFile) return false;
  uint64_t size = 0;
  bool ok = SizeOf(fd, size);
  if (ok && size > 0) {
    HANDLE mapping = CreateFileMappingW(H(fd), nullptr, PAGE_READONLY, 0, 0, nullptr);
    ok = mapping != nullptr;
    if (ok) {
      view_ = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
      ok = view_ != nullptr;
      if (!ok) Failed(false);
      CloseHandle(mapping);
    } else {
      Failed(false);
    }
    if (ok) {
      data_ = static_cast<const uint8_t*>(view_);
      size_ = static_cast<size_t>(size);
    }
  }
  CloseHandle(H(fd));
  return ok;
}

namespace {

// The console's mode while echo is off, put back if Ctrl+C ends the
// program before the password is typed.
HANDLE gPromptInput = INVALID_HANDLE_VALUE;
DWORD gPromptSaved = 0;

BOOL WINAPI RestoreConsole(DWORD) {
  if (gPromptInput != INVALID_HANDLE_VALUE) SetConsoleMode(gPromptInput, gPromptSaved);
  return FALSE;
}

bool AskOne(HANDLE in, HANDLE out, const std::string& prompt, std::string& typed,
            std::string& error) {
  DWORD saved;
  if (!GetConsoleMode(in, &saved)) {
    error = "--password-prompt: cannot set the console: " + ErrorText(GetLastError());
    return false;
  }
  gPromptSaved = saved;
  gPromptInput = in;
  SetConsoleCtrlHandler(RestoreConsole, TRUE);
  const DWORD silent = (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT;
  const std::wstring shown = Wide(prompt);
  DWORD written = 0;
  bool ok = SetConsoleMode(in, silent) &&
            WriteConsoleW(out, shown.data(), static_cast<DWORD>(shown.size()), &written, nullptr);
  std::wstring line;
  while (ok) {
    wchar_t piece[64];
    DWORD got = 0;
    if (!ReadConsoleW(in, piece, 64, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    line.append(piece, got);
    if (line.find(L'\n') != std::wstring::npos) break;
  }
  const DWORD reason = GetLastError();
  SetConsoleMode(in, saved);
  gPromptInput = INVALID_HANDLE_VALUE;
  SetConsoleCtrlHandler(RestoreConsole, FALSE);
  WriteConsoleW(out, L"\r\n", 2, &written, nullptr);
  const size_t end = line.find_first_of(L"\r\n");
  if (end != std::wstring::npos) line.resize(end);
  typed = Utf8(line);
  if (!ok) error = "--password-prompt: cannot read the console: " + ErrorText(reason);
  return ok;
}

}  // namespace

int AskWithoutEcho(const std::vector<std::string>& prompts, std::vector<std::string>& typed,
                   std::string& error) {
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = in == INVALID_HANDLE_VALUE
                   ? INVALID_HANDLE_VALUE
                   : CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
  DWORD mode;
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) {
    const DWORD reason = GetLastError();
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    error = "--password-prompt needs a terminal (CONIN$: " + ErrorText(reason) +
            "); use --password-file or --password-env";
    return 2;
  }
  typed.assign(prompts.size(), std::string());
  bool ok = true;
  for (size_t i = 0; ok && i < prompts.size(); ++i) ok = AskOne(in, out, prompts[i], typed[i], error);
  CloseHandle(in);
  CloseHandle(out);
  return ok ? 0 : 1;
}

}  // namespace ebook::os
