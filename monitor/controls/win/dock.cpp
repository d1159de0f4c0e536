#include "dock.h"

#include "painters.h"

namespace ctl {

namespace {

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

}  // namespace ctl
