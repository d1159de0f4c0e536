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
  control_button_of(g)->set_glyph(make_glyph_strip());
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
  TColor bg = c.at(c.w / 2 - 10, 5);
  check(bg == sys(COLOR_ACTIVECAPTION) || c.at(3, 2) == sys(COLOR_ACTIVECAPTION),
        "dock grabber of a focused client in clActiveCaption", hex(c.at(3, 2)) + " vs " + hex(sys(COLOR_ACTIVECAPTION)));
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
  tap(VK_ESCAPE);
  check(dialog_pump(2000, [] { return !g_dlg_commands.empty(); }) && g_dlg_commands[0] == IDCANCEL,
        "Escape reaches the dialog as IDCANCEL");
  DestroyWindow(d);
  SetForegroundWindow(g_main);
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
