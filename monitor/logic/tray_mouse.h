// What the tray icon does with the shell's callbacks: which events fire, in
// which order, and when its click timer and cursor-exit timer run. No window
// here; the icon carries the steps out.
#ifndef SOLVANTEX_MON_TRAY_MOUSE_H
#define SOLVANTEX_MON_TRAY_MOUSE_H

#include <cstdint>
#include <vector>

namespace mon {

// The callback's lParam values the icon reacts to.
namespace tray_msg {
const std::uint32_t mouse_move = 0x0200;
const std::uint32_t lbutton_down = 0x0201;
const std::uint32_t lbutton_up = 0x0202;
const std::uint32_t lbutton_dblclk = 0x0203;
const std::uint32_t rbutton_down = 0x0204;
const std::uint32_t rbutton_up = 0x0205;
const std::uint32_t mbutton_down = 0x0207;
const std::uint32_t mbutton_up = 0x0208;
const std::uint32_t context_menu = 0x007B;
const std::uint32_t nin_select = 0x0400;
const std::uint32_t nin_key_select = 0x0401;
const std::uint32_t balloon_show = 0x0402;
const std::uint32_t balloon_hide = 0x0403;
const std::uint32_t balloon_timeout = 0x0404;
const std::uint32_t balloon_user_click = 0x0405;
}  // namespace tray_msg

// Shift state of a mouse event.
enum shift_flag : unsigned {
    ss_shift = 1,
    ss_alt = 2,
    ss_ctrl = 4,
    ss_left = 8,
    ss_right = 16,
    ss_middle = 32,
    ss_double = 64
};

enum class mouse_button { left, right, middle };

enum class tray_step_kind {
    mouse_enter,
    mouse_move,
    mouse_exit,
    mouse_down,
    mouse_up,
    click,
    dbl_click,
    popup_menu,
    run_default_item,
    start_click_timer,
    stop_click_timer,
    start_exit_timer,
    stop_exit_timer,
    balloon_show,
    balloon_hide,
    balloon_timeout,
    balloon_click
};

struct tray_step {
    tray_step_kind kind;
    mouse_button button;
    bool operator==(const tray_step& o) const { return kind == o.kind && button == o.button; }
};

struct tray_point {
    long x = 0, y = 0;
    bool operator==(const tray_point& o) const { return x == o.x && y == o.y; }
};

// What is bound and set on the icon when a callback arrives.
struct tray_bindings {
    bool enabled = true;
    bool has_dbl_click = false;     // OnDblClick is bound
    bool left_popup = false;        // LeftPopup
    bool auto_menu = false;         // a popup menu that pops up automatically is set
    bool want_enter_exit = false;   // WantEnterExitEvents
    bool shell_version3 = false;    // the shell's version-3 behaviour
};

class tray_mouse {
  public:
    // One callback from the shell, with the cursor position at that time.
    std::vector<tray_step> callback(std::uint32_t lparam, const tray_bindings& b, tray_point cursor);
    // The click timer ran out (it is one-shot).
    std::vector<tray_step> click_timer_expired(const tray_bindings& b);
    // A tick of the cursor-exit timer with the cursor where it is now.
    std::vector<tray_step> exit_timer_tick(const tray_bindings& b, tray_point cursor);
    // WantEnterExitEvents switched off: the cursor counts as outside.
    std::vector<tray_step> stop_enter_exit();

    bool cursor_inside() const { return inside_; }
    bool click_waiting() const { return click_timer_running_; }
    tray_point last_position() const { return last_; }

  private:
    bool inside_ = false;
    tray_point last_;
    bool click_timer_running_ = false;
    bool click_ready_ = false;      // the button went up while the timer ran
    bool after_dbl_click_ = false;  // the button-up that ends a double click
};

// The index of IconList that icon cycling takes after `index` (0 when the
// index is out of the list); -1 for an empty list.
int next_cycle_index(int index, int count);

}  // namespace mon

#endif
