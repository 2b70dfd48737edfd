#include "layout_shot.h"

#include <cstring>
#include <vector>

#include "window_view.h"

namespace uidriver {
namespace {

INT_PTR CALLBACK ProbeDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

// Base units as the dialog manager applies them: the 4 x 8 dialog-unit
// rectangle mapped to pixels is one base unit wide and high.
bool BaseUnitsOf(HWND dialog, POINT* units) {
  RECT unit = {0, 0, 4, 8};
  if (!MapDialogRect(dialog, &unit)) return false;
  units->x = unit.right;
  units->y = unit.bottom;
  return true;
}

bool BaseUnitsFromTemplate(const std::wstring& program, const std::wstring& template_name,
                           POINT* units, std::wstring* error) {
  HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!image) {
    *error = L"cannot load the program's resources";
    return false;
  }
  bool ok = false;
  HRSRC found = FindResourceW(image, template_name.c_str(), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
  HGLOBAL loaded = found ? LoadResource(image, found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) {
    *error = L"no dialog template of that name in the program";
  } else {
    // DWORD-aligned copy, shown hidden: only its unit conversion is wanted.
    DWORD size = SizeofResource(image, found);
    std::vector<DWORD> copy((size + 3) / 4 + 1, 0);
    std::memcpy(copy.data(), bytes, size);
    auto* words = reinterpret_cast<WORD*>(copy.data());
    bool extended = words[0] == 1 && words[1] == 0xFFFF;
    DWORD& style = extended ? copy[3] : copy[0];
    style &= ~static_cast<DWORD>(WS_VISIBLE);
    HWND probe = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                            reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()),
                                            nullptr, ProbeDialogProc, 0);
    if (!probe) {
      *error = L"cannot create a dialog from the program's template";
    } else {
      ok = BaseUnitsOf(probe, units);
      if (!ok) *error = L"MapDialogRect failed on the template copy";
      DestroyWindow(probe);
    }
  }
  FreeLibrary(image);
  return ok;
}

}  // namespace

Json DescribeLayout(HWND dialog, const std::wstring& program, const std::wstring& template_name,
                    std::wstring* error) {
  Json layout = Json::Object();
  RECT client;
  GetClientRect(dialog, &client);
  layout.AddJson("client", Json::Array().Push(client.right).Push(client.bottom));
  // Where the client area starts in a picture of the whole window.
  RECT frame;
  GetWindowRect(dialog, &frame);
  POINT origin = {0, 0};
  ClientToScreen(dialog, &origin);
  layout.AddJson("client_origin",
                 Json::Array().Push(origin.x - frame.left).Push(origin.y - frame.top));

  POINT units;
  const char* source = "dialog";
  if (!BaseUnitsOf(dialog, &units)) {
    source = "template copy";
    if (!BaseUnitsFromTemplate(program, template_name, &units, error)) return layout;
  }
  layout.AddJson("units", Json::Array().Push(units.x).Push(units.y)).Add("units_from", source);

  Json controls = Json::Array();
  for (HWND child : Controls(dialog)) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    Json control = Json::Object();
    control.Add("id", GetDlgCtrlID(child) & 0xFFFF)
        .AddJson("rect", Json::Array().Push(r.left).Push(r.top).Push(r.right).Push(r.bottom));
    wchar_t kind[64] = {};
    GetClassNameW(child, kind, 64);
    LRESULT height = 0;
    if (lstrcmpiW(kind, L"ListBox") == 0 && SendWithLimit(child, LB_GETITEMHEIGHT, 0, 0, &height))
      control.Add("item_height", height);
    controls.PushJson(control);
  }
  layout.AddJson("controls", controls);
  return layout;
}

bool SaveWindowPicture(HWND window, const std::wstring& file, Json* described,
                       std::wstring* error) {
  RECT r;
  GetWindowRect(window, &r);
  int width = r.right - r.left, height = r.bottom - r.top;
  int stride = (width * 3 + 3) & ~3;

  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  info.bmiHeader.biSizeImage = stride * height;

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP picture = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = picture != nullptr;
  if (ok) {
    HGDIOBJ old = SelectObject(memory, picture);
    ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != 0;
    GdiFlush();
    SelectObject(memory, old);
  }
  if (ok) {
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + info.bmiHeader.biSizeImage;
    HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ok = out != INVALID_HANDLE_VALUE && WriteFile(out, &header, sizeof header, &written, nullptr) &&
         WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
         WriteFile(out, bits, info.bmiHeader.biSizeImage, &written, nullptr);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (!ok) *error = L"cannot write the picture file";
  } else {
    *error = L"cannot copy the window's pixels";
  }
  if (picture) DeleteObject(picture);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  described->Add("file", file).AddJson("size", Json::Array().Push(width).Push(height));
  return ok;
}

}  // namespace uidriver
