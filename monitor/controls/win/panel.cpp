#include "panel.h"

#include <uxtheme.h>
#include <vssym32.h>

#include <atomic>
#include <vector>

#include "dock.h"
#include "visual_styles.h"
#include "window_helpers.h"

namespace ctl {

const wchar_t panel_class[] = L"SolvantaPanel";
const wchar_t group_box_class[] = L"SolvantaGroupBox";

namespace {
std::atomic<int> g_scheme{-1};
}

void refresh_color_scheme() { g_scheme.store(-1); }

int current_color_scheme() {
  int have = g_scheme.load();
  if (have >= 0) return have;
  int v = 0;
  wchar_t name[128] = {};
  DWORD size = sizeof name;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\ThemeManager",
                   L"ColorName", RRF_RT_REG_SZ, nullptr, name, &size) == ERROR_SUCCESS)
    v = color_scheme_index(name);
  g_scheme.store(v);
  return v;
}

panel::panel(HWND h, bool group_box)
    : hwnd(h), is_group_box(group_box), BorderOuter(group_box ? fsNone : fsRaised),
      Alignment(group_box ? taLeftJustify : taCenter) {}

panel::~panel() {
  dock_.reset();
  if (controller_) controller_->Unregister(this);
  if (brush) DeleteObject(brush);
}

panel* panel_of(HWND h) {
  return (has_class(h, panel_class) || has_class(h, group_box_class)) ? object_of<panel>(h) : nullptr;
}

void panel::set_transparent(bool v) {
  Transparent = v;
  LONG_PTR ex = GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
  SetWindowLongPtrW(hwnd, GWL_EXSTYLE, v ? (ex | WS_EX_TRANSPARENT) : (ex & ~static_cast<LONG_PTR>(WS_EX_TRANSPARENT)));
  InvalidateRect(hwnd, nullptr, TRUE);
  for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) InvalidateRect(c, nullptr, TRUE);
}

void panel::changed() {
  InvalidateRect(hwnd, nullptr, TRUE);
  for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    panel* p = panel_of(c);
    if (p && p->Transparent) InvalidateRect(c, nullptr, TRUE);
    SendMessageW(c, msg_parent_color_changed, 0, 0);  // children with ParentColor follow
  }
}

void panel::set_DockSite(bool v) {
  dock_site_ = v;
  update_dock_manager();
}

void panel::set_UseDockManager(bool v) {
  use_dock_manager_ = v;
  update_dock_manager();
}

void panel::update_dock_manager() {
  bool want = dock_site_ && use_dock_manager_;
  if (want && !dock_) dock_ = std::make_unique<dock_manager>(hwnd);
  if (!want && dock_) dock_.reset();
  changed();
}

void panel::set_frame_controller(frame_controller* c) {
  if (controller_) controller_->Unregister(this);
  controller_ = c;
  if (c) c->Register(this);
}

void panel::frame_controller_freed(frame_controller* c) {
  if (controller_ == c) controller_ = nullptr;
}

bool panel::frame_apply(const frame_controller& c) {
  const frame_settings& s = c.settings();
  if (!s.FrameVisible) return true;
  if (is_group_box && GroupStyle != gsCustom) return true;
  fc_flags n = FrameControllerNotifications;
  if (n & fc_bit(fcpFrameStyle)) BorderOuter = s.FrameStyle;
  if (n & fc_bit(fcpFrameSides)) BorderSides = s.FrameSides;
  if (n & fc_bit(fcpFrameColor)) {
    FlatColor = s.FrameColor;
    FlatColorAdjustment = 0;
  }
  if (n & fc_bit(fcpColor)) {
    Color = s.Color;
    highlight = LightenColor(Color, 100);
    shadow = DarkenColor(Color, 50);
  }
  if (n & fc_bit(fcpParentColor)) ParentColor = s.ParentColor;
  changed();
  return true;
}

rect_i panel::child_area() const {
  RECT cr;
  GetClientRect(hwnd, &cr);
  rect_i a = panel_child_area(from_rect(cr), BorderOuter, BorderInner, BorderSides, BorderWidth, BevelWidth);
  if (!is_group_box) return a;
  HDC dc = GetDC(hwnd);
  int h = text_height(dc, font, L"Yy");
  ReleaseDC(hwnd, dc);
  return group_child_area(a, GroupStyle, h, BorderWidth, window_text(hwnd).empty());
}

