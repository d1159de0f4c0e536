// The notification-area icon and the window timers it uses. Each kind keeps
// one hidden window per process, made with its first object and freed with
// its last.
#ifndef SOLVANTEX_MON_TRAY_ICON_H
#define SOLVANTEX_MON_TRAY_ICON_H

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tray_mouse.h"

namespace mon {

// A window timer without a window of its own.
class simple_timer {
  public:
    explicit simple_timer(UINT interval = 1000, std::function<void()> on_timer = nullptr);
    ~simple_timer();
    simple_timer(const simple_timer&) = delete;
    simple_timer& operator=(const simple_timer&) = delete;

    void set_enabled(bool on);
    bool enabled() const { return enabled_; }
    // Restarts a running timer; 0 stops it.
    void set_interval(UINT ms);
    UINT interval() const { return interval_; }
    void set_on_timer(std::function<void()> f) { on_timer_ = std::move(f); }
    // Disabled before its event runs.
    void set_one_shot(bool one_shot) { one_shot_ = one_shot; }

    // The shared window while at least one timer exists (tests).
    static HWND shared_window();
    static int timer_count();
    static int running_count();

  private:
    friend LRESULT CALLBACK timer_window_proc(HWND, UINT, WPARAM, LPARAM);
    void start();
    void stop();
    void fire();
    UINT interval_;
    bool enabled_ = false;
    bool one_shot_ = false;
    std::function<void()> on_timer_;
};

enum balloon_kind { balloon_none = 0, balloon_info = 1, balloon_warning = 2, balloon_error = 3, balloon_user = 4 };

// One icon in the notification area. The owner is the program's form: its
// window procedure is hooked while the icon lives (the shell's restart, the
// system restore command and minimising to the tray) and put back when the
// icon is destroyed.
class cool_tray_icon {
  public:
    explicit cool_tray_icon(HWND owner);
    ~cool_tray_icon();
    cool_tray_icon(const cool_tray_icon&) = delete;
    cool_tray_icon& operator=(const cool_tray_icon&) = delete;

    // Properties. Defaults: enabled, hint shown, icon not visible.
    void set_design_preview(bool on) { design_preview_ = on; }  // a designer's setting; no effect at run time
    bool design_preview() const { return design_preview_; }
    // The images that cycling and icon_index choose from (not owned).
    void set_icon_list(const std::vector<HICON>& icons);
    const std::vector<HICON>& icon_list() const { return icon_list_; }
    void set_cycle_icons(bool on);
    bool cycle_icons() const { return cycle_icons_; }
    void set_cycle_interval(UINT ms);
    UINT cycle_interval() const { return cycle_interval_; }
    void set_enabled(bool enabled) { enabled_ = enabled; }
    bool enabled() const { return enabled_; }
    void set_hint(const std::wstring& hint);
    const std::wstring& hint() const { return hint_; }
    void set_show_hint(bool show);
    bool show_hint() const { return show_hint_; }
    // The icon (not owned).
    void set_icon(HICON icon);
    HICON icon() const { return icon_; }
    void set_icon_visible(bool visible);
    bool icon_visible() const { return visible_; }
    // Takes that image of the icon list as the icon; an index outside the
    // list is kept but changes nothing.
    void set_icon_index(int index);
    int icon_index() const { return icon_index_; }
    // The popup menu (not owned) and whether it pops up by itself (on the
    // right button, and on the left with left_popup).
    void set_popup_menu(HMENU menu) { menu_ = menu; }
    HMENU popup_menu() const { return menu_; }
    void set_auto_popup(bool on) { auto_popup_ = on; }
    bool auto_popup() const { return auto_popup_; }
    void set_left_popup(bool on) { left_popup_ = on; }
    bool left_popup() const { return left_popup_; }
    void set_want_enter_exit_events(bool on);
    bool want_enter_exit_events() const { return want_enter_exit_; }
    void set_minimize_to_tray(bool on) { minimize_to_tray_ = on; }
    bool minimize_to_tray() const { return minimize_to_tray_; }

