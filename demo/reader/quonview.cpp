// Quon Viewer: the sample book's tiny reader, shipped inside the demo archive.
//
// Its name makes the setup start it after installing, as
// `<install folder>\quonview.exe /INIT` with the install folder as current
// directory (the path is not quoted, so it may arrive split at spaces). It
// records every start in quonview.log beside itself, so a scripted run can
// prove the hand-over, and shows where the book went.
//
// EBOOK_DEMO_AUTOCLOSE=N (seconds, 1..600) closes the window after N seconds
// when started with /INIT: the demo's unattended run under Xvfb has nobody to
// press Close. Only system DLLs are used, so the one .exe is all it needs.

#include <windows.h>
#include <shellapi.h>

namespace {

constexpr int kPathRoom = 1024;
constexpr int kIdPages = 100;
constexpr int kIdOpen = 101;
constexpr int kIdClose = 102;
constexpr UINT_PTR kAutoCloseTimer = 1;

struct ReaderStart {
  bool init = false;        // /INIT: started by the setup
  int autoCloseSeconds = 0; // 0: stay open until closed
  wchar_t commandLine[kPathRoom] = {};
  wchar_t ownFolder[kPathRoom] = {};  // with trailing backslash
  wchar_t currentFolder[kPathRoom] = {};
  wchar_t titlePage[kPathRoom] = {};
  bool titlePageFound = false;
};

ReaderStart g_start;
HFONT g_font;
HWND g_pages;

void Append(wchar_t* to, int room, const wchar_t* text) {
  int n = lstrlenW(to);
  lstrcpynW(to + n, text, room - n);
}

bool FileExists(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool HasInitSwitch() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!args) return false;
  bool found = false;
  // argv[0] may be only the first piece of an unquoted path with spaces, and
  // later pieces are never "/INIT", so every argument may be looked at.
  for (int i = 1; i < count; ++i) {
    if (lstrcmpiW(args[i], L"/INIT") == 0) found = true;
  }
  LocalFree(args);
  return found;
}

int ReadAutoCloseSeconds() {
  wchar_t text[16];
  DWORD n = GetEnvironmentVariableW(L"EBOOK_DEMO_AUTOCLOSE", text, 16);
  if (n == 0 || n >= 16) return 0;
  int seconds = 0;
  for (DWORD i = 0; i < n; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return 0;
    seconds = seconds * 10 + (text[i] - L'0');
    if (seconds > 600) return 0;
  }
  return seconds;
}

void GatherStart() {
  g_start.init = HasInitSwitch();
  g_start.autoCloseSeconds = g_start.init ? ReadAutoCloseSeconds() : 0;
  lstrcpynW(g_start.commandLine, GetCommandLineW(), kPathRoom);
  GetCurrentDirectoryW(kPathRoom, g_start.currentFolder);

  DWORD n = GetModuleFileNameW(nullptr, g_start.ownFolder, kPathRoom);
  while (n > 0 && g_start.ownFolder[n - 1] != L'\\') --n;
  g_start.ownFolder[n] = 0;

  // The title page sits beside the reader, whatever folder it was started from.
  lstrcpynW(g_start.titlePage, g_start.ownFolder, kPathRoom);
  Append(g_start.titlePage, kPathRoom, L"index.html");
  g_start.titlePageFound = FileExists(g_start.titlePage);
}

// One UTF-8 line per start; appending keeps earlier runs for comparison.
void AppendLogLine() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  // wsprintfW stops at 1024 characters, so the paths are appended, not formatted.
  constexpr int kLineRoom = 3 * kPathRoom + 128;
  wchar_t line[kLineRoom];
  wsprintfW(line, L"%04u-%02u-%02u %02u:%02u:%02u started %ls /INIT; command line: ", now.wYear,
            now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
            g_start.init ? L"with" : L"without");
  Append(line, kLineRoom, g_start.commandLine);
  Append(line, kLineRoom, L"; current directory: ");
  Append(line, kLineRoom, g_start.currentFolder);
  Append(line, kLineRoom, L"\r\n");

  wchar_t logPath[kPathRoom];
  lstrcpynW(logPath, g_start.ownFolder, kPathRoom);
  Append(logPath, kPathRoom, L"quonview.log");
  HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  char utf8[4 * kLineRoom];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), nullptr, nullptr);
  DWORD written = 0;
  if (bytes > 1) WriteFile(log, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
  CloseHandle(log);
}

