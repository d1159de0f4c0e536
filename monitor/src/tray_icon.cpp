#include "tray_icon.h"

#include <map>
#include <set>

#include "app_names.h"
#include "test_switch.h"
#include "ui_helpers.h"
#include "ustring.h"
#include "win_text.h"

namespace mon {

namespace {

const UINT kTrayCallback = 0x800;

struct timer_handler {
    HWND window = nullptr;
    int timers = 0;
    int running = 0;
    std::set<const simple_timer*> live;
} g_timers;

// The owners whose window procedure an icon hooks: the icon (null once it is
// gone while a later hook sits above ours) and the procedure it replaced.
struct owner_hook_entry {
    cool_tray_icon* icon;
    WNDPROC old;
};
std::map<HWND, owner_hook_entry> g_owner_hooks;

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
        // A tick queued for a timer that is gone is dropped.
        if (t && g_timers.live.count(t)) {
            try {
                t->fire();
            } catch (...) {
                test_switch::log("timer event failed");
            }
        }
        return 0;
    }
    return DefWindowProcW(h, m, w, l);
}

simple_timer::simple_timer(UINT interval, std::function<void()> on_timer)
    : interval_(interval), on_timer_(std::move(on_timer)) {
    if (g_timers.timers++ == 0) g_timers.window = make_hidden(names::timer_handler_class, timer_window_proc);
    g_timers.live.insert(this);
}

simple_timer::~simple_timer() {
    stop();
    g_timers.live.erase(this);
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
    // A copy runs: the event may free this timer.
    std::function<void()> f = on_timer_;
    if (f) f();
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
            // Nobody but the last icon ends the shared window.
            return 1;
        case kTrayCallback: {
            auto it = g_tray.by_id.find(static_cast<UINT>(w));
            if (it != g_tray.by_id.end()) {
                try {
                    it->second->callback(l);
                } catch (...) {
                    test_switch::log("tray event failed");
                }
            }
            return 0;
        }
        default:
            return DefWindowProcW(h, m, w, l);
    }
}

LRESULT CALLBACK owner_hook_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    auto it = g_owner_hooks.find(h);
    if (it == g_owner_hooks.end()) return DefWindowProcW(h, m, w, l);
    WNDPROC old = it->second.old;
    cool_tray_icon* icon = it->second.icon;
    if (m == WM_NCDESTROY) {
        // The owner goes first: put its procedure back and forget it.
        if (icon) icon->hooked_ = false;
        if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(h, GWLP_WNDPROC)) == owner_hook_proc)
            SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
        g_owner_hooks.erase(it);
        return CallWindowProcW(old, h, m, w, l);
    }
    if (icon) {
        LRESULT result = 0;
        bool handled = false;
        try {
            handled = icon->owner_hook(m, w, l, old, result);
        } catch (...) {
            test_switch::log("tray owner hook failed");
        }
        if (handled) return result;
    }
    return CallWindowProcW(old, h, m, w, l);
}

cool_tray_icon::cool_tray_icon(HWND owner)
    : owner_(owner), id_(0), click_timer_(GetDoubleClickTime()), exit_timer_(20), cycle_timer_(0),
      alive_(std::make_shared<bool>(true)) {
    if (g_tray.icons++ == 0) g_tray.window = make_hidden(names::tray_handler_class, tray_window_proc);
    id_ = g_tray.next_id++;
    g_tray.by_id[id_] = this;
    click_timer_.set_one_shot(true);
    click_timer_.set_on_timer([this] {
        POINT p = {0, 0};
        GetCursorPos(&p);
        run(mouse_.click_timer_expired(bindings()), 0, p);
    });
    exit_timer_.set_on_timer([this] {
        POINT p = {0, 0};
        GetCursorPos(&p);
        run(mouse_.exit_timer_tick(bindings(), tray_point{p.x, p.y}), 0, p);
    });
    cycle_timer_.set_on_timer([this] { cycle(); });
    hook_owner();
}

cool_tray_icon::~cool_tray_icon() {
    *alive_ = false;
    unhook_owner();
    if (visible_) notify(NIM_DELETE);
    g_tray.by_id.erase(id_);
    if (--g_tray.icons == 0 && g_tray.window) {
        DestroyWindow(g_tray.window);
        g_tray.window = nullptr;
    }
}

void cool_tray_icon::hook_owner() {
    if (!owner_ || !IsWindow(owner_) || g_owner_hooks.count(owner_)) return;
    auto old = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(owner_, GWLP_WNDPROC));
    if (!old) return;
    g_owner_hooks[owner_] = owner_hook_entry{this, old};
    SetWindowLongPtrW(owner_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(owner_hook_proc));
    hooked_ = true;
    test_switch::logf("owner hooked id=%u", id_);
}

