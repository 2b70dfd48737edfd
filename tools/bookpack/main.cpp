// bookpack: the publisher's tool. Builds packaged e-book setups from a
// folder or a ZIP file, and lists, checks and extracts them with the
// stub's own engine code.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "build.h"
#include "ebook_version.h"
#include "host/host_os.h"
#include "inspect.h"
#include "stub_info.h"

namespace {

// The exit status of every command.
constexpr int kDone = 0;
constexpr int kProblem = 1;
constexpr int kUsage = 2;

constexpr char kSynopsis[] =
    "usage:\n"
    "  bookpack build [--stub STUB.exe] -o SETUP.exe [PASSWORD] [--licence FILE]\n"
    "                 [--level N] [--directive] [-q|-v] SOURCE\n"
    "                                                 (SOURCE: a folder or a ZIP file)\n"
    "  bookpack check SETUP.exe [PASSWORD] [--app-path NAME=FOLDER]... [--json] [-q|-v]\n"
    "  bookpack list SETUP.exe [--json]\n"
    "  bookpack extract SETUP.exe DIR [PASSWORD] [--overwrite yes|no]\n"
    "                 [--app-path NAME=FOLDER]... [-q|-v]\n"
    "  bookpack help [COMMAND] | --help | --version\n";

constexpr char kPasswordHelp[] =
    "PASSWORD, one of:\n"
    "  --password-prompt     asked for on the terminal, not shown as it is typed\n"
    "  --password-file FILE  the first line of FILE, without its line end\n"
    "  --password-env NAME   the value of the environment variable NAME\n"
    "  --password PW         on the command line itself, where other users of the\n"
    "                        computer can read it in the process list\n";

constexpr char kCommonHelp[] =
    "Options take their value as --name VALUE or --name=VALUE; -- ends the options.\n"
    "  -q, --quiet    only errors and problems\n"
    "  -v, --verbose  also each entry as it is written, checked or installed\n"
    "  -h, --help     this help\n"
    "\n"
    "Results go to standard output; errors, notes and the progress line to standard\n"
    "error. Exit status, the same for every command:\n"
    "  0  done (check: the reader's install would succeed)\n"
    "  1  a problem found, or the work refused or failed (the message says why)\n"
    "  2  usage: the command line is wrong, or a file or folder it names cannot be\n"
    "     read or made, or is not a setup\n";

struct CommandHelp {
  const char* Name;
  const char* Text;
};

const CommandHelp kHelp[] = {
    {"build",
     "bookpack build [--stub STUB.exe] -o SETUP.exe [PASSWORD] [--licence FILE]\n"
     "               [--level N] [-q|-v] SOURCE\n"
     "\n"
     "Packs SOURCE, a book folder or a ZIP file of one, behind the stub into\n"
     "SETUP.exe, and tells what the reader will see: the licence's directive and\n"
     "the program started after installing.\n"
     "\n"
     "  --stub STUB.exe   the setup stub; by default setup-stub.exe beside bookpack\n"
     "                    or in ../share/ebook-setup/ from bookpack's folder\n"
     "  -o, --output SETUP.exe\n"
     "                    the setup to write; replaced only once it is complete\n"
     "  --licence FILE    shown before installing, stored first as !!licence.txt\n"
     "                    and never encrypted; its first line may be a directive\n"
     "                    (see docs/publishing.md)\n"
     "  --level N         compression effort, 0 (store) to 12; default 9\n"
     "  --directive       the licence's first line (a, d, e, p or r and any\n"
     "                    character) is meant as a directive to the stub; without\n"
     "                    it such a licence is refused\n"
     "  PASSWORD          every entry but the licence is encrypted with it; the\n"
     "                    password must be printable ASCII, at most 79 characters\n"
     "  --password-prompt asks twice, so that a typing slip cannot lock the book\n"},
    {"check",
     "bookpack check SETUP.exe [PASSWORD] [--app-path NAME=FOLDER]... [--json] [-q|-v]\n"
     "\n"
     "Runs the stub's own download check, walk, decryption, inflate and CRC over\n"
     "every entry, then a whole install into a scratch folder. Each problem is a\n"
     "line on standard output; the exit status is 0 only when the reader's install\n"
     "would succeed. Without a password, encrypted entries count as problems.\n"
     "\n"
     "  --app-path NAME=FOLDER  registers an installed application under App Paths\n"
     "                    for the run, so that an update setup (directive p or r)\n"
     "                    finds it, e.g. --app-path Viewer.exe=C:\\Apps\\Viewer\\\n"
     "  --json            the result as JSON (docs/publishing-json.md)\n"},
    {"list",
     "bookpack list SETUP.exe [--json]\n"
     "\n"
     "Lists the entries as the stub walks them: size, packed size, method and\n"
     "name; a * marks an encrypted entry.\n"
     "\n"
     "  --json            the result as JSON (docs/publishing-json.md)\n"},
    {"extract",
     "bookpack extract SETUP.exe DIR [PASSWORD] [--overwrite yes|no]\n"
     "                 [--app-path NAME=FOLDER]... [-q|-v]\n"
     "\n"
     "Installs the setup into DIR with the stub's own engine, as the reader's\n"
     "install would, and says which program it would start.\n"
     "\n"
     "  --overwrite yes|no  replace files that exist in DIR (default no: keep them)\n"
     "  --app-path NAME=FOLDER  as for check\n"},
};

const CommandHelp* HelpOf(const std::string& command) {
  for (const CommandHelp& help : kHelp)
    if (command == help.Name) return &help;
  return nullptr;
}

void PrintHelp(std::ostream& out, const std::string& command) {
  if (const CommandHelp* help = HelpOf(command)) {
    out << "usage: " << help->Text << "\n";
    if (command != "list") out << kPasswordHelp << "\n";
    out << kCommonHelp;
    return;
  }
  out << "bookpack " << EBOOK_VERSION_TEXT
      << ": builds e-book setups and checks, lists and extracts them with the\n"
         "stub's own engine.\n\n"
      << kSynopsis << "\n"
      << kPasswordHelp << "\n"
      << kCommonHelp << "\nRun 'bookpack help COMMAND' for one command's options.\n";
}

int Usage(const std::string& command, const std::string& problem) {
  std::cerr << "bookpack: " << problem << "\n"
            << "Run 'bookpack help" << (command.empty() ? "" : " " + command)
            << "' for the usage.\n";
  return kUsage;
}

// What a command accepts. Adding an option is one line in a command's table
// and one look-up of its value.
struct OptionRule {
  const char* Name;  // "--name"
  char Short;        // 'o' for -o, or 0
  bool TakesValue;
  bool Repeatable = false;  // may be given more than once (each value kept)
};

const OptionRule kPasswordOptions[] = {
    {"--password", 0, true},
    {"--password-file", 0, true},
    {"--password-env", 0, true},
    {"--password-prompt", 0, false},
};
const OptionRule kTalkOptions[] = {{"--quiet", 'q', false}, {"--verbose", 'v', false}};

struct Arguments {
  std::vector<std::string> Positional;
  std::vector<std::pair<std::string, std::string>> Named;
  bool Help = false;
  std::string Error;

