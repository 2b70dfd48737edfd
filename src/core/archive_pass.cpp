#include "archive_pass.h"

#include <cstring>
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
constexpr char kStreamedArchiveMessage[] =
    "This setup cannot be installed: its archive does not record the sizes of its files. "
    "Please ask the publisher for a new setup.";
constexpr int kPasswordTries = 3;
static_assert(kFolderTextSize >= kTargetPathSize, "every target's folder can be made");

enum class PassEnd {
  kWalkDone,   // the normal end, or left for a folder; the end check runs
  kEndAtOnce,  // after its own message; no end check
};

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
         StartsWithLower(text.substr(text.size() - suffix.size()), suffix);
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

void ShowNamed(Platform& host, const char* message, std::string_view name) {
  char text[sizeof kUnsafeNameMessage + kEntryTextSize];
  size_t m = std::strlen(message);
  size_t n = name.size() < kEntryTextSize ? name.size() : kEntryTextSize - 1;
  std::memcpy(text, message, m);
  std::memcpy(text + m, name.data(), n);
  text[m + n] = '\0';
  host.ShowMessage(text, kErrorCaption);
}

// Tries the remembered password, then asks up to three times.
bool PasswordAccepted(SetupSession& session) {
  Platform& host = *session.Host;
  const LocalFileHeader& header = session.CurrentHeader;
  uint8_t work[2 * kEncryptionHeaderSize];
  if (host.ReadFile(session.ArchiveHandle, work + kEncryptionHeaderSize, kEncryptionHeaderSize) !=
      kEncryptionHeaderSize) {
    return false;
  }
  auto test = [&] {
    return TestEncryptionHeader(work, kEncryptionHeaderSize, header.Flags, header.Crc32,
                                header.ModTime, session.Password, session.Keys);
  };
  if (session.Password[0] != '\0' && test()) return true;
  for (int i = 0; i < kPasswordTries; ++i) {
    std::memset(session.PasswordBuffer, 0, sizeof session.PasswordBuffer);
    session.PasswordLength = host.AskPassword(session.PasswordBuffer, kPasswordBufferSize);
    int32_t length = session.PasswordLength & 0xFFFF;
    if (NameFromBuffer(session.PasswordBuffer, length, session.Password, sizeof session.Password) <
        0) {
      session.Password[0] = '\0';
    }
    if (test()) return true;
  }
  return false;
}

// The run-command rule: the first extracted program named quon*.exe whose
// sixth character is not r. The path is quoted, so a folder with spaces
// starts this program and no other.
void PickRunCommand(SetupSession& session, const PassContext& pass) {
  if (session.RunCommand[0] != '\0') return;
  std::string_view target(pass.TargetPath);
  if (!IsRunProgramName(target)) return;
  constexpr char kInit[] = " /INIT";
  if (target.size() + 2 + sizeof kInit > sizeof session.RunCommand) return;
  char* p = session.RunCommand;
  *p++ = '"';
  std::memcpy(p, target.data(), target.size());
  p += target.size();
  *p++ = '"';
  std::memcpy(p, kInit, sizeof kInit);
}

