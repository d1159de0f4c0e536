#include "window_helpers.h"

#include <commctrl.h>
#include <uxtheme.h>

#include "controls.h"

namespace ctl {

const wchar_t prop_ours[] = L"SolvantaControl";
WNDPROC g_edit_base = nullptr;

bool has_class(HWND h, const wchar_t* cls) {
  wchar_t name[64];
  return h && GetClassNameW(h, name, 64) && lstrcmpiW(name, cls) == 0;
}

// WM_SETFONT, WM_GETFONT and WM_SETTEXT of a control that paints its own
// text: the font is kept in `font`; a change repaints (erasing the

bool font_and_text(HWND h, UINT m, WPARAM w, LPARAM l, HFONT& font, BOOL erase, LRESULT* out) {
  switch (m) {
    case WM_SETFONT:
      font = reinterpret_cast<HFONT>(w);
      if (l) InvalidateRect(h, nullptr, erase);
      *out = 0;
      return true;
    case WM_GETFONT: *out = reinterpret_cast<LRESULT>(font); return true;
    case WM_SETTEXT:
      *out = DefWindowProcW(h, m, w, l);
      InvalidateRect(h, nullptr, erase);
      return true;
    default: return false;
  }
}

// WM_PAINT through a bitmap of the client area's size: the painter draws

namespace {

LRESULT CALLBACK parent_subclass(HWND h, UINT m, WPARAM w, LPARAM l, UINT_PTR id, DWORD_PTR) {
  if ((m == WM_CTLCOLOREDIT || m == WM_CTLCOLORSTATIC) && l &&
      GetPropW(reinterpret_cast<HWND>(l), prop_ours))
    return SendMessageW(reinterpret_cast<HWND>(l), reflect_base + m, w, l);
  if (m == WM_NCDESTROY) RemoveWindowSubclass(h, parent_subclass, id);
  return DefSubclassProc(h, m, w, l);
}

}  // namespace

void reflect_from_parent(HWND child) {
  HWND parent = GetParent(child);
  if (parent) SetWindowSubclass(parent, parent_subclass, 0x50C7, 0);
}

HBRUSH brush_for(HBRUSH* brush, TColor* have, TColor want) {
  if (*brush && *have == want) return *brush;
  if (*brush) DeleteObject(*brush);
  *brush = CreateSolidBrush(colorref(want));
  *have = want;
  return *brush;
}

HFONT font_or_default(HFONT f) {
  return f ? f : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

int text_height(HDC dc, HFONT font, const wchar_t* sample) {
  HGDIOBJ old = SelectObject(dc, font_or_default(font));
  SIZE sz{0, 0};
  GetTextExtentPoint32W(dc, sample, lstrlenW(sample), &sz);
  SelectObject(dc, old);
  return sz.cy;
}

std::wstring window_text(HWND h) {
  int n = GetWindowTextLengthW(h);
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(h, &s[0], n + 1);
  s.resize(static_cast<size_t>(n));
  return s;
}

void draw_theme(const wchar_t* cls, HWND h, HDC dc, int part, int state, const RECT& r) {
  HTHEME t = OpenThemeData(h, cls);
  if (!t) return;
  DrawThemeBackground(t, dc, part, state, &r, nullptr);
  CloseThemeData(t);
}

namespace {

bool register_one(HINSTANCE inst, const wchar_t* name, WNDPROC proc, UINT style) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExW(inst, name, &wc)) return true;
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0;
}

}  // namespace

bool register_controls(HINSTANCE inst) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  if (!g_edit_base) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (!GetClassInfoExW(nullptr, L"EDIT", &wc)) return false;
    g_edit_base = wc.lpfnWndProc;
    for (const wchar_t* name : {edit_class, spin_edit_class}) {
      WNDCLASSEXW e = wc;
      e.cbSize = sizeof e;
      e.lpfnWndProc = edit_proc;
      e.hInstance = inst;
      e.lpszClassName = name;
      e.style &= ~static_cast<UINT>(CS_GLOBALCLASS);
      if (!RegisterClassExW(&e) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    }
  }
  return register_one(inst, spin_buttons_class, spin_buttons_proc, 0) &&
         register_one(inst, control_button_class, host_proc, 0) &&
         register_one(inst, button_class, button_proc, CS_DBLCLKS) &&
         register_one(inst, panel_class, panel_proc, CS_HREDRAW | CS_VREDRAW) &&
         register_one(inst, group_box_class, panel_proc, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS);
}

}  // namespace ctl