void cool_tray_icon::unhook_owner() {
    if (!hooked_) return;
    hooked_ = false;
    auto it = g_owner_hooks.find(owner_);
    if (it == g_owner_hooks.end()) return;
    if (IsWindow(owner_) &&
        reinterpret_cast<WNDPROC>(GetWindowLongPtrW(owner_, GWLP_WNDPROC)) == owner_hook_proc) {
        SetWindowLongPtrW(owner_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(it->second.old));
        g_owner_hooks.erase(it);
        test_switch::logf("owner unhooked id=%u", id_);
    } else {
        // Someone hooked the owner after us: ours stays in the chain and
        // only passes messages on.
        it->second.icon = nullptr;
        test_switch::logf("owner hook left passing id=%u", id_);
    }
}

bool cool_tray_icon::owner_hook(UINT m, WPARAM w, LPARAM l, WNDPROC old, LRESULT& result) {
    if (on_owner_message(m)) {
        result = 0;
        return true;
    }
    if (m == WM_SYSCOMMAND && (w & 0xFFF0) == SC_RESTORE) {
        test_switch::logf("system restore id=%u", id_);
        if (IsIconic(owner_)) ShowWindow(owner_, SW_RESTORE);
        ShowWindow(owner_, SW_SHOW);
        result = 0;
        return true;
    }
    if (m == WM_SIZE && w == SIZE_MINIMIZED && minimize_to_tray_ && IsWindowVisible(owner_)) {
        std::shared_ptr<bool> alive = alive_;
        result = CallWindowProcW(old, owner_, m, w, l);
        if (!*alive) return true;
        test_switch::logf("minimize to tray id=%u", id_);
        hide_owner_form();
        if (on_minimize_to_tray) on_minimize_to_tray();
        if (*alive) set_icon_visible(true);
        return true;
    }
    return false;
}

void cool_tray_icon::restore_owner_form() {
    if (!owner_ || !IsWindow(owner_)) return;
    if (IsIconic(owner_)) ShowWindow(owner_, SW_RESTORE);
    ShowWindow(owner_, SW_SHOW);
    SetForegroundWindow(owner_);
}

void cool_tray_icon::hide_owner_form() {
    if (owner_ && IsWindow(owner_)) ShowWindow(owner_, SW_HIDE);
}

void cool_tray_icon::loaded() {
    std::shared_ptr<bool> alive = alive_;
    if (owner_ && IsWindow(owner_)) {
        bool show = true;
        if (on_startup) on_startup(show);
        if (!*alive) return;
        show_main_form_ = show;
        test_switch::logf("startup id=%u show=%d", id_, show ? 1 : 0);
        if (!show) hide_owner_form();
    }
    if (visible_) notify(NIM_MODIFY);
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
    test_switch::logf("shell icon id=%u handle=%p", id_, static_cast<void*>(d.hIcon));
    if (action == NIM_ADD && shell_version3_) {
        d.uVersion = NOTIFYICON_VERSION;
        Shell_NotifyIconW(NIM_SETVERSION, &d);
    }
    return ok != FALSE;
}

void cool_tray_icon::set_icon(HICON icon) {
    icon_ = icon;
    if (visible_) notify(NIM_MODIFY);
}

void cool_tray_icon::set_icon_list(const std::vector<HICON>& icons) {
    icon_list_ = icons;
    set_icon_index(icon_index_);
}

void cool_tray_icon::set_icon_index(int index) {
    icon_index_ = index;
    if (index >= 0 && static_cast<size_t>(index) < icon_list_.size()) set_icon(icon_list_[static_cast<size_t>(index)]);
}

void cool_tray_icon::set_cycle_icons(bool on) {
    cycle_icons_ = on;
    cycle_timer_.set_interval(cycle_interval_);
    cycle_timer_.set_enabled(on);
}

void cool_tray_icon::set_cycle_interval(UINT ms) {
    cycle_interval_ = ms;
    cycle_timer_.set_interval(ms);
    if (cycle_icons_ && !cycle_timer_.enabled()) cycle_timer_.set_enabled(true);
}

