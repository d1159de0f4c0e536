// The controls gallery: every control of the package in its states, in one
// window. "check" runs the live checks inside the process (pixels through
// PrintWindow against the running system's colours, input through
// SendInput) and saves a picture of the gallery; "show" keeps the gallery up
// for a driver (WM_COPYDATA "next" moves the focus on, "quit" ends it).
//
//   controls_gallery check <themed|classic> <picture.bmp>
//   controls_gallery show
#include <windows.h>
#include <shellapi.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "controls.h"
#include "pixel_dc.h"
#include "dock.h"
#include "visual_styles.h"

using namespace ctl;

namespace {

const wchar_t gallery_class[] = L"SolvantaGallery";
const wchar_t gallery_title[] = L"Controls gallery";
HWND g_main = nullptr;
HFONT g_font = nullptr;
int g_clicks[1000] = {};
std::vector<DWORD> g_spin_clicks;

enum ids {
  id_edit = 100, id_edit_focus, id_edit_disabled, id_edit_readonly, id_edit_flat, id_edit_hot,
  id_spin = 200, id_spin_disabled, id_spin_readonly,
  id_button_default = 300, id_button, id_button_disabled, id_toggle1, id_toggle2, id_button_hot,
  id_cb_up = 400, id_cb_down, id_cb_left, id_cb_right, id_cb_glyph, id_cb_drop, id_cb_flat,
  id_panel_raised = 500, id_panel_lowered, id_panel_flat, id_panel_gradient, id_panel_transparent,
  id_panel_bottom, id_panel_status,
  id_button_pressed = 310, id_button_hotstate, id_button_focus_classic,
  id_cb_pressed = 410, id_cb_hot,
  id_dock_site = 550, id_controlled_panel, id_panel_office, id_button_raised, id_button_shadow,
  id_group = 600,  // + style
  id_group_children = 620, id_child_on, id_child_off,
};

HWND make(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
          HWND parent = nullptr, DWORD ex = 0) {
  HWND hw = CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent ? parent : g_main,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (hw) SendMessageW(hw, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
  return hw;
}

HWND item(int id) { return GetDlgItem(g_main, id); }

HBITMAP make_glyph_strip() {
  // Four 16 x 16 images: normal (blue), disabled (grey), pressed (red), spare.
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 64, 16);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(mem, bmp);
  fill_solid(mem, {0, 0, 64, 16}, rgb(255, 0, 255));
  const TColor c[4] = {rgb(0, 0, 200), rgb(128, 128, 128), rgb(200, 0, 0), rgb(0, 150, 0)};
  for (int i = 0; i < 4; ++i) fill_solid(mem, {i * 16 + 4, 3, i * 16 + 12, 13}, c[i]);
  SelectObject(mem, old);
  DeleteDC(mem);
  return bmp;
}

void build() {
  int y = 10;
  make(L"STATIC", L"Edits: normal, focused, disabled, read-only, flat frame, hot-track frame", 0, 10, y, 600, 16, 1);
  y += 20;
  make(edit_class, L"normal", WS_TABSTOP, 10, y, 120, 22, id_edit, nullptr, WS_EX_CLIENTEDGE);
  make(edit_class, L"focused", WS_TABSTOP, 140, y, 120, 22, id_edit_focus, nullptr, WS_EX_CLIENTEDGE);
  make(edit_class, L"disabled", WS_TABSTOP | WS_DISABLED, 270, y, 120, 22, id_edit_disabled, nullptr, WS_EX_CLIENTEDGE);
  make(edit_class, L"read-only", WS_TABSTOP | ES_READONLY, 400, y, 120, 22, id_edit_readonly, nullptr, WS_EX_CLIENTEDGE);
  HWND flat = make(edit_class, L"flat frame", WS_TABSTOP, 530, y, 120, 22, id_edit_flat);
  if (edit_box* e = edit_of(flat)) {
    e->FramingPreference = fpCustomFraming;
    e->set_frame_visible(true);
  }
  HWND hot = make(edit_class, L"hot-track", WS_TABSTOP, 660, y, 120, 22, id_edit_hot);
  if (edit_box* e = edit_of(hot)) {
    e->FramingPreference = fpCustomFraming;
    e->set_frame_hot_track(true);
  }
  y += 34;
  make(L"STATIC", L"Spin edits: 0..365 with key edit, disabled, read-only", 0, 10, y, 600, 16, 2);
  y += 20;
  HWND spin = make(spin_edit_class, L"0", WS_TABSTOP, 10, y, 80, 22, id_spin, nullptr, WS_EX_CLIENTEDGE);
  if (edit_box* e = edit_of(spin)) {
    e->spin->value.AllowKeyEdit = true;
    e->spin->value.set_max(365);
    spin_buttons* b = spin_buttons_of(e->spin->buttons);
    if (b) {
      auto up = b->OnUpRightClick;
      b->OnUpRightClick = [up] { g_spin_clicks.push_back(GetTickCount()); up(); };
    }
  }
  make(spin_edit_class, L"5", WS_TABSTOP | WS_DISABLED, 100, y, 80, 22, id_spin_disabled, nullptr, WS_EX_CLIENTEDGE);
  HWND ro = make(spin_edit_class, L"7", WS_TABSTOP, 190, y, 80, 22, id_spin_readonly, nullptr, WS_EX_CLIENTEDGE);
  if (edit_box* e = edit_of(ro)) e->set_read_only(true);
  y += 34;
  make(L"STATIC", L"Push buttons: default, normal, disabled, toggle group, hot-track", 0, 10, y, 600, 16, 3);
  y += 20;
  make(button_class, L"Default", WS_TABSTOP | BS_DEFPUSHBUTTON, 10, y, 75, 25, id_button_default);
  make(button_class, L"&Normal", WS_TABSTOP, 95, y, 75, 25, id_button);
  make(button_class, L"Disabled", WS_TABSTOP | WS_DISABLED, 180, y, 75, 25, id_button_disabled);
  HWND t1 = make(button_class, L"Toggle 1", WS_TABSTOP, 265, y, 75, 25, id_toggle1);
  HWND t2 = make(button_class, L"Toggle 2", WS_TABSTOP, 350, y, 75, 25, id_toggle2);
  button_of(t1)->logic.set_group_index(1);
  button_of(t2)->logic.set_group_index(1);
  button_of(t1)->logic.set_down(true);
  HWND bh = make(button_class, L"Hot track", WS_TABSTOP, 435, y, 75, 25, id_button_hot);
  button_of(bh)->HotTrack = true;
  // States the picture shows without a mouse: pressed and hot.
  HWND bp = make(button_class, L"Pressed", WS_TABSTOP, 520, y, 75, 25, id_button_pressed);
  button_of(bp)->logic.pressed = true;
  HWND bo = make(button_class, L"Hot", WS_TABSTOP, 605, y, 75, 25, id_button_hotstate);
  button_of(bo)->logic.mouse_over = true;
  HWND braised = make(button_class, L"Raised", WS_TABSTOP, 690, y, 55, 25, id_button_raised);
  button_of(braised)->TextStyle = push_button::tsRaised;
  HWND bshadow = make(button_class, L"Shadow", WS_TABSTOP, 750, y, 55, 25, id_button_shadow);
  button_of(bshadow)->TextStyle = push_button::tsShadow;
  y += 37;
  make(L"STATIC", L"Control buttons: arrows, glyph strip, drop-down, flat", 0, 10, y, 600, 16, 4);
  y += 20;
  const TRzControlButtonStyle styles[] = {cbsUp, cbsDown, cbsLeft, cbsRight};
  for (int i = 0; i < 4; ++i) {
    HWND c = make(control_button_class, nullptr, 0, 10 + i * 25, y, 17, 21, id_cb_up + i);
    control_button_of(c)->Style = styles[i];
  }
  HWND g = make(control_button_class, nullptr, 0, 110, y, 24, 21, id_cb_glyph);
  HBITMAP strip = make_glyph_strip();
  control_button_of(g)->set_glyph(strip);  // the button keeps its own copy
  DeleteObject(strip);
  HWND d = make(control_button_class, nullptr, 0, 145, y, 17, 21, id_cb_drop);
  control_button_of(d)->Style = cbsDropDown;
  HWND f = make(control_button_class, nullptr, 0, 170, y, 17, 21, id_cb_flat);
  control_button_of(f)->Style = cbsDown;
  control_button_of(f)->logic.Flat = true;
  HWND cp = make(control_button_class, nullptr, 0, 195, y, 17, 21, id_cb_pressed);
  control_button_of(cp)->Style = cbsUp;
  control_button_of(cp)->logic.pressed = true;
  HWND ch = make(control_button_class, nullptr, 0, 220, y, 17, 21, id_cb_hot);
  control_button_of(ch)->Style = cbsUp;
  control_button_of(ch)->logic.hot = true;
  // A dock site's grabbers over two pretend clients: caption and plain.
  HWND dock = make(panel_class, nullptr, 0, 260, y - 6, 300, 34, id_dock_site);
  panel_of(dock)->BorderOuter = fsNone;
  panel_of(dock)->Color = clWindow;
  panel_of(dock)->OnPaint = [](HDC dc) {
    static dock_fonts fonts;
    PaintDockGrabber(dc, fonts, {0, 16, 150, 34}, alNone, L"Docked client", true, true, true);
    PaintDockGrabber(dc, fonts, {170, 16, 300, 34}, alNone, L"", true, false, false);
  };
  y += 32;
  make(L"STATIC", L"Panels: raised, lowered, flat with caption, gradient with a transparent child, bottom-aligned, status", 0, 10, y, 760, 16, 5);
  y += 20;
  make(panel_class, L"raised", 0, 10, y, 100, 60, id_panel_raised);
  HWND lowered = make(panel_class, L"lowered", 0, 120, y, 100, 60, id_panel_lowered);
  panel_of(lowered)->BorderOuter = fsLowered;
  HWND pf = make(panel_class, L"flat", 0, 230, y, 100, 60, id_panel_flat);
  panel_of(pf)->BorderOuter = fsFlatRounded;
  HWND grad = make(panel_class, nullptr, 0, 340, y, 160, 60, id_panel_gradient);
  panel_of(grad)->BorderOuter = fsNone;
  panel_of(grad)->VisualStyle = vsGradient;
  panel_of(grad)->GradientColorStyle = gcsCustom;
  panel_of(grad)->GradientColorStart = rgb(255, 255, 255);
  panel_of(grad)->GradientColorStop = rgb(40, 90, 200);
  HWND tr = make(panel_class, L"transparent", 0, 30, 10, 100, 40, id_panel_transparent, grad);
  panel_of(tr)->BorderOuter = fsNone;
  panel_of(tr)->set_transparent(true);
  HWND bottom = make(panel_class, L"bottom", 0, 510, y, 100, 40, id_panel_bottom);
  panel_of(bottom)->Align = alBottom;
  HWND status = make(panel_class, L"status", 0, 620, y, 100, 60, id_panel_status);
  panel_of(status)->BorderOuter = fsStatus;
  panel_of(status)->BevelWidth = 2;
  HWND office = make(panel_class, L"scheme", 0, 730, y, 80, 60, id_panel_office);
  panel_of(office)->BorderOuter = fsNone;
  panel_of(office)->VisualStyle = vsGradient;
  panel_of(office)->GradientColorStyle = gcsMSOffice;
  y += 72;
  make(L"STATIC", L"Group boxes: standard, custom, top line, flat, banner, underline; a disabled box with a disabled child", 0, 10, y, 760, 16, 6);
  y += 20;
  const wchar_t* names[] = {L"Standard", L"Custom", L"Top line", L"Flat", L"Banner", L"Underline"};
  for (int i = 0; i < 6; ++i) {
    HWND b = make(group_box_class, names[i], 0, 10 + i * 125, y, 115, 70, id_group + i);
    panel_of(b)->GroupStyle = static_cast<TRzGroupBoxStyle>(i);
    if (i == gsCustom) panel_of(b)->BorderOuter = fsGroove;
  }
  y += 80;
  HWND gb = make(group_box_class, L"Enabled memory", 0, 10, y, 300, 80, id_group_children);
  make(edit_class, L"enabled child", WS_TABSTOP, 10, 24, 130, 22, id_child_on, gb, WS_EX_CLIENTEDGE);
  make(edit_class, L"disabled child", WS_TABSTOP | WS_DISABLED, 150, 24, 130, 22, id_child_off, gb, WS_EX_CLIENTEDGE);
  HWND empty = make(group_box_class, nullptr, 0, 330, y, 353, 80, id_group + 10);
  (void)empty;
  HWND cpan = make(panel_class, L"controlled", 0, 700, y, 100, 80, id_controlled_panel);
  (void)cpan;
}

LRESULT CALLBACK main_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_COMMAND:
      if (HIWORD(w) == BN_CLICKED && LOWORD(w) < 1000) ++g_clicks[LOWORD(w)];
      return 0;
    case WM_COPYDATA: {
      auto* cds = reinterpret_cast<COPYDATASTRUCT*>(l);
      std::wstring text(static_cast<const wchar_t*>(cds->lpData), cds->cbData / sizeof(wchar_t));
      if (text.find(L"next") == 0) SetFocus(item(id_button));
      if (text.find(L"quit") == 0) PostMessageW(h, WM_CLOSE, 0, 0);
      return 1;
    }
    case WM_CLOSE: DestroyWindow(h); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(h, m, w, l);
  }
}

