#include "settings_report.h"

#include <cstring>

#include "core/utf8.h"
#include "host/native_platform.h"
#include "licence_report.h"

namespace bookpack {
namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Values the dialog shows: UTF-8 (the stub converts them to UTF-16 as such)
// without control characters (the stored format is one line per value).
std::string TextProblem(std::string_view text, int most, const char* what) {
  if (text.empty()) return "is empty";
  if (text.size() > static_cast<size_t>(most))
    return "is " + WithThousands(text.size()) + " bytes long, and the stub takes at most " +
           std::to_string(most) + " bytes of " + what;
  for (size_t at = 0; at < text.size();) {
    const size_t n = ebook::Utf8SequenceLength(text, at);
    if (n == 0) return "is not UTF-8 text";
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c < 0x20 || c == 0x7F) return "holds a control character, which the stub cannot show";
    at += n;
  }
  return "";
}

// The end of a leading %NAME% (the index after its closing %), or 0.
size_t LeadingVariable(std::string_view folder) {
  if (folder.size() < 3 || folder[0] != '%') return 0;
  const size_t close = folder.find('%', 1);
  if (close == std::string_view::npos || close == 1) return 0;
  return close + 1;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 0x20);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string DefaultFolderProblem(std::string_view folder) {
  std::string problem = TextProblem(folder, ebook::kSettingsFolderMax, "a folder");
  if (!problem.empty()) {
    if (folder.empty()) problem += ": leave --default-folder out for the stub's own c:\\zq";
    return problem;
  }
  for (size_t i = 0; i < folder.size(); ++i) {
    const char c = folder[i];
    if (std::strchr("<>\"|?*", c) != nullptr)
      return std::string("holds '") + c + "', which Windows does not allow in a folder name";
    if (c == ':' && !(i == 1 && IsLetter(folder[0])))
      return "holds a ':' other than a drive's (as in C:\\), which Windows does not allow in a "
             "folder name";
  }
  const bool onADrive = folder.size() >= 3 && IsLetter(folder[0]) && folder[1] == ':' &&
                        (folder[2] == '\\' || folder[2] == '/');
  const size_t variable = LeadingVariable(folder);
  const bool fromAVariable = variable != 0 && (variable == folder.size() ||
                                               folder[variable] == '\\' || folder[variable] == '/');
  if (folder.size() >= 2 && (folder[0] == '\\' || folder[0] == '/') &&
      (folder[1] == '\\' || folder[1] == '/'))
    return "is a network path: a default folder must lie on the reader's PC (C:\\... or "
           "%VARIABLE%\\...)";
  if (!onADrive && !fromAVariable)
    return "is neither absolute (C:\\...) nor starts with a %VARIABLE% (such as "
           "%LOCALAPPDATA%\\...): the reader's setup would install relative to the folder it "
           "was started from";
  size_t start = 0;
  while (start <= folder.size()) {
    size_t end = folder.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = folder.size();
    const std::string_view part = folder.substr(start, end - start);
    if (!part.empty() && part != "." && part != ".." && (part.back() == '.' || part.back() == ' '))
      return "has a part ending in a dot or a space ('" + std::string(part) +
             "'), which Windows trims into another name";
    start = end + 1;
  }
  return "";
}

std::string TitleProblem(std::string_view title) {
  std::string problem = TextProblem(title, ebook::kSettingsTitleMax, "a title");
  if (title.empty()) problem += ": leave --title out for the stub's own \"E-book Setup\"";
  return problem;
}

