#include "host/native_platform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "core/paths.h"
#include "core/utf8.h"
#include "host/host_os.h"

namespace ebook {

// Files opened for reading keep their own position and a buffer: the engine
// reads an archive in pieces of a few bytes to a few kilobytes and seeks
// back and forth between headers, which cost a system call each.
struct PlatformFile {
  os::Fd Fd = os::kNoFile;
  bool Reading = false;
  uint64_t Position = 0;     // of the next byte read
  uint64_t BufferStart = 0;  // file offset of Buffer[0]
  uint32_t BufferFill = 0;
  std::unique_ptr<char[]> Buffer;
};

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string FoldName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const size_t n = Utf8SequenceLength(name, i);
    const auto lead = static_cast<uint8_t>(name[i]);
    if (n <= 1 || n == 4) {
      // ASCII, a stray byte, or beyond the plane the table covers.
      const size_t take = n == 0 ? 1 : n;
      if (n == 1 && lead >= 'a' && lead <= 'z') {
        out += static_cast<char>(lead - 0x20);
      } else {
        out.append(name.substr(i, take));
      }
      i += take;
      continue;
    }
    uint32_t c = lead & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<uint8_t>(name[i + k]) & 0x3F);
    char bytes[4];
    out.append(bytes, static_cast<size_t>(EncodeUtf8(os::UpperCase(c), bytes)));
    i += n;
  }
  return out;
}

bool WildcardMatch(std::string_view patternText, std::string_view nameText) {
  const std::string pattern = FoldName(patternText), name = FoldName(nameText);
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool HasDrivePrefix(std::string_view path) {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':';
}

bool HasReservedCharacter(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) return true;
  }
  return false;
}

int32_t CopyOut(std::string_view text, char* buffer, int32_t size) {
  if (size <= 0 || buffer == nullptr) return 0;
  size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

// The answer of GetTempPathA and GetCurrentDirectoryA.
int32_t CopyFolder(const std::string& folder, char* buffer, int32_t size) {
  if (folder.empty()) return 0;
  if (buffer == nullptr || size <= 0 || folder.size() >= static_cast<size_t>(size)) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return static_cast<int32_t>(folder.size() + 1);
  }
  return CopyOut(folder, buffer, size);
}

bool IsFolder(const std::string& hostPath) {
  os::FileInfo info;
  return !hostPath.empty() && os::Stat(hostPath, info) && info.IsFolder;
}

bool Exists(const std::string& hostPath) { return !hostPath.empty() && os::Exists(hostPath); }

// os::OpenRead and os::CreateWrite keep regular files only (never waiting
// on a FIFO), as Windows does not open folders as files.
FileHandle Wrap(os::Fd fd) {
  if (fd == os::kNoFile) return nullptr;
  auto* file = new PlatformFile;
  file->Fd = fd;
  return file;
}

// The host path split into its folder and its last name.
std::pair<std::string, std::string> SplitHostPath(const std::string& hostPath) {
  const size_t slash = hostPath.find_last_of('/');
  if (slash == std::string::npos) return {".", hostPath};
  return {hostPath.substr(0, slash), hostPath.substr(slash + 1)};
}

std::string Folded(std::string_view name) { return FoldName(name); }

}  // namespace

// Resolving a name that does not exist as given means finding its case
// variants in the folder; listing the folder for each new name made an
// install quadratic in the files per folder. Each folder is listed once
// and its names kept by their folded form. The index is trusted only while
// the folder's identity and modification time are those it was made or
// last updated at: a change made behind the host's back lists the folder
// anew, and the host's own creations and removals update it in place.
// Every stat here asks for the time, so on file systems with multigrain
// timestamps (Linux 6.13 on, for ext4, xfs, btrfs and tmpfs) the next
// change always moves it; with coarse timestamps only, a change made
// behind the host's back in the same clock tick as the host's own is seen
// at the folder's next change.
class FolderIndexes {
 public:
  // The first in byte order of the names in `folder` equal to `name`
  // without regard to case; empty when there is none. `st` is the
  // folder's, just taken.
  std::string Find(const std::string& folder, const os::FileInfo& st, std::string_view name) {
    Index* index = Current(folder, st);
    if (index == nullptr) return {};
    auto found = index->ByFolded.find(Folded(name));
    return found == index->ByFolded.end() || found->second.empty() ? std::string()
                                                                   : *found->second.begin();
  }

