#include "entry_rules.h"

#include <map>
#include <set>

#include "core/archive_pass.h"
#include "core/licence.h"
#include "core/paths.h"
#include "core/setup_session.h"
#include "host/host_os.h"
#include "host/native_platform.h"
#include "printable.h"

namespace bookpack {
namespace {

// The components of the path Windows makes of a name.
std::vector<std::string> WindowsComponents(const NamedEntry& entry, bool flat) {
  std::vector<std::string> parts;
  // Compared as the stub's texts: a name stored without the UTF-8 flag is
  // read in the code page (Windows-1252, as on a Western Windows), so that
  // "\xE9" in it and "\xC3\xA9" in UTF-8 are the same é.
  const std::string text = entry.Utf8 ? std::string(entry.Name) : ebook::DecodeCp1252(entry.Name);
  std::string_view name = flat ? ebook::NameOfPath(text) : std::string_view(text);
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view part = name.substr(start, end - start);
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
    if (!part.empty()) parts.push_back(ebook::FoldName(part));
    start = end + 1;
  }
  return parts;
}

// Windows holds at most 255 UTF-16 units in one file or folder name.
constexpr size_t kLongestComponent = 255;

size_t Utf16Length(std::string_view utf8) {
  size_t units = 0;
  for (char c : utf8) {
    const auto b = static_cast<uint8_t>(c);
    if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace

namespace {

std::string FoldAscii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  return folded;
}

}  // namespace

std::string NameProblem(std::string_view name) {
  if (name.empty()) return "the name is empty, and the stub stops at an empty name";
  if (name.size() >= static_cast<size_t>(ebook::kNameBufferSize)) {
    return "the name is " + std::to_string(name.size()) +
           " bytes long, and the stub holds at most " + std::to_string(ebook::kNameBufferSize - 1);
  }
  const std::string_view suffix(ebook::kPartSuffix);
  if (name.size() >= suffix.size() &&
      FoldAscii(name.substr(name.size() - suffix.size())) == suffix) {
    return "the name ends in \"" + std::string(suffix) +
           "\", which the setup keeps for a file it is replacing (and removes when it finds one)";
  }
  if (!ebook::IsSafeEntryName(name)) {
    return "the name points outside the installation folder or names what Windows would not "
           "create as given (absolute, a drive, \"..\", a part ending in a dot or a space, or a "
           "device name such as con, nul or conin$)";
  }
  for (size_t start = 0; start < name.size();) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    if (Utf16Length(name.substr(start, end - start)) > kLongestComponent) {
      return "a part of the name is longer than the " + std::to_string(kLongestComponent) +
             " characters Windows allows in one file or folder name";
    }
    start = end + 1;
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
      return "the name holds a character that Windows does not allow in file names";
    }
  }
  return "";
}

std::string NameClash(const std::vector<NamedEntry>& entries, bool flat) {
  std::map<std::vector<std::string>, size_t> files, folders;
  auto show = [&](size_t i) {
    const NamedEntry& e = entries[i];
    return "\"" + Printable(e.Utf8 ? std::string(e.Name) : ebook::DecodeCp1252(e.Name)) + "\"";
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const char last = entries[i].Name.back();
    const bool folder = last == '/' || last == '\\';
    // An update makes no folders: its files all land in one.
    if (flat && folder) continue;
    std::vector<std::string> path = WindowsComponents(entries[i], flat);
    // Every folder above the entry must not be a file, and the entry must
    // not be a file where a folder already is, or the same file again.
    for (size_t depth = 1; depth <= path.size(); ++depth) {
      std::vector<std::string> prefix(path.begin(), path.begin() + static_cast<ptrdiff_t>(depth));
      const bool isFolder = folder || depth < path.size();
      if (isFolder) {
        if (auto f = files.find(prefix); f != files.end())
          return show(f->second) + " and " + show(i) +
                 " need the same name as a file and a folder on Windows";
        folders.emplace(prefix, i);
      } else {
        if (auto f = files.find(prefix); f != files.end())
          return show(f->second) + " and " + show(i) + " are the same file on Windows";
        if (auto d = folders.find(prefix); d != folders.end())
          return show(d->second) + " and " + show(i) +
                 " need the same name as a file and a folder on Windows";
        files.emplace(prefix, i);
      }
    }
  }
  return "";
}

bool LicenceDirective::SetsRunCommand() const {
  return (Letter == 'a' || Letter == 'e') && !Argument.empty() &&
         Argument.size() < static_cast<size_t>(ebook::kRunCommandSize);
}