// ------------------------------------------------------------- checks
int g_pass = 0, g_fail = 0;

void check(bool ok, const char* name, const std::string& detail = "") {
  if (ok) ++g_pass;
  else ++g_fail;
  std::printf("%s %s%s%s\n", ok ? "ok" : "FAIL", name, detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
}

std::string hex(TColor c) {
  char b[16];
  std::snprintf(b, sizeof b, "%06X", static_cast<unsigned>(c));
  return b;
}

void pump(DWORD ms) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!IsDialogMessageW(g_main, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

bool pump_until(const std::function<bool()>& pred, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    pump(5);
    if (pred()) return true;
    if (GetTickCount() - start >= ms) return false;
  }
}


// A window's client area as PrintWindow paints it (the whole window from
// its window DC).
struct capture {
  int w = 0, h = 0;
  std::vector<DWORD> px;
  explicit capture(HWND hw, bool client_only = true) {
    RECT r;
    if (client_only) GetClientRect(hw, &r);
    else {
      GetWindowRect(hw, &r);
      OffsetRect(&r, -r.left, -r.top);
    }
    w = r.right;
    h = r.bottom;
    ctl_test::pixel_dc d(w, h);
    HDC mem = d.dc();
    if (client_only) {
      PrintWindow(hw, mem, PW_CLIENTONLY);
    } else {
      // Wine's PrintWindow leaves out the frame and the children: the
      // whole window comes from its window DC once it has painted.
      RedrawWindow(hw, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
      pump(100);
      HDC wdc = GetWindowDC(hw);
      BitBlt(mem, 0, 0, w, h, wdc, 0, 0, SRCCOPY);
      ReleaseDC(hw, wdc);
    }
    GdiFlush();
    px.assign(d.bits(), d.bits() + w * h);
  }
  TColor at(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return clNone;
    return ctl_test::from_dib(px[static_cast<size_t>(y * w + x)]);
  }
  bool save(const char* path) const {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    int row = (w * 3 + 3) & ~3;
    BITMAPFILEHEADER fh = {};
    BITMAPINFOHEADER ih = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + static_cast<DWORD>(row * h);
    ih.biSize = sizeof ih;
    ih.biWidth = w;
    ih.biHeight = h;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    std::fwrite(&fh, sizeof fh, 1, f);
    std::fwrite(&ih, sizeof ih, 1, f);
    std::vector<unsigned char> line(static_cast<size_t>(row), 0);
    for (int y = h - 1; y >= 0; --y) {
      for (int x = 0; x < w; ++x) {
        DWORD v = px[static_cast<size_t>(y * w + x)];
        line[static_cast<size_t>(x * 3)] = static_cast<unsigned char>(v & 0xFF);
        line[static_cast<size_t>(x * 3 + 1)] = static_cast<unsigned char>((v >> 8) & 0xFF);
        line[static_cast<size_t>(x * 3 + 2)] = static_cast<unsigned char>((v >> 16) & 0xFF);
      }
      std::fwrite(line.data(), 1, line.size(), f);
    }
    std::fclose(f);
    return true;
  }
};

TColor sys(int index) { return static_cast<TColor>(GetSysColor(index)); }

void check_edit_colours() {
  HWND e = item(id_edit);
  SetFocus(item(id_button));
  pump(50);
  capture a(e);
  TColor unfocused = a.at(a.w - 3, a.h - 3);
  check(unfocused == sys(COLOR_WINDOW), "edit background unfocused is clWindow", hex(unfocused) + " vs " + hex(sys(COLOR_WINDOW)));
  SetFocus(e);
  pump(50);
  capture b(e);
  TColor focused = b.at(b.w - 3, b.h - 3);
  check(focused == sys(COLOR_WINDOW), "edit background focused is clWindow", hex(focused));
  capture c(item(id_edit_disabled));
  TColor disabled = c.at(c.w - 3, c.h - 3);
  check(disabled == sys(COLOR_BTNFACE), "disabled edit background is clBtnFace", hex(disabled) + " vs " + hex(sys(COLOR_BTNFACE)));
  capture d(item(id_edit_readonly));
  TColor ro = d.at(d.w - 3, d.h - 3);
  check(ro == sys(COLOR_INFOBK), "read-only edit background is clInfoBk", hex(ro) + " vs " + hex(sys(COLOR_INFOBK)));
  // The own flat frame (custom framing): a ring in clBtnShadow, then the background.
  HWND f = item(id_edit_flat);
  capture w(f, false);
  check(w.at(0, w.h / 2) == sys(COLOR_BTNSHADOW) && w.at(1, w.h / 2) == sys(COLOR_WINDOW),
        "flat edit frame is clBtnShadow then clWindow", hex(w.at(0, w.h / 2)) + " " + hex(w.at(1, w.h / 2)));
}

int text_h(HWND hw, const wchar_t* s) {
  HDC dc = GetDC(hw);
  HGDIOBJ old = SelectObject(dc, g_font);
  SIZE sz{0, 0};
  GetTextExtentPoint32W(dc, s, lstrlenW(s), &sz);
  SelectObject(dc, old);
  ReleaseDC(hw, dc);
  return sz.cy;
}

void check_group_box(bool themed) {
  HWND g = item(id_group + 10);  // gsFlat, empty caption, like the PIN dialog's box
  capture c(g);
  int W = c.w, H = c.h;
  int h2 = text_h(g, L"Pp") / 2 - 1;
  int hy = text_h(g, L"Yy");
  rect_i area = panel_of(g)->child_area();
  check(area == (rect_i{1, hy + 1, W - 1, H - 1}), "flat group box child area",
        std::to_string(area.left) + "," + std::to_string(area.top) + "," + std::to_string(area.right) + "," +
            std::to_string(area.bottom) + " h " + std::to_string(hy));
  TColor face = sys(COLOR_BTNFACE);
  if (!themed) {
    TColor F = LightenColor(sys(COLOR_BTNSHADOW), 30);
    struct px { int x, y; bool frame; } table[] = {
        {0, h2, false}, {1, h2, false}, {2, h2, true}, {W / 2, h2, true}, {W - 3, h2, true}, {W - 1, h2, false},
        {1, h2 + 1, true}, {0, h2 + 2, true}, {0, (h2 + H) / 2, true}, {W - 1, (h2 + H) / 2, true},
        {W - 2, H - 2, true}, {W - 1, H - 1, false}, {W / 2, H - 1, true}, {W / 2, h2 - 1, false},
        {W / 2, (h2 + H) / 2, false}, {1, (h2 + H) / 2, false}};
    bool all = true;
    std::string bad;
    for (const px& p : table) {
      TColor want = p.frame ? F : face;
      if (c.at(p.x, p.y) != want) {
        all = false;
        bad += "(" + std::to_string(p.x) + "," + std::to_string(p.y) + ")=" + hex(c.at(p.x, p.y)) + " ";
      }
    }
    check(all, "gsFlat group box without visual styles: cut-corner ring in clBtnShadow lightened by 30", bad + "F=" + hex(F));
  } else {
    // The theme's group-box element over (0, h2, W, H), drawn here the same way.
    ctl_test::pixel_dc d(W, H);
    HDC mem = d.dc();
    fill_solid(mem, {0, 0, W, H}, face);
    HTHEME t = OpenThemeData(g, L"BUTTON");
    RECT r{0, h2, W, H};
    if (t) {
      DrawThemeBackground(t, mem, BP_GROUPBOX, GBS_NORMAL, &r, nullptr);
      CloseThemeData(t);
    }
    GdiFlush();
    auto want = [&](int x, int y) { return d.at(x, y); };
    bool same = true, drawn = false;
    std::string bad;
    for (int i = 0; i < 4; ++i) {
      int pts[4][2] = {{W / 2, h2 + i}, {i, (h2 + H) / 2}, {W - 1 - i, (h2 + H) / 2}, {W / 2, H - 1 - i}};
      for (auto& p : pts) {
        if (c.at(p[0], p[1]) != want(p[0], p[1])) {
          same = false;
          bad += "(" + std::to_string(p[0]) + "," + std::to_string(p[1]) + ") ";
        }
        if (want(p[0], p[1]) != face) drawn = true;
      }
    }
    check(t != nullptr && same && drawn, "themed group box is the theme's group-box element", bad);
  }
}

void check_panels() {
  // A transparent panel shows its parent's gradient under itself.
  HWND grad = item(id_panel_gradient);
  HWND tr = GetDlgItem(grad, id_panel_transparent);
  RECT gr;
  GetClientRect(grad, &gr);
  ctl_test::pixel_dc d(gr.right, gr.bottom);
  HDC mem = d.dc();
  PaintGradient(mem, from_rect(gr), gdHorizontalEnd, rgb(40, 90, 200), rgb(255, 255, 255));
  GdiFlush();
  capture c(tr);
  POINT off{0, 0};
  MapWindowPoints(tr, grad, &off, 1);
  bool same = true, varies = false;
  std::string bad;
  TColor first = clNone;
  for (int y : {1, c.h / 2, c.h - 2})
    for (int x : {c.w - 2}) {
      TColor want = d.at(x + off.x, y + off.y);
      if (c.at(x, y) != want) {
        same = false;
        bad += hex(c.at(x, y)) + " vs " + hex(want) + " ";
      }
      if (first == clNone) first = want;
      else if (want != first) varies = true;
    }
  check(same && varies, "transparent panel shows the parent's gradient", bad);

  // A bottom-aligned panel grows upwards.
  HWND b = item(id_panel_bottom);
  RECT before, after;
  GetWindowRect(b, &before);
  SetWindowPos(b, nullptr, 0, 0, before.right - before.left, before.bottom - before.top + 20,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  GetWindowRect(b, &after);
  check(after.bottom == before.bottom && after.top == before.top - 20, "bottom-aligned panel grows upwards",
        std::to_string(before.top) + ".." + std::to_string(before.bottom) + " -> " + std::to_string(after.top) + ".." +
            std::to_string(after.bottom));

  // A disabled group box re-enabled keeps its disabled child disabled.
  HWND gb = item(id_group_children);
  HWND on = GetDlgItem(gb, id_child_on), off_child = GetDlgItem(gb, id_child_off);
  EnableWindow(gb, FALSE);
  bool both_off = !IsWindowEnabled(on) && !IsWindowEnabled(off_child);
  EnableWindow(gb, TRUE);
  check(both_off && IsWindowEnabled(on) && !IsWindowEnabled(off_child),
        "re-enabled group box leaves its disabled child disabled");
}

void check_dock_and_controller() {
  capture c(item(id_dock_site));
  // The grabber of {0, 16, 150, 34}: (0, 2, 150, 16); between its caption and its close box.
  check(c.at(120, 9) == sys(COLOR_ACTIVECAPTION) && c.at(120, 1) == sys(COLOR_WINDOW),
        "dock grabber of a focused client in clActiveCaption, above it the site",
        hex(c.at(120, 9)) + " " + hex(c.at(120, 1)) + " vs " + hex(sys(COLOR_ACTIVECAPTION)));
  // A frame controller pushes its look into a registered panel.
  static frame_controller fc;
  panel* p = panel_of(item(id_controlled_panel));
  fc.BeginUpdate();
  fc.set_FrameVisible(true);
  fc.set_FrameStyle(fsFlat);
  fc.set_FrameColor(rgb(200, 0, 0));
  fc.set_Color(rgb(255, 255, 200));
  fc.EndUpdate();
  p->set_frame_controller(&fc);
  UpdateWindow(item(id_controlled_panel));
  capture q(item(id_controlled_panel));
  check(p->BorderOuter == fsFlat && q.at(0, q.h / 2) == rgb(200, 0, 0) && q.at(5, 5) == rgb(255, 255, 200),
        "frame controller pushes style, frame colour and colour into a panel",
        hex(q.at(0, q.h / 2)) + " " + hex(q.at(5, 5)));
  // ... and, property by property, into an edit with its own frame.
  HWND fe = item(id_edit_flat);
  edit_box* e = edit_of(fe);
  e->FrameControllerNotifications = fc_bit(fcpFrameColor) | fc_bit(fcpFrameStyle);
  e->set_frame_controller(&fc);
  capture w(fe, false);
  check(e->FrameColor == rgb(200, 0, 0) && e->colors.normal == clWindow && w.at(0, w.h / 2) == rgb(200, 0, 0),
        "frame controller pushes only the notified settings into an edit", hex(w.at(0, w.h / 2)));
  fc.set_FrameColor(clBtnShadow);
  e->set_frame_controller(nullptr);
  p->set_frame_controller(nullptr);
}

// Every mouse move this thread takes from its queue: SendInput moves reach
// the windows asynchronously, and the pointer under Wine's X11 driver may
// report an older place once more; a move counts once it has settled.
POINT g_last_pt{-1, -1};
DWORD g_last_move = 0;
LRESULT CALLBACK move_hook(int code, WPARAM w, LPARAM l) {
  if (code >= 0 && w == PM_REMOVE) {
    const MSG* m = reinterpret_cast<const MSG*>(l);
    if (m->message == WM_MOUSEMOVE) {
      g_last_pt = m->pt;
      g_last_move = GetTickCount();
    }
    if (getenv("GALLERY_TRACE") && m->message >= WM_MOUSEFIRST && m->message <= WM_MOUSELAST)
      std::printf("trace %p msg %04x at %ld,%ld\n", static_cast<void*>(m->hwnd), m->message, m->pt.x, m->pt.y);
  }
  return CallNextHookEx(nullptr, code, w, l);
}

void check_scheme_and_captions(bool themed) {
  capture c(item(id_panel_office));
  TColor top = c.at(2, 0), bottom = c.at(2, c.h - 1);
  TColor want_top = themed ? scheme_colors(0).light : sys(COLOR_WINDOW);
  TColor want_bottom = themed ? scheme_colors(0).dark : DarkenColor(sys(COLOR_BTNFACE), 10);
  check(current_color_scheme() == 0 && top == want_top && bottom == want_bottom,
        "an MS Office gradient takes the scheme pair with visual styles, else clWindow to clBtnFace",
        hex(top) + ".." + hex(bottom) + " vs " + hex(want_top) + ".." + hex(want_bottom));
  auto has = [](const capture& k, TColor want) {
    for (int y = 0; y < k.h; ++y)
      for (int x = 0; x < k.w; ++x)
        if (k.at(x, y) == want) return true;
    return false;
  };
  capture d(item(id_button_disabled));
  check(has(d, sys(COLOR_GRAYTEXT)) && !has(d, sys(COLOR_BTNTEXT)), "a disabled button's caption is clGrayText");
  capture sh(item(id_button_shadow));
  check(has(sh, sys(COLOR_BTNSHADOW)) && has(sh, sys(COLOR_BTNTEXT)), "a shadowed caption has its clBtnShadow copy");
}

void send_key(WORD vk, bool up) {
  INPUT in = {};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  SendInput(1, &in, sizeof in);
}

void tap(WORD vk) {
  send_key(vk, false);
  send_key(vk, true);
}

void type_text(const wchar_t* s) {
  for (; *s; ++s) {
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wScan = in[1].ki.wScan = *s;
    in[0].ki.dwFlags = KEYEVENTF_UNICODE;
    in[1].ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
  }
}

void send_move(POINT p);

// Moves the pointer to (x, y) of the window and waits until the move has
// reached the queue and no other move followed it for 100 ms.
bool mouse_to(HWND hw, int x, int y) {
  POINT p{x, y};
  ClientToScreen(hw, &p);
  for (int attempt = 0; attempt < 3; ++attempt) {
    send_move(p);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 1500) {
      pump(10);
      if (g_last_pt.x == p.x && g_last_pt.y == p.y && GetTickCount() - g_last_move >= 100) return true;
    }
  }
  std::printf("note: the pointer did not settle at %ld,%ld\n", p.x, p.y);
  return false;
}

void send_move(POINT p) {
  // Absolute input maps dx to dx * width / 65536: round up to land on p.
  int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
  INPUT in = {};
  in.type = INPUT_MOUSE;
  in.mi.dx = static_cast<LONG>((static_cast<long long>(p.x) * 65536 + cx - 1) / cx);
  in.mi.dy = static_cast<LONG>((static_cast<long long>(p.y) * 65536 + cy - 1) / cy);
  in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &in, sizeof in);
}

void mouse_button(bool down) {
  INPUT in = {};
  in.type = INPUT_MOUSE;
  in.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
  SendInput(1, &in, sizeof in);
}

void wheel(int delta) {
  INPUT in = {};
  in.type = INPUT_MOUSE;
  in.mi.dwFlags = MOUSEEVENTF_WHEEL;
  in.mi.mouseData = static_cast<DWORD>(delta);
  SendInput(1, &in, sizeof in);
}

std::wstring text_of(HWND hw) {
  wchar_t b[256] = {};
  GetWindowTextW(hw, b, 256);
  return b;
}

std::string narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
  return s;
}

