#include "geometry.h"

#include <cwctype>

namespace ctl {

std::string sides_to_text(TSides sides) {
  static const char* names[4] = {"sdLeft", "sdTop", "sdRight", "sdBottom"};
  std::string out = "[";
  bool first = true;
  for (int i = 0; i < 4; ++i) {
    if (sides & (1u << i)) {
      if (!first) out += ",";
      out += names[i];
      first = false;
    }
  }
  return out + "]";
}

namespace {
const char* const frame_names[] = {
    "fsNone", "fsFlat", "fsGroove", "fsBump", "fsLowered", "fsButtonDown",
    "fsRaised", "fsButtonUp", "fsStatus", "fsPopup", "fsFlatBold", "fsFlatRounded"};
}

const char* frame_style_name(TFrameStyle s) {
  int i = static_cast<int>(s);
  return (i >= 0 && i <= fsFlatRounded) ? frame_names[i] : "";
}

bool frame_style_from_name(const std::string& name, TFrameStyle* out) {
  for (int i = 0; i <= fsFlatRounded; ++i) {
    std::string a = frame_names[i];
    if (a.size() != name.size()) continue;
    bool same = true;
    for (size_t k = 0; k < a.size() && same; ++k)
      same = std::towlower(static_cast<wint_t>(a[k])) ==
             std::towlower(static_cast<wint_t>(static_cast<unsigned char>(name[k])));
    if (same) {
      if (out) *out = static_cast<TFrameStyle>(i);
      return true;
    }
  }
  return false;
}

rect_i CenteredRect(const rect_i& outer, int width, int height) {
  rect_i r;
  r.left = (outer.left + outer.right - width) / 2;
  r.top = (outer.top + outer.bottom - height) / 2;
  r.right = r.left + width;
  r.bottom = r.top + height;
  return r;
}

rect_i ShrinkRectSides(const rect_i& r, TSides sides, int n) {
  rect_i o = r;
  if (sides & sdLeft) o.left += n;
  if (sides & sdTop) o.top += n;
  if (sides & sdRight) o.right -= n;
  if (sides & sdBottom) o.bottom -= n;
  return o;
}

std::wstring StripAccelerators(const std::wstring& caption) {
  std::wstring out;
  size_t n = caption.size();
  for (size_t i = 0; i < n; ++i) {
    wchar_t c = caption[i];
    if (c == L'&' && i + 1 < n) {
      if (caption[i + 1] == L'&') {
        out += L'&';
        ++i;
      }
      continue;  // a lone "&" marks the next letter
    }
    out += c;  // the last character is always kept
  }
  return out;
}

wchar_t AcceleratorOf(const std::wstring& caption) {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != L'&') continue;
    if (caption[i + 1] == L'&') {
      ++i;
      continue;
    }
    return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(caption[i + 1])));
  }
  return 0;
}

int MinEditHeight(int char_height) { return char_height + 2; }

int border_thickness(TFrameStyle kind, int bevel_width) {
  switch (kind) {
    case fsNone: return 0;
    case fsFlat: return 1;
    case fsStatus:
    case fsPopup: return bevel_width < 0 ? 0 : bevel_width;
    default: return 2;
  }
}

rect_i panel_child_area(const rect_i& client, TFrameStyle outer, TFrameStyle inner,
                        TSides sides, int border_width, int bevel_width) {
  int t = border_thickness(outer, bevel_width) + border_thickness(inner, bevel_width);
  rect_i r = ShrinkRectSides(client, sides, t);
  int bw = border_width < 0 ? 0 : border_width;
  return ShrinkRectSides(r, sdAllSides, bw);
}

