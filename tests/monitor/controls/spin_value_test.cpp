// The spin edit's value rules and the edit's state colours.
#include <gtest/gtest.h>

#include "spin_value.h"

using namespace ctl;

namespace {

spin_value days() {  // the settings dialog's day count: Max 365, key edit on
  spin_value s;
  s.AllowKeyEdit = true;
  s.set_max(365);
  return s;
}

void type(spin_value& s, const std::wstring& chars) {
  for (wchar_t c : chars) s.type_char(c);
}

void select_all(spin_value& s) {
  s.state.sel_start = 0;
  s.state.sel_end = static_cast<int>(s.state.text.size());
}

TEST(SpinValue, ANewSpinEditClampsToZeroToHundredAndStepsByOneAndTen) {
  spin_value s;
  EXPECT_EQ(s.state.text, L"0");
  s.step_down(s.Increment);
  EXPECT_EQ(s.state.text, L"0");  // at Min
  s.step_up(s.Increment);
  EXPECT_EQ(s.state.text, L"1");
  EXPECT_TRUE(s.key_down(kc_prior));
  EXPECT_EQ(s.state.text, L"11");
  s.set_value(150);
  EXPECT_EQ(s.state.text, L"100");  // at Max
  s.state.sel_start = 0;
  s.state.sel_end = 3;
  EXPECT_FALSE(s.accepts_char(s.decimal_separator));  // integers only
  EXPECT_FALSE(s.accepts_char(L'5'));                  // no key edit
  EXPECT_FALSE(s.allows_cut_paste());
}

TEST(SpinValue, TypedValueAboveMaxIsClampedWhenTheFocusLeaves) {
  spin_value s = days();
  select_all(s);
  type(s, L"400");
  EXPECT_EQ(s.state.text, L"400");
  EXPECT_EQ(s.value(), 400);  // reading does not clamp
  s.focus_lost();
  EXPECT_EQ(s.state.text, L"365");
  EXPECT_EQ(s.integer_value(), 365);
}

TEST(SpinValue, StepsStayInsideTheRange) {
  spin_value s = days();
  s.set_value(365);
  EXPECT_TRUE(s.key_down(kc_up));
  EXPECT_EQ(s.state.text, L"365");
  s.set_value(0);
  EXPECT_TRUE(s.key_down(kc_down));
  EXPECT_EQ(s.state.text, L"0");
  EXPECT_TRUE(s.key_down(kc_prior));
  EXPECT_EQ(s.state.text, L"10");
  EXPECT_TRUE(s.key_down(kc_next));
  EXPECT_EQ(s.state.text, L"0");
  s.wheel(120, false);
  EXPECT_EQ(s.state.text, L"1");
  s.wheel(120, true);
  EXPECT_EQ(s.state.text, L"11");
  s.wheel(-120, false);
  EXPECT_EQ(s.state.text, L"10");
  EXPECT_FALSE(s.key_down(0x41));
}

TEST(SpinValue, EqualMinAndMaxClampOnlyWithCheckRange) {
  spin_value s;
  s.set_max(0);
  ASSERT_EQ(s.Min(), 0);
  ASSERT_EQ(s.Max(), 0);
  s.set_value(42);
  EXPECT_EQ(s.value(), 42);
  s.set_value(-7);
  EXPECT_EQ(s.value(), -7);
  s.set_check_range(true);  // re-writes the value
  EXPECT_EQ(s.value(), 0);
  s.set_value(42);
  EXPECT_EQ(s.value(), 0);
}

TEST(SpinValue, MinAboveMaxMovesMax) {
  spin_value s = days();
  s.set_min(500);
  EXPECT_EQ(s.Max(), 500);
  EXPECT_EQ(s.value(), 0);  // Min = Max without CheckRange: nothing clamps
  s.set_check_range(true);
  EXPECT_EQ(s.value(), 500);
  s.set_check_range(false);
  s.set_max(10);
  EXPECT_EQ(s.Min(), 10);
  EXPECT_EQ(s.Max(), 10);
}

TEST(SpinValue, EmptyText) {
  spin_value s;
  s.set_min(5);
  s.state.text.clear();
  EXPECT_EQ(s.value(), 5);
  EXPECT_EQ(s.state.text, L"5");
  spin_value b;
  b.AllowBlank = true;
  b.BlankValue = 7;
  b.state.text.clear();
  EXPECT_EQ(b.value(), 7);
  EXPECT_EQ(b.state.text, L"");
  b.focus_lost();
  EXPECT_EQ(b.state.text, L"");
}

TEST(SpinValue, UnparsableTextReadsAsMin) {
  spin_value s = days();
  for (const wchar_t* t : {L"abc", L"12x", L"--3", L"1e", L"0x10", L"inf", L"nan", L"1e999"}) {
    s.state.text = t;
    EXPECT_EQ(s.value(), 0) << t;
  }
  s.state.text = L"abc";
  s.focus_lost();
  EXPECT_EQ(s.state.text, L"0");
  s.state.text = L" 12 ";
  EXPECT_EQ(s.value(), 12);
}

TEST(SpinValue, SignCharacters) {
  spin_value s = days();
  s.state.text = L"12";
  s.state.sel_start = s.state.sel_end = 2;  // after the second digit
  EXPECT_FALSE(s.accepts_char(L'-'));
  EXPECT_EQ(s.beeps(), 1);
  s.state.sel_start = s.state.sel_end = 0;
  EXPECT_TRUE(s.accepts_char(L'-'));
  select_all(s);
  EXPECT_TRUE(s.type_char(L'-'));
  EXPECT_EQ(s.state.text, L"-");
  // A sign present: another at position 0 only over the whole text.
  s.state.text = L"-5";
  s.state.sel_start = s.state.sel_end = 0;
  EXPECT_FALSE(s.accepts_char(L'+'));
  select_all(s);
  EXPECT_TRUE(s.accepts_char(L'+'));
}

TEST(SpinValue, CharacterFilter) {
  spin_value s = days();
  s.state.text = L"1";
  s.state.sel_start = s.state.sel_end = 1;
  struct row { wchar_t c; bool ok; } rows[] = {
      {L'0', true}, {L'9', true}, {L'a', false}, {L' ', false}, {L'.', false},
      {L'\r', false}, {L'\b', true}, {0x03, true}, {0x0416, false}, {0xB2, false}};
  for (const row& r : rows) EXPECT_EQ(s.accepts_char(r.c), r.ok) << int(r.c);
}

TEST(SpinValue, DecimalSeparatorOnlyOnceAndOnlyWithoutIntegersOnly) {
  spin_value s = days();
  s.set_integers_only(false);
  s.state.text = L"1";
  s.state.sel_start = s.state.sel_end = 1;
  EXPECT_TRUE(s.type_char(L'.'));
  EXPECT_FALSE(s.accepts_char(L'.'));
  s.state.sel_start = 0;
  s.state.sel_end = 2;  // the selection holds the separator
  EXPECT_TRUE(s.accepts_char(L'.'));
  s.decimal_separator = L',';
  s.state.text = L"2,5";
  EXPECT_EQ(s.value(), 2.5);
}

TEST(SpinValue, WithoutKeyEditOnlyTheStepsWork) {
  spin_value s;  // AllowKeyEdit False by default
  EXPECT_FALSE(s.accepts_char(L'5'));
  EXPECT_FALSE(s.accepts_char(L'\b'));
  EXPECT_TRUE(s.accepts_char(0x03));  // copy still passes
  EXPECT_TRUE(s.key_down(kc_delete));
  EXPECT_EQ(s.beeps(), 3);
  EXPECT_FALSE(s.allows_cut_paste());
  EXPECT_TRUE(s.key_down(kc_up));
  EXPECT_TRUE(s.key_down(kc_up));
  EXPECT_EQ(s.state.text, L"2");
  EXPECT_TRUE(s.key_down(kc_down));
  EXPECT_EQ(s.state.text, L"1");
}

TEST(SpinValue, EnterWithoutTabOnEnterBeeps) {
  spin_value s = days();
  EXPECT_FALSE(s.accepts_char(L'\r'));
  EXPECT_EQ(s.beeps(), 1);
  s.BeepOnInvalidKey = false;
  EXPECT_FALSE(s.accepts_char(L'\r'));
  EXPECT_EQ(s.beeps(), 1);
}

TEST(SpinValue, IntegersOnlyRoundsHalfToEven) {
  struct row { double in; const wchar_t* text; } rows[] = {
      {2.5, L"2"}, {3.5, L"4"}, {-2.5, L"-2"}, {2.4, L"2"}, {2.6, L"3"}};
  for (const row& r : rows) {
    spin_value s;
    s.set_integers_only(false);
    s.set_decimals(1);
    s.set_min(-100);
    s.set_value(r.in);
    s.set_integers_only(true);
    EXPECT_EQ(s.Decimals(), 0);
    EXPECT_EQ(s.state.text, r.text) << r.in;
  }
}

TEST(SpinValue, IntegerValue) {
  spin_value s;
  s.set_integers_only(false);
  s.set_decimals(1);
  s.set_value(2.5);
  EXPECT_EQ(s.integer_value(), 2);
  s.set_max(1e12);
  s.set_value(1e11);
  EXPECT_EQ(s.integer_value(), 2147483647);  // clamped instead of a range error
  s.set_min(-1e12);
  s.set_value(-1e11);
  EXPECT_EQ(s.integer_value(), -2147483647 - 1);
  s.set_integer_value(42);
  EXPECT_EQ(s.state.text, L"42.0");
}

TEST(SpinValue, OnChangingVetoAndOnButtonClick) {
  spin_value s = days();
  int clicks = 0;
  bool last_up = false;
  s.OnButtonClick = [&](bool up) { ++clicks; last_up = up; };
  s.OnChanging = [](double n) { return n <= 2; };
  s.step_up(1);
  s.step_up(1);
  s.step_up(1);  // 3 vetoed
  EXPECT_EQ(s.state.text, L"2");
  EXPECT_EQ(clicks, 2);
  s.step_down(1);
  EXPECT_FALSE(last_up);
  s.ReadOnly = true;
  s.step_up(1);
  EXPECT_EQ(s.state.text, L"1");
  EXPECT_EQ(s.beeps(), 1);
  EXPECT_FALSE(s.allows_cut_paste());
}

TEST(SpinValue, CaretFollowsTheTextLength) {
  spin_value s = days();
  s.set_value(9);
  s.state.sel_start = s.state.sel_end = 1;
  s.step_up(1);  // "10": one longer
  EXPECT_EQ(s.state.sel_end, 2);
  s.step_down(1);  // "9": one shorter
  EXPECT_EQ(s.state.sel_end, 1);
  s.step_up(1);
  s.step_up(1);  // same length
  EXPECT_EQ(s.state.text, L"11");
  EXPECT_EQ(s.state.sel_end, 2);
}

TEST(SpinValue, DecimalsFormatting) {
  spin_value s;
  s.set_integers_only(false);
  s.set_decimals(2);
  s.set_value(1.5);
  EXPECT_EQ(s.state.text, L"1.50");
  s.set_value(-0.0);
  EXPECT_EQ(s.state.text, L"0.00");
}

TEST(EditColors, StateColours) {
  edit_colors c;
  EXPECT_EQ(c.current(true, false, false), clWindow);
  EXPECT_EQ(c.current(true, true, false), clWindow);
  EXPECT_EQ(c.current(false, true, false), clBtnFace);
  EXPECT_EQ(c.current(true, false, true), clInfoBk);
  EXPECT_EQ(c.current(true, true, true), clWindow);
  c.ReadOnlyColorOnFocus = true;
  EXPECT_EQ(c.current(true, true, true), clInfoBk);
}

TEST(EditColors, FocusColourFollowsColourUntilSetApart) {
  edit_colors c;
  c.color_changed(rgb(1, 2, 3));
  EXPECT_EQ(c.FocusColor, rgb(1, 2, 3));
  EXPECT_EQ(c.current(true, true, false), rgb(1, 2, 3));
  c.FocusColor = rgb(9, 9, 9);
  c.color_changed(rgb(4, 5, 6));
  EXPECT_EQ(c.FocusColor, rgb(9, 9, 9));
  EXPECT_EQ(c.normal, rgb(4, 5, 6));
}

}  // namespace
