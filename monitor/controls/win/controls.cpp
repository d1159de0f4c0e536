#include "controls.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vssym32.h>
#include <windowsx.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "visual_styles.h"

namespace ctl {

const wchar_t edit_class[] = L"SolvantaEdit";
const wchar_t spin_edit_class[] = L"SolvantaSpinEdit";
const wchar_t spin_buttons_class[] = L"SolvantaSpinButtons";
const wchar_t button_class[] = L"SolvantaButton";
const wchar_t control_button_class[] = L"SolvantaControlButton";
const wchar_t panel_class[] = L"SolvantaPanel";
const wchar_t group_box_class[] = L"SolvantaGroupBox";

namespace {

// Colour messages of our edits are handed back to them by their parent.
constexpr UINT reflect_base = 0xB000;
constexpr UINT msg_recompute_default = 0xB400;
const wchar_t prop_ours[] = L"SolvantaControl";
WNDPROC g_edit_base = nullptr;

template <class T>
T* object_of(HWND h) {
  return h ? reinterpret_cast<T*>(GetWindowLongPtrW(h, GWLP_USERDATA)) : nullptr;
}

bool has_class(HWND h, const wchar_t* cls) {
  wchar_t name[64];
  return h && GetClassNameW(h, name, 64) && lstrcmpiW(name, cls) == 0;
}

// WM_SETFONT, WM_GETFONT and WM_SETTEXT of a control that paints its own
// text: the font is kept in `font`; a change repaints (erasing the
// background when `erase`). False for any other message.
bool font_and_text(HWND h, UINT m, WPARAM w, LPARAM l, HFONT& font, BOOL erase, LRESULT* out) {
  switch (m) {
    case WM_SETFONT:
      font = reinterpret_cast<HFONT>(w);
      if (l) InvalidateRect(h, nullptr, erase);
      *out = 0;
      return true;
    case WM_GETFONT: *out = reinterpret_cast<LRESULT>(font); return true;
    case WM_SETTEXT:
      *out = DefWindowProcW(h, m, w, l);
      InvalidateRect(h, nullptr, erase);
      return true;
    default: return false;
  }
}

// WM_PAINT through a bitmap of the client area's size: the painter draws
// into the memory DC, which is then copied in one go, so nothing flickers.
template <class Painter>
void paint_buffered(HWND h, Painter paint) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(h, &ps);
  RECT cr;
  GetClientRect(h, &cr);
  HDC mem = CreateCompatibleDC(dc);
  HBITMAP bmp = CreateCompatibleBitmap(dc, cr.right > 0 ? cr.right : 1, cr.bottom > 0 ? cr.bottom : 1);
  HGDIOBJ old = SelectObject(mem, bmp);
  paint(mem, cr);
  BitBlt(dc, 0, 0, cr.right, cr.bottom, mem, 0, 0, SRCCOPY);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  EndPaint(h, &ps);
}

LRESULT CALLBACK parent_subclass(HWND h, UINT m, WPARAM w, LPARAM l, UINT_PTR id, DWORD_PTR) {
  if ((m == WM_CTLCOLOREDIT || m == WM_CTLCOLORSTATIC) && l &&
      GetPropW(reinterpret_cast<HWND>(l), prop_ours))
    return SendMessageW(reinterpret_cast<HWND>(l), reflect_base + m, w, l);
  if (m == WM_NCDESTROY) RemoveWindowSubclass(h, parent_subclass, id);
  return DefSubclassProc(h, m, w, l);
}

void reflect_from_parent(HWND child) {
  HWND parent = GetParent(child);
  if (parent) SetWindowSubclass(parent, parent_subclass, 0x50C7, 0);
}

HBRUSH brush_for(HBRUSH* brush, TColor* have, TColor want) {
  if (*brush && *have == want) return *brush;
  if (*brush) DeleteObject(*brush);
  *brush = CreateSolidBrush(colorref(want));
  *have = want;
  return *brush;
}

HFONT font_or_default(HFONT f) {
  return f ? f : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

int text_height(HDC dc, HFONT font, const wchar_t* sample) {
  HGDIOBJ old = SelectObject(dc, font_or_default(font));
  SIZE sz{0, 0};
  GetTextExtentPoint32W(dc, sample, lstrlenW(sample), &sz);
  SelectObject(dc, old);
  return sz.cy;
}

std::wstring window_text(HWND h) {
  int n = GetWindowTextLengthW(h);
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(h, &s[0], n + 1);
  s.resize(static_cast<size_t>(n));
  return s;
}

void draw_theme(const wchar_t* cls, HWND h, HDC dc, int part, int state, const RECT& r) {
  HTHEME t = OpenThemeData(h, cls);
  if (!t) return;
  DrawThemeBackground(t, dc, part, state, &r, nullptr);
  CloseThemeData(t);
}

}  // namespace

// ================================================================ edits

edit_box::edit_box(HWND h, bool is_spin) : hwnd(h) {
  if (is_spin) {
    spin = std::make_unique<spin_part>();
    Alignment = taRightJustify;
    wchar_t sep[8] = L".";
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, sep, 8) > 1) spin->value.decimal_separator = sep[0];
    spin->value.beep = [] { MessageBeep(0); };
  }
}

edit_box::~edit_box() {
  if (controller_) controller_->Unregister(this);
  if (brush) DeleteObject(brush);
}

edit_box* edit_of(HWND h) {
  return (has_class(h, edit_class) || has_class(h, spin_edit_class)) ? object_of<edit_box>(h) : nullptr;
}

TColor edit_box::current_color() const {
  bool ro = (GetWindowLongPtrW(hwnd, GWL_STYLE) & ES_READONLY) != 0;
  return colors.current(IsWindowEnabled(hwnd) != FALSE, has_focus, ro);
}

void edit_box::set_color(TColor c) {
  if (guard) return;
  colors.color_changed(c);
  apply_state();
}

bool edit_box::frame_drawn() const {
  return FrameVisible && !(FramingPreference == fpXPThemes && visual_styles_active());
}