  const std::string* Find(const std::string& name) const {
    for (const auto& [key, value] : Named)
      if (key == name) return &value;
    return nullptr;
  }
  bool Has(const std::string& name) const { return Find(name) != nullptr; }
};

Arguments Parse(int argc, char** argv, const std::vector<OptionRule>& rules) {
  Arguments args;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      args.Positional.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    if (word == "-h" || word == "--help") {
      args.Help = true;
      continue;
    }
    std::string name = word, value;
    bool inlineValue = false;
    if (word.compare(0, 2, "--") == 0) {
      if (size_t eq = word.find('='); eq != std::string::npos) {
        name = word.substr(0, eq);
        value = word.substr(eq + 1);
        inlineValue = true;
      }
    }
    const OptionRule* rule = nullptr;
    for (const OptionRule& s : rules) {
      if (name == s.Name || (s.Short != 0 && name.size() == 2 && name[1] == s.Short)) rule = &s;
    }
    if (rule == nullptr) {
      args.Error = "unknown option " + name;
      return args;
    }
    if (!rule->TakesValue) {
      if (inlineValue) {
        args.Error = std::string(rule->Name) + " takes no value";
        return args;
      }
      if (!args.Has(rule->Name)) args.Named.emplace_back(rule->Name, "");
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        args.Error = word + " needs a value";
        return args;
      }
      value = argv[++i];
    }
    if (args.Has(rule->Name) && !rule->Repeatable) {
      args.Error = name + " is given twice";
      return args;
    }
    args.Named.emplace_back(rule->Name, value);
  }
  return args;
}

