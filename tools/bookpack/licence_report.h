// What the stub makes of a licence text, in the publisher's words: where the
// 20,000 bytes it reads end, and what a directive on the first line does.
// Shared by `build` (which knows the file) and `check` (which reads the
// entry back from the setup).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "entry_rules.h"

namespace bookpack {

struct LicenceFacts {
  LicenceDirective Directive;
  std::string FirstLine;    // as the stub reads it, without a CR at its end
  uint64_t StoredSize = 0;  // the whole entry's size
  bool Cut = false;         // the reader sees less than the whole text
  bool CutAtZero = false;   // ... because of a zero byte, not the read limit
  uint64_t CutAt = 0;       // the bytes shown
  size_t CutLine = 0;       // 1-based line in which the text ends
  std::string CutLineText;  // the end of the shown part of that line
  // The letter is followed by something other than a space: the first line
  // reads like text that happens to start with a directive letter.
  bool LooksAccidental = false;
};

// `stored` holds at least the first kLicenceReadSize + 1 bytes of the entry
// (or all of it); `storedSize` is the entry's whole size.
LicenceFacts ReadLicenceFacts(std::string_view stored, uint64_t storedSize);

// "the licence is cut after 20,000 bytes (of 25,000), in line N: '...'", or
// empty when the reader sees the whole text.
std::string CutProblem(const LicenceFacts& facts);

// What the directive does, in plain words ("" for none). `runs` is how the
// run command is shown (resolved), used by a and e.
std::string DirectiveMeaning(const LicenceDirective& directive);

// The problem an accidental-looking directive is: "the first line '...' is
// read as directive 'a': ...".
std::string AccidentalDirectiveProblem(const LicenceFacts& facts);

// 20000 as "20,000".
std::string WithThousands(uint64_t n);

}  // namespace bookpack
