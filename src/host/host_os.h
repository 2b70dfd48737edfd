// The few operating-system calls of the host and of bookpack, behind one
// interface: POSIX on Linux (host_os_posix.cpp), Win32 on Windows
// (host_os_win32.cpp). Paths are UTF-8 everywhere; on Windows they are
// turned into UTF-16 and into the \\?\ form, so that Unicode names and
// paths longer than MAX_PATH work.
//
// Failures leave their reason behind for ErrorText(): errno on POSIX, the
// Win32 error code on Windows, kept per thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "core/platform.h"

namespace ebook::os {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// An open file; kNoFile when none.
using Fd = intptr_t;
constexpr Fd kNoFile = -1;

// Error codes of the system: errno values or Win32 error codes.
using ErrorCode = int;
ErrorCode LastError();
void SetError(ErrorCode code);
void ClearError();
// The system's own words for `code` (strerror, FormatMessageW).
std::string ErrorText(ErrorCode code);
// The reason of the last failure, or `fallback` (by default the system's
// words for an input/output error) when none was recorded.
std::string LastErrorText(const char* fallback = nullptr);
// After a stdio call failed: keeps the system's reason for LastErrorText
// (errno stays as it is on POSIX; on Windows the Win32 code is taken).
void NoteStdioFailure();
// The codes the host gives for refusals of its own.
ErrorCode InvalidNameError();
ErrorCode AccessDeniedError();
ErrorCode IsFolderError();       // a folder opened as a file
ErrorCode NotFoundError();       // no such file
ErrorCode PathNotFoundError();   // no such folder on the way
ErrorCode NotAFolderError();     // a file on the way where a folder should be
ErrorCode ExistsError();
// What the engine needs to know of an error code.
FileError KindOf(ErrorCode code);

struct FileInfo {
  bool IsFolder = false;
  bool IsRegular = false;
  bool IsLink = false;    // only from LinkStat
  bool ReadOnly = false;  // not writable by its owner / the read-only attribute
  uint64_t Size = 0;
  std::time_t ModTime = 0;
  // The modification time at the finest grain the system keeps, for
  // telling that a folder changed.
  int64_t ModStamp = 0;
  // Unix st_mode; made up from the attributes on Windows.
  uint32_t Mode = 0;
  // Identity; zero on Windows, where SameFile asks the system itself.
  uint64_t Device = 0;
  uint64_t Inode = 0;
};

// Follows symbolic links; false (with the reason) when the path is missing.
bool Stat(const std::string& path, FileInfo& info);
// Tells about a link itself.
bool LinkStat(const std::string& path, FileInfo& info);
bool Exists(const std::string& path);
// Whether two paths name one file (links, other spellings, hard links).
bool SameFile(const std::string& a, const std::string& b);

// Opens a regular file for reading; a folder, a FIFO or a device is refused
// without waiting on it. With `anyKind`, pipes and devices are read too
// (a password given as --password-file <(command)); folders never.
Fd OpenRead(const std::string& path, bool anyKind = false);
// Creates or empties a regular file for writing (0644 on POSIX); with
// `onlyNew` only when nothing of its name is there.
Fd CreateWrite(const std::string& path, bool onlyNew = false);
// -1 on failure, 0 at the end.
int64_t Read(Fd fd, void* buffer, size_t count);
int64_t ReadAt(Fd fd, void* buffer, size_t count, uint64_t offset);
int64_t Write(Fd fd, const void* data, size_t count);
bool Seek(Fd fd, uint64_t offset);
bool SizeOf(Fd fd, uint64_t& size);
bool Close(Fd fd);
// The system file behind a stdio stream, for reading it at its own offset.
Fd FdOfStream(std::FILE* stream);

bool MakeFolder(const std::string& path);
// Replaces `to` when it exists, as rename(2) does.
bool Rename(const std::string& from, const std::string& to);
bool Remove(const std::string& path);
// The names in a folder, without "." and "..", in the system's order.
bool ListNames(const std::string& folder, std::vector<std::string>& names);

// A new file of its own beside `path` (path + ".partial-" and a unique
// part), opened for writing with the usual permissions. It is watched from
// the moment it exists (see WatchPartial), so that a stop at any time
// leaves nothing behind.
std::FILE* CreateUniqueBeside(const std::string& path, std::string& madePath);
// An unnamed temporary file that goes away when closed.
std::FILE* TempFile();
// A new private folder in the system's temporary folder; empty on failure.
std::string MakeTempFolder(const std::string& prefix);
// The partial output that Ctrl+C, SIGTERM or a closed console must not
// leave behind; ForgetPartial once it is complete or removed.
void ForgetPartial();

// Local calendar time of `time`, as localtime_r; false when out of range.
bool LocalTime(std::time_t time, std::tm& local);

// The full path of the running program; empty when unknown.
std::string ProgramPath();
// The folder part of a path, and a path joined from a folder and a name.
std::string FolderOf(const std::string& path);
std::string Join(const std::string& folder, const std::string& name);
// An environment variable in UTF-8; false when it is not set.
bool GetEnv(const std::string& name, std::string& value);
// Whether a standard stream (1 or 2) is a terminal or console.
bool IsTerminal(int stream);
// The simple upper-case form of a Unicode character, as the system's
// tables have it (C.UTF-8's towupper; the invariant locale's on Windows,
// which is how its file systems compare names).
uint32_t UpperCase(uint32_t code);
// Random bytes from the system's generator.
bool RandomBytes(uint8_t* out, size_t count);

// A file read whole into memory (mapped where the system allows it).
class MappedBytes {
 public:
  MappedBytes() = default;
  ~MappedBytes();
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  bool Open(const std::string& path);
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  void* view_ = nullptr;
};

// Asks each prompt in turn on the terminal (/dev/tty) or console (CONIN$)
// with echo off, the answers without their line ends. 0 when answered;
// 1 when the terminal could not be read or set, 2 when there is none, with
// `error` the message (after "bookpack: ") either way.
int AskWithoutEcho(const std::vector<std::string>& prompts, std::vector<std::string>& typed,
                   std::string& error);

#ifdef _WIN32
// UTF-8 <-> UTF-16; invalid input gives bytes that are not UTF-8 (so a
// name that Windows holds but UTF-8 cannot is refused, never guessed).
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// The path as Win32 wants it for long names: absolute, backslashes, \\?\.
std::wstring LongPath(const std::string& utf8);
#endif

}  // namespace ebook::os
