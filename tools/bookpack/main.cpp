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

// What a command accepts, and its help: one table per command, from which
// the parser, the usage lines and `bookpack help` are all made, so that no
// option can be accepted and left out of the help, or the other way round.
struct OptionRule {
  const char* Name;   // "--name"
  char Short;         // 'o' for -o, or 0
  const char* Value;  // the value's name in the help ("FILE"); null: a flag
  const char* Help;
  bool Repeatable = false;      // may be given more than once (each value kept)
  const char* Alias = nullptr;  // another spelling taken as this option
};

const OptionRule kPasswordOptions[] = {
    {"--password-prompt", 0, nullptr,
     "asked for on the terminal, not shown as it is typed (build asks twice, so that a typing "
     "slip cannot lock the book)"},
    {"--password-file", 0, "FILE", "the first line of FILE, without its line end"},
    {"--password-env", 0, "NAME", "the value of the environment variable NAME"},
    {"--password", 0, "PW",
     "on the command line itself, where other users of the computer can read it in the process "
     "list"},
};
const OptionRule kTalkOptions[] = {
    {"--quiet", 'q', nullptr, "only errors and problems"},
    {"--verbose", 'v', nullptr, "also each entry as it is written, checked or installed"},
};

struct CommandSpec {
  const char* Name;
  const char* Before;    // operands before the options ("SETUP.exe")
  const char* After;     // operands after them ("SOURCE")
  const char* Required;  // the one option that must be given, or null
  bool Password;         // takes one of kPasswordOptions
  std::vector<OptionRule> Own;
  const char* About;
};

const CommandSpec kCommands[] = {
    {"build",
     "",
     "SOURCE",
     "--output",
     true,
     {
         {"--stub", 0, "STUB.exe",
          "the setup stub; by default setup-stub.exe beside bookpack or in ../share/ebook-setup/ "
          "from bookpack's folder"},
         {"--output", 'o', "SETUP.exe",
          "the setup to write; replaced only once it is complete, and never one of the inputs"},
         {"--licence", 0, "FILE",
          "shown before installing, stored first as !!licence.txt and never encrypted; its first "
          "line may be a directive (see docs/publishing.md); --license is taken as well",
          false, "--license"},
         {"--level", 0, "N", "compression effort, 0 (store) to 12; default 9"},
         {"--directive", 0, nullptr,
          "the licence's first line (a, d, e, p or r and any character) is meant as a directive "
          "to the stub; without it such a licence is refused"},
         {"--default-folder", 0, "FOLDER",
          "the folder the reader's dialog offers (else c:\\zq): absolute, or starting with a "
          "%VARIABLE% that the reader's PC expands, e.g. \"%LOCALAPPDATA%\\Books\\My Book\"; at "
          "most 255 bytes"},
         {"--title", 0, "TEXT", "the dialog's caption (else \"E-book Setup\"); at most 127 bytes"},
         {"--done-message", 0, nullptr,
          "after an install that starts no program, tell the reader \"The book was installed "
          "in:\" and the folder"},
         {"--ask-before-stopping", 0, nullptr,
          "Exit, Escape and the close box ask before stopping the install; Escape in the "
          "password dialog stops it"},
         {"--say-wrong-password", 0, nullptr,
          "\"The password is wrong. Please try again.\" before the password is asked for again"},
     },
     "Packs SOURCE, a book folder or a ZIP file of one, behind the stub into SETUP.exe, and "
     "tells what the reader will see: the licence's directive, the program started after "
     "installing and the dialog's settings. With PASSWORD every entry but the licence is "
     "encrypted; the password must be printable ASCII, at most 79 characters. "
     "SOURCE_DATE_EPOCH, when set, gives every entry that time (seconds since 1970, UTC)."},
    {"check",
     "SETUP.exe",
     "",
     nullptr,
     true,
     {
         {"--app-path", 0, "NAME=FOLDER",
          "registers an installed application under App Paths for the run, so that an update "
          "setup (directive p or r) finds it, e.g. --app-path Viewer.exe=C:\\Apps\\Viewer\\",
          true},
         {"--json", 0, nullptr, "the result as JSON (docs/publishing-json.md)"},
     },
     "Runs the stub's own download check, walk, decryption, inflate and CRC over every entry, "
     "then a whole install into a scratch folder, with the setup's settings in force. Each "
     "problem is a line on standard output; the exit status is 0 only when the reader's install "
     "would succeed. Without a password, encrypted entries count as problems."},
    {"list",
     "SETUP.exe",
     "",
     nullptr,
     false,
     {
         {"--json", 0, nullptr, "the result as JSON (docs/publishing-json.md)"},
     },
     "Lists the setup's settings, then the entries as the stub walks them: size, packed size, "
     "method and name; a * marks an encrypted entry."},
    {"extract",
     "SETUP.exe DIR",
     "",
     nullptr,
     true,
     {
         {"--overwrite", 0, "yes|no",
          "replace files that exist in DIR (default no: keep them, as when the reader answers "
          "No)"},
         {"--app-path", 0, "NAME=FOLDER", "as for check", true},
     },
     "Installs the setup into DIR with the stub's own engine, as the reader's install would, "
     "and says which program it would start."},
};

