#include "window_view.h"

namespace uidriver {
namespace {

constexpr UINT kSendLimitMs = 10000;

struct TopWindowSearch {
  DWORD process_id;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTopWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<TopWindowSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if ((search->process_id == 0 || owner == search->process_id) && IsWindowVisible(window))
    search->found.push_back(window);
  return TRUE;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

bool ReadText(HWND control, std::wstring* text) {
  LRESULT length = 0;
  if (!SendWithLimit(control, WM_GETTEXTLENGTH, 0, 0, &length)) return false;
  std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
  LRESULT copied = 0;
  if (!SendWithLimit(control, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(&buffer[0]),
                     &copied)) {
    return false;
  }
  buffer.resize(static_cast<size_t>(copied));
  *text = buffer;
  return true;
}

void DescribeListBox(HWND list, Json& control) {
  LRESULT count = 0, selected = 0;
  Json items = Json::Array();
  if (SendWithLimit(list, LB_GETCOUNT, 0, 0, &count)) {
    for (LRESULT i = 0; i < count; ++i) {
      LRESULT length = 0;
      if (!SendWithLimit(list, LB_GETTEXTLEN, i, 0, &length) || length < 0) break;
      std::wstring item(static_cast<size_t>(length) + 1, L'\0');
      LRESULT copied = 0;
      if (!SendWithLimit(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&item[0]), &copied)) break;
      item.resize(copied < 0 ? 0 : static_cast<size_t>(copied));
      items.Push(item);
    }
  }
  control.AddJson("items", items);
  // LB_GETSELCOUNT answers -1 for a single-selection list box.
  if (SendWithLimit(list, LB_GETSELCOUNT, 0, 0, &selected)) control.Add("selected", selected);
}

// The lines a message box's text takes at its control's width, drawn in the
// system's message font (the font a message box uses): a text that the box
// had to break somewhere has more lines than it holds line breaks.
int DrawnLines(HWND control, const std::wstring& text) {
  RECT client;
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  if (!GetClientRect(control, &client) ||
      !SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    return 0;
  HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW tm = {};
  GetTextMetricsW(dc, &tm);
  RECT drawn = {0, 0, client.right, 0};
  DrawTextW(dc, text.c_str(), -1, &drawn, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  DeleteObject(font);
  return tm.tmHeight > 0 ? (drawn.bottom + tm.tmHeight / 2) / tm.tmHeight : 0;
}

}  // namespace

bool SendWithLimit(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                           kSendLimitMs, &answer)) {
    return false;
  }
  *result = static_cast<LRESULT>(answer);
  return true;
}

std::vector<HWND> VisibleTopWindows(DWORD process_id) {
  TopWindowSearch search{process_id, {}};
  EnumWindows(CollectTopWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Another process's caption comes from the window server without a message,
// so a program busy inside its install pass cannot hold this up.
std::wstring WindowCaption(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

std::vector<HWND> Controls(HWND dialog) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

Json DescribeWindow(HWND window) {
  Json controls = Json::Array();
  for (HWND child : Controls(window)) {
    Json control = Json::Object();
    std::wstring kind = ClassOf(child);
    control.Add("id", GetDlgCtrlID(child) & 0xFFFF)
        .Add("class", kind)
        .AddBool("visible", (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) != 0);
    std::wstring text;
    if (ReadText(child, &text)) {
      control.Add("text", text);
      if ((GetDlgCtrlID(child) & 0xFFFF) == 0xFFFF) control.Add("lines", DrawnLines(child, text));
    }
    if (lstrcmpiW(kind.c_str(), L"ListBox") == 0) DescribeListBox(child, control);
    LRESULT check = 0;
    if (lstrcmpiW(kind.c_str(), L"Button") == 0 && SendWithLimit(child, BM_GETCHECK, 0, 0, &check))
      control.Add("checked", check);
    controls.PushJson(control);
  }
  Json described = Json::Object();
  described.Add("caption", WindowCaption(window)).AddJson("controls", controls);
  // The owner's caption: a question must be owned by the main dialog, or a
  // click on that dialog buries it.
  if (HWND owner = GetWindow(window, GW_OWNER)) described.Add("owner", WindowCaption(owner));
  return described;
}

}  // namespace uidriver