void panel::paint(HDC dc) {
  RECT cr;
  GetClientRect(hwnd, &cr);
  int W = cr.right, H = cr.bottom;
  if (is_group_box && GroupStyle != gsCustom) {
    paint_group_box(dc, W, H);
    if (dock_) dock_->paint(dc, Align, ShowDockClientCaptions);
    if (OnPaint) OnPaint(dc);
    return;
  }
  bool styles = visual_styles_active();
  TColor F = ShiftColor(FlatColor, FlatColorAdjustment);
  if (VisualStyle == vsGradient && GradientColorStyle != gcsCustom)
    F = (GradientColorStyle == gcsMSOffice && styles) ? scheme_colors(current_color_scheme()).frame
                                                      : LightenColor(clBtnShadow, 30);
  rect_i r{0, 0, W, H};
  bool more_inside = BorderWidth > 0 || BorderInner != fsNone;
  auto border = [&](TFrameStyle k) {
    switch (k) {
      case fsNone: break;
      case fsFlat: r = PaintSides(dc, r, F, BorderSides, F); break;
      case fsFlatBold: r = PaintSideRings(dc, r, F, BorderSides, F, 2); break;
      case fsFlatRounded:
        if (!Transparent) {
          panel* pp = panel_of(GetParent(hwnd));
          TColor pc = pp ? pp->Color : clBtnFace;
          PaintSides(dc, r, pc, BorderSides, pc);
          rect_i in = ShrinkRectSides(r, BorderSides, 1);
          TColor ic = more_inside ? BorderColor : Color;
          PaintSides(dc, in, ic, BorderSides, ic);
        }
        r = PaintCutCornerBorder(dc, r, F, BorderSides);
        break;
      case fsPopup: r = PaintSideRings(dc, r, highlight, BorderSides, shadow, BevelWidth); break;
      case fsStatus: r = PaintSideRings(dc, r, shadow, BorderSides, highlight, BevelWidth); break;
      default: r = PaintStyledBorder(dc, r, k, BorderSides); break;
    }
  };
  border(BorderOuter);
  r = PaintSideRings(dc, r, BorderColor, sdAllSides, BorderColor, BorderWidth < 0 ? 0 : BorderWidth);
  border(BorderInner);
  if (!Transparent) {
    if (VisualStyle == vsGradient) {
      TColor a = DarkenColor(clBtnFace, 10), b = clWindow;
      if (GradientColorStyle == gcsCustom) { b = GradientColorStart; a = GradientColorStop; }
      else if (GradientColorStyle == gcsMSOffice && styles) {
        color_scheme s = scheme_colors(current_color_scheme());
        b = s.light;
        a = s.dark;
      }
      // The gradient runs from the start (light) colour to the stop colour.
      PaintGradient(dc, r, GradientDirection, a, b);
    } else {
      fill_solid(dc, r, Color);
    }
  }
  std::wstring text = window_text(hwnd);
  if (!text.empty()) {
    HGDIOBJ old = SelectObject(dc, font_or_default(font));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colorref(IsWindowEnabled(hwnd) ? clBtnText : clGrayText));
    UINT align = Alignment == taLeftJustify ? DT_LEFT : Alignment == taRightJustify ? DT_RIGHT : DT_CENTER;
    RECT m = to_rect(r);
    DrawTextW(dc, text.c_str(), -1, &m, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | align);
    int th = m.bottom - m.top;
    RECT place = to_rect(r);
    if (!is_group_box) {
      place.top = (r.top + r.bottom - th) / 2;
      place.bottom = place.top + th;
    }
    DrawTextW(dc, text.c_str(), -1, &place, DT_WORDBREAK | DT_EXPANDTABS | align);
    SelectObject(dc, old);
  }
  if (dock_) dock_->paint(dc, Align, ShowDockClientCaptions);
  if (OnPaint) OnPaint(dc);
}