  // Brackets a change the host makes in the folder of `hostPath`: Before
  // tells whether the index is still current, After records the change
  // then (an index that was not current is dropped).
  bool Before(const std::string& hostPath) {
    const std::string folder = SplitHostPath(hostPath).first;
    auto it = indexes_.find(folder);
    if (it == indexes_.end()) return false;
    os::FileInfo st;
    if (os::Stat(folder, st) && Matches(it->second, st)) return true;
    indexes_.erase(it);
    return false;
  }
  // `added` names `hostPath` itself, or `addedPath` when that is given (a
  // move within the folder); `removed` names `hostPath`.
  void After(const std::string& hostPath, bool wasCurrent, bool added, const std::string& addedPath,
             bool removed) {
    auto [folder, name] = SplitHostPath(hostPath);
    auto it = indexes_.find(folder);
    if (it == indexes_.end()) return;
    os::FileInfo st;
    if (!wasCurrent || !os::Stat(folder, st)) {
      indexes_.erase(it);
      return;
    }
    Index& index = it->second;
    if (removed) {
      auto names = index.ByFolded.find(Folded(name));
      if (names != index.ByFolded.end()) names->second.erase(name);
    }
    if (added) {
      const std::string addedName = addedPath.empty() ? name : SplitHostPath(addedPath).second;
      index.ByFolded[Folded(addedName)].insert(addedName);
    }
    Stamp(index, st);
  }

 private:
  struct Index {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    int64_t Modified = 0;
    std::unordered_map<std::string, std::set<std::string>> ByFolded;
  };

  static bool Matches(const Index& index, const os::FileInfo& st) {
    return index.Device == st.Device && index.Inode == st.Inode && index.Modified == st.ModStamp;
  }
  static void Stamp(Index& index, const os::FileInfo& st) {
    index.Device = st.Device;
    index.Inode = st.Inode;
    index.Modified = st.ModStamp;
  }

  Index* Current(const std::string& folder, const os::FileInfo& st) {
    auto it = indexes_.find(folder);
    if (it != indexes_.end() && Matches(it->second, st)) return &it->second;
    Index fresh;
    Stamp(fresh, st);
    std::vector<std::string> names;
    if (!os::ListNames(folder, names)) return nullptr;
    for (std::string& name : names) fresh.ByFolded[Folded(name)].emplace(std::move(name));
    return &(indexes_[folder] = std::move(fresh));
  }

  std::unordered_map<std::string, Index> indexes_;
};

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(FoldCase(a[i]));
    auto y = static_cast<unsigned char>(FoldCase(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool NativePlatform::RegistryKeyLess::operator()(const RegistryKey& a, const RegistryKey& b) const {
  if (a.Place != b.Place) return a.Place < b.Place;
  CaseInsensitiveLess less;
  if (less(a.KeyPath, b.KeyPath)) return true;
  if (less(b.KeyPath, a.KeyPath)) return false;
  return less(a.ValueName, b.ValueName);
}

NativePlatform::~NativePlatform() = default;

NativePlatform::NativePlatform(std::filesystem::path root, std::string tempFolder)
    : indexes_(std::make_unique<FolderIndexes>()), root_(std::move(root)) {
  Controls = {{kInstallPathLabel, "&Install path:"},
              {kInstallPathEdit, "C:\\ZQ"},
              {kNoticeLine, "."},
              {kEntryList, ""},
              {kStatusLine, ""},
              {kLicenceBox, ""}};
  std::error_code ec;
  std::filesystem::create_directories(root_ / "C", ec);
  std::string temp = FullWindowsPath(tempFolder);
  if (!temp.empty()) {
    std::filesystem::create_directories(std::filesystem::u8path(HostPath(temp)), ec);
    tempFolder_ = temp.back() == '\\' ? temp : temp + '\\';
  }
}

void NativePlatform::MapDrive(char letter, const std::filesystem::path& folder) {
  drives_[static_cast<char>(letter & ~0x20)] = folder.u8string();
}

// Resolves like GetFullPathNameA, except that climbing above a drive's root
// is refused rather than clamped, so no path can leave the drive's folder.
std::string NativePlatform::FullWindowsPath(std::string_view path) const {
  if (path.empty() || path.find('\0') != std::string_view::npos) return {};
  // UNC shares and the \\?\ and \\.\ device forms have no place under ROOT.
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return {};

  char drive = currentFolder_[0];
  std::vector<std::string> parts;
  auto startFromCurrent = [&] {
    std::string_view current(currentFolder_);
    size_t pos = 3;
    while (pos < current.size()) {
      size_t end = current.find('\\', pos);
      if (end == std::string_view::npos) end = current.size();
      parts.emplace_back(current.substr(pos, end - pos));
      pos = end + 1;
    }
  };
  std::string_view rest = path;
  if (HasDrivePrefix(path)) {
    char named = static_cast<char>(path[0] & ~0x20);
    rest = path.substr(2);
    // "D:name" is relative to the drive's own current folder; the host keeps
    // one for the current drive only, other drives start at their root.
    if ((rest.empty() || !IsSeparator(rest[0])) && named == drive) startFromCurrent();
    drive = named;
  } else if (!IsSeparator(path[0])) {
    startFromCurrent();
  }

  const bool endsInSeparator = IsSeparator(path.back());
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t end = pos;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::string_view part = rest.substr(pos, end - pos);
    const bool last = end >= rest.size();
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return {};
      parts.pop_back();
      continue;
    }
    std::string name(part);
    if (name.back() == '.' && (name.size() < 2 || name[name.size() - 2] != '.')) name.pop_back();
    if (last && !endsInSeparator) {
      while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    }
    if (name.empty() || HasReservedCharacter(name) || IsWindowsDeviceName(name)) return {};
    parts.push_back(std::move(name));
  }

  std::string full{drive, ':', '\\'};
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) full += '\\';
    full += parts[i];
  }
  return full;
}