void edit_box::apply_state() {
  guard = true;
  InvalidateRect(hwnd, nullptr, TRUE);
  if (frame_drawn()) RedrawNonClientFrame(hwnd);
  if (spin && spin->buttons) {
    spin_buttons* b = spin_buttons_of(spin->buttons);
    if (b) {
      TColor c = clBtnFace;
      if (spin->FlatButtons)
        c = (visual_styles_active() || !(mouse_over || has_focus)) ? current_color() : spin->FlatButtonColor;
      b->up.Color = b->down.Color = c;
      b->up.logic.Flat = b->down.logic.Flat =
          spin->FlatButtons && !(visual_styles_active() && (mouse_over || has_focus));
      InvalidateRect(spin->buttons, nullptr, TRUE);
    }
  }
  guard = false;
}

void edit_box::set_frame_visible(bool v) {
  FrameVisible = v;
  if (v) {
    LONG_PTR ex = GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
    SetWindowLongPtrW(hwnd, GWL_EXSTYLE, ex | WS_EX_CLIENTEDGE);
  }
  SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
               SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (spin) layout_spin();
}

void edit_box::set_frame_hot_track(bool v) {
  FrameHotTrack = v;
  if (v) {
    FrameSides = sdAllSides;
    set_frame_visible(true);
  }
  RedrawNonClientFrame(hwnd);
}

void edit_box::set_read_only(bool v) {
  SendMessageW(hwnd, EM_SETREADONLY, v, 0);
  if (spin) {
    spin->value.ReadOnly = v;
    layout_spin();
  }
  apply_state();
}

void edit_box::set_framing_preference(TFramingPreference v) {
  FramingPreference = v;
  RedrawNonClientFrame(hwnd);
}

void edit_box::set_frame_controller(frame_controller* c) {
  if (controller_) controller_->Unregister(this);
  controller_ = c;
  if (c) c->Register(this);
}

void edit_box::frame_controller_freed(frame_controller* c) {
  if (controller_ == c) controller_ = nullptr;
}

bool edit_box::frame_write(fc_prop p, const frame_settings& s, const std::string&) {
  switch (p) {
    case fcpColor: set_color(s.Color); break;
    case fcpFocusColor: colors.FocusColor = s.FocusColor; break;
    case fcpDisabledColor: colors.DisabledColor = s.DisabledColor; break;
    case fcpReadOnlyColor: colors.ReadOnlyColor = s.ReadOnlyColor; break;
    case fcpReadOnlyColorOnFocus: colors.ReadOnlyColorOnFocus = s.ReadOnlyColorOnFocus; break;
    case fcpParentColor: return false;
    case fcpFlatButtonColor:
      if (!spin) return false;
      spin->FlatButtonColor = s.FlatButtonColor;
      break;
    case fcpFlatButtons:
      if (!spin) return false;
      spin->FlatButtons = s.FlatButtons;
      break;
    case fcpFrameColor: FrameColor = s.FrameColor; break;
    case fcpFrameHotColor: FrameHotColor = s.FrameHotColor; break;
    case fcpFrameHotTrack: FrameHotTrack = s.FrameHotTrack; break;
    case fcpFrameHotStyle: FrameHotStyle = s.FrameHotStyle; break;
    case fcpFrameSides: FrameSides = s.FrameSides; break;
    case fcpFrameStyle: FrameStyle = s.FrameStyle; break;
    case fcpFrameVisible: set_frame_visible(s.FrameVisible); break;
    case fcpFramingPreference: FramingPreference = s.FramingPreference; break;
    default: return false;
  }
  apply_state();
  return true;
}

void edit_box::sync_in() {
  if (!spin) return;
  spin->value.state.text = window_text(hwnd);
  DWORD a = 0, b = 0;
  CallWindowProcW(base_proc, hwnd, EM_GETSEL, reinterpret_cast<WPARAM>(&a), reinterpret_cast<LPARAM>(&b));
  spin->value.state.sel_start = static_cast<int>(a);
  spin->value.state.sel_end = static_cast<int>(b);
  spin->value.has_parent = GetParent(hwnd) != nullptr;
}

void edit_box::sync_out() {
  if (!spin) return;
  const edit_text& t = spin->value.state;
  if (window_text(hwnd) != t.text)
    CallWindowProcW(base_proc, hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.text.c_str()));
  CallWindowProcW(base_proc, hwnd, EM_SETSEL, static_cast<WPARAM>(t.sel_start), static_cast<LPARAM>(t.sel_end));
}

int edit_box::integer_value() {
  if (!spin) return 0;
  sync_in();
  int v = spin->value.integer_value();
  sync_out();  // an empty text shows Min now
  return v;
}

void edit_box::set_integer_value(int v) {
  if (!spin) return;
  sync_in();
  spin->value.set_integer_value(v);
  sync_out();
}

