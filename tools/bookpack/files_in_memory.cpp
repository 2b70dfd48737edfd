#include "files_in_memory.h"

#include <algorithm>
#include <cstring>

#include "host/host_os.h"

namespace bookpack {

struct FilesInMemory::OpenFile {
  std::string Key;
  int64_t Bytes = 0;
};

namespace {

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

// A host path with its last name folded, as Windows compares names.
std::string WithFoldedName(std::string path) {
  const size_t name = path.find_last_of('/') + 1;
  return path.substr(0, name) + ebook::FoldName(std::string_view(path).substr(name));
}

bool IsHostFolder(const std::string& hostPath) {
  ebook::os::FileInfo info;
  return !hostPath.empty() && ebook::os::Stat(hostPath, info) && info.IsFolder;
}

}  // namespace

FilesInMemory::FilesInMemory(ebook::NativePlatform& host, std::string_view folder)
    : host_(host), folder_(host.HostPath(folder)) {}

FilesInMemory::~FilesInMemory() = default;

// What open(2) would say of a file in the missing `folder`: a held file on
// its way is "not a directory", as it would be on disk.
int FilesInMemory::MissingFolderError(std::string folder) const {
  while (folder.size() > folder_.size()) {
    if (files_.count(WithFoldedName(folder)) != 0) return ebook::os::NotAFolderError();
    folder.resize(folder.find_last_of('/'));
    if (IsHostFolder(folder)) break;
  }
  return ebook::os::PathNotFoundError();
}

std::string FilesInMemory::Key(std::string_view path) const {
  if (folder_.empty()) return {};
  std::string host = host_.HostPath(path);
  if (host.size() <= folder_.size() + 1 || host.compare(0, folder_.size(), folder_) != 0 ||
      host[folder_.size()] != '/') {
    return {};
  }
  return WithFoldedName(std::move(host));
}

bool FilesInMemory::Fail(int error) {
  lastWasMine_ = true;
  lastError_ = error;
  return false;
}

bool FilesInMemory::Succeed() {
  lastWasMine_ = true;
  lastError_ = 0;
  return true;
}

int64_t FilesInMemory::SizeOf(std::string_view path) const {
  auto found = files_.find(Key(path));
  return found == files_.end() ? -1 : found->second;
}

int32_t FilesInMemory::ReadFile(ebook::FileHandle file, void* buffer, int32_t count) {
  if (open_.count(file) != 0) return 0;  // written files are never read back
  return host_.ReadFile(file, buffer, count);
}

uint32_t FilesInMemory::SeekFile(ebook::FileHandle file, uint32_t offset) {
  if (open_.count(file) != 0) return 0xFFFFFFFFu;
  return host_.SeekFile(file, offset);
}

uint32_t FilesInMemory::FileSize(ebook::FileHandle file) {
  auto found = open_.find(file);
  if (found != open_.end()) return static_cast<uint32_t>(found->second->Bytes);
  return host_.FileSize(file);
}

ebook::FileHandle FilesInMemory::CreateFileForWrite(std::string_view path) {
  return Create(path, false);
}

ebook::FileHandle FilesInMemory::CreateNewFile(std::string_view path) { return Create(path, true); }

ebook::FileHandle FilesInMemory::Create(std::string_view path, bool onlyNew) {
  std::string key = Key(path);
  if (key.empty()) {
    lastWasMine_ = false;
    return onlyNew ? host_.CreateNewFile(path) : host_.CreateFileForWrite(path);
  }
  const std::string folder = key.substr(0, key.find_last_of('/'));
  if (!IsHostFolder(folder)) {
    Fail(MissingFolderError(folder));
    return nullptr;
  }
  const bool isFolder = IsHostFolder(host_.HostPath(path));
  if (onlyNew && (isFolder || files_.count(key) != 0)) {
    Fail(ebook::os::ExistsError());
    return nullptr;
  }
  if (isFolder) {
    Fail(ebook::os::IsFolderError());
    return nullptr;
  }
  files_[key] = 0;
  auto file = std::make_unique<OpenFile>();
  file->Key = std::move(key);
  // The record's address is the handle: unique while the file is open.
  auto handle = reinterpret_cast<ebook::FileHandle>(file.get());
  open_.emplace(handle, std::move(file));
  Succeed();
  return handle;
}

ebook::FileHandle FilesInMemory::OpenFileForRead(std::string_view path) {
  return host_.OpenFileForRead(path);
}

int32_t FilesInMemory::WriteFile(ebook::FileHandle file, const void* data, int32_t count) {
  auto found = open_.find(file);
  if (found == open_.end()) {
    lastWasMine_ = false;
    return host_.WriteFile(file, data, count);
  }
  if (data == nullptr || count <= 0) return 0;
  found->second->Bytes += count;
  Succeed();
  return count;
}

bool FilesInMemory::CloseFile(ebook::FileHandle file) {
  auto found = open_.find(file);
  if (found == open_.end()) {
    lastWasMine_ = false;
    return host_.CloseFile(file);
  }
  auto kept = files_.find(found->second->Key);
  if (kept != files_.end()) kept->second = found->second->Bytes;
  open_.erase(found);
  return Succeed();
}

bool FilesInMemory::FindAny(std::string_view pattern) {
  const size_t split = pattern.find_last_of("\\/");
  const std::string_view name =
      split == std::string_view::npos ? pattern : pattern.substr(split + 1);
  if (!HasWildcard(name)) return files_.count(Key(pattern)) != 0 || host_.FindAny(pattern);
  if (host_.FindAny(pattern)) return true;
  // A pattern that the folder's own "." and ".." do not match may still
  // match a file held here.
  if (split == std::string_view::npos) return false;
  const std::string folder = host_.HostPath(pattern.substr(0, split + 1));
  if (folder.empty()) return false;
  for (const auto& [key, bytes] : files_) {
    const size_t slash = key.find_last_of('/');
    if (key.compare(0, slash, folder) == 0 && slash == folder.size() &&
        ebook::WildcardMatch(name, std::string_view(key).substr(slash + 1))) {
      return true;
    }
  }
  return false;
}

bool FilesInMemory::CreateFolder(std::string_view path) {
  const std::string key = Key(path);
  if (!key.empty() && files_.count(key) != 0) return Fail(ebook::os::ExistsError());
  lastWasMine_ = false;
  return host_.CreateFolder(path);
}

bool FilesInMemory::MoveIntoPlace(std::string_view from, std::string_view to) {
  const std::string source = Key(from);
  const std::string target = Key(to);
  if (source.empty() && target.empty()) {
    lastWasMine_ = false;
    return host_.MoveIntoPlace(from, to);
  }
  auto moved = files_.find(source);
  if (source.empty() || target.empty() || moved == files_.end())
    return Fail(ebook::os::NotFoundError());
  if (IsHostFolder(host_.HostPath(to))) return Fail(ebook::os::IsFolderError());
  const int64_t bytes = moved->second;
  files_.erase(moved);
  files_[target] = bytes;
  return Succeed();
}

bool FilesInMemory::RemoveFile(std::string_view path) {
  const std::string key = Key(path);
  if (key.empty()) {
    lastWasMine_ = false;
    return host_.RemoveFile(path);
  }
  if (files_.erase(key) == 0) return Fail(ebook::os::NotFoundError());
  return Succeed();
}

int32_t FilesInMemory::LastErrorText(char* buffer, int32_t size) {
  if (!lastWasMine_) return host_.LastErrorText(buffer, size);
  if (buffer == nullptr || size <= 0) return 0;
  const std::string text = lastError_ == 0 ? "" : ebook::os::ErrorText(lastError_);
  const size_t length = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return static_cast<int32_t>(length);
}

}  // namespace bookpack
