// The one narrow door through which the setup engine reaches the outside
// world: files, the main dialog's controls, message boxes, the two small
// dialogs, the registry and process start. The Win32 layer implements it for
// the stub; the native host implements it on Linux for the tests and the
// publisher's tool. Implementations carry out each call and report what
// happened; they hold no setup logic. Texts the engine hands over or gets
// back are UTF-8, paths are Windows paths; what an archive stores in other
// encodings is brought into UTF-8 through DecodeStoredText first.
#pragma once

#include <cstdint>
#include <string_view>

namespace ebook {

// An open file of the platform; null when a file could not be opened.
struct PlatformFile;
using FileHandle = PlatformFile*;

// Controls of the main dialog that the engine writes or reads.
enum ControlId : int {
  kInstallPathLabel = 100,  // "&Install path:"
  kInstallPathEdit = 101,
  kNoticeLine = 132,
  kEntryList = 301,  // hidden multiple-selection list in walk order: pending marks
  kStatusLine = 601,
  kLicenceBox = 701,
};

// Where a registry value is read; the engine decides the order.
enum class RegistryPlace {
  kCurrentUser,     // HKEY_CURRENT_USER
  kLocalMachine64,  // HKEY_LOCAL_MACHINE, 64-bit view
  kLocalMachine32,  // HKEY_LOCAL_MACHINE, 32-bit view
};

// Why the last file call that failed failed, as far as the engine decides
// on it.
enum class FileError : uint8_t {
  kNone,
  kExists,        // something of that name is there already
  kNoFolder,      // the folder it goes in is missing (or is a file)
  kAccessDenied,  // the system refuses this user
  kOther,
};

struct OverwriteReply {
  bool Overwrite = false;     // Yes: replace the existing file
  bool DontAskAgain = false;  // "Don't ask again" was ticked
};

// The stub is compiled as one program from every source at once
// (EBOOK_WHOLE_PROGRAM), with the Win32 layer its only platform. There the
// Win32 layer's class is the Platform itself, declaring each function below
// as its own (src/win32/win32_platform.h, which that program's source takes
// first): the engine calls the platform directly, arguments in registers,
// the small functions inlined, and no table of virtual functions is kept
// (over 1,100 bytes of i686 code and read-only data).
#ifdef EBOOK_WHOLE_PROGRAM
namespace win32 {
class Win32Platform;
}
using Platform = win32::Win32Platform;
#else

class Platform {
 public:
  // --- Files -------------------------------------------------------------
  // Reads up to `count` bytes at the current position; returns the count read
  // (0 at the end of the file or on failure).
  virtual int32_t ReadFile(FileHandle file, void* buffer, int32_t count) = 0;
  // Moves to an absolute offset; returns the new position, or 0xFFFFFFFF.
  virtual uint32_t SeekFile(FileHandle file, uint32_t offset) = 0;
  // The file's length (low 32 bits).
  virtual uint32_t FileSize(FileHandle file) = 0;
  // Creates or truncates a file for writing; null on failure.
  virtual FileHandle CreateFileForWrite(std::string_view path) = 0;
  // Creates a file for writing only when nothing of its name is there: one
  // call both makes a new file and tells that an old one is in the way.
  // Null on failure, LastFileError says why.
  virtual FileHandle CreateNewFile(std::string_view path) = 0;
  // Opens an existing file for reading; null on failure.
  virtual FileHandle OpenFileForRead(std::string_view path) = 0;
  // Writes; returns the count written.
  virtual int32_t WriteFile(FileHandle file, const void* data, int32_t count) = 0;
  virtual bool CloseFile(FileHandle file) = 0;
  // True when a search for `pattern` (a path, possibly ending in "*.*")
  // finds anything: a file or a folder.
  virtual bool FindAny(std::string_view pattern) = 0;
  virtual bool CreateFolder(std::string_view path) = 0;
  // Moves the file `from` to `to` in the same folder, replacing a file
  // already there in one step; false (and nothing moved) when it cannot, e.g.
  // because `to` is read-only, in use, or a folder. (Not named ReplaceFile or
  // MoveFile: <windows.h> turns those names into macros.)
  virtual bool MoveIntoPlace(std::string_view from, std::string_view to) = 0;
  // Deletes a file. (Not DeleteFile, for the same reason.)
  virtual bool RemoveFile(std::string_view path) = 0;
  // Why the last file call that failed failed, as the system words it:
  // CreateFileForWrite, CreateNewFile, WriteFile, CloseFile, CreateFolder,
  // MoveIntoPlace and RemoveFile remember their outcome (a success forgets
  // the reason); the
  // probes (FindAny, the reads) leave it alone, so a check after a failure
  // does not hide its reason. Writes a NUL-terminated text without a final
  // full stop or line break and returns its length; 0 when no reason is known.
  virtual int32_t LastErrorText(char* buffer, int32_t size) = 0;
  // The same reason, sorted into the kinds the engine acts on.
  virtual FileError LastFileError() = 0;
  // The user's temporary folder, ending in a backslash; empty on failure.
  virtual int32_t TempFolder(char* buffer, int32_t size) = 0;
  virtual int32_t CurrentFolder(char* buffer, int32_t size) = 0;
  // The system folder (System32), or with `windows` the Windows folder,
  // without a trailing backslash; empty on failure. Answers like
  // CurrentFolder.
  virtual int32_t SystemFolder(bool windows, char* buffer, int32_t size) = 0;
  virtual bool SetCurrentFolder(std::string_view path) = 0;
  // `path` made absolute against the current folder, as the file functions
  // take it. Returns its length, or -1 (an empty text) when it does not fit.
  virtual int32_t FullPath(std::string_view path, char* buffer, int32_t size) = 0;
  // `text` with its %VARIABLES% replaced by the reader's environment, as
  // ExpandEnvironmentStrings does (an unknown one stays as written). Writes
  // what fits, NUL-terminated, and returns the whole length; -1 on failure.
  virtual int32_t ExpandVariables(std::string_view text, char* buffer, int32_t size) = 0;