// The password from whichever of the four sources was given, or none.
// Returns the exit status to end with, or -1 to go on.
int ReadPassword(const Arguments& args, bool confirm, std::string& password,
                 std::string* origin = nullptr) {
  int sources = 0;
  for (const OptionRule& s : kPasswordOptions) sources += args.Has(s.Name);
  if (sources > 1) {
    std::cerr << "bookpack: give the password one way only: --password, --password-file, "
                 "--password-env or --password-prompt\n";
    return kUsage;
  }
  std::string from;
  if (const std::string* p = args.Find("--password")) {
    password = *p;
    return -1;
  }
  if (const std::string* path = args.Find("--password-file")) {
    std::string reason;
    const auto bytes = bookpack::ReadWholeFile(*path, &reason, true);
    if (!bytes || bytes->empty()) {
      std::cerr << "bookpack: cannot read the password file " << *path << ": "
                << (bytes ? "it is empty" : reason) << "\n";
      return kUsage;
    }
    password.assign(bytes->begin(), bytes->end());
    password.resize(std::min(password.size(), password.find('\n')));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    from = "--password-file " + *path;
  } else if (const std::string* name = args.Find("--password-env")) {
    if (!ebook::os::GetEnv(*name, password)) {
      std::cerr << "bookpack: --password-env: the environment variable " << *name
                << " is not set\n";
      return kUsage;
    }
    from = "--password-env " + *name;
  } else if (args.Has("--password-prompt")) {
    std::vector<std::string> prompts = {"Password: "};
    if (confirm) prompts.push_back("The same password again: ");
    std::vector<std::string> typed;
    std::string error;
    const int asked = ebook::os::AskWithoutEcho(prompts, typed, error);
    if (asked != 0) {
      std::cerr << "bookpack: " << error << "\n";
      return asked == 2 ? kUsage : kProblem;
    }
    password = typed[0];
    if (confirm && typed[1] != password) {
      std::cerr << "bookpack: the two passwords typed differ; nothing was built\n";
      return kProblem;
    }
    from = "--password-prompt";
  } else {
    return -1;
  }
  if (origin != nullptr) *origin = from;
  // An empty password means no encryption, which must never happen by
  // accident: an empty file or variable is a mistake.
  if (password.empty()) {
    std::cerr << "bookpack: the password of " << from << " is empty\n";
    return kUsage;
  }
  return -1;
}

int Talk(const Arguments& args, const std::string& command, bool& quiet, bool& verbose) {
  quiet = args.Has("--quiet");
  verbose = args.Has("--verbose");
  if (quiet && verbose) return Usage(command, "-q and -v exclude each other");
  return -1;
}

// An installed bookpack finds its stub without being told: beside itself
// (an unpacked release) or in the share folder of its prefix.
std::vector<std::string> StubPlaces() {
  const std::string self = ebook::os::ProgramPath();
  if (self.empty()) return {};
  const std::string folder = ebook::os::FolderOf(self);
  using ebook::os::Join;
  return {Join(folder, "setup-stub.exe"),
          Join(Join(Join(Join(folder, ".."), "share"), "ebook-setup"), "setup-stub.exe")};
}

