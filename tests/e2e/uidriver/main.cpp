// uidriver: runs one Windows program, answers its dialogs from a script and
// logs everything it saw, for the end-to-end tests under Wine.
//
//   uidriver SCRIPT LOG
//
// SCRIPT is UTF-8 text, one command per line; blank lines and lines starting
// with '#' are skipped. A command's last argument runs to the end of the
// line and is taken literally (spaces and backslashes included), so Windows
// paths need no quoting; a text cannot hold a line break.
//
//   timeout SECONDS   limit of every later wait (default 30)
//   desktop NAME      work on the desktop NAME (made if missing) and start
//                     the program there; see --hold below
//   env NAME=VALUE    set a variable in the program's environment
//   cwd FOLDER        start the program in FOLDER
//   args TEXT         the command-line arguments of the next run, exactly as
//                     written (quotes included), after the quoted program
//   run PROGRAM       start PROGRAM, with the arguments of `args` if given
//   window CAPTION    wait for a new visible top-level window of the program
//                     captioned exactly CAPTION; it becomes the current
//                     window and all its controls are logged. Any other new
//                     window meanwhile fails the run: the script states the
//                     whole sequence of dialogs.
//   follow CAPTION    the program hands over to another process (a setup
//                     that restarts itself elevated): wait for it to end,
//                     logging "exit" as `exit` does, then for a visible
//                     top-level window captioned CAPTION of another process;
//                     that process becomes the program and the window the
//                     current one, logged as "window" with its "pid"
//   rmdir FOLDER      remove the empty folder FOLDER (a test's obstacle)
//   waitfile FILE     wait until FILE exists: the test, watching the log,
//                     made it once it had done its part (lifted an obstacle)
//   switch CAPTION    make the last window taken with CAPTION current again
//   read              log the current window's controls again
//   set ID TEXT       WM_SETTEXT on control ID (TEXT may be empty)
//   tick ID           check the check box ID
//   escape            post the Escape key to the control that has the focus
//                     in the current window's thread (as a key press would)
//   close             post the close box's command (SC_CLOSE) to the current
//                     window
//   press ID          post WM_COMMAND ID to the current window. Posted, not
//                     sent: the program runs its nested dialogs inside the
//                     handler, so a sent click would not return.
//   layout TEMPLATE   log the current dialog's geometry (see layout_shot.h);
//                     TEMPLATE names the program's dialog resource
//   shot FILE         save the current window's pixels as a BMP file
//   sleep MS          wait MS milliseconds
//   ping MS           send the current window a message that does nothing,
//                     waiting at most MS milliseconds for the answer; logs
//                     "ping" with whether it was answered and how fast
//   exit              wait for the program to end and log its exit code and
//                     its lifetime in microseconds ("us"), from process
//                     creation to exit as the system recorded them (no
//                     polling delay); any new window meanwhile fails the
//                     run, except the setup's message that says where the
//                     book was installed: it is logged as "done" (caption,
//                     owner, controls) and answered with OK
//
// LOG receives one JSON object per line, each with an "event": "start"
// (pid, ANSI code page), "window" and "read" (caption, controls), "layout",
// "shot", "exit" (code), "failure" (message and every window the program
// still shows). A program still running when the script ends is terminated.
//
// Exit status: 0 when the whole script ran, 2 when a step failed (the program
// is then terminated), 1 for bad arguments or a bad script.
//
//   uidriver --hold DESKTOP STATUS
//
// keeps the desktop DESKTOP alive for a whole test run: it makes that desktop
// and a hidden window on it, writes "ok" (or "no window") to the file STATUS,
// and waits until its standard input ends. The tests keep off Wine's default
// desktop: the desktop process that wineboot started there without a display
// can outlive wineboot, and a program that joins it cannot make a window.
// A desktop of our own gets its desktop process when the holder first makes
// a window, with our display, and keeps it until the holder ends.

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "json_log.h"
#include "layout_shot.h"
#include "window_view.h"

namespace uidriver {
namespace {

constexpr DWORD kPollMs = 50;

// The message a setup ends with when it installed and started nothing.
bool IsDoneMessage(HWND window) {
  wchar_t text[64] = {};
  GetDlgItemTextW(window, 0xFFFF, text, 64);
  return WindowCaption(window) == L"E-book Setup" &&
         std::wstring(text).rfind(L"The book was installed in:", 0) == 0;
}

// Splits off the first word; the rest follows one space later.
std::wstring FirstWord(const std::wstring& line, std::wstring* rest) {
  size_t space = line.find(L' ');
  if (space == std::wstring::npos) {
    rest->clear();
    return line;
  }
  *rest = line.substr(space + 1);
  return line.substr(0, space);
}

// Before this thread has any window: EnumWindows, the screen and the layout
// probe all belong to the thread's desktop.
bool UseDesktop(const std::wstring& name) {
  HDESK desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  return desktop && SetThreadDesktop(desktop);
}

class Session {
 public:
  explicit Session(Log& log) : log_(log) {}
  ~Session() { EndProgram(); }

