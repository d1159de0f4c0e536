// Geometry of the controls: rectangles, accelerators, border thickness, the
// group box's child area, colour schemes and dock grabbers.
#include <gtest/gtest.h>

#include "geometry.h"

using namespace ctl;

namespace {

TEST(ControlGeometry, CenteredAndShrunk) {
  EXPECT_EQ(CenteredRect({0, 0, 100, 50}, 10, 10), (rect_i{45, 20, 55, 30}));
  EXPECT_EQ(CenteredRect({0, 0, 11, 11}, 4, 4), (rect_i{3, 3, 7, 7}));
  EXPECT_EQ(ShrinkRectSides({0, 0, 10, 10}, sdTop, 2), (rect_i{0, 2, 10, 10}));
  EXPECT_EQ(ShrinkRectSides({0, 0, 10, 10}, sdAllSides, 1), (rect_i{1, 1, 9, 9}));
}

TEST(ControlGeometry, Accelerators) {
  EXPECT_EQ(StripAccelerators(L"&OK"), L"OK");
  EXPECT_EQ(StripAccelerators(L"A&&B"), L"A&B");
  EXPECT_EQ(StripAccelerators(L"Save&"), L"Save&");  // the last one is kept
  EXPECT_EQ(StripAccelerators(L""), L"");
  EXPECT_EQ(AcceleratorOf(L"&cancel"), L'C');
  EXPECT_EQ(AcceleratorOf(L"A&&B"), 0);
  EXPECT_EQ(AcceleratorOf(L"x&"), 0);
}

TEST(ControlGeometry, SidesText) {
  EXPECT_EQ(sides_to_text(0), "[]");
  EXPECT_EQ(sides_to_text(sdTop | sdBottom), "[sdTop,sdBottom]");
}

TEST(ControlGeometry, FrameStyleNames) {
  TFrameStyle s = fsNone;
  EXPECT_TRUE(frame_style_from_name("fsbuttonup", &s));
  EXPECT_EQ(s, fsButtonUp);
  EXPECT_FALSE(frame_style_from_name("fsWhatever", &s));
  EXPECT_STREQ(frame_style_name(fsFlatRounded), "fsFlatRounded");
}

TEST(ControlGeometry, BorderThickness) {
  struct row { TFrameStyle k; int t; } rows[] = {
      {fsNone, 0}, {fsFlat, 1}, {fsGroove, 2}, {fsBump, 2}, {fsLowered, 2}, {fsButtonDown, 2},
      {fsRaised, 2}, {fsButtonUp, 2}, {fsStatus, 3}, {fsPopup, 3}, {fsFlatBold, 2},
      {fsFlatRounded, 2}};
  for (const row& r : rows) EXPECT_EQ(border_thickness(r.k, 3), r.t) << r.k;
  EXPECT_EQ(panel_child_area({0, 0, 100, 50}, fsRaised, fsFlat, sdAllSides, 2, 1),
            (rect_i{5, 5, 95, 45}));
  EXPECT_EQ(panel_child_area({0, 0, 100, 50}, fsRaised, fsNone, sdLeft, 0, 1),
            (rect_i{2, 0, 100, 50}));
}

TEST(ControlGeometry, GroupChildArea) {
  const rect_i a{0, 0, 353, 185};
  const int h = 13;
  struct row { TRzGroupBoxStyle s; int bw; bool empty; rect_i out; } rows[] = {
      {gsFlat, 0, true, {1, 14, 352, 184}},      // one below the text height
      {gsStandard, 0, false, {2, 15, 351, 183}},
      {gsFlat, 6, false, {1, 6, 352, 184}},       // b = 5 < BorderWidth: moved by b
      {gsFlat, 5, false, {1, 9, 352, 184}},       // b = BorderWidth: h - BorderWidth
      {gsCustom, 0, true, {2, 2, 351, 183}},
      {gsCustom, 0, false, {2, 15, 351, 183}},
      {gsTopLine, 0, false, {0, 13, 353, 185}},
      {gsBanner, 0, false, {0, 21, 353, 185}},
      {gsUnderline, 0, false, {0, 17, 353, 185}},
  };
  for (const row& r : rows)
    EXPECT_EQ(group_child_area(a, r.s, h, r.bw, r.empty), r.out) << r.s << " bw " << r.bw;
}

TEST(ControlGeometry, ColourSchemes) {
  EXPECT_EQ(color_scheme_index(L"Blue"), 0);
  EXPECT_EQ(color_scheme_index(L"homestead"), 1);
  EXPECT_EQ(color_scheme_index(L"Metallic"), 2);
  EXPECT_EQ(color_scheme_index(L""), 0);
  EXPECT_EQ(scheme_colors(0).frame, rgb(87, 127, 191));
  EXPECT_EQ(scheme_colors(1).dark, rgb(184, 199, 146));
  EXPECT_EQ(scheme_colors(2).light, rgb(249, 249, 255));
}

TEST(DockGrabbers, PlacementAndColours) {
  rect_i client{20, 30, 120, 90};
  EXPECT_FALSE(grabber_on_left(alNone));
  EXPECT_FALSE(grabber_on_left(alClient));
  EXPECT_TRUE(grabber_on_left(alTop));
  EXPECT_TRUE(grabber_on_left(alBottom));
  rect_i top = grabber_rect(client, alLeft);
  EXPECT_EQ(top, (rect_i{20, 16, 120, 30}));
  EXPECT_EQ(close_box(top, alLeft), (rect_i{105, 17, 118, 28}));
  rect_i left = grabber_rect(client, alBottom);
  EXPECT_EQ(left, (rect_i{6, 30, 20, 90}));
  EXPECT_EQ(close_box(left, alBottom), (rect_i{7, 31, 18, 42}));
  grabber_colors c = grabber_caption_colors(true, true, false);
  EXPECT_EQ(c.background, clActiveCaption);
  EXPECT_EQ(c.text, clCaptionText);
  c = grabber_caption_colors(true, false, false);
  EXPECT_EQ(c.background, clInactiveCaption);
  EXPECT_EQ(c.text, clInactiveCaptionText);
  c = grabber_caption_colors(false, false, false);
  EXPECT_EQ(c.background, clActiveCaption);
  c = grabber_caption_colors(true, false, true);  // rotated text is always caption text
  EXPECT_EQ(c.text, clCaptionText);
}

}  // namespace