bool text_is(HWND hw, const wchar_t* want) {  // evaluated before the detail text

  return pump_until([&] { return text_of(hw) == want; }, 3000);
}

void check_spin_input() {
  HWND s = item(id_spin);
  SetForegroundWindow(g_main);
  SetFocus(s);
  pump(50);
  SendMessageW(s, EM_SETSEL, 0, -1);
  type_text(L"400");
  { bool ok_ = text_is(s, L"400"); check(ok_, "typing 400 into the spin edit", narrow(text_of(s))); }
  tap(VK_TAB);  // the focus leaves: clamped to Max
  { bool ok_ = text_is(s, L"365"); check(ok_, "400 becomes 365 when the focus leaves", narrow(text_of(s))); }
  check(pump_until([&] { return GetFocus() != s; }, 2000), "Tab moved the focus on");
  SetFocus(s);
  pump(30);
  tap(VK_UP);
  pump(100);
  { bool ok_ = text_is(s, L"365"); check(ok_, "Up at 365 stays 365", narrow(text_of(s))); }
  tap(VK_DOWN);
  { bool ok_ = text_is(s, L"364"); check(ok_, "Down steps by 1", narrow(text_of(s))); }
  tap(VK_NEXT);
  { bool ok_ = text_is(s, L"354"); check(ok_, "Page Down steps by 10", narrow(text_of(s))); }
  tap(VK_PRIOR);
  { bool ok_ = text_is(s, L"364"); check(ok_, "Page Up steps by 10", narrow(text_of(s))); }
  RECT r;
  GetClientRect(s, &r);
  mouse_to(s, 10, r.bottom / 2);
  wheel(-WHEEL_DELTA);
  { bool ok_ = text_is(s, L"363"); check(ok_, "the wheel steps down", narrow(text_of(s))); }
  wheel(WHEEL_DELTA);
  { bool ok_ = text_is(s, L"364"); check(ok_, "the wheel steps up", narrow(text_of(s))); }
  check((GetWindowLongPtrW(s, GWL_STYLE) & ES_RIGHT) != 0, "the spin edit is right aligned");
  // Characters the filter refuses leave the text alone.
  SendMessageW(s, EM_SETSEL, 1, 1);
  type_text(L"-x");
  pump(100);
  check(text_of(s) == L"364", "minus mid-text and letters are refused", narrow(text_of(s)));
}

void check_button_input() {
  HWND b = item(id_button);
  RECT r;
  GetClientRect(b, &r);
  int before = g_clicks[id_button];
  mouse_to(b, r.right / 2, r.bottom / 2);
  mouse_button(true);
  pump_until([&] { return button_of(b)->logic.pressed; }, 2000);
  mouse_to(b, r.right + 30, r.bottom / 2);
  pump_until([&] { return !button_of(b)->logic.pressed; }, 2000);
  mouse_button(false);
  pump(150);
  check(g_clicks[id_button] == before, "press, drag off, release: no click");
  mouse_to(b, r.right / 2, r.bottom / 2);
  mouse_button(true);
  pump_until([&] { return button_of(b)->logic.pressed; }, 2000);
  mouse_to(b, r.right + 30, r.bottom / 2);
  pump_until([&] { return !button_of(b)->logic.pressed; }, 2000);
  mouse_to(b, r.right / 2, r.bottom / 2);
  bool back = pump_until([&] { return button_of(b)->logic.pressed; }, 2000);
  mouse_button(false);
  pump_until([&] { return g_clicks[id_button] > before; }, 2000);
  check(back && g_clicks[id_button] == before + 1, "dragging back in before release clicks once",
        std::string(back ? "back in" : "not back in") + ", clicks " + std::to_string(g_clicks[id_button] - before));
  // Space held shows the button pushed; the release clicks once.
  SetFocus(b);
  pump(30);
  send_key(VK_SPACE, false);
  bool pushed = pump_until([&] { return button_of(b)->logic.pressed; }, 2000);
  send_key(VK_SPACE, true);
  pump_until([&] { return g_clicks[id_button] > before + 1; }, 2000);
  pump(100);
  check(pushed && g_clicks[id_button] == before + 2, "space held then released clicks once",
        std::string(pushed ? "pushed" : "not pushed") + ", clicks " + std::to_string(g_clicks[id_button] - before));
  // Default tracking: the focused push button acts as the default; on an
  // edit, the button with Default does.
  push_button* def = button_of(item(id_button_default));
  bool focused_acts = button_of(b)->acts_default && !def->acts_default;
  SetFocus(item(id_edit));
  pump_until([&] { return def->acts_default && !button_of(b)->acts_default; }, 2000);
  check(focused_acts && def->acts_default && !button_of(b)->acts_default,
        "the focused button acts as default, else the Default one");
  // The toggle group: the last down button stays down.
  HWND t1 = item(id_toggle1), t2 = item(id_toggle2);
  SendMessageW(t1, BM_CLICK, 0, 0);
  check(button_of(t1)->logic.down(), "the last down toggle stays down");
  SendMessageW(t2, BM_CLICK, 0, 0);
  check(button_of(t2)->logic.down() && !button_of(t1)->logic.down(), "a toggle going down raises the other");
}

void check_repeat() {
  HWND s = item(id_spin);
  edit_box* e = edit_of(s);
  SetFocus(item(id_button));
  pump(30);
  SetWindowTextW(s, L"0");
  g_spin_clicks.clear();
  HWND pair = e->spin->buttons;
  RECT r;
  GetClientRect(pair, &r);
  mouse_to(pair, r.right / 2, r.bottom / 4);
  pump(50);
  mouse_button(true);
  DWORD t0 = GetTickCount();
  bool got = pump_until([] { return g_spin_clicks.size() >= 4; }, 4000);
  size_t held = g_spin_clicks.size();
  mouse_button(false);
  pump_until([&] { return g_spin_clicks.size() > held; }, 2000);
  pump(300);
  size_t n = g_spin_clicks.size();
  std::string times;
  for (DWORD t : g_spin_clicks) times += std::to_string(static_cast<long>(t - t0)) + " ";
  // Timers never fire early; a loaded machine may make them late, so the
  // upper bounds are loose, and the repeats must come faster than the first.
  bool first_ok = got && g_spin_clicks[0] - t0 >= 350 && g_spin_clicks[0] - t0 <= 1500;
  bool gaps_ok = got && held >= 2;
  for (size_t i = 1; got && i < held; ++i) {
    DWORD gap = g_spin_clicks[i] - g_spin_clicks[i - 1];
    if (gap < 80 || gap > 600 || gap >= g_spin_clicks[0] - t0) gaps_ok = false;
  }
  check(first_ok, "first repeat about 400 ms after the press", times);
  check(gaps_ok, "repeats every 100 ms while held", times);
  check(n == held + 1, "the release inside adds one click", times);
  check(GetFocus() == s, "pressing a spin button focuses its spin edit");
  check(text_of(s) == std::to_wstring(n), "each click stepped the value", narrow(text_of(s)));
  check(e->integer_value() == static_cast<int>(n), "the integer view reads the spin edit");
  e->set_integer_value(1000);  // clamped to Max
  check(text_of(s) == L"365", "the integer view writes through the clamp", narrow(text_of(s)));
}

// ------------------------------------------------ a dialog from a template
HWND g_dlg = nullptr;
std::vector<int> g_dlg_commands;

INT_PTR CALLBACK dlg_proc(HWND h, UINT m, WPARAM w, LPARAM) {
  switch (m) {
    case WM_INITDIALOG: {
      g_dlg = h;
      SendDlgItemMessageW(h, 11, EM_LIMITTEXT, 24, 0);
      push_button* cancel = button_of(GetDlgItem(h, 2));
      if (cancel) {
        cancel->Cancel = true;
        cancel->ModalResult = 2;
      }
      if (GetWindowLongPtrW(h, DWLP_USER) == 1) PostMessageW(GetDlgItem(h, 2), BM_CLICK, 0, 0);
      return TRUE;
    }
    case WM_COMMAND:
      g_dlg_commands.push_back(LOWORD(w));
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK modal_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_INITDIALOG) SetWindowLongPtrW(h, DWLP_USER, 1);
  return dlg_proc(h, m, w, l);
}

void check_dialog() {
  // Modal: the Cancel button (ModalResult 2) ends the dialog with 2.
  INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(100), g_main, modal_proc, 0);
  check(r == 2, "a button with ModalResult 2 ends its modal dialog with 2", std::to_string(static_cast<long long>(r)));
  // Modeless, driven through the dialog manager.
  HWND d = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(100), g_main, dlg_proc, 0);
  check(d != nullptr, "dialog from a template with the package's classes");
  if (!d) return;
  ShowWindow(d, SW_SHOW);
  SetForegroundWindow(d);
  HWND pin = GetDlgItem(d, 11);
  SetFocus(pin);
  pump(100);
  type_text(L"123456789012345678901234567890");
  bool limited = pump_until([&] { return GetWindowTextLengthW(pin) == 24; }, 3000);
  pump(100);
  check(limited && GetWindowTextLengthW(pin) == 24, "typing stops at the edit's limit of 24",
        std::to_string(GetWindowTextLengthW(pin)));
  auto is_dlg_focus = [](HWND target) { return [target] { return GetFocus() == target; }; };
  MSG msg;
  auto dialog_pump = [&](DWORD ms, const std::function<bool()>& pred) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        if (!IsDialogMessageW(d, &msg)) {
          TranslateMessage(&msg);
          DispatchMessageW(&msg);
        }
      if (pred()) return true;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return pred();
  };
  tap(VK_TAB);
  check(dialog_pump(2000, is_dlg_focus(GetDlgItem(d, 12))), "Tab moves to the next edit");
  tap(VK_TAB);
  HWND spin = GetDlgItem(d, 13);
  check(dialog_pump(2000, is_dlg_focus(spin)), "Tab moves into the spin edit");
  tap(VK_UP);
  bool stepped = dialog_pump(2000, [&] { return text_of(spin) == L"31"; });
  check(stepped, "Up in a dialog steps the spin edit", narrow(text_of(spin)));
  g_dlg_commands.clear();
  // The Cancel button's click: its modal result first (the dialog hides,
  // the edit reports losing the focus), then its click reaches the dialog.
  tap(VK_ESCAPE);
  auto has_cancel = [] {
    for (int c : g_dlg_commands)
      if (c == IDCANCEL) return true;
    return false;
  };
  check(dialog_pump(2000, has_cancel), "Escape reaches the dialog as the Cancel button's click");
  DestroyWindow(d);
  SetForegroundWindow(g_main);
  pump(100);
}

