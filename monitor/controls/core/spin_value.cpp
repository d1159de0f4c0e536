#include "spin_value.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwctype>

namespace ctl {

TColor edit_colors::current(bool enabled, bool focused, bool read_only) const {
  if (!enabled) return DisabledColor;
  if (focused) return (read_only && ReadOnlyColorOnFocus) ? ReadOnlyColor : FocusColor;
  return read_only ? ReadOnlyColor : normal;
}

void edit_colors::color_changed(TColor c) {
  if (FocusColor == normal) FocusColor = c;
  normal = c;
}

double round_half_even(double x) {
  if (!std::isfinite(x)) return x;
  double f = std::floor(x);
  double d = x - f;
  if (d > 0.5) return f + 1;
  if (d < 0.5) return f;
  return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

spin_value::spin_value() { state.text = L"0"; }

void spin_value::do_beep() {
  if (!BeepOnInvalidKey) return;
  ++beeps_;
  if (beep) beep();
}

double spin_value::clamp_value(double x) const {
  if (std::isnan(x)) return min_;
  if (max_ != min_ || check_range_) {
    if (x < min_) return min_;
    if (x > max_) return max_;
  }
  return x;
}

std::wstring spin_value::format_fixed(double x) const {
  if (x == 0) x = 0;  // no "-0"
  char buf[512];
  if (!std::isfinite(x) || std::fabs(x) >= 1e18)
    std::snprintf(buf, sizeof buf, "%.17E", x);
  else
    std::snprintf(buf, sizeof buf, "%.*f", decimals_, x);
  std::wstring out;
  for (const char* p = buf; *p; ++p)
    out += (*p == '.') ? decimal_separator : static_cast<wchar_t>(*p);
  return out;
}

std::wstring spin_value::format_general(double x) const {
  if (x == 0) x = 0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", x);
  std::wstring out;
  for (const char* p = buf; *p; ++p)
    out += (*p == '.') ? decimal_separator : static_cast<wchar_t>(*p);
  return out;
}

bool spin_value::parse(const std::wstring& s, double* out) const {
  size_t b = 0, e = s.size();
  while (b < e && std::iswspace(static_cast<wint_t>(s[b]))) ++b;
  while (e > b && std::iswspace(static_cast<wint_t>(s[e - 1]))) --e;
  std::string ascii;
  size_t i = b;
  auto digits = [&]() {
    size_t n = 0;
    while (i < e && s[i] >= L'0' && s[i] <= L'9') {
      ascii += static_cast<char>(s[i]);
      ++i;
      ++n;
    }
    return n;
  };
  if (i < e && (s[i] == L'+' || s[i] == L'-')) ascii += static_cast<char>(s[i++]);
  size_t n = digits();
  if (i < e && s[i] == decimal_separator) {
    ascii += '.';
    ++i;
    n += digits();
  }
  if (n == 0) return false;
  if (i < e && (s[i] == L'e' || s[i] == L'E')) {
    ascii += 'e';
    ++i;
    if (i < e && (s[i] == L'+' || s[i] == L'-')) ascii += static_cast<char>(s[i++]);
    if (digits() == 0) return false;
  }
  if (i != e) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(ascii.c_str(), &end);
  if (errno == ERANGE && !std::isfinite(v)) return false;
  if (!std::isfinite(v)) return false;
  *out = v;
  return true;
}

double spin_value::value() {
  if (state.text.empty()) {
    if (AllowBlank) return BlankValue;
    state.text = format_general(min_);
    state.sel_start = state.sel_end = 0;
    return min_;
  }
  double v;
  if (!parse(state.text, &v)) return min_;
  return v;
}

void spin_value::set_value(double x) {
  x = clamp_value(x);
  std::wstring t = format_fixed(x);
  int old_len = static_cast<int>(state.text.size());
  int new_len = static_cast<int>(t.size());
  bool no_selection = state.sel_start == state.sel_end;
  int caret = state.sel_end;
  state.text = t;
  if (has_parent && no_selection) {
    if (new_len > old_len) ++caret;
    else if (new_len < old_len) --caret;
    if (caret < 0) caret = 0;
    if (caret > new_len) caret = new_len;
    state.sel_start = state.sel_end = caret;
  } else {
    state.sel_start = state.sel_end = 0;
  }
}

int spin_value::integer_value() {
  double r = round_half_even(value());
  if (std::isnan(r)) return 0;
  if (r > 2147483647.0) return 2147483647;
  if (r < -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(r);
}

void spin_value::set_integer_value(int v) { set_value(static_cast<double>(v)); }

void spin_value::set_min(double v) {
  if (std::isnan(v)) return;
  min_ = v;
  if (min_ > max_) max_ = min_;
  set_value(value());
}

void spin_value::set_max(double v) {
  if (std::isnan(v)) return;
  max_ = v;
  if (max_ < min_) min_ = max_;
  set_value(value());
}

void spin_value::set_check_range(bool v) {
  check_range_ = v;
  set_value(value());
}

void spin_value::set_decimals(int v) {
  decimals_ = v < 0 ? 0 : (v > 255 ? 255 : v);
  set_value(value());
}

void spin_value::set_integers_only(bool v) {
  integers_only_ = v;
  if (v) {
    decimals_ = 0;
    set_value(round_half_even(value()));
  }
}

bool spin_value::accepts_char(wchar_t c) {
  const std::wstring& t = state.text;
  int len = static_cast<int>(t.size());
  int s0 = state.sel_start < state.sel_end ? state.sel_start : state.sel_end;
  int s1 = state.sel_start < state.sel_end ? state.sel_end : state.sel_start;
  if (s0 < 0) s0 = 0;
  if (s1 > len) s1 = len;
  bool ok = false;
  if (c <= 255) {
    ok = c == L'+' || c == L'-' || (c >= L'0' && c <= L'9') ||
         (!integers_only_ && c == decimal_separator) || (c < 32 && c != kc_return);
  }
  if (ok && !integers_only_ && c == decimal_separator) {
    size_t at = t.find(decimal_separator);
    if (at != std::wstring::npos)
      ok = static_cast<int>(at) >= s0 && static_cast<int>(at) < s1;
  }
  if (ok && (c == L'+' || c == L'-')) {
    bool no_sign = t.find(L'+') == std::wstring::npos && t.find(L'-') == std::wstring::npos;
    bool whole = s0 == 0 && s1 == len;
    ok = (s0 == 0 && no_sign) || whole;
  }
  if (ok && !AllowKeyEdit && (c >= 32 || c == kc_back)) ok = false;
  if (!ok) do_beep();
  return ok;
}

bool spin_value::type_char(wchar_t c) {
  if (!accepts_char(c)) return false;
  if (ReadOnly) return false;
  std::wstring& t = state.text;
  int len = static_cast<int>(t.size());
  int s0 = std::max(0, std::min(state.sel_start, state.sel_end));
  int s1 = std::min(len, std::max(state.sel_start, state.sel_end));
  if (c == kc_back) {
    if (s0 == s1 && s0 > 0) --s0;
    t.erase(static_cast<size_t>(s0), static_cast<size_t>(s1 - s0));
    state.sel_start = state.sel_end = s0;
    return true;
  }
  if (c < 32) return true;  // other control characters insert nothing
  t.replace(static_cast<size_t>(s0), static_cast<size_t>(s1 - s0), 1, c);
  state.sel_start = state.sel_end = s0 + 1;
  return true;
}

bool spin_value::key_down(int vk) {
  switch (vk) {
    case kc_delete:
      if (!AllowKeyEdit) {
        do_beep();
        return true;
      }
      return false;
    case kc_up: step_up(Increment); return true;
    case kc_down: step_down(Increment); return true;
    case kc_prior: step_up(PageSize); return true;
    case kc_next: step_down(PageSize); return true;
    default: return false;
  }
}

void spin_value::wheel(int delta, bool ctrl) {
  if (delta == 0) return;
  double a = ctrl ? PageSize : Increment;
  if (delta > 0) step_up(a);
  else step_down(a);
}

void spin_value::step(double amount, bool up) {
  if (ReadOnly) {
    do_beep();
    return;
  }
  double n = up ? value() + amount : value() - amount;
  if (OnChanging && !OnChanging(n)) return;
  set_value(n);
  if (OnButtonClick) OnButtonClick(up);
}

void spin_value::step_up(double amount) { step(amount, true); }
void spin_value::step_down(double amount) { step(amount, false); }

void spin_value::focus_lost() {
  if (AllowBlank && state.text.empty()) return;
  double v;
  if (!parse(state.text, &v)) v = min_;
  set_value(v);
}

}  // namespace ctl
