// What the driver can see of another process's windows: its visible
// top-level windows, and the ids, classes and texts of their controls.
// Every read is a wide message: under Wine the narrow list-box text request
// comes back truncated across processes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "json_log.h"

namespace uidriver {

// Those of the process `process_id`, or of every process for 0.
std::vector<HWND> VisibleTopWindows(DWORD process_id);
std::wstring WindowCaption(HWND window);
// The direct children of a dialog, in z-order (template order).
std::vector<HWND> Controls(HWND dialog);

// Sends with a limit, so a program that stopped pumping messages fails the
// run instead of hanging it. False when the message was not answered.
bool SendWithLimit(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result);

// {"caption":..., "controls":[{"id","class","text","visible", and for list
// boxes "items","selected", for buttons "checked", for a message box's text
// (id 0xFFFF) "lines", the lines it is drawn in at its width}]}
Json DescribeWindow(HWND window);

}  // namespace uidriver