// ------------------------------------------------- the panels page
// A second window of the gallery with the panel, group-box and dock states
// the pixel tables below read: border kinds, colour-derived borders, the
// six group-box styles, gradient shapes and dock sites with their grabbers.
const wchar_t panels_page_class[] = L"SolvantaPanelsGallery";
HWND g_page = nullptr;

enum page_ids {
  pg_border = 700,  // + index of page_borders
  pg_colored = 720, pg_rounded_parent, pg_rounded, pg_transparent_parent, pg_transparent_group,
  pg_group = 730,  // + style
  pg_gradient = 740,  // + index of page_gradients
  pg_dock_top = 760, pg_dock_left, pg_dock_plain, pg_dock_client1, pg_dock_client2, pg_dock_client3,
  pg_dock_client4, pg_accel_group, pg_accel_first, pg_accel_second, pg_accel_elsewhere,
};

const TColor page_base = rgb(90, 140, 190);  // the base of the colour-derived borders
const TColor page_parent = rgb(180, 210, 240);
const TColor page_rounded = rgb(250, 240, 200);
const TColor page_ring = rgb(0, 128, 0);
const TColor page_start = rgb(255, 255, 255), page_stop = rgb(40, 90, 200);

struct page_border {
  const wchar_t* name;
  TFrameStyle outer;
  int bevel;
  TSides sides;
  int border_width;
  TFrameStyle inner;
};
const page_border page_borders[] = {
    {L"flat", fsFlat, 1, sdAllSides, 0, fsNone},
    {L"flat bold", fsFlatBold, 1, sdAllSides, 0, fsNone},
    {L"popup 1", fsPopup, 1, sdAllSides, 0, fsNone},
    {L"popup 2", fsPopup, 2, sdAllSides, 0, fsNone},
    {L"status 1", fsStatus, 1, sdAllSides, 0, fsNone},
    {L"status 2", fsStatus, 2, sdAllSides, 0, fsNone},
    {L"raised left", fsRaised, 1, sdLeft, 0, fsNone},
    {L"groove bottom", fsGroove, 1, sdBottom, 0, fsNone},
    {L"rings", fsFlat, 1, sdAllSides, 2, fsStatus},
};
const TFrameStyle colored_kinds[] = {fsFlat,   fsGroove, fsBump,   fsLowered, fsButtonDown, fsRaised,
                                     fsButtonUp, fsStatus, fsPopup, fsFlatBold, fsFlatRounded};
const TGradientDirection page_gradients[] = {gdDiagonalUp, gdDiagonalDown, gdVerticalCenter, gdHorizontalBox,
                                             gdVerticalBox, gdSquareBox, gdBigSquareBox};
const wchar_t* const gradient_names[] = {L"diagonal up", L"diagonal down", L"vertical centre", L"horizontal box",
                                         L"vertical box", L"square box", L"big square box"};
constexpr int colored_w = 40, colored_h = 26, colored_step = 48;

HWND page_item(int id) { return GetDlgItem(g_page, id); }

HWND page_make(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
               HWND parent = nullptr) {
  return make(cls, text, style, x, y, w, h, id, parent ? parent : g_page);
}

void page_label(const wchar_t* text, int y) { page_make(L"STATIC", text, 0, 10, y, 960, 16, 1); }

