#include "painters.h"

#include <uxtheme.h>
#include <vssym32.h>

#include <vector>

#include "visual_styles.h"

namespace ctl {

void fill_solid(HDC dc, const rect_i& r, TColor c) {
  if (r.right <= r.left || r.bottom <= r.top || c == clNone) return;
  RECT rc = to_rect(r);
  COLORREF old = SetBkColor(dc, colorref(c));
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
  SetBkColor(dc, old);
}

void set_pixel(HDC dc, int x, int y, TColor c) {
  if (c == clNone) return;
  SetPixelV(dc, x, y, colorref(c));
}

rect_i PaintSides(HDC dc, const rect_i& r, TColor c1, TSides sides, TColor c2) {
  if (c1 != clNone) {
    if (sides & sdLeft) fill_solid(dc, {r.left, r.top, r.left + 1, r.bottom}, c1);
    if (sides & sdTop) fill_solid(dc, {r.left, r.top, r.right, r.top + 1}, c1);
  }
  if (c2 != clNone) {
    if (sides & sdRight) fill_solid(dc, {r.right - 1, r.top, r.right, r.bottom}, c2);
    if (sides & sdBottom) fill_solid(dc, {r.left, r.bottom - 1, r.right, r.bottom}, c2);
  }
  return ShrinkRectSides(r, sides, 1);
}

rect_i PaintSideRings(HDC dc, const rect_i& r, TColor c1, TSides sides, TColor c2, int n) {
  rect_i o = r;
  for (int i = 0; i < n && i < 4096; ++i) o = PaintSides(dc, o, c1, sides, c2);
  return o;
}

namespace {

rect_i etched(HDC dc, const rect_i& r, TColor a, TColor b, TSides s) {
  bool L = s & sdLeft, T = s & sdTop, R = s & sdRight, B = s & sdBottom;
  if (R) set_pixel(dc, r.right - 1, r.top, b);
  else if (T) set_pixel(dc, r.right - 1, r.top, a);
  if (B) set_pixel(dc, r.left, r.bottom - 1, b);
  else if (L) set_pixel(dc, r.left, r.bottom - 1, a);
  if (T && !L) set_pixel(dc, r.left, r.top + 1, b);
  if (L && !T) set_pixel(dc, r.left + 1, r.top, b);
  if (B && !R) set_pixel(dc, r.right - 1, r.bottom - 2, a);
  if (R && !B) set_pixel(dc, r.right - 2, r.bottom - 1, a);
  PaintSides(dc, {r.left + 1, r.top + 1, r.right, r.bottom}, b, s, b);
  PaintSides(dc, {r.left, r.top, r.right - 1, r.bottom - 1}, a, s, a);
  return ShrinkRectSides(r, s, 2);
}

rect_i two_rings(HDC dc, const rect_i& r, TSides s, TColor a1, TColor a2, TColor b1, TColor b2) {
  rect_i o = PaintSides(dc, r, a1, s, a2);
  return PaintSides(dc, o, b1, s, b2);
}

}  // namespace

rect_i PaintStyledBorder(HDC dc, const rect_i& r, TFrameStyle kind, TSides s) {
  switch (kind) {
    case fsFlat: return PaintSides(dc, r, cl3DDkShadow, s, cl3DDkShadow);
    case fsGroove: return etched(dc, r, clBtnShadow, clBtnHighlight, s);
    case fsBump: return etched(dc, r, clBtnHighlight, clBtnShadow, s);
    case fsLowered: return two_rings(dc, r, s, clBtnShadow, clBtnHighlight, cl3DDkShadow, cl3DLight);
    case fsButtonDown: return two_rings(dc, r, s, clBtnText, clBtnText, clBtnShadow, clBtnShadow);
    case fsRaised: return two_rings(dc, r, s, cl3DLight, cl3DDkShadow, clBtnHighlight, clBtnShadow);
    case fsButtonUp: return two_rings(dc, r, s, clBtnHighlight, cl3DDkShadow, cl3DLight, clBtnShadow);
    case fsStatus: return PaintSides(dc, r, clBtnShadow, s, clBtnHighlight);
    case fsPopup: return PaintSides(dc, r, clBtnHighlight, s, clBtnShadow);
    case fsFlatBold: return PaintSideRings(dc, r, clBtnShadow, s, clBtnShadow, 2);
    default: return r;  // fsNone; fsFlatRounded is drawn by its callers
  }
}

rect_i PaintTintedButtonBorder(HDC dc, const rect_i& r, TColor c, TSides s, bool pushed) {
  if (pushed)
    return two_rings(dc, r, s, DarkenColor(c, 100), DarkenColor(c, 100), DarkenColor(c, 50),
                     DarkenColor(c, 50));
  return two_rings(dc, r, s, LightenColor(c, 100), DarkenColor(c, 100), LightenColor(c, 40),
                   DarkenColor(c, 50));
}

rect_i PaintColoredBorder(HDC dc, const rect_i& r, TColor c, TSides s, TFrameStyle kind) {
  TColor d50 = DarkenColor(c, 50), d100 = DarkenColor(c, 100);
  TColor l50 = LightenColor(c, 50), l100 = LightenColor(c, 100);
  switch (kind) {
    case fsFlat: return PaintSides(dc, r, d50, s, d50);
    case fsGroove: return etched(dc, r, d50, l100, s);
    case fsBump:
    case fsFlatRounded: return etched(dc, r, l100, d50, s);
    case fsLowered: return two_rings(dc, r, s, d50, l100, d100, l50);
    case fsRaised: return two_rings(dc, r, s, l50, d100, l100, d50);
    case fsButtonDown: return PaintTintedButtonBorder(dc, r, c, s, true);
    case fsButtonUp: return PaintTintedButtonBorder(dc, r, c, s, false);
    case fsStatus: return PaintSides(dc, r, d50, s, l100);
    case fsPopup: return PaintSides(dc, r, l100, s, d50);
    case fsFlatBold: return PaintSideRings(dc, r, d50, s, d50, 2);
    default: return r;
  }
}

rect_i PaintCutCornerBorder(HDC dc, const rect_i& r, TColor c, TSides s) {
  bool L = s & sdLeft, T = s & sdTop, R = s & sdRight, B = s & sdBottom;
  int top = r.top + (T ? 2 : 0), bottom = r.bottom - (B ? 2 : 0);
  int left = r.left + (L ? 2 : 0), right = r.right - (R ? 2 : 0);
  if (L) fill_solid(dc, {r.left, top, r.left + 1, bottom}, c);
  if (T) fill_solid(dc, {left, r.top, right, r.top + 1}, c);
  if (R) fill_solid(dc, {r.right - 1, top, r.right, bottom}, c);
  if (B) fill_solid(dc, {left, r.bottom - 1, right, r.bottom}, c);
  if (L && T) set_pixel(dc, r.left + 1, r.top + 1, c);
  if (R && T) set_pixel(dc, r.right - 2, r.top + 1, c);
  if (L && B) set_pixel(dc, r.left + 1, r.bottom - 2, c);
  if (R && B) set_pixel(dc, r.right - 2, r.bottom - 2, c);
  return ShrinkRectSides(r, s, 2);
}

rect_i PaintEditFrame(HDC dc, int width, int height, TSides sides, TColor frame,
                      TColor background, TFrameStyle kind) {
  rect_i r{0, 0, width, height};
  PaintSideRings(dc, r, background, sdAllSides, background, 2);
  switch (kind) {
    case fsNone: return r;
    case fsFlat: return PaintSides(dc, r, frame, sides, frame);
    case fsFlatBold: return PaintSideRings(dc, r, frame, sides, frame, 2);
    default:
      // fsFlatRounded has no styled entry: it takes the colour-derived rule.
      if (background == clWindow && kind != fsFlatRounded)
        return PaintStyledBorder(dc, r, kind, sides);
      return PaintColoredBorder(dc, r, background, sides, kind);
  }
}

rect_i PaintDottedFocusFrame(HDC dc, const rect_i& r) {
  for (int x = r.left + 1; x < r.right - 1; x += 2) {
    SetPixelV(dc, x, r.top, RGB(0, 0, 0));
    SetPixelV(dc, x, r.bottom - 1, RGB(0, 0, 0));
  }
  for (int y = r.top + 1; y < r.bottom - 1; y += 2) {
    SetPixelV(dc, r.left, y, RGB(0, 0, 0));
    SetPixelV(dc, r.right - 1, y, RGB(0, 0, 0));
  }
  return ShrinkRectSides(r, sdAllSides, 1);
}

namespace {

// Channel interpolation in 16.16 fixed point: the colour at step i of n
// (0 gives a, n gives b).
COLORREF lerp_fixed(COLORREF a, COLORREF b, int i, int n) {
  if (n <= 0) return a;
  auto ch = [&](int ca, int cb) {
    long long step = (static_cast<long long>(cb - ca) << 16) / n;
    long long v = (static_cast<long long>(ca) << 16) + step * i;
    int out = static_cast<int>(v >> 16);
    if (i >= n) out = cb;
    return out < 0 ? 0 : (out > 255 ? 255 : out);
  };
  return RGB(ch(GetRValue(a), GetRValue(b)), ch(GetGValue(a), GetGValue(b)),
             ch(GetBValue(a), GetBValue(b)));
}

void band(HDC dc, int l, int t, int r, int b, COLORREF c) {
  RECT rc{l, t, r, b};
  SetBkColor(dc, c);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
}

}  // namespace

rect_i PaintGradient(HDC dc, const rect_i& r, TGradientDirection dir, TColor c1, TColor c2) {
  int w = r.width(), h = r.height();
  if (w <= 0 || h <= 0) return r;
  COLORREF a = colorref(c1), b = colorref(c2);
  HDC mem = CreateCompatibleDC(dc);
  HBITMAP bmp = CreateCompatibleBitmap(dc, w, h);
  if (!mem || !bmp) {
    if (bmp) DeleteObject(bmp);
    if (mem) DeleteDC(mem);
    return r;
  }
  HGDIOBJ old = SelectObject(mem, bmp);
  COLORREF old_bk = GetBkColor(mem);
  if (a == b) {
    band(mem, 0, 0, w, h, a);
  } else {
    switch (dir) {
      case gdHorizontalEnd:
      case gdHorizontalCenter: {
        // Rows from colour 2 at the top (and bottom) to colour 1.
        int n = dir == gdHorizontalEnd ? h - 1 : (h - 1) / 2;
        int strip = w < 8 ? w : 8;
        int y0 = 0;
        COLORREF cur = lerp_fixed(b, a, 0, n);
        for (int y = 1; y <= h; ++y) {
          COLORREF c = cur;
          if (y < h) {
            int i = dir == gdHorizontalEnd ? y : (y <= n ? y : (h - 1 - y));
            c = lerp_fixed(b, a, i, n);
          }
          if (y == h || c != cur) {
            band(mem, 0, y0, strip, y, cur);
            y0 = y;
            cur = c;
          }
        }
        for (int x = strip; x < w; x *= 2)
          BitBlt(mem, x, 0, (x * 2 > w ? w - x : x), h, mem, 0, 0, SRCCOPY);
        break;
      }
      case gdVerticalEnd:
      case gdVerticalCenter: {
        int n = dir == gdVerticalEnd ? w - 1 : (w - 1) / 2;
        int strip = h < 8 ? h : 8;
        int x0 = 0;
        COLORREF cur = lerp_fixed(b, a, 0, n);
        for (int x = 1; x <= w; ++x) {
          COLORREF c = cur;
          if (x < w) {
            int i = dir == gdVerticalEnd ? x : (x <= n ? x : (w - 1 - x));
            c = lerp_fixed(b, a, i, n);
          }
          if (x == w || c != cur) {
            band(mem, x0, 0, x, strip, cur);
            x0 = x;
            cur = c;
          }
        }
        for (int y = strip; y < h; y *= 2)
          BitBlt(mem, 0, y, w, (y * 2 > h ? h - y : y), mem, 0, 0, SRCCOPY);
        break;
      }
      case gdDiagonalUp:
      case gdDiagonalDown: {
        int n = w + h - 2;
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) {
            int xx = dir == gdDiagonalDown ? (w - 1 - x) : x;
            SetPixelV(mem, x, y, lerp_fixed(a, b, xx + (h - 1 - y), n));
          }
        break;
      }
      default: {
        // Boxes: concentric rectangles from colour 1 at the edge to colour 2
        // in the centre, built for the top-left quarter and mirrored.
        if (w < 5 || h <= 4) {
          band(mem, 0, 0, w, h, b);
          break;
        }
        int inset_x = 0, inset_y = 0;
        if (dir == gdHorizontalBox || dir == gdBigSquareBox) inset_x = w / 4;
        if (dir == gdVerticalBox || dir == gdBigSquareBox) inset_y = h / 4;
        band(mem, 0, 0, w, h, b);
        int hw = (w + 1) / 2, hh = (h + 1) / 2;
        int n = (hw - inset_x < hh - inset_y ? hw - inset_x : hh - inset_y) - 1;
        if (n < 1) n = 1;
        for (int y = 0; y < hh; ++y)
          for (int x = 0; x < hw; ++x) {
            int dx = x - inset_x, dy = y - inset_y;
            int d = dx < dy ? dx : dy;
            if (d < 0) d = 0;
            COLORREF c = lerp_fixed(a, b, d > n ? n : d, n);
            SetPixelV(mem, x, y, c);
            SetPixelV(mem, w - 1 - x, y, c);
            SetPixelV(mem, x, h - 1 - y, c);
            SetPixelV(mem, w - 1 - x, h - 1 - y, c);
          }
        break;
      }
    }
  }
  SetBkColor(mem, old_bk);
  BitBlt(dc, r.left, r.top, w, h, mem, 0, 0, SRCCOPY);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  return r;
}

