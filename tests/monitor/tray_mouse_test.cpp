// The tray icon's steps for each shell callback: clicks against double
// clicks with the click timer, the buttons, the version-3 behaviour, the
// balloon notifications, cursor enter and exit, the enabled switch, and the
// order of icon cycling.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tray_mouse.h"

using namespace mon;

namespace {

using K = tray_step_kind;
using B = mouse_button;

tray_step S(K k, B b = B::left) { return tray_step{k, b}; }

enum class in_kind { cb, expire, tick };
struct input {
    in_kind kind;
    std::uint32_t lparam;
    tray_point at;
};
input cb(std::uint32_t l, long x = 10, long y = 10) { return input{in_kind::cb, l, tray_point{x, y}}; }
input expire() { return input{in_kind::expire, 0, tray_point{}}; }
input tick(long x, long y) { return input{in_kind::tick, 0, tray_point{x, y}}; }

struct row {
    const char* name;
    tray_bindings bind;
    std::vector<input> inputs;
    std::vector<std::vector<tray_step>> expect;  // one list per input
};

tray_bindings with_dbl() {
    tray_bindings b;
    b.has_dbl_click = true;
    b.auto_menu = true;
    return b;
}
tray_bindings plain() {
    tray_bindings b;
    b.auto_menu = true;
    return b;
}
tray_bindings left_popup() {
    tray_bindings b = with_dbl();
    b.left_popup = true;
    return b;
}
tray_bindings version3() {
    tray_bindings b = plain();
    b.shell_version3 = true;
    return b;
}
tray_bindings no_menu() {
    tray_bindings b;
    b.has_dbl_click = true;
    return b;
}
tray_bindings disabled() {
    tray_bindings b = with_dbl();
    b.want_enter_exit = true;
    b.enabled = false;
    return b;
}

std::string describe(const std::vector<tray_step>& v) {
    std::string s;
    for (const auto& x : v) s += std::to_string(static_cast<int>(x.kind)) + "/" + std::to_string(static_cast<int>(x.button)) + " ";
    return s;
}

const std::vector<tray_step> none;

const std::vector<row>& rows() {
    using namespace tray_msg;
    static const std::vector<row> r = {
        {"one click waits for the timer", with_dbl(),
         {cb(lbutton_down), cb(lbutton_up), expire()},
         {{S(K::start_click_timer), S(K::mouse_down)}, {S(K::mouse_up)}, {S(K::click)}}},
        {"double click cancels the click and runs the default item", with_dbl(),
         {cb(lbutton_down), cb(lbutton_up), cb(lbutton_dblclk), cb(lbutton_up), expire()},
         {{S(K::start_click_timer), S(K::mouse_down)},
          {S(K::mouse_up)},
          {S(K::stop_click_timer), S(K::dbl_click), S(K::run_default_item)},
          {S(K::mouse_up)},
          none}},
        {"a click, then a second after the timer: two clicks", with_dbl(),
         {cb(lbutton_down), cb(lbutton_up), expire(), cb(lbutton_down), cb(lbutton_up), expire()},
         {{S(K::start_click_timer), S(K::mouse_down)}, {S(K::mouse_up)}, {S(K::click)},
          {S(K::start_click_timer), S(K::mouse_down)}, {S(K::mouse_up)}, {S(K::click)}}},
        {"button held past the timer clicks at the button-up", with_dbl(),
         {cb(lbutton_down), expire(), cb(lbutton_up)},
         {{S(K::start_click_timer), S(K::mouse_down)}, none, {S(K::click), S(K::mouse_up)}}},
        {"a new press after a double click clicks again", with_dbl(),
         {cb(lbutton_down), cb(lbutton_up), cb(lbutton_dblclk), cb(lbutton_up), cb(lbutton_down), cb(lbutton_up),
          expire()},
         {{S(K::start_click_timer), S(K::mouse_down)},
          {S(K::mouse_up)},
          {S(K::stop_click_timer), S(K::dbl_click), S(K::run_default_item)},
          {S(K::mouse_up)},
          {S(K::start_click_timer), S(K::mouse_down)},
          {S(K::mouse_up)},
          {S(K::click)}}},
        {"without a double-click handler the click comes at once", plain(),
         {cb(lbutton_down), cb(lbutton_up), cb(lbutton_dblclk), cb(lbutton_up)},
         {{S(K::mouse_down)},
          {S(K::click), S(K::mouse_up)},
          {S(K::dbl_click), S(K::run_default_item)},
          {S(K::click), S(K::mouse_up)}}},
        {"LeftPopup opens the menu and runs no default item", left_popup(),
         {cb(lbutton_down), cb(lbutton_up), cb(lbutton_dblclk)},
         {{S(K::start_click_timer), S(K::mouse_down), S(K::popup_menu)},
          {S(K::mouse_up)},
          {S(K::stop_click_timer), S(K::dbl_click)}}},
        {"no menu: no popup, no default item", no_menu(),
         {cb(rbutton_down), cb(lbutton_dblclk)},
         {{S(K::mouse_down, B::right)}, {S(K::dbl_click)}}},
        {"right and middle buttons", plain(),
         {cb(rbutton_down), cb(rbutton_up), cb(mbutton_down), cb(mbutton_up), cb(context_menu), cb(nin_select),
          cb(nin_key_select)},
         {{S(K::mouse_down, B::right), S(K::popup_menu)},
          {S(K::mouse_up, B::right)},
          {S(K::mouse_down, B::middle)},
          {S(K::mouse_up, B::middle)},
          none,
          none,
          none}},
        {"version 3 moves the right button-up", version3(),
         {cb(rbutton_down), cb(rbutton_up), cb(context_menu), cb(nin_select), cb(nin_key_select)},
         {{S(K::mouse_down, B::right), S(K::popup_menu)},
          none,
          {S(K::mouse_up, B::right)},
          {S(K::mouse_up, B::right)},
          {S(K::mouse_up, B::right)}}},
        {"balloon notifications", plain(),
         {cb(balloon_show), cb(balloon_hide), cb(balloon_timeout), cb(balloon_user_click), cb(0x0406)},
         {{S(K::balloon_show)}, {S(K::balloon_hide)}, {S(K::balloon_timeout)}, {S(K::balloon_click)}, none}},
        {"disabled: nothing at all", disabled(),
         {cb(mouse_move), cb(lbutton_down), cb(lbutton_up), cb(lbutton_dblclk), cb(rbutton_down), cb(rbutton_up),
          cb(mbutton_down), cb(balloon_show), cb(balloon_user_click), expire(), tick(300, 300)},
         {none, none, none, none, none, none, none, none, none, none, {S(K::stop_exit_timer)}}},
    };
    return r;
}

TEST(TrayMouse, CallbackSequences) {
    for (const auto& r : rows()) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(r.inputs.size(), r.expect.size());
        tray_mouse m;
        for (size_t i = 0; i < r.inputs.size(); ++i) {
            const input& in = r.inputs[i];
            std::vector<tray_step> got;
            if (in.kind == in_kind::cb) got = m.callback(in.lparam, r.bind, in.at);
            else if (in.kind == in_kind::expire) got = m.click_timer_expired(r.bind);
            else got = m.exit_timer_tick(r.bind, in.at);
            EXPECT_EQ(got, r.expect[i]) << "input " << i << ": " << describe(got);
        }
    }
}

