#include "edit.h"

#include <windowsx.h>

#include "control_button.h"
#include "panel.h"
#include "visual_styles.h"
#include "window_helpers.h"

namespace ctl {

const wchar_t edit_class[] = L"SolvantaEdit";
const wchar_t spin_edit_class[] = L"SolvantaSpinEdit";

edit_box::edit_box(HWND h, bool is_spin) : hwnd(h) {
  if (is_spin) {
    spin = std::make_unique<spin_part>();
    Alignment = taRightJustify;
    wchar_t sep[8] = L".";
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, sep, 8) > 1) spin->value.decimal_separator = sep[0];
    spin->value.beep = [] { MessageBeep(0); };
  }
}

namespace {

// The object a re-created window takes over instead of making its own.
thread_local edit_box* g_adopt = nullptr;

LONG alignment_style(TAlignment a) {
  return a == taRightJustify ? ES_RIGHT : a == taCenter ? ES_CENTER : ES_LEFT;
}

TAlignment alignment_of_style(LONG_PTR st) {
  return (st & ES_RIGHT) ? taRightJustify : (st & ES_CENTER) ? taCenter : taLeftJustify;
}

HBITMAP copy_bitmap(HBITMAP g) {
  return g ? static_cast<HBITMAP>(CopyImage(g, IMAGE_BITMAP, 0, 0, 0)) : nullptr;
}

}  // namespace

