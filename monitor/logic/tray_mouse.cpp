#include "tray_mouse.h"

namespace mon {

namespace {
tray_step step(tray_step_kind k, mouse_button b = mouse_button::left) { return tray_step{k, b}; }
}  // namespace

std::vector<tray_step> tray_mouse::callback(std::uint32_t lparam, const tray_bindings& b, tray_point cursor) {
    std::vector<tray_step> out;
    if (!b.enabled) return out;
    switch (lparam) {
        case tray_msg::mouse_move:
            if (b.want_enter_exit && !inside_) {
                inside_ = true;
                out.push_back(step(tray_step_kind::mouse_enter));
                out.push_back(step(tray_step_kind::start_exit_timer));
            }
            out.push_back(step(tray_step_kind::mouse_move));
            last_ = cursor;
            break;
        case tray_msg::lbutton_down:
            after_dbl_click_ = false;
            if (b.has_dbl_click) {
                click_timer_running_ = true;
                click_ready_ = false;
                out.push_back(step(tray_step_kind::start_click_timer));
            }
            out.push_back(step(tray_step_kind::mouse_down, mouse_button::left));
            if (b.left_popup && b.auto_menu) out.push_back(step(tray_step_kind::popup_menu));
            break;
        case tray_msg::lbutton_up:
            if (b.has_dbl_click && click_timer_running_) {
                click_ready_ = true;  // the click waits for the timer
            } else if (b.has_dbl_click && after_dbl_click_) {
                after_dbl_click_ = false;  // the end of a double click is no click
            } else {
                out.push_back(step(tray_step_kind::click));
            }
            out.push_back(step(tray_step_kind::mouse_up, mouse_button::left));
            break;
        case tray_msg::lbutton_dblclk:
            if (click_timer_running_) {
                click_timer_running_ = false;
                out.push_back(step(tray_step_kind::stop_click_timer));
            }
            click_ready_ = false;
            after_dbl_click_ = b.has_dbl_click;
            out.push_back(step(tray_step_kind::dbl_click));
            if (b.auto_menu && !b.left_popup) out.push_back(step(tray_step_kind::run_default_item));
            break;
        case tray_msg::rbutton_down:
            out.push_back(step(tray_step_kind::mouse_down, mouse_button::right));
            if (b.auto_menu) out.push_back(step(tray_step_kind::popup_menu));
            break;
        case tray_msg::rbutton_up:
            if (!b.shell_version3) out.push_back(step(tray_step_kind::mouse_up, mouse_button::right));
            break;
        case tray_msg::mbutton_down:
            out.push_back(step(tray_step_kind::mouse_down, mouse_button::middle));
            break;
        case tray_msg::mbutton_up:
            out.push_back(step(tray_step_kind::mouse_up, mouse_button::middle));
            break;
        case tray_msg::context_menu:
        case tray_msg::nin_select:
        case tray_msg::nin_key_select:
            if (b.shell_version3) out.push_back(step(tray_step_kind::mouse_up, mouse_button::right));
            break;
        case tray_msg::balloon_show:
            out.push_back(step(tray_step_kind::balloon_show));
            break;
        case tray_msg::balloon_hide:
            out.push_back(step(tray_step_kind::balloon_hide));
            break;
        case tray_msg::balloon_timeout:
            out.push_back(step(tray_step_kind::balloon_timeout));
            break;
        case tray_msg::balloon_user_click:
            out.push_back(step(tray_step_kind::balloon_click));
            break;
        default:
            break;
    }
    return out;
}

std::vector<tray_step> tray_mouse::click_timer_expired(const tray_bindings& b) {
    std::vector<tray_step> out;
    click_timer_running_ = false;
    bool ready = click_ready_;
    click_ready_ = false;
    if (ready && b.enabled) out.push_back(step(tray_step_kind::click));
    return out;
}

std::vector<tray_step> tray_mouse::exit_timer_tick(const tray_bindings& b, tray_point cursor) {
    std::vector<tray_step> out;
    if (!inside_) {
        out.push_back(step(tray_step_kind::stop_exit_timer));
        return out;
    }
    if (cursor == last_) return out;
    inside_ = false;
    out.push_back(step(tray_step_kind::stop_exit_timer));
    if (b.enabled && b.want_enter_exit) out.push_back(step(tray_step_kind::mouse_exit));
    return out;
}

std::vector<tray_step> tray_mouse::stop_enter_exit() {
    inside_ = false;
    return {step(tray_step_kind::stop_exit_timer)};
}

int next_cycle_index(int index, int count) {
    if (count <= 0) return -1;
    if (index < 0 || index >= count) return 0;
    return (index + 1) % count;
}

}  // namespace mon