    // The shell's version-3 behaviour: the right button's up event comes
    // with the shell's context-menu and select notices instead of
    // WM_RBUTTONUP. Off unless set.
    void set_shell_version3(bool on);
    bool shell_version3() const { return shell_version3_; }

    // Events (fired only while enabled, except OnCycle, OnMinimizeToTray and
    // OnStartup). Positions are screen coordinates of the cursor.
    std::function<void()> on_click;
    std::function<void()> on_dbl_click;
    std::function<void(mouse_button, unsigned shift, int x, int y)> on_mouse_down;
    std::function<void(mouse_button, unsigned shift, int x, int y)> on_mouse_up;
    std::function<void(unsigned shift, int x, int y)> on_mouse_move;
    std::function<void()> on_mouse_enter;
    std::function<void()> on_mouse_exit;
    std::function<void(int next_index)> on_cycle;
    std::function<void()> on_balloon_hint_show;
    std::function<void()> on_balloon_hint_hide;
    std::function<void()> on_balloon_hint_timeout;
    std::function<void()> on_balloon_hint_click;
    std::function<void()> on_minimize_to_tray;
    std::function<void(bool& show_main_form)> on_startup;
    // Runs a menu item chosen in the popup menu or by a double click.
    std::function<void(UINT id)> on_menu_command;

    // Once the owner has set the icon up: OnStartup (a false answer hides
    // the owner and show_main_form() turns false), then the icon updated.
    void loaded();
    bool show_main_form() const { return show_main_form_; }

    // Title at most 63 characters, text at most 255 (cut on a character
    // boundary), timeout in seconds.
    void show_balloon(const std::wstring& title, const std::wstring& text, UINT seconds, balloon_kind kind);
    void clear_balloon();

    // Restore the owner from minimised, make it visible, bring it forward.
    void restore_owner_form();
    // Make the owner invisible.
    void hide_owner_form();

    // The tip the shell shows: the hint cut to 127 characters, or empty.
    std::wstring tip() const;
    UINT id() const { return id_; }
    // The menu at the cursor (the handler window brought to the foreground
    // first; a null message posted after so that the menu closes normally).
    void popup_at_cursor();
    // The shell's restart: TaskbarCreated re-adds a visible icon. True when
    // the message was the shell's. The owner's hook calls it; an owner that
    // sees messages before the hook may call it too.
    bool on_owner_message(UINT msg);
    // The handler window (tests, the driver's target).
    static HWND handler_window();
    static UINT taskbar_created_message();

  private:
    friend LRESULT CALLBACK tray_window_proc(HWND, UINT, WPARAM, LPARAM);
    friend LRESULT CALLBACK owner_hook_proc(HWND, UINT, WPARAM, LPARAM);
    void callback(LPARAM lparam);
    bool owner_hook(UINT m, WPARAM w, LPARAM l, WNDPROC old, LRESULT& result);
    void hook_owner();
    void unhook_owner();
    tray_bindings bindings() const;
    void run(const std::vector<tray_step>& steps, unsigned shift, POINT at);
    void cycle();
    bool notify(DWORD action);
    void fill(NOTIFYICONDATAW& d) const;
    void run_default_item();

    HWND owner_;
    UINT id_;
    bool design_preview_ = false;
    std::vector<HICON> icon_list_;
    bool cycle_icons_ = false;
    UINT cycle_interval_ = 0;
    bool enabled_ = true;
    std::wstring hint_;
    bool show_hint_ = true;
    HICON icon_ = nullptr;
    bool visible_ = false;
    int icon_index_ = 0;
    HMENU menu_ = nullptr;
    bool auto_popup_ = true;
    bool left_popup_ = false;
    bool want_enter_exit_ = false;
    bool minimize_to_tray_ = false;
    bool shell_version3_ = false;
    bool show_main_form_ = true;
    bool hooked_ = false;
    tray_mouse mouse_;
    simple_timer click_timer_;
    simple_timer exit_timer_;
    simple_timer cycle_timer_;
    // Cleared when the icon goes, so that a step after an event that freed
    // the icon does not run.
    std::shared_ptr<bool> alive_;
};

// Registered at start when the common controls are newer than 4.70; 0 otherwise.
void register_taskbar_created();

}  // namespace mon

#endif
