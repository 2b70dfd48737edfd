#include "command_line.h"

#include <cstddef>
#include <string_view>

#include "setup_session.h"

namespace ebook {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Where the text after `name` (given in upper case) starts when `argument`
// begins with it; a name without '=' must be the whole argument.
const char* Match(const char* argument, const char* name) {
  for (; *name != '\0'; ++argument, ++name) {
    char c = *argument;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    if (c != *name) return nullptr;
  }
  return name[-1] == '=' || *argument == '\0' ? argument : nullptr;
}

// The arguments but /D=: a flag sets its bool, a value (which may not be
// empty) is kept as a pointer into the line.
struct Known {
  char Name[10];
  uint8_t Offset;
};
constexpr Known kKnown[] = {
    {"/S", offsetof(SetupOptions, Silent)},
    {"/NORUN", offsetof(SetupOptions, NoRun)},
    {"/?", offsetof(SetupOptions, Usage)},
    {"/O=", offsetof(SetupOptions, OverwriteText)},
    {"/PF=", offsetof(SetupOptions, PasswordFile)},
    {"/P=", offsetof(SetupOptions, Password)},
    {"/LOG=", offsetof(SetupOptions, LogFile)},
    {"/ELEVATED", offsetof(SetupOptions, Elevated)},
};

}  // namespace

void NoteOutcome(SetupSession& session, uint8_t outcome) {
  if (session.Outcome != kOutcomeInstalled) return;
  session.Outcome = outcome;
  // A stop the reader asked for is no problem to show.
  if (outcome != kOutcomeStopped && session.ProgressTotal != 0)
    session.Host->ShowProgress(session.ProgressDone, session.ProgressTotal, true);
}

namespace {

// Copies `text` to `p`, up to `end`; null once something did not fit.
// (JoinText's list of views would cost the stub twice this code here: each
// optional piece became a length and a branch.)
__attribute__((noinline)) char* Append(char* p, const char* end, const char* text) {
  for (; p != nullptr && *text != '\0'; ++text) *p = *text, p = p == end ? nullptr : p + 1;
  return p;
}

}  // namespace

bool BuildRestartArguments(const SetupSession& session, char* out, int32_t size) {
  const char* end = out + size - 1;
  const char* password = session.Password;
  const char* log = session.Options.LogFile;
  char* p = Append(out, end, "/ELEVATED");
  if (session.OverwriteMode != kOverwriteAsk)
    p = Append(p, end, session.OverwriteMode == kOverwriteAlways ? " /O=all" : " /O=none");
  // A quote cannot be passed inside quotes: that password is asked again.
  if (*password != '\0' && std::string_view(password).find('"') == std::string_view::npos)
    p = Append(Append(Append(p, end, " \"/P="), end, password), end, "\"");
  if (session.Options.NoRun) p = Append(p, end, " /NORUN");
  if (log != nullptr) p = Append(Append(Append(p, end, " \"/LOG="), end, log), end, "\"");
  // Cut, the folder would name another one.
  p = Append(Append(p, end, " /D="), end, session.InstallDir);
  if (p == nullptr) return false;
  *p = '\0';
  return true;
}

bool ParseCommandLine(char* line, SetupOptions& options) {
  char* p = line;
  // The program's own name, quoted when it holds spaces.
  const bool quotedName = *p == '"';
  p += quotedName;
  while (*p != '\0' && (quotedName ? *p != '"' : !IsBlank(*p))) ++p;
  p += *p != '\0';
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') break;
    char* argument = p;
    char* out = p;
    // /D= runs to the end of the line: a folder may hold spaces, quoted or
    // not. A quote cannot be part of a Windows name, so every one goes.
    const bool rest = Match(p + (*p == '"'), "/D=") != nullptr;
    bool quoted = false;
    for (; *p != '\0' && (rest || quoted || !IsBlank(*p)); ++p) {
      if (*p == '"') {
        quoted = !quoted;
      } else {
        *out++ = *p;
      }
    }
    p += *p != '\0';
    if (rest) {
      while (out > argument && IsBlank(out[-1])) --out;
      // A shell doubles the backslash that ends a quoted folder.
      if (out - argument > 4 && out[-1] == '\\' && out[-2] == '\\') --out;
    }
    *out = '\0';
    if (rest) {
      options.Folder = argument + 3;
      options.Refused |= *options.Folder == '\0';
      // Nothing may follow the folder.
      break;
    }
    const Known* known = kKnown;
    const char* value = nullptr;
    while (known != kKnown + sizeof kKnown / sizeof kKnown[0] &&
           (value = Match(argument, known->Name)) == nullptr) {
      ++known;
    }
    if (value == nullptr || (value[-1] == '=' && *value == '\0')) {
      options.Refused = true;
      continue;
    }
    char* field = reinterpret_cast<char*>(&options) + known->Offset;
    if (value[-1] == '=') {
      *reinterpret_cast<const char**>(field) = value;
    } else {
      *field = true;
    }
  }
  if (const char* o = options.OverwriteText) {
    if (Match(o, "ALL")) {
      options.Overwrite = kOverwriteAlways;
    } else if (Match(o, "NONE")) {
      options.Overwrite = kOverwriteNever;
    } else {
      options.Refused = true;
    }
  }
  // Unattended, an existing file is replaced unless /O=none says otherwise.
  if (options.Silent && options.Overwrite < 0) options.Overwrite = kOverwriteAlways;
  options.Usage |= options.Refused;
  return !options.Usage;
}

}  // namespace ebook
