#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/host_os.h"

namespace ebook::os {
namespace {

void Fill(const struct stat& st, FileInfo& info) {
  info.IsFolder = S_ISDIR(st.st_mode);
  info.IsRegular = S_ISREG(st.st_mode);
  info.IsLink = S_ISLNK(st.st_mode);
  info.ReadOnly = (st.st_mode & S_IWUSR) == 0;
  info.Size = static_cast<uint64_t>(st.st_size);
  info.ModTime = st.st_mtime;
  info.ModStamp = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  info.Mode = st.st_mode;
  info.Device = st.st_dev;
  info.Inode = st.st_ino;
}

// Opened non-blocking so that a FIFO cannot hang the open; only regular
// files are kept, as Windows does not open folders as files.
Fd KeepRegular(int fd) {
  if (fd < 0) return kNoFile;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int reason = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = reason;
    return kNoFile;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

ErrorCode LastError() { return errno; }
void SetError(ErrorCode code) { errno = code; }
void ClearError() { errno = 0; }
std::string ErrorText(ErrorCode code) { return std::strerror(code); }
std::string LastErrorText(const char* fallback) {
  if (errno != 0) return std::strerror(errno);
  return fallback != nullptr ? fallback : std::strerror(EIO);
}
void NoteStdioFailure() {}
ErrorCode InvalidNameError() { return EINVAL; }
ErrorCode AccessDeniedError() { return EACCES; }
ErrorCode IsFolderError() { return EISDIR; }
ErrorCode NotFoundError() { return ENOENT; }
ErrorCode PathNotFoundError() { return ENOENT; }
ErrorCode NotAFolderError() { return ENOTDIR; }
ErrorCode ExistsError() { return EEXIST; }

FileError KindOf(ErrorCode code) {
  switch (code) {
    case 0:
      return FileError::kNone;
    case EEXIST:
      return FileError::kExists;
    // Windows says "path not found" both for a missing folder and for a
    // file where the path needs a folder.
    case ENOENT:
    case ENOTDIR:
      return FileError::kNoFolder;
    case EACCES:
    case EPERM:
      return FileError::kAccessDenied;
    default:
      return FileError::kOther;
  }
}

bool Stat(const std::string& path, FileInfo& info) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  Fill(st, info);
  return true;
}

bool LinkStat(const std::string& path, FileInfo& info) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  Fill(st, info);
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
}

Fd OpenRead(const std::string& path, bool anyKind) {
  if (!anyKind) return KeepRegular(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return kNoFile;
  }
  return fd < 0 ? kNoFile : fd;
}

Fd CreateWrite(const std::string& path, bool onlyNew) {
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_CREAT | (onlyNew ? O_EXCL : O_TRUNC) | O_CLOEXEC | O_NONBLOCK,
                        0644);
  if (fd < 0) return kNoFile;
  const Fd kept = KeepRegular(fd);
  // An open that succeeded on something other than a file (a FIFO) is
  // refused as Windows refuses to open a folder.
  if (kept == kNoFile) errno = EISDIR;
  return kept;
}

int64_t Read(Fd fd, void* buffer, size_t count) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(fd), buffer, count);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int64_t ReadAt(Fd fd, void* buffer, size_t count, uint64_t offset) {
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(fd), buffer, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int64_t Write(Fd fd, const void* data, size_t count) {
  for (;;) {
    const ssize_t n = ::write(static_cast<int>(fd), data, count);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool Seek(Fd fd, uint64_t offset) {
  return ::lseek(static_cast<int>(fd), static_cast<off_t>(offset), SEEK_SET) ==
         static_cast<off_t>(offset);
}

bool SizeOf(Fd fd, uint64_t& size) {
  struct stat st;
  if (::fstat(static_cast<int>(fd), &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool Close(Fd fd) { return ::close(static_cast<int>(fd)) == 0; }

Fd FdOfStream(std::FILE* stream) { return stream == nullptr ? kNoFile : fileno(stream); }

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

bool Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool Remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool ListNames(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* d = ::readdir(dir)) {
    const char* name = d->d_name;
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) names.emplace_back(name);
  }
  ::closedir(dir);
  return true;
}

namespace {

// The unfinished output, for the signal handler: a build stopped by ^C or
// kill leaves no partial setup behind. Only async-signal-safe calls reach it.
char gPartialPath[PATH_MAX];
volatile sig_atomic_t gPartialPending = 0;

extern "C" void RemovePartialAndDie(int signal) {
  if (gPartialPending != 0) unlink(gPartialPath);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// The handlers go in before the file is made, so that it is watched from
// its first moment on.
void HandleStops() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = RemovePartialAndDie;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    return true;
  }();
  (void)installed;
}

void WatchPartial(const std::string& path) {
  if (path.size() >= sizeof gPartialPath) return;
  std::memcpy(gPartialPath, path.c_str(), path.size() + 1);
  gPartialPending = 1;
}

}  // namespace

void ForgetPartial() { gPartialPending = 0; }

std::FILE* CreateUniqueBeside(const std::string& path, std::string& madePath) {
  std::string pattern = path + ".partial-XXXXXX";
  HandleStops();
  // A stop between the file's making and the handler's knowing its name
  // would leave it behind (a loaded machine widens that gap): the signals
  // wait until both are done. bookpack opens its output before it starts
  // any thread, so none of its threads can take them meanwhile.
  sigset_t stops, previous;
  sigemptyset(&stops);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  const int fd = mkostemp(pattern.data(), O_CLOEXEC);
  const int made = errno;
  if (fd >= 0) WatchPartial(pattern);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fd < 0) {
    errno = made;
    return nullptr;
  }
  // mkstemp makes the file private; the setup gets the usual permissions.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int reason = errno;
    ::close(fd);
    ::unlink(pattern.c_str());
    ForgetPartial();
    errno = reason;
    return nullptr;
  }
  madePath = pattern;
  return file;
}

std::FILE* TempFile() { return std::tmpfile(); }

std::string MakeTempFolder(const std::string& prefix) {
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / (prefix + "XXXXXX")).string();
  if (ec || mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}



bool LocalTime(std::time_t time, std::tm& local) { return localtime_r(&time, &local) != nullptr; }

std::string ProgramPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder + "/" + name;
}