namespace {

TEST(SpinLayout, StripPlacement) {
  struct row { bool rtl, look3d, styles, ro; rect_i strip; int lm, rm; } rows[] = {
      {false, true, false, false, {43, 0, 60, 18}, 0, 19},   // 3D look, classic
      {false, true, true, false, {44, -1, 61, 19}, 0, 19},   // 3D look, visual styles
      {false, false, false, false, {46, 1, 63, 21}, 0, 19},  // flat box
      {true, true, false, false, {0, 0, 17, 18}, 19, 0},     // right to left
      {false, true, false, true, {43, 0, 60, 18}, 0, 0},     // read-only: no margins
  };
  for (const row& r : rows) {
    spin_strip s = spin_strip_layout(64, 22, 17, r.rtl, r.look3d, r.styles, r.ro);
    EXPECT_EQ(s.strip, r.strip) << r.rtl << r.look3d << r.styles << r.ro;
    EXPECT_EQ(s.left_margin, r.lm);
    EXPECT_EQ(s.right_margin, r.rm);
  }
  EXPECT_EQ(spin_strip_layout(10, 2, 17, false, true, false, false).strip.height(), 0);
}

TEST(SpinLayout, PairHalves) {
  rect_i up, down;
  spin_pair_layout(17, 17, true, &up, &down);
  EXPECT_EQ(up, (rect_i{0, 0, 17, 8}));
  EXPECT_EQ(down, (rect_i{0, 8, 17, 17}));
  spin_pair_layout(35, 16, false, &up, &down);
  EXPECT_EQ(down, (rect_i{0, 0, 17, 16}));
  EXPECT_EQ(up, (rect_i{17, 0, 35, 16}));
}

TEST(GroupCaption, Bands) {
  EXPECT_EQ(group_caption_rect(gsFlat, 200, 50, 13, false), (rect_i{8, 0, 58, 13}));
  EXPECT_EQ(group_caption_rect(gsStandard, 200, 50, 13, true), (rect_i{142, 0, 192, 13}));
  EXPECT_EQ(group_caption_rect(gsTopLine, 200, 50, 13, false), (rect_i{0, 0, 54, 13}));
  EXPECT_EQ(group_caption_rect(gsTopLine, 200, 50, 13, true), (rect_i{146, 0, 196, 13}));
  EXPECT_EQ(group_caption_rect(gsBanner, 200, 50, 13, false), (rect_i{0, 0, 200, 19}));
  EXPECT_EQ(group_caption_rect(gsUnderline, 200, 50, 13, false), (rect_i{0, 0, 200, 15}));
  EXPECT_EQ(group_caption_rect(gsCustom, 200, 50, 13, false), (rect_i{0, 0, 0, 0}));
}

}  // namespace
