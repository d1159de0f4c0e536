// The painters into a memory DC, checked pixel by pixel. The system colours
// come from a fixed palette so the tables are the same on every system.
#include <gtest/gtest.h>
#include <windows.h>
#include <uxtheme.h>
#include <vssym32.h>

#include "painters.h"
#include "visual_styles.h"
#include "pixel_dc.h"
#include "test_palette.h"

using namespace ctl;
using ctl_test::pixel_dc;

namespace {

const TColor bg = rgb(1, 2, 3);
TColor P(TColor c) { return ColorToRGB(c); }

class Painters : public ::testing::Test {
 protected:
  ctl_test::palette_scope pal;
};

TEST_F(Painters, SidesTopOnlyShrinksOnlyTheTop) {
  pixel_dc d(10, 10);
  rect_i r = PaintSides(d.dc(), {0, 0, 10, 10}, rgb(255, 0, 0), sdTop, rgb(0, 0, 255));
  EXPECT_EQ(r, (rect_i{0, 1, 10, 10}));
  for (int x = 0; x < 10; ++x) EXPECT_EQ(d.at(x, 0), rgb(255, 0, 0)) << x;
  EXPECT_EQ(d.at(0, 5), bg);
  EXPECT_EQ(d.at(9, 5), bg);
  EXPECT_EQ(d.at(5, 9), bg);
  pixel_dc e(10, 10);
  r = PaintStyledBorder(e.dc(), {0, 0, 10, 10}, fsLowered, sdTop);
  EXPECT_EQ(r, (rect_i{0, 2, 10, 10}));
}

TEST_F(Painters, SecondColourOwnsTheSharedCorners) {
  pixel_dc d(6, 6);
  PaintSides(d.dc(), {0, 0, 6, 6}, rgb(255, 0, 0), sdAllSides, rgb(0, 0, 255));
  EXPECT_EQ(d.at(0, 0), rgb(255, 0, 0));
  EXPECT_EQ(d.at(5, 0), rgb(0, 0, 255));
  EXPECT_EQ(d.at(0, 5), rgb(0, 0, 255));
  EXPECT_EQ(d.at(5, 5), rgb(0, 0, 255));
  EXPECT_EQ(d.at(1, 1), bg);
}

TEST_F(Painters, NoColourSkipsItsSides) {
  pixel_dc d(6, 6);
  rect_i r = PaintSides(d.dc(), {0, 0, 6, 6}, clNone, sdAllSides, rgb(0, 0, 255));
  EXPECT_EQ(r, (rect_i{1, 1, 5, 5}));
  EXPECT_EQ(d.at(0, 2), bg);
  EXPECT_EQ(d.at(5, 2), rgb(0, 0, 255));
}

// Outer left/top, outer right/bottom, inner left/top, inner right/bottom
// (bg where a kind has one ring), and the shrink.
struct styled_row {
  TFrameStyle kind;
  TColor ol, orr, il, ir;
  int shrink;
};

TEST_F(Painters, StyledBorderKinds) {
  const styled_row rows[] = {
      {fsNone, bg, bg, bg, bg, 0},
      {fsFlat, P(cl3DDkShadow), P(cl3DDkShadow), bg, bg, 1},
      {fsGroove, P(clBtnShadow), P(clBtnHighlight), P(clBtnHighlight), P(clBtnShadow), 2},
      {fsBump, P(clBtnHighlight), P(clBtnShadow), P(clBtnShadow), P(clBtnHighlight), 2},
      {fsLowered, P(clBtnShadow), P(clBtnHighlight), P(cl3DDkShadow), P(cl3DLight), 2},
      {fsButtonDown, P(clBtnText), P(clBtnText), P(clBtnShadow), P(clBtnShadow), 2},
      {fsRaised, P(cl3DLight), P(cl3DDkShadow), P(clBtnHighlight), P(clBtnShadow), 2},
      {fsButtonUp, P(clBtnHighlight), P(cl3DDkShadow), P(cl3DLight), P(clBtnShadow), 2},
      {fsStatus, P(clBtnShadow), P(clBtnHighlight), bg, bg, 1},
      {fsPopup, P(clBtnHighlight), P(clBtnShadow), bg, bg, 1},
      {fsFlatBold, P(clBtnShadow), P(clBtnShadow), P(clBtnShadow), P(clBtnShadow), 2},
  };
  for (const styled_row& r : rows) {
    pixel_dc d(12, 12);
    rect_i out = PaintStyledBorder(d.dc(), {0, 0, 12, 12}, r.kind, sdAllSides);
    EXPECT_EQ(out, ShrinkRectSides({0, 0, 12, 12}, sdAllSides, r.shrink)) << r.kind;
    EXPECT_EQ(d.at(0, 6), r.ol) << r.kind << " left";
    EXPECT_EQ(d.at(6, 0), r.ol) << r.kind << " top";
    EXPECT_EQ(d.at(11, 6), r.orr) << r.kind << " right";
    EXPECT_EQ(d.at(6, 11), r.orr) << r.kind << " bottom";
    EXPECT_EQ(d.at(1, 6), r.il) << r.kind << " inner left";
    EXPECT_EQ(d.at(6, 1), r.il) << r.kind << " inner top";
    EXPECT_EQ(d.at(10, 6), r.ir) << r.kind << " inner right";
    EXPECT_EQ(d.at(6, 10), r.ir) << r.kind << " inner bottom";
    EXPECT_EQ(d.at(6, 6), bg) << r.kind << " inside";
  }
  pixel_dc d(12, 12);
  EXPECT_EQ(PaintStyledBorder(d.dc(), {0, 0, 12, 12}, fsFlatRounded, sdAllSides), (rect_i{0, 0, 12, 12}));
  EXPECT_TRUE(d.untouched());
}

TEST_F(Painters, EtchedCornersAreClosed) {
  pixel_dc d(12, 12);
  PaintStyledBorder(d.dc(), {0, 0, 12, 12}, fsGroove, sdAllSides);
  EXPECT_EQ(d.at(11, 0), P(clBtnHighlight));  // right present: (right-1, top) in b
  EXPECT_EQ(d.at(0, 11), P(clBtnHighlight));  // bottom present: (left, bottom-1) in b
  EXPECT_EQ(d.at(0, 0), P(clBtnShadow));
  // Top alone: the end pixels close it with a and b.
  pixel_dc t(12, 12);
  rect_i out = PaintStyledBorder(t.dc(), {0, 0, 12, 12}, fsGroove, sdTop);
  EXPECT_EQ(out, (rect_i{0, 2, 12, 12}));
  EXPECT_EQ(t.at(11, 0), P(clBtnShadow));     // top without right: a
  EXPECT_EQ(t.at(0, 1), P(clBtnHighlight));   // top without left: (left, top+1) in b
  EXPECT_EQ(t.at(5, 0), P(clBtnShadow));
  EXPECT_EQ(t.at(5, 1), P(clBtnHighlight));
  EXPECT_EQ(t.at(5, 5), bg);
}

TEST_F(Painters, ColouredBorderDerivesFromTheBase) {
  const TColor c = rgb(200, 100, 50);
  pixel_dc d(12, 12);
  PaintColoredBorder(d.dc(), {0, 0, 12, 12}, c, sdAllSides, fsLowered);
  EXPECT_EQ(d.at(0, 6), DarkenColor(c, 50));
  EXPECT_EQ(d.at(11, 6), LightenColor(c, 100));
  EXPECT_EQ(d.at(1, 6), DarkenColor(c, 100));
  EXPECT_EQ(d.at(10, 6), LightenColor(c, 50));
  pixel_dc p(12, 12);
  PaintTintedButtonBorder(p.dc(), {0, 0, 12, 12}, c, sdAllSides, true);
  EXPECT_EQ(p.at(0, 6), DarkenColor(c, 100));
  EXPECT_EQ(p.at(11, 6), DarkenColor(c, 100));
  EXPECT_EQ(p.at(1, 6), DarkenColor(c, 50));
  pixel_dc u(12, 12);
  PaintColoredBorder(u.dc(), {0, 0, 12, 12}, c, sdAllSides, fsButtonUp);
  EXPECT_EQ(u.at(0, 6), LightenColor(c, 100));
  EXPECT_EQ(u.at(11, 6), DarkenColor(c, 100));
  EXPECT_EQ(u.at(1, 6), LightenColor(c, 40));
  EXPECT_EQ(u.at(10, 6), DarkenColor(c, 50));
}

TEST_F(Painters, CutCornerRectangle) {
  pixel_dc d(10, 8);
  const TColor f = LightenColor(clBtnShadow, 30);
  rect_i out = PaintCutCornerBorder(d.dc(), {0, 0, 10, 8}, f, sdAllSides);
  EXPECT_EQ(out, (rect_i{2, 2, 8, 6}));
  struct px { int x, y; bool set; } table[] = {
      {0, 0, false}, {1, 0, false}, {0, 1, false}, {1, 1, true}, {2, 0, true}, {0, 2, true},
      {9, 0, false}, {8, 0, false}, {7, 0, true}, {8, 1, true}, {9, 2, true},
      {0, 7, false}, {1, 6, true}, {9, 7, false}, {8, 6, true}, {7, 7, true}, {9, 5, true},
      {4, 4, false}, {2, 2, false}};
  for (const px& p : table) EXPECT_EQ(d.at(p.x, p.y), p.set ? f : bg) << p.x << "," << p.y;
}

TEST_F(Painters, DottedFocusFrame) {
  pixel_dc d(8, 6, clWhite);
  rect_i out = PaintDottedFocusFrame(d.dc(), {0, 0, 8, 6});
  EXPECT_EQ(out, (rect_i{1, 1, 7, 5}));
  struct px { int x, y; bool black; } table[] = {
      {0, 0, false}, {1, 0, true}, {2, 0, false}, {3, 0, true}, {5, 0, true}, {6, 0, false},
      {1, 5, true}, {2, 5, false}, {0, 1, true}, {0, 2, false}, {0, 3, true}, {7, 1, true},
      {7, 3, true}, {7, 4, false}, {3, 3, false}};
  for (const px& p : table) EXPECT_EQ(d.at(p.x, p.y), p.black ? clBlack : clWhite) << p.x << "," << p.y;
}

TEST_F(Painters, GradientIntoAnEmptyRectanglePaintsNothing) {
  pixel_dc d(10, 10);
  for (int g = gdDiagonalUp; g <= gdBigSquareBox; ++g) {
    PaintGradient(d.dc(), {2, 5, 8, 5}, static_cast<TGradientDirection>(g), clWhite, clBlack);
    PaintGradient(d.dc(), {4, 1, 4, 9}, static_cast<TGradientDirection>(g), clWhite, clBlack);
  }
  EXPECT_TRUE(d.untouched());
}

TEST_F(Painters, GradientEnds) {
  const TColor c1 = rgb(0, 0, 200), c2 = rgb(200, 100, 0);
  pixel_dc h(20, 11);
  PaintGradient(h.dc(), {0, 0, 20, 11}, gdHorizontalEnd, c1, c2);
  for (int x : {0, 7, 8, 19}) {
    EXPECT_EQ(h.at(x, 0), c2) << x;
    EXPECT_EQ(h.at(x, 10), c1) << x;
    EXPECT_EQ(h.at(x, 5), h.at(0, 5)) << x;  // rows are uniform across
  }
  pixel_dc c(5, 11);
  PaintGradient(c.dc(), {0, 0, 5, 11}, gdHorizontalCenter, c1, c2);
  EXPECT_EQ(c.at(2, 0), c2);
  EXPECT_EQ(c.at(2, 10), c2);
  EXPECT_EQ(c.at(2, 5), c1);
  pixel_dc v(11, 20);
  PaintGradient(v.dc(), {0, 0, 11, 20}, gdVerticalEnd, c1, c2);
  EXPECT_EQ(v.at(0, 19), c2);
  EXPECT_EQ(v.at(10, 19), c1);
  pixel_dc s(9, 9);
  PaintGradient(s.dc(), {0, 0, 9, 9}, gdSquareBox, c1, c2);
  EXPECT_EQ(s.at(0, 0), c1);
  EXPECT_EQ(s.at(8, 8), c1);
  EXPECT_EQ(s.at(4, 4), c2);
  pixel_dc small(4, 9);
  PaintGradient(small.dc(), {0, 0, 4, 9}, gdSquareBox, c1, c2);
  EXPECT_EQ(small.at(0, 0), c2);  // too narrow: solid colour 2
  pixel_dc same(6, 6);
  PaintGradient(same.dc(), {0, 0, 6, 6}, gdDiagonalUp, c1, c1);
  EXPECT_EQ(same.at(0, 0), c1);
  EXPECT_EQ(same.at(5, 5), c1);
  pixel_dc off(12, 12);
  PaintGradient(off.dc(), {4, 4, 8, 8}, gdHorizontalEnd, c1, c2);
  EXPECT_EQ(off.at(4, 4), c2);
  EXPECT_EQ(off.at(3, 4), bg);
  EXPECT_EQ(off.at(8, 7), bg);
}

TEST_F(Painters, EditFrame) {
  // fsFlat on the window colour: the frame ring, then one ring of background.
  pixel_dc d(20, 10);
  PaintEditFrame(d.dc(), 20, 10, sdAllSides, clBtnShadow, clWindow, fsFlat);
  EXPECT_EQ(d.at(0, 5), P(clBtnShadow));
  EXPECT_EQ(d.at(1, 5), P(clWindow));
  EXPECT_EQ(d.at(5, 5), bg);
  // Sides left out keep the background rings.
  pixel_dc t(20, 10);
  PaintEditFrame(t.dc(), 20, 10, sdTop, rgb(9, 9, 9), clWindow, fsFlatBold);
  EXPECT_EQ(t.at(5, 0), rgb(9, 9, 9));
  EXPECT_EQ(t.at(5, 1), rgb(9, 9, 9));
  EXPECT_EQ(t.at(0, 5), P(clWindow));
  EXPECT_EQ(t.at(19, 5), P(clWindow));
  // Other kinds on clWindow take the styled painter, elsewhere the colour-derived one.
  pixel_dc s(20, 10);
  PaintEditFrame(s.dc(), 20, 10, sdAllSides, clBtnShadow, clWindow, fsLowered);
  EXPECT_EQ(s.at(0, 5), P(clBtnShadow));
  EXPECT_EQ(s.at(1, 5), P(cl3DDkShadow));
  pixel_dc c(20, 10);
  PaintEditFrame(c.dc(), 20, 10, sdAllSides, clBtnShadow, clInfoBk, fsLowered);
  EXPECT_EQ(c.at(0, 5), DarkenColor(clInfoBk, 50));
  // fsFlatRounded on clWindow: the colour-derived rule (etched like fsBump).
  pixel_dc r(20, 10);
  PaintEditFrame(r.dc(), 20, 10, sdAllSides, clBtnShadow, clWindow, fsFlatRounded);
  EXPECT_EQ(r.at(0, 5), LightenColor(clWindow, 100));
  EXPECT_EQ(r.at(1, 5), DarkenColor(clWindow, 50));
}

TEST_F(Painters, VisualStylesOverrideIsHonouredAndReleased) {
  set_visual_styles_override(-1);
  bool system = visual_styles_active();
  set_visual_styles_override(1);
  EXPECT_TRUE(visual_styles_active());
  // Forced on: the themed branch reads the theme's own group-box text colour.
  HTHEME t = OpenThemeData(nullptr, L"BUTTON");
  COLORREF themed = 0;
  bool has = t && SUCCEEDED(GetThemeColor(t, BP_GROUPBOX, GBS_NORMAL, TMT_TEXTCOLOR, &themed));
  if (t) CloseThemeData(t);
  if (has) {
    EXPECT_EQ(ThemeTextColor(), static_cast<TColor>(themed));
  }
  set_visual_styles_override(0);
  EXPECT_FALSE(visual_styles_active());
  EXPECT_EQ(ThemeTextColor(), clBtnFace);
  set_visual_styles_override(-1);
  EXPECT_EQ(visual_styles_active(), system);  // the system's answer again
}

}  // namespace

