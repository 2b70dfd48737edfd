// `bookpack list`, `check` and `extract`: a packaged setup read by the
// stub's own engine code, run natively.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace bookpack {

struct InspectOptions {
  std::string SetupPath;
  std::string Folder;      // extract: where the files go
  std::string Password;    // typed into every password dialog; empty: cancelled
  bool Overwrite = false;  // extract: replace existing files (else keep them)
  bool Quiet = false;      // problems and errors only
  bool Verbose = false;    // also each entry as it is checked or installed
  bool Json = false;       // list, check: the result as JSON
  // Applications registered under App Paths for the run (name, the Windows
  // folder of its "Path" value), so that an update setup finds them.
  std::vector<std::pair<std::string, std::string>> AppPaths;
};

// Each returns the exit status: 0 success, 1 a problem was found or an
// install would fail, 2 the file cannot be read as a setup.
int RunList(const InspectOptions& options, std::ostream& out, std::ostream& err);
int RunCheck(const InspectOptions& options, std::ostream& out, std::ostream& err);
int RunExtract(const InspectOptions& options, std::ostream& out, std::ostream& err);

}  // namespace bookpack
