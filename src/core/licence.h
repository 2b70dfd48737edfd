// The licence entry: its text is shown in the main dialog, and a one-letter
// directive on its first line may name a command to run after installing (a,
// e), hide the first line (d), or turn the setup into an update of an
// application found through App Paths (p, r).
#pragma once

#include <cstdint>
#include <string_view>

#include "setup_session.h"

namespace ebook {

inline constexpr int kLicenceReadSize = 20000;
// The licence's copy in the temporary folder stops here: far beyond any
// licence, and far below what a crafted size could make it fill.
inline constexpr uint32_t kLicenceCopyLimit = 1 << 20;

// Whether a licence text is UTF-8 rather than in the ANSI code page: it
// starts with a byte-order mark, or it is well-formed UTF-8 with at least one
// character beyond ASCII. Plain ASCII reads the same either way.
bool LooksLikeUtf8(std::string_view text);

// Reads the extracted licence file at `path` and applies its directive.
void ReadLicenceFile(SetupSession& session, const char* path);

}  // namespace ebook