void build_panels_page() {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  if (!GetClassInfoExW(GetModuleHandleW(nullptr), panels_page_class, &wc)) {
    // A dialog window, as the monitor's dialogs are: the dialog manager
    // moves the focus (the group box accelerator) through it.
    wc.lpfnWndProc = DefDlgProcW;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = panels_page_class;
    RegisterClassExW(&wc);
  }
  g_page = CreateWindowExW(0, panels_page_class, L"Panels gallery", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                           1000, 720, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  int y = 8;
  page_label(L"Panel borders: flat, flat bold, popup and status with bevel 1 and 2, raised left only, groove "
             L"bottom only, BorderWidth rings, rounded in a coloured parent",
             y);
  y += 20;
  for (int i = 0; i < static_cast<int>(sizeof page_borders / sizeof page_borders[0]); ++i) {
    const page_border& b = page_borders[i];
    HWND p = page_make(panel_class, nullptr, 0, 10 + i * 88, y + 10, 78, 44, pg_border + i);
    panel* q = panel_of(p);
    q->BorderOuter = b.outer;
    q->BevelWidth = b.bevel;
    q->BorderSides = b.sides;
    q->BorderWidth = b.border_width;
    q->BorderColor = page_ring;
    q->BorderInner = b.inner;
    q->changed();
  }
  HWND rp = page_make(panel_class, nullptr, 0, 10 + 9 * 88, y, 98, 64, pg_rounded_parent);
  panel_of(rp)->BorderOuter = fsNone;
  panel_of(rp)->Color = page_parent;
  HWND rounded = page_make(panel_class, nullptr, 0, 10, 10, 78, 44, pg_rounded, rp);
  panel_of(rounded)->BorderOuter = fsFlatRounded;
  panel_of(rounded)->Color = page_rounded;
  y += 74;
  page_label(L"Colour-derived borders from one base colour: flat, groove, bump, lowered, button down, raised, "
             L"button up, status, popup, flat bold, flat rounded",
             y);
  y += 20;
  HWND colored = page_make(panel_class, nullptr, 0, 10, y, 11 * colored_step + 10, colored_h + 8, pg_colored);
  panel_of(colored)->BorderOuter = fsNone;
  panel_of(colored)->OnPaint = [](HDC dc) {
    for (int i = 0; i < 11; ++i) {
      rect_i r{4 + i * colored_step, 4, 4 + i * colored_step + colored_w, 4 + colored_h};
      fill_solid(dc, r, page_base);
      PaintColoredBorder(dc, r, page_base, sdAllSides, colored_kinds[i]);
    }
  };
  y += colored_h + 16;
  page_label(L"Group boxes without visual styles: standard, custom, top line, flat, banner, underline; a "
             L"transparent standard box on a coloured panel",
             y);
  y += 20;
  const wchar_t* names[] = {L"Standard ", L"Custom ", L"Top line ", L"Flat ", L"Banner ", L"Underline "};
  for (int i = 0; i < 6; ++i) {
    HWND b = page_make(group_box_class, names[i], 0, 10 + i * 138, y, 128, 74, pg_group + i);
    panel* q = panel_of(b);
    q->VisualStyle = vsClassic;
    q->GroupStyle = static_cast<TRzGroupBoxStyle>(i);
    if (i == gsCustom) q->BorderOuter = fsGroove;
    q->changed();
  }
  HWND tp = page_make(panel_class, nullptr, 0, 10 + 6 * 138, y - 6, 148, 86, pg_transparent_parent);
  panel_of(tp)->BorderOuter = fsNone;
  panel_of(tp)->Color = page_parent;
  HWND tg = page_make(group_box_class, L"Transparent ", 0, 8, 6, 132, 74, pg_transparent_group, tp);
  panel_of(tg)->VisualStyle = vsClassic;
  panel_of(tg)->GroupStyle = gsStandard;
  panel_of(tg)->set_transparent(true);
  y += 86;
  page_label(L"Gradients: diagonal up and down, vertical centre, horizontal, vertical, square and big square boxes",
             y);
  y += 20;
  for (int i = 0; i < 7; ++i) {
    HWND g = page_make(panel_class, nullptr, 0, 10 + i * 110, y, 100, 60, pg_gradient + i);
    panel* q = panel_of(g);
    q->BorderOuter = fsNone;
    q->VisualStyle = vsGradient;
    q->GradientColorStyle = gcsCustom;
    q->GradientColorStart = page_start;
    q->GradientColorStop = page_stop;
    q->GradientDirection = page_gradients[i];
    q->changed();
  }
  y += 70;
  page_label(L"Dock sites: top grabbers (one client focused), a left grabber, the plain dock frame; a group box "
             L"with the accelerator U",
             y);
  y += 20;
  HWND top = page_make(panel_class, nullptr, 0, 10, y, 300, 90, pg_dock_top);
  panel_of(top)->BorderOuter = fsNone;
  panel_of(top)->Color = clWindow;
  page_make(L"EDIT", L"Client one", WS_BORDER | WS_TABSTOP, 10, 20, 130, 60, pg_dock_client1, top);
  page_make(L"EDIT", L"Client two", WS_BORDER | WS_TABSTOP, 160, 20, 130, 60, pg_dock_client2, top);
  panel_of(top)->set_DockSite(true);
  panel_of(top)->DockManager()->add_client(GetDlgItem(top, pg_dock_client1));
  panel_of(top)->DockManager()->add_client(GetDlgItem(top, pg_dock_client2));
  HWND left = page_make(panel_class, nullptr, 0, 320, y, 160, 130, pg_dock_left);
  panel_of(left)->BorderOuter = fsNone;
  panel_of(left)->Color = clWindow;
  panel_of(left)->Align = alTop;
  page_make(L"EDIT", L"Left", WS_BORDER | WS_TABSTOP, 24, 10, 126, 110, pg_dock_client3, left);
  panel_of(left)->set_DockSite(true);
  panel_of(left)->DockManager()->add_client(GetDlgItem(left, pg_dock_client3));
  HWND plain = page_make(panel_class, nullptr, 0, 490, y, 160, 90, pg_dock_plain);
  panel_of(plain)->BorderOuter = fsNone;
  panel_of(plain)->Color = clWindow;
  panel_of(plain)->ShowDockClientCaptions = false;
  page_make(L"EDIT", L"Plain", WS_BORDER | WS_TABSTOP, 10, 20, 140, 60, pg_dock_client4, plain);
  panel_of(plain)->set_DockSite(true);
  panel_of(plain)->DockManager()->add_client(GetDlgItem(plain, pg_dock_client4));
  HWND ag = page_make(group_box_class, L"Gro&up", 0, 660, y, 200, 90, pg_accel_group);
  panel_of(ag)->VisualStyle = vsClassic;
  page_make(L"EDIT", L"first", WS_BORDER | WS_TABSTOP, 10, 24, 80, 22, pg_accel_first, ag);
  page_make(L"EDIT", L"second", WS_BORDER | WS_TABSTOP, 100, 24, 80, 22, pg_accel_second, ag);
  page_make(button_class, L"Elsewhere", WS_TABSTOP, 870, y, 90, 25, pg_accel_elsewhere);
  ShowWindow(g_page, SW_SHOW);
  UpdateWindow(g_page);
  SetForegroundWindow(g_page);
}

// Messages of both gallery windows, through the dialog manager of their own window.
void page_pump(DWORD ms) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
      if (!root || !IsDialogMessageW(root, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

bool page_pump_until(const std::function<bool()>& pred, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    page_pump(5);
    if (pred()) return true;
    if (GetTickCount() - start >= ms) return false;
  }
}

std::string at_text(int x, int y, TColor got, TColor want) {
  return "(" + std::to_string(x) + "," + std::to_string(y) + ")=" + hex(got) + " want " + hex(want) + " ";
}

// One landmark: a pixel of a control's client area (negative coordinates
// count from the right or bottom edge) and the colour it must have.
struct landmark {
  int x, y;
  TColor want;
};

void check_landmarks(HWND hw, const std::vector<landmark>& rows, const std::string& name) {
  capture c(hw);
  std::string bad;
  for (const landmark& l : rows) {
    int x = l.x < 0 ? c.w + l.x : l.x, y = l.y < 0 ? c.h + l.y : l.y;
    if (c.at(x, y) != l.want) bad += at_text(x, y, c.at(x, y), l.want);
  }
  check(bad.empty(), name.c_str(), bad);
}

void check_page_borders() {
  TColor face = sys(COLOR_BTNFACE), hi = sys(COLOR_BTNHIGHLIGHT), sh = sys(COLOR_BTNSHADOW);
  TColor F = LightenColor(sh, 30);  // FlatColor clBtnShadow shifted by 30
  TColor light = sys(COLOR_3DLIGHT);
  auto id = [](int i) { return page_item(pg_border + i); };
  // Middle of the left side is (x, 22); of the right side (-1 - x, 22).
  check_landmarks(id(0), {{0, 22, F}, {1, 22, face}, {-1, 22, F}, {39, 0, F}, {39, -1, F}, {39, 1, face}},
                  "panel fsFlat: one ring in FlatColor shifted by 30");
  check_landmarks(id(1), {{0, 22, F}, {1, 22, F}, {2, 22, face}, {-2, 22, F}, {39, 1, F}, {39, 2, face}},
                  "panel fsFlatBold: two rings in the flat colour");
  check_landmarks(id(2), {{0, 22, hi}, {39, 0, hi}, {-1, 22, sh}, {39, -1, sh}, {1, 22, face}, {-2, 22, face}},
                  "panel fsPopup BevelWidth 1: light left and top, dark right and bottom");
  check_landmarks(id(3), {{0, 22, hi}, {1, 22, hi}, {2, 22, face}, {-2, 22, sh}, {39, -2, sh}, {39, -3, face}},
                  "panel fsPopup BevelWidth 2: two rings of each");
  check_landmarks(id(4), {{0, 22, sh}, {39, 0, sh}, {-1, 22, hi}, {39, -1, hi}, {1, 22, face}},
                  "panel fsStatus BevelWidth 1: dark left and top, light right and bottom");
  check_landmarks(id(5), {{1, 22, sh}, {39, 1, sh}, {-2, 22, hi}, {39, -2, hi}, {2, 22, face}},
                  "panel fsStatus BevelWidth 2: two rings of each");
  check_landmarks(id(6), {{0, 22, light}, {1, 22, hi}, {2, 22, face}, {39, 0, face}, {-1, 22, face},
                          {39, -1, face}},
                  "panel fsRaised on the left side only");
  check_landmarks(id(7), {{39, -2, sh}, {39, -1, hi}, {39, -3, face}, {0, 22, face}, {39, 0, face}},
                  "panel fsGroove on the bottom side only");
  check_landmarks(id(8), {{0, 22, F}, {1, 22, page_ring}, {2, 22, page_ring}, {3, 22, sh}, {4, 22, face},
                          {-1, 22, F}, {-2, 22, page_ring}, {-3, 22, page_ring}, {-4, 22, hi}, {39, 3, sh}},
                  "panel BorderWidth 2 rings in BorderColor between the outer and the inner border");
  // fsFlatRounded: a ring in the parent's colour, a ring in Color, then
  // the cut-corner ring in the flat colour.
  check_landmarks(page_item(pg_rounded_parent) ? GetDlgItem(page_item(pg_rounded_parent), pg_rounded) : nullptr,
                  {{0, 0, page_parent}, {1, 0, page_parent}, {0, 1, page_parent}, {1, 1, F}, {0, 22, F},
                   {1, 22, page_rounded}, {39, 0, F}, {-1, -1, page_parent}, {-2, -2, F}, {-1, 22, F}},
                  "panel fsFlatRounded: parent ring at the corners, cut-corner ring in the flat colour");
}

void check_page_colored_borders() {
  TColor c = page_base;
  TColor d50 = DarkenColor(c, 50), d100 = DarkenColor(c, 100), l50 = LightenColor(c, 50),
         l100 = LightenColor(c, 100), l40 = LightenColor(c, 40);
  // Left side outer, left inner, right outer, right inner (middle row).
  const TColor want[11][4] = {
      {d50, c, d50, c},          // fsFlat
      {d50, l100, l100, d50},    // fsGroove: a left, b one in; b right, a one in
      {l100, d50, d50, l100},    // fsBump
      {d50, d100, l100, l50},    // fsLowered
      {d100, d50, d100, d50},    // fsButtonDown
      {l50, l100, d100, d50},    // fsRaised
      {l100, l40, d100, d50},    // fsButtonUp
      {d50, c, l100, c},         // fsStatus
      {l100, c, d50, c},         // fsPopup
      {d50, d50, d50, d50},      // fsFlatBold
      {l100, d50, d50, l100},    // fsFlatRounded, as fsBump
  };
  capture cap(page_item(pg_colored));
  std::string bad;
  int y = 4 + colored_h / 2;
  for (int i = 0; i < 11; ++i) {
    int x0 = 4 + i * colored_step, x1 = x0 + colored_w - 1;
    const int xs[4] = {x0, x0 + 1, x1, x1 - 1};
    for (int k = 0; k < 4; ++k)
      if (cap.at(xs[k], y) != want[i][k])
        bad += std::string(frame_style_name(colored_kinds[i])) + at_text(xs[k], y, cap.at(xs[k], y), want[i][k]);
  }
  check(bad.empty(), "colour-derived border kinds from one base colour", bad);
}

void check_page_group_boxes() {
  TColor face = sys(COLOR_BTNFACE), hi = sys(COLOR_BTNHIGHLIGHT), sh = sys(COLOR_BTNSHADOW);
  TColor F = LightenColor(sh, 30);
  HWND g0 = page_item(pg_group);
  int h2 = text_h(g0, L"Pp") / 2 - 1;
  int th = text_h(g0, L"Standard ");
  auto tw = [](HWND hw) {
    HDC dc = GetDC(hw);
    HGDIOBJ old = SelectObject(dc, g_font);
    std::wstring t = StripAccelerators(text_of(hw));
    SIZE sz{0, 0};
    GetTextExtentPoint32W(dc, t.c_str(), static_cast<int>(t.size()), &sz);
    SelectObject(dc, old);
    ReleaseDC(hw, dc);
    return static_cast<int>(sz.cx);
  };
  auto g = [](int style) { return page_item(pg_group + style); };
  int mid = (h2 + 74) / 2;
  // gsStandard: groove frame; the caption band (its trailing blank) in Color.
  int cs = 8 + tw(g(gsStandard));
  check_landmarks(g(gsStandard), {{0, mid, sh}, {1, mid, hi}, {cs - 2, h2, face}, {cs + 4, h2, sh}, {3, h2, sh}},
                  "gsStandard: groove frame from half the text height, caption band in Color");
  check_landmarks(g(gsCustom), {{0, mid, sh}, {1, mid, hi}, {64, 0, sh}, {64, 1, hi}},
                  "gsCustom: the panel's own border from the top edge");
  int ct = tw(g(gsTopLine)) + 4;
  check_landmarks(g(gsTopLine), {{ct - 2, h2, face}, {ct + 4, h2, sh}, {ct + 4, h2 + 1, hi}, {0, mid, face},
                                 {-1, mid, face}, {64, -1, face}},
                  "gsTopLine: the groove on the top only, caption band from the left edge");
  int cf = 8 + tw(g(gsFlat));
  check_landmarks(g(gsFlat), {{0, mid, F}, {cf - 2, h2, face}, {cf + 4, h2, F}, {0, h2, face}, {1, h2 + 1, F}},
                  "gsFlat: cut-corner ring in the flat colour, caption band in Color");
  TColor outline = DarkenColor(face, 40);
  check_landmarks(g(gsBanner), {{0, th / 2 + 3, outline}, {0, 0, face}, {-3, 1, sys(COLOR_WINDOW)},
                                {-3, th + 4, DarkenColor(face, 20)}, {0, mid + 8, face}, {64, -1, face}},
                  "gsBanner: outline without corners, gradient from clWindow to clBtnFace darkened by 20");
  check_landmarks(g(gsUnderline), {{-3, th + 1, F}, {3, th + 1, F}, {-3, th, face}, {-3, th + 2, face},
                                   {0, mid + 8, face}},
                  "gsUnderline: one line in the flat colour under the caption band");
  // A transparent gsStandard box: the parent's colour shows, and the frame
  // line stops at the caption on both sides.
  HWND tg = GetDlgItem(page_item(pg_transparent_parent), pg_transparent_group);
  capture c(tg);
  int cap_r = 8 + tw(tg);
  std::string bad;
  for (int x = 8; x < cap_r; ++x)
    for (int y : {h2, h2 + 1})
      if (c.at(x, y) == sh || c.at(x, y) == hi) bad += at_text(x, y, c.at(x, y), page_parent);
  for (const landmark& l : std::vector<landmark>{{4, h2, sh}, {cap_r + 3, h2, sh}, {cap_r + 3, h2 + 1, hi},
                                                 {c.w / 2, (h2 + c.h) / 2, page_parent}})
    if (c.at(l.x, l.y) != l.want) bad += at_text(l.x, l.y, c.at(l.x, l.y), l.want);
  check(bad.empty(), "transparent gsStandard: no frame line crosses the caption", bad);
}

void check_page_gradients() {
  TColor S = page_start, T = page_stop;  // colour 2 and colour 1 of the painter
  auto id = [](int i) { return page_item(pg_gradient + i); };
  check_landmarks(id(0), {{0, -1, T}, {-1, 0, S}}, "gdDiagonalUp: stop colour bottom left, start top right");
  check_landmarks(id(1), {{-1, -1, T}, {0, 0, S}}, "gdDiagonalDown: mirrored, stop colour bottom right");
  check_landmarks(id(2), {{0, 30, S}, {-1, 30, S}, {49, 30, T}, {50, 5, T}},
                  "gdVerticalCenter: start at both side edges, stop in the middle column");
  capture hb(id(3)), sq(id(5));
  check_landmarks(id(3), {{12, 30, T}, {24, 30, T}, {50, 30, S}}, "gdHorizontalBox: inset a quarter of the width");
  check(hb.at(26, 30) != T && sq.at(12, 30) != T, "the horizontal box's inset ends at a quarter of the width; the "
        "square box has none", hex(hb.at(26, 30)) + " " + hex(sq.at(12, 30)));
  check_landmarks(id(4), {{50, 7, T}, {50, 14, T}, {50, 30, S}, {0, 30, T}},
                  "gdVerticalBox: inset a quarter of the height");
  check_landmarks(id(5), {{50, 30, S}, {0, 30, T}, {50, 0, T}}, "gdSquareBox: stop at the edge, start in the centre");
  check_landmarks(id(6), {{12, 30, T}, {50, 7, T}, {50, 30, S}}, "gdBigSquareBox: inset on both axes");
}

// The pixels of a grabber that are neither its background nor outside it.
struct grabber_pixels {
  int background = 0, other = 0;
  TColor background_colour = clNone;
  bool has(TColor c) const { return count(c) > 0; }
  int count(TColor c) const {
    int n = 0;
    for (TColor p : px) n += p == c;
    return n;
  }
  std::vector<TColor> px;
};

grabber_pixels grabber_area(const capture& c, const rect_i& r) {
  grabber_pixels g;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) g.px.push_back(c.at(x, y));
  return g;
}

rect_i client_in(HWND site, int id) {
  RECT r;
  GetWindowRect(GetDlgItem(site, id), &r);
  MapWindowPoints(nullptr, site, reinterpret_cast<POINT*>(&r), 2);
  return from_rect(r);
}

// A subclass placed on a dock site after its manager.
WNDPROC g_later_previous = nullptr;
int g_later_calls = 0;
LRESULT CALLBACK later_subclass(HWND h, UINT m, WPARAM w, LPARAM l) {
  ++g_later_calls;
  return CallWindowProcW(g_later_previous, h, m, w, l);
}

void check_page_dock_under_a_later_subclass() {
  HWND site = page_make(panel_class, nullptr, 0, 920, 640, 40, 30, 798);
  panel* p = panel_of(site);
  p->set_DockSite(true);
  g_later_previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(site, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&later_subclass)));
  // The manager goes while the later subclass sits on top: that one stays,
  // and messages still reach the panel through both.
  p->set_DockSite(false);
  bool kept = GetWindowLongPtrW(site, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&later_subclass);
  g_later_calls = 0;
  SetWindowTextW(site, L"through");
  bool through = g_later_calls > 0 && text_of(site) == L"through";
  SetWindowLongPtrW(site, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_later_previous));
  SetWindowTextW(site, L"again");
  bool again = text_of(site) == L"again";
  DestroyWindow(site);
  page_pump(20);
  check(kept && through && again, "dock manager leaves a later subclass in place and messages flow on",
        std::string(kept ? "" : "later subclass replaced ") + (through ? "" : "messages lost ") +
            (again ? "" : "messages lost after the later subclass went"));
}