void panel::paint_group_box(HDC dc, int W, int H) {
  bool styles = visual_styles_active();
  bool enabled = IsWindowEnabled(hwnd) != FALSE;
  HGDIOBJ old_font = SelectObject(dc, font_or_default(font));
  int h2 = text_height(dc, font, L"Pp") / 2 - 1;
  std::wstring caption = window_text(hwnd);
  std::wstring shown = StripAccelerators(caption);
  SIZE ts{0, 0};
  GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &ts);
  bool rtl = (GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_RTLREADING) != 0;
  rect_i cap{0, 0, 0, 0};
  if (!caption.empty()) cap = group_caption_rect(GroupStyle, W, ts.cx, ts.cy, rtl);
  UINT align = Alignment == taLeftJustify ? DT_LEFT : Alignment == taRightJustify ? DT_RIGHT : DT_CENTER;
  RECT R{0, h2, W, H};
  if (VisualStyle == vsWinXP && styles && (GroupStyle == gsStandard || GroupStyle == gsFlat)) {
    if (!Transparent) PaintParentBackground(hwnd, dc, false);
    int saved = SaveDC(dc);
    if (!caption.empty()) ExcludeClipRect(dc, cap.left, cap.top, cap.right, cap.bottom);
    draw_theme(L"BUTTON", hwnd, dc, BP_GROUPBOX, enabled ? GBS_NORMAL : GBS_DISABLED, R);
    RestoreDC(dc, saved);
    if (!caption.empty()) {
      HTHEME t = OpenThemeData(hwnd, L"BUTTON");
      if (t) {
        RECT c = to_rect(cap);
        DrawThemeText(t, dc, BP_GROUPBOX, enabled ? GBS_NORMAL : GBS_DISABLED, caption.c_str(), -1,
                      align | DT_SINGLELINE, 0, &c);
        CloseThemeData(t);
      }
    }
    SelectObject(dc, old_font);
    return;
  }
  TColor F = ShiftColor(FlatColor, FlatColorAdjustment);
  if (!Transparent) fill_solid(dc, {0, 0, W, H}, Color);
  rect_i fr = from_rect(R);
  auto kind_rule = [&](TSides sides) {
    TFrameStyle k = BorderOuter == fsNone ? fsGroove : BorderOuter;
    if (k == fsFlat) {
      PaintSides(dc, fr, F, sides, F);
    } else if (k == fsFlatBold || k == fsFlatRounded) {  // fsFlatRounded takes the fsFlatBold rule
      PaintSideRings(dc, fr, F, sides, F, 2);
    } else {
      PaintStyledBorder(dc, fr, k, sides);
    }
  };
  // A transparent box keeps its frame out of the caption, which has no fill
  // of its own to cover the line. The banner and the underline are drawn
  // in the caption rectangle itself and keep it.
  int clip_saved = 0;
  if (Transparent && !caption.empty() && GroupStyle != gsBanner && GroupStyle != gsUnderline) {
    clip_saved = SaveDC(dc);
    ExcludeClipRect(dc, cap.left, cap.top, cap.right, cap.bottom);
  }
  switch (GroupStyle) {
    case gsStandard: kind_rule(sdAllSides); break;
    case gsTopLine:
      if (BorderOuter == fsFlat || BorderOuter == fsFlatBold || BorderOuter == fsFlatRounded) {
        fill_solid(dc, {fr.left + 2, fr.top, fr.right - 2, fr.top + 1}, F);
        if (BorderOuter != fsFlat) fill_solid(dc, {fr.left + 2, fr.top + 1, fr.right - 2, fr.top + 2}, F);
      } else {
        kind_rule(sdTop);
      }
      break;
    case gsFlat: PaintCutCornerBorder(dc, fr, F, sdAllSides); break;
    case gsBanner: {
      TColor outline = DarkenColor(clBtnFace, 40);
      TColor light = clWindow, dark = DarkenColor(clBtnFace, 20);
      if (GradientColorStyle == gcsCustom) { outline = F; light = GradientColorStart; dark = GradientColorStop; }
      else if (GradientColorStyle == gcsMSOffice && styles) {
        color_scheme s = scheme_colors(current_color_scheme());
        outline = s.dark; light = s.light; dark = s.dark;
      }
      fill_solid(dc, {cap.left + 1, cap.top, cap.right - 1, cap.top + 1}, outline);
      fill_solid(dc, {cap.left + 1, cap.bottom - 1, cap.right - 1, cap.bottom}, outline);
      fill_solid(dc, {cap.left, cap.top + 1, cap.left + 1, cap.bottom - 1}, outline);
      fill_solid(dc, {cap.right - 1, cap.top + 1, cap.right, cap.bottom - 1}, outline);
      PaintGradient(dc, ShrinkRectSides(cap, sdAllSides, 1), gdHorizontalEnd, dark, light);
      break;
    }
    case gsUnderline: fill_solid(dc, {cap.left, cap.bottom - 1, cap.right, cap.bottom}, F); break;
    default: break;
  }
  if (clip_saved) RestoreDC(dc, clip_saved);
  if (!caption.empty()) {
    // The caption band hides the frame line under the caption; the banner
    // and the underline are drawn in the band itself and stay.
    if (!Transparent && GroupStyle != gsBanner && GroupStyle != gsUnderline) fill_solid(dc, cap, Color);
    rect_i tr = cap;
    if (GroupStyle == gsBanner) tr = {cap.left + 4, cap.top + 1, cap.right - 4, cap.bottom - 1};
    SetBkMode(dc, TRANSPARENT);
    TColor tc = !enabled ? clGrayText : (VisualStyle == vsWinXP && styles) ? ThemeTextColor() : clBtnText;
    SetTextColor(dc, colorref(tc));
    RECT t = to_rect(tr);
    DrawTextW(dc, caption.c_str(), -1, &t, DT_SINGLELINE | align | (GroupStyle == gsBanner ? DT_VCENTER : 0));
  }
  SelectObject(dc, old_font);
}