// Each existing component is found without regard to case, as Windows
// would; an exact match wins, and among several case variants (which only
// Linux can hold) the first in byte order, so the choice is stable.
std::string NativePlatform::HostPath(std::string_view windowsPath) const {
  std::string full = FullWindowsPath(windowsPath);
  if (full.empty()) return {};
  auto mapped = drives_.find(full[0]);
  const std::string drive =
      mapped != drives_.end() ? mapped->second : (root_ / std::string(1, full[0])).u8string();
  os::FileInfo st;
  // Where the path exists as given, every component matched exactly, and
  // so it resolves to itself; where its folder does, only the last name
  // needs looking up. Those two cover almost every call of an install.
  if (full.size() > 3) {
    std::string literal = drive + '/' + full.substr(3);
    std::replace(literal.begin() + static_cast<ptrdiff_t>(drive.size()), literal.end(), '\\', '/');
    if (os::Stat(literal, st)) return literal;
    const size_t slash = literal.find_last_of('/');
    const std::string folder = literal.substr(0, slash);
    if (os::Stat(folder, st) && st.IsFolder) {
      const std::string best = indexes_->Find(folder, st, literal.substr(slash + 1));
      return best.empty() ? literal : folder + '/' + best;
    }
  }
  // Otherwise component by component, one stat each: whether it exists,
  // and whether it is a folder whose names the next one is looked up in.
  std::string host = drive;
  bool parentExists = os::Stat(host, st) && st.IsFolder;
  size_t pos = 3;
  while (pos < full.size()) {
    size_t end = full.find('\\', pos);
    if (end == std::string::npos) end = full.size();
    std::string_view part(full.data() + pos, end - pos);
    pos = end + 1;
    std::string next = host + '/';
    next += part;
    if (!parentExists) {
      host = std::move(next);
      continue;
    }
    const os::FileInfo parent = st;
    bool exists = os::Stat(next, st);
    if (!exists) {
      std::string best = indexes_->Find(host, parent, part);
      if (!best.empty()) {
        next = host + '/' + best;
        exists = os::Stat(next, st);
      }
    }
    host = std::move(next);
    parentExists = exists && st.IsFolder;
  }
  return host;
}

FileHandle NativePlatform::OpenHostFile(const std::string& linuxPath) {
  if (linuxPath.empty()) return nullptr;
  FileHandle file = Wrap(os::OpenRead(linuxPath));
  if (file != nullptr) file->Reading = true;
  return file;
}