void edit_box::layout_spin() {
  if (!spin || !spin->buttons) return;
  RECT wr;
  GetWindowRect(hwnd, &wr);
  int W = wr.right - wr.left, H = wr.bottom - wr.top;
  HFONT f = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
  int min_h = MinEditHeight(font_char_height(f));
  if (H < min_h) {
    SetWindowPos(hwnd, nullptr, 0, 0, W, min_h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    H = min_h;
  }
  int bw = spin->ButtonWidth < 0 ? 0 : spin->ButtonWidth;
  int w = spin->Orientation == orVertical ? bw : 2 * bw;
  bool rtl = (GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_RTLREADING) != 0;
  bool look3d = FrameVisible || (GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
  bool ro = spin->value.ReadOnly;
  spin_strip L = spin_strip_layout(W, H, w, rtl, look3d, visual_styles_active(), ro);
  SetWindowPos(spin->buttons, nullptr, L.strip.left, L.strip.top, L.strip.width(), L.strip.height(),
               SWP_NOZORDER | SWP_NOACTIVATE | (ro ? SWP_HIDEWINDOW : SWP_SHOWWINDOW));
  spin_buttons* b = spin_buttons_of(spin->buttons);
  if (b) {
    b->Orientation = spin->Orientation;
    b->Direction = spin->Direction;
    b->layout();
  }
  WPARAM which = EC_LEFTMARGIN | EC_RIGHTMARGIN;
  LPARAM m = MAKELONG(L.left_margin, L.right_margin);
  CallWindowProcW(base_proc, hwnd, EM_SETMARGINS, which, m);
}

namespace {

void paint_edit_frame(edit_box* e, HDC given = nullptr) {
  if (!e->frame_drawn()) return;
  HDC dc = given ? given : GetWindowDC(e->hwnd);
  if (!dc) return;
  RECT wr;
  GetWindowRect(e->hwnd, &wr);
  bool hot = e->FrameHotTrack && (e->has_focus || e->mouse_over);
  PaintEditFrame(dc, wr.right - wr.left, wr.bottom - wr.top, e->FrameSides,
                 hot ? e->FrameHotColor : e->FrameColor, e->current_color(),
                 hot ? e->FrameHotStyle : e->FrameStyle);
  if (!given) ReleaseDC(e->hwnd, dc);
}

LRESULT CALLBACK edit_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  edit_box* e = object_of<edit_box>(h);
  if (m == WM_NCCREATE) {
    e = new edit_box(h, has_class(h, spin_edit_class));
    e->base_proc = g_edit_base;
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(e));
    SetPropW(h, prop_ours, reinterpret_cast<HANDLE>(1));
    reflect_from_parent(h);
    // Never multi-line, clipping its children; the spin edit is right
    // aligned. The system edit box reads its style from the creation record.
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    LONG st = cs->style & ~static_cast<LONG>(ES_MULTILINE);
    if (e->spin) st = (st & ~static_cast<LONG>(ES_CENTER)) | ES_RIGHT;
    cs->style = st | WS_CLIPCHILDREN;
    SetWindowLongPtrW(h, GWL_STYLE, cs->style);
  }
  if (!e) return CallWindowProcW(g_edit_base, h, m, w, l);
  WNDPROC base = e->base_proc;
  switch (m) {
    case WM_CREATE: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      if (e->spin) {
        if (GetWindowTextLengthW(h) == 0) CallWindowProcW(base, h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"0"));
        e->spin->buttons = CreateWindowExW(0, spin_buttons_class, nullptr, WS_CHILD | WS_VISIBLE, 0, 0,
                                           17, 17, h, nullptr, GetModuleHandleW(nullptr), nullptr);
        spin_buttons* b = spin_buttons_of(e->spin->buttons);
        if (b) {
          b->FocusControl = h;
          b->OnUpRightClick = [e] {
            e->sync_in();
            e->spin->value.step_up(e->spin->value.Increment);
            e->sync_out();
          };
          b->OnDownLeftClick = [e] {
            e->sync_in();
            e->spin->value.step_down(e->spin->value.Increment);
            e->sync_out();
          };
        }
        e->layout_spin();
      }
      e->apply_state();
      return r;
    }
    case reflect_base + WM_CTLCOLOREDIT:
    case reflect_base + WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(w);
      TColor c = e->current_color();
      SetBkColor(dc, colorref(c));
      SetTextColor(dc, GetSysColor(IsWindowEnabled(h) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
      return reinterpret_cast<LRESULT>(brush_for(&e->brush, &e->brush_color, c));
    }
    case WM_SETFOCUS: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      e->has_focus = true;
      if (e->spin) e->layout_spin();
      e->apply_state();
      return r;
    }
    case WM_KILLFOCUS: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      e->has_focus = false;
      if (e->spin) {
        e->sync_in();
        e->spin->value.focus_lost();
        e->sync_out();
        CallWindowProcW(base, h, EM_SETSEL, 0, 0);
      }
      e->apply_state();
      return r;
    }
    case WM_ENABLE: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      if (e->spin && e->spin->buttons) EnableWindow(e->spin->buttons, static_cast<BOOL>(w));
      e->apply_state();
      return r;
    }
    case WM_MOUSEMOVE:
      if (!e->mouse_over) {
        e->mouse_over = true;
        TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, h, 0};
        TrackMouseEvent(&t);
        if (e->FrameHotTrack) paint_edit_frame(e);
        if (e->spin && e->spin->FlatButtons) e->apply_state();
      }
      break;
    case WM_MOUSELEAVE:
      e->mouse_over = false;
      if (e->FrameHotTrack) RedrawNonClientFrame(h);
      if (e->spin && e->spin->FlatButtons) e->apply_state();
      break;
    case WM_NCPAINT: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      paint_edit_frame(e);
      return r;
    }
    case WM_PRINT: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      if (l & PRF_NONCLIENT) paint_edit_frame(e, reinterpret_cast<HDC>(w));
      return r;
    }
    case WM_GETDLGCODE: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      const MSG* msg = reinterpret_cast<const MSG*>(l);
      if (e->TabOnEnter && msg && msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN)
        r |= DLGC_WANTMESSAGE;
      if (e->spin) r |= DLGC_WANTARROWS;
      return r;
    }
    case WM_KEYDOWN:
      if (e->TabOnEnter && w == VK_RETURN) {
        PostMessageW(h, WM_KEYDOWN, VK_TAB, 0);
        return 0;
      }
      if (e->spin) {
        e->sync_in();
        if (e->spin->value.key_down(static_cast<int>(w))) {
          e->sync_out();
          return 0;
        }
      }
      break;
    case WM_CHAR:
      if (e->TabOnEnter && w == VK_RETURN) return 0;
      if (e->spin) {
        e->sync_in();
        if (!e->spin->value.accepts_char(static_cast<wchar_t>(w))) return 0;
      }
      break;
    case WM_CUT:
    case WM_PASTE:
    case WM_CLEAR:
      if (e->spin && !e->spin->value.allows_cut_paste()) return 0;
      break;
    case WM_MOUSEWHEEL:
      if (e->spin) {
        e->sync_in();
        e->spin->value.wheel(GET_WHEEL_DELTA_WPARAM(w), (GET_KEYSTATE_WPARAM(w) & MK_CONTROL) != 0);
        e->sync_out();
        return 0;
      }
      break;
    case WM_SIZE: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      if (e->spin) e->layout_spin();
      if (e->frame_drawn()) RedrawNonClientFrame(h);
      return r;
    }
    case WM_SETFONT: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      if (e->spin) e->layout_spin();
      return r;
    }
    case WM_NCDESTROY: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      RemovePropW(h, prop_ours);
      SetWindowLongPtrW(h, GWLP_USERDATA, 0);
      delete e;
      return r;
    }
    default:
      break;
  }
  return CallWindowProcW(base, h, m, w, l);
}

}  // namespace

// ====================================================== control buttons

void control_button::set_glyph(HBITMAP g) {
  Glyph = g;
  if (g) {
    BITMAP bm = {};
    if (GetObjectW(g, sizeof bm, &bm)) NumGlyphs = num_glyphs_for_strip(bm.bmWidth, bm.bmHeight, NumGlyphs);
    if (Style != cbsNone) Style = cbsNone;
  }
}