void PaintGradientRing(HDC dc, const rect_i& r, TColor c1, TColor c2) {
  if (!HasFullColorDisplay()) return;
  int saved = SaveDC(dc);
  rect_i in = ShrinkRectSides(r, sdAllSides, 2);
  ExcludeClipRect(dc, in.left, in.top, in.right, in.bottom);
  PaintGradient(dc, r, gdHorizontalEnd, c1, c2);
  RestoreDC(dc, saved);
}

void PaintParentBackground(HWND control, HDC dc, bool invalidate_parent) {
  HWND parent = GetParent(control);
  if (!parent) return;
  POINT pt{0, 0};
  MapWindowPoints(control, parent, &pt, 1);
  RECT pc;
  GetClientRect(parent, &pc);
  int saved = SaveDC(dc);
  POINT old_org;
  OffsetViewportOrgEx(dc, -pt.x, -pt.y, &old_org);
  IntersectClipRect(dc, pc.left, pc.top, pc.right, pc.bottom);
  SendMessageW(parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  SendMessageW(parent, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
  RestoreDC(dc, saved);
  if (invalidate_parent) InvalidateRect(parent, nullptr, FALSE);
}

void RedrawNonClientFrame(HWND hwnd) {
  HDC dc = GetWindowDC(hwnd);
  if (!dc) return;
  RECT clip;
  int kind = GetClipBox(dc, &clip);
  ReleaseDC(hwnd, dc);
  if (kind != NULLREGION && kind != ERROR)
    RedrawWindow(hwnd, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_NOCHILDREN);
}

TColor ThemeTextColor() {
  if (!visual_styles_active()) return clBtnFace;
  HTHEME t = OpenThemeData(nullptr, L"BUTTON");
  if (!t) return clBtnFace;
  COLORREF c = 0;
  HRESULT hr = GetThemeColor(t, BP_GROUPBOX, GBS_NORMAL, TMT_TEXTCOLOR, &c);
  CloseThemeData(t);
  return SUCCEEDED(hr) ? static_cast<TColor>(c) : clBtnFace;
}

bool HasFullColorDisplay() {
  static const bool full = [] {
    HDC dc = GetDC(nullptr);
    int n = dc ? GetDeviceCaps(dc, NUMCOLORS) : 0;
    if (dc) ReleaseDC(nullptr, dc);
    return n == -1;
  }();
  return full;
}

HFONT CreateRotatedFont(HFONT base, int angle_degrees) {
  LOGFONTW lf = {};
  if (!base || !GetObjectW(base, sizeof lf, &lf)) GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  LOGFONTW out = {};
  out.lfHeight = lf.lfHeight;
  out.lfEscapement = angle_degrees * 10;
  out.lfOrientation = angle_degrees * 10;
  out.lfWeight = lf.lfWeight >= FW_BOLD ? 700 : 400;
  out.lfItalic = lf.lfItalic;
  out.lfUnderline = lf.lfUnderline;
  out.lfStrikeOut = lf.lfStrikeOut;
  out.lfCharSet = lf.lfCharSet;
  out.lfPitchAndFamily = (lf.lfPitchAndFamily & 3) == FIXED_PITCH ? FIXED_PITCH : VARIABLE_PITCH;
  out.lfOutPrecision = OUT_TT_ONLY_PRECIS;  // rotation needs an outline font
  lstrcpynW(out.lfFaceName, lf.lfFaceName, LF_FACESIZE);
  return CreateFontIndirectW(&out);
}

int font_char_height(HFONT font) {
  HDC dc = GetDC(nullptr);
  if (!dc) return 0;
  HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW tm = {};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return tm.tmHeight;
}

}  // namespace ctl