namespace {

constexpr uint32_t kReadBufferSize = 256 * 1024;

// pread until `count` bytes or the end of the file; the count read.
size_t ReadAt(os::Fd fd, char* out, size_t count, uint64_t offset) {
  size_t done = 0;
  while (done < count) {
    const int64_t got = os::ReadAt(fd, out + done, count - done, offset + done);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

}  // namespace

int32_t NativePlatform::ReadFile(FileHandle file, void* buffer, int32_t count) {
  if (file == nullptr || buffer == nullptr || count <= 0) return 0;
  auto* out = static_cast<char*>(buffer);
  if (!file->Reading) {
    int32_t done = 0;
    while (done < count) {
      const int64_t got = os::Read(file->Fd, out + done, static_cast<size_t>(count - done));
      if (got <= 0) break;
      done += static_cast<int32_t>(got);
    }
    return done;
  }
  size_t done = 0;
  const auto wanted = static_cast<size_t>(count);
  while (done < wanted) {
    const uint64_t at = file->Position;
    if (at >= file->BufferStart && at < file->BufferStart + file->BufferFill) {
      const size_t offset = static_cast<size_t>(at - file->BufferStart);
      const size_t n = std::min<size_t>(wanted - done, file->BufferFill - offset);
      std::memcpy(out + done, file->Buffer.get() + offset, n);
      done += n;
      file->Position += n;
      continue;
    }
    // Large reads go straight to the caller; small ones refill the buffer.
    if (wanted - done >= kReadBufferSize) {
      const size_t got = ReadAt(file->Fd, out + done, wanted - done, at);
      done += got;
      file->Position += got;
      break;
    }
    if (!file->Buffer) file->Buffer = std::make_unique<char[]>(kReadBufferSize);
    file->BufferStart = at;
    file->BufferFill =
        static_cast<uint32_t>(ReadAt(file->Fd, file->Buffer.get(), kReadBufferSize, at));
    if (file->BufferFill == 0) break;
  }
  return static_cast<int32_t>(done);
}

// As SetFilePointer: any offset may be set, even past the end of the file.
uint32_t NativePlatform::SeekFile(FileHandle file, uint32_t offset) {
  ++SeekCalls;
  if (file == nullptr) return 0xFFFFFFFFu;
  if (file->Reading) {
    file->Position = offset;
    return offset;
  }
  return os::Seek(file->Fd, offset) ? offset : 0xFFFFFFFFu;
}

uint32_t NativePlatform::FileSize(FileHandle file) {
  uint64_t size = 0;
  if (file == nullptr || !os::SizeOf(file->Fd, size)) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(size & 0xFFFFFFFFu);
}

bool NativePlatform::Denied(const std::string& host) const {
  if (DeniedFolder.empty()) return false;
  const std::string denied = HostPath(DeniedFolder);
  return !denied.empty() && host.compare(0, denied.size(), denied) == 0 &&
         (host.size() == denied.size() || host[denied.size()] == '/');
}

bool NativePlatform::Remember(bool ok, int error) {
  lastError_ = ok ? 0 : error;
  return ok;
}

FileHandle NativePlatform::CreateFileForWrite(std::string_view path) {
  return CreateForWrite(path, false);
}

FileHandle NativePlatform::CreateNewFile(std::string_view path) {
  return CreateForWrite(path, true);
}

FileHandle NativePlatform::CreateForWrite(std::string_view path, bool onlyNew) {
  std::string host = HostPath(path);
  if (host.empty()) {
    Remember(false, os::InvalidNameError());
    return nullptr;
  }
  // As on Windows, a missing folder is said before a refused one.
  if (Denied(host) && IsFolder(host.substr(0, host.rfind('/')))) {
    Remember(false, os::AccessDeniedError());
    return nullptr;
  }
  const bool current = indexes_->Before(host);
  // Something other than a file there (a FIFO) is refused as Windows
  // refuses to open a folder; only a new file changes the folder.
  FileHandle file = Wrap(os::CreateWrite(host, onlyNew));
  const os::ErrorCode error = os::LastError();
  indexes_->After(host, current, file != nullptr, {}, false);
  Remember(file != nullptr, error);
  return file;
}

FileHandle NativePlatform::OpenFileForRead(std::string_view path) {
  return OpenHostFile(HostPath(path));
}

int32_t NativePlatform::WriteFile(FileHandle file, const void* data, int32_t count) {
  if (file == nullptr || data == nullptr || count <= 0) return 0;
  const auto* in = static_cast<const char*>(data);
  int32_t done = 0;
  os::ErrorCode error = 0;
  while (done < count) {
    const int64_t put = os::Write(file->Fd, in + done, static_cast<size_t>(count - done));
    if (put < 0) error = os::LastError();
    if (put <= 0) break;
    done += static_cast<int32_t>(put);
  }
  // A short write without an error has no reason to give.
  Remember(error == 0, error);
  return done;
}

bool NativePlatform::CloseFile(FileHandle file) {
  if (file == nullptr) return false;
  const bool closed = os::Close(file->Fd);
  const os::ErrorCode error = os::LastError();
  delete file;
  return Remember(closed, error);
}

// A wildcard search lists the folder with the "." and ".." entries that
// FindFirstFileA reports, so "folder\*.*" finds something in any existing
// folder. Without wildcards the path must name a file or folder, and, as
// with FindFirstFileA, a trailing separator finds nothing.
bool NativePlatform::FindAny(std::string_view pattern) {
  ++FindAnyCalls;
  if (pattern.empty()) return false;
  size_t split = pattern.find_last_of("\\/");
  size_t nameStart = split == std::string_view::npos ? 0 : split + 1;
  if (nameStart == 0 && HasDrivePrefix(pattern)) nameStart = 2;
  std::string_view name = pattern.substr(nameStart);
  if (name.empty()) return false;
  if (name.find_first_of("*?") == std::string_view::npos) return Exists(HostPath(pattern));

  std::string_view folderPart = pattern.substr(0, nameStart);
  std::string folder = HostPath(folderPart.empty() ? std::string_view(".") : folderPart);
  if (!IsFolder(folder)) return false;
  if (WildcardMatch(name, ".") || WildcardMatch(name, "..")) return true;
  std::vector<std::string> names;
  if (!os::ListNames(folder, names)) return false;
  for (const std::string& entry : names) {
    if (WildcardMatch(name, entry)) return true;
  }
  return false;
}

bool NativePlatform::CreateFolder(std::string_view path) {
  std::string host = HostPath(path);
  if (host.empty()) return Remember(false, os::InvalidNameError());
  if (Denied(host)) return Remember(false, os::AccessDeniedError());
  const bool current = indexes_->Before(host);
  const bool made = os::MakeFolder(host);
  const os::ErrorCode error = os::LastError();
  indexes_->After(host, current, made, {}, false);
  return Remember(made, error);
}

namespace {

// Windows' read-only attribute, as the host sees it.
bool IsReadOnlyFile(const std::string& hostPath) {
  os::FileInfo info;
  return os::LinkStat(hostPath, info) && info.IsRegular && info.ReadOnly;
}

}  // namespace

bool NativePlatform::MoveIntoPlace(std::string_view from, std::string_view to) {
  const std::string source = HostPath(from);
  const std::string target = HostPath(to);
  if (source.empty() || target.empty()) return Remember(false, os::InvalidNameError());
  if (IsReadOnlyFile(target)) return Remember(false, os::AccessDeniedError());
  // Staged files move within their folder: one index to look after.
  const bool oneFolder = SplitHostPath(source).first == SplitHostPath(target).first;
  const bool sourceCurrent = indexes_->Before(source);
  const bool targetCurrent = oneFolder ? sourceCurrent : indexes_->Before(target);
  const bool moved = os::Rename(source, target);
  const os::ErrorCode error = os::LastError();
  if (oneFolder) {
    indexes_->After(source, sourceCurrent, moved, target, moved);
  } else {
    indexes_->After(source, sourceCurrent, false, {}, moved);
    indexes_->After(target, targetCurrent, moved, {}, false);
  }
  return Remember(moved, error);
}

bool NativePlatform::RemoveFile(std::string_view path) {
  const std::string host = HostPath(path);
  if (host.empty()) return Remember(false, os::InvalidNameError());
  if (IsReadOnlyFile(host)) return Remember(false, os::AccessDeniedError());
  const bool current = indexes_->Before(host);
  const bool removed = os::Remove(host);
  const os::ErrorCode error = os::LastError();
  indexes_->After(host, current, false, {}, removed);
  return Remember(removed, error);
}

int32_t NativePlatform::LastErrorText(char* buffer, int32_t size) {
  if (lastError_ == 0) return CopyOut("", buffer, size);
  return CopyOut(os::ErrorText(lastError_), buffer, size);
}

FileError NativePlatform::LastFileError() { return FileErrorOf(lastError_); }

FileError FileErrorOf(int error) { return os::KindOf(error); }

uint32_t NativePlatform::Milliseconds() {
  if (Clock) return Clock();
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int32_t NativePlatform::TempFolder(char* buffer, int32_t size) {
  return CopyFolder(tempFolder_, buffer, size);
}

int32_t NativePlatform::CurrentFolder(char* buffer, int32_t size) {
  return CopyFolder(currentFolder_, buffer, size);
}

int32_t NativePlatform::SystemFolder(bool windows, char* buffer, int32_t size) {
  return CopyFolder(windows ? "C:\\Windows" : "C:\\Windows\\System32", buffer, size);
}

bool NativePlatform::SetCurrentFolder(std::string_view path) {
  std::string full = FullWindowsPath(path);
  if (full.empty() || !IsFolder(HostPath(full))) return false;
  currentFolder_ = std::move(full);
  return true;
}

int32_t NativePlatform::FullPath(std::string_view path, char* buffer, int32_t size) {
  const std::string full = FullWindowsPath(path);
  if (full.empty() || full.size() >= static_cast<size_t>(size)) {
    CopyOut("", buffer, size);
    return -1;
  }
  return CopyOut(full, buffer, size);
}

std::string ExpandWindowsVariables(
    std::string_view text, const std::function<const std::string*(std::string_view)>& lookUp) {
  std::string out;
  while (!text.empty()) {
    const size_t open = text.find('%');
    const size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
    if (close == std::string_view::npos) {
      out += text;
      break;
    }
    out += text.substr(0, open);
    if (const std::string* value = lookUp(text.substr(open + 1, close - open - 1))) {
      out += *value;
      text.remove_prefix(close + 1);
    } else {
      // Unknown: the first % stays, and the second may open a known one.
      out += text.substr(open, close - open);
      text.remove_prefix(close);
    }
  }
  return out;
}

int32_t NativePlatform::ExpandVariables(std::string_view text, char* buffer, int32_t size) {
  const std::string out = ExpandWindowsVariables(text, [&](std::string_view name) {
    const auto found = Environment.find(std::string(name));
    return found != Environment.end() ? &found->second : nullptr;
  });
  CopyOut(out, buffer, size);
  return static_cast<int32_t>(out.size());
}

namespace {

// Windows-1252 from 0x80 to 0x9F; the five unassigned bytes map to the C1
// control of the same value, as Windows does. Above 0x9F it is Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t c) {
  char bytes[4];
  out.append(bytes, static_cast<size_t>(EncodeUtf8(c, bytes)));
}

}  // namespace

std::string DecodeCp1252(std::string_view stored) {
  std::string text;
  for (char c : stored) {
    const auto byte = static_cast<uint8_t>(c);
    AppendUtf8(text, byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte);
  }
  return text;
}

int32_t NativePlatform::DecodeStoredText(std::string_view stored, bool utf8, char* out,
                                         int32_t size) {
  std::string text = utf8 ? std::string() : DecodeCp1252(stored);
  for (size_t i = 0; utf8 && i < stored.size();) {
    if (size_t n = Utf8SequenceLength(stored, i); n != 0) {
      text.append(stored.substr(i, n));
      i += n;
    } else {
      AppendUtf8(text, 0xFFFD);
      ++i;
    }
  }
  if (size <= 0) return -1;
  if (text.size() >= static_cast<size_t>(size)) {
    out[0] = '\0';
    return -1;
  }
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return static_cast<int32_t>(text.size());
}

int32_t NativePlatform::EncodeTypedText(std::string_view text, char* out, int32_t size) {
  std::string bytes;
  for (size_t i = 0; i < text.size();) {
    size_t n = Utf8SequenceLength(text, i);
    if (n == 0) n = 1;
    uint32_t c = static_cast<uint8_t>(text[i]);
    if (n > 1) {
      c &= 0x7F >> n;
      for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    }
    i += n;
    char byte = '?';
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) byte = static_cast<char>(c);
    for (int k = 0; k < 32; ++k)
      if (c >= 0x80 && kCp1252High[k] == c) byte = static_cast<char>(0x80 + k);
    bytes += byte;
  }
  if (size <= 0) return 0;
  if (bytes.size() >= static_cast<size_t>(size)) bytes.clear();
  std::memcpy(out, bytes.data(), bytes.size());
  out[bytes.size()] = '\0';
  return static_cast<int32_t>(bytes.size());
}

void NativePlatform::SetControlText(ControlId control, std::string_view text) {
  Controls[control] = std::string(text);
}

int32_t NativePlatform::ControlText(ControlId control, char* buffer, int32_t size) {
  auto found = Controls.find(control);
  return CopyOut(found == Controls.end() ? std::string_view() : found->second, buffer, size);
}

void NativePlatform::ListReset() { List.clear(); }

void NativePlatform::ListAdd(std::string_view name) {
  List.push_back(ListItem{std::string(name), false});
}

void NativePlatform::ListSetSelected(int32_t index, bool selected) {
  if (index < 0 || static_cast<size_t>(index) >= List.size()) return;
  List[static_cast<size_t>(index)].Selected = selected;
}

void NativePlatform::ListSelectAll() {
  for (ListItem& item : List) item.Selected = true;
}

int32_t NativePlatform::ListCount() { return static_cast<int32_t>(List.size()); }

int32_t NativePlatform::ListSelectedCount() {
  return static_cast<int32_t>(
      std::count_if(List.begin(), List.end(), [](const ListItem& item) { return item.Selected; }));
}

int32_t NativePlatform::ReadListItem(int32_t index, char* buffer, int32_t size, bool& selected) {
  selected = false;
  if (index < 0 || static_cast<size_t>(index) >= List.size()) {
    CopyOut("", buffer, size);
    return -1;
  }
  const auto& item = List[static_cast<size_t>(index)];
  selected = item.Selected;
  return CopyOut(item.Name, buffer, size);
}

void NativePlatform::PumpOneMessage() { ++PumpCount; }

void NativePlatform::ShowMessage(std::string_view text, std::string_view caption) {
  if (Quiet) return;
  Messages.push_back({std::string(text), std::string(caption)});
  DialogLog.push_back("message:" + std::string(text));
}

int32_t NativePlatform::AskPassword(char* buffer, int32_t size, bool mayCancel) {
  if (Quiet) {
    if (size > 0) buffer[0] = '\0';
    return -1;
  }
  DialogLog.emplace_back("password");
  std::optional<std::string> typed = std::string();
  while (!PasswordReplies.empty()) {
    typed = std::move(PasswordReplies.front());
    PasswordReplies.pop_front();
    if (typed || mayCancel) break;
    typed = std::string();  // Escape does nothing; Ok with an empty field at the end
  }
  if (!typed) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return -1;
  }
  return CopyOut(*typed, buffer, size);
}

