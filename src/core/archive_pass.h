// The two walks over the archive: the listing pass, when the dialog opens,
// fills the entry list and shows the licence; the install pass writes every
// entry under the installation folder.
#pragma once

#include <string_view>

#include "setup_session.h"

namespace ebook {

inline constexpr char kCrcErrorMessage[] = "CRC error";

// The licence entry: the first whose file part starts with "!!licen", in
// any case.
bool IsLicenceEntryName(std::string_view name);

// The run-command rule: the first extracted program whose file part is
// quon*.exe, in any case, with a sixth character other than r.
bool IsRunProgramName(std::string_view name);

// /LOG=: what became of one file ("installed ", "kept ", "failed ") and
// its path, one line, in UTF-8, followed by `why` (what the reader was told,
// its lines joined) when it is not empty. Control characters are written
// as \xHH, so that no name can start a line of its own.
void LogLine(SetupSession& session, const char* what, const char* path, const char* why = "");

// Everything the pass produces stays in the session, the dialog's controls,
// the files and the messages it showed.
void RunArchivePass(SetupSession& session, bool listing);

}  // namespace ebook
