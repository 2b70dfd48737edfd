// bookpack: the publisher's tool. Builds packaged e-book setups from a
// folder or a ZIP file, and lists, checks and extracts them with the
// stub's own engine code.
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "build.h"
#include "inspect.h"

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  bookpack build --stub STUB.exe -o SETUP.exe [--password PW] [--licence FILE]\n"
    "                 [--level N] [--directive] SOURCE   (SOURCE: a folder or a ZIP file)\n"
    "  bookpack check SETUP.exe [--password PW] [--app-path NAME=FOLDER]... [--json]\n"
    "  bookpack list SETUP.exe [--json]\n"
    "  bookpack extract SETUP.exe DIR [--password PW] [--overwrite yes|no]\n"
    "                 [--app-path NAME=FOLDER]...\n"
    "\n"
    "  --directive  the licence's first line (a, d, e, p or r and any character) is meant\n"
    "               as a directive to the stub; without it such a licence is refused\n"
    "  --app-path   registers an installed application under App Paths for the run, so\n"
    "               that an update setup (directive p or r) finds it, e.g.\n"
    "               --app-path Viewer.exe=C:\\Apps\\Viewer\\\n"
    "  --json       the result as JSON (docs/publishing-json.md)\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "bookpack: " << problem << "\n";
  std::cerr << kUsage;
  return 2;
}

// Options given as "--name value"; everything else is positional.
struct Arguments {
  std::vector<std::string> Positional;
  std::vector<std::pair<std::string, std::string>> Named;
  std::string Error;

  const std::string* Find(const std::string& name) const {
    for (const auto& [key, value] : Named)
      if (key == name) return &value;
    return nullptr;
  }
};

// Options in `flags` take no value; they are recorded with the value "1".
Arguments Parse(int argc, char** argv, const std::vector<std::string>& known,
                const std::vector<std::string>& flags = {}) {
  Arguments args;
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (word.size() > 1 && word[0] == '-') {
      std::string name = word == "-o" ? "--output" : word;
      bool isFlag = false;
      for (const auto& f : flags) isFlag = isFlag || f == name;
      if (isFlag) {
        args.Named.emplace_back(name, "1");
        continue;
      }
      bool isKnown = false;
      for (const auto& k : known) isKnown = isKnown || k == name;
      if (!isKnown) {
        args.Error = "unknown option " + word;
        return args;
      }
      if (i + 1 >= argc) {
        args.Error = word + " needs a value";
        return args;
      }
      args.Named.emplace_back(name, argv[++i]);
    } else {
      args.Positional.push_back(word);
    }
  }
  return args;
}

int Build(int argc, char** argv) {
  Arguments args = Parse(argc, argv, {"--stub", "--output", "--password", "--licence", "--level"},
                         {"--directive"});
  if (!args.Error.empty()) return Usage(args.Error);
  bookpack::BuildOptions options;
  if (args.Positional.size() != 1) return Usage("build takes one SOURCE");
  if (!args.Find("--stub") || !args.Find("--output")) return Usage("build needs --stub and -o");
  options.Source = args.Positional[0];
  options.StubPath = *args.Find("--stub");
  options.OutputPath = *args.Find("--output");
  if (auto* p = args.Find("--password")) options.Password = *p;
  if (auto* l = args.Find("--licence")) options.LicencePath = *l;
  options.DirectiveMeant = args.Find("--directive") != nullptr;
  if (auto* level = args.Find("--level")) {
    char* end = nullptr;
    long n = std::strtol(level->c_str(), &end, 10);
    if (level->empty() || *end != '\0' || n < 0 || n > 12) return Usage("--level takes 0 to 12");
    options.Level = static_cast<int>(n);
  }
  options.Progress = isatty(STDERR_FILENO) != 0;
  return bookpack::RunBuild(options, std::cout, std::cerr);
}

int Inspect(int argc, char** argv, const std::string& command) {
  const bool extract = command == "extract";
  std::vector<std::string> known;
  if (command != "list") known.push_back("--password");
  if (extract) known.push_back("--overwrite");
  if (command != "list") known.push_back("--app-path");
  std::vector<std::string> flags;
  if (!extract) flags.push_back("--json");
  Arguments args = Parse(argc, argv, known, flags);
  if (!args.Error.empty()) return Usage(args.Error);
  if (args.Positional.size() != (extract ? 2u : 1u))
    return Usage(command + (extract ? " takes SETUP.exe and DIR" : " takes SETUP.exe"));
  bookpack::InspectOptions options;
  options.SetupPath = args.Positional[0];
  if (extract) options.Folder = args.Positional[1];
  if (auto* p = args.Find("--password")) options.Password = *p;
  if (auto* o = args.Find("--overwrite")) {
    if (*o != "yes" && *o != "no") return Usage("--overwrite takes yes or no");
    options.Overwrite = *o == "yes";
  }
  options.Json = args.Find("--json") != nullptr;
  for (const auto& [key, value] : args.Named) {
    if (key != "--app-path") continue;
    const size_t eq = value.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == value.size())
      return Usage("--app-path takes NAME=FOLDER, e.g. Viewer.exe=C:\\Apps\\Viewer\\");
    options.AppPaths.emplace_back(value.substr(0, eq), value.substr(eq + 1));
  }
  if (command == "list") return bookpack::RunList(options, std::cout, std::cerr);
  if (command == "check") return bookpack::RunCheck(options, std::cout, std::cerr);
  return bookpack::RunExtract(options, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("");
  const std::string command = argv[1];
  if (command == "build") return Build(argc, argv);
  if (command == "check" || command == "list" || command == "extract")
    return Inspect(argc, argv, command);
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  return Usage("unknown command " + command);
}