namespace {

void draw_arrow(HDC dc, const rect_i& face, TRzControlButtonStyle style, bool pressed, TColor c) {
  int cx = (face.left + face.right) / 2 + (pressed ? 1 : 0);
  int cy = (face.top + face.bottom) / 2 + (pressed ? 1 : 0);
  for (int i = 0; i < 4; ++i) {
    int half = 3 - i;  // row widths 7, 5, 3, 1 from the base to the tip
    switch (style) {
      case cbsUp: fill_solid(dc, {cx - half, cy + 1 - i, cx + half + 1, cy + 2 - i}, c); break;
      case cbsDown:
      case cbsDropDown: fill_solid(dc, {cx - half, cy - 2 + i, cx + half + 1, cy - 1 + i}, c); break;
      case cbsLeft: fill_solid(dc, {cx + 1 - i, cy - half, cx + 2 - i, cy + half + 1}, c); break;
      case cbsRight: fill_solid(dc, {cx - 2 + i, cy - half, cx - 1 + i, cy + half + 1}, c); break;
      default: break;
    }
  }
}

}  // namespace

void control_button::paint(HDC dc, bool enabled) const {
  const control_button_logic& g = logic;
  bool styles = visual_styles_active();
  bool active = g.pressed || (g.hot && enabled);
  bool pressed = g.pressed;
  RECT r = to_rect(rect);
  rect_i face = rect;
  if (Style == cbsNone) {
    if (styles) {
      if (g.Flat && !active) fill_solid(dc, rect, Color);
      else {
        RECT big{r.left - 1, r.top - 2, r.right + 2, r.bottom + 2};
        int saved = SaveDC(dc);
        IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
        draw_theme(L"SCROLLBAR", nullptr, dc, SBP_THUMBBTNHORZ,
                   !enabled ? SCRBS_DISABLED : pressed ? SCRBS_PRESSED : active ? SCRBS_HOT : SCRBS_NORMAL, big);
        RestoreDC(dc, saved);
      }
    } else if (g.Flat) {
      if (active) face = PaintStyledBorder(dc, face, pressed ? fsStatus : fsPopup, sdAllSides);
      fill_solid(dc, face, Color);
    } else {
      if (pressed) face = PaintSides(dc, face, clBtnShadow, sdAllSides, clBtnShadow);
      else face = PaintStyledBorder(dc, face, fsRaised, sdAllSides);
      fill_solid(dc, face, clBtnFace);
    }
    if (Glyph && NumGlyphs > 0) {
      BITMAP bm = {};
      GetObjectW(Glyph, sizeof bm, &bm);
      int n = NumGlyphs < 1 ? 1 : NumGlyphs;
      int gw = bm.bmWidth / n, gh = bm.bmHeight;
      int index = 0;
      if (pressed && n >= 3) index = 2;
      else if (!enabled && n >= 2) index = 1;
      rect_i inner = ShrinkRectSides(rect, sdAllSides, 1);
      rect_i at = CenteredRect(inner, gw, gh);
      if (pressed) {
        at.left += 1;
        if (!styles) at.top += 1;
      }
      HDC mem = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(mem, Glyph);
      COLORREF transparent = GetPixel(mem, index * gw, gh - 1);
      TransparentBlt(dc, at.left, at.top, gw, gh, mem, index * gw, 0, gw, gh, transparent);
      SelectObject(mem, old);
      DeleteDC(mem);
    }
    return;
  }
  if (Style == cbsDropDown) {
    if (styles) {
      RECT big{r.left - 1, r.top - 1, r.right + 1, r.bottom + 1};
      draw_theme(L"COMBOBOX", nullptr, dc, CP_DROPDOWNBUTTON,
                 !enabled ? CBXS_DISABLED : pressed ? CBXS_PRESSED : active ? CBXS_HOT : CBXS_NORMAL, big);
      return;
    }
  } else if (styles) {
    int part = Style == cbsUp ? SPNP_UP : Style == cbsDown ? SPNP_DOWN : Style == cbsRight ? SPNP_UPHORZ : SPNP_DOWNHORZ;
    if (g.Flat && !active) {
      fill_solid(dc, rect, Color);
      draw_arrow(dc, rect, Style, false, enabled ? cl3DDkShadow : clBtnShadow);
      return;
    }
    draw_theme(L"SPIN", nullptr, dc, part,
               !enabled ? UPS_DISABLED : pressed ? UPS_PRESSED : active ? UPS_HOT : UPS_NORMAL, r);
    return;
  }
  // Without visual styles: the borders of the glyph button with fsButtonUp.
  TColor fc = Style == cbsDropDown ? (g.Flat ? Color : clBtnFace) : (in_spin_pair ? clBtnFace : Color);
  if (g.Flat) {
    if (active) face = PaintStyledBorder(dc, face, pressed ? fsStatus : fsPopup, sdAllSides);
  } else if (pressed) {
    face = PaintSides(dc, face, clBtnShadow, sdAllSides, clBtnShadow);
  } else {
    face = PaintStyledBorder(dc, face, fsButtonUp, sdAllSides);
  }
  fill_solid(dc, face, fc);
  TColor arrow = !enabled ? clBtnShadow : ColorsAreSimilar(fc, clBlack) ? cl3DDkShadow : clBlack;
  draw_arrow(dc, face, Style, pressed, arrow);
}

namespace {

// An owner of window-less control buttons: spin pairs and the one-button host.
struct cb_owner {
  HWND hwnd = nullptr;
  std::vector<control_button*> items;
  control_button* captured = nullptr;
  control_button* hot = nullptr;
  HWND focus_control = nullptr;

  control_button* hit(int x, int y) {
    for (control_button* b : items)
      if (x >= b->rect.left && x < b->rect.right && y >= b->rect.top && y < b->rect.bottom) return b;
    return nullptr;
  }

  void wire() {
    for (size_t i = 0; i < items.size(); ++i) {
      control_button* b = items[i];
      UINT_PTR id = i + 1;
      HWND h = hwnd;
      b->logic.timer_start = [h, id](int ms) { SetTimer(h, id, static_cast<UINT>(ms), nullptr); };
      b->logic.timer_stop = [h, id] { KillTimer(h, id); };
      b->logic.has_capture = [h] { return GetCapture() == h; };
      b->logic.repaint = [h] { InvalidateRect(h, nullptr, FALSE); };
      b->logic.on_click = [b] {
        if (b->OnClick) b->OnClick();
        return true;
      };
    }
  }