  // False with `failure_` set when the step failed.
  bool Step(const std::wstring& command, const std::wstring& argument);
  void LogFailure();
  void EndProgram();

 private:
  bool Run(const std::wstring& program);
  bool TakeWindow(const std::wstring& caption);
  bool WaitForExit();
  bool Follow(const std::wstring& caption);
  bool Fail(const std::wstring& message) {
    failure_ = message;
    return false;
  }
  bool ProgramRunning() const {
    return process_.hProcess && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
  }
  std::vector<HWND> NewWindows() const;
  HWND Control(const std::wstring& id_text);
  std::vector<wchar_t> Environment() const;

  Log& log_;
  DWORD timeout_ms_ = 30000;
  std::map<std::wstring, std::wstring> environment_;
  std::wstring folder_;
  std::wstring arguments_;
  std::wstring desktop_;
  std::wstring program_;
  PROCESS_INFORMATION process_ = {};
  std::set<HWND> taken_;
  std::map<std::wstring, HWND> by_caption_;
  HWND current_ = nullptr;
  std::wstring failure_;
};

std::vector<wchar_t> Session::Environment() const {
  std::vector<wchar_t> block;
  wchar_t* inherited = GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; *entry; entry += lstrlenW(entry) + 1) {
    std::wstring text(entry);
    size_t equals = text.find(L'=', 1);
    std::wstring name = text.substr(0, equals);
    bool replaced = false;
    for (const auto& override_ : environment_)
      replaced = replaced || lstrcmpiW(override_.first.c_str(), name.c_str()) == 0;
    if (!replaced) block.insert(block.end(), text.c_str(), text.c_str() + text.size() + 1);
  }
  FreeEnvironmentStringsW(inherited);
  for (const auto& entry : environment_) {
    std::wstring text = entry.first + L"=" + entry.second;
    block.insert(block.end(), text.c_str(), text.c_str() + text.size() + 1);
  }
  block.push_back(L'\0');
  return block;
}

bool Session::Run(const std::wstring& program) {
  if (process_.hProcess) return Fail(L"run: a program was started already");
  program_ = program;
  std::wstring command_line = L"\"" + program + L"\"";
  if (!arguments_.empty()) command_line += L" " + arguments_;
  std::vector<wchar_t> environment = Environment();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!desktop_.empty()) startup.lpDesktop = &desktop_[0];
  if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, environment.data(),
                      folder_.empty() ? nullptr : folder_.c_str(), &startup, &process_)) {
    process_ = {};
    return Fail(L"run: CreateProcessW failed with error " + std::to_wstring(GetLastError()));
  }
  log_.Write(Json::Object()
                 .Add("event", "start")
                 .Add("pid", static_cast<long long>(process_.dwProcessId))
                 .Add("acp", static_cast<long long>(GetACP())));
  return true;
}

std::vector<HWND> Session::NewWindows() const {
  std::vector<HWND> fresh;
  for (HWND window : VisibleTopWindows(process_.dwProcessId))
    if (!taken_.count(window)) fresh.push_back(window);
  return fresh;
}

bool Session::TakeWindow(const std::wstring& caption) {
  if (!process_.hProcess) return Fail(L"window: no program was started");
  DWORD start = GetTickCount();
  for (;;) {
    std::vector<HWND> fresh = NewWindows();
    if (!fresh.empty()) {
      // A setup that installs at once may show its closing message before
      // the dialog it belongs to is taken: the dialog comes first.
      HWND window = fresh.front();
      for (HWND candidate : fresh) {
        if (!IsDoneMessage(candidate)) {
          window = candidate;
          break;
        }
      }
      std::wstring seen = WindowCaption(window);
      if (seen != caption)
        return Fail(L"window \"" + seen + L"\" appeared while waiting for \"" + caption + L"\"");
      taken_.insert(window);
      by_caption_[caption] = window;
      current_ = window;
      log_.Write(DescribeWindow(window).Add("event", "window"));
      return true;
    }
    if (!ProgramRunning()) {
      DWORD code = 0;
      GetExitCodeProcess(process_.hProcess, &code);
      return Fail(L"the program ended with code " + std::to_wstring(code) +
                  L" while waiting for \"" + caption + L"\"");
    }
    if (GetTickCount() - start > timeout_ms_)
      return Fail(L"no window \"" + caption + L"\" within the time limit");
    Sleep(kPollMs);
  }
}

