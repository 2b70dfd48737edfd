#include "dialogs.h"

#include "core/setup_flow.h"
#include "resource_ids.h"
#include "win32_platform.h"
#include "win32_text.h"

namespace ebook::win32 {
namespace {

// Each dialog keeps what its creation parameter handed over. Only one of
// each kind is open at a time, so one slot per kind is enough.
MainDialogContext* g_main = nullptr;
OverwriteRequest* g_overwrite = nullptr;
PasswordRequest* g_password = nullptr;

constexpr wchar_t kAlreadyExists[] = L"...already exists, overwrite?";

// The main dialog's end check, after every message: once the setup has
// finished, the dialog ends with the command that finished it, once.
// EndDialog hides the dialog, which sends it WM_WINDOWPOSCHANGING at once;
// ending again from there nested hundreds of hides deep (a stack of
// callbacks, each a round of window-manager calls, and a few hundred
// milliseconds under Wine) before the system gave up.
INT_PTR EndIfFinished(HWND window, WPARAM wParam) {
  if (g_main == nullptr || g_main->Session->InstallState != kSetupFinished) return FALSE;
  // Finished becomes ended before EndDialog can send anything back here.
  static_assert(kSetupEnded == kSetupFinished + 1);
  ++g_main->Session->InstallState;
  EndDialog(window, LOWORD(wParam));
  return TRUE;
}

}  // namespace

void CenterWindowOnScreen(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      g_main = reinterpret_cast<MainDialogContext*>(lParam);
      g_main->Host->AttachDialog(window);
      CenterWindowOnScreen(window);
      HICON icon = LoadIconW(g_main->Host->Instance(), kMainIconName);
      SetClassLongPtrW(window, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
      SetFocus(GetDlgItem(window, IDC_FOLDER_EDIT));
      OpenSetup(*g_main->Session);
      // Unattended, the whole install runs here, and the dialog ends before
      // it was ever shown. Its controls still hold the folder and the entry
      // list meanwhile.
      if (g_main->Session->Options.Silent) RunInstall(*g_main->Session);
      // The elevated copy goes on where the first one stopped: Install is
      // pressed once the dialog shows.
      if (g_main->Session->Options.Elevated) PostMessageW(window, WM_COMMAND, IDOK, 0);
      break;
    }
    case WM_WINDOWPOSCHANGING: {
      // The dialog manager shows a visible template's dialog after
      // WM_INITDIALOG, even one that has ended: unattended, it never shows.
      if (g_main != nullptr && g_main->Session->Options.Silent)
        reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
      break;
    }
    case WM_COMMAND:
      // The notification code in the high word is not looked at: Enter,
      // Escape and the close box arrive as the same two commands.
      if (LOWORD(wParam) == IDOK) {
        RunInstall(*g_main->Session);
      } else if (LOWORD(wParam) == IDCANCEL) {
        ExitSetup(*g_main->Session);
      }
      break;
    default:
      break;
  }
  return EndIfFinished(window, wParam);
}

INT_PTR CALLBACK FileExistDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    g_overwrite = reinterpret_cast<OverwriteRequest*>(lParam);
    CenterWindowOnScreen(window);
    wchar_t question[kWidePathSize];
    const int32_t room = kWidePathSize - static_cast<int32_t>(sizeof kAlreadyExists / 2);
    if (Utf8ToWide(g_overwrite->FileName, question, room) < 0) question[0] = L'\0';
    AppendWide(question, kAlreadyExists);
    SendMessageW(GetDlgItem(window, IDC_QUESTION), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(question));
    return FALSE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    const bool yes = LOWORD(wParam) == IDOK;
    g_overwrite->Reply.Overwrite = yes;
    g_overwrite->Reply.DontAskAgain = IsDlgButtonChecked(window, IDC_DONT_ASK_AGAIN) == BST_CHECKED;
    EndDialog(window, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK PasswordDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    g_password = reinterpret_cast<PasswordRequest*>(lParam);
    CenterWindowOnScreen(window);
    SetFocus(GetDlgItem(window, IDC_PASSWORD));
  } else if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    // Passwords were made from the bytes of the publisher's code page, as
    // the ANSI dialog functions give them.
    wchar_t typed[kPasswordBufferSize];
    int n = GetDlgItemTextW(window, IDC_PASSWORD, typed, kPasswordBufferSize);
    PasswordRequest& request = *g_password;
    // In a double-byte code page 79 characters may need more bytes than the
    // buffer has: the password is then cut to the characters that fit.
    int bytes = 0;
    while (n > 0 && (bytes = WideCharToMultiByte(CP_ACP, 0, typed, n, request.Buffer,
                                                 request.Size - 1, nullptr, nullptr)) == 0) {
      --n;
    }
    request.Length = bytes > 0 ? bytes : 0;
    request.Buffer[request.Length] = '\0';
    EndDialog(window, IDOK);
  } else if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL && g_password->MayCancel) {
    // Escape and the close box: the reader gives up, and the install stops.
    // Otherwise they do nothing, and three wrong tries end the dialog.
    g_password->Length = -1;
    g_password->Buffer[0] = '\0';
    EndDialog(window, IDCANCEL);
  }
  return FALSE;
}

}  // namespace ebook::win32
