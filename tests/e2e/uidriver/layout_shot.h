// The dialog's geometry and a picture of it.
#pragma once

#include <windows.h>

#include <string>

#include "json_log.h"

namespace uidriver {

// {"client":[w,h], "client_origin":[x,y] (within the window), "units":[x,y], "units_from":..., "controls":[{"id",
// "rect":[left,top,right,bottom], and "item_height" for list boxes}]}, the
// rectangles in the dialog's client pixels.
//
// The base units are the dialog manager's own: MapDialogRect on the dialog
// when it answers. Under Wine it does not answer for another process's
// dialog, so the units then come from MapDialogRect on a hidden dialog that
// this process makes from a copy of the program's own template `template_name`
// (same font, same conversion); "units_from" says which way was taken.
Json DescribeLayout(HWND dialog, const std::wstring& program, const std::wstring& template_name,
                    std::wstring* error);

// Copies the window's pixels from the screen into a 24-bit BMP file.
bool SaveWindowPicture(HWND window, const std::wstring& file, Json* described, std::wstring* error);

}  // namespace uidriver