const CommandSpec* CommandOf(const std::string& name) {
  for (const CommandSpec& command : kCommands)
    if (name == command.Name) return &command;
  return nullptr;
}

// Every option a command takes, its own first.
std::vector<OptionRule> RulesOf(const CommandSpec& command) {
  std::vector<OptionRule> all = command.Own;
  if (command.Password)
    all.insert(all.end(), std::begin(kPasswordOptions), std::end(kPasswordOptions));
  all.insert(all.end(), std::begin(kTalkOptions), std::end(kTalkOptions));
  return all;
}

std::string Spelled(const OptionRule& rule) {
  std::string form = rule.Short != 0 ? std::string("-") + rule.Short : rule.Name;
  return rule.Value != nullptr ? form + " " + rule.Value : form;
}

// Words joined into lines of at most `width` characters, each after `indent`.
std::string Wrapped(const std::vector<std::string>& words, size_t indent, size_t width,
                    size_t used) {
  std::string text;
  size_t column = used;
  for (const std::string& word : words) {
    if (column > indent && column + 1 + word.size() > width) {
      text += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (column > used || (column > indent && !text.empty())) {
      text += ' ';
      ++column;
    }
    text += word;
    column += word.size();
  }
  return text;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) words.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

constexpr size_t kWidth = 79;

// The command's usage after `lead` characters of its line.
std::string UsageLine(const CommandSpec& command, size_t lead) {
  const std::string start = std::string("bookpack ") + command.Name + " ";
  std::vector<std::string> items = Words(command.Before);
  for (const OptionRule& rule : command.Own) {
    const bool required = command.Required != nullptr && rule.Name == std::string(command.Required);
    std::string item = required ? Spelled(rule) : "[" + Spelled(rule) + "]";
    items.push_back(rule.Repeatable ? item + "..." : item);
  }
  if (command.Password) items.emplace_back("[PASSWORD]");
  items.emplace_back("[-q|-v]");
  for (const std::string& word : Words(command.After)) items.push_back(word);
  return start + Wrapped(items, lead + start.size(), kWidth, lead + start.size());
}

// "  --name VALUE      what it does", the text in a column of its own.
std::string OptionLines(const OptionRule& rule) {
  constexpr size_t kColumn = 22;
  std::string left = "  ";
  if (rule.Short != 0) left += std::string("-") + rule.Short + ", ";
  left += rule.Name;
  if (rule.Value != nullptr) left += std::string(" ") + rule.Value;
  if (left.size() + 2 > kColumn) {
    left += "\n" + std::string(kColumn, ' ');
  } else {
    left += std::string(kColumn - left.size(), ' ');
  }
  return left + Wrapped(Words(rule.Help), kColumn, kWidth, kColumn) + "\n";
}

std::string PasswordHelp() {
  std::string text = "PASSWORD, one of:\n";
  for (const OptionRule& rule : kPasswordOptions) text += OptionLines(rule);
  return text;
}

std::string CommonHelp() {
  std::string text =
      "Options take their value as --name VALUE or --name=VALUE; -- ends the options.\n";
  for (const OptionRule& rule : kTalkOptions) text += OptionLines(rule);
  text += OptionLines({"--help", 'h', nullptr, "this help"});
  return text +
         "\n"
         "Results go to standard output; errors, notes and the progress line to standard\n"
         "error. Exit status, the same for every command:\n"
         "  0  done (check: the reader's install would succeed)\n"
         "  1  a problem found, or the work refused or failed (the message says why)\n"
         "  2  usage: the command line is wrong, or a file or folder it names cannot be\n"
         "     read or made, or is not a setup\n";
}

std::string Synopsis() {
  std::string text = "usage:\n";
  for (const CommandSpec& command : kCommands) text += "  " + UsageLine(command, 2) + "\n";
  return text + "  bookpack help [COMMAND] | --help | --version\n";
}

void PrintHelp(std::ostream& out, const std::string& name) {
  if (const CommandSpec* command = CommandOf(name)) {
    out << "usage: " << UsageLine(*command, 7) << "\n\n"
        << Wrapped(Words(command->About), 0, kWidth, 0) << "\n\n";
    for (const OptionRule& rule : command->Own) out << OptionLines(rule);
    out << "\n";
    if (command->Password) out << PasswordHelp() << "\n";
    out << CommonHelp();
    return;
  }
  out << "bookpack " << EBOOK_VERSION_TEXT
      << ": builds e-book setups and checks, lists and extracts them with the\n"
         "stub's own engine.\n\n"
      << Synopsis() << "\n"
      << PasswordHelp() << "\n"
      << CommonHelp() << "\nRun 'bookpack help COMMAND' for one command's options.\n";
}

int Usage(const std::string& command, const std::string& problem) {
  std::cerr << "bookpack: " << problem << "\n"
            << "Run 'bookpack help" << (command.empty() ? "" : " " + command)
            << "' for the usage.\n";
  return kUsage;
}

// How many single-character edits turn `a` into `b`.
size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "unknown option --lisence; did you mean --licence?"
std::string UnknownOption(const std::string& name, const std::vector<OptionRule>& rules) {
  std::string message = "unknown option " + name;
  const OptionRule* nearest = nullptr;
  size_t best = 3;  // a slip of at most two characters
  for (const OptionRule& rule : rules) {
    if (const size_t d = EditDistance(name, rule.Name); d < best) best = d, nearest = &rule;
  }
  if (nearest != nullptr) message += std::string("; did you mean ") + nearest->Name + "?";
  return message;
}

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
      if (name == s.Name || (s.Alias != nullptr && name == s.Alias) ||
          (s.Short != 0 && name.size() == 2 && name[1] == s.Short))
        rule = &s;
    }
    if (rule == nullptr) {
      args.Error = UnknownOption(name, rules);
      return args;
    }
    if (rule->Value == nullptr) {
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

int Build(int argc, char** argv) {
  const std::string command = "build";
  Arguments args = Parse(argc, argv, RulesOf(*CommandOf(command)));
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
  options.DirectiveMeant = args.Has("--directive");
  if (auto* folder = args.Find("--default-folder")) options.DefaultFolder = *folder;
  if (auto* title = args.Find("--title")) options.Title = *title;
  options.DoneMessage = args.Has("--done-message");
  options.AskBeforeStopping = args.Has("--ask-before-stopping");
  options.SayWrongPassword = args.Has("--say-wrong-password");
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
  if (auto* file = args.Find("--password-file")) options.PasswordFile = *file;
  // The reproducible-builds convention: one time for every entry.
  if (std::string epoch; ebook::os::GetEnv("SOURCE_DATE_EPOCH", epoch)) {
    char* end = nullptr;
    const long long seconds = std::strtoll(epoch.c_str(), &end, 10);
    if (epoch.empty() || *end != '\0' || seconds < 0 || epoch.size() > 12)
      return Usage(
          command,
          "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, not '" + epoch + "'");
    options.FixedTime = seconds;
  }
  options.Progress = !options.Quiet && ebook::os::IsTerminal(2);
  return bookpack::RunBuild(options, std::cout, std::cerr);
}

int Inspect(int argc, char** argv, const std::string& command) {
  const bool extract = command == "extract";
  Arguments args = Parse(argc, argv, RulesOf(*CommandOf(command)));
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
    std::cerr << Synopsis();
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
    if (argc > 3 || (!topic.empty() && CommandOf(topic) == nullptr))
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
