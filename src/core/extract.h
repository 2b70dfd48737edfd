// Writing one archive entry to one file: stored entries are copied, deflated
// ones inflated, encrypted ones decrypted on the way, and the CRC-32 decides
// whether the entry's pending mark is cleared.
#pragma once

#include <initializer_list>
#include <string_view>

#include "entry_stream.h"
#include "setup_session.h"

namespace ebook {

// Room for the installation folder, a backslash and the longest name.
inline constexpr int kTargetPathSize = kInstallDirSize + kEntryTextSize + 2;
static_assert(kRunCommandSize >= kTargetPathSize + 8, "a run command holds any target path");

// What a running pass shares with the operations it calls. Each text is
// written before it is read; no member is zeroed whole, as a compiler may
// copy a zero image of the struct into the stub for that.
struct PassContext {
  char TargetPath[kTargetPathSize];
  // Where a file is written until it is verified: a name of its own in the
  // target's folder.
  char PartPath[kTargetPathSize];
  // A folder could not be made: the reader was told once, and later ones
  // go to the log only.
  bool FolderFailed = false;
  // The file the status line is to name once its time comes.
  char StatusPath[kTargetPathSize];
  bool Verified = false;  // the last extracted entry came out whole and sound
};

// How an entry reaches its target.
enum class WriteMode : uint8_t {
  // Written beside the target and moved over it only once verified, so a
  // damaged entry never costs the file it would replace.
  kReplaceWhenVerified,
  // Written to a file the caller has just created new (session.OutputHandle,
  // null when that failed): nothing is lost when it turns out damaged, and
  // it is removed then.
  kNewFile,
  // Written at the target itself, created new, whatever comes out: the
  // licence copy, which is read even when it was cut at its limit.
  kInPlace,
};

// Extracts the current entry (its header in CurrentHeader, stored or
// deflated: the passes turn other methods away first; the read position at
// its data, past the encryption header of an encrypted entry whose keys are
// primed) to TargetPath, writing at most `outputLimit` bytes and never
// more than the header's uncompressed size. Its pending mark is cleared when
// exactly that size came out with the header's CRC-32 and the file is in its
// place, or when the entry was refused with a message of its own (the target
// could not be created, written, closed or replaced, each said with the
// system's reason); a damaged entry keeps its mark for the CRC error at the
// end.
void ExtractEntry(SetupSession& session, PassContext& pass, uint32_t outputLimit, WriteMode mode);

// Names the file being written on the status line (PendingStatus), at most
// every 100 ms unless `now`: a book of many small files spent more of its
// time on the line than on its data. Each showing lets a message through.
void ShowPendingStatus(SetupSession& session, bool now);

// Copies the stream's remaining bytes as they are (decrypted when the stream
// has keys), in pieces of at most 32 KiB.
void CopyStoredEntry(EntryStream& stream);

// A message of a file or folder that failed: `lead`, the path, and on a
// line of its own the system's reason for the last failed file call;
// `bareLead` instead of `lead` when no reason is known (or `reasonKnown`
// says none can be). Shown unless `show` is false; see ShowJoined.
void ShowFailure(SetupSession& session, std::string_view caption, const char* lead,
                 const char* bareLead, const char* path, bool reasonKnown = true);

// Whether a failure of a file call may ask for administrator rights: access
// denied, during the install pass, the first time, and not in the copy that
// has them already.
bool MayOfferElevation(const SetupSession& session, FileError error);

// A folder or file could not be made. When MayOfferElevation, asks whether
// to go on with administrator rights, and on Yes starts the setup's
// elevated copy with the folder and log made absolute (the password it asks
// for again); that copy installs from here on: the pass then ends without a
// word. True when the copy took over.
bool OfferElevation(SetupSession& session);

// PartPath: the target with kPartSuffix, where a replacement is written
// until it is verified; false when it does not fit.
bool MakePartPath(PassContext& pass);

// Makes session.OwnTempFolder once: a new folder of a unique name in the
// user's temporary folder. False when none could be made.
bool MakeOwnTempFolder(SetupSession& session);

// A message box of several pieces, cut to what fits its buffer, and shown
// unless `show` is false. The text stays in session.Told: a message about
// an entry is that entry's reason in the log (an unattended install shows
// none, and its log is all there is).
void ShowJoined(SetupSession& session, std::string_view caption,
                std::initializer_list<std::string_view> pieces);

// A message box captioned "Error": one call here instead of the caption at
// every place that reports one keeps the stub smaller.
void ShowError(Platform& host, std::string_view text);

// Room for the system's reason for a failure, and a line break before it.
inline constexpr int kReasonSize = 256;
// "\n" and the system's reason for the last failed file call, to follow a
// path in a message; the empty text when no reason is known.
std::string_view ReasonLine(Platform& host, char (&buffer)[kReasonSize]);

}  // namespace ebook
