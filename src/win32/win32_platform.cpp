#include "win32_platform.h"

#include <shellapi.h>

#include <cstdlib>

#include "dialogs.h"
#include "file_error.h"
#include "resource_ids.h"
#include "win32_text.h"

namespace ebook::win32 {
namespace {

// A text handed to a control or a message box, converted to UTF-16, with
// bare line feeds turned into CR LF (an edit control shows a lone LF as a
// box, not as a line break). Small texts live on the stack; a licence text
// takes the heap.
class WideText {
 public:
  explicit WideText(std::string_view text) {
    // Converted into the upper half of one buffer, then spread into the
    // lower half: the k-th unit out comes from unit k/2 or later of the
    // converted text, so it never overtakes what it still has to read.
    const int32_t room = static_cast<int32_t>(text.size()) * 2 + 1;
    wchar_t* out = 2 * room <= kStackCount ? stack_ : heap_ = Allocate(2 * room);
    wchar_t* raw = out + room;
    int32_t n = Utf8ToWide(text, raw, room);
    int32_t k = 0;
    for (int32_t i = 0; i < n; ++i) {
      if (raw[i] == L'\n' && (i == 0 || raw[i - 1] != L'\r')) out[k++] = L'\r';
      out[k++] = raw[i];
    }
    out[k] = L'\0';
    text_ = out;
  }
  ~WideText() { std::free(heap_); }
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;
  const wchar_t* get() const { return text_; }

 private:
  static constexpr int32_t kStackCount = 2200;
  static wchar_t* Allocate(int32_t count) {
    auto* p = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<size_t>(count)));
    if (p == nullptr) std::abort();  // no memory for a dialog text: nothing sensible is left
    return p;
  }
  wchar_t stack_[kStackCount];
  wchar_t* heap_ = nullptr;
  const wchar_t* text_ = L"";
};

// GetTempPathA and GetCurrentDirectoryA answer the length copied, or the
// size needed when the buffer is too small; the engine relies on that.
int32_t CopyFolderText(const wchar_t* folder, DWORD length, char* buffer, int32_t size) {
  if (length == 0) return 0;
  const int32_t needed = Utf8LengthOf(folder, static_cast<int32_t>(length));
  if (needed >= size) {
    if (size > 0) buffer[0] = '\0';
    return needed + 1;
  }
  return WideToUtf8(folder, static_cast<int32_t>(length), buffer, size);
}

HKEY RootOf(RegistryPlace place) {
  return place == RegistryPlace::kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

REGSAM ViewOf(RegistryPlace place) {
  switch (place) {
    case RegistryPlace::kLocalMachine64:
      return KEY_WOW64_64KEY;
    case RegistryPlace::kLocalMachine32:
      return KEY_WOW64_32KEY;
    default:
      return 0;
  }
}

}  // namespace

FileHandle Win32Platform::FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<FileHandle>(handle);
}

HANDLE Win32Platform::ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

int32_t Win32Platform::ReadFile(FileHandle file, void* buffer, int32_t count) {
  DWORD got = 0;
  if (count <= 0 || !::ReadFile(ToHandle(file), buffer, static_cast<DWORD>(count), &got, nullptr))
    return 0;
  return static_cast<int32_t>(got);
}

