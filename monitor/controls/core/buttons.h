// The behaviour of the push button and the control button, apart from their
// windows: the click sequence, toggle groups and the auto-repeat timer. The
// window classes feed them mouse, key and timer events.
#pragma once

#include <functional>

namespace ctl {

class push_button_logic {
 public:
  // Hooks into the window; any may be empty.
  std::function<bool()> take_focus;  // set the focus; true when it has it after
  std::function<void()> repaint;
  std::function<void()> on_click;    // the ordinary click: modal result, then OnClick
  std::function<void(int group, push_button_logic* sender)> broadcast;

  int width = 75, height = 25;
  bool enabled = true;
  bool focused = false;

  // State.
  bool pressed = false, tracking = false, space = false, mouse_over = false;
  bool clicking = false;

  int group_index() const { return group_index_; }
  bool down() const { return down_; }
  bool allow_all_up() const { return allow_all_up_; }
  void set_group_index(int g);
  void set_allow_all_up(bool v);
  // false when the change is refused (no group, or the last release).
  bool set_down(bool v);

  void mouse_down(int x, int y);
  void mouse_move(int x, int y);
  void mouse_up(int x, int y);
  void space_down(bool alt);
  void space_up();
  void focus_lost();
  // Enter (acts-as-default) or Escape (Cancel) without modifiers: the
  // ordinary click runs and the key is consumed (true).
  bool dialog_key(bool enter, bool escape, bool modifiers, bool acts_default, bool cancel,
                  bool can_focus);
  // The caption accelerator: the ordinary click (no toggle of Down) on a
  // button that can take the focus; true when it ran.
  bool accelerator(bool can_focus);
  // Mouse release inside, space release, or an action.
  void click_sequence();
  // The click without the toggle: the modal result, then OnClick.
  void ordinary_click();
  // The group notification from a sibling.
  void group_notify(int group, push_button_logic* sender);

  bool pushed() const { return down_ || pressed; }
  bool inside(int x, int y) const { return x >= 0 && x < width && y >= 0 && y < height; }

 private:
  void redraw() { if (repaint) repaint(); }
  int group_index_ = 0;
  bool down_ = false;
  bool allow_all_up_ = false;
};

class control_button_logic {
 public:
  std::function<void(int interval_ms)> timer_start;  // (re)arm
  std::function<void()> timer_stop;
  std::function<bool()> has_capture;
  std::function<bool()> on_click;  // false: the click failed (stops the repeat)
  std::function<void()> repaint;

  int width = 17, height = 21;
  bool enabled = true;
  bool RepeatClicks = false;
  bool Flat = false;
  int InitialDelay = 400, Delay = 100;

  bool pressed = false, tracking = false, hot = false;
  bool timer_armed = false;
  int timer_interval = 0;

  void mouse_down(bool left, int x, int y);
  // over: whether the control under the cursor is this one after release.
  void mouse_up(int x, int y, bool over, bool styles_in_use);
  void timer_tick();
  void mouse_enter();
  void mouse_leave();
  bool active(bool design_time = false) const {
    return pressed || (hot && enabled) || design_time;
  }

 private:
  void stop();
};

}  // namespace ctl
