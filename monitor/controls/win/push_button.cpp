#include "push_button.h"

#include <uxtheme.h>
#include <vssym32.h>
#include <windowsx.h>

#include <cwctype>
#include <vector>

#include "panel.h"
#include "visual_styles.h"
#include "window_helpers.h"

namespace ctl {

const wchar_t button_class[] = L"SolvantaButton";

namespace {
constexpr UINT msg_recompute_default = 0xB400;

bool can_take_focus(HWND h) { return IsWindowEnabled(h) && IsWindowVisible(h); }

bool modifiers_down() {
  return (GetKeyState(VK_SHIFT) & 0x8000) || (GetKeyState(VK_CONTROL) & 0x8000) || (GetKeyState(VK_MENU) & 0x8000);
}

BOOL CALLBACK collect_button(HWND h, LPARAM l) {
  if (button_of(h)) reinterpret_cast<std::vector<HWND>*>(l)->push_back(h);
  return TRUE;
}

// The dialog keys of the package's push buttons, seen before the dialog
// manager: Enter runs the acts-default button's ordinary click, Escape the
// Cancel button's, and a caption accelerator the ordinary click of its
// button (never a toggle). True when the message was used up.
bool dialog_key(const MSG& msg) {
  bool key = msg.message == WM_KEYDOWN && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE);
  bool chr = msg.message == WM_CHAR || msg.message == WM_SYSCHAR;
  if ((!key && !chr) || !msg.hwnd) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  if (!root) return false;
  // A control that takes the key itself keeps it.
  LRESULT code = SendMessageW(msg.hwnd, WM_GETDLGCODE, msg.wParam, reinterpret_cast<LPARAM>(&msg));
  if (code & (DLGC_WANTALLKEYS | DLGC_WANTMESSAGE)) return false;
  if (msg.message == WM_CHAR && (code & DLGC_WANTCHARS)) return false;
  std::vector<HWND> buttons;
  EnumChildWindows(root, collect_button, reinterpret_cast<LPARAM>(&buttons));
  if (key) {
    if (modifiers_down()) return false;
    bool enter = msg.wParam == VK_RETURN;
    for (HWND h : buttons) {
      push_button* b = button_of(h);
      if (!b || !(enter ? b->acts_default : b->Cancel) || !can_take_focus(h)) continue;
      b->logic.enabled = true;
      return b->logic.dialog_key(enter, !enter, false, b->acts_default, b->Cancel, true);
    }
    return false;
  }
  wchar_t letter = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(msg.wParam & 0xFFFF)));
  if (letter == 0) return false;
  for (HWND h : buttons) {
    push_button* b = button_of(h);
    if (!b || AcceleratorOf(window_text(h)) != letter || !can_take_focus(h)) continue;
    b->logic.enabled = true;
    return b->logic.accelerator(true);
  }
  return false;
}

thread_local HHOOK g_dialog_key_hook = nullptr;

LRESULT CALLBACK dialog_key_hook(int code, WPARAM w, LPARAM l) {
  if (code == MSGF_DIALOGBOX && l && dialog_key(*reinterpret_cast<const MSG*>(l))) return 1;
  return CallNextHookEx(g_dialog_key_hook, code, w, l);
}

}  // namespace

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
    // The parent's background outside the face with its cut corners: the
    // client shrunk by 2, that grown by 1 left and right and shrunk by 1 at
    // top and bottom, and that shrunk by 2 left and right and grown by 2 at
    // top and bottom.
    PaintParentBackground(hwnd, dc, false);
    rect_i f = ShrinkRectSides(r, sdAllSides, 2);
    fill_solid(dc, f, Color);
    fill_solid(dc, {f.left - 1, f.top + 1, f.right + 1, f.bottom - 1}, Color);
    fill_solid(dc, {f.left + 2, f.top - 2, f.right - 2, f.bottom + 2}, Color);
    // The inner ring without its four corner pixels.
    TColor ring = Color == clBtnFace ? LightenColor(clBtnShadow, 30) : DarkenColor(Color, 80);
    rect_i in = ShrinkRectSides(r, sdAllSides, 1);
    fill_solid(dc, {in.left + 1, in.top, in.right - 1, in.top + 1}, ring);
    fill_solid(dc, {in.left + 1, in.bottom - 1, in.right - 1, in.bottom}, ring);
    fill_solid(dc, {in.left, in.top + 1, in.left + 1, in.bottom - 1}, ring);
    fill_solid(dc, {in.right - 1, in.top + 1, in.right, in.bottom - 1}, ring);
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

LRESULT CALLBACK button_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  push_button* b = object_of<push_button>(h);
  if (m == WM_NCCREATE) {
    b = new push_button(h);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(b));
    // The dialog keys of this thread's dialogs pass the package first.
    if (!g_dialog_key_hook)
      g_dialog_key_hook = SetWindowsHookExW(WH_MSGFILTER, dialog_key_hook, nullptr, GetCurrentThreadId());
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
      // Disabling takes the focus away before WM_ENABLE arrives.
      b->focus_lost_to_disable = !w && !IsWindowEnabled(h);
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
      if (!w && (GetFocus() == h || b->focus_lost_to_disable)) {
        b->focus_lost_to_disable = false;
        // The focus moves on to the dialog's next control, also from inside
        // a panel or group box.
        HWND root = GetAncestor(h, GA_ROOT);
        HWND next = root ? GetNextDlgTabItem(root, h, FALSE) : nullptr;
        if (next && next != h) {
          if (GetClassLongPtrW(root, GCL_CBWNDEXTRA) >= DLGWINDOWEXTRA)
            SendMessageW(root, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
          else
            SetFocus(next);
        }
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


}  // namespace ctl