uint32_t Win32Platform::SeekFile(FileHandle file, uint32_t offset) {
  // A zero high part makes the distance an unsigned 32-bit offset.
  LONG high = 0;
  DWORD low = SetFilePointer(ToHandle(file), static_cast<LONG>(offset), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0xFFFFFFFFu;
  return low;
}

uint32_t Win32Platform::FileSize(FileHandle file) { return GetFileSize(ToHandle(file), nullptr); }

bool Win32Platform::Remember(bool ok) {
  lastError_ = ok ? 0 : GetLastError();
  return ok;
}

bool Win32Platform::FilePath(std::string_view path, wchar_t* wide) {
  if (ToFilePath(path, wide, kWidePathSize)) return true;
  lastError_ = ERROR_FILENAME_EXCED_RANGE;
  return false;
}

FileHandle Win32Platform::CreateFileForWrite(std::string_view path) {
  return CreateForWrite(path, CREATE_ALWAYS);
}

FileHandle Win32Platform::CreateNewFile(std::string_view path) {
  return CreateForWrite(path, CREATE_NEW);
}

FileHandle Win32Platform::CreateForWrite(std::string_view path, DWORD disposition) {
  wchar_t wide[kWidePathSize];
  if (!FilePath(path, wide)) return nullptr;
  FileHandle file = FromHandle(CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  Remember(file != nullptr);
  return file;
}

FileHandle Win32Platform::OpenFileForRead(std::string_view path) {
  wchar_t wide[kWidePathSize];
  if (!ToFilePath(path, wide, kWidePathSize)) return nullptr;
  return FromHandle(CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

int32_t Win32Platform::WriteFile(FileHandle file, const void* data, int32_t count) {
  DWORD written = 0;
  if (count <= 0) return 0;
  // A short write that reports success has no reason to give.
  if (!Remember(::WriteFile(ToHandle(file), data, static_cast<DWORD>(count), &written, nullptr) !=
                FALSE))
    return 0;
  return static_cast<int32_t>(written);
}

bool Win32Platform::CloseFile(FileHandle file) {
  return Remember(CloseHandle(ToHandle(file)) != FALSE);
}

bool Win32Platform::FindAny(std::string_view pattern) {
  wchar_t wide[kWidePathSize];
  if (!ToFilePath(pattern, wide, kWidePathSize)) return false;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool Win32Platform::CreateFolder(std::string_view path) {
  wchar_t wide[kWidePathSize];
  return FilePath(path, wide) && Remember(CreateDirectoryW(wide, nullptr) != FALSE);
}

bool Win32Platform::MoveIntoPlace(std::string_view from, std::string_view to) {
  wchar_t source[kWidePathSize];
  wchar_t target[kWidePathSize];
  // A rename within one folder: MOVEFILE_WRITE_THROUGH would only matter
  // for a move done as copy and delete, which MOVEFILE_COPY_ALLOWED (not
  // given) is needed for.
  return FilePath(from, source) && FilePath(to, target) &&
         Remember(MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING) != FALSE);
}

bool Win32Platform::RemoveFile(std::string_view path) {
  wchar_t wide[kWidePathSize];
  return FilePath(path, wide) && Remember(DeleteFileW(wide) != FALSE);
}

FileError Win32Platform::LastFileError() { return FileErrorOfCode(lastError_); }

int32_t Win32Platform::LastErrorText(char* buffer, int32_t size) {
  if (size <= 0) return 0;
  buffer[0] = '\0';
  if (lastError_ == 0) return 0;
  wchar_t text[512];
  // The width mask folds the message's own line breaks into spaces: the
  // reason goes on one line of a message box.
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, lastError_, 0, text, 512, nullptr);
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' ||
                   text[n - 1] == L'.'))
    --n;
  // A code the system has no text for gives none: the message goes without.
  return WideToUtf8(text, static_cast<int32_t>(n), buffer, size);
}

int32_t Win32Platform::TempFolder(char* buffer, int32_t size) {
  wchar_t folder[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  return n > MAX_PATH ? 0 : CopyFolderText(folder, n, buffer, size);
}

int32_t Win32Platform::CurrentFolder(char* buffer, int32_t size) {
  wchar_t folder[kWidePathSize];
  DWORD n = GetCurrentDirectoryW(kWidePathSize, folder);
  return n >= static_cast<DWORD>(kWidePathSize) ? 0 : CopyFolderText(folder, n, buffer, size);
}

int32_t Win32Platform::SystemFolder(bool windows, char* buffer, int32_t size) {
  wchar_t folder[kWidePathSize];
  UINT n = (windows ? GetWindowsDirectoryW : GetSystemDirectoryW)(folder, kWidePathSize);
  return n >= static_cast<UINT>(kWidePathSize) ? 0 : CopyFolderText(folder, n, buffer, size);
}

bool Win32Platform::SetCurrentFolder(std::string_view path) {
  wchar_t wide[kWidePathSize];
  return Utf8ToWide(path, wide, kWidePathSize) >= 0 && SetCurrentDirectoryW(wide) != FALSE;
}

int32_t Win32Platform::FullPath(std::string_view path, char* buffer, int32_t size) {
  wchar_t given[kWidePathSize];
  wchar_t full[kWidePathSize];
  buffer[0] = '\0';
  if (Utf8ToWide(path, given, kWidePathSize) < 0) return -1;
  const DWORD n = GetFullPathNameW(given, kWidePathSize, full, nullptr);
  if (n == 0 || n >= static_cast<DWORD>(kWidePathSize) ||
      Utf8LengthOf(full, static_cast<int32_t>(n)) >= size)
    return -1;
  return WideToUtf8(full, static_cast<int32_t>(n), buffer, size);
}

int32_t Win32Platform::ExpandVariables(std::string_view text, char* buffer, int32_t size) {
  wchar_t raw[kWidePathSize];
  wchar_t expanded[kWidePathSize];
  if (size <= 0 || Utf8ToWide(text, raw, kWidePathSize) < 0) return -1;
  const DWORD n = ExpandEnvironmentStringsW(raw, expanded, kWidePathSize);
  if (n == 0 || n > static_cast<DWORD>(kWidePathSize)) return -1;
  WideToUtf8(expanded, static_cast<int32_t>(n - 1), buffer, size);
  return Utf8LengthOf(expanded, static_cast<int32_t>(n - 1));
}

int32_t Win32Platform::DecodeStoredText(std::string_view stored, bool utf8, char* out,
                                        int32_t size) {
  if (size <= 0) return -1;
  out[0] = '\0';
  if (stored.empty()) return 0;
  // A name is at most 257 bytes; a licence may be long, so its wide copy
  // takes the heap.
  const int32_t count = static_cast<int32_t>(stored.size());
  wchar_t small[kWidePathSize];
  wchar_t* wide =
      count < kWidePathSize
          ? small
          : static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<size_t>(count)));
  if (wide == nullptr) std::abort();
  // Each byte gives at most one UTF-16 unit, in any code page.
  int n = MultiByteToWideChar(utf8 ? CP_UTF8 : CP_ACP, 0, stored.data(), count, wide,
                              count < kWidePathSize ? kWidePathSize : count);
  int32_t result = -1;
  if (n > 0 && Utf8LengthOf(wide, n) < size) result = WideToUtf8(wide, n, out, size);
  if (wide != small) std::free(wide);
  return result;
}

