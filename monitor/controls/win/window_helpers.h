// Window helpers shared by the control families of this package: the
// object behind a window, buffered painting, the font and text of a
// self-painted control, the parent subclass that hands edit colours back,
// and the window procedures the registration needs. Internal to the package.
#pragma once

#include <windows.h>

#include <string>

#include "colors.h"
#include "painters.h"

namespace ctl {

// Colour messages of our edits are handed back to them by their parent.
constexpr UINT reflect_base = 0xB000;
// Sent by a panel to its children when its colour changed.
constexpr UINT msg_parent_color_changed = 0xB401;
// Marks the windows of this package (the parent subclass looks for it).
extern const wchar_t prop_ours[];
// The system edit box's window procedure, under both edit classes.
extern WNDPROC g_edit_base;

template <class T>
T* object_of(HWND h) {
  return h ? reinterpret_cast<T*>(GetWindowLongPtrW(h, GWLP_USERDATA)) : nullptr;
}

bool has_class(HWND h, const wchar_t* cls);

// WM_SETFONT, WM_GETFONT and WM_SETTEXT of a control that paints its own
// text: the font is kept in `font`; a change repaints (erasing the
// background when `erase`). False for any other message.
bool font_and_text(HWND h, UINT m, WPARAM w, LPARAM l, HFONT& font, BOOL erase, LRESULT* out);

// WM_PAINT through a bitmap of the client area's size: the painter draws
// into the memory DC, which is then copied in one go, so nothing flickers.
template <class Painter>
void paint_buffered(HWND h, Painter paint) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(h, &ps);
  RECT cr;
  GetClientRect(h, &cr);
  HDC mem = CreateCompatibleDC(dc);
  HBITMAP bmp = CreateCompatibleBitmap(dc, cr.right > 0 ? cr.right : 1, cr.bottom > 0 ? cr.bottom : 1);
  HGDIOBJ old = SelectObject(mem, bmp);
  paint(mem, cr);
  BitBlt(dc, 0, 0, cr.right, cr.bottom, mem, 0, 0, SRCCOPY);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  EndPaint(h, &ps);
}

// Subclasses the child's parent so that it hands WM_CTLCOLOREDIT and
// WM_CTLCOLORSTATIC of our edits back to them.
void reflect_from_parent(HWND child);

// A solid brush of `want`, kept in *brush and made again when the colour
// changes.
HBRUSH brush_for(HBRUSH* brush, TColor* have, TColor want);
HFONT font_or_default(HFONT f);
int text_height(HDC dc, HFONT font, const wchar_t* sample);
std::wstring window_text(HWND h);
void draw_theme(const wchar_t* cls, HWND h, HDC dc, int part, int state, const RECT& r);

// The window procedures of the classes register_controls() registers.
LRESULT CALLBACK edit_proc(HWND h, UINT m, WPARAM w, LPARAM l);
LRESULT CALLBACK spin_buttons_proc(HWND h, UINT m, WPARAM w, LPARAM l);
LRESULT CALLBACK host_proc(HWND h, UINT m, WPARAM w, LPARAM l);
LRESULT CALLBACK button_proc(HWND h, UINT m, WPARAM w, LPARAM l);
LRESULT CALLBACK panel_proc(HWND h, UINT m, WPARAM w, LPARAM l);

}  // namespace ctl