  bool handle(UINT m, WPARAM w, LPARAM l, LRESULT* out) {
    *out = 0;
    switch (m) {
      case WM_PAINT:
        paint_buffered(hwnd, [this](HDC mem, const RECT& cr) {
          fill_solid(mem, from_rect(cr), clBtnFace);
          for (control_button* b : items) {
            b->logic.width = b->rect.width();
            b->logic.height = b->rect.height();
            b->paint(mem, IsWindowEnabled(hwnd) != FALSE);
          }
        });
        return true;
      case WM_PRINTCLIENT: {
        HDC dc = reinterpret_cast<HDC>(w);
        for (control_button* b : items) b->paint(dc, IsWindowEnabled(hwnd) != FALSE);
        return true;
      }
      case WM_ERASEBKGND: *out = 1; return true;
      case WM_LBUTTONDOWN: {
        int x = GET_X_LPARAM(l), y = GET_Y_LPARAM(l);
        control_button* b = hit(x, y);
        if (!b || !IsWindowEnabled(hwnd)) return true;
        if (focus_control && GetFocus() != focus_control) {
          if ((GetWindowLongPtrW(focus_control, GWL_STYLE) & WS_TABSTOP) && IsWindowEnabled(focus_control) &&
              IsWindowVisible(focus_control)) {
            SetFocus(focus_control);
            if (GetFocus() != focus_control) return true;  // abandoned
          }
        }
        SetCapture(hwnd);
        captured = b;
        b->logic.enabled = true;
        b->logic.mouse_down(true, x - b->rect.left, y - b->rect.top);
        InvalidateRect(hwnd, nullptr, FALSE);
        return true;
      }
      case WM_LBUTTONUP: {
        if (!captured) return true;
        control_button* b = captured;
        captured = nullptr;
        int x = GET_X_LPARAM(l), y = GET_Y_LPARAM(l);
        if (GetCapture() == hwnd) ReleaseCapture();
        b->logic.mouse_up(x - b->rect.left, y - b->rect.top, hit(x, y) == b, visual_styles_active());
        InvalidateRect(hwnd, nullptr, FALSE);
        return true;
      }
      case WM_MOUSEMOVE: {
        control_button* b = hit(GET_X_LPARAM(l), GET_Y_LPARAM(l));
        if (b != hot) {
          if (hot) hot->logic.mouse_leave();
          hot = b;
          if (hot) hot->logic.mouse_enter();
          TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, hwnd, 0};
          TrackMouseEvent(&t);
          InvalidateRect(hwnd, nullptr, FALSE);
        }
        return true;
      }
      case WM_MOUSELEAVE:
        if (hot) hot->logic.mouse_leave();
        hot = nullptr;
        InvalidateRect(hwnd, nullptr, FALSE);
        return true;
      case WM_TIMER:
        if (w >= 1 && w <= items.size()) items[w - 1]->logic.timer_tick();
        return true;
      case WM_CAPTURECHANGED:
        InvalidateRect(hwnd, nullptr, FALSE);
        return false;
      case WM_ENABLE:
        for (control_button* b : items) b->logic.enabled = w != 0;
        InvalidateRect(hwnd, nullptr, FALSE);
        return true;
      default:
        return false;
    }
  }
};

struct spin_pair_window : spin_buttons {
  explicit spin_pair_window(HWND h) : spin_buttons(h) {
    owner.hwnd = h;
    owner.items = {&up, &down};
    owner.wire();
  }
  cb_owner owner;
};

struct host_window {
  explicit host_window(HWND h) {
    owner.hwnd = h;
    owner.items = {&button};
    owner.wire();
    button.OnClick = [h] {
      HWND p = GetParent(h);
      if (p) SendMessageW(p, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(h), BN_CLICKED), reinterpret_cast<LPARAM>(h));
    };
  }
  control_button button;
  cb_owner owner;
};

LRESULT CALLBACK spin_buttons_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  auto* s = object_of<spin_pair_window>(h);
  if (m == WM_NCCREATE) {
    s = new spin_pair_window(h);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
  }
  if (!s) return DefWindowProcW(h, m, w, l);
  s->owner.focus_control = s->FocusControl;
  LRESULT r;
  switch (m) {
    case WM_SIZE: s->layout(); break;
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    case WM_KEYDOWN:
      if (w == VK_UP && s->OnUpRightClick) s->OnUpRightClick();
      else if (w == VK_DOWN && s->OnDownLeftClick) s->OnDownLeftClick();
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(h, GWLP_USERDATA, 0);
      delete s;
      return DefWindowProcW(h, m, w, l);
    default: break;
  }
  if (s->owner.handle(m, w, l, &r)) return r;
  return DefWindowProcW(h, m, w, l);
}

LRESULT CALLBACK host_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  auto* s = object_of<host_window>(h);
  if (m == WM_NCCREATE) {
    s = new host_window(h);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
  }
  if (!s) return DefWindowProcW(h, m, w, l);
  LRESULT r;
  switch (m) {
    case WM_SIZE: {
      RECT c;
      GetClientRect(h, &c);
      s->button.rect = from_rect(c);
      break;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrW(h, GWLP_USERDATA, 0);
      delete s;
      return DefWindowProcW(h, m, w, l);
    default: break;
  }
  if (s->owner.handle(m, w, l, &r)) return r;
  return DefWindowProcW(h, m, w, l);
}

}  // namespace

spin_buttons::spin_buttons(HWND h) : hwnd(h) {
  up.Style = cbsUp;
  down.Style = cbsDown;
  for (control_button* b : {&up, &down}) {
    b->logic.RepeatClicks = true;
    b->NumGlyphs = 2;
    b->in_spin_pair = true;
  }
  up.OnClick = [this] { if (OnUpRightClick) OnUpRightClick(); };
  down.OnClick = [this] { if (OnDownLeftClick) OnDownLeftClick(); };
}

void spin_buttons::set_delays(int initial, int delay) {
  for (control_button* b : {&up, &down}) {
    b->logic.InitialDelay = initial;
    b->logic.Delay = delay;
  }
}