int32_t Win32Platform::EncodeTypedText(std::string_view text, char* out, int32_t size) {
  wchar_t wide[kWidePathSize];
  const int32_t n = Utf8ToWide(text, wide, kWidePathSize);
  // As the password dialog converts what is typed.
  int bytes = n > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, n, out, size - 1, nullptr, nullptr) : 0;
  out[bytes] = '\0';
  return bytes;
}

// A control's text and the caption are the same message to a window.
__attribute__((noinline)) void Win32Platform::SetText(HWND window, std::string_view text) {
  WideText wide(text);
  SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.get()));
}

void Win32Platform::SetControlText(ControlId control, std::string_view text) {
  SetText(GetDlgItem(dialog_, control), text);
}

void Win32Platform::SetTitle(std::string_view text) { SetText(dialog_, text); }

int32_t Win32Platform::ControlText(ControlId control, char* buffer, int32_t size) {
  if (size <= 0) return 0;
  wchar_t wide[kWidePathSize];
  int n = GetDlgItemTextW(dialog_, control, wide, kWidePathSize);
  return WideToUtf8(wide, n, buffer, size);
}

LRESULT Win32Platform::SendToList(UINT message, WPARAM wParam, LPARAM lParam) {
  return SendMessageW(list_, message, wParam, lParam);
}

void Win32Platform::ListReset() { SendToList(LB_RESETCONTENT, 0, 0); }

void Win32Platform::ListAdd(std::string_view name) {
  WideText wide(name);
  SendToList(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.get()));
}

void Win32Platform::ListSetSelected(int32_t index, bool selected) {
  // The list box reads index -1 as "every item"; one entry's mark must
  // never clear them all.
  if (index < 0) return;
  SendToList(LB_SETSEL, selected ? TRUE : FALSE, index);
}

void Win32Platform::ListSelectAll() { SendToList(LB_SETSEL, TRUE, -1); }

