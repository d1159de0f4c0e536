#include "dock.h"

#include <algorithm>

#include "painters.h"

namespace ctl {

namespace {

// The manager of a site whose procedure it took over, and the procedure it
// took over (kept also after the manager went, should a later subclass
// stop it from putting the procedure back).
const wchar_t prop_manager[] = L"SolvantaDockManager";
const wchar_t prop_previous[] = L"SolvantaDockPrevious";

HFONT point_font(const wchar_t* face, int points, int escapement) {
  HDC dc = GetDC(nullptr);
  int height = -MulDiv(points, dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96, 72);
  if (dc) ReleaseDC(nullptr, dc);
  LOGFONTW lf = {};
  lf.lfHeight = height;
  lf.lfWeight = FW_NORMAL;
  lf.lfEscapement = lf.lfOrientation = escapement;
  lf.lfCharSet = lstrcmpiW(face, L"Marlett") == 0 ? SYMBOL_CHARSET : DEFAULT_CHARSET;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  return CreateFontIndirectW(&lf);
}

}  // namespace

dock_fonts::dock_fonts()
    : caption(point_font(L"Verdana", 8, 0)), close_glyph(point_font(L"Marlett", 8, 0)) {}

dock_fonts::~dock_fonts() {
  if (caption) DeleteObject(caption);
  if (close_glyph) DeleteObject(close_glyph);
}

rect_i PaintDockGrabber(HDC dc, const dock_fonts& fonts, const rect_i& client, TAlign panel_align,
                        const std::wstring& caption, bool client_is_window, bool client_focused,
                        bool show_captions) {
  rect_i g = grabber_rect(client, panel_align);
  bool left = grabber_on_left(panel_align);
  if (!show_captions) {
    // The plain dock frame: two raised bars along the grabber.
    if (left) {
      PaintStyledBorder(dc, {g.left + 3, g.top + 2, g.left + 6, g.bottom - 2}, fsPopup, sdAllSides);
      PaintStyledBorder(dc, {g.left + 7, g.top + 2, g.left + 10, g.bottom - 2}, fsPopup, sdAllSides);
    } else {
      PaintStyledBorder(dc, {g.left + 2, g.top + 3, g.right - 2, g.top + 6}, fsPopup, sdAllSides);
      PaintStyledBorder(dc, {g.left + 2, g.top + 7, g.right - 2, g.top + 10}, fsPopup, sdAllSides);
    }
    return g;
  }
  grabber_colors c = grabber_caption_colors(client_is_window, client_focused, left);
  fill_solid(dc, g, c.background);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colorref(c.text));
  if (left) {
    HFONT rotated = CreateRotatedFont(fonts.caption, 90);  // upwards, from the bottom
    HGDIOBJ old = SelectObject(dc, rotated);
    TextOutW(dc, g.left + 1, g.bottom - 2, caption.c_str(), static_cast<int>(caption.size()));
    SelectObject(dc, old);
    DeleteObject(rotated);
  } else {
    HGDIOBJ old = SelectObject(dc, fonts.caption);
    RECT t{g.left + 2, g.top, g.right - 16, g.bottom};
    DrawTextW(dc, caption.c_str(), -1, &t, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
    SelectObject(dc, old);
  }
  rect_i box = close_box(g, panel_align);
  HGDIOBJ old = SelectObject(dc, fonts.close_glyph);
  RECT b = to_rect(box);
  DrawTextW(dc, L"r", 1, &b, DT_SINGLELINE | DT_CENTER | DT_VCENTER | DT_NOPREFIX);
  SelectObject(dc, old);
  return g;
}

dock_manager::dock_manager(HWND site) : site_(site) {
  if (!site_ || !IsWindow(site_)) return;
  previous_ = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(site_, GWLP_WNDPROC));
  SetPropW(site_, prop_manager, this);
  SetPropW(site_, prop_previous, reinterpret_cast<HANDLE>(previous_));
  SetWindowLongPtrW(site_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&dock_manager::site_proc));
}

dock_manager::~dock_manager() {
  if (!previous_ || !IsWindow(site_)) return;
  RemovePropW(site_, prop_manager);
  if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(site_, GWLP_WNDPROC)) == &dock_manager::site_proc) {
    SetWindowLongPtrW(site_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
    RemovePropW(site_, prop_previous);
  }
  // Otherwise a later subclass still calls site_proc, which passes every
  // message on to the procedure kept in prop_previous.
}

LRESULT CALLBACK dock_manager::site_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  auto previous = reinterpret_cast<WNDPROC>(GetPropW(h, prop_previous));
  if (!previous) return DefWindowProcW(h, m, w, l);
  auto* self = static_cast<dock_manager*>(GetPropW(h, prop_manager));
  if (self && (m == WM_COMMAND || m == WM_MOUSEACTIVATE)) InvalidateRect(h, nullptr, TRUE);
  if (m == WM_NCDESTROY) {
    // The site goes: its procedure is put back before the last message.
    if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(h, GWLP_WNDPROC)) == &dock_manager::site_proc)
      SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    RemovePropW(h, prop_manager);
    RemovePropW(h, prop_previous);
    if (self) self->previous_ = nullptr;
  }
  return CallWindowProcW(previous, h, m, w, l);
}

void dock_manager::add_client(HWND client) {
  if (!client || GetParent(client) != site_) return;
  if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) clients_.push_back(client);
  InvalidateRect(site_, nullptr, TRUE);
}

void dock_manager::remove_client(HWND client) {
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  InvalidateRect(site_, nullptr, TRUE);
}

void dock_manager::paint(HDC dc, TAlign site_align, bool show_captions) const {
  HWND focus = GetFocus();
  for (HWND c : clients_) {
    if (!IsWindow(c) || !IsWindowVisible(c)) continue;
    RECT r;
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, site_, reinterpret_cast<POINT*>(&r), 2);
    wchar_t text[256] = {};
    GetWindowTextW(c, text, 256);
    PaintDockGrabber(dc, fonts_, from_rect(r), site_align, text, true, focus == c, show_captions);
  }
}

}  // namespace ctl