// A click pending when the icon is disabled is dropped, and the state does
// not carry a stale click into the next press.
TEST(TrayMouse, ClickPendingWhileDisabledIsDropped) {
    tray_mouse m;
    tray_bindings b = with_dbl();
    m.callback(tray_msg::lbutton_down, b, {});
    m.callback(tray_msg::lbutton_up, b, {});
    EXPECT_TRUE(m.click_waiting());
    tray_bindings off = b;
    off.enabled = false;
    EXPECT_EQ(m.click_timer_expired(off), none);
    EXPECT_FALSE(m.click_waiting());
    // The next press with no button-up: the timer brings no click.
    m.callback(tray_msg::lbutton_down, b, {});
    EXPECT_EQ(m.click_timer_expired(b), none);
}

TEST(TrayMouse, EnterOnceMovesAndExitOnce) {
    tray_bindings b = plain();
    b.want_enter_exit = true;
    tray_mouse m;
    EXPECT_EQ(m.callback(tray_msg::mouse_move, b, {100, 740}),
              (std::vector<tray_step>{S(K::mouse_enter), S(K::start_exit_timer), S(K::mouse_move)}));
    EXPECT_TRUE(m.cursor_inside());
    // Further moves over the icon: moves only.
    EXPECT_EQ(m.callback(tray_msg::mouse_move, b, {102, 741}), (std::vector<tray_step>{S(K::mouse_move)}));
    EXPECT_EQ(m.last_position(), (tray_point{102, 741}));
    // The cursor still where the last move left it: no exit.
    EXPECT_EQ(m.exit_timer_tick(b, {102, 741}), none);
    // Moved away: the exit once, the timer stopped.
    EXPECT_EQ(m.exit_timer_tick(b, {400, 300}), (std::vector<tray_step>{S(K::stop_exit_timer), S(K::mouse_exit)}));
    EXPECT_FALSE(m.cursor_inside());
    EXPECT_EQ(m.exit_timer_tick(b, {500, 300}), (std::vector<tray_step>{S(K::stop_exit_timer)}));
    // Back again: a new enter.
    EXPECT_EQ(m.callback(tray_msg::mouse_move, b, {100, 740}),
              (std::vector<tray_step>{S(K::mouse_enter), S(K::start_exit_timer), S(K::mouse_move)}));
    // Switching the events off ends the watch without an exit.
    EXPECT_EQ(m.stop_enter_exit(), (std::vector<tray_step>{S(K::stop_exit_timer)}));
    EXPECT_FALSE(m.cursor_inside());
}

TEST(TrayMouse, MovesWithoutEnterExitEvents) {
    tray_mouse m;
    tray_bindings b = plain();
    EXPECT_EQ(m.callback(tray_msg::mouse_move, b, {1, 2}), (std::vector<tray_step>{S(K::mouse_move)}));
    EXPECT_FALSE(m.cursor_inside());
    EXPECT_EQ(m.exit_timer_tick(b, {9, 9}), (std::vector<tray_step>{S(K::stop_exit_timer)}));
}

TEST(TrayMouse, NextCycleIndex) {
    struct c { int index, count, next; };
    for (const c& x : {c{0, 3, 1}, c{1, 3, 2}, c{2, 3, 0}, c{0, 1, 0}, c{-1, 3, 0}, c{3, 3, 0}, c{7, 3, 0},
                       c{0, 0, -1}, c{-1, 0, -1}}) {
        EXPECT_EQ(next_cycle_index(x.index, x.count), x.next) << x.index << " of " << x.count;
    }
}

}  // namespace