void NativePlatform::ShowProgress(uint32_t done, uint32_t total, bool failed) {
  ProgressShown.push_back({done, total, failed});
}

bool NativePlatform::AskYesNo(std::string_view text, std::string_view caption) {
  if (Quiet) return false;
  DialogLog.push_back("yesno:" + std::string(caption) + ": " + std::string(text));
  if (YesNoReplies.empty()) return false;
  const bool yes = YesNoReplies.front();
  YesNoReplies.pop_front();
  return yes;
}

OverwriteReply NativePlatform::AskOverwrite(std::string_view fileName) {
  DialogLog.push_back("overwrite:" + std::string(fileName));
  OverwriteAsked.emplace_back(fileName);
  if (OverwriteReplies.empty()) return OverwriteReply{};
  OverwriteReply reply = OverwriteReplies.front();
  OverwriteReplies.pop_front();
  return reply;
}

int32_t NativePlatform::ReadRegistryString(RegistryPlace place, std::string_view keyPath,
                                           std::string_view valueName, char* buffer, int32_t size) {
  RegistryKey key{place, std::string(keyPath), std::string(valueName)};
  RegistryQueries.push_back(key);
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  auto found = Registry.find(key);
  if (found == Registry.end() || buffer == nullptr || size <= 0 ||
      found->second.size() > static_cast<size_t>(size - 1)) {
    return -1;
  }
  return CopyOut(found->second, buffer, size);
}

bool NativePlatform::StartProgram(std::string_view commandLine, std::string_view folder) {
  Started.push_back({std::string(commandLine), std::string(folder)});
  return true;
}

bool NativePlatform::StartElevated(std::string_view arguments) {
  ElevatedStarts.emplace_back(arguments);
  return StartElevatedReply;
}

}  // namespace ebook
