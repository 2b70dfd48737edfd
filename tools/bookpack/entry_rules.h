// What the stub will make of the entries: which names it cannot install,
// which names land on the same Windows file, which entry is the licence and
// what its directive does, and which program it starts after installing.
// Each rule mirrors the engine (src/core archive_pass.cpp, licence.cpp), so
// the publisher learns at build time what the reader would meet.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace bookpack {

// Why the stub cannot install an entry of this stored name, or empty.
std::string NameProblem(std::string_view name);

struct NamedEntry {
  std::string_view Name;
  bool Utf8 = true;  // else Windows-1252 bytes, as the stub reads them on a Western Windows
};

// The first pair of entries that Windows would write to the same path (letter
// case of any character, as FoldName folds it; slash or backslash; "."
// components; trailing dots and spaces; the same character stored in the
// code page and in UTF-8 do not tell Windows names apart), or a file where
// another entry needs a folder. `flat`: an update setup, which installs
// every file under its name alone into one folder. Empty when there is none.
std::string NameClash(const std::vector<NamedEntry>& entries, bool flat = false);
// Follows a clash found with `flat`.
inline constexpr char kFlatNote[] =
    " (an update installs every file under its name alone into the application's folder)";

struct LicenceDirective {
  char Letter = 0;       // a, d, e, p, r, or 0 for none
  std::string Argument;  // the first line without its first two and its last character
  bool SetsRunCommand() const;
};

// The directive on the licence text's first line, read as the engine reads it.
LicenceDirective ReadDirective(std::string_view text);

// Programs of Windows itself that every reader's System32 or Windows folder
// holds, lower case: a bare command naming one starts it when the
// installation folder has no program of that name.
bool IsSystemProgram(std::string_view lowerName);
const std::vector<std::string_view>& SystemPrograms();

// How the engine resolves a run command (setup_flow.cpp): a bare program
// name is looked up in the installation folder, then System32, then the
// Windows folder, and starts nothing when in none. `inInstallFolder` answers
// whether a file name (with ".exe" added when it has no dot) will be in the
// installation folder. The answer is the command shown the publisher, with
// the installation folder written "<install folder>"; a program not in the
// book is said to be looked up on the reader's PC, never given a path the
// build machine cannot know, and one that Windows does not have says
// "nothing starts unless ..." (then `starts` is false).
std::string ResolvedCommand(std::string_view command,
                            const std::function<bool(std::string_view)>& inInstallFolder,
                            bool* starts = nullptr);

// What the reader's setup will do, for the publisher: the licence line and
// the run-command line. `names` are the entries in archive order.
// `licenceCut` is empty when the reader sees the whole licence, else says
// where it is cut.
std::vector<std::string> DescribeOutcome(const std::vector<std::string>& names,
                                         const std::string* licenceName,
                                         const LicenceDirective& directive,
                                         const std::string& licenceCut = "");

}  // namespace bookpack
