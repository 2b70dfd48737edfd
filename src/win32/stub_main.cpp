// The program entry of the setup stub: no C runtime start-up code, so the
// stub stays small; nothing here needs constructors run before it.
//
// Start-up opens the program's own packaged file, builds the CRC table and
// runs the main dialog; shutdown closes the file. The exit code is always 0.
#include <windows.h>

#include "core/command_line.h"
#include "core/crc32.h"
#include "core/setup_flow.h"
#include "core/setup_session.h"
#include "dialogs.h"
#include "resource_ids.h"
#include "stub_layout.h"
#include "win32_platform.h"
#include "win32_text.h"

namespace ebook::win32 {
namespace {

// DLLs are looked up in System32 only, never beside the setup in a
// Downloads folder where a planted DLL would wait. The call is missing
// before Windows 7 with KB2533623, hence the run-time lookup.
void RestrictDllSearchToSystem() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (restrict != nullptr) restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // The current folder leaves the search order too.
  SetDllDirectoryW(L"");
}

}  // namespace

int RunStub(HINSTANCE instance) {
  RestrictDllSearchToSystem();

  Win32Platform host(instance);
  SetupSession session;
  // The engine reads the command line; this layer only hands it over.
  // At most 32,767 characters, each at most three bytes.
  static char line[3 * 32768];
  WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, line, sizeof line, nullptr, nullptr);
  const SetupOptions& options = session.Options;
  if (!ParseCommandLine(line, session.Options)) {
    if (!options.Silent) host.ShowMessage(kUsageText, kSetupCaption);
    return options.Refused ? kOutcomeUsage : 0;
  }
  host.Quiet = options.Silent;

  wchar_t ownPath[kWidePathSize];
  DWORD n = GetModuleFileNameW(nullptr, ownPath, kWidePathSize);
  if (n == 0 || n >= static_cast<DWORD>(kWidePathSize)) ownPath[0] = L'\0';
  HANDLE archive = CreateFileW(ownPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (archive == INVALID_HANDLE_VALUE) {
    if (options.Silent) return kOutcomeDamaged;
    MessageBoxW(nullptr, ownPath, L"Couldn't open...", MB_OK);
    return 0;
  }

  session.Host = &host;
  session.StubLength = StubLength();
  session.ArchiveHandle = Win32Platform::FromHandle(archive);
  BuildCrcTable();

  MainDialogContext context{&session, &host};
  // Without a display (or a window station) no dialog can be made: the
  // engine needs its controls, so the setup ends, and says so.
  if (DialogBoxParamW(instance, kMainDialogName, nullptr, MainDialogProc,
                      reinterpret_cast<LPARAM>(&context)) == -1) {
    EndWithoutWindow(session);
    return kOutcomeNoWindow;
  }

  if (!CloseHandle(archive)) MessageBoxW(nullptr, L"Error Closing...", L"Error", MB_OK);
  // Unattended, the exit code says what became of the install.
  return options.Silent ? session.Outcome : 0;
}

}  // namespace ebook::win32

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return ebook::win32::RunStub(instance);
}

// Without the C runtime's start-up code this is the process entry.
// Seen from outside: the stub is compiled as a whole program, in which
// nothing else is.
extern "C" __attribute__((externally_visible)) void WinMainCRTStartup() {
  ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleW(nullptr), nullptr, nullptr, SW_SHOW)));
}
