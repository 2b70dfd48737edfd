// The native host with the files an install writes kept in memory: `check`
// runs the reader's whole install only to see what the reader would see, and
// creating thousands of files on disk (then deleting them) cost it most of
// its time. Folders are still made on disk, so that paths, the current
// folder and every probe of a folder resolve exactly as the host resolves
// them; each file written is held as a name and a byte count, its data
// dropped as it arrives (the engine has verified it by then). Everything
// else goes to the native host unchanged. Only the files under one folder
// (the installation folder) are held so: the licence's copy in the
// temporary folder is read back, and stays a real file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/platform.h"
#include "host/native_platform.h"

namespace bookpack {

class FilesInMemory final : public ebook::Platform {
 public:
  // `folder` is a Windows path: files under it, at any depth, are held here.
  FilesInMemory(ebook::NativePlatform& host, std::string_view folder);
  FilesInMemory(const FilesInMemory&) = delete;
  FilesInMemory& operator=(const FilesInMemory&) = delete;
  ~FilesInMemory();

  // The bytes a file written under `path` holds; -1 when there is none.
  int64_t SizeOf(std::string_view path) const;
  size_t FileCount() const { return files_.size(); }

  int32_t ReadFile(ebook::FileHandle file, void* buffer, int32_t count) override;
  uint32_t SeekFile(ebook::FileHandle file, uint32_t offset) override;
  uint32_t FileSize(ebook::FileHandle file) override;
  ebook::FileHandle CreateFileForWrite(std::string_view path) override;
  ebook::FileHandle CreateNewFile(std::string_view path) override;
  ebook::FileHandle OpenFileForRead(std::string_view path) override;
  int32_t WriteFile(ebook::FileHandle file, const void* data, int32_t count) override;
  bool CloseFile(ebook::FileHandle file) override;
  bool FindAny(std::string_view pattern) override;
  bool CreateFolder(std::string_view path) override;
  bool MoveIntoPlace(std::string_view from, std::string_view to) override;
  bool RemoveFile(std::string_view path) override;
  int32_t LastErrorText(char* buffer, int32_t size) override;
  ebook::FileError LastFileError() override {
    return lastWasMine_ ? ebook::FileErrorOf(lastError_) : host_.LastFileError();
  }
  int32_t TempFolder(char* buffer, int32_t size) override { return host_.TempFolder(buffer, size); }
  int32_t CurrentFolder(char* buffer, int32_t size) override {
    return host_.CurrentFolder(buffer, size);
  }
  int32_t EncodeTypedText(std::string_view text, char* out, int32_t size) override {
    return host_.EncodeTypedText(text, out, size);
  }
  int32_t SystemFolder(bool windows, char* buffer, int32_t size) override {
    return host_.SystemFolder(windows, buffer, size);
  }
  bool SetCurrentFolder(std::string_view path) override { return host_.SetCurrentFolder(path); }
  int32_t DecodeStoredText(std::string_view stored, bool utf8, char* out, int32_t size) override {
    return host_.DecodeStoredText(stored, utf8, out, size);
  }

  void SetControlText(ebook::ControlId control, std::string_view text) override {
    host_.SetControlText(control, text);
  }
  void SetTitle(std::string_view text) override { host_.SetTitle(text); }
  int32_t FullPath(std::string_view path, char* buffer, int32_t size) override {
    return host_.FullPath(path, buffer, size);
  }
  int32_t ExpandVariables(std::string_view text, char* buffer, int32_t size) override {
    return host_.ExpandVariables(text, buffer, size);
  }
  int32_t ControlText(ebook::ControlId control, char* buffer, int32_t size) override {
    return host_.ControlText(control, buffer, size);
  }
  void ListReset() override { host_.ListReset(); }
  void ListAdd(std::string_view name) override { host_.ListAdd(name); }
  void ListSetSelected(int32_t index, bool selected) override {
    host_.ListSetSelected(index, selected);
  }
  void ListSelectAll() override { host_.ListSelectAll(); }
  int32_t ListCount() override { return host_.ListCount(); }
  int32_t ListSelectedCount() override { return host_.ListSelectedCount(); }
  int32_t ReadListItem(int32_t index, char* buffer, int32_t size, bool& selected) override {
    return host_.ReadListItem(index, buffer, size, selected);
  }
  void PumpOneMessage() override { host_.PumpOneMessage(); }
  uint32_t Milliseconds() override { return host_.Milliseconds(); }
  void KeepResponsive() override { host_.KeepResponsive(); }
  void ShowProgress(uint32_t done, uint32_t total, bool failed) override {
    host_.ShowProgress(done, total, failed);
  }

  void ShowMessage(std::string_view text, std::string_view caption) override {
    host_.ShowMessage(text, caption);
  }
  int32_t AskPassword(char* buffer, int32_t size, bool mayCancel) override {
    return host_.AskPassword(buffer, size, mayCancel);
  }
  bool AskYesNo(std::string_view text, std::string_view caption) override {
    return host_.AskYesNo(text, caption);
  }
  ebook::OverwriteReply AskOverwrite(std::string_view fileName) override {
    return host_.AskOverwrite(fileName);
  }
  int32_t ReadRegistryString(ebook::RegistryPlace place, std::string_view keyPath,
                             std::string_view valueName, char* buffer, int32_t size) override {
    return host_.ReadRegistryString(place, keyPath, valueName, buffer, size);
  }
  bool StartProgram(std::string_view commandLine, std::string_view folder) override {
    return host_.StartProgram(commandLine, folder);
  }
  bool StartElevated(std::string_view arguments) override { return host_.StartElevated(arguments); }

 private:
  struct OpenFile;
  // The file's key: its folder as the host resolves it, and its own name
  // folded to one case, as Windows compares names. Empty when the host
  // refuses the path.
  std::string Key(std::string_view path) const;
  ebook::FileHandle Create(std::string_view path, bool onlyNew);
  // Whether the host has something real (a folder, or a file it made) there.
  bool OnDisk(std::string_view path) const;
  int MissingFolderError(std::string folder) const;
  bool Fail(int error);
  bool Succeed();

  ebook::NativePlatform& host_;
  std::string folder_;  // the host path of the folder whose files are held
  std::unordered_map<std::string, int64_t> files_;  // key -> bytes
  std::unordered_map<const void*, std::unique_ptr<OpenFile>> open_;
  int lastError_ = 0;
  bool lastWasMine_ = false;
};

}  // namespace bookpack
