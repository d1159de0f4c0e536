#include "frame_controller.h"

#include <algorithm>

#include "reg_ini_file.h"

namespace ctl {

const char* fc_prop_name(fc_prop p) {
  static const char* const names[] = {
      "Color", "FocusColor", "DisabledColor", "ReadOnlyColor", "ReadOnlyColorOnFocus",
      "ParentColor", "FlatButtonColor", "FlatButtons", "FrameColor", "FrameHotColor",
      "FrameHotTrack", "FrameHotStyle", "FrameSides", "FrameStyle", "FrameVisible",
      "FramingPreference"};
  int i = static_cast<int>(p);
  return (i >= 0 && i < 16) ? names[i] : "";
}

frame_controller::~frame_controller() {
  set_RegIniFile(nullptr);
  if (!list_) return;
  std::vector<frame_target*> targets = *list_;
  list_.reset();
  for (frame_target* t : targets) t->frame_controller_freed(this);
}

void frame_controller::push_to(frame_target* t, fc_prop p) {
  if (t->frame_apply(*this)) return;
  if (!(t->frame_notifications() & fc_bit(p))) return;
  t->frame_write(p, s_, sides_to_text(s_.FrameSides));
}

void frame_controller::push(fc_prop p) {
  if (updates_ > 0 || !list_) return;
  std::vector<frame_target*> targets = *list_;
  for (frame_target* t : targets) push_to(t, p);
}

void frame_controller::push_all_to(frame_target* t) {
  if (t->frame_apply(*this)) return;
  fc_flags n = t->frame_notifications();
  std::string sides = sides_to_text(s_.FrameSides);
  auto w = [&](fc_prop p) {
    if (n & fc_bit(p)) t->frame_write(p, s_, sides);
  };
  w(fcpParentColor);
  if (!s_.ParentColor) w(fcpColor);
  static const fc_prop rest[] = {
      fcpDisabledColor, fcpReadOnlyColor, fcpReadOnlyColorOnFocus, fcpFocusColor,
      fcpFlatButtonColor, fcpFlatButtons, fcpFrameColor, fcpFrameHotColor, fcpFrameHotTrack,
      fcpFrameHotStyle, fcpFrameSides, fcpFrameStyle, fcpFrameVisible, fcpFramingPreference};
  for (fc_prop p : rest) w(p);
}

void frame_controller::push_all() {
  if (!list_) return;
  std::vector<frame_target*> targets = *list_;
  for (frame_target* t : targets) push_all_to(t);
}

void frame_controller::Register(frame_target* t) {
  if (!t) return;
  if (!list_) list_ = std::make_unique<std::vector<frame_target*>>();
  if (std::find(list_->begin(), list_->end(), t) == list_->end()) list_->push_back(t);
  push_all_to(t);
}

void frame_controller::Unregister(frame_target* t) {
  if (!list_) return;
  list_->erase(std::remove(list_->begin(), list_->end(), t), list_->end());
  if (list_->empty()) list_.reset();
}

void frame_controller::set_RegIniFile(reg_ini_file* r) {
  if (r == reg_ini_) return;
  if (reg_ini_) {
    auto& v = reg_ini_->referrers_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  reg_ini_ = r;
  if (r) r->referrers_.push_back(this);
}

void frame_controller::reg_ini_file_freed(reg_ini_file* r) {
  if (reg_ini_ == r) reg_ini_ = nullptr;
}

void frame_controller::BeginUpdate() { ++updates_; }

void frame_controller::EndUpdate() {
  --updates_;
  if (updates_ <= 0) {
    updates_ = 0;
    push_all();
  }
}

void frame_controller::Loaded() { push_all(); }

void frame_controller::Assign(const frame_controller& o) {
  if (&o == this) return;
  BeginUpdate();
  s_ = o.s_;
  EndUpdate();
}

void frame_controller::set_Color(TColor v) {
  if (s_.Color == s_.FocusColor) s_.FocusColor = v;
  s_.Color = v;
  s_.ParentColor = false;
  push(fcpColor);
}
void frame_controller::set_FocusColor(TColor v) { s_.FocusColor = v; push(fcpFocusColor); }
void frame_controller::set_DisabledColor(TColor v) { s_.DisabledColor = v; push(fcpDisabledColor); }
void frame_controller::set_ReadOnlyColor(TColor v) { s_.ReadOnlyColor = v; push(fcpReadOnlyColor); }
void frame_controller::set_ReadOnlyColorOnFocus(bool v) {
  s_.ReadOnlyColorOnFocus = v;
  push(fcpReadOnlyColorOnFocus);
}
void frame_controller::set_ParentColor(bool v) {
  s_.ParentColor = v;
  push(fcpParentColor);
  if (!v) push(fcpColor);
}
void frame_controller::set_FlatButtonColor(TColor v) { s_.FlatButtonColor = v; push(fcpFlatButtonColor); }
void frame_controller::set_FlatButtons(bool v) { s_.FlatButtons = v; push(fcpFlatButtons); }
void frame_controller::set_FrameColor(TColor v) { s_.FrameColor = v; push(fcpFrameColor); }
void frame_controller::set_FrameHotColor(TColor v) { s_.FrameHotColor = v; push(fcpFrameHotColor); }
void frame_controller::set_FrameHotTrack(bool v) {
  s_.FrameHotTrack = v;
  push(fcpFrameHotTrack);
  if (v) {
    s_.FrameVisible = true;
    push(fcpFrameVisible);
    if (!loading) s_.FrameSides = sdAllSides;
  }
}
void frame_controller::set_FrameHotStyle(TFrameStyle v) { s_.FrameHotStyle = v; push(fcpFrameHotStyle); }
void frame_controller::set_FrameSides(TSides v) { s_.FrameSides = v & sdAllSides; push(fcpFrameSides); }
void frame_controller::set_FrameStyle(TFrameStyle v) { s_.FrameStyle = v; push(fcpFrameStyle); }
void frame_controller::set_FrameVisible(bool v) { s_.FrameVisible = v; push(fcpFrameVisible); }
void frame_controller::set_FramingPreference(TFramingPreference v) {
  s_.FramingPreference = v;
  push(fcpFramingPreference);
}

bool frame_controller::property_stored(bool has_controller, fc_flags notifications, fc_prop p,
                                       bool focus_differs_from_color, bool control_enabled) {
  if (p == fcpFocusColor && !focus_differs_from_color) return false;
  if (p == fcpColor && !control_enabled) return false;
  return !has_controller || !(notifications & fc_bit(p));
}

}  // namespace ctl
