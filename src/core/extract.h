// Writing one archive entry to one file: stored entries are copied, deflated
// ones inflated, encrypted ones decrypted on the way, and the CRC-32 decides
// whether the entry's pending mark is cleared.
#pragma once

#include "entry_stream.h"
#include "setup_session.h"

namespace ebook {

// Room for the installation folder, a backslash and the longest name.
inline constexpr int kTargetPathSize = kInstallDirSize + kEntryTextSize + 2;
static_assert(kRunCommandSize >= kTargetPathSize + 8, "a run command holds any target path");

// What a running pass shares with the operations it calls.
struct PassContext {
  char TargetPath[kTargetPathSize] = {};
  bool Verified = false;  // the last extracted entry came out whole and sound
};

// Extracts the current entry (its header in CurrentHeader, the read position
// at its data, past the encryption header of an encrypted entry whose keys
// are primed) to TargetPath, writing at most `outputLimit` bytes and never
// more than the header's uncompressed size. Its pending mark is cleared only
// when exactly that size came out with the header's CRC-32 (or when a write
// failed, which has its own message). False only for an unsupported method,
// after which the pass must end; a target that cannot be created or a CRC
// mismatch still answer true.
bool ExtractEntry(SetupSession& session, PassContext& pass, uint32_t outputLimit);

// Copies the stream's remaining bytes as they are (decrypted when the stream
// has keys), in pieces of at most 32 KiB.
void CopyStoredEntry(EntryStream& stream);

}  // namespace ebook