bool Session::WaitForExit() {
  if (!process_.hProcess) return Fail(L"exit: no program was started");
  DWORD start = GetTickCount();
  while (WaitForSingleObject(process_.hProcess, kPollMs) == WAIT_TIMEOUT) {
    std::vector<HWND> fresh = NewWindows();
    if (!fresh.empty() && IsDoneMessage(fresh[0])) {
      taken_.insert(fresh[0]);
      log_.Write(DescribeWindow(fresh[0]).Add("event", "done"));
      PostMessageW(fresh[0], WM_COMMAND, IDOK, 0);
      continue;
    }
    if (!fresh.empty())
      return Fail(L"window \"" + WindowCaption(fresh[0]) + L"\" appeared while waiting for the end");
    if (GetTickCount() - start > timeout_ms_)
      return Fail(L"the program did not end within the time limit");
  }
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  Json exit = Json::Object();
  exit.Add("event", "exit").Add("code", static_cast<long long>(code));
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(process_.hProcess, &created, &exited, &kernel, &user)) {
    auto ticks = [](const FILETIME& t) {
      return static_cast<long long>(static_cast<unsigned long long>(t.dwHighDateTime) << 32 |
                                    t.dwLowDateTime);
    };
    exit.Add("us", (ticks(exited) - ticks(created)) / 10);
  }
  log_.Write(exit);
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
  process_ = {};
  return true;
}

bool Session::Follow(const std::wstring& caption) {
  const DWORD before = process_.dwProcessId;
  if (!WaitForExit()) return false;
  DWORD start = GetTickCount();
  for (;;) {
    for (HWND window : VisibleTopWindows(0)) {
      DWORD pid = 0;
      GetWindowThreadProcessId(window, &pid);
      if (pid == before || pid == GetCurrentProcessId() || WindowCaption(window) != caption ||
          IsDoneMessage(window))
        continue;
      HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
      if (!process) return Fail(L"follow: cannot open the process of \"" + caption + L"\"");
      process_ = {};
      process_.hProcess = process;
      process_.dwProcessId = pid;
      taken_.insert(window);
      by_caption_[caption] = window;
      current_ = window;
      log_.Write(DescribeWindow(window).Add("event", "window").Add("pid",
                                                                   static_cast<long long>(pid)));
      return true;
    }
    if (GetTickCount() - start > timeout_ms_)
      return Fail(L"follow: no window \"" + caption + L"\" of another process in time");
    Sleep(kPollMs);
  }
}

HWND Session::Control(const std::wstring& id_text) {
  if (!current_) return nullptr;
  return GetDlgItem(current_, _wtoi(id_text.c_str()));
}

