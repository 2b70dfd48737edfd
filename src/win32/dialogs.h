// The three dialog procedures and what they exchange with their callers.
#pragma once

#include <windows.h>

#include <string_view>

#include "core/platform.h"
#include "core/setup_session.h"

namespace ebook::win32 {

class Win32Platform;

// Handed to the main dialog as its creation parameter.
struct MainDialogContext {
  SetupSession* Session;
  Win32Platform* Host;
};

// Handed to the overwrite dialog: the file asked about, and the answer.
struct OverwriteRequest {
  std::string_view FileName;  // UTF-8, without its folder
  OverwriteReply Reply;
};

// Handed to the password dialog: where the typed text goes (ANSI code page
// bytes, as the password was made from) and how many bytes came.
struct PasswordRequest {
  char* Buffer;
  int32_t Size;
  int32_t Length;
  bool MayCancel;  // Escape and the close box cancel; otherwise they do nothing
};

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK FileExistDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK PasswordDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Places the window in the middle of the primary screen.
void CenterWindowOnScreen(HWND window);

}  // namespace ebook::win32