void spin_buttons::layout() {
  RECT c;
  GetClientRect(hwnd, &c);
  int w = c.right, h = c.bottom;
  if (up.Glyph == nullptr) up.Style = Direction == sdUpDown ? cbsUp : cbsRight;
  if (down.Glyph == nullptr) down.Style = Direction == sdUpDown ? cbsDown : cbsLeft;
  spin_pair_layout(w, h, Orientation == orVertical, &up.rect, &down.rect);
  InvalidateRect(hwnd, nullptr, FALSE);
}

spin_buttons* spin_buttons_of(HWND h) {
  return has_class(h, spin_buttons_class) ? static_cast<spin_buttons*>(object_of<spin_pair_window>(h)) : nullptr;
}

control_button* control_button_of(HWND h) {
  host_window* w = has_class(h, control_button_class) ? object_of<host_window>(h) : nullptr;
  return w ? &w->button : nullptr;
}

// ============================================================ buttons

push_button::push_button(HWND h) : hwnd(h) {
  logic.take_focus = [h] {
    SetFocus(h);
    return GetFocus() == h;
  };
  logic.repaint = [h] { InvalidateRect(h, nullptr, FALSE); };
  logic.broadcast = [h](int group, push_button_logic* sender) {
    HWND parent = GetParent(h);
    if (!parent) return;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
      if (c != h && button_of(c))
        SendMessageW(c, msg_button_pressed, static_cast<WPARAM>(group), reinterpret_cast<LPARAM>(sender));
  };
  logic.on_click = [this] {
    if (ModalResult != 0) {
      HWND root = GetAncestor(hwnd, GA_ROOT);
      if (root && root != hwnd && GetClassLongPtrW(root, GCL_CBWNDEXTRA) >= DLGWINDOWEXTRA)
        EndDialog(root, ModalResult);
    }
    HWND p = GetParent(hwnd);
    if (p) SendMessageW(p, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
  };
}

push_button* button_of(HWND h) { return has_class(h, button_class) ? object_of<push_button>(h) : nullptr; }

namespace {

bool is_push_button(HWND h) {
  if (!h) return false;
  if (has_class(h, button_class)) return true;
  if (has_class(h, L"BUTTON")) {
    LONG_PTR t = GetWindowLongPtrW(h, GWL_STYLE) & BS_TYPEMASK;
    return t == BS_PUSHBUTTON || t == BS_DEFPUSHBUTTON;
  }
  return false;
}

// Every push button of the package under the parent recomputes whether it
// acts as the default after a focus move.
void recompute_defaults(HWND any) {
  HWND parent = GetParent(any);
  if (!parent) return;
  HWND focus = GetFocus();
  bool on_button = is_push_button(focus);
  for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    push_button* b = button_of(c);
    if (!b) continue;
    bool v = on_button ? (c == focus) : b->Default;
    if (v != b->acts_default) {
      b->acts_default = v;
      InvalidateRect(c, nullptr, FALSE);
    }
  }
}

}  // namespace

void push_button::set_default(bool v) {
  Default = v;
  recompute_defaults(hwnd);
  InvalidateRect(hwnd, nullptr, FALSE);
}