LRESULT CALLBACK panel_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  panel* p = object_of<panel>(h);
  if (m == WM_NCCREATE) {
    p = new panel(h, has_class(h, group_box_class));
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(p));
    // The dialog manager tabs into the children of a panel or group box.
    LONG_PTR ex = GetWindowLongPtrW(h, GWL_EXSTYLE);
    SetWindowLongPtrW(h, GWL_EXSTYLE, ex | WS_EX_CONTROLPARENT);
  }
  if (!p) return DefWindowProcW(h, m, w, l);
  LRESULT handled = 0;
  if (font_and_text(h, m, w, l, p->font, TRUE, &handled)) return handled;
  switch (m) {
    case WM_ERASEBKGND:
      // The parent is not invalidated from here: its repaint would erase
      // this panel again, and again.
      if (p->Transparent) PaintParentBackground(h, reinterpret_cast<HDC>(w), false);
      return 1;
    case WM_PAINT:
      paint_buffered(h, [h, p](HDC mem, const RECT&) {
        if (p->Transparent) PaintParentBackground(h, mem, false);
        p->paint(mem);
      });
      return 0;
    case WM_PRINTCLIENT: {
      HDC dc = reinterpret_cast<HDC>(w);
      if (p->Transparent) PaintParentBackground(h, dc, false);
      p->paint(dc);
      return 0;
    }
    case WM_SIZE: InvalidateRect(h, nullptr, TRUE); return 0;
    case WM_WINDOWPOSCHANGING: {
      auto* wp = reinterpret_cast<WINDOWPOS*>(l);
      if (!(wp->flags & SWP_NOSIZE) && (p->Align == alBottom || p->Align == alRight)) {
        RECT r;
        GetWindowRect(h, &r);
        HWND parent = GetParent(h);
        if (parent) MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        if (wp->flags & SWP_NOMOVE) {
          wp->x = r.left;
          wp->y = r.top;
          wp->flags &= ~static_cast<UINT>(SWP_NOMOVE);
        }
        if (p->Align == alBottom && wp->cy != r.bottom - r.top) wp->y = r.bottom - wp->cy;
        if (p->Align == alRight && wp->cx != r.right - r.left) wp->x = r.right - wp->cx;
      }
      break;
    }
    case WM_ENABLE: {
      std::vector<HWND> kids;
      for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) kids.push_back(c);
      if (!w) {
        std::vector<std::pair<const void*, bool>> states;
        for (HWND c : kids) states.push_back({c, IsWindowEnabled(c) != FALSE});
        p->memory.record(states);
        for (HWND c : kids) EnableWindow(c, FALSE);
      } else {
        for (HWND c : kids) EnableWindow(c, p->memory.enable_again(c));
      }
      p->changed();
      return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      if (l && GetPropW(reinterpret_cast<HWND>(l), prop_ours))
        return SendMessageW(reinterpret_cast<HWND>(l), reflect_base + m, w, l);
      if (m != WM_CTLCOLOREDIT) {
        SetBkColor(reinterpret_cast<HDC>(w), colorref(p->Color));
        return reinterpret_cast<LRESULT>(brush_for(&p->brush, &p->brush_color, p->Color));
      }
      break;
    case WM_COMMAND:
    case WM_NOTIFY:  // the panel passes its children's notifications up
      if (GetParent(h)) return SendMessageW(GetParent(h), m, w, l);
      break;
    case WM_GETDLGCODE:
      // The dialog manager hands a group box its caption accelerator as a
      // click (and takes the key no further) ...
      return p->is_group_box ? DLGC_BUTTON : 0;
    case BM_CLICK:
      // ... which moves the focus to the box's first child in tab order,
      // when the box can take the focus.
      if (p->is_group_box && IsWindowEnabled(h) && IsWindowVisible(h)) {
        HWND first = GetNextDlgTabItem(h, nullptr, FALSE);
        if (!first || !IsChild(h, first)) {
          first = nullptr;
          for (HWND c = GetWindow(h, GW_CHILD); c && !first; c = GetWindow(c, GW_HWNDNEXT))
            if (IsWindowVisible(c) && IsWindowEnabled(c)) first = c;
        }
        if (first) SetFocus(first);
      }
      return 0;
    case WM_THEMECHANGED:
      refresh_color_scheme();
      p->changed();
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrW(h, GWLP_USERDATA, 0);
      delete p;
      return DefWindowProcW(h, m, w, l);
    default: break;
  }
  return DefWindowProcW(h, m, w, l);
}

}  // namespace ctl
