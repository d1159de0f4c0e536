// The notification-area icon and the window timers it uses. Each kind keeps
// one hidden window per process, made with its first object and freed with
// its last.
#ifndef SOLVANTEX_MON_TRAY_ICON_H
#define SOLVANTEX_MON_TRAY_ICON_H

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>

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

class cool_tray_icon {
  public:
    // owner: the main window; its TaskbarCreated re-adds the icon
    // (call on_owner_message from its window procedure).
    explicit cool_tray_icon(HWND owner);
    ~cool_tray_icon();
    cool_tray_icon(const cool_tray_icon&) = delete;
    cool_tray_icon& operator=(const cool_tray_icon&) = delete;

    void set_icon(HICON icon);
    void set_hint(const std::wstring& hint);
    void set_show_hint(bool show);
    void set_icon_visible(bool visible);
    bool icon_visible() const { return visible_; }
    void set_enabled(bool enabled) { enabled_ = enabled; }
    // The popup menu (not owned) and whether it pops up on a right click.
    void set_popup_menu(HMENU menu) { menu_ = menu; }
    // Runs a menu item chosen in the popup menu or by a double click.
    std::function<void(UINT id)> on_menu_command;
    std::function<void()> on_click;
    std::function<void()> on_dbl_click;

    // Title at most 63 characters, text at most 255 (cut on a character
    // boundary), timeout in seconds.
    void show_balloon(const std::wstring& title, const std::wstring& text, UINT seconds, balloon_kind kind);
    void clear_balloon();

    // The tip the shell shows: the hint cut to 127 characters, or empty.
    std::wstring tip() const;
    UINT id() const { return id_; }
    // The menu at the cursor (the handler window brought to the foreground
    // first; a null message posted after so that the menu closes normally).
    void popup_at_cursor();
    // The owner's message hook: TaskbarCreated re-adds a visible icon.
    // True when the message was the shell's.
    bool on_owner_message(UINT msg);
    // The handler window (tests, the driver's target).
    static HWND handler_window();
    static UINT taskbar_created_message();

  private:
    friend LRESULT CALLBACK tray_window_proc(HWND, UINT, WPARAM, LPARAM);
    void callback(LPARAM lparam);
    bool notify(DWORD action);
    void fill(NOTIFYICONDATAW& d) const;
    void run_default_item();

    HWND owner_;
    UINT id_;
    HICON icon_ = nullptr;
    std::wstring hint_;
    bool show_hint_ = true;
    bool visible_ = false;
    bool enabled_ = true;
    HMENU menu_ = nullptr;
    bool click_pending_ = false;
    simple_timer click_timer_;
};

// Registered at start when the common controls are newer than 4.70; 0 otherwise.
void register_taskbar_created();

}  // namespace mon

#endif