void check_page_dock() {
  // The subclass: installed in front of the panel's procedure, restored.
  HWND spare = page_make(panel_class, nullptr, 0, 870, 640, 40, 30, 799);
  panel* sp = panel_of(spare);
  auto proc = [spare] { return GetWindowLongPtrW(spare, GWLP_WNDPROC); };
  LONG_PTR before = proc();
  sp->set_UseDockManager(false);
  sp->set_DockSite(true);
  bool none_without = sp->DockManager() == nullptr && proc() == before;
  sp->set_UseDockManager(true);
  LONG_PTR during = proc();
  bool installed = sp->DockManager() && during != before &&
                   reinterpret_cast<LONG_PTR>(sp->DockManager()->previous_proc()) == before;
  // A mouse activation and a command leave the site to repaint; a panel
  // without a manager is left alone.
  RECT u;
  UpdateWindow(spare);
  SendMessageW(spare, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(g_page), MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN));
  bool activation = GetUpdateRect(spare, &u, FALSE) != FALSE;
  UpdateWindow(spare);
  SendMessageW(spare, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), 0);
  bool command = GetUpdateRect(spare, &u, FALSE) != FALSE;
  sp->set_DockSite(false);
  bool restored = proc() == before && sp->DockManager() == nullptr;
  UpdateWindow(spare);
  SendMessageW(spare, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(g_page), MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN));
  bool quiet = GetUpdateRect(spare, &u, FALSE) == FALSE;
  check(none_without && installed && activation && command && restored && quiet,
        "dock manager: in front of the panel's procedure, repaints on activation and command, procedure restored",
        std::string(none_without ? "" : "made without UseDockManager ") + (installed ? "" : "not installed ") +
            (activation ? "" : "activation did not repaint ") + (command ? "" : "command did not repaint ") +
            (restored ? "" : "not restored ") + (quiet ? "" : "repaints without a manager"));
  // A site destroyed with its manager in place goes quietly.
  sp->set_DockSite(true);
  DestroyWindow(spare);
  page_pump(20);

  TColor act = sys(COLOR_ACTIVECAPTION), inact = sys(COLOR_INACTIVECAPTION);
  TColor act_text = sys(COLOR_CAPTIONTEXT), inact_text = sys(COLOR_INACTIVECAPTIONTEXT);
  HWND top = page_item(pg_dock_top);
  HWND c1 = GetDlgItem(top, pg_dock_client1), c2 = GetDlgItem(top, pg_dock_client2);
  auto top_grabbers = [&](HWND focus, const char* name) {
    SetFocus(focus);
    page_pump(30);
    capture c(top);
    std::string bad;
    for (HWND client : {c1, c2}) {
      bool focused = client == focus;
      rect_i g = grabber_rect(client_in(top, GetDlgCtrlID(client)), alNone);
      TColor bg = focused ? act : inact, fg = focused ? act_text : inact_text;
      TColor other_fg = focused ? inact_text : act_text;
      // The background between the caption and the close box.
      if (c.at(g.right - 20, g.top + 7) != bg) bad += at_text(g.right - 20, g.top + 7, c.at(g.right - 20, g.top + 7), bg);
      if (c.at(g.left, g.top) != bg) bad += at_text(g.left, g.top, c.at(g.left, g.top), bg);
      // Grabber row just above the client: still the grabber; the row above it is the site.
      if (c.at(g.left + 60, g.top - 1) != sys(COLOR_WINDOW)) bad += "site row above the grabber ";
      grabber_pixels text = grabber_area(c, {g.left + 2, g.top, g.left + 60, g.bottom});
      grabber_pixels box = grabber_area(c, close_box(g, alNone));
      if (!text.has(fg)) bad += "no caption text in " + hex(fg) + " ";
      if (fg != other_fg && text.has(other_fg)) bad += "caption text in the other state's colour ";
      if (!box.has(fg)) bad += "no close glyph in its box ";
      if (box.count(bg) == static_cast<int>(box.px.size())) bad += "close box empty ";
    }
    check(bad.empty(), name, bad);
  };
  top_grabbers(c1, "top grabbers: the focused client's in active colours, the other's in inactive colours");
  top_grabbers(c2, "top grabbers follow the focus to the second client");

  // A site aligned to the top: the grabber on the client's left, its
  // caption rotated and read from the bottom, always in clCaptionText.
  HWND left = page_item(pg_dock_left);
  SetFocus(page_item(pg_accel_elsewhere));
  page_pump(30);
  capture lc(left);
  rect_i g = grabber_rect(client_in(left, pg_dock_client3), alTop);
  std::string bad;
  if (g.width() != 14) bad += "grabber width " + std::to_string(g.width()) + " ";
  if (lc.at(g.left + 7, g.top + 30) != inact) bad += at_text(g.left + 7, g.top + 30, lc.at(g.left + 7, g.top + 30), inact);
  grabber_pixels lower = grabber_area(lc, {g.left, g.bottom - 40, g.right, g.bottom});
  grabber_pixels upper = grabber_area(lc, {g.left, g.top + 14, g.right, g.top + 50});
  grabber_pixels lbox = grabber_area(lc, close_box(g, alTop));
  if (!lower.has(act_text)) bad += "no caption text at the bottom ";
  if (act_text != inact_text && lower.has(inact_text)) bad += "left caption in the inactive text colour ";
  // Rotated: the text runs up more than a grabber's width from the bottom.
  grabber_pixels rise = grabber_area(lc, {g.left, g.bottom - 40, g.right, g.bottom - 16});
  if (!rise.has(act_text)) bad += "caption not rotated ";
  if (upper.count(inact) != static_cast<int>(upper.px.size())) bad += "pixels between glyph and caption ";
  if (!lbox.has(act_text)) bad += "no close glyph at the top ";
  check(bad.empty(), "left grabber: rotated caption from the bottom in clCaptionText, close glyph at the top", bad);

  // Without captions: the plain dock frame, two raised bars.
  HWND plain = page_item(pg_dock_plain);
  capture pc(plain);
  rect_i pg = grabber_rect(client_in(plain, pg_dock_client4), alNone);
  grabber_pixels all = grabber_area(pc, pg);
  check(pc.at(pg.left + 2, pg.top + 3) == sys(COLOR_BTNHIGHLIGHT) && pc.at(pg.right - 3, pg.top + 5) == sys(COLOR_BTNSHADOW) &&
            pc.at(pg.left + 2, pg.top + 7) == sys(COLOR_BTNHIGHLIGHT) && !all.has(act) && !all.has(inact),
        "without ShowDockClientCaptions the plain dock frame",
        hex(pc.at(pg.left + 2, pg.top + 3)) + " " + hex(pc.at(pg.right - 3, pg.top + 5)));
}

void check_page_group_accelerator() {
  HWND ag = page_item(pg_accel_group);
  HWND first = GetDlgItem(ag, pg_accel_first);
  HWND elsewhere = page_item(pg_accel_elsewhere);
  SetForegroundWindow(g_page);
  auto alt_u = [] {
    send_key(VK_MENU, false);
    tap('U');
    send_key(VK_MENU, true);
  };
  SetFocus(elsewhere);
  page_pump(30);
  alt_u();
  bool moved = page_pump_until([&] { return GetFocus() == first; }, 2000);
  int focus_after = GetDlgCtrlID(GetFocus());
  SetFocus(elsewhere);
  EnableWindow(ag, FALSE);
  page_pump(30);
  alt_u();
  page_pump(300);
  bool stayed = GetFocus() == elsewhere;
  EnableWindow(ag, TRUE);
  check(moved && stayed, "group box accelerator: focus to its first child, not while the box is disabled",
        std::string(moved ? "" : "focus went to " + std::to_string(focus_after) + ", not the first child ") +
            (stayed ? "" : "a disabled box took it"));
}

void check_panels_page(const std::string& picture) {
  build_panels_page();
  page_pump(300);
  check_page_borders();
  check_page_colored_borders();
  check_page_group_boxes();
  check_page_gradients();
  check_page_dock();
  check_page_dock_under_a_later_subclass();
  check_page_group_accelerator();
  // The picture, with the first top client focused.
  SetFocus(GetDlgItem(page_item(pg_dock_top), pg_dock_client1));
  page_pump(200);
  capture whole(g_page, false);
  check(whole.save(picture.c_str()), "panels page picture saved", picture);
  DestroyWindow(g_page);
  g_page = nullptr;
}

// ------------------------------ edits, spin edits and buttons: more states
// A window of their own, checked and pictured before the main picture.
struct states_window {
  HWND win = nullptr;
  HWND align = nullptr, parent_panel = nullptr, parent_edit = nullptr, spin_max = nullptr;
  HWND spin_ro_created = nullptr, spin_ro_later = nullptr, spin_glyph = nullptr, pair = nullptr;
  HWND normal = nullptr, focus = nullptr, def = nullptr, pressed = nullptr, grp_down = nullptr;
  HWND grp_up_plain = nullptr, grp_down_plain = nullptr;
  HWND hot_panel = nullptr, hot_hot = nullptr, hot_idle_def = nullptr, hot_disabled = nullptr;
  HWND box = nullptr, in_box = nullptr, after_box = nullptr;
  HWND cb_flat = nullptr, cb_owned = nullptr, spin_small = nullptr;
};
states_window g_st;

HWND make_in(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h,
             int id) {
  return make(cls, text, style, x, y, w, h, id, parent);
}

