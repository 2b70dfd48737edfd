// The two walks over the archive: the listing pass, when the dialog opens,
// fills the entry list and shows the licence; the install pass writes every
// entry under the installation folder.
#pragma once

#include "setup_session.h"

namespace ebook {

inline constexpr char kCrcErrorMessage[] = "CRC error";

// Everything the pass produces stays in the session, the dialog's controls,
// the files and the messages it showed.
void RunArchivePass(SetupSession& session, bool listing);

}  // namespace ebook
