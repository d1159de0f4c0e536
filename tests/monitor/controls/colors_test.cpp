// Colour arithmetic: HSL conversion on the 0..240 scale (the 239 divisor of
// the way back included), shifts, mixes, similarity and complements. The
// expected values come from an independent implementation of the same
// formulas in Python's own float arithmetic (ties to even).
#include <gtest/gtest.h>

#include "colors.h"
#include "test_palette.h"

using namespace ctl;

namespace {

struct hsl_row {
  TColor in;
  int h, s, l;
  TColor back;  // HslToRgb240 of (h, s, l)
};

const hsl_row hsl_rows[] = {
    {rgb(255, 0, 0), 0, 240, 120, rgb(255, 0, 0)},
    {rgb(0, 128, 0), 80, 240, 60, rgb(0, 128, 1)},
    {rgb(10, 20, 30), 140, 120, 19, rgb(10, 20, 30)},
    {rgb(200, 100, 50), 13, 144, 118, rgb(201, 99, 50)},
    {rgb(245, 245, 245), 0, 0, 231, rgb(245, 245, 245)},
    {rgb(166, 166, 166), 0, 0, 156, rgb(166, 166, 166)},
    {rgb(48, 150, 250), 140, 229, 140, rgb(47, 146, 250)},
    {rgb(128, 128, 255), 160, 240, 180, rgb(130, 128, 255)},
    {rgb(255, 255, 255), 0, 0, 240, rgb(255, 255, 255)},
    {rgb(0, 0, 0), 0, 0, 0, rgb(0, 0, 0)},
};

TEST(ControlColors, RgbToHslAndBack) {
  for (const hsl_row& r : hsl_rows) {
    hsl240 v = RgbToHsl240(r.in);
    EXPECT_EQ(v.h, r.h) << std::hex << r.in;
    EXPECT_EQ(v.s, r.s) << std::hex << r.in;
    EXPECT_EQ(v.l, r.l) << std::hex << r.in;
    EXPECT_EQ(HslToRgb240(v), r.back) << std::hex << r.in;
  }
}

TEST(ControlColors, HslToRgbUsesThe239Divisor) {
  struct row { int h, s, l; TColor out; } rows[] = {
      {80, 240, 120, rgb(0, 255, 2)},     // 240-scale green lands just past 2
      {160, 240, 120, rgb(4, 0, 255)},
      {239, 240, 120, rgb(255, 0, 0)},    // h6 = 6 takes the first sextant's colours
      {240, 240, 120, rgb(255, 6, 0)},
      {40, 120, 200, rgb(234, 234, 191)},
      {0, 0, 255, rgb(255, 255, 255)},    // luminance above 240: channels capped
      {120, 240, 250, rgb(255, 255, 255)},
      {0, 0, 0, rgb(0, 0, 0)},
  };
  for (const row& r : rows) EXPECT_EQ(HslToRgb240(r.h, r.s, r.l), r.out) << r.h << "," << r.s << "," << r.l;
}

TEST(ControlColors, OutOfRangeComponentsAreClamped) {
  EXPECT_EQ(HslToRgb240(-5, 300, 9999), HslToRgb240(0, 255, 255));
  EXPECT_EQ(HslToRgb240(1000, 240, 120), HslToRgb240(255, 240, 120));
  EXPECT_EQ(HslToRgb240(0, 0, -1), clBlack);
}

TEST(ControlColors, DarkenAndLightenEdges) {
  EXPECT_EQ(DarkenColor(clBlack, 50), clBlack);
  EXPECT_EQ(DarkenColor(clBlack, 255), clBlack);
  EXPECT_EQ(LightenColor(clWhite, 30), clWhite);
  EXPECT_EQ(LightenColor(clWhite, 255), clWhite);
  EXPECT_EQ(LightenColor(rgb(166, 166, 166), 30), rgb(198, 198, 198));
  EXPECT_EQ(DarkenColor(rgb(245, 245, 245), 50), rgb(192, 192, 192));
  EXPECT_EQ(LightenColor(rgb(200, 100, 50), 40), rgb(220, 150, 116));
  EXPECT_EQ(DarkenColor(rgb(200, 100, 50), 100), rgb(31, 15, 8));
  // Huge amounts do not overflow.
  EXPECT_EQ(LightenColor(rgb(10, 20, 30), 2147483647), LightenColor(rgb(10, 20, 30), 255));
  EXPECT_EQ(DarkenColor(rgb(10, 20, 30), -2147483647 - 1), LightenColor(rgb(10, 20, 30), 255));
}

TEST(ControlColors, ShiftColor) {
  ctl_test::palette_scope pal;
  EXPECT_EQ(ShiftColor(clBtnShadow, 0), clBtnShadow);  // the reference itself
  EXPECT_EQ(ShiftColor(rgb(1, 2, 3), 0), rgb(1, 2, 3));
  EXPECT_EQ(ShiftColor(clBtnShadow, 30), rgb(198, 198, 198));
  EXPECT_EQ(ShiftColor(clBtnFace, -50), rgb(192, 192, 192));
  // Beyond +-255 the shift is clamped instead of faulting.
  EXPECT_EQ(ShiftColor(rgb(200, 100, 50), 1000), ShiftColor(rgb(200, 100, 50), 255));
  EXPECT_EQ(ShiftColor(rgb(200, 100, 50), -1000), ShiftColor(rgb(200, 100, 50), -255));
  EXPECT_EQ(ShiftColor(rgb(200, 100, 50), -1000), clBlack);
}

TEST(ControlColors, SystemColoursResolveThroughTheSource) {
  ctl_test::palette_scope pal;
  EXPECT_EQ(ColorToRGB(clBtnFace), 0xF5F5F5u);
  EXPECT_EQ(ColorToRGB(cl3DDkShadow), 0x6A6A6Au);
  EXPECT_EQ(ColorToRGB(rgb(1, 2, 3)), rgb(1, 2, 3));
  EXPECT_EQ(ColorToRGB(clNone), 0xFFFFFFu);
  EXPECT_EQ(DarkenColor(clBtnFace, 50), rgb(192, 192, 192));
}

TEST(ControlColors, Mix) {
  EXPECT_EQ(MixColors(rgb(200, 0, 100), rgb(0, 200, 50), 255), rgb(200, 0, 100));
  EXPECT_EQ(MixColors(rgb(200, 0, 100), rgb(0, 200, 50), 0), rgb(0, 200, 50));
  EXPECT_EQ(MixColors(rgb(200, 0, 100), rgb(0, 200, 50), 51), rgb(40, 160, 60));
  EXPECT_EQ(MixColors(clWhite, clBlack, 128), rgb(128, 128, 128));
  EXPECT_EQ(MixColors(clWhite, clBlack, 999), clWhite);  // weight clamped
  EXPECT_EQ(MixColors(clWhite, clBlack, -9), clBlack);
}

TEST(ControlColors, Similarity) {
  EXPECT_TRUE(ColorsAreSimilar(rgb(245, 245, 245), rgb(230, 230, 230)));
  EXPECT_FALSE(ColorsAreSimilar(clWhite, rgb(128, 128, 128)));   // luminance 120 apart
  EXPECT_FALSE(ColorsAreSimilar(rgb(255, 0, 0), rgb(0, 255, 0)));  // hue 80 apart
  EXPECT_TRUE(ColorsAreSimilar(rgb(255, 0, 0), rgb(255, 40, 0)));
  EXPECT_FALSE(ColorsAreSimilar(clBlack, clWhite));
}

TEST(ControlColors, Complement) {
  EXPECT_EQ(ComplementColor(rgb(255, 0, 0), 180), rgb(128, 253, 255));
  EXPECT_EQ(ComplementColor(rgb(48, 150, 250), 180), rgb(255, 192, 128));
}

TEST(ControlColors, RoundHalfToEven) {
  EXPECT_EQ(round_even(2.5), 2);
  EXPECT_EQ(round_even(3.5), 4);
  EXPECT_EQ(round_even(-2.5), -2);
  EXPECT_EQ(round_even(-3.5), -4);
  EXPECT_EQ(round_even(0.49999), 0);
  EXPECT_EQ(round_even(1e300), 2147483647);
}

}  // namespace