#include "controls.h"

namespace {

// The control button's faces without visual styles (the override forces the
// classic branch), pixel by pixel.
class ControlButtonFaces : public ::testing::Test {
 protected:
  ctl_test::palette_scope pal;
  void SetUp() override { set_visual_styles_override(0); }
  void TearDown() override { set_visual_styles_override(-1); }
};

TEST_F(ControlButtonFaces, ArrowUpRaisedPressedAndDisabled) {
  control_button b;
  b.Style = cbsUp;
  b.rect = {0, 0, 17, 21};
  pixel_dc up(17, 21);
  b.paint(up.dc(), true);
  EXPECT_EQ(up.at(0, 10), P(clBtnHighlight));  // fsButtonUp: outer left
  EXPECT_EQ(up.at(16, 10), P(cl3DDkShadow));   // outer right
  EXPECT_EQ(up.at(1, 10), P(cl3DLight));
  EXPECT_EQ(up.at(15, 10), P(clBtnShadow));
  EXPECT_EQ(up.at(3, 3), P(clBtnFace));        // face
  // A 7 x 4 triangle pointing up, centred: tip one pixel, base seven.
  int cx = 8, cy = 10;
  EXPECT_EQ(up.at(cx, cy - 2), clBlack);
  EXPECT_EQ(up.at(cx - 1, cy - 2), P(clBtnFace));
  EXPECT_EQ(up.at(cx - 3, cy + 1), clBlack);
  EXPECT_EQ(up.at(cx + 3, cy + 1), clBlack);
  EXPECT_EQ(up.at(cx - 4, cy + 1), P(clBtnFace));
  EXPECT_EQ(up.at(cx, cy + 2), P(clBtnFace));

  b.logic.pressed = true;
  pixel_dc pressed(17, 21);
  b.paint(pressed.dc(), true);
  EXPECT_EQ(pressed.at(0, 10), P(clBtnShadow));  // a one-pixel shadow ring
  EXPECT_EQ(pressed.at(16, 10), P(clBtnShadow));
  EXPECT_EQ(pressed.at(cx + 1, cy - 1), clBlack);  // the arrow one right, one down
  EXPECT_EQ(pressed.at(cx, cy - 2), P(clBtnFace));

  b.logic.pressed = false;
  pixel_dc disabled(17, 21);
  b.paint(disabled.dc(), false);
  EXPECT_EQ(disabled.at(cx, cy - 2), P(clBtnShadow));
}

TEST_F(ControlButtonFaces, FlatButtonShowsItsFaceOnlyWhenActive) {
  control_button b;
  b.Style = cbsNone;
  b.logic.Flat = true;
  b.Color = rgb(10, 200, 30);
  b.rect = {0, 0, 17, 21};
  pixel_dc idle(17, 21);
  b.paint(idle.dc(), true);
  EXPECT_EQ(idle.at(0, 10), rgb(10, 200, 30));  // no border
  b.logic.hot = true;
  pixel_dc hot(17, 21);
  b.paint(hot.dc(), true);
  EXPECT_EQ(hot.at(0, 10), P(clBtnHighlight));  // fsPopup
  EXPECT_EQ(hot.at(16, 10), P(clBtnShadow));
  b.logic.pressed = true;
  pixel_dc down(17, 21);
  b.paint(down.dc(), true);
  EXPECT_EQ(down.at(0, 10), P(clBtnShadow));  // fsStatus
  EXPECT_EQ(down.at(16, 10), P(clBtnHighlight));
}

TEST_F(ControlButtonFaces, GlyphImagesByState) {
  // A strip of three 8 x 8 images in red, green and blue on magenta.
  pixel_dc strip(24, 8, rgb(255, 0, 255));
  fill_solid(strip.dc(), {2, 2, 6, 6}, rgb(255, 0, 0));
  fill_solid(strip.dc(), {10, 2, 14, 6}, rgb(0, 255, 0));
  fill_solid(strip.dc(), {18, 2, 22, 6}, rgb(0, 0, 255));
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 24, 8);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, 24, 8, strip.dc(), 0, 0, SRCCOPY);
  SelectObject(mem, old);
  DeleteDC(mem);
  control_button b;
  b.set_glyph(bmp);
  EXPECT_EQ(b.NumGlyphs, 3);
  b.rect = {0, 0, 20, 20};
  struct row { bool enabled, pressed; TColor centre; int dx; } rows[] = {
      {true, false, rgb(255, 0, 0), 0}, {false, false, rgb(0, 255, 0), 0}, {true, true, rgb(0, 0, 255), 1}};
  for (const row& r : rows) {
    b.logic.pressed = r.pressed;
    pixel_dc d(20, 20);
    b.paint(d.dc(), r.enabled);
    // The glyph is centred in the face shrunk by 1: at (6, 6), moved when pressed.
    EXPECT_EQ(d.at(6 + 3 + r.dx, 6 + 3 + r.dx), r.centre) << r.enabled << r.pressed;
    EXPECT_NE(d.at(6 + r.dx, 6 + r.dx), rgb(255, 0, 255)) << "transparent colour left out";
  }
  DeleteObject(bmp);
}

}  // namespace

