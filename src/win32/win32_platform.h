// The engine's platform layer on Windows: each call is the matching wide
// Win32 call, with texts converted between the engine's UTF-8 and UTF-16.
#pragma once

#include <shobjidl.h>
#include <windows.h>

#include "core/platform.h"

namespace ebook::win32 {

// In the stub's one program this class is the Platform (core/platform.h),
// whose functions it declares as its own; everywhere else (the Win32
// layer's own tests among them) it implements the interface, and the
// compiler checks each declaration against it.
#ifdef EBOOK_WHOLE_PROGRAM
#define EBOOK_PLATFORM_OVERRIDE
class Win32Platform final {
 public:
  bool Quiet = false;  // as Platform::Quiet
#else
#define EBOOK_PLATFORM_OVERRIDE override
class Win32Platform final : public Platform {
 public:
#endif
  explicit Win32Platform(HINSTANCE instance) : instance_(instance) {}

  // The main dialog, whose controls the engine writes and reads. The entry
  // list is looked up once: a message by control number makes Wine ask the
  // server for the dialog's children first, and the list takes a message
  // for every entry of the book in each pass.
  void AttachDialog(HWND dialog) {
    dialog_ = dialog;
    list_ = GetDlgItem(dialog, kEntryList);
  }
  HINSTANCE Instance() const { return instance_; }

  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) EBOOK_PLATFORM_OVERRIDE;
  uint32_t SeekFile(FileHandle file, uint32_t offset) EBOOK_PLATFORM_OVERRIDE;
  uint32_t FileSize(FileHandle file) EBOOK_PLATFORM_OVERRIDE;
  FileHandle CreateFileForWrite(std::string_view path) EBOOK_PLATFORM_OVERRIDE;
  FileHandle CreateNewFile(std::string_view path) EBOOK_PLATFORM_OVERRIDE;
  FileHandle OpenFileForRead(std::string_view path) EBOOK_PLATFORM_OVERRIDE;
  int32_t WriteFile(FileHandle file, const void* data, int32_t count) EBOOK_PLATFORM_OVERRIDE;
  bool CloseFile(FileHandle file) EBOOK_PLATFORM_OVERRIDE;
  bool FindAny(std::string_view pattern) EBOOK_PLATFORM_OVERRIDE;
  bool CreateFolder(std::string_view path) EBOOK_PLATFORM_OVERRIDE;
  bool MoveIntoPlace(std::string_view from, std::string_view to) EBOOK_PLATFORM_OVERRIDE;
  bool RemoveFile(std::string_view path) EBOOK_PLATFORM_OVERRIDE;
  int32_t LastErrorText(char* buffer, int32_t size) EBOOK_PLATFORM_OVERRIDE;
  FileError LastFileError() EBOOK_PLATFORM_OVERRIDE;
  int32_t TempFolder(char* buffer, int32_t size) EBOOK_PLATFORM_OVERRIDE;
  int32_t CurrentFolder(char* buffer, int32_t size) EBOOK_PLATFORM_OVERRIDE;
  int32_t SystemFolder(bool windows, char* buffer, int32_t size) EBOOK_PLATFORM_OVERRIDE;
  int32_t EncodeTypedText(std::string_view text, char* out, int32_t size) EBOOK_PLATFORM_OVERRIDE;
  bool SetCurrentFolder(std::string_view path) EBOOK_PLATFORM_OVERRIDE;
  int32_t ExpandVariables(std::string_view text, char* buffer,
                          int32_t size) EBOOK_PLATFORM_OVERRIDE;
  int32_t FullPath(std::string_view path, char* buffer, int32_t size) EBOOK_PLATFORM_OVERRIDE;
  int32_t DecodeStoredText(std::string_view stored, bool utf8, char* out,
                           int32_t size) EBOOK_PLATFORM_OVERRIDE;

  void SetControlText(ControlId control, std::string_view text) EBOOK_PLATFORM_OVERRIDE;
  void SetTitle(std::string_view text) EBOOK_PLATFORM_OVERRIDE;
  int32_t ControlText(ControlId control, char* buffer, int32_t size) EBOOK_PLATFORM_OVERRIDE;
  void ListReset() EBOOK_PLATFORM_OVERRIDE;
  void ListAdd(std::string_view name) EBOOK_PLATFORM_OVERRIDE;
  void ListSetSelected(int32_t index, bool selected) EBOOK_PLATFORM_OVERRIDE;
  void ListSelectAll() EBOOK_PLATFORM_OVERRIDE;
  int32_t ListCount() EBOOK_PLATFORM_OVERRIDE;
  int32_t ListSelectedCount() EBOOK_PLATFORM_OVERRIDE;
  int32_t ReadListItem(int32_t index, char* buffer, int32_t size,
                       bool& selected) EBOOK_PLATFORM_OVERRIDE;
  void PumpOneMessage() EBOOK_PLATFORM_OVERRIDE;
  uint32_t Milliseconds() EBOOK_PLATFORM_OVERRIDE;
  void KeepResponsive() EBOOK_PLATFORM_OVERRIDE;
  bool AskYesNo(std::string_view text, std::string_view caption) EBOOK_PLATFORM_OVERRIDE;
  void ShowProgress(uint32_t done, uint32_t total, bool failed) EBOOK_PLATFORM_OVERRIDE;

  void ShowMessage(std::string_view text, std::string_view caption) EBOOK_PLATFORM_OVERRIDE;
  int32_t AskPassword(char* buffer, int32_t size, bool mayCancel) EBOOK_PLATFORM_OVERRIDE;
  OverwriteReply AskOverwrite(std::string_view fileName) EBOOK_PLATFORM_OVERRIDE;

  int32_t ReadRegistryString(RegistryPlace place, std::string_view keyPath,
                             std::string_view valueName, char* buffer,
                             int32_t size) EBOOK_PLATFORM_OVERRIDE;
  bool StartProgram(std::string_view commandLine, std::string_view folder) EBOOK_PLATFORM_OVERRIDE;
  bool StartElevated(std::string_view arguments) EBOOK_PLATFORM_OVERRIDE;

  // Wraps a Win32 handle as the engine's file handle (null for a failed open).
  static FileHandle FromHandle(HANDLE handle);
  static HANDLE ToHandle(FileHandle file);

 private:
  LRESULT SendToList(UINT message, WPARAM wParam, LPARAM lParam);
  // Takes one pending message and lets it through as the dialog manager
  // would (Escape and Enter become the dialog's commands); false when none
  // was waiting.
  bool PassMessage();
  void SetText(HWND window, std::string_view text);
  // A message box owned by the main dialog once there is one; its answer.
  int Box(std::string_view text, std::string_view caption, UINT type);
  // Keeps GetLastError() of a failed file call for LastErrorText (0 after a
  // success); later probes may overwrite the thread's own value. Returns `ok`.
  bool Remember(bool ok);
  FileHandle CreateForWrite(std::string_view path, DWORD disposition);
  // The file path in the form the wide calls take; a path that has none
  // counts as a failed call with a too-long name.
  bool FilePath(std::string_view path, wchar_t* wide);

  HINSTANCE instance_;
  HWND dialog_ = nullptr;
  HWND list_ = nullptr;  // the hidden entry list of the main dialog
  DWORD lastPump_ = 0;   // GetTickCount of the last KeepResponsive pump
  DWORD lastError_ = 0;
  // The taskbar button's progress: looked up on the first report; null
  // where the system has none.
  ITaskbarList3* taskbar_ = nullptr;
  bool taskbarTried_ = false;
};

}  // namespace ebook::win32