int32_t Win32Platform::ListCount() {
  LRESULT n = SendToList(LB_GETCOUNT, 0, 0);
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t Win32Platform::ListSelectedCount() {
  LRESULT n = SendToList(LB_GETSELCOUNT, 0, 0);
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t Win32Platform::ReadListItem(int32_t index, char* buffer, int32_t size, bool& selected) {
  selected = false;
  if (size > 0) buffer[0] = '\0';
  // LB_GETTEXT copies the whole item: one longer than the buffer (never an
  // entry name, which the name buffer keeps short) is not read.
  const LRESULT length = index < 0 ? LB_ERR : SendToList(LB_GETTEXTLEN, index, 0);
  if (length == LB_ERR || length >= kWidePathSize) return -1;
  wchar_t wide[kWidePathSize];
  const LRESULT n = SendToList(LB_GETTEXT, index, reinterpret_cast<LPARAM>(wide));
  if (n == LB_ERR) return -1;
  selected = SendToList(LB_GETSEL, index, 0) > 0;
  return WideToUtf8(wide, static_cast<int32_t>(n), buffer, size);
}

uint32_t Win32Platform::Milliseconds() { return GetTickCount(); }

bool Win32Platform::PassMessage() {
  MSG message;
  if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return false;
  // The dialog's own loop, which makes Escape the dialog's Exit command, is
  // not running during the install; the small dialogs and message boxes
  // run loops of their own, so a key seen here is the main dialog's.
  if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
    SendMessageW(dialog_, WM_COMMAND, IDCANCEL, 0);
  } else {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

void Win32Platform::PumpOneMessage() { PassMessage(); }

void Win32Platform::KeepResponsive() {
  const DWORD now = GetTickCount();
  if (now - lastPump_ < 100) return;
  lastPump_ = now;
  while (PassMessage()) {
  }
}

// The questions and messages are owned by the main dialog: a click on it
// can then never bury them, and it stays disabled while they are open.
int Win32Platform::Box(std::string_view text, std::string_view caption, UINT type) {
  if (Quiet) return IDNO;
  WideText wideText(text);
  WideText wideCaption(caption);
  return MessageBoxW(dialog_, wideText.get(), wideCaption.get(), type);
}

void Win32Platform::ShowMessage(std::string_view text, std::string_view caption) {
  Box(text, caption, MB_OK);
}

bool Win32Platform::AskYesNo(std::string_view text, std::string_view caption) {
  return Box(text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int32_t Win32Platform::AskPassword(char* buffer, int32_t size, bool mayCancel) {
  if (Quiet) return -1;
  PasswordRequest request{buffer, size, 0, mayCancel};
  DialogBoxParamW(instance_, kPasswordDialogName, dialog_, PasswordDialogProc,
                  reinterpret_cast<LPARAM>(&request));
  return request.Length;
}

OverwriteReply Win32Platform::AskOverwrite(std::string_view fileName) {
  OverwriteRequest request{fileName, {}};
  DialogBoxParamW(instance_, kFileExistDialogName, dialog_, FileExistDialogProc,
                  reinterpret_cast<LPARAM>(&request));
  return request.Reply;
}

int32_t Win32Platform::ReadRegistryString(RegistryPlace place, std::string_view keyPath,
                                          std::string_view valueName, char* buffer, int32_t size) {
  if (size <= 0) return -1;
  buffer[0] = '\0';
  wchar_t key[kWidePathSize];
  wchar_t value[256];
  if (Utf8ToWide(keyPath, key, kWidePathSize) < 0 || Utf8ToWide(valueName, value, 256) < 0)
    return -1;
  HKEY opened;
  if (RegOpenKeyExW(RootOf(place), key, 0, KEY_QUERY_VALUE | ViewOf(place), &opened) !=
      ERROR_SUCCESS)
    return -1;
  wchar_t data[kWidePathSize];
  DWORD type = 0;
  DWORD bytes = sizeof data - sizeof(wchar_t);
  LONG status =
      RegQueryValueExW(opened, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes);
  RegCloseKey(opened);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return -1;
  // Stored strings need not end in a NUL, or may end in several.
  int32_t n = static_cast<int32_t>(bytes / sizeof(wchar_t));
  data[n] = L'\0';
  n = lstrlenW(data);
  if (Utf8LengthOf(data, n) >= size) return -1;
  return WideToUtf8(data, n, buffer, size);
}

bool Win32Platform::StartProgram(std::string_view commandLine, std::string_view folder) {
  // CreateProcessW may write to the command line, so it gets its own copy.
  wchar_t command[kWidePathSize];
  wchar_t directory[kWidePathSize];
  if (Utf8ToWide(commandLine, command, kWidePathSize) < 0 ||
      Utf8ToWide(folder, directory, kWidePathSize) < 0)
    return false;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr,
                      directory[0] != L'\0' ? directory : nullptr, &startup, &started))
    return false;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

bool Win32Platform::StartElevated(std::string_view arguments) {
  wchar_t own[kWidePathSize];
  wchar_t parameters[kWidePathSize];
  const DWORD n = GetModuleFileNameW(nullptr, own, kWidePathSize);
  if (n == 0 || n >= static_cast<DWORD>(kWidePathSize) ||
      Utf8ToWide(arguments, parameters, kWidePathSize) < 0)
    return false;
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.hwnd = dialog_;
  info.lpVerb = L"runas";
  info.lpFile = own;
  info.lpParameters = parameters;
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info) != FALSE;
}

// The taskbar's interface, named here rather than taken from libuuid, whose
// GUIDs would bring a writable data section.
constexpr GUID kTaskbarListClass = {
    0x56FDF344, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
constexpr GUID kTaskbarList3 = {
    0xEA1AFB91, 0x9E28, 0x4B86, {0x90, 0xE9, 0x9E, 0x9F, 0x8A, 0x5E, 0xEF, 0xAF}};

void Win32Platform::ShowProgress(uint32_t done, uint32_t total, bool failed) {
  if (Quiet) return;
  if (!taskbarTried_) {
    taskbarTried_ = true;
    void* found = nullptr;
    // Before Windows 7, and under Wine, there may be none: nothing shows.
    if (SUCCEEDED(CoInitialize(nullptr)) &&
        SUCCEEDED(CoCreateInstance(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3,
                                   &found)))
      taskbar_ = static_cast<ITaskbarList3*>(found);
  }
  if (taskbar_ == nullptr) return;
  taskbar_->SetProgressValue(dialog_, done, total);
  taskbar_->SetProgressState(dialog_, failed ? TBPF_ERROR : TBPF_NORMAL);
}

}  // namespace ebook::win32