bool Session::Step(const std::wstring& command, const std::wstring& argument) {
  std::wstring text;
  std::wstring id = FirstWord(argument, &text);
  if (command == L"timeout") {
    timeout_ms_ = static_cast<DWORD>(_wtoi(argument.c_str())) * 1000;
    return true;
  }
  if (command == L"env") {
    size_t equals = argument.find(L'=');
    if (equals == std::wstring::npos) return Fail(L"env: NAME=VALUE expected");
    environment_[argument.substr(0, equals)] = argument.substr(equals + 1);
    return true;
  }
  if (command == L"desktop") {
    if (process_.hProcess) return Fail(L"desktop: must come before run");
    if (!UseDesktop(argument)) return Fail(L"desktop: cannot switch to " + argument);
    desktop_ = L"WinSta0\\" + argument;
    return true;
  }
  if (command == L"cwd") {
    folder_ = argument;
    return true;
  }
  if (command == L"args") {
    arguments_ = argument;
    return true;
  }
  if (command == L"run") return Run(argument);
  if (command == L"sleep") {
    Sleep(static_cast<DWORD>(_wtoi(argument.c_str())));
    return true;
  }
  if (command == L"window") return TakeWindow(argument);
  if (command == L"exit") return WaitForExit();
  if (command == L"follow") return Follow(argument);
  if (command == L"rmdir")
    return RemoveDirectoryW(argument.c_str()) || Fail(L"rmdir: cannot remove " + argument);
  if (command == L"waitfile") {
    const DWORD start = GetTickCount();
    while (GetFileAttributesW(argument.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (GetTickCount() - start > timeout_ms_) return Fail(L"waitfile: no " + argument);
      Sleep(20);
    }
    return true;
  }
  if (command == L"switch") {
    auto found = by_caption_.find(argument);
    if (found == by_caption_.end()) return Fail(L"switch: no window of that caption was taken");
    current_ = found->second;
    return true;
  }
  if (!current_ || !IsWindow(current_)) return Fail(command + L": the current window is gone");
  if (command == L"read") {
    log_.Write(DescribeWindow(current_).Add("event", "read"));
    return true;
  }
  if (command == L"ping") {
    const DWORD limit = static_cast<DWORD>(_wtoi(argument.c_str()));
    const DWORD start = GetTickCount();
    DWORD_PTR ignored = 0;
    const bool answered = SendMessageTimeoutW(current_, WM_NULL, 0, 0, SMTO_NORMAL, limit,
                                              &ignored) != 0;
    Json ping = Json::Object();
    ping.Add("event", "ping").AddBool("answered", answered);
    ping.Add("waited", static_cast<long long>(GetTickCount() - start));
    log_.Write(ping);
    return true;
  }
  if (command == L"press") {
    // The notification code BN_CLICKED is 0, so the high word stays clear.
    if (!PostMessageW(current_, WM_COMMAND, static_cast<WPARAM>(_wtoi(id.c_str()) & 0xFFFF),
                      reinterpret_cast<LPARAM>(Control(id))))
      return Fail(L"press: PostMessageW failed");
    return true;
  }
  if (command == L"escape") {
    // Where the key would go: the window that has the focus in the
    // program's thread (the dialog itself when none of its controls has it).
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    HWND target = GetGUIThreadInfo(GetWindowThreadProcessId(current_, nullptr), &gui) &&
                          gui.hwndFocus != nullptr
                      ? gui.hwndFocus
                      : current_;
    if (!PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001) ||
        !PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0010001))
      return Fail(L"escape: PostMessageW failed");
    return true;
  }
  if (command == L"close") {
    // The close box: the system menu's Close command.
    if (!PostMessageW(current_, WM_SYSCOMMAND, SC_CLOSE, 0))
      return Fail(L"close: PostMessageW failed");
    return true;
  }
  if (command == L"set" || command == L"tick") {
    HWND control = Control(id);
    if (!control) return Fail(command + L": no control " + id);
    LRESULT ignored = 0;
    bool answered = command == L"set"
                        ? SendWithLimit(control, WM_SETTEXT, 0,
                                        reinterpret_cast<LPARAM>(text.c_str()), &ignored)
                        : SendWithLimit(control, BM_SETCHECK, BST_CHECKED, 0, &ignored);
    return answered || Fail(command + L": the program did not answer");
  }
  if (command == L"layout") {
    std::wstring error;
    Json layout = DescribeLayout(current_, program_, argument, &error);
    if (!error.empty()) return Fail(L"layout: " + error);
    log_.Write(layout.Add("event", "layout"));
    return true;
  }
  if (command == L"shot") {
    std::wstring error;
    Json described = Json::Object();
    if (!SaveWindowPicture(current_, argument, &described, &error))
      return Fail(L"shot: " + error);
    log_.Write(described.Add("event", "shot"));
    return true;
  }
  return Fail(L"unknown command " + command);
}

void Session::LogFailure() {
  Json windows = Json::Array();
  if (process_.hProcess)
    for (HWND window : VisibleTopWindows(process_.dwProcessId))
      windows.PushJson(DescribeWindow(window));
  log_.Write(
      Json::Object().Add("event", "failure").Add("message", failure_).AddJson("windows", windows));
}

void Session::EndProgram() {
  if (!process_.hProcess) return;
  if (ProgramRunning()) {
    TerminateProcess(process_.hProcess, 255);
    WaitForSingleObject(process_.hProcess, 5000);
    log_.Write(Json::Object().Add("event", "terminated"));
  }
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
  process_ = {};
}

std::vector<std::wstring> ScriptLines(const std::wstring& path) {
  std::vector<std::wstring> lines;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return lines;
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  std::wstring text = Wide(bytes.substr(0, read));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (!line.empty() && line[0] != L'#') lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

int HoldDesktop(const wchar_t* desktop, const wchar_t* status_file) {
  HWND window = nullptr;
  if (UseDesktop(desktop))
    window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                             nullptr);
  const char* status = window ? "ok\n" : "no window\n";
  HANDLE file = CreateFileW(status_file, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, status, lstrlenA(status), &written, nullptr);
  CloseHandle(file);
  if (!window) return 3;
  char buffer[256];
  DWORD read = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
  }
  DestroyWindow(window);
  return 0;
}

}  // namespace
}  // namespace uidriver

int wmain(int argc, wchar_t** argv) {
  using namespace uidriver;
  if (argc == 4 && lstrcmpW(argv[1], L"--hold") == 0) return HoldDesktop(argv[2], argv[3]);
  if (argc != 3) {
    fputws(L"usage: uidriver SCRIPT LOG | uidriver --hold DESKTOP STATUS\n", stderr);
    return 1;
  }
  std::vector<std::wstring> lines = ScriptLines(argv[1]);
  Log log;
  if (lines.empty() || !log.Open(argv[2])) {
    fputws(L"uidriver: cannot read the script or write the log\n", stderr);
    return 1;
  }
  Session session(log);
  for (const std::wstring& line : lines) {
    std::wstring argument;
    std::wstring command = FirstWord(line, &argument);
    if (!session.Step(command, argument)) {
      session.LogFailure();
      return 2;
    }
  }
  return 0;
}