// Asks about an existing file unless a standing answer says what to do.
bool ShouldReplace(SetupSession& session, const PassContext& pass) {
  if (session.PathAutodetected) return true;
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

struct EntryOutcome {
  bool LeaveWalk = false;
  PassEnd End = PassEnd::kWalkDone;
};

EntryOutcome ListEntry(SetupSession& session, PassContext& pass, const char* name, bool nameFits) {
  Platform& host = *session.Host;
  host.ListAdd(name);
  std::string_view entry(name);
  if (session.LicenceHandled || !IsLicenceEntryName(entry)) return {};
  // The listing pass has no password step, so an encrypted licence could only
  // be shown as noise (and noise might read as a directive): it is skipped.
  if ((session.CurrentHeader.Flags & kEncryptedFlag) != 0) return {};

  // A name that leaves the temporary folder, that was cut, or a folder that
  // does not fit: the licence is not written anywhere else, and a later
  // licence entry may still be the one shown.
  if (!nameFits) {
    ShowNamed(host, kLongNameMessage, entry);
    return {};
  }
  if (!IsSafeEntryName(entry)) {
    ShowNamed(host, kUnsafeNameMessage, entry);
    return {};
  }
  char temp[kTargetPathSize];
  int32_t t = host.TempFolder(temp, sizeof temp);
  if (t <= 0 || t >= kInstallDirSize) {
    ShowNamed(host, kLongNameMessage, entry);
    return {};
  }
  session.LicenceHandled = true;
  std::memcpy(session.InstallDir, temp, static_cast<size_t>(t) + 1);
  if (!JoinTarget(session.InstallDir, entry, false, pass)) {
    ShowNamed(host, kLongNameMessage, entry);
    return {};
  }
  if (!PathExists(host, pass.TargetPath) && !MakeTargetFolder(host, pass.TargetPath)) {
    return {true, PassEnd::kWalkDone};
  }
  if (!ExtractEntry(session, pass)) return {true, PassEnd::kEndAtOnce};
  ReadLicenceFile(session, pass.TargetPath);
  return {};
}

EntryOutcome InstallEntry(SetupSession& session, PassContext& pass, const char* name, bool nameFits,
                          bool& accepted) {
  Platform& host = *session.Host;
  const LocalFileHeader& header = session.CurrentHeader;
  std::string_view entry(name);
  const bool folder = entry.back() == '/' || entry.back() == '\\';

  if (!nameFits || !IsSafeEntryName(entry)) {
    ShowNamed(host, nameFits ? kUnsafeNameMessage : kLongNameMessage, entry);
    host.ListSetSelected(session.CurrentEntryIndex, false);
    accepted = true;
    return {};
  }
  if ((header.Flags & kStreamedFlag) != 0 && header.CompressedSize == 0) {
    // Sizes that only follow the data: the next header cannot be found (a
    // folder entry's data hides it too), and an empty file would pass its
    // check. Say so instead.
    host.ShowMessage(kStreamedArchiveMessage, kErrorCaption);
    accepted = false;
    return {true, PassEnd::kEndAtOnce};
  }

  accepted = (header.Flags & kEncryptedFlag) == 0 || folder || PasswordAccepted(session);
  if (!accepted) {
    host.ShowMessage(kWrongPasswordMessage, kErrorCaption);
    return {true, PassEnd::kEndAtOnce};
  }

  if (session.PathAutodetected) {
    // Update mode writes every file flat into the detected folder.
    entry = NameOfPath(entry);
  }
  if (folder) {
    // A folder entry makes its folder and counts as verified.
    if (!session.PathAutodetected) {
      if (!JoinTarget(session.InstallDir, entry, true, pass)) {
        ShowNamed(host, kLongNameMessage, entry);
      } else if (!PathExists(host, pass.TargetPath) && !MakeTargetFolder(host, pass.TargetPath)) {
        return {true, PassEnd::kWalkDone};
      }
    }
    host.ListSetSelected(session.CurrentEntryIndex, false);
    return {};
  }
  if (!JoinTarget(session.InstallDir, entry, true, pass)) {
    ShowNamed(host, kLongNameMessage, entry);
    host.ListSetSelected(session.CurrentEntryIndex, false);
    return {};
  }
  PickRunCommand(session, pass);

  if (!PathExists(host, pass.TargetPath)) {
    if (!MakeTargetFolder(host, pass.TargetPath)) return {true, PassEnd::kWalkDone};
  } else if (!ShouldReplace(session, pass)) {
    host.ListSetSelected(session.CurrentEntryIndex, false);
    return {};
  }
  if (!ExtractEntry(session, pass)) return {true, PassEnd::kEndAtOnce};
  return {};
}

}  // namespace

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
  if (!RunPassStartChecks(session)) return;

  PassContext pass;
  char stored[kNameBufferSize];
  char name[kEntryTextSize];
  session.CurrentEntryIndex = -1;
  if (listing) host.ListReset();

  PassEnd end = PassEnd::kWalkDone;
  while (ReadLocalHeader(session) && session.ArchivePosition >= 0) {
    const uint32_t h = static_cast<uint32_t>(session.ArchivePosition);
    ++session.CurrentEntryIndex;
    int32_t length = ReadEntryName(session, stored, sizeof stored);
    // Names are judged and used as the file system will see them: a byte
    // that looks like a separator may be half of a double-byte character.
    const bool utf8 = (session.CurrentHeader.Flags & kUtf8NameFlag) != 0;
    if (host.DecodeStoredText(stored, utf8, name, sizeof name) < 0) length = -1;
    if (stored[0] == '\0') {
      host.ShowMessage(kEmptyNameMessage, kErrorCaption);
      end = PassEnd::kEndAtOnce;
      break;
    }
    const uint64_t data = EntryDataOffset(session.CurrentHeader, h);
    if (data > 0xFFFFFFFFu) break;
    SeekArchive(session, static_cast<uint32_t>(data));

    EntryOutcome outcome = listing ? ListEntry(session, pass, name, length >= 0)
                                   : InstallEntry(session, pass, name, length >= 0, accepted);
    if (outcome.LeaveWalk) {
      end = outcome.End;
      break;
    }
    if (!SeekNextHeader(session, h)) break;
  }
  if (end == PassEnd::kEndAtOnce) return;

  if (listing) {
    if (host.ListCount() == 0) host.ShowMessage(kNoHeaderMessage, kErrorCaption);
  } else if (accepted && host.ListSelectedCount() != 0) {
    host.ShowMessage(kCrcErrorMessage, kErrorCaption);
    host.SetControlText(kStatusLine, kCrcErrorMessage);
  }
}

}  // namespace ebook
