// Geometry of the dialog controls: rectangles, sides, border thickness, the
// group box's child area, glyph strips, dock grabbers and colour schemes.
#pragma once

#include <string>

#include "colors.h"

namespace ctl {

struct rect_i {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
  bool operator==(const rect_i& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
};

// TSides as a bit set.
enum side_bits : unsigned { sdLeft = 1, sdTop = 2, sdRight = 4, sdBottom = 8 };
using TSides = unsigned;
constexpr TSides sdAllSides = sdLeft | sdTop | sdRight | sdBottom;

// The set's text form: "[sdLeft,sdTop,sdRight,sdBottom]" (members in order).
std::string sides_to_text(TSides sides);

enum TFrameStyle {
  fsNone, fsFlat, fsGroove, fsBump, fsLowered, fsButtonDown, fsRaised,
  fsButtonUp, fsStatus, fsPopup, fsFlatBold, fsFlatRounded
};
const char* frame_style_name(TFrameStyle s);
// The style of that identifier; false when there is none.
bool frame_style_from_name(const std::string& name, TFrameStyle* out);

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

rect_i CenteredRect(const rect_i& outer, int width, int height);
rect_i ShrinkRectSides(const rect_i& r, TSides sides, int n);
// "&&" gives "&", any other "&" is dropped; the last character is kept.
std::wstring StripAccelerators(const std::wstring& caption);
// The accelerator letter of a caption (upper-cased), 0 for none.
wchar_t AcceleratorOf(const std::wstring& caption);
int MinEditHeight(int char_height);

// Thickness of one border kind on each of its sides.
int border_thickness(TFrameStyle kind, int bevel_width);

// The area a panel leaves to its children: borders and BorderWidth rings
// on the sides that carry them (BorderWidth on all four).
rect_i panel_child_area(const rect_i& client, TFrameStyle outer, TFrameStyle inner,
                        TSides sides, int border_width, int bevel_width);

enum TRzGroupBoxStyle { gsStandard, gsCustom, gsTopLine, gsFlat, gsBanner, gsUnderline };

// The group box's adjustment of the panel's child area; h is the text
// height of "Yy" in the box's font.
rect_i group_child_area(const rect_i& area, TRzGroupBoxStyle style, int h,
                        int border_width, bool caption_empty);

// Where the spin edit's button strip goes inside a box of W x H (client
// coordinates), for a strip w wide, and the edit margin it needs.
struct spin_strip {
  rect_i strip;
  int right_margin = 0, left_margin = 0;
};
spin_strip spin_strip_layout(int W, int H, int w, bool right_to_left, bool look3d,
                             bool visual_styles, bool read_only);
// The two buttons inside a pair of w x h: up/right first, then down/left.
void spin_pair_layout(int w, int h, bool vertical, rect_i* up_right, rect_i* down_left);

// The caption band of a group box of width W for a caption of tw x th
// (measured without its accelerator marks); empty for gsCustom.
rect_i group_caption_rect(TRzGroupBoxStyle style, int W, int tw, int th, bool right_to_left);

// The glyph count a new strip implies: width / height when the width is a
// whole multiple of the height (above 4 gives 1); otherwise unchanged.
int num_glyphs_for_strip(int width, int height, int current);

// Colour schemes of the gradient panels, from the theme's colour name.
struct color_scheme {
  TColor light, dark, frame;
};
int color_scheme_index(const std::wstring& color_name);
color_scheme scheme_colors(int index);

// Dock grabbers: where a docked client's grabber goes for a panel aligned so.
enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient, alCustom };
constexpr int dock_grabber_size = 14;
bool grabber_on_left(TAlign panel_align);
// The grabber band of a client rectangle (the client's own rect inside the
// dock site), the close box within it, and the colours of its caption.
rect_i grabber_rect(const rect_i& client, TAlign panel_align);
rect_i close_box(const rect_i& grabber, TAlign panel_align);
struct grabber_colors {
  TColor background, text;
};
grabber_colors grabber_caption_colors(bool client_is_window, bool client_focused,
                                      bool left_grabber);

}  // namespace ctl
