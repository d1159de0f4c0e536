// The push button's click sequence and toggle groups, and the control
// button's auto-repeat against a fake clock.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "buttons.h"
#include "geometry.h"

using namespace ctl;

namespace {

struct push_rig {
  push_button_logic b;
  int clicks = 0;
  bool focus_ok = true;
  push_rig() {
    b.take_focus = [this] { return focus_ok; };
    b.on_click = [this] { ++clicks; };
  }
};

TEST(PushButton, PressAndReleaseInsideClicks) {
  push_rig r;
  r.b.mouse_down(10, 10);
  EXPECT_TRUE(r.b.pressed);
  EXPECT_TRUE(r.b.tracking);
  r.b.mouse_up(10, 10);
  EXPECT_EQ(r.clicks, 1);
  EXPECT_FALSE(r.b.pressed);
  EXPECT_FALSE(r.b.tracking);
}

TEST(PushButton, DragOffAndBack) {
  push_rig r;
  r.b.mouse_down(10, 10);
  r.b.mouse_move(75, 10);  // the right edge is outside
  EXPECT_FALSE(r.b.pressed);
  r.b.mouse_up(75, 10);
  EXPECT_EQ(r.clicks, 0);

  r.b.mouse_down(10, 10);
  r.b.mouse_move(10, -1);
  EXPECT_FALSE(r.b.pressed);
  r.b.mouse_move(74, 24);  // back in, at the last pixel
  EXPECT_TRUE(r.b.pressed);
  r.b.mouse_up(74, 24);
  EXPECT_EQ(r.clicks, 1);
}

TEST(PushButton, ReleaseOnTheBottomEdgeDoesNotClick) {
  push_rig r;
  r.b.mouse_down(1, 1);
  r.b.mouse_up(1, 25);
  EXPECT_EQ(r.clicks, 0);
}

TEST(PushButton, RefusedFocusOrDisabledDoesNothing) {
  push_rig r;
  r.focus_ok = false;
  r.b.mouse_down(5, 5);
  EXPECT_FALSE(r.b.pressed);
  r.b.mouse_up(5, 5);
  EXPECT_EQ(r.clicks, 0);
  r.focus_ok = true;
  r.b.enabled = false;
  r.b.mouse_down(5, 5);
  r.b.mouse_up(5, 5);
  EXPECT_EQ(r.clicks, 0);
}

TEST(PushButton, SpaceHeldAndReleasedClicksOnce) {
  push_rig r;
  r.b.space_down(false);
  EXPECT_TRUE(r.b.pressed);
  EXPECT_TRUE(r.b.pushed());
  r.b.space_down(false);  // auto-repeat of the held key
  EXPECT_EQ(r.clicks, 0);
  r.b.space_up();
  EXPECT_EQ(r.clicks, 1);
  EXPECT_FALSE(r.b.pressed);
  r.b.space_up();  // a second release without a press
  EXPECT_EQ(r.clicks, 1);
}

TEST(PushButton, SpaceWithAltOrFocusLoss) {
  push_rig r;
  r.b.space_down(true);
  EXPECT_FALSE(r.b.pressed);
  r.b.space_down(false);
  r.b.focus_lost();
  EXPECT_FALSE(r.b.pressed);
  r.b.space_up();
  EXPECT_EQ(r.clicks, 0);
}

TEST(PushButton, DialogKeys) {
  push_rig r;
  EXPECT_FALSE(r.b.dialog_key(true, false, false, false, false, true));
  EXPECT_TRUE(r.b.dialog_key(true, false, false, true, false, true));
  EXPECT_TRUE(r.b.dialog_key(false, true, false, false, true, true));
  EXPECT_FALSE(r.b.dialog_key(false, true, true, false, true, true));  // with Ctrl
  EXPECT_FALSE(r.b.dialog_key(false, true, false, false, true, false));
  EXPECT_EQ(r.clicks, 2);
}

TEST(PushButton, ClickingFlagDuringTheClick) {
  push_rig r;
  bool seen = false;
  r.b.on_click = [&] { seen = r.b.clicking; };
  r.b.click_sequence();
  EXPECT_TRUE(seen);
  EXPECT_FALSE(r.b.clicking);
}

// Buttons under one parent, wired as siblings get the group notification.
struct group_rig {
  std::vector<std::unique_ptr<push_button_logic>> buttons;
  explicit group_rig(int n, int group) {
    for (int i = 0; i < n; ++i) {
      buttons.push_back(std::make_unique<push_button_logic>());
      buttons.back()->broadcast = [this](int g, push_button_logic* sender) {
        for (auto& o : buttons) o->group_notify(g, sender);
      };
    }
    for (auto& b : buttons) b->set_group_index(group);
  }
  push_button_logic& operator[](int i) { return *buttons[static_cast<size_t>(i)]; }
};

TEST(ToggleGroup, LastDownButtonStaysDown) {
  group_rig g(3, 1);
  g[0].click_sequence();
  EXPECT_TRUE(g[0].down());
  g[0].click_sequence();  // releasing the last down one is refused
  EXPECT_TRUE(g[0].down());
  g[1].click_sequence();
  EXPECT_TRUE(g[1].down());
  EXPECT_FALSE(g[0].down());
  EXPECT_FALSE(g[2].down());
}

TEST(ToggleGroup, AcceleratorClicksWithoutToggling) {
  group_rig g(2, 1);
  int clicks = 0;
  g[0].on_click = [&] { ++clicks; };
  g[1].click_sequence();  // the other one down
  EXPECT_TRUE(g[0].accelerator(true));
  EXPECT_EQ(clicks, 1);
  EXPECT_FALSE(g[0].down());  // a click sequence would have put it down
  EXPECT_TRUE(g[1].down());
  EXPECT_FALSE(g[0].accelerator(false));  // cannot take the focus
  g[0].enabled = false;
  EXPECT_FALSE(g[0].accelerator(true));
  EXPECT_EQ(clicks, 1);
}

TEST(ToggleGroup, AllowAllUpIsShared) {
  group_rig g(2, 4);
  g[0].set_allow_all_up(true);
  EXPECT_TRUE(g[1].allow_all_up());
  g[1].click_sequence();
  g[1].click_sequence();
  EXPECT_FALSE(g[1].down());
  EXPECT_FALSE(g[0].down());
}

TEST(ToggleGroup, OtherGroupsAndUngroupedButtons) {
  group_rig g(2, 1);
  push_button_logic other;
  other.set_group_index(2);
  g.buttons[0]->broadcast = [&](int grp, push_button_logic* s) {
    other.group_notify(grp, s);
    g[1].group_notify(grp, s);
  };
  ASSERT_TRUE(other.set_down(true));
  g[0].set_down(true);
  EXPECT_TRUE(other.down());  // another group
  push_button_logic plain;
  EXPECT_FALSE(plain.set_down(true));
  EXPECT_FALSE(plain.down());
  EXPECT_TRUE(other.set_down(true));  // the value it has: nothing happens
}

// A fake clock driving the control button's timer.
struct repeat_rig {
  control_button_logic b;
  long now = 0;
  long next_tick = -1;
  int interval = 0;
  bool captured = true;
  std::vector<long> clicks;
  bool fail_click = false;
  repeat_rig() {
    b.RepeatClicks = true;
    b.timer_start = [this](int ms) { interval = ms; next_tick = now + ms; };
    b.timer_stop = [this] { next_tick = -1; };
    b.has_capture = [this] { return captured; };
    b.on_click = [this] { clicks.push_back(now); return !fail_click; };
  }
  void advance_to(long t) {
    while (next_tick >= 0 && next_tick <= t) {
      now = next_tick;
      next_tick = now + interval;  // a periodic timer keeps going
      b.timer_tick();
    }
    now = t;
  }
};

TEST(ControlButton, RepeatsAfterTheInitialDelayThenEveryDelay) {
  repeat_rig r;
  r.b.mouse_down(true, 5, 5);
  r.advance_to(399);
  EXPECT_TRUE(r.clicks.empty());
  r.advance_to(750);
  EXPECT_EQ(r.clicks, (std::vector<long>{400, 500, 600, 700}));
  r.b.mouse_up(5, 5, true, false);  // release inside: one more
  EXPECT_EQ(r.clicks.size(), 5u);
  EXPECT_EQ(r.clicks.back(), 750);
  r.advance_to(2000);
  EXPECT_EQ(r.clicks.size(), 5u);  // the timer stopped
}

TEST(ControlButton, ReleaseOutsideAddsNothing) {
  repeat_rig r;
  r.b.mouse_down(true, 5, 5);
  r.advance_to(450);
  r.b.mouse_up(17, 5, false, false);
  EXPECT_EQ(r.clicks.size(), 1u);
}

TEST(ControlButton, NoRepeatWithoutCaptureAndAFailingClickStops) {
  repeat_rig r;
  r.captured = false;
  r.b.mouse_down(true, 1, 1);
  r.advance_to(1000);
  EXPECT_TRUE(r.clicks.empty());
  r.captured = true;
  r.fail_click = true;
  r.advance_to(1100);
  EXPECT_EQ(r.clicks.size(), 1u);
  r.advance_to(3000);
  EXPECT_EQ(r.clicks.size(), 1u);
}

TEST(ControlButton, PlainButtonClicksOnRelease) {
  control_button_logic b;
  int clicks = 0;
  b.on_click = [&] { ++clicks; return true; };
  b.mouse_down(true, 3, 3);
  EXPECT_TRUE(b.pressed);
  EXPECT_FALSE(b.timer_armed);
  b.mouse_up(3, 3, true, false);
  EXPECT_EQ(clicks, 1);
  b.enabled = false;
  b.mouse_down(true, 3, 3);
  b.mouse_up(3, 3, true, false);
  EXPECT_EQ(clicks, 1);
}

TEST(ControlButton, HotFlagAfterRelease) {
  control_button_logic b;
  b.Flat = true;
  b.mouse_down(true, 3, 3);
  b.mouse_up(3, 3, true, false);
  EXPECT_TRUE(b.hot);
  b.mouse_down(true, 3, 3);
  b.mouse_up(30, 3, false, false);
  EXPECT_FALSE(b.hot);
}

TEST(ControlButton, NumGlyphsFromTheStrip) {
  struct row { int w, h, cur, out; } rows[] = {
      {64, 16, 1, 4}, {80, 16, 2, 1}, {32, 16, 1, 2}, {16, 16, 2, 1}, {48, 16, 1, 3},
      {50, 16, 2, 2}, {0, 16, 2, 2}, {16, 0, 3, 3}};
  for (const row& r : rows) EXPECT_EQ(num_glyphs_for_strip(r.w, r.h, r.cur), r.out) << r.w << "x" << r.h;
}

}  // namespace
