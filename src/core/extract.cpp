#include "extract.h"

#include <cstring>

#include "archive.h"
#include "inflate.h"
#include "paths.h"
#include "setup_flow.h"

namespace ebook {
namespace {

constexpr char kExtractingPrefix[] = "Extracting: ";
constexpr char kElevateQuestion[] =
    "This folder can only be written with administrator rights. Continue as administrator?";
// /ELEVATED, the answers, a log path and the folder, with room to spare.
constexpr int32_t kRestartArgumentsSize = 2048;
constexpr char kCloseErrorCaption[] = "Error Closing...";
constexpr char kWriteFailedMessage[] = "This file could not be written completely:\n";
constexpr char kDiskFullMessage[] =
    "This file could not be written completely; the disk may be full:\n";
constexpr char kNotPlacedMessage[] = "This file could not be put in its place:\n";
constexpr char kOwnFolderPrefix[] = "ebook-setup-";

constexpr uint32_t kStatusInterval = 100;

void ShowStatus(SetupSession& session, const char* targetPath) {
  char text[sizeof kExtractingPrefix + kTargetPathSize];
  size_t prefix = sizeof kExtractingPrefix - 1;
  std::memcpy(text, kExtractingPrefix, prefix);
  size_t n = std::strlen(targetPath);
  std::memcpy(text + prefix, targetPath, n + 1);
  session.Host->SetControlText(kStatusLine, text);
}

}  // namespace

bool MakePartPath(PassContext& pass) {
  // No entry of a book may end so (IsSafeEntryName), so the name is the
  // setup's own, and one left by a setup stopped mid-replace is found again.
  return JoinText(pass.PartPath, sizeof pass.PartPath, {pass.TargetPath, kPartSuffix});
}

bool MakeOwnTempFolder(SetupSession& session) {
  Platform& host = *session.Host;
  char* folder = session.OwnTempFolder;
  if (*folder != '\0') return true;
  // The temporary folder, the prefix, eight letters and a backslash.
  constexpr int32_t kRoom = kInstallDirSize - static_cast<int32_t>(sizeof kOwnFolderPrefix) - 9;
  const int32_t t = host.TempFolder(folder, kRoom);
  if (t > 0 && t < kRoom) {
    char* name = folder + t;
    std::memcpy(name, kOwnFolderPrefix, sizeof kOwnFolderPrefix - 1);
    name += sizeof kOwnFolderPrefix - 1;
    // Made new, never taken over: a name in the way (a folder, a link a
    // program of the user planted) is passed by for the next one.
    uint32_t seed = host.Milliseconds();
    for (int tries = 0; tries < 64; ++tries, seed += 0x9E3779B9u) {
      for (int i = 0; i < 8; ++i) name[i] = static_cast<char>('a' + (seed >> (4 * i) & 15));
      name[8] = '\0';
      if (host.CreateFolder(folder)) {
        name[8] = '\\';
        name[9] = '\0';
        return true;
      }
      if (host.LastFileError() != FileError::kExists) break;
    }
  }
  *folder = '\0';
  return false;
}

void ShowPendingStatus(SetupSession& session, bool now) {
  const char* path = session.PendingStatus;
  if (path == nullptr) return;
  Platform& host = *session.Host;
  const uint32_t ms = host.Milliseconds();
  if (!now && ms - session.StatusShownAt < kStatusInterval) return;
  session.StatusShownAt = ms;
  session.PendingStatus = nullptr;
  ShowStatus(session, path);
  host.PumpOneMessage();
}

bool MayOfferElevation(const SetupSession& session, FileError error) {
  // Only the install pass and the folder the reader chose: a refusal met
  // while the dialog opens (the licence's copy) is no reason to ask.
  return session.InstallState == kSetupInstalling && !session.ElevationAsked &&
         !session.Options.Elevated && error == FileError::kAccessDenied;
}

bool OfferElevation(SetupSession& session) {
  Platform& host = *session.Host;
  if (!MayOfferElevation(session, host.LastFileError())) return false;
  session.ElevationAsked = true;
  if (!host.AskYesNo(kElevateQuestion, kSetupCaption)) return false;
  char folder[kTargetPathSize];
  char log[kTargetPathSize];
  const char* given = session.Options.LogFile;
  RestartPaths paths = {folder, given != nullptr ? log : nullptr};
  char arguments[kRestartArgumentsSize];
  if (host.FullPath(session.InstallDir, folder, sizeof folder) <= 0 ||
      (given != nullptr && host.FullPath(given, log, sizeof log) <= 0) ||
      !BuildRestartArguments(session, paths, arguments, sizeof arguments) ||
      !host.StartElevated(arguments))
    return false;
  session.StopRequested = true;
  return true;
}

void ShowFailure(SetupSession& session, std::string_view caption, const char* lead,
                 const char* bareLead, const char* path, bool reasonKnown) {
  char reason[kReasonSize];
  std::string_view why = reasonKnown ? ReasonLine(*session.Host, reason) : std::string_view();
  ShowJoined(session, caption, {why.empty() ? bareLead : lead, path, why});
}

void ShowJoined(SetupSession& session, std::string_view caption,
                std::initializer_list<std::string_view> pieces) {
  JoinText(session.Told, sizeof session.Told, pieces);
  session.Host->ShowMessage(session.Told, caption);
}

__attribute__((noinline)) void ShowError(Platform& host, std::string_view text) {
  host.ShowMessage(text, kErrorCaption);
}

std::string_view ReasonLine(Platform& host, char (&buffer)[kReasonSize]) {
  buffer[0] = '\n';
  int32_t n = host.LastErrorText(buffer + 1, kReasonSize - 1);
  return n > 0 ? std::string_view(buffer, static_cast<size_t>(n) + 1) : std::string_view();
}

void CopyStoredEntry(EntryStream& stream) {
  // On the stack: a heap block per stored file cost two calls each, and
  // every host's stack has room for one chunk.
  uint8_t buffer[kChunkSize];
  while (stream.BytesRemaining > 0) {
    int32_t got = stream.ReadData(buffer, kChunkSize);
    // An empty read ends the copy; the CRC verdict then fails.
    if (got == 0) break;
    if (!stream.WriteData(buffer, got)) break;
  }
}

void ExtractEntry(SetupSession& session, PassContext& pass, uint32_t outputLimit, WriteMode mode) {
  Platform& host = *session.Host;
  const LocalFileHeader& header = session.CurrentHeader;
  const char* target = pass.TargetPath;
  // A folder too deep even for the short part name (paths of a thousand
  // bytes) is written in place, as nothing else can be.
  const bool staged = mode == WriteMode::kReplaceWhenVerified && MakePartPath(pass);
  const char* output = staged ? pass.PartPath : target;

  pass.Verified = false;
  if (staged || mode == WriteMode::kInPlace) {
    // Created new: never through a link or over a file someone else put
    // there. A part file in the way was left by a setup stopped in the
    // middle of a replace (no entry has its name): it goes.
    session.OutputHandle = host.CreateNewFile(output);
    if (session.OutputHandle == nullptr && staged &&
        host.LastFileError() == FileError::kExists && host.RemoveFile(output))
      session.OutputHandle = host.CreateNewFile(output);
  } else if (mode != WriteMode::kNewFile) {
    session.OutputHandle = host.CreateFileForWrite(output);
  }
  if (session.OutputHandle == nullptr) {
    // Said as such; nothing was written, so no CRC error follows for it. A
    // folder where the part file goes is in the way, not a matter of rights.
    if ((staged && host.FindAny(output)) || !OfferElevation(session))
      ShowFailure(session, kCouldNotOpenCaption, "", "", target);
    NoteOutcome(session, kOutcomeCannotWrite);
    host.ListSetSelected(session.CurrentEntryIndex, false);
    return;
  }
  // Shown, when its time has come, as its first bytes are written.
  std::strcpy(pass.StatusPath, target);
  session.PendingStatus = pass.StatusPath;

  ArchiveSource source(session);
  OutputSink sink(session);
  // Built with its first fields given: GCC copies a default-built record
  // from a template, which would cost the stub a writable data section.
  EntryStream stream{&source, &sink};
  const bool encrypted = (header.Flags & kEncryptedFlag) != 0;
  // The encryption header is counted in the size but was read already.
  int64_t remaining = int64_t{header.CompressedSize} - (encrypted ? kEncryptionHeaderSize : 0);
  stream.BytesRemaining = remaining > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(remaining);
  stream.Keys = encrypted ? &session.Keys : nullptr;
  stream.CrcRegister = 0xFFFFFFFFu;
  stream.OutputLimit =
      outputLimit < header.UncompressedSize ? outputLimit : header.UncompressedSize;

  if (header.Method == 0) {
    CopyStoredEntry(stream);
  } else {
    InflateEntry(stream);
  }
  session.CrcRegister = stream.CrcRegister;
  session.BytesRemaining = stream.BytesRemaining;
  bool verified = stream.Verified(header.Crc32, header.UncompressedSize);
  // Refused with a message of its own: the archive may be sound, so no CRC
  // error is added for it at the end.
  bool told = false;
  if (stream.WriteFailed) {
    // Said before the close, which would forget the write's reason.
    ShowFailure(session, kErrorCaption, kWriteFailedMessage, kDiskFullMessage, target);
    told = true;
  }
  const bool closed = host.CloseFile(session.OutputHandle);
  session.OutputHandle = nullptr;
  if (!closed) {
    ShowFailure(session, kCloseErrorCaption, "", "", target);
    told = true;
    verified = false;
  }
  if (staged && verified && !host.MoveIntoPlace(output, target)) {
    // The existing file is read-only, in use, or a folder: it stays.
    ShowFailure(session, kErrorCaption, kNotPlacedMessage, kNotPlacedMessage, target);
    told = true;
    verified = false;
  }
  // What failed its check is not left under a name of the book: the part
  // file, or the new file that held nothing before.
  if (!verified && (staged || mode == WriteMode::kNewFile)) host.RemoveFile(output);
  if (told) NoteOutcome(session, kOutcomeCannotWrite);
  if (verified || told) host.ListSetSelected(session.CurrentEntryIndex, false);
  pass.Verified = verified;
}

}  // namespace ebook