rect_i group_child_area(const rect_i& area, TRzGroupBoxStyle style, int h,
                        int border_width, bool caption_empty) {
  rect_i r = area;
  switch (style) {
    case gsStandard:
    case gsFlat: {
      int b = h / 2 - 1;
      r.top += b < border_width ? b : h - border_width;
      r = ShrinkRectSides(r, sdAllSides, style == gsStandard ? 2 : 1);
      break;
    }
    case gsCustom:
      if (!caption_empty) r.top += h;
      r = ShrinkRectSides(r, sdAllSides, 2);
      break;
    case gsTopLine: r.top += h; break;
    case gsBanner: r.top += h + 8; break;
    case gsUnderline: r.top += h + 4; break;
  }
  return r;
}

spin_strip spin_strip_layout(int W, int H, int w, bool rtl, bool look3d, bool styles,
                             bool read_only) {
  spin_strip out;
  int left, top, height;
  if (rtl) {
    left = 0; top = 0; height = H - 4;
  } else if (look3d) {
    if (styles) { left = W - w - 3; top = -1; height = H - 2; }
    else { left = W - w - 4; top = 0; height = H - 4; }
  } else {
    left = W - w - 1; top = 1; height = H - 2;
  }
  if (height < 0) height = 0;
  out.strip = {left, top, left + w, top + height};
  int margin = read_only ? 0 : w + 2;
  if (rtl) out.left_margin = margin;
  else out.right_margin = margin;
  return out;
}

void spin_pair_layout(int w, int h, bool vertical, rect_i* up, rect_i* down) {
  if (vertical) {
    *up = {0, 0, w, h / 2};
    *down = {0, h / 2, w, h};
  } else {
    *down = {0, 0, w / 2, h};
    *up = {w / 2, 0, w, h};
  }
}

rect_i group_caption_rect(TRzGroupBoxStyle style, int W, int tw, int th, bool rtl) {
  switch (style) {
    case gsStandard:
    case gsFlat: return rtl ? rect_i{W - tw - 8, 0, W - 8, th} : rect_i{8, 0, 8 + tw, th};
    case gsTopLine: return rtl ? rect_i{W - tw - 4, 0, W - 4, th} : rect_i{0, 0, tw + 4, th};
    case gsBanner: return {0, 0, W, th + 6};
    case gsUnderline: return {0, 0, W, th + 2};
    default: return {0, 0, 0, 0};
  }
}

int num_glyphs_for_strip(int width, int height, int current) {
  if (width <= 0 || height <= 0 || width % height != 0) return current;
  int n = width / height;
  return n > 4 ? 1 : n;
}

int color_scheme_index(const std::wstring& color_name) {
  std::wstring u;
  for (wchar_t c : color_name) u += static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  if (u == L"HOMESTEAD") return 1;
  if (u == L"METALLIC") return 2;
  return 0;
}

color_scheme scheme_colors(int index) {
  switch (index) {
    case 1: return {rgb(255, 255, 237), rgb(184, 199, 146), rgb(127, 161, 119)};
    case 2: return {rgb(249, 249, 255), rgb(189, 188, 208), rgb(159, 159, 177)};
    default: return {rgb(227, 239, 255), rgb(153, 187, 234), rgb(87, 127, 191)};
  }
}

bool grabber_on_left(TAlign panel_align) {
  return panel_align == alTop || panel_align == alBottom;
}

rect_i grabber_rect(const rect_i& client, TAlign panel_align) {
  rect_i g = client;
  if (grabber_on_left(panel_align)) {
    g.right = g.left;
    g.left -= dock_grabber_size;
  } else {
    g.bottom = g.top;
    g.top -= dock_grabber_size;
  }
  return g;
}

rect_i close_box(const rect_i& g, TAlign panel_align) {
  if (grabber_on_left(panel_align)) return {g.left + 1, g.top + 1, g.left + 12, g.top + 12};
  return {g.right - 15, g.top + 1, g.right - 2, g.top + 12};
}

grabber_colors grabber_caption_colors(bool client_is_window, bool client_focused,
                                      bool left_grabber) {
  bool active = !client_is_window || client_focused;
  grabber_colors c;
  c.background = active ? clActiveCaption : clInactiveCaption;
  c.text = (active || left_grabber) ? clCaptionText : clInactiveCaptionText;
  return c;
}

}  // namespace ctl
