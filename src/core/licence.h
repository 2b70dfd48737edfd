// The licence entry: its text is shown in the main dialog, and a one-letter
// directive on its first line may name a command to run after installing (a,
// e), hide the first line (d), or turn the setup into an update of an
// application found through App Paths (p, r).
#pragma once

#include "setup_session.h"

namespace ebook {

inline constexpr int kLicenceReadSize = 20000;

// Reads the extracted licence file at `path` and applies its directive.
void ReadLicenceFile(SetupSession& session, const char* path);

}  // namespace ebook
