#include "archive_pass.h"

#include <cstring>
#include <initializer_list>
#include <string_view>

#include "archive.h"
#include "extract.h"
#include "licence.h"
#include "paths.h"

namespace ebook {
namespace {

constexpr char kEmptyNameMessage[] = "Error retreiving filename from archive.";
constexpr char kNoHeaderMessage[] = "Can't read archive header";
constexpr char kUnsafeNameMessage[] =
    "This file was not installed, because its name points outside the installation folder:\n";
constexpr char kLongNameMessage[] = "This file was not installed, because its name is too long:\n";
constexpr char kWrongPasswordMessage[] = "The installation stopped, because the password is wrong.";
constexpr char kTryAgainMessage[] = "The password is wrong. Please try again.";
constexpr char kPasswordCancelledMessage[] =
    "The installation stopped, because no password was given.";
constexpr char kStreamedArchiveMessage[] =
    "This setup cannot be installed: its archive does not record the sizes of its files. "
    "Please ask the publisher for a new setup.";
// The archive cannot be followed at an entry (sizes this setup cannot use,
// an encryption header cut short) or after one (no next record).
constexpr char kDamagedAtMessage[] = "Damaged or unsupported archive at:\n";
constexpr char kDamagedAfterMessage[] = "Damaged or unsupported archive after:\n";
constexpr char kDamagedAdvice[] = "\nPlease repeat the download, or ask the publisher.";
constexpr char kUnsupportedMethodMessage[] = "Unsupported compression method\n";
constexpr char kFolderMessage[] = "The folder could not be made:\n";
// What became of an entry, in the log.
constexpr char kFailed[] = "failed ";
constexpr char kKept[] = "kept ";
// The damaged entries the CRC error names; a line counts the rest.
constexpr int32_t kNamedDamage = 10;
constexpr int kPasswordTries = 3;
static_assert(kFolderTextSize >= kTargetPathSize, "every target's folder can be made");

bool StartsWithLower(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
    if (c != prefix[i]) return false;
  }
  return true;
}

bool EndsWithLower(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         StartsWithLower(TextPart(text, text.size() - suffix.size()), suffix);
}

// folder (its one trailing backslash dropped) + "\" + name, with the
// name's slashes turned into backslashes when asked. False when it does not
// fit the target path.
bool JoinTarget(const char* folder, std::string_view name, bool backslashes, PassContext& pass) {
  std::string_view dir(folder);
  if (!dir.empty() && dir.back() == '\\') dir.remove_suffix(1);
  if (dir.size() + 1 + name.size() + 1 > sizeof pass.TargetPath) return false;
  char* p = pass.TargetPath;
  std::memcpy(p, dir.data(), dir.size());
  p += dir.size();
  *p++ = '\\';
  for (char c : name) *p++ = backslashes && c == '/' ? '\\' : c;
  *p = '\0';
  return true;
}

void ShowNamed(SetupSession& session, const char* message, std::string_view name) {
  ShowJoined(session, kErrorCaption, {message, name});
}

// Out of line: the walk reports damage from three places.
__attribute__((noinline)) void ShowDamaged(SetupSession& session, const char* lead,
                                           std::string_view name) {
  ShowJoined(session, kErrorCaption, {lead, name, kDamagedAdvice});
}

// Writes `n` in decimal so that it ends just before `end`; returns where it
// starts.
char* DecimalBefore(char* end, uint32_t n) {
  do {
    *--end = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  return end;
}

// "(method 99)": the number, which the publisher's tools show too.
std::string_view MethodText(uint16_t method, char (&out)[16]) {
  char* end = out + sizeof out;
  char* p = end;
  *--p = ')';
  p = DecimalBefore(p, method);
  constexpr char kPrefix[] = "\n(method ";
  p -= sizeof kPrefix - 1;
  std::memcpy(p, kPrefix, sizeof kPrefix - 1);
  return std::string_view(p, static_cast<size_t>(end - p));
}

bool IsSupportedMethod(uint16_t method) { return method == 0 || method == 8; }

enum class PasswordVerdict { kAccepted, kWrong, kHeaderCut, kCancelled };

// Tries the remembered password, then asks up to three times. An encryption
// header cut short is damage, which no password mends: nothing is asked.
PasswordVerdict CheckPassword(SetupSession& session) {
  Platform& host = *session.Host;
  const LocalFileHeader& header = session.CurrentHeader;
  uint8_t work[2 * kEncryptionHeaderSize];
  if (header.CompressedSize < kEncryptionHeaderSize ||
      host.ReadFile(session.ArchiveHandle, work + kEncryptionHeaderSize, kEncryptionHeaderSize) !=
          kEncryptionHeaderSize) {
    return PasswordVerdict::kHeaderCut;
  }
  auto test = [&] {
    return TestEncryptionHeader(work, kEncryptionHeaderSize, header.Flags, header.Crc32,
                                header.ModTime, session.Password, session.Keys);
  };
  if (session.Password[0] != '\0' && test()) return PasswordVerdict::kAccepted;
  for (int i = 0; i < kPasswordTries; ++i) {
    std::memset(session.PasswordBuffer, 0, sizeof session.PasswordBuffer);
    if (i > 0 && session.Settings.SayWrongPassword) ShowError(host, kTryAgainMessage);
    session.PasswordLength = host.AskPassword(session.PasswordBuffer, kPasswordBufferSize,
                                              session.Settings.AskBeforeStopping);
    if (session.PasswordLength < 0) return PasswordVerdict::kCancelled;
    int32_t length = session.PasswordLength & 0xFFFF;
    if (NameFromBuffer(session.PasswordBuffer, length, session.Password, sizeof session.Password) <
        0) {
      session.Password[0] = '\0';
    }
    if (test()) return PasswordVerdict::kAccepted;
  }
  return PasswordVerdict::kWrong;
}

// The run-command rule: the first extracted program named quon*.exe whose
// sixth character is not r. The path is quoted, so a folder with spaces
// starts this program and no other.
// True when this entry's program became the run command.
bool PickRunCommand(SetupSession& session, const PassContext& pass) {
  if (session.RunCommand[0] != '\0' || session.RunProgramChosen) return false;
  std::string_view target(pass.TargetPath);
  if (!IsRunProgramName(target)) return false;
  session.RunProgramChosen = true;
  constexpr char kInit[] = " /INIT";
  if (target.size() + 2 + sizeof kInit > sizeof session.RunCommand) return false;
  char* p = session.RunCommand;
  *p++ = '"';
  std::memcpy(p, target.data(), target.size());
  p += target.size();
  *p++ = '"';
  std::memcpy(p, kInit, sizeof kInit);
  return true;
}

// Makes the target's folder. When it cannot be made, says which folder and
// why, once a pass: a book of hundreds of folders under one that cannot be
// made (a missing drive, a read-only folder) showed hundreds of messages.
// Later entries that meet one are told about in the log only. Clears the
// entry's mark: nothing was written, so there is no CRC error to add. False
// when the folder is not there.
bool MakeFolderOrSay(SetupSession& session, PassContext& pass) {
  bool refused = false;
  if (MakeTargetFolder(*session.Host, pass.TargetPath, &refused)) return true;
  char folder[kTargetPathSize];
  DirectoryOfPath(pass.TargetPath, folder, sizeof folder);
  if (!(refused && OfferElevation(session))) {
    // Shown the first time only; Told still gives the log its reason.
    Platform& host = *session.Host;
    const bool quiet = host.Quiet;
    host.Quiet = quiet || pass.FolderFailed;
    ShowFailure(session, kErrorCaption, kFolderMessage, kFolderMessage, folder, refused);
    host.Quiet = quiet;
  }
  pass.FolderFailed = true;
  NoteOutcome(session, kOutcomeCannotWrite);
  session.Host->ListSetSelected(session.CurrentEntryIndex, false);
  return false;
}

// The end of an install pass with damaged entries: "CRC error", then the
// first of them by name, one a line, and how many more there are.
void ShowCrcError(Platform& host) {
  char text[sizeof kCrcErrorMessage + kNamedDamage * kEntryTextSize + 32];
  size_t n = sizeof kCrcErrorMessage - 1;
  std::memcpy(text, kCrcErrorMessage, n);
  const int32_t count = host.ListCount();
  int32_t named = 0;
  for (int32_t i = 0; i < count && named < kNamedDamage; ++i) {
    bool selected = false;
    // Read in place after a line break; kept only when the item is marked.
    int32_t length = host.ReadListItem(i, text + n + 1, kEntryTextSize, selected);
    if (length < 0 || !selected) continue;
    text[n] = '\n';
    n += 1 + static_cast<size_t>(length);
    ++named;
  }
  int32_t more = host.ListSelectedCount() - named;
  if (more > 0) {
    constexpr char kAnd[] = "\nand ";
    std::memcpy(text + n, kAnd, sizeof kAnd - 1);
    n += sizeof kAnd - 1;
    char digits[12];
    const char* first = DecimalBefore(digits + sizeof digits, static_cast<uint32_t>(more));
    const size_t count = static_cast<size_t>(digits + sizeof digits - first);
    std::memcpy(text + n, first, count);
    n += count;
    constexpr char kMore[] = " more";
    std::memcpy(text + n, kMore, sizeof kMore - 1);
    n += sizeof kMore - 1;
  }
  text[n] = '\0';
  ShowError(host, text);
}

// Asks about an existing file unless a standing answer says what to do.
bool ShouldReplace(SetupSession& session, const PassContext& pass) {
  // An update replaces without asking, unless the command line answered.
  if (session.PathAutodetected && session.Options.Overwrite < 0) return true;
  switch (session.OverwriteMode) {
    case kOverwriteNever:
      return false;
    case kOverwriteAsk: {
      OverwriteReply reply = session.Host->AskOverwrite(NameOfPath(pass.TargetPath));
      session.OverwriteAnswer = reply.Overwrite ? 1 : 0;
      if (reply.DontAskAgain)
        session.OverwriteMode = reply.Overwrite ? kOverwriteAlways : kOverwriteNever;
      return reply.Overwrite;
    }
    default:
      return true;
  }
}

void ListEntry(SetupSession& session, PassContext& pass, const WalkedEntry& walked) {
  Platform& host = *session.Host;
  host.ListAdd(walked.Name);
  std::string_view entry(walked.Name);
  const bool nameFits = walked.NameFits;
  if (session.LicenceHandled || !IsLicenceEntryName(entry)) return;
  // Sizes that cannot be read would show an empty or wrong text; the
  // install pass reports the entry.
  if (walked.SizesUnknown || walked.SizesUnreadable) return;
  // The listing pass has no password step, so an encrypted licence could only
  // be shown as noise (and noise might read as a directive): it is skipped,
  // like one in a method this setup cannot read (the install pass reports
  // that one).
  if ((session.CurrentHeader.Flags & kEncryptedFlag) != 0) return;
  if (!IsSupportedMethod(session.CurrentHeader.Method)) return;

  // A name that leaves the temporary folder, that was cut, or a folder that
  // does not fit: the licence is not written anywhere else, and a later
  // licence entry may still be the one shown.
  if (!nameFits) {
    ShowNamed(session, kLongNameMessage, entry);
    return;
  }
  if (!IsSafeEntryName(entry)) {
    ShowNamed(session, kUnsafeNameMessage, entry);
    return;
  }
  // In a folder of the setup's own, made new, under the entry's bare name,
  // and created new itself: nothing a program of the user put in the
  // temporary folder (a link, a folder of the name) is written through or
  // taken over, least of all by a copy with administrator rights. When the
  // folder cannot be made the listing goes on: every later entry still
  // needs its pending mark, or damage after the licence would install
  // without a word.
  if (!MakeOwnTempFolder(session)) {
    char temp[kInstallDirSize];
    if (host.TempFolder(temp, sizeof temp) >= kInstallDirSize) temp[0] = '\0';
    ShowFailure(session, kErrorCaption, kFolderMessage, kFolderMessage, temp);
    return;
  }
  session.LicenceHandled = true;
  std::strcpy(session.InstallDir, session.OwnTempFolder);
  if (!JoinTarget(session.InstallDir, NameOfPath(entry), false, pass)) {
    ShowNamed(session, kLongNameMessage, entry);
    return;
  }
  // In place: a licence cut at its limit is still read from this file. The
  // copy is whole up to where a size lie would start to fill the disk before
  // the reader clicked anything; the reader reads its start.
  ExtractEntry(session, pass, kLicenceCopyLimit, WriteMode::kInPlace);
  ReadLicenceFile(session, pass.TargetPath);
  return;
}

// An entry that is not installed, for a reason the reader was told (Told):
// its log line. Returns `endsPass`.
bool Refuse(SetupSession& session, const char* name, bool endsPass) {
  LogLine(session, kFailed, name, session.Told);
  return endsPass;
}

// True when the pass ends at this entry, after a message of its own, with
// no end check.
bool InstallEntry(SetupSession& session, PassContext& pass, const WalkedEntry& walked,
                  bool& accepted) {
  Platform& host = *session.Host;
  const LocalFileHeader& header = session.CurrentHeader;
  std::string_view entry(walked.Name);
  const bool nameFits = walked.NameFits;
  const bool folder = entry.back() == '/' || entry.back() == '\\';
  session.Told[0] = '\0';

  if (!nameFits || !IsSafeEntryName(entry)) {
    ShowNamed(session, nameFits ? kUnsafeNameMessage : kLongNameMessage, entry);
    NoteOutcome(session, nameFits ? kOutcomeDamaged : kOutcomeCannotWrite);
    host.ListSetSelected(session.CurrentEntryIndex, false);
    accepted = true;
    return Refuse(session, entry.data(), false);
  }
  accepted = false;
  if (walked.SizesUnreadable) {
    ShowDamaged(session, kDamagedAtMessage, entry);
    NoteOutcome(session, kOutcomeDamaged);
    return Refuse(session, entry.data(), true);
  }
  if (walked.SizesUnknown) {
    // Sizes that only follow the data: the next header cannot be found (a
    // folder entry's data hides it too), and an empty file would pass its
    // check. Say so instead.
    ShowJoined(session, kErrorCaption, {kStreamedArchiveMessage});
    NoteOutcome(session, kOutcomeUnsupported);
    return Refuse(session, entry.data(), true);
  }
  // Before any password: AES (method 99) or bzip2 cannot be read whatever
  // the reader types, and no empty file is left in the way.
  if (!folder && !IsSupportedMethod(header.Method)) {
    char method[16];
    ShowJoined(session, kErrorCaption,
               {kUnsupportedMethodMessage, entry, MethodText(header.Method, method)});
    NoteOutcome(session, kOutcomeUnsupported);
    return Refuse(session, entry.data(), true);
  }

  PasswordVerdict verdict = (header.Flags & kEncryptedFlag) == 0 || folder
                                ? PasswordVerdict::kAccepted
                                : CheckPassword(session);
  accepted = verdict == PasswordVerdict::kAccepted;
  if (verdict == PasswordVerdict::kHeaderCut) {
    ShowDamaged(session, kDamagedAtMessage, entry);
    NoteOutcome(session, kOutcomeDamaged);
    return Refuse(session, entry.data(), true);
  }
  if (!accepted) {
    NoteOutcome(session, kOutcomePassword);
    ShowJoined(session, kErrorCaption,
               {verdict == PasswordVerdict::kCancelled ? kPasswordCancelledMessage
                                                       : kWrongPasswordMessage});
    return Refuse(session, entry.data(), true);
  }

  if (session.PathAutodetected) {
    // Update mode writes every file flat into the detected folder.
    entry = NameOfPath(entry);
  }
  if (folder) {
    // A folder entry makes its folder and counts as verified.
    host.ListSetSelected(session.CurrentEntryIndex, false);
    if (session.PathAutodetected) return false;
    if (!JoinTarget(session.InstallDir, entry, true, pass)) {
      ShowNamed(session, kLongNameMessage, entry);
      return Refuse(session, entry.data(), false);
    }
    // Another folder may still work: the walk goes on.
    if (!PathExists(host, pass.TargetPath) && !MakeFolderOrSay(session, pass))
      return Refuse(session, pass.TargetPath, false);
    return false;
  }
  if (!JoinTarget(session.InstallDir, entry, true, pass)) {
    ShowNamed(session, kLongNameMessage, entry);
    NoteOutcome(session, kOutcomeCannotWrite);
    host.ListSetSelected(session.CurrentEntryIndex, false);
    return Refuse(session, entry.data(), false);
  }
  // The program starts only when the file in place is whole: written whole
  // and sound now, or one the reader chose to keep.
  const bool runProgram = PickRunCommand(session, pass);
  pass.Verified = false;
  const char* done = kFailed;
  // One call makes a new file; its folder is made, and the reader asked
  // about an old file, only when that call finds them missing or there.
  // (A folder of the name may fail with another reason: the probe tells.)
  WriteMode mode = WriteMode::kNewFile;
  bool write = true;
  session.OutputHandle = host.CreateNewFile(pass.TargetPath);
  if (session.OutputHandle == nullptr && host.LastFileError() == FileError::kNoFolder) {
    write = MakeFolderOrSay(session, pass);
    if (write) session.OutputHandle = host.CreateNewFile(pass.TargetPath);
  }
  if (write && session.OutputHandle == nullptr &&
      (host.LastFileError() == FileError::kExists || PathExists(host, pass.TargetPath))) {
    mode = WriteMode::kReplaceWhenVerified;
    if (!ShouldReplace(session, pass)) {
      host.ListSetSelected(session.CurrentEntryIndex, false);
      write = false;
      done = kKept;
      // A part file that a setup stopped mid-replace left beside the file
      // kept: nothing else would ever remove it.
      if (MakePartPath(pass)) host.RemoveFile(pass.PartPath);
    }
  }
  if (write) {
    ExtractEntry(session, pass, header.UncompressedSize, mode);
    if (pass.Verified) done = "installed ";
  }
  if (runProgram && done == kFailed) session.RunCommand[0] = '\0';
  if (done == kFailed) {
    // A damaged entry is told about only at the end of the pass.
    if (session.Told[0] == '\0') std::strcpy(session.Told, kCrcErrorMessage);
    return Refuse(session, pass.TargetPath, false);
  }
  LogLine(session, done, pass.TargetPath);
  return false;
}

}  // namespace

namespace {

// A name holding a line break would write a line of its own (a forged
// "result 0"): every control character goes as \xHH, as bookpack shows it,
// but the line breaks of a `message`, which join its lines. Returns the end.
char* PutLog(char* p, const char* text, bool message) {
  for (const char* t = text; *t != '\0'; ++t) {
    const auto c = static_cast<unsigned char>(*t);
    if (c == '\n' && message) {
      if (t == text || t[-1] != ':') *p++ = ':';
      *p++ = ' ';
    } else if (c < 0x20 || c == 0x7F) {
      *p++ = '\\';
      *p++ = 'x';
      *p++ = "0123456789ABCDEF"[c >> 4];
      *p++ = "0123456789ABCDEF"[c & 15];
    } else {
      *p++ = static_cast<char>(c);
    }
  }
  return p;
}

}  // namespace

void LogLine(SetupSession& session, const char* what, const char* path, const char* why) {
  if (session.LogHandle == nullptr) return;
  // Room for every byte of the longest path and message escaped.
  char line[16 + 4 * (kTargetPathSize + kMessageSize)];
  char* p = PutLog(PutLog(line, what, false), path, false);
  if (*why != '\0') p = PutLog(PutLog(p, ": ", false), why, true);
  *p++ = '\r';
  *p++ = '\n';
  const int32_t n = static_cast<int32_t>(p - line);
  if (session.Host->WriteFile(session.LogHandle, line, n) != n)
    NoteOutcome(session, kOutcomeCannotWrite);
}

bool IsLicenceEntryName(std::string_view name) {
  return StartsWithLower(NameOfPath(name), "!!licen");
}

bool IsRunProgramName(std::string_view name) {
  const std::string_view file = NameOfPath(name);
  // "quon" and ".exe" cannot overlap, so a match has a sixth character.
  return StartsWithLower(file, "quon") && EndsWithLower(file, ".exe") && file[5] != 'r' &&
         file[5] != 'R';
}

void RunArchivePass(SetupSession& session, bool listing) {
  Platform& host = *session.Host;
  bool accepted = false;
  // Unattended, nobody chooses where an update goes whose application is
  // missing: the install does not happen, unless /D= named the folder.
  if (!listing && session.UpdateMissing != nullptr && session.Options.Silent &&
      session.Options.Folder == nullptr) {
    NoteOutcome(session, kOutcomeNoApplication);
    LogLine(session, kFailed, session.InstallDir, session.UpdateMissing);
    return;
  }
  if (!RunPassStartChecks(session)) return;

  PassContext pass;
  WalkedEntry entry;
  session.CurrentEntryIndex = -1;
  if (listing) host.ListReset();
  const uint32_t total = listing ? 0 : host.FileSize(session.ArchiveHandle) - session.ArchiveStart;
  session.ProgressTotal = total;
  uint32_t shown = 0;

  bool endedAtOnce = false;
  WalkStep step;
  while ((step = ReadNextEntry(session, entry)) == WalkStep::kEntry) {
    ++session.CurrentEntryIndex;
    if (total != 0) {
      // By the archive's bytes: the entries before this one (and this
      // one's header) are behind.
      session.ProgressDone = static_cast<uint32_t>(session.ArchivePosition) - session.ArchiveStart;
      // In steps of a 128th at least: the taskbar is another process, and
      // a book has thousands of entries.
      if (shown == 0 || session.ProgressDone - shown > total / 128) {
        shown = session.ProgressDone;
        host.ShowProgress(shown, total, false);
      }
    }
    if (entry.Stored[0] == '\0') {
      ShowError(host, kEmptyNameMessage);
      NoteOutcome(session, kOutcomeDamaged);
      endedAtOnce = true;
      break;
    }
    if (listing) {
      ListEntry(session, pass, entry);
    } else if (InstallEntry(session, pass, entry, accepted) || session.StopRequested) {
      if (session.StopRequested) NoteOutcome(session, kOutcomeStopped);
      // After its own message, or a stop the reader asked for: the file
      // just written is whole (or not written at all), and the entries not
      // reached are no damage to report.
      endedAtOnce = true;
      break;
    }
    if (!SkipToNextEntry(session, entry)) {
      step = WalkStep::kStopped;
      break;
    }
  }
  // The last file written is the one the status line names.
  ShowPendingStatus(session, true);
  if (endedAtOnce) return;

  if (listing) {
    if (host.ListCount() == 0) {
      ShowError(host, kNoHeaderMessage);
      NoteOutcome(session, kOutcomeDamaged);
    }
    return;
  }
  // A walk that could not follow the archive to its end is no success, even
  // when every file it reached was sound. (The listing pass stopped at the
  // same place, so the entries after it have no pending marks to tell.)
  // No entry at all: the listing pass said so already.
  if (session.CurrentEntryIndex < 0) NoteOutcome(session, kOutcomeDamaged);
  if (step == WalkStep::kStopped && session.CurrentEntryIndex >= 0) {
    ShowDamaged(session, kDamagedAfterMessage, entry.Name);
    NoteOutcome(session, kOutcomeDamaged);
  }
  if (session.Outcome == kOutcomeInstalled) {
    session.ProgressDone = total;
    host.ShowProgress(total, total, false);
  }
  if (accepted && host.ListSelectedCount() != 0) {
    NoteOutcome(session, kOutcomeDamaged);
    ShowCrcError(host);
    host.SetControlText(kStatusLine, kCrcErrorMessage);
  }
}

}  // namespace ebook
