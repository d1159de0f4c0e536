// The monitor's window components in a program of their own, for the GUI
// bed. Modes:
//   timers                 two timers on the shared window fire independently;
//                          freeing the last frees the window (exit 0 when so)
//   tray <hint> <balloon>  an owner window of class "TMonProbe" with a tray
//                          icon (hint and balloon as given, "@long" for texts
//                          over the fields' sizes) and a three-item menu whose
//                          second item is the default; runs until closed or 60 s
//   events show|hide       a visible form of class "TMonProbeForm" with an icon
//                          that has every event bound, each logged as
//                          "event ..."; OnStartup answers as given; the icon
//                          minimises the form to the tray and starts hidden.
//                          Messages to the form switch the icon's settings:
//                          WM_APP+1 Enabled, +2 the shell's version 3, +3
//                          icon cycling (three images, 150 ms), +4
//                          WantEnterExitEvents, +5 LeftPopup (wParam 0 or 1);
//                          WM_APP+6 restores the form through the icon;
//                          WM_APP+7 logs where the probe sees the cursor.
//                          Runs until closed or 120 s.
// The test switch (SOLVANTEX_MON_TEST) logs what the components do.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_switch.h"
#include "tray_icon.h"

using namespace mon;

namespace {

void pump_until(DWORD ms, const std::function<bool()>& done) {
    DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < ms && !done()) {
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        else MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

int timers() {
    int a = 0, b = 0, c = 0;
    std::unique_ptr<simple_timer> t1(new simple_timer(50, [&] { ++a; }));
    std::unique_ptr<simple_timer> t2(new simple_timer(80, [&] { ++b; }));
    HWND shared = simple_timer::shared_window();
    if (!shared || simple_timer::timer_count() != 2) return 10;
    t1->set_enabled(true);
    t2->set_enabled(true);
    if (simple_timer::running_count() != 2) return 11;
    pump_until(5000, [&] { return a >= 6 && b >= 4; });
    std::printf("ticks a=%d b=%d\n", a, b);
    if (a < 6 || b < 4) return 12;
    // Stopping one leaves the other running.
    t1->set_enabled(false);
    int a0 = a, b0 = b;
    pump_until(5000, [&] { return b >= b0 + 3; });
    std::printf("after stop a=%d b=%d\n", a, b);
    if (a != a0 || b < b0 + 3) return 13;
    // A one-shot timer fires once.
    {
        simple_timer t3(30, [&] { ++c; });
        t3.set_one_shot(true);
        t3.set_enabled(true);
        pump_until(5000, [&] { return c >= 1; });
        pump_until(300, [] { return false; });
        if (c != 1 || t3.enabled()) return 14;
    }
    // Freeing a timer while another lives keeps the shared window.
    t1.reset();
    if (!IsWindow(shared) || simple_timer::timer_count() != 1) return 15;
    int b1 = b;
    pump_until(5000, [&] { return b >= b1 + 2; });
    if (b < b1 + 2) return 16;
    // The last one freed frees it.
    t2.reset();
    if (IsWindow(shared) || simple_timer::shared_window() != nullptr || simple_timer::running_count() != 0)
        return 17;
    // Interval 0 never starts.
    simple_timer t4(0, [&] { ++c; });
    t4.set_enabled(true);
    if (t4.enabled()) return 18;
    std::printf("timers passed\n");
    return 0;
}

std::wstring text_arg(const wchar_t* a, size_t long_size) {
    std::wstring s(a);
    if (s != L"@long") return s;
    // Long text with a surrogate pair straddling the field's end.
    std::wstring t(long_size - 1, L'x');
    t += L"\U0001F600";
    t += std::wstring(40, L'y');
    return t;
}

std::unique_ptr<cool_tray_icon> g_icon;

LRESULT CALLBACK owner_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (g_icon && g_icon->on_owner_message(m)) return 0;
    if (m == WM_CLOSE) { DestroyWindow(h); return 0; }
    if (m == WM_DESTROY) { PostQuitMessage(0); return 0; }
    return DefWindowProcW(h, m, w, l);
}

int tray(const wchar_t* hint, const wchar_t* balloon) {
    register_taskbar_created();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = owner_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TMonProbe";
    RegisterClassW(&wc);
    HWND owner = CreateWindowExW(0, wc.lpszClassName, L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 wc.hInstance, nullptr);
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 201, L"First item");
    AppendMenuW(menu, MF_STRING, 202, L"Default item");
    AppendMenuW(menu, MF_STRING, 203, L"\u9000\u51fa Exit");
    SetMenuDefaultItem(menu, 202, FALSE);
    g_icon.reset(new cool_tray_icon(owner));
    g_icon->set_popup_menu(menu);
    g_icon->on_menu_command = [owner](UINT id) {
        test_switch::logf("command %u", id);
        if (id == 203) PostMessageW(owner, WM_CLOSE, 0, 0);
    };
    g_icon->on_dbl_click = [] { test_switch::log("double click"); };
    g_icon->on_click = [] { test_switch::log("click"); };
    g_icon->set_icon(LoadIconW(nullptr, MAKEINTRESOURCEW(32516)));
    g_icon->set_hint(text_arg(hint, 127));
    g_icon->set_icon_visible(true);
    std::wstring b = text_arg(balloon, 255);
    if (!b.empty()) g_icon->show_balloon(L"", b, 10, balloon_info);
    test_switch::log("probe ready");
    SetTimer(owner, 1, 60000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == owner) break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    g_icon.reset();
    DestroyMenu(menu);
    test_switch::log("probe end");
    return 0;
}


