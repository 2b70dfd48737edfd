// The setup's command line, for unattended installs and for the copy that
// restarts itself with administrator rights. Without arguments a setup runs
// exactly as the reader sees it.
#pragma once

#include <cstdint>

namespace ebook {

// The setup's exit code under /S: what became of the install.
enum SetupOutcome : uint8_t {
  kOutcomeInstalled = 0,
  kOutcomeUsage = 1,          // an argument was refused
  kOutcomeDamaged = 2,        // the archive is damaged (CRC error, broken records, unsafe names)
  kOutcomePassword = 3,       // the password is wrong or was not given
  kOutcomeUnsupported = 4,    // the archive uses what this setup cannot read
  kOutcomeCannotWrite = 5,    // a folder or file could not be written
  kOutcomeStopped = 6,        // the install stopped before its end
  kOutcomeNoApplication = 7,  // an update, unattended, found no application and had no /D=
  kOutcomeNoWindow = 8,       // the setup's window could not be made
};

struct SetupOptions {
  bool Silent = false;    // /S: no window
  bool NoRun = false;     // /NORUN: nothing starts afterwards (the default under /S)
  bool Run = false;       // /RUN: under /S, the program starts all the same
  bool Usage = false;     // /? or a refused argument: show the usage
  bool Refused = false;   // an argument that is not understood
  bool Elevated = false;  // /ELEVATED: this copy was started with administrator rights
  int8_t Overwrite = -1;  // /O=all, /O=none: an OverwriteMode; -1 asks
  // Into the parsed line itself; null when not given.
  const char* OverwriteText = nullptr;
  const char* Folder = nullptr;
  const char* Password = nullptr;
  const char* PasswordFile = nullptr;
  const char* LogFile = nullptr;
};

// In lines short enough that a message box never breaks one inside an
// option ("[/" at a line's end, "P=password" on the next).
inline constexpr char kUsageText[] =
    "Usage: setup [/S] [/RUN] [/NORUN] [/O=all|none]\n"
    "[/P=password | /PF=file] [/LOG=file] [/D=folder]";

struct SetupSession;

// What the copy with administrator rights is handed besides the answers,
// each made absolute first: a copy started that way begins in System32, not
// in this setup's current folder. Null: none.
struct RestartPaths {
  const char* Folder;  // the installation folder
  const char* Log;     // /LOG=
};

// The arguments for the copy of the setup that goes on with administrator
// rights: /ELEVATED, the answers given so far (a standing overwrite answer,
// /NORUN, /LOG=) and /D= with the installation folder. Never the password:
// any program can read another's command line, so the copy asks for it
// again.
// False when they do not fit `size`: cut, they would name another folder.
bool BuildRestartArguments(const SetupSession& session, const RestartPaths& paths, char* out,
                           int32_t size);

// Splits the whole command line as the system hands it over (the program's
// own name first), in place: every value ends up NUL-terminated inside
// `line`. Quotes group spaces into one argument and are dropped. /D= takes
// the rest of the line, spaces and all. Returns false when the usage is to
// be shown (`/?` or a refused argument).
bool ParseCommandLine(char* line, SetupOptions& options);

}  // namespace ebook