#include "dock.h"

namespace {

// The grabber's colours by the client's kind and focus, in the running
// system's caption colours (the fixed palette has no caption colours).
TEST(DockGrabberPainter, ColoursByClientKindAndFocus) {
  dock_fonts fonts;
  struct row {
    bool is_window, focused;
    TAlign align;
    int background;
  } rows[] = {
      {false, false, alNone, COLOR_ACTIVECAPTION},  // not a window control: always active
      {true, true, alNone, COLOR_ACTIVECAPTION},
      {true, false, alNone, COLOR_INACTIVECAPTION},
      {true, false, alBottom, COLOR_INACTIVECAPTION},  // left grabber
  };
  for (const row& r : rows) {
    pixel_dc d(200, 60, rgb(1, 2, 3));
    rect_i client = grabber_on_left(r.align) ? rect_i{20, 0, 200, 60} : rect_i{0, 20, 200, 60};
    rect_i g = PaintDockGrabber(d.dc(), fonts, client, r.align, L"x", r.is_window, r.focused, true);
    EXPECT_EQ(g, grabber_rect(client, r.align));
    TColor want = static_cast<TColor>(GetSysColor(r.background));
    // A pixel of the band away from the caption and the close box, and
    // nothing painted outside the band.
    int x = grabber_on_left(r.align) ? g.left + 7 : g.right - 40;
    int y = grabber_on_left(r.align) ? g.top + 30 : g.top + 7;
    EXPECT_EQ(d.at(x, y), want) << r.is_window << r.focused << r.align;
    EXPECT_EQ(d.at(grabber_on_left(r.align) ? g.right : x, grabber_on_left(r.align) ? y : g.bottom),
              rgb(1, 2, 3));
  }
  // Without captions: the plain frame, no caption colour.
  pixel_dc d(200, 60, rgb(1, 2, 3));
  rect_i g = PaintDockGrabber(d.dc(), fonts, {0, 20, 200, 60}, alNone, L"x", true, true, false);
  EXPECT_EQ(d.at(g.left + 2, g.top + 3), static_cast<TColor>(GetSysColor(COLOR_BTNHIGHLIGHT)));
  EXPECT_EQ(d.at(g.right - 40, g.top + 1), rgb(1, 2, 3));
}

}  // namespace
