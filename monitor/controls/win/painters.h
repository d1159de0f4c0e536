// Painters of the dialog controls over a device context. Each returns the
// rectangle left inside what it painted, shrunk only on the painted sides.
#pragma once

#include <windows.h>

#include "colors.h"
#include "geometry.h"

namespace ctl {

inline RECT to_rect(const rect_i& r) { return RECT{r.left, r.top, r.right, r.bottom}; }
inline rect_i from_rect(const RECT& r) { return rect_i{r.left, r.top, r.right, r.bottom}; }
inline COLORREF colorref(TColor c) { return static_cast<COLORREF>(ColorToRGB(c)); }

enum TGradientDirection {
  gdDiagonalUp, gdDiagonalDown, gdHorizontalEnd, gdHorizontalCenter, gdHorizontalBox,
  gdVerticalEnd, gdVerticalCenter, gdVerticalBox, gdSquareBox, gdBigSquareBox
};

void fill_solid(HDC dc, const rect_i& r, TColor c);
void set_pixel(HDC dc, int x, int y, TColor c);

rect_i PaintSides(HDC dc, const rect_i& r, TColor c1, TSides sides, TColor c2);
rect_i PaintSideRings(HDC dc, const rect_i& r, TColor c1, TSides sides, TColor c2, int n);
rect_i PaintStyledBorder(HDC dc, const rect_i& r, TFrameStyle kind, TSides sides);
rect_i PaintColoredBorder(HDC dc, const rect_i& r, TColor base, TSides sides, TFrameStyle kind);
rect_i PaintTintedButtonBorder(HDC dc, const rect_i& r, TColor base, TSides sides, bool pushed);
rect_i PaintCutCornerBorder(HDC dc, const rect_i& r, TColor c, TSides sides);
rect_i PaintEditFrame(HDC dc, int width, int height, TSides sides, TColor frame,
                      TColor background, TFrameStyle kind);
rect_i PaintGradient(HDC dc, const rect_i& r, TGradientDirection dir, TColor c1, TColor c2);
void PaintGradientRing(HDC dc, const rect_i& r, TColor c1, TColor c2);
rect_i PaintDottedFocusFrame(HDC dc, const rect_i& r);
// The parent's image under a child window, drawn into the child's DC.
void PaintParentBackground(HWND control, HDC dc, bool invalidate_parent);
// Repaints a window's non-client frame (only when its DC has a clip box).
void RedrawNonClientFrame(HWND hwnd);

// The group box text colour of the theme; clBtnFace without visual styles.
TColor ThemeTextColor();
// True when the screen reports no palette limit; read once.
bool HasFullColorDisplay();
// A font like `base` with the escapement angle (degrees).
HFONT CreateRotatedFont(HFONT base, int angle_degrees);
// Character height of a font (tmHeight) on a screen DC.
int font_char_height(HFONT font);

}  // namespace ctl
