// The program-wide state of one setup run. The stub holds exactly one; the
// native host makes one per install it runs. Sizes of the character buffers
// are part of the design: every writer keeps within them.
#pragma once

#include <cstdint>

#include "command_line.h"
#include "platform.h"
#include "publisher_settings.h"
#include "zip_cipher.h"

namespace ebook {

inline constexpr char kErrorCaption[] = "Error";
inline constexpr char kSetupCaption[] = "E-book Setup";
inline constexpr char kCouldNotOpenCaption[] = "Couldn't open...";
inline constexpr char kPathAutodetectedNotice[] = "(path correctly autodetected, press Install)";
inline constexpr char kReplaceTargetMissingMessage[] = "File to replace not found!";
inline constexpr char kBaseNotInstalledMessage[] =
    "You need to install the trial first! Please exit.";

inline constexpr int kInstallDirSize = 256;
inline constexpr int kPasswordBufferSize = 80;
inline constexpr int kNameBufferSize = 258;
// A stored name decoded into UTF-8: each byte of the name buffer may become
// up to three bytes (a code-page character beyond ASCII, or U+FFFD).
inline constexpr int kEntryTextSize = 3 * (kNameBufferSize - 1) + 1;
// Room for the longest target path (see kTargetPathSize), quoted, and " /INIT".
inline constexpr int kRunCommandSize = 1056;
// A message of a few pieces: a caption, a lead, a path and the system's reason.
inline constexpr int kMessageSize = 3 * 256 + kEntryTextSize;

// The 30-byte ZIP local file header, as read from the file.
struct LocalFileHeader {
  uint32_t Signature = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint16_t ModTime = 0;
  uint16_t ModDate = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t NameLength = 0;
  uint16_t ExtraLength = 0;
  // Set by the walk, not read from the header: the sizes came from a Zip64
  // extra field (a descriptor then holds 8-byte sizes), and the length of a
  // descriptor known to follow the data (0: none known).
  bool Zip64 = false;
  uint8_t DescriptorLength = 0;
};
inline constexpr int kLocalHeaderSize = 30;

enum OverwriteMode : uint8_t {
  kOverwriteAlways = 0,
  kOverwriteNever = 1,
  kOverwriteAsk = 2,
};

struct SetupSession {
  Platform* Host = nullptr;

  // Archive access and walk. `StubLength` is the length of the stub program
  // the archive was appended to: the Win32 build knows it as a constant, the
  // native host takes it from the stub it was given.
  uint32_t StubLength = 0;
  FileHandle ArchiveHandle = nullptr;
  FileHandle OutputHandle = nullptr;
  uint32_t ArchiveStart = 0;
  uint32_t ExpectedSignature = 0;
  int32_t ArchivePosition = 0;
  LocalFileHeader CurrentHeader;
  int32_t BytesRemaining = 0;
  int32_t CurrentEntryIndex = 0;

  // Integrity and decryption.
  uint32_t CrcRegister = 0;
  CipherKeys Keys;
  char Password[kPasswordBufferSize] = {};
  char PasswordBuffer[kPasswordBufferSize] = {};
  int32_t PasswordLength = 0;

  // Install target and policy.
  char InstallDir[kInstallDirSize] = {};
  bool PathAutodetected = false;
  const char* DefaultInstallDir = "c:\\zq";
  uint8_t OverwriteMode = 0;
  uint8_t OverwriteAnswer = 0;
  char RunCommand[kRunCommandSize] = {};
  // The run-command rule chose its program: no later entry is chosen, even
  // when that program's file fails and the command is dropped.
  bool RunProgramChosen = false;
  bool LicenceHandled = false;
  int32_t InstallState = 0;
  // The reader asked to stop: the install pass ends after the current file.
  bool StopRequested = false;
  // The status line: when it last changed, and the file it is yet to name
  // (in the pass's context; null when it is up to date).
  uint32_t StatusShownAt = 0;
  const char* PendingStatus = nullptr;

  // The command line, and what became of the install (a SetupOutcome: the
  // first problem met, or 0); the exit code under /S.
  SetupOptions Options;
  uint8_t Outcome = kOutcomeInstalled;
  // /LOG=: one line per file.
  FileHandle LogHandle = nullptr;
  // Archive bytes passed and in all, during the install pass.
  uint32_t ProgressDone = 0;
  uint32_t ProgressTotal = 0;
  // Access was denied and the reader was asked about administrator rights.
  bool ElevationAsked = false;
  // A folder of this setup's own in the user's temporary folder (ending in
  // a backslash), made new when first needed: the licence copy goes there.
  // Empty until then.
  char OwnTempFolder[kInstallDirSize] = {};
  // What the publisher chose, read from the setup when the dialog opens.
  PublisherSettings Settings = {};
  // What the reader was told about the current entry (see ShowJoined): its log
  // line's reason.
  char Told[kMessageSize] = {};
  // An update directive found no application: the message the reader saw
  // (null when it was found, or there is no such directive).
  const char* UpdateMissing = nullptr;
};

// Keeps the first problem of an install: the one that says what went wrong.
void NoteOutcome(SetupSession& session, uint8_t outcome);

}  // namespace ebook
