// What the stub will make of the entries: which names it cannot install,
// which names land on the same Windows file, which entry is the licence and
// what its directive does, and which program it starts after installing.
// Each rule mirrors the engine (src/core archive_pass.cpp, licence.cpp), so
// the publisher learns at build time what the reader would meet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bookpack {

// Why the stub cannot install an entry of this stored name, or empty.
std::string NameProblem(std::string_view name);

struct NamedEntry {
  std::string_view Name;
  bool Utf8 = true;  // else code-page bytes, compared by their ASCII letters only
};

// The first pair of entries that Windows would write to the same path (letter
// case, slash or backslash, "." components and trailing dots and spaces do
// not tell Windows names apart), or a file where another entry needs a folder.
// Empty when there is none.
std::string NameClash(const std::vector<NamedEntry>& entries);

struct LicenceDirective {
  char Letter = 0;       // a, d, e, p, r, or 0 for none
  std::string Argument;  // the first line without its first two and its last character
  bool SetsRunCommand() const;
};

// The directive on the licence text's first line, read as the engine reads it.
LicenceDirective ReadDirective(std::string_view text);

// What the reader's setup will do, for the publisher: the licence line and
// the run-command line. `names` are the entries in archive order.
std::vector<std::string> DescribeOutcome(const std::vector<std::string>& names,
                                         const std::string* licenceName,
                                         const LicenceDirective& directive);

}  // namespace bookpack
