// The frame controller's pushes, update counting and notification flags,
// and its reference to a registry/INI location component.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_controller.h"
#include "reg_ini_file.h"
#include "spin_value.h"

using namespace ctl;

namespace {

// A control with published properties for some settings; every write is logged.
class fake_edit : public frame_target {
 public:
  explicit fake_edit(fc_flags published = fc_all_sixteen) : published_(published) {}
  ~fake_edit() override {
    if (controller) controller->Unregister(this);  // as a control does when destroyed
  }
  void attach(frame_controller& c) {
    controller = &c;
    c.Register(this);
  }
  fc_flags notifications = fc_all_sixteen;
  std::vector<std::string> writes;
  frame_settings seen;
  std::string sides_text;
  frame_controller* controller = nullptr;

  fc_flags frame_notifications() const override { return notifications; }
  bool frame_write(fc_prop p, const frame_settings& s, const std::string& sides) override {
    if (!(published_ & fc_bit(p))) return false;
    writes.push_back(fc_prop_name(p));
    seen = s;
    sides_text = sides;
    return true;
  }
  void frame_controller_freed(frame_controller* c) override {
    if (controller == c) controller = nullptr;
  }

 private:
  fc_flags published_;
};

// A control with the framing-notification interface.
class fake_panel : public frame_target {
 public:
  frame_controller* controller = nullptr;
  ~fake_panel() override {
    if (controller) controller->Unregister(this);
  }
  int applies = 0;
  bool frame_apply(const frame_controller&) override {
    ++applies;
    return true;
  }
  bool frame_write(fc_prop, const frame_settings&, const std::string&) override {
    ADD_FAILURE() << "a panel takes the settings whole";
    return false;
  }
};

const std::vector<std::string> all_in_order = {
    "ParentColor", "Color", "DisabledColor", "ReadOnlyColor", "ReadOnlyColorOnFocus",
    "FocusColor", "FlatButtonColor", "FlatButtons", "FrameColor", "FrameHotColor",
    "FrameHotTrack", "FrameHotStyle", "FrameSides", "FrameStyle", "FrameVisible",
    "FramingPreference"};

TEST(FrameController, RegIniFileReferenceClearedWhenItIsFreed) {
  frame_controller c;
  {
    reg_ini_file r;
    c.set_RegIniFile(&r);
    EXPECT_EQ(c.RegIniFile(), &r);
  }
  EXPECT_EQ(c.RegIniFile(), nullptr);
  // A controller that goes first leaves nothing behind in the component,
  // and one that moves on to another component is no longer told of the first.
  reg_ini_file a, b;
  {
    frame_controller gone;
    gone.set_RegIniFile(&a);
  }
  c.set_RegIniFile(&a);
  c.set_RegIniFile(&b);
  {
    reg_ini_file tmp;
    c.set_RegIniFile(&tmp);
    c.set_RegIniFile(&b);
  }
  EXPECT_EQ(c.RegIniFile(), &b);
}

TEST(FrameController, FreshPushKeepsAnEditsOwnColoursAndTurnsItsButtonsFlat) {
  // What a fresh controller pushes into an edit at its defaults: the same
  // state colours (so registering changes nothing a user sees), flat
  // buttons, and no frame of its own.
  edit_colors own;
  frame_controller c;
  fake_edit e;
  e.attach(c);
  const frame_settings& s = e.seen;
  EXPECT_EQ(s.Color, own.normal);
  EXPECT_EQ(s.FocusColor, own.FocusColor);
  EXPECT_EQ(s.DisabledColor, own.DisabledColor);
  EXPECT_EQ(s.ReadOnlyColor, own.ReadOnlyColor);
  EXPECT_EQ(s.ReadOnlyColorOnFocus, own.ReadOnlyColorOnFocus);
  EXPECT_EQ(own.current(true, true, false), own.current(true, false, false));
  EXPECT_TRUE(s.FlatButtons);
  EXPECT_FALSE(s.FrameVisible);
}

TEST(FrameController, RegisterPushesEverythingInOrder) {
  frame_controller c;
  fake_edit e;
  e.attach(c);
  EXPECT_EQ(e.writes, all_in_order);
  EXPECT_EQ(e.sides_text, "[sdLeft,sdTop,sdRight,sdBottom]");
  e.attach(c);  // already there: pushed again, not added twice
  EXPECT_EQ(c.control_count(), 1u);
  c.Unregister(&e);
  EXPECT_FALSE(c.has_control_list());
}

TEST(FrameController, ColorMovesFocusColorWhenEqual) {
  frame_controller c;
  fake_edit e;
  e.attach(c);
  e.writes.clear();
  c.set_Color(rgb(1, 2, 3));
  EXPECT_EQ(c.settings().FocusColor, rgb(1, 2, 3));
  EXPECT_EQ(e.writes, (std::vector<std::string>{"Color"}));
  EXPECT_EQ(e.seen.Color, rgb(1, 2, 3));
  c.set_FocusColor(rgb(9, 9, 9));
  c.set_Color(rgb(4, 5, 6));
  EXPECT_EQ(c.settings().FocusColor, rgb(9, 9, 9));
}

TEST(FrameController, ParentColorKeepsColorBack) {
  frame_controller c;
  c.set_ParentColor(true);
  fake_edit e;
  e.attach(c);
  std::vector<std::string> expect = all_in_order;
  expect.erase(expect.begin() + 1);  // no Color
  EXPECT_EQ(e.writes, expect);
  e.writes.clear();
  c.set_ParentColor(false);
  EXPECT_EQ(e.writes, (std::vector<std::string>{"ParentColor", "Color"}));
  c.set_ParentColor(true);
  e.writes.clear();
  c.set_Color(clBtnFace);  // setting Color clears ParentColor
  EXPECT_FALSE(c.settings().ParentColor);
}

TEST(FrameController, FrameHotTrackTurnsTheFrameOn) {
  frame_controller c;
  fake_edit e;
  c.set_FrameSides(sdTop);
  e.attach(c);
  e.writes.clear();
  c.set_FrameHotTrack(true);
  EXPECT_EQ(e.writes, (std::vector<std::string>{"FrameHotTrack", "FrameVisible"}));
  EXPECT_TRUE(c.settings().FrameVisible);
  EXPECT_EQ(c.settings().FrameSides, sdAllSides);  // not pushed by itself
  frame_controller l;
  l.loading = true;
  l.set_FrameSides(sdTop);
  l.set_FrameHotTrack(true);
  EXPECT_EQ(l.settings().FrameSides, static_cast<TSides>(sdTop));
}

TEST(FrameController, UpdatesDeferAndPushAllAtTheEnd) {
  frame_controller c;
  fake_edit e;
  e.attach(c);
  e.writes.clear();
  c.BeginUpdate();
  c.BeginUpdate();
  c.set_FrameStyle(fsGroove);
  c.set_FrameColor(rgb(7, 7, 7));
  EXPECT_TRUE(e.writes.empty());
  c.EndUpdate();
  EXPECT_TRUE(e.writes.empty());
  c.EndUpdate();
  EXPECT_EQ(e.writes, all_in_order);
  EXPECT_EQ(e.seen.FrameStyle, fsGroove);
  c.EndUpdate();  // below zero resets to zero and pushes again
  EXPECT_EQ(c.update_count(), 0);
  EXPECT_EQ(e.writes.size(), 2 * all_in_order.size());
}

TEST(FrameController, NotificationFlagsAndMissingProperties) {
  frame_controller c;
  fake_edit e(fc_bit(fcpColor) | fc_bit(fcpFrameStyle));  // only two published
  e.notifications = fc_all_sixteen & ~fc_bit(fcpFrameStyle);
  e.attach(c);
  EXPECT_EQ(e.writes, (std::vector<std::string>{"Color"}));
  e.writes.clear();
  c.set_FrameStyle(fsRaised);
  c.set_DisabledColor(clWindow);
  EXPECT_TRUE(e.writes.empty());
}

TEST(FrameController, PanelsTakeTheApplyCall) {
  frame_controller c;
  fake_panel p;
  p.controller = &c;
  c.Register(&p);
  EXPECT_EQ(p.applies, 1);
  c.set_Color(clBtnFace);
  EXPECT_EQ(p.applies, 2);
  c.BeginUpdate();
  c.set_FrameStyle(fsFlat);
  c.EndUpdate();
  EXPECT_EQ(p.applies, 3);
  c.Loaded();
  EXPECT_EQ(p.applies, 4);
}

TEST(FrameController, AssignCopiesInOneUpdate) {
  frame_controller a, b;
  b.set_Color(rgb(3, 3, 3));
  b.set_FrameStyle(fsLowered);
  b.set_FrameHotTrack(true);
  fake_edit e;
  e.attach(a);
  e.writes.clear();
  a.Assign(b);
  EXPECT_EQ(e.writes, all_in_order);
  EXPECT_EQ(a.settings().FrameStyle, fsLowered);
  EXPECT_EQ(a.settings().Color, rgb(3, 3, 3));
  EXPECT_TRUE(a.settings().FrameVisible);
}

TEST(FrameController, FreedControllerLeavesNoReference) {
  fake_edit e;
  {
    frame_controller c;
    e.attach(c);
  }
  EXPECT_EQ(e.controller, nullptr);
}

TEST(FrameController, FormStorage) {
  EXPECT_TRUE(frame_controller::property_stored(false, fc_all_sixteen, fcpFrameStyle, true, true));
  EXPECT_FALSE(frame_controller::property_stored(true, fc_all_sixteen, fcpFrameStyle, true, true));
  EXPECT_TRUE(frame_controller::property_stored(true, fc_all_sixteen & ~fc_bit(fcpFrameStyle),
                                                fcpFrameStyle, true, true));
  EXPECT_FALSE(frame_controller::property_stored(false, 0, fcpFocusColor, false, true));
  EXPECT_FALSE(frame_controller::property_stored(false, 0, fcpColor, true, false));
}

}  // namespace