const char* button_name(mouse_button b) {
    return b == mouse_button::left ? "left" : b == mouse_button::right ? "right" : "middle";
}

LRESULT CALLBACK events_form_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_APP + 7) {
        POINT p = {0, 0};
        GetCursorPos(&p);
        test_switch::logf("cursor at %ld,%ld", p.x, p.y);
        return 0;
    }
    if (m == WM_APP + 6 && g_icon) {
        g_icon->restore_owner_form();
        test_switch::log("restore owner form");
        return 0;
    }
    if (m >= WM_APP + 1 && m <= WM_APP + 5 && g_icon) {
        bool on = w != 0;
        switch (m - WM_APP) {
            case 1: g_icon->set_enabled(on); break;
            case 2: g_icon->set_shell_version3(on); break;
            case 3: g_icon->set_cycle_icons(on); break;
            case 4: g_icon->set_want_enter_exit_events(on); break;
            case 5: g_icon->set_left_popup(on); break;
        }
        test_switch::logf("setting %u=%d", m - WM_APP, on ? 1 : 0);
        return 0;
    }
    if (m == WM_CLOSE) {
        // The icon goes first: the form's own procedure must be back, and
        // the last icon takes the shared handler window with it.
        HWND handler = cool_tray_icon::handler_window();
        g_icon.reset();
        test_switch::logf("handler window freed=%d", handler && !IsWindow(handler) ? 1 : 0);
        test_switch::logf("form procedure restored=%d",
                          GetWindowLongPtrW(h, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(events_form_proc) ? 1 : 0);
        DestroyWindow(h);
        return 0;
    }
    if (m == WM_DESTROY) { PostQuitMessage(0); return 0; }
    return DefWindowProcW(h, m, w, l);
}

