#include "tray_icon.h"

#include <map>

#include "test_switch.h"
#include "ustring.h"
#include "win_text.h"

namespace mon {

namespace {

const UINT kTrayCallback = 0x800;
const wchar_t kTimerClass[] = L"TSolvantex_TimerHandler";
const wchar_t kTrayClass[] = L"TSolvantex_TrayHandler";

struct timer_handler {
    HWND window = nullptr;
    int timers = 0;
    int running = 0;
} g_timers;

struct tray_handler {
    HWND window = nullptr;
    int icons = 0;
    UINT next_id = 1;
    std::map<UINT, cool_tray_icon*> by_id;
} g_tray;

UINT g_taskbar_created = 0;

HWND make_hidden(const wchar_t* cls, WNDPROC proc) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = cls;
    RegisterClassW(&wc);
    return CreateWindowExW(WS_EX_TOOLWINDOW, cls, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                           nullptr);
}

}  // namespace

LRESULT CALLBACK timer_window_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_TIMER) {
        auto* t = reinterpret_cast<simple_timer*>(w);
        if (t) t->fire();
        return 0;
    }
    return DefWindowProcW(h, m, w, l);
}

simple_timer::simple_timer(UINT interval, std::function<void()> on_timer)
    : interval_(interval), on_timer_(std::move(on_timer)) {
    if (g_timers.timers++ == 0) g_timers.window = make_hidden(kTimerClass, timer_window_proc);
}

simple_timer::~simple_timer() {
    stop();
    if (--g_timers.timers == 0 && g_timers.window) {
        DestroyWindow(g_timers.window);
        g_timers.window = nullptr;
        test_switch::log("timer window freed");
    }
}

void simple_timer::set_enabled(bool on) {
    if (on == enabled_) return;
    if (on) start();
    else stop();
}

void simple_timer::set_interval(UINT ms) {
    interval_ = ms;
    if (enabled_) {
        stop();
        if (ms) start();
    }
}

void simple_timer::start() {
    if (interval_ == 0 || !g_timers.window) return;
    if (!SetTimer(g_timers.window, reinterpret_cast<UINT_PTR>(this), interval_, nullptr)) return;
    enabled_ = true;
    ++g_timers.running;
}

void simple_timer::stop() {
    if (!enabled_) return;
    KillTimer(g_timers.window, reinterpret_cast<UINT_PTR>(this));
    enabled_ = false;
    --g_timers.running;
}

void simple_timer::fire() {
    if (!enabled_) return;
    if (one_shot_) stop();
    if (on_timer_) on_timer_();
}

HWND simple_timer::shared_window() { return g_timers.window; }
int simple_timer::timer_count() { return g_timers.timers; }
int simple_timer::running_count() { return g_timers.running; }

void register_taskbar_created() {
    // comctl32's version decides (Wine reports 5.81 with either copy).
    HMODULE cc = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    DWORD major = 0, minor = 0;
    if (cc) {
        struct dll_version { DWORD size, major, minor, build, platform; };
        using get_version = HRESULT(CALLBACK*)(dll_version*);
        auto fn = reinterpret_cast<get_version>(reinterpret_cast<void*>(GetProcAddress(cc, "DllGetVersion")));
        dll_version v = {sizeof(dll_version), 0, 0, 0, 0};
        if (fn && SUCCEEDED(fn(&v))) { major = v.major; minor = v.minor; }
        FreeLibrary(cc);
    }
    if (major > 4 || (major == 4 && minor > 70)) g_taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    test_switch::logf("comctl32 %lu.%lu taskbar-created 0x%x", static_cast<unsigned long>(major),
                      static_cast<unsigned long>(minor), g_taskbar_created);
}

UINT cool_tray_icon::taskbar_created_message() { return g_taskbar_created; }
HWND cool_tray_icon::handler_window() { return g_tray.window; }

LRESULT CALLBACK tray_window_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
        case WM_DESTROY: case WM_CLOSE: case WM_QUERYENDSESSION: case WM_QUIT: case WM_ENDSESSION:
        case WM_NCDESTROY:
            // The shared window lives until its last icon goes.
            if (m == WM_NCDESTROY || m == WM_DESTROY) return DefWindowProcW(h, m, w, l);
            return 1;
        case kTrayCallback: {
            auto it = g_tray.by_id.find(static_cast<UINT>(w));
            if (it != g_tray.by_id.end()) it->second->callback(l);
            return 0;
        }
        default:
            return DefWindowProcW(h, m, w, l);
    }
}

cool_tray_icon::cool_tray_icon(HWND owner) : owner_(owner), id_(0), click_timer_(GetDoubleClickTime()) {
    if (g_tray.icons++ == 0) g_tray.window = make_hidden(kTrayClass, tray_window_proc);
    id_ = g_tray.next_id++;
    g_tray.by_id[id_] = this;
    click_timer_.set_one_shot(true);
    click_timer_.set_on_timer([this] {
        if (click_pending_) {
            click_pending_ = false;
            if (on_click) on_click();
        }
    });
}

cool_tray_icon::~cool_tray_icon() {
    if (visible_) notify(NIM_DELETE);
    g_tray.by_id.erase(id_);
    if (--g_tray.icons == 0 && g_tray.window) {
        DestroyWindow(g_tray.window);
        g_tray.window = nullptr;
    }
}