  // Brings text as an archive stores it (an entry name, a licence) into
  // UTF-8: `utf8` says it is UTF-8 already (ill-formed sequences are
  // replaced), otherwise it is read in the system's ANSI code page, exactly
  // as the ANSI file functions would read it. Writes a NUL-terminated text
  // and returns its length, or -1 (and an empty text) when it does not fit.
  virtual int32_t DecodeStoredText(std::string_view stored, bool utf8, char* out, int32_t size) = 0;
  // The other way, for a password given as UTF-8 text: the bytes the
  // password dialog gives for the same characters typed, i.e. the system's
  // ANSI code page (a character it lacks becomes what the dialog makes of
  // it). Writes a NUL-terminated text of at most size - 1 bytes and returns
  // its length; 0 (an empty text) when it does not fit. `text` may lie in
  // `out`.
  virtual int32_t EncodeTypedText(std::string_view text, char* out, int32_t size) = 0;

  // --- The main dialog ---------------------------------------------------
  virtual void SetControlText(ControlId control, std::string_view text) = 0;
  // The main dialog's caption.
  virtual void SetTitle(std::string_view text) = 0;
  // Copies the control's text, NUL-terminated, into `buffer`; returns its length.
  virtual int32_t ControlText(ControlId control, char* buffer, int32_t size) = 0;
  virtual void ListReset() = 0;
  virtual void ListAdd(std::string_view name) = 0;
  virtual void ListSetSelected(int32_t index, bool selected) = 0;
  virtual void ListSelectAll() = 0;
  virtual int32_t ListCount() = 0;
  virtual int32_t ListSelectedCount() = 0;
  // Copies the text of item `index` (cut to fit, NUL-terminated) and tells
  // whether it is selected; returns the text's length, or -1 (an empty text,
  // not selected) when there is no such item.
  virtual int32_t ReadListItem(int32_t index, char* buffer, int32_t size, bool& selected) = 0;
  // Lets at most one pending window message through.
  virtual void PumpOneMessage() = 0;
  // A millisecond clock (wrapping), for what is shown at most so often.
  virtual uint32_t Milliseconds() = 0;
  // Called as an entry's data is written: lets every pending window message
  // through once 100 ms have passed since it last did, so that the window
  // never looks hung during a long file. Cheap enough to call per write.
  virtual void KeepResponsive() = 0;

  // The install's progress where the system shows it (the taskbar button):
  // `done` of `total` archive bytes, or, once `failed`, the error state at
  // the last value. Does nothing where the system has no such display.
  virtual void ShowProgress(uint32_t done, uint32_t total, bool failed) = 0;

  // --- Messages and the small dialogs -------------------------------------
  // An unattended install (/S) shows no window at all: while this is set,
  // messages are not shown, AskYesNo answers No, and the password and
  // password dialog is cancelled (-1); an unattended install has its
  // overwrite answer from the command line and never asks.
  bool Quiet = false;
  // A modal message box with only an OK button, owned by the main dialog
  // once there is one, so that it never hides behind it. (Not named
  // MessageBox: <windows.h> turns that name into a macro.)
  virtual void ShowMessage(std::string_view text, std::string_view caption) = 0;
  // The password dialog: fills `buffer` (NUL-terminated, at most size - 1
  // characters) and returns the count typed. Only Ok or Enter end it, unless
  // `mayCancel`: then Escape or the close box cancel it, and it returns -1.
  virtual int32_t AskPassword(char* buffer, int32_t size, bool mayCancel) = 0;
  // A question with Yes and No, owned by the main dialog; true for Yes.
  virtual bool AskYesNo(std::string_view text, std::string_view caption) = 0;
  // The overwrite dialog for the existing file `fileName`.
  virtual OverwriteReply AskOverwrite(std::string_view fileName) = 0;

  // --- Registry and processes ---------------------------------------------
  // Reads a string value, opening the key for query only (nothing is
  // created). Copies at most size - 1 bytes and a NUL; returns the value's
  // length, or -1 when the key or value is missing or does not fit.
  virtual int32_t ReadRegistryString(RegistryPlace place, std::string_view keyPath,
                                     std::string_view valueName, char* buffer, int32_t size) = 0;
  // Starts `commandLine` with `folder` as its current directory (the
  // setup's own current directory when `folder` is empty).
  virtual bool StartProgram(std::string_view commandLine, std::string_view folder) = 0;
  // Starts the setup's own program again with administrator rights (the
  // system asks the reader) and `arguments`, without waiting for it; false
  // when it did not start, e.g. because the reader declined.
  virtual bool StartElevated(std::string_view arguments) = 0;

 protected:
  ~Platform() = default;
};
#endif  // EBOOK_WHOLE_PROGRAM

}  // namespace ebook