void build_states() {
  states_window& s = g_st;
  s.win = CreateWindowExW(0, gallery_class, L"Controls gallery: edits and buttons",
                          WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 60, 60, 760, 230, nullptr, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
  HWND w = s.win;
  s.align = make_in(w, edit_class, L"abc", WS_TABSTOP, 10, 10, 120, 22, 700);
  s.parent_panel = make_in(w, panel_class, nullptr, 0, 140, 4, 150, 36, 701);
  panel_of(s.parent_panel)->BorderOuter = fsNone;
  panel_of(s.parent_panel)->Color = rgb(210, 230, 250);
  s.parent_edit = make_in(s.parent_panel, edit_class, L"parent", WS_TABSTOP, 10, 7, 130, 22, 702);
  s.spin_max = make_in(w, spin_edit_class, L"80", WS_TABSTOP, 300, 10, 80, 22, 703);
  s.spin_ro_created = make_in(w, spin_edit_class, L"7", WS_TABSTOP | ES_READONLY, 390, 10, 80, 22, 704);
  s.spin_ro_later = make_in(w, spin_edit_class, L"5", WS_TABSTOP, 480, 10, 80, 22, 705);
  s.spin_glyph = make_in(w, spin_edit_class, L"3", WS_TABSTOP, 570, 10, 80, 34, 706);
  s.pair = make_in(w, spin_buttons_class, nullptr, WS_TABSTOP, 660, 10, 17, 30, 707);
  struct { HWND* at; const wchar_t* text; DWORD style; int x; } row[] = {
      {&s.normal, L"Normal", 0, 10}, {&s.focus, L"Focus", 0, 90}, {&s.def, L"Default", BS_DEFPUSHBUTTON, 170},
      {&s.pressed, L"Pressed", 0, 250}, {&s.grp_down, L"Down", 0, 330}, {&s.grp_up_plain, L"Same", 0, 410},
      {&s.grp_down_plain, L"Same", 0, 490}};
  int id = 720;
  for (auto& b : row) *b.at = make_in(w, button_class, b.text, WS_TABSTOP | b.style, b.x, 50, 75, 25, id++);
  button_of(s.pressed)->logic.pressed = true;
  button_of(s.grp_down)->logic.set_group_index(5);
  button_of(s.grp_down)->logic.set_down(true);
  button_of(s.grp_up_plain)->logic.set_group_index(6);
  button_of(s.grp_up_plain)->ShowDownPattern = false;
  button_of(s.grp_down_plain)->logic.set_group_index(7);
  button_of(s.grp_down_plain)->ShowDownPattern = false;
  button_of(s.grp_down_plain)->logic.set_down(true);
  s.hot_panel = make_in(w, panel_class, nullptr, 0, 10, 86, 330, 40, 740);
  panel_of(s.hot_panel)->BorderOuter = fsNone;
  panel_of(s.hot_panel)->Color = rgb(200, 230, 200);
  s.hot_hot = make_in(s.hot_panel, button_class, L"Hot", WS_TABSTOP, 5, 7, 75, 25, 741);
  s.hot_idle_def = make_in(s.hot_panel, button_class, L"Idle", WS_TABSTOP | BS_DEFPUSHBUTTON, 85, 7, 75, 25, 742);
  s.hot_disabled = make_in(s.hot_panel, button_class, L"Off", WS_TABSTOP | WS_DISABLED, 165, 7, 75, 25, 743);
  for (HWND b : {s.hot_hot, s.hot_idle_def, s.hot_disabled}) button_of(b)->HotTrack = true;
  button_of(s.hot_hot)->logic.mouse_over = true;
  s.box = make_in(w, group_box_class, L"Box", 0, 350, 80, 110, 50, 750);
  s.in_box = make_in(s.box, button_class, L"In box", WS_TABSTOP, 10, 18, 75, 25, 751);
  s.after_box = make_in(w, button_class, L"After", WS_TABSTOP, 470, 92, 75, 25, 752);
  s.spin_small = make_in(w, spin_edit_class, L"1", WS_TABSTOP, 560, 92, 60, 6, 708);
  s.cb_flat = make_in(w, control_button_class, nullptr, 0, 10, 140, 17, 21, 760);
  control_button_of(s.cb_flat)->Style = cbsUp;
  control_button_of(s.cb_flat)->logic.Flat = true;
  s.cb_owned = make_in(w, control_button_class, nullptr, 0, 40, 140, 24, 21, 761);
  ShowWindow(w, SW_SHOW);
  UpdateWindow(w);
  SetForegroundWindow(w);
}

// The leftmost and rightmost columns holding a pixel other than `bg`
// (-1, -1 for none), between rows y0 and y1.
std::pair<int, int> ink_columns(const capture& c, TColor bg, int y0, int y1, int x0 = 0, int x1 = -1) {
  if (x1 < 0) x1 = c.w;
  int lo = -1, hi = -1;
  for (int x = x0; x < x1; ++x)
    for (int y = y0; y < y1; ++y)
      if (c.at(x, y) != bg) {
        if (lo < 0) lo = x;
        hi = x;
        break;
      }
  return {lo, hi};
}

// The bounding box of the pixels in colour `ink`.
rect_i ink_box(const capture& c, TColor ink) {
  rect_i b{c.w, c.h, -1, -1};
  for (int y = 0; y < c.h; ++y)
    for (int x = 0; x < c.w; ++x)
      if (c.at(x, y) == ink) {
        b.left = std::min(b.left, x);
        b.top = std::min(b.top, y);
        b.right = std::max(b.right, x + 1);
        b.bottom = std::max(b.bottom, y + 1);
      }
  return b;
}

std::string box_text(const rect_i& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}

void check_edit_states() {
  states_window& s = g_st;
  // Alignment: the window is made again with its text, object and place.
  edit_box* e = edit_of(s.align);
  HWND before = s.align;
  e->set_alignment(taCenter);
  HWND now = GetDlgItem(s.win, 700);
  s.align = now;
  pump(50);
  capture c(now);
  auto ink = ink_columns(c, sys(COLOR_WINDOW), 2, c.h - 2);
  int mid = (ink.first + ink.second) / 2;
  check(now && now != before && edit_of(now) == e && e->hwnd == now && text_of(now) == L"abc" &&
            (GetWindowLongPtrW(now, GWL_STYLE) & ES_CENTER) && ink.first > c.w / 4 && std::abs(mid - c.w / 2) <= 3,
        "Alignment taCenter re-creates the edit with its text, centred",
        "ink " + std::to_string(ink.first) + ".." + std::to_string(ink.second) + " of " + std::to_string(c.w));
  e->set_alignment(taRightJustify);
  s.align = GetDlgItem(s.win, 700);
  pump(50);
  capture r(s.align);
  auto ink_r = ink_columns(r, sys(COLOR_WINDOW), 2, r.h - 2);
  check(edit_of(s.align) == e && ink_r.second > r.w * 3 / 4, "Alignment taRightJustify puts the text right",
        std::to_string(ink_r.first) + ".." + std::to_string(ink_r.second));

  // A spin edit made too low for its font grows to the font's height + 2.
  HDC sdc = GetDC(s.spin_small);
  HGDIOBJ sold = SelectObject(sdc, g_font);
  TEXTMETRICW tm = {};
  GetTextMetricsW(sdc, &tm);
  SelectObject(sdc, sold);
  ReleaseDC(s.spin_small, sdc);
  RECT sr;
  GetWindowRect(s.spin_small, &sr);
  capture small(s.spin_small);
  TColor small_bg = small.at(2, small.h / 2);
  check(sr.bottom - sr.top == tm.tmHeight + 2 && small_bg == sys(COLOR_WINDOW),
        "a spin edit 6 pixels high grows to its font's height + 2 and shows its face",
        std::to_string(sr.bottom - sr.top) + " vs " + std::to_string(tm.tmHeight + 2) + " at " +
            std::to_string(sr.left) + "," + std::to_string(sr.top) + (IsWindowVisible(s.spin_small) ? " shown " : " hidden ") + hex(small_bg));

  // ParentColor through the frame controller's push, then following the panel.
  static frame_controller fc;
  edit_box* pe = edit_of(s.parent_edit);
  capture p0(s.parent_edit);
  TColor own = p0.at(p0.w - 3, p0.h - 3);
  fc.set_ParentColor(true);
  pe->FrameControllerNotifications = fc_bit(fcpParentColor);
  pe->set_frame_controller(&fc);
  UpdateWindow(s.parent_edit);
  capture p1(s.parent_edit);
  TColor took = p1.at(p1.w - 3, p1.h - 3);
  panel_of(s.parent_panel)->Color = rgb(250, 220, 210);
  panel_of(s.parent_panel)->changed();
  UpdateWindow(s.parent_edit);
  capture p2(s.parent_edit);
  TColor followed = p2.at(p2.w - 3, p2.h - 3);
  check(own == sys(COLOR_WINDOW) && pe->ParentColor && took == rgb(210, 230, 250) && followed == rgb(250, 220, 210),
        "ParentColor pushed by the frame controller takes the panel's colour and follows it",
        hex(own) + " " + hex(took) + " " + hex(followed));
  pe->set_frame_controller(nullptr);

  // Max lowered under the shown value: the text shows the clamped value.
  edit_box* m = edit_of(s.spin_max);
  m->set_max(50);
  check(text_of(s.spin_max) == L"50" && m->integer_value() == 50, "Max lowered to 50 under 80 shows and reads 50",
        narrow(text_of(s.spin_max)));
  m->set_decimals(2);
  bool two = text_of(s.spin_max) == L"50.00" || text_of(s.spin_max) == L"50,00";
  m->set_integers_only(true);
  check(two && text_of(s.spin_max) == L"50", "Decimals 2 shows 50.00 at once; IntegersOnly gives 50 back",
        narrow(text_of(s.spin_max)));

  // Read-only spin edits hide their buttons; Up and Down beep and step not.
  edit_box* rc = edit_of(s.spin_ro_created);
  check(!IsWindowVisible(rc->spin->buttons) && rc->spin->value.ReadOnly,
        "a spin edit created read-only hides its buttons");
  edit_box* rl = edit_of(s.spin_ro_later);
  bool shown = IsWindowVisible(rl->spin->buttons) != FALSE;
  rl->set_read_only(true);
  bool hidden = !IsWindowVisible(rl->spin->buttons);
  SetForegroundWindow(s.win);
  SetFocus(s.spin_ro_later);
  pump(50);
  int beeps = rl->spin->value.beeps();
  tap(VK_UP);
  tap(VK_DOWN);
  bool beeped = pump_until([&] { return rl->spin->value.beeps() >= beeps + 2; }, 2000);
  check(shown && hidden && beeped && text_of(s.spin_ro_later) == L"5",
        "a spin edit set read-only hides its buttons and beeps on Up and Down",
        std::to_string(rl->spin->value.beeps() - beeps) + " beeps, text " + narrow(text_of(s.spin_ro_later)));
  rl->set_read_only(false);
  check(IsWindowVisible(rl->spin->buttons) != FALSE, "clearing ReadOnly shows the buttons again");

  // The glyph properties: a strip replaces the arrow, clearing restores it.
  edit_box* g = edit_of(s.spin_glyph);
  HBITMAP strip = make_glyph_strip();
  g->set_button_up_glyph(strip);
  DeleteObject(strip);  // the edit and its buttons keep their own copies
  spin_buttons* pair = spin_buttons_of(g->spin->buttons);
  pump(50);
  capture gc(g->spin->buttons);
  auto has_colour = [](const capture& k, TColor want, const rect_i& in) {
    for (int y = in.top; y < in.bottom; ++y)
      for (int x = in.left; x < in.right; ++x)
        if (k.at(x, y) == want) return true;
    return false;
  };
  rect_i up = pair->up.rect;
  bool glyph_drawn = has_colour(gc, rgb(0, 0, 200), up);
  check(pair->up.Style == cbsNone && pair->up.NumGlyphs == 4 && g->spin->ButtonUpNumGlyphs == 4 && glyph_drawn,
        "ButtonUpGlyph: a 64 x 16 strip gives 4 images and is drawn in place of the arrow",
        std::to_string(pair->up.NumGlyphs) + (glyph_drawn ? " drawn" : " not drawn"));
  g->set_button_up_glyph(nullptr);
  pump(50);
  capture gc2(g->spin->buttons);
  check(pair->up.Style == cbsUp && !has_colour(gc2, rgb(0, 0, 200), up), "clearing ButtonUpGlyph restores the arrow");
  // A control button owns its glyph: the caller's bitmap may go.
  HBITMAP strip2 = make_glyph_strip();
  control_button_of(s.cb_owned)->set_glyph(strip2);
  DeleteObject(strip2);
  InvalidateRect(s.cb_owned, nullptr, FALSE);
  pump(50);
  capture oc(s.cb_owned);
  check(has_colour(oc, rgb(0, 0, 200), {0, 0, oc.w, oc.h}), "a control button keeps its own copy of its glyph");

  // A spin pair that is a tab stop takes the focus when pressed.
  SetFocus(s.normal);
  pump(30);
  RECT pr;
  GetClientRect(s.pair, &pr);
  mouse_to(s.pair, pr.right / 2, pr.bottom / 4);
  mouse_button(true);
  mouse_button(false);
  check(pump_until([&] { return GetFocus() == s.pair; }, 2000), "a spin pair that is a tab stop takes the focus");
}

// ----------------------------------------------------- the dialog keys
std::vector<int> g_keys_commands;
int g_keys_step = 0;

INT_PTR CALLBACK keys_proc(HWND h, UINT m, WPARAM w, LPARAM) {
  switch (m) {
    case WM_INITDIALOG: {
      g_keys_commands.clear();
      button_of(GetDlgItem(h, 21))->Cancel = true;
      button_of(GetDlgItem(h, 21))->ModalResult = 7;
      button_of(GetDlgItem(h, 22))->logic.set_group_index(3);
      button_of(GetDlgItem(h, 23))->logic.set_group_index(3);
      button_of(GetDlgItem(h, 23))->logic.set_down(true);
      SetTimer(h, 1, 100, nullptr);
      return TRUE;
    }
    case WM_TIMER:
      // Real keys once the dialog is up, one per tick, into the first edit.
      SetForegroundWindow(h);
      SetFocus(GetDlgItem(h, 11));
      if (g_keys_step == 0) {  // Alt+G: the grouped button's accelerator
        send_key(VK_MENU, false);
        tap('G');
        send_key(VK_MENU, true);
      } else if (g_keys_step == 1) {
        tap(VK_RETURN);
      } else if (g_keys_step == 2) {
        tap(VK_ESCAPE);
      } else if (g_keys_step > 40) {
        EndDialog(h, -1);  // bounded: the keys never came
      }
      ++g_keys_step;
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(w) == BN_CLICKED) {
        g_keys_commands.push_back(LOWORD(w));
        if (LOWORD(w) == 22) {  // the grouped buttons as the accelerator left them
          bool down22 = button_of(GetDlgItem(h, 22))->logic.down();
          bool down23 = button_of(GetDlgItem(h, 23))->logic.down();
          g_keys_commands.push_back(down22 ? 1 : 0);
          g_keys_commands.push_back(down23 ? 1 : 0);
        }
      }
      return TRUE;
    default:
      return FALSE;
  }
}

void check_dialog_keys() {
  g_keys_step = 0;
  INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), g_st.win, keys_proc, 0);
  std::string seen;
  for (int c : g_keys_commands) seen += std::to_string(c) + " ";
  // 22 0 1: the accelerator clicked Group, which stayed up, Other down;
  // 24: Enter clicked the default button; 21: Escape clicked Stop, whose
  // modal result 7 ended the dialog.
  check(g_keys_commands == std::vector<int>({22, 0, 1, 24, 21}),
        "accelerator clicks a grouped button without toggling; Enter clicks the default button; Escape the Cancel one",
        seen);
  check(r == 7, "Escape in the dialog's first edit ends it with the Cancel button's modal result 7",
        std::to_string(static_cast<long long>(r)));
  // Disabling a focused button inside a group box moves the focus on.
  states_window& s = g_st;
  SetForegroundWindow(s.win);
  SetFocus(s.in_box);
  pump(30);
  bool had = GetFocus() == s.in_box;
  EnableWindow(s.in_box, FALSE);
  pump(30);
  check(had && GetFocus() == s.after_box, "disabling the focused button in a group box moves the focus to the next control");
  EnableWindow(s.in_box, TRUE);
  // The same in a dialog: the dialog manager's WM_NEXTDLGCTL moves it, here
  // round to the dialog's first control.
  HWND d = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), s.win, dlg_proc, 0);
  if (!d) {
    check(false, "keys dialog made modeless");
    return;
  }
  HWND box = CreateWindowExW(0, group_box_class, L"Box", WS_CHILD | WS_VISIBLE, 5, 80, 150, 50, d, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  HWND inner = CreateWindowExW(0, button_class, L"Inner", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 10, 18, 75, 25, box,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(31)), GetModuleHandleW(nullptr), nullptr);
  ShowWindow(d, SW_SHOW);
  SetForegroundWindow(d);
  SetFocus(inner);
  pump(50);
  bool in = GetFocus() == inner;
  EnableWindow(inner, FALSE);
  pump(50);
  check(in && GetFocus() == GetDlgItem(d, 11),
        "disabling the focused button in a dialog's group box moves the focus on, round to the first control");
  DestroyWindow(d);
  pump(50);
}

// ------------------------------------------------ push-button pixel tables
struct probe_point {
  int x, y;
  TColor want;
  const char* what;
};

void check_points(const char* name, const capture& c, const std::vector<probe_point>& points) {
  std::string bad;
  for (const probe_point& p : points)
    if (c.at(p.x, p.y) != p.want)
      bad += std::string(p.what) + " (" + std::to_string(p.x) + "," + std::to_string(p.y) + ")=" + hex(c.at(p.x, p.y)) +
             " want " + hex(p.want) + "; ";
  check(bad.empty(), name, bad);
}

int distance(TColor a, TColor b) {
  a = ColorToRGB(a);
  b = ColorToRGB(b);
  return std::abs(red_of(a) - red_of(b)) + std::abs(green_of(a) - green_of(b)) + std::abs(blue_of(a) - blue_of(b));
}