// Adds the pages found under `relative` (a folder below the reader's, empty
// or ending in a backslash) to the list: the window shows what the setup put
// in place.
void ListPages(const wchar_t* relative, int depth) {
  wchar_t pattern[kPathRoom];
  lstrcpynW(pattern, g_start.ownFolder, kPathRoom);
  Append(pattern, kPathRoom, relative);
  Append(pattern, kPathRoom, L"*");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.cFileName[0] == L'.') continue;
    wchar_t name[kPathRoom];
    lstrcpynW(name, relative, kPathRoom);
    Append(name, kPathRoom, found.cFileName);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth < 4) {
        Append(name, kPathRoom, L"\\");
        ListPages(name, depth + 1);
      }
      continue;
    }
    int length = lstrlenW(name);
    if (length > 5 && lstrcmpiW(name + length - 5, L".html") == 0) {
      SendMessageW(g_pages, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

void OpenInBrowser(HWND window, const wchar_t* path) {
  ShellExecuteW(window, L"open", path, nullptr, g_start.ownFolder, SW_SHOWNORMAL);
}

void OpenSelectedPage(HWND window) {
  LRESULT selected = SendMessageW(g_pages, LB_GETCURSEL, 0, 0);
  if (selected == LB_ERR) {
    OpenInBrowser(window, g_start.titlePage);
    return;
  }
  wchar_t path[2 * kPathRoom];
  lstrcpynW(path, g_start.ownFolder, kPathRoom);
  int n = lstrlenW(path);
  if (SendMessageW(g_pages, LB_GETTEXTLEN, selected, 0) < kPathRoom) {
    SendMessageW(g_pages, LB_GETTEXT, selected, reinterpret_cast<LPARAM>(path + n));
    OpenInBrowser(window, path);
  }
}

HWND AddChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y,
              int w, int h, int id) {
  HWND child = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
  return child;
}

void BuildWindow(HWND window) {
  wchar_t text[2 * kPathRoom];
  lstrcpyW(text, g_start.init ? L"Started by the setup with /INIT: the book is installed."
                              : L"Started without /INIT.");
  AddChild(window, L"STATIC", text, SS_LEFT, 12, 10, 500, 18, -1);

  wsprintfW(text, L"Book folder: %ls", g_start.currentFolder);
  AddChild(window, L"STATIC", text, SS_LEFT | SS_PATHELLIPSIS, 12, 32, 500, 18, -1);

  wsprintfW(text, L"Title page: %ls%ls", g_start.titlePage,
            g_start.titlePageFound ? L"" : L"  (missing)");
  AddChild(window, L"STATIC", text, SS_LEFT | SS_PATHELLIPSIS, 12, 52, 500, 18, -1);

  AddChild(window, L"STATIC", L"Pages:", SS_LEFT, 12, 78, 200, 18, -1);
  g_pages = AddChild(window, L"LISTBOX", L"", WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY,
                     12, 96, 500, 120, kIdPages);
  ListPages(L"", 0);

  if (g_start.autoCloseSeconds > 0) {
    wsprintfW(text, L"Closing by itself in %d s (EBOOK_DEMO_AUTOCLOSE).", g_start.autoCloseSeconds);
    AddChild(window, L"STATIC", text, SS_LEFT, 12, 232, 300, 18, -1);
    SetTimer(window, kAutoCloseTimer, static_cast<UINT>(g_start.autoCloseSeconds) * 1000, nullptr);
  }
  HWND open = AddChild(window, L"BUTTON", L"&Open title page", WS_TABSTOP | BS_DEFPUSHBUTTON,
                       312, 228, 110, 26, kIdOpen);
  if (!g_start.titlePageFound) EnableWindow(open, FALSE);
  AddChild(window, L"BUTTON", L"&Close", WS_TABSTOP | BS_PUSHBUTTON, 432, 228, 80, 26, kIdClose);
}

LRESULT CALLBACK ReaderWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      BuildWindow(window);
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kIdOpen:
          OpenSelectedPage(window);
          return 0;
        case kIdPages:
          if (HIWORD(wParam) == LBN_DBLCLK) OpenSelectedPage(window);
          return 0;
        case kIdClose:
        case IDCANCEL:
          DestroyWindow(window);
          return 0;
      }
      break;
    case WM_TIMER:
      if (wParam == kAutoCloseTimer) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  GatherStart();
  AppendLogLine();

  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  g_font = SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)
               ? CreateFontIndirectW(&metrics.lfMessageFont)
               : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ReaderWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = L"QuonViewWindow";
  RegisterClassW(&windowClass);

  RECT frame = {0, 0, 524, 266};
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  AdjustWindowRect(&frame, style, FALSE);
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Quon Viewer - Sample Book", style,
                                (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  ShowWindow(window, show);
  UpdateWindow(window);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