int events(const std::wstring& startup) {
    register_taskbar_created();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = events_form_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"TMonProbeForm";
    RegisterClassW(&wc);
    HWND form = CreateWindowExW(0, wc.lpszClassName, L"probe form", WS_OVERLAPPEDWINDOW, 200, 150, 320, 200, nullptr,
                                nullptr, wc.hInstance, nullptr);
    if (!form) return 3;
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 201, L"First item");
    AppendMenuW(menu, MF_STRING, 202, L"Default item");
    AppendMenuW(menu, MF_STRING, 203, L"Exit");
    SetMenuDefaultItem(menu, 202, FALSE);
    std::vector<HICON> images = {LoadIconW(nullptr, MAKEINTRESOURCEW(32513)),
                                 LoadIconW(nullptr, MAKEINTRESOURCEW(32514)),
                                 LoadIconW(nullptr, MAKEINTRESOURCEW(32515))};
    test_switch::logf("images %p %p %p double-click time %u", static_cast<void*>(images[0]),
                      static_cast<void*>(images[1]), static_cast<void*>(images[2]), GetDoubleClickTime());

    g_icon.reset(new cool_tray_icon(form));
    cool_tray_icon& i = *g_icon;
    test_switch::logf("form procedure hooked=%d",
                      GetWindowLongPtrW(form, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(events_form_proc) ? 1 : 0);
    test_switch::logf("defaults enabled=%d show_hint=%d icon_visible=%d left_popup=%d version3=%d minimize=%d",
                      i.enabled() ? 1 : 0, i.show_hint() ? 1 : 0, i.icon_visible() ? 1 : 0, i.left_popup() ? 1 : 0,
                      i.shell_version3() ? 1 : 0, i.minimize_to_tray() ? 1 : 0);
    i.set_popup_menu(menu);
    i.set_icon_list(images);
    i.set_icon_index(0);
    i.set_cycle_interval(150);
    i.set_hint(L"probe icon");
    i.set_show_hint(false);
    std::string tip_off = test_switch::utf8(i.tip());
    i.set_show_hint(true);
    test_switch::logf("tip with ShowHint off=[%s] on=[%s]", tip_off.c_str(), test_switch::utf8(i.tip()).c_str());
    i.set_minimize_to_tray(true);
    i.set_want_enter_exit_events(true);
    i.on_menu_command = [form](UINT id) {
        test_switch::logf("command %u", id);
        if (id == 203) PostMessageW(form, WM_CLOSE, 0, 0);
    };
    i.on_click = [] { test_switch::log("event click"); };
    i.on_dbl_click = [] { test_switch::log("event dblclick"); };
    i.on_mouse_down = [](mouse_button b, unsigned shift, int x, int y) {
        test_switch::logf("event down %s shift=%u at=%d,%d", button_name(b), shift, x, y);
    };
    i.on_mouse_up = [](mouse_button b, unsigned shift, int x, int y) {
        test_switch::logf("event up %s shift=%u at=%d,%d", button_name(b), shift, x, y);
    };
    i.on_mouse_move = [](unsigned shift, int x, int y) {
        test_switch::logf("event move shift=%u at=%d,%d", shift, x, y);
    };
    i.on_mouse_enter = [] { test_switch::log("event enter"); };
    i.on_mouse_exit = [] { test_switch::log("event exit"); };
    i.on_cycle = [](int next) { test_switch::logf("event cycle next=%d", next); };
    i.on_balloon_hint_show = [] { test_switch::log("event balloon show"); };
    i.on_balloon_hint_hide = [] { test_switch::log("event balloon hide"); };
    i.on_balloon_hint_timeout = [] { test_switch::log("event balloon timeout"); };
    i.on_balloon_hint_click = [] { test_switch::log("event balloon click"); };
    i.on_minimize_to_tray = [] { test_switch::log("event minimize"); };
    i.on_startup = [&startup](bool& show) {
        test_switch::logf("event startup show=%d", show ? 1 : 0);
        show = startup != L"hide";
    };
    i.loaded();
    if (i.show_main_form()) {
        ShowWindow(form, SW_SHOWNORMAL);
        UpdateWindow(form);
    }
    test_switch::logf("probe ready form visible=%d", IsWindowVisible(form) ? 1 : 0);
    SetTimer(nullptr, 0, 120000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr) break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    g_icon.reset();
    if (IsWindow(form)) DestroyWindow(form);
    DestroyMenu(menu);
    test_switch::log("probe end");
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    test_switch::init();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 2;
    std::wstring mode = argv[1];
    int rc = 2;
    if (mode == L"timers") rc = timers();
    else if (mode == L"tray" && argc >= 4) rc = tray(argv[2], argv[3]);
    else if (mode == L"events" && argc >= 3) rc = events(argv[2]);
    std::fflush(stdout);
    LocalFree(argv);
    return rc;
}
