// The platform layer on Linux. Files live on the real file system, with each
// Windows drive a folder under a root chosen by the caller; everything the
// user would have seen or answered (the main dialog, message boxes, the small
// dialogs, the registry, started programs) is plain data that the caller
// scripts beforehand and inspects afterwards.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform.h"

namespace ebook {

// Orders strings the way the host compares Windows names: ASCII letters
// without regard to case, every other byte by its value.
struct CaseInsensitiveLess {
  bool operator()(std::string_view a, std::string_view b) const;
};

// ASCII letters to lower case, every other byte as it is: how the host
// compares Windows names.
char FoldCase(char c);
// Windows-style wildcards ('*' any run, '?' one byte), matched without
// regard to case as FoldName sees it.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// A UTF-8 name in the form Windows compares file names in: every character
// of the Basic Multilingual Plane that has a simple upper-case form becomes
// that form (the file system's table holds those; é and É, ÿ and Ÿ, Ä and ä
// name one file), any other byte stays as it is.
std::string FoldName(std::string_view name);

// Windows-1252 text in UTF-8, as the host reads every name stored without
// the UTF-8 flag.
std::string DecodeCp1252(std::string_view text);

// `text` with each %NAME% replaced as Windows' ExpandEnvironmentStrings
// does: `lookUp` gives a name's value, or null for an unknown name, which
// keeps its first % (its second may open the next name).
std::string ExpandWindowsVariables(
    std::string_view text, const std::function<const std::string*(std::string_view)>& lookUp);

class FolderIndexes;

// The kind of a system error code (errno, or the Win32 code), as the
// engine sorts the reasons of file calls.
FileError FileErrorOf(int error);

class NativePlatform final : public Platform {
 public:
  // Creates `root` and the temporary folder under it. `tempFolder` is a
  // Windows path; a missing final backslash is added.
  explicit NativePlatform(std::filesystem::path root, std::string tempFolder = "C:\\Temp\\");
  NativePlatform(const NativePlatform&) = delete;
  NativePlatform& operator=(const NativePlatform&) = delete;
  ~NativePlatform();

  // The Linux path a Windows path maps to; empty when it is refused (UNC,
  // reserved names or characters, or climbing above its drive). Existing
  // components are matched without regard to case, as on Windows.
  std::string HostPath(std::string_view windowsPath) const;
  // Opens a file given by its Linux path for reading, e.g. the packaged file.
  FileHandle OpenHostFile(const std::string& linuxPath);
  const std::filesystem::path& Root() const { return root_; }
  // Drive `letter` becomes `folder` of the host instead of ROOT/letter, so
  // that an install can write straight into a folder anywhere.
  void MapDrive(char letter, const std::filesystem::path& folder);

  // --- Files -------------------------------------------------------------
  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override;
  uint32_t SeekFile(FileHandle file, uint32_t offset) override;
  uint32_t FileSize(FileHandle file) override;
  FileHandle CreateFileForWrite(std::string_view path) override;
  FileHandle CreateNewFile(std::string_view path) override;
  FileHandle OpenFileForRead(std::string_view path) override;
  int32_t WriteFile(FileHandle file, const void* data, int32_t count) override;
  bool CloseFile(FileHandle file) override;
  bool FindAny(std::string_view pattern) override;
  bool CreateFolder(std::string_view path) override;
  // rename(2), except that, as on Windows, a read-only file (no write
  // permission for its owner) is neither replaced nor removed.
  bool MoveIntoPlace(std::string_view from, std::string_view to) override;
  bool RemoveFile(std::string_view path) override;
  // The system's words (strerror, FormatMessageW) for the error the last
  // failing file call left.
  int32_t LastErrorText(char* buffer, int32_t size) override;
  FileError LastFileError() override;
  // Both folder queries answer like GetTempPathA and GetCurrentDirectoryA:
  // the length copied, or, when the buffer is too small, the size needed
  // (NUL included) with the buffer left empty.
  int32_t TempFolder(char* buffer, int32_t size) override;
  int32_t CurrentFolder(char* buffer, int32_t size) override;
  // C:\Windows\System32, or C:\Windows, under the root like every other path.
  int32_t SystemFolder(bool windows, char* buffer, int32_t size) override;
  // Fails, like SetCurrentDirectoryA, unless the folder exists.
  bool SetCurrentFolder(std::string_view path) override;
  int32_t FullPath(std::string_view path, char* buffer, int32_t size) override;
  // From Environment, by name without regard to case.
  int32_t ExpandVariables(std::string_view text, char* buffer, int32_t size) override;

  // The native host reads names like a Western European Windows: its ANSI
  // code page is Windows-1252. Ill-formed UTF-8 becomes U+FFFD.
  int32_t DecodeStoredText(std::string_view stored, bool utf8, char* out, int32_t size) override;
  // Windows-1252 too; a character it lacks becomes '?', as WideCharToMultiByte
  // makes it.
  int32_t EncodeTypedText(std::string_view text, char* out, int32_t size) override;

