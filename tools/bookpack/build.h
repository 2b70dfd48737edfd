// `bookpack build`: a packaged setup from a folder or a ZIP file.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace bookpack {

struct BuildOptions {
  std::string StubPath;
  std::string OutputPath;
  std::string Source;                         // a folder or a ZIP file
  std::string Password;                       // empty: no encryption
  std::string PasswordOrigin = "--password";  // named in messages about the password
  std::string LicencePath;                    // empty: none added
  std::string PasswordFile;                   // --password-file, an input too
  int Level = -1;                             // compression effort; -1: the default
  bool Progress = false;                      // on a terminal
  bool Quiet = false;                         // errors only
  bool Verbose = false;                       // also each entry as it is written
  // The licence's first line is meant as a directive to the stub (a, d, e,
  // p or r followed by any character); without it such a licence is refused.
  bool DirectiveMeant = false;
  // SOURCE_DATE_EPOCH: every entry's time, in seconds since 1970 (UTC);
  // none: each file's own time, in local time as every ZIP tool writes it.
  std::optional<int64_t> FixedTime;
  // The publisher's settings for the reader's dialog; none by default, and
  // then the setup behaves as the stub is designed (core/publisher_settings.h).
  std::optional<std::string> DefaultFolder;
  std::optional<std::string> Title;
  bool DoneMessage = false;
  bool AskBeforeStopping = false;
  bool SayWrongPassword = false;
};

// Writes the setup and tells what the reader will see. Returns the exit
// status: 0 done, 1 refused (with a message naming the entry), 2 usage.
int RunBuild(const BuildOptions& options, std::ostream& out, std::ostream& err);

}  // namespace bookpack
