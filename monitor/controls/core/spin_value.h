// The value rules of the spin edit and the state colours of the edits: no
// window involved, so they are tested as plain units. The window classes
// keep their text and selection in the system edit box and hand them here.
#pragma once

#include <functional>
#include <string>

#include "colors.h"

namespace ctl {

// Key codes the rules look at (the platform's virtual-key values).
enum spin_key : int {
  kc_back = 0x08, kc_return = 0x0D, kc_prior = 0x21, kc_next = 0x22,
  kc_up = 0x26, kc_down = 0x28, kc_delete = 0x2E
};

// The background of an edit after its state.
struct edit_colors {
  TColor normal = clWindow;  // the colour when no state applies
  TColor FocusColor = clWindow;
  TColor DisabledColor = clBtnFace;
  TColor ReadOnlyColor = clInfoBk;
  bool ReadOnlyColorOnFocus = false;

  TColor current(bool enabled, bool focused, bool read_only) const;
  // Color changed from outside (or the parent's colour with ParentColor):
  // a focus colour that was never set apart follows it.
  void color_changed(TColor c);
};

struct edit_text {
  std::wstring text;
  int sel_start = 0;  // the caret is at sel_end
  int sel_end = 0;
};

class spin_value {
 public:
  spin_value();

  // Properties, with their defaults. Change the range, Decimals, CheckRange
  // and IntegersOnly through the setters: they re-write the value.
  double Increment = 1;
  double PageSize = 10;
  double BlankValue = 0;
  bool AllowKeyEdit = false;
  bool AllowBlank = false;
  bool ReadOnly = false;
  bool BeepOnInvalidKey = true;
  bool has_parent = true;
  wchar_t decimal_separator = L'.';

  double Min() const { return min_; }
  double Max() const { return max_; }
  bool CheckRange() const { return check_range_; }
  int Decimals() const { return decimals_; }
  bool IntegersOnly() const { return integers_only_; }
  void set_min(double v);
  void set_max(double v);
  void set_check_range(bool v);
  void set_decimals(int v);
  void set_integers_only(bool v);

  // Events. OnChanging may veto a step (return false); OnButtonClick comes
  // after a step (true: up); beep sounds for every refusal.
  std::function<bool(double new_value)> OnChanging;
  std::function<void(bool up)> OnButtonClick;
  std::function<void()> beep;

  edit_text state;

  double value();  // reading may put Min into an empty text
  void set_value(double x);
  int integer_value();  // nearest integer (ties to even), clamped to 32 bits
  void set_integer_value(int v);
  double clamp_value(double x) const;

  // Whether a typed character may go in (a refusal beeps).
  bool accepts_char(wchar_t c);
  // Types one character as the edit box would, after the filter.
  bool type_char(wchar_t c);
  // Key-down after the edit's own keys: true when the key was swallowed.
  bool key_down(int vk);
  // One wheel notch event: up for a positive delta; Ctrl steps by PageSize.
  void wheel(int delta, bool ctrl);
  void step_up(double amount);
  void step_down(double amount);
  void focus_lost();
  // Whether cut and paste messages are let through.
  bool allows_cut_paste() const { return AllowKeyEdit && !ReadOnly; }

  // Text forms and parsing (the locale's separator).
  std::wstring format_fixed(double x) const;
  std::wstring format_general(double x) const;
  bool parse(const std::wstring& s, double* out) const;

  int beeps() const { return beeps_; }

 private:
  void do_beep();
  void step(double amount, bool up);
  double min_ = 0, max_ = 100;
  bool check_range_ = false;
  int decimals_ = 0;
  bool integers_only_ = true;
  int beeps_ = 0;
};

double round_half_even(double x);

}  // namespace ctl