std::vector<OptionRule> Join(std::initializer_list<std::vector<OptionRule>> parts) {
  std::vector<OptionRule> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::vector<OptionRule> kPassword(std::begin(kPasswordOptions), std::end(kPasswordOptions));
const std::vector<OptionRule> kTalk(std::begin(kTalkOptions), std::end(kTalkOptions));

int Build(int argc, char** argv) {
  const std::string command = "build";
  Arguments args = Parse(argc, argv,
                         Join({{{"--stub", 0, true},
                                {"--output", 'o', true},
                                {"--licence", 0, true},
                                {"--level", 0, true},
                                {"--directive", 0, false}},
                               kPassword,
                               kTalk}));
  if (!args.Error.empty()) return Usage(command, args.Error);
  if (args.Help) {
    PrintHelp(std::cout, command);
    return kDone;
  }
  bookpack::BuildOptions options;
  if (args.Positional.size() != 1) return Usage(command, "build takes one SOURCE");
  if (!args.Has("--output")) return Usage(command, "build needs -o SETUP.exe");
  options.Source = args.Positional[0];
  options.OutputPath = *args.Find("--output");
  if (auto* stub = args.Find("--stub")) {
    options.StubPath = *stub;
  } else {
    std::string looked;
    for (const std::string& place : StubPlaces()) {
      if (ebook::os::Exists(place)) {
        options.StubPath = place;
        break;
      }
      looked += (looked.empty() ? "" : " or ") + place;
    }
    if (options.StubPath.empty())
      return Usage(command, "build needs --stub STUB.exe: no stub found at " +
                                (looked.empty() ? std::string("bookpack's own folder") : looked));
  }
  if (auto* l = args.Find("--licence")) options.LicencePath = *l;
  options.DirectiveMeant = args.Find("--directive") != nullptr;
  if (auto* level = args.Find("--level")) {
    char* end = nullptr;
    long n = std::strtol(level->c_str(), &end, 10);
    if (level->empty() || *end != '\0' || n < 0 || n > 12)
      return Usage(command, "--level takes 0 to 12, not " + *level);
    options.Level = static_cast<int>(n);
  }
  if (int status = Talk(args, command, options.Quiet, options.Verbose); status >= 0) return status;
  if (int status = ReadPassword(args, true, options.Password, &options.PasswordOrigin); status >= 0)
    return status;
  options.Progress = !options.Quiet && ebook::os::IsTerminal(2);
  return bookpack::RunBuild(options, std::cout, std::cerr);
}

int Inspect(int argc, char** argv, const std::string& command) {
  const bool extract = command == "extract";
  std::vector<OptionRule> known;
  if (command != "list") known = Join({kPassword, kTalk});
  if (extract) known.push_back({"--overwrite", 0, true});
  if (command != "list") known.push_back({"--app-path", 0, true, true});
  if (!extract) known.push_back({"--json", 0, false});
  Arguments args = Parse(argc, argv, known);
  if (!args.Error.empty()) return Usage(command, args.Error);
  if (args.Help) {
    PrintHelp(std::cout, command);
    return kDone;
  }
  if (args.Positional.size() != (extract ? 2u : 1u))
    return Usage(command, command + (extract ? " takes SETUP.exe and DIR" : " takes SETUP.exe"));
  bookpack::InspectOptions options;
  options.SetupPath = args.Positional[0];
  if (extract) options.Folder = args.Positional[1];
  if (auto* o = args.Find("--overwrite")) {
    if (*o != "yes" && *o != "no") return Usage(command, "--overwrite takes yes or no");
    options.Overwrite = *o == "yes";
  }
  if (int status = Talk(args, command, options.Quiet, options.Verbose); status >= 0) return status;
  if (int status = ReadPassword(args, false, options.Password); status >= 0) return status;
  options.Json = args.Has("--json");
  for (const auto& [key, value] : args.Named) {
    if (key != "--app-path") continue;
    const size_t eq = value.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == value.size())
      return Usage(command, "--app-path takes NAME=FOLDER, e.g. Viewer.exe=C:\\Apps\\Viewer\\");
    options.AppPaths.emplace_back(value.substr(0, eq), value.substr(eq + 1));
  }
  if (command == "list") return bookpack::RunList(options, std::cout, std::cerr);
  if (command == "check") return bookpack::RunCheck(options, std::cout, std::cerr);
  return bookpack::RunExtract(options, std::cout, std::cerr);
}

// The results must reach their reader: a full disk, a closed pipe or a
// failed console write would otherwise end the program with its status and
// no word (the caller sees nothing, or a status without its message).
// Standard error says why standard output failed; when standard error
// itself failed, only the status can tell.
int Delivered(int status) {
  ebook::os::ClearError();
  if (!std::cout.flush()) {
    ebook::os::NoteStdioFailure();
    const std::string reason = ebook::os::LastErrorText();
    std::cerr << "bookpack: the results could not be written to standard output: " << reason
              << "\n";
    if (status == kDone) status = kProblem;
  }
  if (!std::cerr.flush() && status == kDone) status = kProblem;
  return status;
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kSynopsis;
    return kUsage;
  }
  const std::string command = argv[1];
  if (command == "build") return Build(argc, argv);
  if (command == "check" || command == "list" || command == "extract")
    return Inspect(argc, argv, command);
  if (command == "--version") {
    std::cout << "bookpack " << EBOOK_VERSION_TEXT << "\n";
    return kDone;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    const std::string topic = argc > 2 ? argv[2] : "";
    if (argc > 3 || (!topic.empty() && HelpOf(topic) == nullptr))
      return Usage("", "help takes one of build, check, list, extract");
    PrintHelp(std::cout, topic);
    return kDone;
  }
  return Usage("", "unknown command " + command);
}

#ifdef _WIN32
namespace {

UINT gConsoleOutputPage = 0;

void RestoreConsolePage() {
  if (gConsoleOutputPage != 0) SetConsoleOutputCP(gConsoleOutputPage);
}

}  // namespace

// The command line in UTF-16, so that any name reaches the program; inside
// it is UTF-8 as on Linux. Output is written as it is on Linux too: UTF-8
// (the console is switched to it while bookpack runs) with \n line ends.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.push_back(ebook::os::Utf8(wargv[i]));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  gConsoleOutputPage = GetConsoleOutputCP();
  if (gConsoleOutputPage != 0 && gConsoleOutputPage != CP_UTF8) {
    SetConsoleOutputCP(CP_UTF8);
    std::atexit(RestoreConsolePage);
  }
  const int status = Delivered(Main(argc, argv.data()));
  RestoreConsolePage();
  return status;
}
#else
int main(int argc, char** argv) { return Delivered(Main(argc, argv)); }
#endif