LicenceDirective ReadDirective(std::string_view text) {
  text = text.substr(0, ebook::kLicenceReadSize);
  text = text.substr(0, text.find('\0'));
  if (ebook::LooksLikeUtf8(text) && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  LicenceDirective directive;
  if (text.empty() || std::string_view("adepr").find(text[0]) == std::string_view::npos)
    return directive;
  directive.Letter = text[0];
  const std::string_view firstLine = text.substr(0, text.find('\n'));
  if (firstLine.size() >= 4) directive.Argument = firstLine.substr(2, firstLine.size() - 3);
  return directive;
}

const std::vector<std::string_view>& SystemPrograms() {
  static const std::vector<std::string_view> kPrograms = {
      "calc.exe",    "cmd.exe",     "control.exe",  "hh.exe",   "msiexec.exe",
      "mspaint.exe", "notepad.exe", "rundll32.exe", "write.exe"};
  return kPrograms;
}

bool IsSystemProgram(std::string_view lowerName) {
  for (std::string_view p : SystemPrograms())
    if (p == lowerName) return true;
  return false;
}

std::string ResolvedCommand(std::string_view command,
                            const std::function<bool(std::string_view)>& inInstallFolder,
                            bool* starts) {
  if (starts != nullptr) *starts = true;
  const bool quoted = !command.empty() && command[0] == '"';
  const size_t from = quoted ? 1 : 0;
  size_t end = command.find(quoted ? '"' : ' ', from);
  if (end == std::string_view::npos) end = command.size();
  std::string_view program = command.substr(from, end - from);
  if (program.find_first_of("\\/:") != std::string_view::npos) return std::string(command);
  std::string_view arguments = command.substr(end);
  if (quoted && !arguments.empty()) arguments.remove_prefix(1);
  std::string file(program);
  if (file.find('.') == std::string::npos) file += ".exe";
  std::string lower = file;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  if (inInstallFolder(file)) return "\"<install folder>\\" + file + "\"" + std::string(arguments);
  // Not in the book: where it is, only the reader's PC can tell.
  const std::string where = "looked up on the reader's PC in System32, then in the Windows folder";
  if (IsSystemProgram(lower)) return where + ": " + file + std::string(arguments);
  if (starts != nullptr) *starts = false;
  return "nothing starts unless the reader's PC has it: " + file + " is not in the book, and is " +
         where;
}

std::vector<std::string> DescribeOutcome(const std::vector<std::string>& names,
                                         const std::string* licenceName,
                                         const LicenceDirective& directive,
                                         const std::string& licenceCut) {
  std::vector<std::string> lines;
  const std::string quoted = "\"" + directive.Argument + "\"";
  if (licenceName == nullptr) {
    lines.push_back("licence: none; the licence box stays empty");
  } else {
    std::string line = "licence: " + *licenceName;
    switch (directive.Letter) {
      case 0:
        line += licenceCut.empty() ? ", no directive: the whole text is shown"
                                   : ", no directive: only the start of the text is shown";
        break;
      case 'd':
        line += ", directive d: the first line is hidden";
        break;
      case 'a':
      case 'e':
        line += std::string(", directive ") + directive.Letter +
                (directive.SetsRunCommand() ? ": the setup runs " + quoted + " after installing"
                                            : ": no command given, so none is set");
        break;
      case 'p':
      case 'r':
        line +=
            std::string(", directive ") + directive.Letter +
            ": updates the application that App Paths registers as " + quoted +
            ", installing every file flat into its folder" +
            (directive.Letter == 'p' ? " (the install path label is hidden)"
                                     : " (a reader without it is told to install the trial first)");
        break;
    }
    if (!licenceCut.empty()) line += "; " + licenceCut;
    lines.push_back(line);
  }
  const bool flat = directive.Letter == 'p' || directive.Letter == 'r';
  if (directive.SetsRunCommand()) {
    auto inFolder = [&](std::string_view file) {
      for (const std::string& name : names) {
        std::string_view target = flat ? ebook::NameOfPath(name) : std::string_view(name);
        if (ebook::FoldName(target) == ebook::FoldName(file)) return true;
      }
      return false;
    };
    lines.push_back("runs after installing: " + ResolvedCommand(directive.Argument, inFolder));
    return lines;
  }
  for (const std::string& name : names) {
    if (!ebook::IsRunProgramName(name)) continue;
    std::string target = flat ? std::string(ebook::NameOfPath(name)) : name;
    for (char& c : target) c = c == '/' ? '\\' : c;
    lines.push_back("runs after installing: \"<install folder>\\" + target + "\" /INIT");
    return lines;
  }
  lines.push_back("runs after installing: nothing (no licence command and no quon*.exe entry)");
  return lines;
}

}  // namespace bookpack