edit_box::spin_part::~spin_part() {
  if (ButtonUpGlyph) DeleteObject(ButtonUpGlyph);
  if (ButtonDownGlyph) DeleteObject(ButtonDownGlyph);
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

void edit_box::set_parent_color(bool v) {
  ParentColor = v;
  if (v) parent_color_changed();
}

void edit_box::parent_color_changed() {
  if (!ParentColor || guard) return;
  panel* p = panel_of(GetParent(hwnd));
  colors.color_changed(p ? p->Color : clBtnFace);
  apply_state();
}

void edit_box::set_alignment(TAlignment a) {
  if (a == Alignment) return;
  TAlignment before = Alignment;
  Alignment = a;
  if (!recreate()) Alignment = before;
}

bool edit_box::recreate() {
  HWND old = hwnd;
  HWND parent = GetParent(old);
  RECT r;
  GetWindowRect(old, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  LONG_PTR st = GetWindowLongPtrW(old, GWL_STYLE), ex = GetWindowLongPtrW(old, GWL_EXSTYLE);
  std::wstring text = window_text(old);
  LRESULT font = SendMessageW(old, WM_GETFONT, 0, 0);
  LRESULT limit = CallWindowProcW(base_proc, old, EM_GETLIMITTEXT, 0, 0);
  LRESULT password = CallWindowProcW(base_proc, old, EM_GETPASSWORDCHAR, 0, 0);
  DWORD a = 0, b = 0;
  CallWindowProcW(base_proc, old, EM_GETSEL, reinterpret_cast<WPARAM>(&a), reinterpret_cast<LPARAM>(&b));
  bool focused = GetFocus() == old;
  wchar_t cls[64] = {};
  GetClassNameW(old, cls, 64);
  HWND old_pair = spin ? spin->buttons : nullptr;
  // The old window lets go of the object before the new one takes it.
  SetWindowLongPtrW(old, GWLP_USERDATA, 0);
  if (spin) spin->buttons = nullptr;
  g_adopt = this;
  HWND nw = CreateWindowExW(static_cast<DWORD>(ex), cls, text.c_str(), static_cast<DWORD>(st), r.left, r.top,
                            r.right - r.left, r.bottom - r.top, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(GetDlgCtrlID(old))),
                            reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(old, GWLP_HINSTANCE)), nullptr);
  g_adopt = nullptr;
  if (!nw) {
    hwnd = old;
    SetWindowLongPtrW(old, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (spin) spin->buttons = old_pair;
    return false;
  }
  RemovePropW(old, prop_ours);
  SetWindowPos(nw, old, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);  // same tab place
  SendMessageW(nw, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
  CallWindowProcW(base_proc, nw, EM_LIMITTEXT, static_cast<WPARAM>(limit), 0);
  if (password) CallWindowProcW(base_proc, nw, EM_SETPASSWORDCHAR, static_cast<WPARAM>(password), 0);
  CallWindowProcW(base_proc, nw, EM_SETSEL, a, static_cast<LPARAM>(b));
  if (focused) SetFocus(nw);
  DestroyWindow(old);
  if (spin) layout_spin();
  apply_state();
  return true;
}

void edit_box::set_min(double v) {
  if (!spin) return;
  sync_in();
  spin->value.set_min(v);
  sync_out();
}

void edit_box::set_max(double v) {
  if (!spin) return;
  sync_in();
  spin->value.set_max(v);
  sync_out();
}

void edit_box::set_decimals(int v) {
  if (!spin) return;
  sync_in();
  spin->value.set_decimals(v);
  sync_out();
}

void edit_box::set_check_range(bool v) {
  if (!spin) return;
  sync_in();
  spin->value.set_check_range(v);
  sync_out();
}

void edit_box::set_integers_only(bool v) {
  if (!spin) return;
  sync_in();
  spin->value.set_integers_only(v);
  sync_out();
}

void edit_box::glyphs_to_pair() {
  spin_buttons* b = spin && spin->buttons ? spin_buttons_of(spin->buttons) : nullptr;
  if (!b) return;
  b->set_glyph_up_right(spin->ButtonUpGlyph);
  b->set_glyph_down_left(spin->ButtonDownGlyph);
  b->set_num_glyphs_up_right(spin->ButtonUpNumGlyphs);
  b->set_num_glyphs_down_left(spin->ButtonDownNumGlyphs);
}

void edit_box::set_button_up_glyph(HBITMAP g) {
  if (!spin) return;
  if (spin->ButtonUpGlyph) DeleteObject(spin->ButtonUpGlyph);
  spin->ButtonUpGlyph = copy_bitmap(g);
  BITMAP bm = {};
  if (spin->ButtonUpGlyph && GetObjectW(spin->ButtonUpGlyph, sizeof bm, &bm))
    spin->ButtonUpNumGlyphs = num_glyphs_for_strip(bm.bmWidth, bm.bmHeight, spin->ButtonUpNumGlyphs);
  glyphs_to_pair();
}

void edit_box::set_button_down_glyph(HBITMAP g) {
  if (!spin) return;
  if (spin->ButtonDownGlyph) DeleteObject(spin->ButtonDownGlyph);
  spin->ButtonDownGlyph = copy_bitmap(g);
  BITMAP bm = {};
  if (spin->ButtonDownGlyph && GetObjectW(spin->ButtonDownGlyph, sizeof bm, &bm))
    spin->ButtonDownNumGlyphs = num_glyphs_for_strip(bm.bmWidth, bm.bmHeight, spin->ButtonDownNumGlyphs);
  glyphs_to_pair();
}

void edit_box::set_button_up_num_glyphs(int n) {
  if (!spin) return;
  spin->ButtonUpNumGlyphs = n < 1 ? 1 : n > 4 ? 4 : n;
  glyphs_to_pair();
}

void edit_box::set_button_down_num_glyphs(int n) {
  if (!spin) return;
  spin->ButtonDownNumGlyphs = n < 1 ? 1 : n > 4 ? 4 : n;
  glyphs_to_pair();
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
  SendMessageW(hwnd, EM_SETREADONLY, v, 0);  // the window procedure follows up
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
    case fcpParentColor: set_parent_color(s.ParentColor); return true;
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

}  // namespace

LRESULT CALLBACK edit_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  edit_box* e = object_of<edit_box>(h);
  if (m == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    if (g_adopt) {  // a re-created window: the same object
      e = g_adopt;
      e->hwnd = h;
    } else {
      e = new edit_box(h, has_class(h, spin_edit_class));
      e->base_proc = g_edit_base;
      if (!e->spin) e->Alignment = alignment_of_style(cs->style);
    }
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(e));
    SetPropW(h, prop_ours, reinterpret_cast<HANDLE>(1));
    reflect_from_parent(h);
    // Never multi-line, clipping its children, aligned after Alignment (the
    // spin edit starts right aligned). The system edit box reads its style
    // from the creation record.
    LONG st = cs->style & ~static_cast<LONG>(ES_MULTILINE | ES_CENTER | ES_RIGHT);
    st |= alignment_style(e->Alignment);
    cs->style = st | WS_CLIPCHILDREN;
    SetWindowLongPtrW(h, GWL_STYLE, cs->style);
    // The system border (client edge) unless FrameVisible paints the own
    // frame over it; a template edit with default styles is framed too.
    cs->dwExStyle |= WS_EX_CLIENTEDGE;
    SetWindowLongPtrW(h, GWL_EXSTYLE, static_cast<LONG_PTR>(cs->dwExStyle));
  }
  if (!e) return CallWindowProcW(g_edit_base, h, m, w, l);
  WNDPROC base = e->base_proc;
  switch (m) {
    case WM_CREATE: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      if (e->spin) {
        e->spin->value.ReadOnly = (GetWindowLongPtrW(h, GWL_STYLE) & ES_READONLY) != 0;
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
        e->glyphs_to_pair();
        e->layout_spin();
      }
      e->apply_state();
      return r;
    }
    case EM_SETREADONLY: {
      LRESULT r = CallWindowProcW(base, h, m, w, l);
      if (e->spin) {
        e->spin->value.ReadOnly = w != 0;
        e->layout_spin();  // a read-only spin edit hides its buttons
      }
      e->apply_state();
      return r;
    }
    case msg_parent_color_changed:
      e->parent_color_changed();
      return 0;
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

}  // namespace ctl