void cool_tray_icon::cycle() {
    int next = next_cycle_index(icon_index_, static_cast<int>(icon_list_.size()));
    if (next < 0) return;
    set_icon_index(next);
    test_switch::logf("cycle id=%u index=%d", id_, next);
    if (on_cycle) on_cycle(next);
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

void cool_tray_icon::set_want_enter_exit_events(bool on) {
    want_enter_exit_ = on;
    if (!on) {
        POINT p = {0, 0};
        run(mouse_.stop_enter_exit(), 0, p);
    }
}

void cool_tray_icon::set_shell_version3(bool on) {
    shell_version3_ = on;
    if (on && visible_) {
        NOTIFYICONDATAW d;
        fill(d);
        d.uVersion = NOTIFYICON_VERSION;
        Shell_NotifyIconW(NIM_SETVERSION, &d);
    }
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
    std::shared_ptr<bool> alive = alive_;
    POINT p;
    GetCursorPos(&p);
    SetForegroundWindow(g_tray.window);
    pump_pending_messages(alive.get());
    if (!*alive) return;
    test_switch::logf("menu open at %ld,%ld", p.x, p.y);
    UINT cmd = static_cast<UINT>(TrackPopupMenuEx(menu_, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, p.x, p.y,
                                                  g_tray.window, nullptr));
    if (!*alive) return;
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

tray_bindings cool_tray_icon::bindings() const {
    tray_bindings b;
    b.enabled = enabled_;
    b.has_dbl_click = static_cast<bool>(on_dbl_click);
    b.left_popup = left_popup_;
    b.auto_menu = menu_ != nullptr && auto_popup_;
    b.want_enter_exit = want_enter_exit_;
    b.shell_version3 = shell_version3_;
    return b;
}

namespace {
unsigned shift_state() {
    unsigned s = 0;
    if (GetKeyState(VK_SHIFT) < 0) s |= ss_shift;
    if (GetKeyState(VK_MENU) < 0) s |= ss_alt;
    if (GetKeyState(VK_CONTROL) < 0) s |= ss_ctrl;
    if (GetKeyState(VK_LBUTTON) < 0) s |= ss_left;
    if (GetKeyState(VK_RBUTTON) < 0) s |= ss_right;
    if (GetKeyState(VK_MBUTTON) < 0) s |= ss_middle;
    return s;
}
}  // namespace

void cool_tray_icon::run(const std::vector<tray_step>& steps, unsigned shift, POINT at) {
    // An event may free the icon (a menu item that ends the program): stop there.
    std::shared_ptr<bool> alive = alive_;
    for (const tray_step& s : steps) {
        if (!*alive) return;
        switch (s.kind) {
            case tray_step_kind::mouse_enter: if (on_mouse_enter) on_mouse_enter(); break;
            case tray_step_kind::mouse_move: if (on_mouse_move) on_mouse_move(shift, at.x, at.y); break;
            case tray_step_kind::mouse_exit: if (on_mouse_exit) on_mouse_exit(); break;
            case tray_step_kind::mouse_down:
                if (on_mouse_down) on_mouse_down(s.button, shift, at.x, at.y);
                break;
            case tray_step_kind::mouse_up:
                if (on_mouse_up) on_mouse_up(s.button, shift, at.x, at.y);
                break;
            case tray_step_kind::click: if (on_click) on_click(); break;
            case tray_step_kind::dbl_click: if (on_dbl_click) on_dbl_click(); break;
            case tray_step_kind::popup_menu: popup_at_cursor(); break;
            case tray_step_kind::run_default_item: run_default_item(); break;
            case tray_step_kind::start_click_timer:
                click_timer_.set_enabled(false);
                click_timer_.set_interval(GetDoubleClickTime());
                click_timer_.set_enabled(true);
                break;
            case tray_step_kind::stop_click_timer: click_timer_.set_enabled(false); break;
            case tray_step_kind::start_exit_timer: exit_timer_.set_enabled(true); break;
            case tray_step_kind::stop_exit_timer: exit_timer_.set_enabled(false); break;
            case tray_step_kind::balloon_show: if (on_balloon_hint_show) on_balloon_hint_show(); break;
            case tray_step_kind::balloon_hide: if (on_balloon_hint_hide) on_balloon_hint_hide(); break;
            case tray_step_kind::balloon_timeout: if (on_balloon_hint_timeout) on_balloon_hint_timeout(); break;
            case tray_step_kind::balloon_click: if (on_balloon_hint_click) on_balloon_hint_click(); break;
        }
    }
}

void cool_tray_icon::callback(LPARAM lparam) {
    POINT p = {0, 0};
    GetCursorPos(&p);
    unsigned shift = shift_state();
    std::uint32_t msg = static_cast<std::uint32_t>(lparam);
    if (msg == tray_msg::lbutton_dblclk) shift |= ss_double;
    run(mouse_.callback(msg, bindings(), tray_point{p.x, p.y}), shift, p);
}

bool cool_tray_icon::on_owner_message(UINT msg) {
    if (g_taskbar_created == 0 || msg != g_taskbar_created) return false;
    test_switch::logf("taskbar created, icon visible=%d", visible_ ? 1 : 0);
    if (visible_) notify(NIM_ADD);
    return true;
}

}  // namespace mon