bool GetEnv(const std::string& name, std::string& value) {
  const char* found = std::getenv(name.c_str());
  if (found == nullptr) return false;
  value = found;
  return true;
}

bool IsTerminal(int stream) { return isatty(stream) != 0; }

uint32_t UpperCase(uint32_t code) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (utf8 != static_cast<locale_t>(0))
    return static_cast<uint32_t>(towupper_l(static_cast<wint_t>(code), utf8));
  return code >= 'a' && code <= 'z' ? code - 0x20 : code;
}

bool RandomBytes(uint8_t* out, size_t count) {
  // One stream for the program, read under a lock by the encoding threads.
  static std::ifstream in("/dev/urandom", std::ios::binary);
  if (!in) return false;
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
  return static_cast<size_t>(in.gcount()) == count;
}

MappedBytes::~MappedBytes() {
  if (view_ != nullptr) munmap(view_, size_);
}

bool MappedBytes::Open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && st.st_size > 0) {
    void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ok = p != MAP_FAILED;
    if (ok) {
      view_ = p;
      data_ = static_cast<const uint8_t*>(p);
      size_ = static_cast<size_t>(st.st_size);
    }
  }
  ::close(fd);
  return ok;
}

namespace {

// The terminal's settings while echo is off, put back if a signal ends the
// program before the password is typed.
int gPromptFd = -1;
termios gPromptSaved;

void RestoreTerminal(int signal) {
  if (gPromptFd >= 0) tcsetattr(gPromptFd, TCSAFLUSH, &gPromptSaved);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

bool AskOne(int fd, const std::string& prompt, std::string& typed, std::string& error) {
  if (tcgetattr(fd, &gPromptSaved) != 0) {
    error = std::string("--password-prompt: cannot set the terminal: ") + std::strerror(errno);
    return false;
  }
  termios silent = gPromptSaved;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  silent.c_lflag |= ECHONL;
  gPromptFd = fd;
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(s, RestoreTerminal);
  // Echo goes off before the prompt shows, so that nothing typed in
  // answer to it can be echoed or flushed away.
  bool ok = tcsetattr(fd, TCSAFLUSH, &silent) == 0 &&
            write(fd, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
  typed.clear();
  char c;
  ssize_t got = 0;
  while (ok && (got = read(fd, &c, 1)) == 1 && c != '\n') typed += c;
  if (ok && got < 0) ok = false;
  const int reason = errno;
  tcsetattr(fd, TCSANOW, &gPromptSaved);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(s, SIG_DFL);
  gPromptFd = -1;
  if (!typed.empty() && typed.back() == '\r') typed.pop_back();
  if (!ok)
    error = std::string("--password-prompt: cannot read the terminal: ") + std::strerror(reason);
  return ok;
}

}  // namespace

int AskWithoutEcho(const std::vector<std::string>& prompts, std::vector<std::string>& typed,
                   std::string& error) {
  const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = std::string("--password-prompt needs a terminal (/dev/tty: ") + std::strerror(errno) +
            "); use --password-file or --password-env";
    return 2;
  }
  typed.assign(prompts.size(), std::string());
  bool ok = true;
  for (size_t i = 0; ok && i < prompts.size(); ++i) ok = AskOne(fd, prompts[i], typed[i], error);
  close(fd);
  return ok ? 0 : 1;
}

}  // namespace ebook::os