  // --- The main dialog ---------------------------------------------------
  void SetControlText(ControlId control, std::string_view text) override;
  void SetTitle(std::string_view text) override { Title = text; }
  int32_t ControlText(ControlId control, char* buffer, int32_t size) override;
  void ListReset() override;
  void ListAdd(std::string_view name) override;
  void ListSetSelected(int32_t index, bool selected) override;
  void ListSelectAll() override;
  int32_t ListCount() override;
  int32_t ListSelectedCount() override;
  int32_t ReadListItem(int32_t index, char* buffer, int32_t size, bool& selected) override;
  void PumpOneMessage() override;
  // The steady clock, unless a test sets Clock.
  uint32_t Milliseconds() override;
  // Counts the calls: the tests see that long entries keep the window alive.
  void KeepResponsive() override {
    ++KeepResponsiveCalls;
    if (DuringWrite) DuringWrite();
  }

  // --- Messages and the small dialogs -------------------------------------
  void ShowMessage(std::string_view text, std::string_view caption) override;
  // A scripted Escape (no value) that may not cancel is ignored, as the
  // dialog ignores it: the next reply is taken, or, with none left, Ok with
  // an empty field.
  int32_t AskPassword(char* buffer, int32_t size, bool mayCancel) override;
  OverwriteReply AskOverwrite(std::string_view fileName) override;
  bool AskYesNo(std::string_view text, std::string_view caption) override;
  void ShowProgress(uint32_t done, uint32_t total, bool failed) override;

  // --- Registry and processes ---------------------------------------------
  int32_t ReadRegistryString(RegistryPlace place, std::string_view keyPath,
                             std::string_view valueName, char* buffer, int32_t size) override;
  bool StartProgram(std::string_view commandLine, std::string_view folder) override;
  // Records the arguments; answers StartElevatedReply.
  bool StartElevated(std::string_view arguments) override;

  // --- What the engine showed, and the user's scripted answers -------------
  struct ListItem {
    std::string Name;
    bool Selected = false;
  };
  struct Message {
    std::string Text;
    std::string Caption;
  };
  struct RegistryKey {
    RegistryPlace Place;
    std::string KeyPath;
    std::string ValueName;
  };
  struct RegistryKeyLess {
    bool operator()(const RegistryKey& a, const RegistryKey& b) const;
  };
  struct ProgramStart {
    std::string CommandLine;
    std::string Folder;
  };

  // Texts of the dialog's controls, starting as the real dialog does.
  std::map<int, std::string> Controls;
  // The main dialog's caption.
  std::string Title = "E-book Setup";
  // The reader's environment that %VARIABLES% expand from.
  std::map<std::string, std::string, CaseInsensitiveLess> Environment;
  // The hidden list box, in the order the items were added.
  std::vector<ListItem> List;
  int PumpCount = 0;
  std::vector<Message> Messages;
  // Typed passwords, one per dialog; when none is left the dialog is cancelled.
  // No value: the reader cancels the dialog.
  std::deque<std::optional<std::string>> PasswordReplies;
  std::deque<bool> YesNoReplies;  // none left: No
  // Runs at every KeepResponsive call, as a window message would arrive.
  std::function<void()> DuringWrite;
  // Answers to the overwrite dialog; when none is left the answer is No.
  std::deque<OverwriteReply> OverwriteReplies;
  std::vector<std::string> OverwriteAsked;
  // Every dialog in the order shown: "message:<text>", "password",
  // "overwrite:<file name>".
  std::vector<std::string> DialogLog;
  // String values; key paths and value names match without regard to case.
  std::map<RegistryKey, std::string, RegistryKeyLess> Registry;
  // Every lookup in order, found or not.
  std::vector<RegistryKey> RegistryQueries;
  std::vector<ProgramStart> Started;
  // Arguments of every elevated restart asked for, and whether it "starts".
  std::vector<std::string> ElevatedStarts;
  bool StartElevatedReply = true;
  // A folder (Windows path) in which nothing may be created, as Program
  // Files for a standard user: folders and files made there fail with
  // access denied. Empty: none.
  std::string DeniedFolder;
  struct Progress {
    uint32_t Done;
    uint32_t Total;
    bool Failed;
  };
  // Every progress report, in order.
  std::vector<Progress> ProgressShown;
  int64_t KeepResponsiveCalls = 0;
  int64_t FindAnyCalls = 0;  // the probes: an install should not need one per file
  int64_t SeekCalls = 0;     // each a system call in the stub
  std::function<uint32_t()> Clock;

 private:
  // The Windows path `path` means with the current folder applied, as
  // "X:\\a\\b" (no trailing backslash except at a drive root); empty when
  // refused.
  std::string FullWindowsPath(std::string_view path) const;
  FileHandle OpenMapped(std::string_view path, int flags);
  // Creates a file for writing: emptied when it exists, or only when
  // nothing of its name is there (`onlyNew`).
  FileHandle CreateForWrite(std::string_view path, bool onlyNew);
  // Keeps the outcome of a file call for LastErrorText: the system's error
  // code (errno, or the Win32 code) when it failed, nothing when it
  // succeeded. Returns `ok`.
  bool Remember(bool ok, int error);
  // `host` is DeniedFolder or lies inside it.
  bool Denied(const std::string& host) const;

  int lastError_ = 0;
  // Names of the folders met while resolving paths, by case-folded name,
  // so that each new name is resolved without listing its folder again.
  std::unique_ptr<FolderIndexes> indexes_;

  std::filesystem::path root_;
  std::map<char, std::string> drives_;  // by upper-case letter
  std::string tempFolder_;
  std::string currentFolder_ = "C:\\";
};

}  // namespace ebook
