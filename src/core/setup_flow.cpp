#include "setup_flow.h"

#include <cstring>
#include <string_view>

#include "archive.h"
#include "archive_pass.h"
#include "extract.h"
#include "licence.h"
#include "paths.h"

namespace ebook {

void OpenSetup(SetupSession& session) {
  Platform& host = *session.Host;
  LoadPublisherSettings(session);
  const PublisherSettings& settings = session.Settings;
  if (settings.Title[0] != '\0') host.SetTitle(settings.Title);
  // The publisher's folder as it reads on this PC. One that expands beyond
  // the field's room is shown cut, still too long: Install then says so.
  char folder[2 * kInstallDirSize];
  const char* shown = session.DefaultInstallDir;
  if (settings.DefaultFolder[0] != '\0' &&
      host.ExpandVariables(settings.DefaultFolder, folder, sizeof folder) > 0) {
    shown = folder;
  }
  host.SetControlText(kInstallPathEdit, shown);
  session.OverwriteMode = kOverwriteAsk;
  RunArchivePass(session, true);
  host.ListSelectAll();
  // The command line's answers, after the listing pass: a folder given
  // there wins over the one an update directive found.
  const SetupOptions& options = session.Options;
  if (options.Folder != nullptr) host.SetControlText(kInstallPathEdit, options.Folder);
  if (options.Overwrite >= 0) session.OverwriteMode = static_cast<uint8_t>(options.Overwrite);
  char* password = session.Password;
  if (options.Password != nullptr) {
    // The command line comes as UTF-8; the archive's password was made from
    // the bytes that typing it gives.
    session.Host->EncodeTypedText(options.Password, password, sizeof session.Password);
  } else if (options.PasswordFile != nullptr) {
    // Its first line; a file that cannot be read gives none, and the
    // password is asked for (or, unattended, missing).
    FileHandle file = host.OpenFileForRead(options.PasswordFile);
    if (file != nullptr) {
      int32_t n = host.ReadFile(file, password, sizeof session.Password - 1);
      host.CloseFile(file);
      password[n < 0 ? 0 : n] = '\0';
      for (char* p = password; *p != '\0'; ++p)
        if (*p == '\r' || *p == '\n') *p = '\0';
      // A file in UTF-8 (what Notepad saves) gives the bytes of typing its
      // characters; any other is taken byte for byte.
      std::string_view text(password);
      if (LooksLikeUtf8(text)) {
        if (password[0] == '\xEF' && password[1] == '\xBB' && password[2] == '\xBF')
          text.remove_prefix(3);
        session.Host->EncodeTypedText(text, password, sizeof session.Password);
      }
    }
  }
}

namespace {

constexpr char kStopQuestion[] = "Stop the installation? Files already installed stay in place.";
constexpr char kFolderTooLongMessage[] =
    "The installation folder is too long. Please choose a shorter one.";

// A command whose program is a bare name ("quonview.exe /X") would be found
// by Windows beside the setup first, in a download folder where a planted
// program may wait. Such a name is looked up in the installation folder,
// then in the system folder, then in the Windows folder (hh.exe, which opens
// a CHM book, lives there), and the command gets that program's full,
// quoted path; a name found in none starts nothing.
bool ResolveBareProgram(SetupSession& session) {
  Platform& host = *session.Host;
  char* command = session.RunCommand;
  const char close = command[0] == '"' ? '"' : ' ';
  const char* start = command + (close == '"' ? 1 : 0);
  const char* end = start;
  while (*end != '\0' && *end != close) {
    if (*end == '\\' || *end == '/' || *end == ':') return true;
    ++end;
  }
  const size_t name = static_cast<size_t>(end - start);
  // The arguments, kept aside while the command is written anew.
  char arguments[kRunCommandSize];
  std::strcpy(arguments, *end == '"' ? end + 1 : end);
  char* found = command + 1;
  for (int place = 0; place < 3; ++place) {
    char folder[kInstallDirSize];
    int32_t n = place == 0 ? ZTextLength(std::strcpy(folder, session.InstallDir))
                           : host.SystemFolder(place == 2, folder, sizeof folder);
    if (n <= 0 || n >= kInstallDirSize) continue;
    if (folder[n - 1] == '\\') --n;
    // Room for the quotes, a ".exe" perhaps and the arguments: the command
    // buffer holds any folder and a name of its own length.
    if (static_cast<size_t>(n) + name + 8 + ZTextLength(arguments) >= kRunCommandSize) continue;
    std::memmove(found + n + 1, start, name);
    std::memcpy(found, folder, static_cast<size_t>(n));
    char* p = found + n;
    *p = '\\';
    p += 1 + name;
    *p = '\0';
    if (std::memchr(p - name, '.', name) == nullptr) std::strcpy(p, ".exe"), p += 4;
    if (PathExists(host, found)) {
      command[0] = '"';
      *p++ = '"';
      std::strcpy(p, arguments);
      return true;
    }
    // The name again where the next place expects it.
    start = found + n + 1;
  }
  command[0] = '\0';
  return false;
}

}  // namespace

void RunInstall(SetupSession& session) {
  if (session.InstallState != kSetupIdle) return;
  Platform& host = *session.Host;
  // One byte more than the folder may hold shows a folder that does not fit:
  // cut, it would name another folder.
  char folder[kInstallDirSize + 4];
  int32_t n = host.ControlText(kInstallPathEdit, folder, sizeof folder);
  if (n <= 0) {
    // An empty field means the current folder, shown so the user sees where.
    n = host.CurrentFolder(folder, sizeof folder);
    if (n > 0 && n < kInstallDirSize) host.SetControlText(kInstallPathEdit, folder);
  }
  session.Outcome = kOutcomeInstalled;
  if (n <= 0 || n >= kInstallDirSize) {
    ShowError(host, kFolderTooLongMessage);
    NoteOutcome(session, kOutcomeCannotWrite);
    // Unattended, nobody can choose another folder.
    if (session.Options.Silent) session.InstallState = kSetupFinished;
    return;
  }
  std::memcpy(session.InstallDir, folder, static_cast<size_t>(n) + 1);
  session.InstallState = kSetupInstalling;
  const char* log = session.Options.LogFile;
  if (log != nullptr && (session.LogHandle = host.CreateFileForWrite(log)) == nullptr) {
    // A log that cannot be kept would report an install nobody can check.
    ShowFailure(session, kCouldNotOpenCaption, "", "", log);
    NoteOutcome(session, kOutcomeCannotWrite);
  } else {
    RunArchivePass(session, false);
  }
  if (session.LogHandle != nullptr) {
    const char result[2] = {static_cast<char>('0' + session.Outcome), '\0'};
    LogLine(session, "result ", result);
    host.CloseFile(session.LogHandle);
    session.LogHandle = nullptr;
  }
  bool started = false;
  if (session.RunCommand[0] != '\0' && !session.StopRequested && !session.Options.NoRun &&
      ResolveBareProgram(session)) {
    // From the installation folder, named in full (a relative one would be
    // taken from inside itself); an install that stopped early may not have
    // made it, and the command still starts, from the setup's own folder.
    char start[kInstallDirSize];
    start[0] = '\0';
    if (host.SetCurrentFolder(session.InstallDir)) {
      n = host.CurrentFolder(start, sizeof start);
      if (n <= 0 || n >= kInstallDirSize) start[0] = '\0';
    }
    started = host.StartProgram(session.RunCommand, start);
  }
  // A program that starts is the confirmation; otherwise, where the
  // publisher asked for it, the reader is told where the book went.
  if (session.Settings.DoneMessage && session.Outcome == kOutcomeInstalled && !started) {
    ShowJoined(session, kSetupCaption, {kInstalledMessage, session.InstallDir});
  }
  session.InstallState = kSetupFinished;
}

void ExitSetup(SetupSession& session) {
  if (session.InstallState == kSetupIdle) {
    session.InstallState = kSetupFinished;
  } else if (session.InstallState == kSetupInstalling && session.Settings.AskBeforeStopping &&
             !session.StopRequested && session.Host->AskYesNo(kStopQuestion, kSetupCaption)) {
    // Asked while a file is written; it is finished (or not written at all)
    // before the pass ends.
    session.StopRequested = true;
  }
}

__attribute__((noinline)) void EndWithoutWindow(SetupSession& session) {
  Platform& host = *session.Host;
  // The log's two lines, as LogLine and RunInstall write them.
  static constexpr char kLog[] =
      "failed: no window could be made, nothing was installed\r\nresult 8\r\n";
  static_assert(kOutcomeNoWindow == 8, "the log's result is the exit code");
  const char* log = session.Options.LogFile;
  FileHandle file = log != nullptr ? host.CreateFileForWrite(log) : nullptr;
  if (file != nullptr) {
    host.WriteFile(file, kLog, sizeof kLog - 1);
    host.CloseFile(file);
  }
  ShowError(host, std::string_view(kLog + 8, 46));
}

}  // namespace ebook