std::vector<std::pair<std::string, std::string>> ReaderEnvironment(std::string_view user) {
  const std::string profile = "C:\\Users\\" + std::string(user);
  // The stub is a 32-bit program: on 64-bit Windows its %ProgramFiles% is
  // the x86 folder, and %ProgramW6432% the 64-bit one.
  return {
      {"SystemDrive", "C:"},
      {"SystemRoot", "C:\\Windows"},
      {"windir", "C:\\Windows"},
      {"ProgramFiles", "C:\\Program Files (x86)"},
      {"ProgramFiles(x86)", "C:\\Program Files (x86)"},
      {"ProgramW6432", "C:\\Program Files"},
      {"CommonProgramFiles", "C:\\Program Files (x86)\\Common Files"},
      {"ProgramData", "C:\\ProgramData"},
      {"ALLUSERSPROFILE", "C:\\ProgramData"},
      {"PUBLIC", "C:\\Users\\Public"},
      {"USERNAME", std::string(user)},
      {"USERPROFILE", profile},
      {"HOMEDRIVE", "C:"},
      {"HOMEPATH", "\\Users\\" + std::string(user)},
      {"APPDATA", profile + "\\AppData\\Roaming"},
      {"LOCALAPPDATA", profile + "\\AppData\\Local"},
      {"TEMP", profile + "\\AppData\\Local\\Temp"},
      {"TMP", profile + "\\AppData\\Local\\Temp"},
  };
}

std::vector<std::string> UnknownVariables(std::string_view folder) {
  const auto known = ReaderEnvironment("reader");
  std::vector<std::string> unknown;
  ebook::ExpandWindowsVariables(folder, [&](std::string_view name) -> const std::string* {
    for (const auto& [key, value] : known)
      if (SameName(key, name)) return &value;
    unknown.emplace_back(name);
    return nullptr;
  });
  return unknown;
}

std::string OnReadersPc(std::string_view folder) {
  const auto known = ReaderEnvironment("<reader>");
  return ebook::ExpandWindowsVariables(folder, [&](std::string_view name) -> const std::string* {
    for (const auto& [key, value] : known)
      if (SameName(key, name)) return &value;
    return nullptr;
  });
}

std::vector<std::string> DescribeSettings(const ebook::PublisherSettings& s) {
  std::vector<std::string> lines;
  if (s.DefaultFolder[0] != '\0') {
    const std::string folder = s.DefaultFolder;
    std::string line = "default folder: " + folder;
    const std::string there = OnReadersPc(folder);
    if (there != folder) line += " (expanded on the reader's PC, e.g. " + there + ")";
    // The setup runs without asking for administrator rights: a standard
    // user's install into these folders is denied, and the setup then
    // offers to go on as administrator.
    for (const char* guarded : {"C:\\Program Files", "C:\\Windows"}) {
      const size_t n = std::strlen(guarded);
      if (there.size() >= n && SameName(std::string_view(there).substr(0, n), guarded) &&
          (there.size() == n || there[n] == '\\' || there[n] == ' '))
        line +=
            "; a reader without administrator rights is asked to continue as administrator "
            "there";
    }
    lines.push_back(line);
  }
  if (s.Title[0] != '\0') lines.push_back(std::string("title: ") + s.Title);
  if (s.DoneMessage)
    lines.push_back(
        "done message: after an install that starts no program, the reader is told \"The book "
        "was installed in:\" and the folder");
  if (s.AskBeforeStopping)
    lines.push_back(
        "ask before stopping: Exit, Escape and the close box ask before stopping the install; "
        "Escape in the password dialog stops it");
  if (s.SayWrongPassword)
    lines.push_back(
        "say wrong password: \"The password is wrong. Please try again.\" before the password "
        "is asked for again");
  return lines;
}

void WriteSettingsJson(JsonWriter& json, const ebook::PublisherSettings* s) {
  if (s == nullptr) {
    json.Null();
    return;
  }
  json.BeginObject().Key("default_folder");
  if (s->DefaultFolder[0] == '\0')
    json.Null();
  else
    json.String(s->DefaultFolder);
  json.Key("default_folder_example");
  if (s->DefaultFolder[0] == '\0')
    json.Null();
  else
    json.String(OnReadersPc(s->DefaultFolder));
  json.Key("title");
  if (s->Title[0] == '\0')
    json.Null();
  else
    json.String(s->Title);
  json.Key("done_message").Bool(s->DoneMessage);
  json.Key("ask_before_stopping").Bool(s->AskBeforeStopping);
  json.Key("say_wrong_password").Bool(s->SayWrongPassword);
  json.EndObject();
}

}  // namespace bookpack