void check_classic_buttons() {
  states_window& s = g_st;
  const TColor hi = sys(COLOR_BTNHIGHLIGHT), dk = sys(COLOR_3DDKSHADOW), lt = sys(COLOR_3DLIGHT),
               sh = sys(COLOR_BTNSHADOW), face = sys(COLOR_BTNFACE), frame = sys(COLOR_WINDOWFRAME),
               text = sys(COLOR_BTNTEXT);
  SetFocus(s.focus);
  pump(50);
  capture n(s.normal);
  int W = n.w, H = n.h;
  check_points("classic button: the two rings of fsButtonUp, then the face", n,
               {{0, H / 2, hi, "outer left"}, {W / 2, 0, hi, "outer top"}, {W - 1, H / 2, dk, "outer right"},
                {W / 2, H - 1, dk, "outer bottom"}, {1, H / 2, lt, "inner left"}, {W - 2, H / 2, sh, "inner right"},
                {W / 2, H - 2, sh, "inner bottom"}, {3, 3, face, "face"}});
  capture f(s.focus);
  // Focused: the clWindowFrame ring first, the dotted focus rectangle at 4.
  check_points("classic focused button: clWindowFrame ring, rings inside it, focus rectangle inset 4", f,
               {{0, H / 2, frame, "frame ring"}, {W / 2, 0, frame, "frame ring top"}, {1, H / 2, hi, "outer left"},
                {W - 2, H / 2, dk, "outer right"}, {2, H / 2, lt, "inner left"}, {4, 5, clBlack, "focus left"},
                {4, 6, face, "focus left gap"}, {5, 4, clBlack, "focus top"}, {3, 5, face, "outside the focus rect"}});
  capture d(s.def);
  // Default but not acting (the focus is on another push button): no ring.
  check_points("classic Default button while another button has the focus: no frame ring", d,
               {{0, H / 2, hi, "outer left"}});
  capture p(s.pressed);
  check_points("classic pressed button: no frame ring, fsButtonDown (text colour, then shadow)", p,
               {{0, H / 2, text, "outer left"}, {W - 1, H / 2, text, "outer right"}, {1, H / 2, sh, "inner left"},
                {W / 2, H - 2, sh, "inner bottom"}, {3, 3, face, "face"}});
  capture g(s.grp_down);
  TColor other = ColorToRGB(face) == clSilver ? static_cast<TColor>(clGray) : static_cast<TColor>(clSilver);
  check_points("classic grouped down button: fsLowered and the 8 x 8 checker", g,
               {{0, H / 2, sh, "outer left"}, {W - 1, H / 2, hi, "outer right"}, {1, H / 2, dk, "inner left"},
                {W - 2, H / 2, lt, "inner right"}, {2, 2, other, "checker first"}, {3, 2, face, "checker second"},
                {2, 3, face, "checker next row"}, {3, 3, other, "checker next row second"}});
  // The caption of a pushed grouped button is one pixel right and down.
  capture up(s.grp_up_plain), down(s.grp_down_plain);
  rect_i a = ink_box(up, text), b = ink_box(down, text);
  check(a.right > a.left && b.left == a.left + 1 && b.top == a.top + 1 && b.right == a.right + 1,
        "classic grouped button: the caption moves one pixel right and down while down",
        box_text(a) + " -> " + box_text(b));
  // A focused grouped button that is down: the focus rectangle moves too.
  SetFocus(s.grp_down_plain);
  pump(50);
  capture fd(s.grp_down_plain);
  check_points("classic focused grouped down button: focus rectangle at 4, moved by one", fd,
               {{5, 6, clBlack, "focus left"}, {5, 7, face, "focus left gap"}, {4, 6, face, "where an unmoved one is"}});
  SetFocus(s.align);  // no push button focused: the Default one acts
  pump(50);
  capture da(s.def);
  check_points("classic Default button with the focus on an edit: clWindowFrame ring", da,
               {{0, H / 2, frame, "frame ring"}});
}

void check_hot_track_faces(bool themed) {
  states_window& s = g_st;
  SetFocus(s.align);
  pump(50);
  const TColor pc = rgb(200, 230, 200);  // the panel's colour
  capture dis(s.hot_disabled);
  int W = dis.w, H = dis.h;
  TColor ring = LightenColor(sys(COLOR_BTNSHADOW), 30), face = sys(COLOR_BTNFACE);
  if (!themed) {
    check_points("disabled hot-track button: the panel's colour in the corners, the ring, a plain face", dis,
                 {{0, 0, pc, "corner"}, {1, 1, pc, "ring corner left out"}, {0, H / 2, pc, "outer left"},
                  {W - 1, H - 1, pc, "corner"}, {1, H / 2, ring, "ring left"}, {W / 2, 1, ring, "ring top"},
                  {W - 2, H / 2, ring, "ring right"}, {2, 2, face, "face"}, {W / 2, 0, face, "face grown up"}});
    capture hot(s.hot_hot);
    capture idle(s.hot_idle_def);
    TColor htc = rgb(240, 155, 20);
    TColor b = MixColors(clWhite, htc, 190), a = htc;
    TColor top = hot.at(W / 2, 2), bottom = hot.at(W / 2, H - 3);
    check(hot.at(0, 0) == pc && hot.at(W / 2, 1) == sys(COLOR_3DDKSHADOW) && distance(top, b) < distance(top, a) &&
              distance(bottom, a) < distance(bottom, b),
          "hot-track button under the mouse: cut corners, FrameColor ring, a ring from the light blend to HotTrackColor",
          hex(hot.at(0, 0)) + " " + hex(hot.at(W / 2, 1)) + " " + hex(top) + ".." + hex(bottom));
    TColor hc = sys(COLOR_HIGHLIGHT);
    if (ColorsAreSimilar(hc, face)) hc = DarkenColor(hc, 30);
    TColor ib = MixColors(hc, LightenColor(face, 30), 60), ia = MixColors(hc, LightenColor(face, 30), 160);
    TColor itop = idle.at(W / 2, 2);
    check(distance(itop, ib) < distance(itop, b) && distance(idle.at(W / 2, H - 3), ia) < 60,
          "hot-track Default button at rest: the ring in the highlight blends",
          hex(itop) + " vs " + hex(ib) + ", " + hex(idle.at(W / 2, H - 3)) + " vs " + hex(ia));
    // Focused, the hot-track look takes its dotted focus rectangle at 3.
    SetFocus(s.hot_idle_def);
    pump(50);
    capture hf(s.hot_idle_def);
    check_points("focused hot-track button: focus rectangle inset 3", hf,
                 {{3, 4, clBlack, "focus left"}, {4, 3, clBlack, "focus top"}, {W - 4, 4, clBlack, "focus right"}});
    SetFocus(s.align);
    pump(50);
  }
}

// Themed: each state's face is the theme's push button in the state it maps
// to, and differs from the neighbouring state's drawing.
void check_themed_buttons() {
  states_window& s = g_st;
  SetFocus(s.align);
  pump(50);
  struct row { HWND h; int state; int neighbour; const char* what; } rows[] = {
      {s.normal, PBS_NORMAL, PBS_DEFAULTED, "normal"},
      {s.def, PBS_DEFAULTED, PBS_NORMAL, "acting default"},
      {s.pressed, PBS_PRESSED, PBS_NORMAL, "pressed"},
      {s.grp_down, PBS_PRESSED, PBS_NORMAL, "grouped down"},
      {s.grp_up_plain, PBS_NORMAL, PBS_PRESSED, "grouped up"},
      {s.hot_hot, PBS_HOT, PBS_NORMAL, "under the mouse"},
      {s.hot_disabled, PBS_DISABLED, PBS_HOT, "disabled"},
  };
  SetFocus(s.focus);
  pump(50);
  capture fc(s.focus);
  check_points("themed focused button: focus rectangle inset 3", fc,
               {{3, 4, clBlack, "focus left"}, {4, 3, clBlack, "focus top"}});
  check(fc.at(3, 5) != clBlack && fc.at(4, 4) != clBlack, "themed focused button: the focus rectangle is dotted");
  SetFocus(s.align);
  pump(50);
  for (const row& r : rows) {
    capture c(r.h);
    int W = c.w, H = c.h;
    auto drawn = [&](int state, ctl_test::pixel_dc& d) {
      RECT rc{0, 0, W, H};
      fill_solid(d.dc(), {0, 0, W, H}, ColorToRGB(panel_of(GetParent(r.h)) ? panel_of(GetParent(r.h))->Color : clBtnFace));
      HTHEME t = OpenThemeData(r.h, L"BUTTON");
      if (t) {
        DrawThemeBackground(t, d.dc(), BP_PUSHBUTTON, state, &rc, nullptr);
        CloseThemeData(t);
      }
    };
    ctl_test::pixel_dc want(W, H), beside(W, H);
    drawn(r.state, want);
    drawn(r.neighbour, beside);
    std::vector<POINT> pts;
    for (int i = 0; i < 3; ++i) {
      pts.push_back({i, H / 2});
      pts.push_back({W - 1 - i, H / 2});
      pts.push_back({W / 2, i});
      pts.push_back({W / 2, H - 1 - i});
      pts.push_back({i, i});
    }
    for (POINT p : {POINT{4, 4}, POINT{W - 5, 4}, POINT{4, H - 5}, POINT{W - 5, H - 5}, POINT{6, H / 2}})
      pts.push_back(p);  // the face, clear of the caption
    std::string bad;
    bool differs = false;
    for (POINT p : pts) {
      if (c.at(p.x, p.y) != want.at(p.x, p.y))
        bad += "(" + std::to_string(p.x) + "," + std::to_string(p.y) + ")=" + hex(c.at(p.x, p.y)) + " want " +
               hex(want.at(p.x, p.y)) + " ";
      if (want.at(p.x, p.y) != beside.at(p.x, p.y)) differs = true;
    }
    check(bad.empty() && differs, (std::string("themed button, ") + r.what + ": the theme's state, unlike its neighbour").c_str(),
          bad + (differs ? "" : "no difference from the neighbouring state"));
  }
}

void check_flat_arrow(bool themed) {
  capture c(g_st.cb_flat);
  int cx = c.w / 2, cy = c.h / 2;
  TColor face = sys(COLOR_BTNFACE);
  if (themed) {
    TColor want = ColorToRGB(flat_arrow_color(SPNP_UP, c.w, c.h));
    check_points("flat themed arrow: the chevron in the sampled colour, open under its tip", c,
                 {{cx, cy - 2, want, "tip"}, {cx - 3, cy + 1, want, "left arm"}, {cx + 3, cy + 1, want, "right arm"},
                  {cx, cy + 1, face, "inside the chevron"}, {cx, cy - 5, face, "above the tip"}});
  } else {
    // Without visual styles: the solid triangle, 7 wide at its base.
    check_points("flat arrow without visual styles: a solid triangle in black", c,
                 {{cx, cy - 2, clBlack, "tip"}, {cx - 3, cy + 1, clBlack, "base left"}, {cx + 3, cy + 1, clBlack, "base right"},
                  {cx, cy, clBlack, "inside"}, {cx - 4, cy + 1, face, "beside the base"}});
  }
}

void check_states(bool themed, const std::string& picture) {
  build_states();
  pump(300);
  check_edit_states();
  check_dialog_keys();
  if (themed) check_themed_buttons();
  else check_classic_buttons();
  check_hot_track_faces(themed);
  check_flat_arrow(themed);
  SetFocus(g_st.focus);
  pump(200);
  capture whole(g_st.win, false);
  check(whole.save(picture.c_str()), "states picture saved", picture);
  DestroyWindow(g_st.win);
  pump(100);
}

int run_check(const char* expect, const char* picture) {
  HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, move_hook, nullptr, GetCurrentThreadId());
  bool themed = std::string(expect) == "themed";
  check(visual_styles_active() == themed, "visual styles predicate matches the prefix",
        std::string("IsThemeActive ") + (IsThemeActive() ? "1" : "0"));
  check(GetDeviceCaps(GetDC(nullptr), NUMCOLORS) == -1 ? HasFullColorDisplay() : !HasFullColorDisplay(),
        "full-colour display read from NUMCOLORS");
  check_edit_colours();
  check_group_box(themed);
  check_panels();
  check_dock_and_controller();
  check_scheme_and_captions(themed);
  check_spin_input();
  check_button_input();
  check_repeat();
  check_dialog();
  std::string page_picture = picture;
  if (page_picture.size() > 4) page_picture.insert(page_picture.size() - 4, "-panels");
  check_panels_page(page_picture);
  std::string states_picture = picture;
  size_t dot = states_picture.rfind('.');
  states_picture.insert(dot == std::string::npos ? states_picture.size() : dot, "-states");
  check_states(themed, states_picture);
  SetForegroundWindow(g_main);
  // The states for the picture: focus on the spin edit, a toggle down.
  SetFocus(item(id_edit_focus));
  pump(200);
  capture whole(g_main, false);
  check(whole.save(picture), "gallery picture saved", picture);
  UnhookWindowsHookEx(hook);
  std::printf("%d passed, %d failed\n", g_pass, g_fail);
  return g_fail == 0 ? 0 : 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::string mode = argc > 1 ? narrow(argv[1]) : "show";
  if (!register_controls(inst)) {
    std::printf("FAIL register_controls\n");
    return 2;
  }
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = main_proc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = gallery_class;
  RegisterClassExW(&wc);
  NONCLIENTMETRICSW ncm = {};
  ncm.cbSize = sizeof ncm;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
  g_font = CreateFontIndirectW(&ncm.lfMessageFont);
  g_main = CreateWindowExW(0, gallery_class, gallery_title, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 20, 20, 820, 640,
                           nullptr, nullptr, inst, nullptr);
  build();
  ShowWindow(g_main, SW_SHOW);
  UpdateWindow(g_main);
  SetForegroundWindow(g_main);
  if (mode == "check" && argc >= 4) {
    pump(300);
    std::string expect = narrow(argv[2]);
    std::string picture = narrow(argv[3]);
    int rc = run_check(expect.c_str(), picture.c_str());
    DestroyWindow(g_main);
    return rc;
  }
  HWND s = item(id_spin);
  SetFocus(s);
  SendMessageW(s, EM_SETSEL, 0, -1);
  MSG msg;
  DWORD start = GetTickCount();
  while (GetTickCount() - start < 120000) {  // bounded: a forgotten gallery ends
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT) == WAIT_TIMEOUT) continue;
    bool quit = false;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) quit = true;
      else if (!IsDialogMessageW(g_main, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    if (quit) break;
  }
  return 0;
}