std::wstring cool_tray_icon::tip() const {
    if (!show_hint_ || hint_.empty()) return std::wstring();
    return to_wide(cut_text(from_wide(hint_), 127));
}

void cool_tray_icon::fill(NOTIFYICONDATAW& d) const {
    ZeroMemory(&d, sizeof d);
    d.cbSize = NOTIFYICONDATAW_V2_SIZE;
    d.hWnd = g_tray.window;
    d.uID = id_;
    d.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    d.uCallbackMessage = kTrayCallback;
    d.hIcon = icon_;
    std::wstring t = tip();
    wcsncpy(d.szTip, t.c_str(), 127);
    d.szTip[127] = 0;
}

bool cool_tray_icon::notify(DWORD action) {
    NOTIFYICONDATAW d;
    fill(d);
    BOOL ok = Shell_NotifyIconW(action, &d);
    test_switch::logf("tray %s id=%u ok=%d tip=%s", action == NIM_ADD ? "add" : action == NIM_DELETE ? "delete" : "modify",
                      id_, ok ? 1 : 0, test_switch::utf8(d.szTip).c_str());
    return ok != FALSE;
}

void cool_tray_icon::set_icon(HICON icon) {
    icon_ = icon;
    if (visible_) notify(NIM_MODIFY);
}

void cool_tray_icon::set_hint(const std::wstring& hint) {
    hint_ = hint;
    if (visible_) notify(NIM_MODIFY);
}

void cool_tray_icon::set_show_hint(bool show) {
    show_hint_ = show;
    if (visible_) notify(NIM_MODIFY);
}

void cool_tray_icon::set_icon_visible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    notify(visible ? NIM_ADD : NIM_DELETE);
}

void cool_tray_icon::clear_balloon() {
    NOTIFYICONDATAW d;
    fill(d);
    d.uFlags = NIF_INFO;
    d.szInfo[0] = 0;
    Shell_NotifyIconW(NIM_MODIFY, &d);
}

void cool_tray_icon::show_balloon(const std::wstring& title, const std::wstring& text, UINT seconds,
                                  balloon_kind kind) {
    clear_balloon();
    NOTIFYICONDATAW d;
    fill(d);
    d.uFlags = NIF_INFO;
    std::wstring t = to_wide(cut_text(from_wide(text), 255));
    std::wstring ti = to_wide(cut_text(from_wide(title), 63));
    wcsncpy(d.szInfo, t.c_str(), 255);
    d.szInfo[255] = 0;
    wcsncpy(d.szInfoTitle, ti.c_str(), 63);
    d.szInfoTitle[63] = 0;
    d.uTimeout = seconds * 1000;
    d.dwInfoFlags = static_cast<DWORD>(kind);
    BOOL ok = Shell_NotifyIconW(NIM_MODIFY, &d);
    test_switch::logf("balloon id=%u ok=%d kind=%d seconds=%u title=%s text=%s", id_, ok ? 1 : 0,
                      static_cast<int>(kind), seconds, test_switch::utf8(ti).c_str(), test_switch::utf8(t).c_str());
}

void cool_tray_icon::popup_at_cursor() {
    if (!menu_) return;
    POINT p;
    GetCursorPos(&p);
    SetForegroundWindow(g_tray.window);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) { PostQuitMessage(static_cast<int>(msg.wParam)); break; }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    test_switch::logf("menu open at %ld,%ld", p.x, p.y);
    UINT cmd = static_cast<UINT>(TrackPopupMenuEx(menu_, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, p.x, p.y,
                                                  g_tray.window, nullptr));
    PostMessageW(owner_ ? owner_ : g_tray.window, WM_NULL, 0, 0);
    test_switch::logf("menu closed item=%u", cmd);
    if (cmd && on_menu_command) on_menu_command(cmd);
}

void cool_tray_icon::run_default_item() {
    if (!menu_) return;
    UINT id = GetMenuDefaultItem(menu_, FALSE, 0);
    if (id == static_cast<UINT>(-1)) return;
    test_switch::logf("default item %u", id);
    if (on_menu_command) on_menu_command(id);
}

void cool_tray_icon::callback(LPARAM lparam) {
    if (!enabled_) return;
    switch (static_cast<UINT>(lparam)) {
        case WM_LBUTTONDOWN:
            if (on_dbl_click) {
                click_timer_.set_interval(GetDoubleClickTime());
                click_timer_.set_enabled(true);
            }
            break;
        case WM_LBUTTONUP:
            if (on_dbl_click && click_timer_.enabled()) click_pending_ = true;
            else if (on_click) on_click();
            break;
        case WM_LBUTTONDBLCLK:
            click_pending_ = false;
            click_timer_.set_enabled(false);
            if (on_dbl_click) on_dbl_click();
            run_default_item();
            break;
        case WM_RBUTTONDOWN:
            popup_at_cursor();
            break;
        default:
            break;
    }
}

bool cool_tray_icon::on_owner_message(UINT msg) {
    if (g_taskbar_created == 0 || msg != g_taskbar_created) return false;
    test_switch::logf("taskbar created, icon visible=%d", visible_ ? 1 : 0);
    if (visible_) notify(NIM_ADD);
    return true;
}

}  // namespace mon
