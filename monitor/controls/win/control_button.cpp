#include "control_button.h"

#include <uxtheme.h>
#include <vssym32.h>
#include <windowsx.h>

#include <vector>

#include "visual_styles.h"
#include "window_helpers.h"

namespace ctl {

const wchar_t spin_buttons_class[] = L"SolvantaSpinButtons";
const wchar_t control_button_class[] = L"SolvantaControlButton";

control_button::~control_button() {
  if (Glyph) DeleteObject(Glyph);
}

void control_button::set_glyph(HBITMAP g) {
  HBITMAP copy = g ? static_cast<HBITMAP>(CopyImage(g, IMAGE_BITMAP, 0, 0, 0)) : nullptr;
  if (Glyph) DeleteObject(Glyph);
  Glyph = copy;
  if (Glyph) {
    BITMAP bm = {};
    if (GetObjectW(Glyph, sizeof bm, &bm)) NumGlyphs = num_glyphs_for_strip(bm.bmWidth, bm.bmHeight, NumGlyphs);
    if (Style != cbsNone) Style = cbsNone;
  }
  if (logic.repaint) logic.repaint();
}

void control_button::set_num_glyphs(int n) {
  NumGlyphs = n < 1 ? 1 : n > 4 ? 4 : n;
  if (logic.repaint) logic.repaint();
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

// The flat themed arrow: a chevron two pixels thick, 9 wide and 5 high,
// centred in the face, pointing in the style's direction (six corners).
void draw_chevron(HDC dc, const rect_i& face, TRzControlButtonStyle style, TColor c) {
  int cx = (face.left + face.right) / 2, cy = (face.top + face.bottom) / 2;
  // Up, as offsets from the centre; the other directions turn it.
  const int up[6][2] = {{-4, 1}, {0, -3}, {4, 1}, {4, 3}, {0, -1}, {-4, 3}};
  POINT pts[6];
  for (int i = 0; i < 6; ++i) {
    int a = up[i][0], b = up[i][1];
    int x = a, y = b;
    if (style == cbsDown || style == cbsDropDown) y = -b;
    else if (style == cbsLeft) { x = b; y = a; }
    else if (style == cbsRight) { x = -b; y = a; }
    pts[i] = POINT{cx + x, cy + y};
  }
  HBRUSH brush = CreateSolidBrush(colorref(c));
  HPEN pen = CreatePen(PS_SOLID, 1, colorref(c));
  HGDIOBJ ob = SelectObject(dc, brush), op = SelectObject(dc, pen);
  Polygon(dc, pts, 6);
  SelectObject(dc, ob);
  SelectObject(dc, op);
  DeleteObject(brush);
  DeleteObject(pen);
}

}  // namespace

// The colour of a flat themed arrow: sampled from the centre of the
// theme's own spin part of that size, cl3DDkShadow when that is close to
// clWindow.
TColor flat_arrow_color(int part, int width, int height) {
  TColor sampled = clWindow;
  if (width > 0 && height > 0) {
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(mem, bmp);
    fill_solid(mem, {0, 0, width, height}, clWindow);
    RECT r{0, 0, width, height};
    draw_theme(L"SPIN", nullptr, mem, part, UPS_NORMAL, r);
    COLORREF px = GetPixel(mem, width / 2, height / 2);
    if (px != CLR_INVALID) sampled = static_cast<TColor>(px);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
  }
  return ColorsAreSimilar(sampled, clWindow) ? cl3DDkShadow : sampled;
}

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
      draw_chevron(dc, rect, Style, enabled ? flat_arrow_color(part, rect.width(), rect.height()) : clBtnShadow);
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
        // The focus goes to the focus control when it can take it, else to
        // the pair itself when that is a tab stop; a refusal abandons the press.
        auto can_take = [](HWND t) {
          return t && (GetWindowLongPtrW(t, GWL_STYLE) & WS_TABSTOP) && IsWindowEnabled(t) && IsWindowVisible(t);
        };
        HWND target = can_take(focus_control) ? focus_control : can_take(hwnd) ? hwnd : nullptr;
        if (target && GetFocus() != target) {
          SetFocus(target);
          if (GetFocus() != target) return true;  // abandoned
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

}  // namespace

namespace {

// The window procedure of a window-less button owner: the object of type T
// lives from WM_NCCREATE to WM_NCDESTROY; `own` takes the messages of the
// owner's kind first (true with *r set when it answered), then the buttons.
template <typename T, typename Own>
LRESULT owner_window_proc(HWND h, UINT m, WPARAM w, LPARAM l, Own own) {
  auto* s = object_of<T>(h);
  if (m == WM_NCCREATE) {
    s = new T(h);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
  }
  if (!s) return DefWindowProcW(h, m, w, l);
  if (m == WM_NCDESTROY) {
    SetWindowLongPtrW(h, GWLP_USERDATA, 0);
    delete s;
    return DefWindowProcW(h, m, w, l);
  }
  LRESULT r = 0;
  if (own(s, &r)) return r;
  if (s->owner.handle(m, w, l, &r)) return r;
  return DefWindowProcW(h, m, w, l);
}

}  // namespace

LRESULT CALLBACK spin_buttons_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return owner_window_proc<spin_pair_window>(h, m, w, l, [&](spin_pair_window* s, LRESULT* r) {
    s->owner.focus_control = s->FocusControl;
    switch (m) {
      case WM_SIZE: s->layout(); return false;
      case WM_GETDLGCODE: *r = DLGC_WANTARROWS; return true;
      case WM_KEYDOWN:
        if (w == VK_UP && s->OnUpRightClick) s->OnUpRightClick();
        else if (w == VK_DOWN && s->OnDownLeftClick) s->OnDownLeftClick();
        *r = 0;
        return true;
      default: return false;
    }
  });
}

LRESULT CALLBACK host_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return owner_window_proc<host_window>(h, m, w, l, [&](host_window* s, LRESULT*) {
    if (m == WM_SIZE) {
      RECT c;
      GetClientRect(h, &c);
      s->button.rect = from_rect(c);
    }
    return false;
  });
}

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

void spin_buttons::set_glyph_up_right(HBITMAP g) {
  up.set_glyph(g);
  layout();
}

void spin_buttons::set_glyph_down_left(HBITMAP g) {
  down.set_glyph(g);
  layout();
}

void spin_buttons::set_num_glyphs_up_right(int n) {
  up.set_num_glyphs(n);
  InvalidateRect(hwnd, nullptr, FALSE);
}

void spin_buttons::set_num_glyphs_down_left(int n) {
  down.set_num_glyphs(n);
  InvalidateRect(hwnd, nullptr, FALSE);
}

void spin_buttons::layout() {
  RECT c;
  GetClientRect(hwnd, &c);
  int w = c.right, h = c.bottom;
  if (up.glyph() == nullptr) up.Style = Direction == sdUpDown ? cbsUp : cbsRight;
  if (down.glyph() == nullptr) down.Style = Direction == sdUpDown ? cbsDown : cbsLeft;
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

}  // namespace ctl