void push_button::paint(HDC dc) {
  RECT cr;
  GetClientRect(hwnd, &cr);
  rect_i r = from_rect(cr);
  logic.width = r.width();
  logic.height = r.height();
  bool enabled = IsWindowEnabled(hwnd) != FALSE;
  bool focused = GetFocus() == hwnd;
  bool grouped = logic.group_index() != 0;
  bool pushed = logic.pushed();
  bool styles = visual_styles_active() && ThemeAware;
  if (styles) {
    PaintParentBackground(hwnd, dc, false);
    int state = !enabled ? PBS_DISABLED : pushed ? PBS_PRESSED : logic.mouse_over ? PBS_HOT
                : (grouped || (!acts_default && !focused)) ? PBS_NORMAL : PBS_DEFAULTED;
    draw_theme(L"BUTTON", hwnd, dc, BP_PUSHBUTTON, state, cr);
  } else if (HotTrack && enabled) {
    // The parent's background shows around the face's cut corners.
    HWND parent = GetParent(hwnd);
    panel* pp = panel_of(parent);
    TColor pc = pp ? pp->Color : clBtnFace;
    PaintParentBackground(hwnd, dc, false);
    TColor dark = DarkenColor(pc, 20), light = LightenColor(pc, 20);
    fill_solid(dc, {r.left + 2, r.top, r.right - 2, r.top + 1}, dark);
    fill_solid(dc, {r.left, r.top + 2, r.left + 1, r.bottom - 2}, dark);
    fill_solid(dc, {r.left + 2, r.bottom - 1, r.right - 2, r.bottom}, light);
    fill_solid(dc, {r.right - 1, r.top + 2, r.right, r.bottom - 2}, light);
    set_pixel(dc, r.left + 1, r.top + 1, dark);
    set_pixel(dc, r.right - 2, r.top + 1, dark);
    set_pixel(dc, r.left + 1, r.bottom - 2, dark);
    set_pixel(dc, r.right - 2, r.bottom - 2, light);
    rect_i in = ShrinkRectSides(r, sdAllSides, 1);
    fill_solid(dc, {in.left + 1, in.top, in.right - 1, in.top + 1}, FrameColor);
    fill_solid(dc, {in.left + 1, in.bottom - 1, in.right - 1, in.bottom}, FrameColor);
    fill_solid(dc, {in.left, in.top + 1, in.left + 1, in.bottom - 1}, FrameColor);
    fill_solid(dc, {in.right - 1, in.top + 1, in.right, in.bottom - 1}, FrameColor);
    rect_i face = ShrinkRectSides(in, sdAllSides, 1);
    if (pushed) {
      fill_solid(dc, face, DarkenColor(Color, 10));
    } else {
      fill_solid(dc, {face.left, face.bottom - 2, face.right, face.bottom - 1}, DarkenColor(Color, 20));
      fill_solid(dc, {face.left, face.bottom - 1, face.right, face.bottom}, DarkenColor(Color, 30));
      rect_i g{face.left, face.top, face.right, face.bottom - 2};
      if (HasFullColorDisplay()) PaintGradient(dc, g, gdHorizontalEnd, DarkenColor(Color, 10), LightenColor(Color, 30));
      else fill_solid(dc, g, Color);
      if (HasFullColorDisplay() && (logic.mouse_over || (!grouped && (acts_default || focused)))) {
        TColor a, b;
        if (logic.mouse_over) {
          if (HotTrackComplement) {
            b = ComplementColor(HotTrackColor, 180);
            a = DarkenColor(b, 30);
          } else {
            a = HotTrackColor;
            b = MixColors(clWhite, HotTrackColor, 190);
          }
        } else {
          TColor hc = HighlightColor;
          if (ColorsAreSimilar(hc, clBtnFace)) hc = DarkenColor(hc, 30);
          b = MixColors(hc, LightenColor(Color, 30), 60);
          a = MixColors(hc, LightenColor(Color, 30), 160);
        }
        PaintGradientRing(dc, face, a, b);
      }
    }
  } else if (HotTrack) {  // disabled hot-track look
    fill_solid(dc, r, Color);
    TColor ring = Color == clBtnFace ? LightenColor(clBtnShadow, 30) : DarkenColor(Color, 80);
    PaintSides(dc, ShrinkRectSides(r, sdAllSides, 1), ring, sdAllSides, ring);
  } else {
    rect_i f = r;
    if ((!grouped && (acts_default || focused) && !logic.pressed) || logic.clicking)
      f = PaintSides(dc, f, clWindowFrame, sdAllSides, clWindowFrame);
    if (Color == clBtnFace) {
      if (grouped) f = PaintStyledBorder(dc, f, pushed ? fsLowered : fsButtonUp, sdAllSides);
      else f = PaintStyledBorder(dc, f, logic.pressed ? fsButtonDown : fsButtonUp, sdAllSides);
    } else {
      if (!grouped) f = PaintTintedButtonBorder(dc, f, Color, sdAllSides, logic.pressed);
      else if (pushed) f = PaintColoredBorder(dc, f, Color, sdAllSides, fsLowered);
      else f = PaintTintedButtonBorder(dc, f, Color, sdAllSides, false);
    }
    fill_solid(dc, f, Color);
    if (grouped && logic.down() && ShowDownPattern) {
      // 8 x 8 checker: Color with every other pixel silver (grey on silver).
      TColor other = ColorToRGB(Color) == clSilver ? clGray : clSilver;
      for (int y = f.top; y < f.bottom; ++y)
        for (int x = f.left + ((y - f.top) & 1); x < f.right; x += 2) set_pixel(dc, x, y, other);
    }
  }
  // Caption, measured word-wrapped, placed by AlignmentVertical.
  std::wstring text = window_text(hwnd);
  if (!text.empty()) {
    HGDIOBJ old = SelectObject(dc, font_or_default(font));
    rect_i tr = ShrinkRectSides(r, sdAllSides, 5);
    if (!HotTrack && !styles && pushed) {
      tr.left += 1; tr.top += 1; tr.right += 1; tr.bottom += 1;
    }
    UINT align = Alignment == taLeftJustify ? DT_LEFT : Alignment == taRightJustify ? DT_RIGHT : DT_CENTER;
    if (GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_RTLREADING) align |= DT_RTLREADING;
    UINT flags = DT_WORDBREAK | DT_EXPANDTABS | align;
    RECT m = to_rect(tr);
    DrawTextW(dc, text.c_str(), -1, &m, DT_CALCRECT | flags);
    int th = m.bottom - m.top;
    RECT place = to_rect(tr);
    if (AlignmentVertical == avCenter) place.top = (tr.top + tr.bottom - th) / 2;
    else if (AlignmentVertical == avBottom) place.top = tr.bottom - th - 1;
    place.bottom = place.top + th;
    SetBkMode(dc, TRANSPARENT);
    auto at = [&](int dx, int dy, TColor c) {
      RECT q = place;
      OffsetRect(&q, dx, dy);
      SetTextColor(dc, colorref(c));
      DrawTextW(dc, text.c_str(), -1, &q, flags);
    };
    if (!enabled) {
      at(0, 0, clGrayText);
    } else {
      switch (TextStyle) {
        case tsRaised:
          if (!LightTextStyle) at(1, 1, TextShadowColor);
          at(-1, -1, TextHighlightColor);
          break;
        case tsRecessed:
          at(1, 1, TextHighlightColor);
          if (!LightTextStyle) at(-1, -1, TextShadowColor);
          break;
        case tsShadow:
          at(Alignment == taRightJustify ? 0 : TextShadowDepth, TextShadowDepth, TextShadowColor);
          break;
        default: break;
      }
      at(TextStyle == tsShadow && Alignment == taRightJustify ? -TextShadowDepth : 0, 0, clBtnText);
    }
    SelectObject(dc, old);
  }
  if (focused && ShowFocusRect) {
    rect_i fr = ShrinkRectSides(r, sdAllSides, (HotTrack || styles) ? 3 : 4);
    if (grouped && pushed) { fr.left += 1; fr.top += 1; fr.right += 1; fr.bottom += 1; }
    PaintDottedFocusFrame(dc, fr);
  }
}

