#include "buttons.h"

namespace ctl {

void push_button_logic::set_group_index(int g) {
  group_index_ = g;
  if (group_index_ == 0) down_ = false;
  else if (broadcast) broadcast(group_index_, this);
}

void push_button_logic::set_allow_all_up(bool v) {
  allow_all_up_ = v;
  if (group_index_ != 0 && broadcast) broadcast(group_index_, this);
}

bool push_button_logic::set_down(bool v) {
  if (group_index_ == 0) return false;
  if (v == down_) return true;
  if (down_ && !v && !allow_all_up_) return false;
  down_ = v;
  if (down_ && broadcast) broadcast(group_index_, this);
  redraw();
  return true;
}

void push_button_logic::group_notify(int group, push_button_logic* sender) {
  if (sender == this || sender == nullptr || group == 0 || group != group_index_) return;
  if (sender->down_ && down_) {
    down_ = false;
    redraw();
  }
  allow_all_up_ = sender->allow_all_up_;
}

void push_button_logic::mouse_down(int, int) {
  if (!enabled) return;
  bool has = take_focus ? take_focus() : true;
  focused = has;
  if (!has) return;
  pressed = true;
  tracking = true;
  redraw();
}

void push_button_logic::mouse_move(int x, int y) {
  if (!tracking) return;
  bool in = inside(x, y);
  if (in != pressed) {
    pressed = in;
    redraw();
  }
}

void push_button_logic::mouse_up(int x, int y) {
  if (!tracking) return;
  tracking = false;
  pressed = false;
  if (inside(x, y)) click_sequence();
  redraw();
}

void push_button_logic::space_down(bool alt) {
  if (alt || !enabled) return;
  space = true;
  pressed = true;
  redraw();
}

void push_button_logic::space_up() {
  pressed = false;
  if (space) {
    space = false;
    click_sequence();
  }
  redraw();
}

void push_button_logic::focus_lost() {
  focused = false;
  bool was = space || pressed;
  space = false;
  pressed = false;
  if (was) redraw();
}

bool push_button_logic::dialog_key(bool enter, bool escape, bool modifiers, bool acts_default,
                                   bool cancel, bool can_focus) {
  if (modifiers || !can_focus || !enabled) return false;
  if ((enter && acts_default) || (escape && cancel)) {
    ordinary_click();
    return true;
  }
  return false;
}

bool push_button_logic::accelerator(bool can_focus) {
  if (!can_focus || !enabled) return false;
  ordinary_click();
  return true;
}

void push_button_logic::click_sequence() {
  if (group_index_ != 0) set_down(!down_);
  else redraw();
  ordinary_click();
}

void push_button_logic::ordinary_click() {
  clicking = true;
  if (on_click) on_click();
  clicking = false;
}

void control_button_logic::stop() {
  if (timer_armed && timer_stop) timer_stop();
  timer_armed = false;
}

void control_button_logic::mouse_down(bool left, int, int) {
  if (left && enabled) {
    if (!pressed) {
      pressed = true;
      if (repaint) repaint();
    }
    tracking = true;
  }
  if (RepeatClicks && enabled) {
    timer_interval = InitialDelay;
    timer_armed = true;
    if (timer_start) timer_start(timer_interval);
  }
}

void control_button_logic::timer_tick() {
  if (!timer_armed) return;
  if (timer_interval != Delay) {
    timer_interval = Delay;
    if (timer_start) timer_start(timer_interval);
  }
  bool captured = has_capture ? has_capture() : true;
  if (pressed && captured && on_click) {
    if (!on_click()) stop();
  }
}

void control_button_logic::mouse_up(int x, int y, bool over, bool styles_in_use) {
  if (tracking) {
    tracking = false;
    pressed = false;
    hot = false;
    if (repaint) repaint();
    if (x >= 0 && x < width && y >= 0 && y < height && on_click) on_click();
    if ((Flat || styles_in_use) && enabled) {
      if (over) mouse_enter();
      else mouse_leave();
    }
  }
  stop();
}

void control_button_logic::mouse_enter() {
  if (!hot) {
    hot = true;
    if (repaint) repaint();
  }
}

void control_button_logic::mouse_leave() {
  if (hot) {
    hot = false;
    if (repaint) repaint();
  }
}

}  // namespace ctl