namespace {

LRESULT CALLBACK button_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  push_button* b = object_of<push_button>(h);
  if (m == WM_NCCREATE) {
    b = new push_button(h);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(b));
    LONG_PTR st = GetWindowLongPtrW(h, GWL_STYLE);
    b->Default = (st & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    b->acts_default = b->Default;
  }
  if (!b) return DefWindowProcW(h, m, w, l);
  LRESULT handled = 0;
  if (font_and_text(h, m, w, l, b->font, FALSE, &handled)) return handled;
  switch (m) {
    case WM_PAINT:
      paint_buffered(h, [b](HDC mem, const RECT&) { b->paint(mem); });
      return 0;
    case WM_PRINTCLIENT: b->paint(reinterpret_cast<HDC>(w)); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      b->logic.enabled = IsWindowEnabled(h) != FALSE;
      b->logic.mouse_down(GET_X_LPARAM(l), GET_Y_LPARAM(l));
      if (b->logic.tracking) SetCapture(h);
      return 0;
    case WM_MOUSEMOVE:
      if (!b->logic.mouse_over) {
        b->logic.mouse_over = true;
        TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, h, 0};
        TrackMouseEvent(&t);
        if (b->HotTrack || visual_styles_active()) InvalidateRect(h, nullptr, FALSE);
      }
      b->logic.mouse_move(GET_X_LPARAM(l), GET_Y_LPARAM(l));
      return 0;
    case WM_MOUSELEAVE:
      b->logic.mouse_over = false;
      if (b->HotTrack || visual_styles_active()) InvalidateRect(h, nullptr, FALSE);
      return 0;
    case WM_LBUTTONUP:
      // The click first: releasing the capture ends the tracking.
      b->logic.mouse_up(GET_X_LPARAM(l), GET_Y_LPARAM(l));
      if (GetCapture() == h) ReleaseCapture();
      return 0;
    case WM_CAPTURECHANGED:
      if (b->logic.tracking && reinterpret_cast<HWND>(l) != h) {
        b->logic.tracking = false;
        b->logic.pressed = false;
        InvalidateRect(h, nullptr, FALSE);
      }
      return 0;
    case WM_KEYDOWN:
      if (w == VK_SPACE) {
        b->logic.enabled = IsWindowEnabled(h) != FALSE;
        b->logic.space_down((GetKeyState(VK_MENU) & 0x8000) != 0);
        return 0;
      }
      if (w == VK_RETURN || w == VK_ESCAPE) {
        bool mods = (GetKeyState(VK_SHIFT) & 0x8000) || (GetKeyState(VK_CONTROL) & 0x8000) ||
                    (GetKeyState(VK_MENU) & 0x8000);
        if (b->logic.dialog_key(w == VK_RETURN, w == VK_ESCAPE, mods, b->acts_default, b->Cancel,
                                IsWindowEnabled(h) && IsWindowVisible(h)))
          return 0;
      }
      break;
    case WM_KEYUP:
      if (w == VK_SPACE) {
        b->logic.space_up();
        return 0;
      }
      break;
    case WM_GETDLGCODE:
      return DLGC_BUTTON | (b->acts_default ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
    case BM_SETSTYLE:  // the dialog manager's default-button tracking
      b->acts_default = (w & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
      InvalidateRect(h, nullptr, FALSE);
      return 0;
    case BM_CLICK:
      b->logic.click_sequence();
      return 0;
    case WM_SETFOCUS:
      b->logic.focused = true;
      recompute_defaults(h);
      InvalidateRect(h, nullptr, FALSE);
      return 0;
    case WM_KILLFOCUS:
      b->logic.focus_lost();
      // The new focus is known once this message is through.
      PostMessageW(h, msg_recompute_default, 0, 0);
      InvalidateRect(h, nullptr, FALSE);
      return 0;
    case msg_recompute_default:
      recompute_defaults(h);
      return 0;
    case WM_ENABLE:
      b->logic.enabled = w != 0;
      if (!w && GetFocus() == h) {
        HWND parent = GetParent(h);
        if (parent) SendMessageW(parent, WM_NEXTDLGCTL, 0, FALSE);
      }
      InvalidateRect(h, nullptr, FALSE);
      return 0;
    case msg_button_pressed: {
      // Only a sibling's own state is taken as the sender; anything else
      // that arrives with this number is ignored.
      HWND parent = GetParent(h);
      for (HWND c = parent ? GetWindow(parent, GW_CHILD) : nullptr; c; c = GetWindow(c, GW_HWNDNEXT)) {
        push_button* o = button_of(c);
        if (o && c != h && reinterpret_cast<LPARAM>(&o->logic) == l) {
          b->logic.group_notify(static_cast<int>(w), &o->logic);
          break;
        }
      }
      return 0;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrW(h, GWLP_USERDATA, 0);
      delete b;
      return DefWindowProcW(h, m, w, l);
    default:
      break;
  }
  return DefWindowProcW(h, m, w, l);
}

}  // namespace

// ============================================================ panels

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
  if (controller_) controller_->Unregister(this);
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
  }
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
  InvalidateRect(hwnd, nullptr, TRUE);
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
  if (!caption.empty()) {
    if (!Transparent && GroupStyle != gsBanner) fill_solid(dc, cap, Color);
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

namespace {

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
      InvalidateRect(h, nullptr, TRUE);
      return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      if (l && GetPropW(reinterpret_cast<HWND>(l), prop_ours))
        return SendMessageW(reinterpret_cast<HWND>(l), reflect_base + m, w, l);
      if (m != WM_CTLCOLOREDIT) {
        static HBRUSH brush = nullptr;
        static TColor have = clNone;
        SetBkColor(reinterpret_cast<HDC>(w), colorref(p->Color));
        return reinterpret_cast<LRESULT>(brush_for(&brush, &have, p->Color));
      }
      break;
    case WM_COMMAND:
    case WM_NOTIFY:  // the panel passes its children's notifications up
      if (GetParent(h)) return SendMessageW(GetParent(h), m, w, l);
      break;
    case WM_GETDLGCODE:
      // A group box's caption accelerator takes the dialog manager on to
      // the box's first child, as for a static text.
      return p->is_group_box ? DLGC_STATIC : 0;
    case WM_THEMECHANGED:
      refresh_color_scheme();
      InvalidateRect(h, nullptr, TRUE);
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrW(h, GWLP_USERDATA, 0);
      delete p;
      return DefWindowProcW(h, m, w, l);
    default: break;
  }
  return DefWindowProcW(h, m, w, l);
}

bool register_one(HINSTANCE inst, const wchar_t* name, WNDPROC proc, UINT style) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExW(inst, name, &wc)) return true;
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0;
}

}  // namespace

bool register_controls(HINSTANCE inst) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  if (!g_edit_base) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (!GetClassInfoExW(nullptr, L"EDIT", &wc)) return false;
    g_edit_base = wc.lpfnWndProc;
    for (const wchar_t* name : {edit_class, spin_edit_class}) {
      WNDCLASSEXW e = wc;
      e.cbSize = sizeof e;
      e.lpfnWndProc = edit_proc;
      e.hInstance = inst;
      e.lpszClassName = name;
      e.style &= ~static_cast<UINT>(CS_GLOBALCLASS);
      if (!RegisterClassExW(&e) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    }
  }
  return register_one(inst, spin_buttons_class, spin_buttons_proc, 0) &&
         register_one(inst, control_button_class, host_proc, 0) &&
         register_one(inst, button_class, button_proc, CS_DBLCLKS) &&
         register_one(inst, panel_class, panel_proc, CS_HREDRAW | CS_VREDRAW) &&
         register_one(inst, group_box_class, panel_proc, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS);
}

}  // namespace ctl
