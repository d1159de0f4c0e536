#include "frame_controller.h"

#include <algorithm>
#include <cctype>

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

void reg_ini_settings::set_Path(const std::wstring& v) {
  if (v != path_) { path_ = v; recreate = true; }
}
void reg_ini_settings::set_PathType(TRzPathType v) {
  if (v != path_type_) { path_type_ = v; recreate = true; }
}
void reg_ini_settings::set_RegKey(TRzRegKey v) {
  if (v != reg_key_) { reg_key_ = v; recreate = true; }
}
void reg_ini_settings::set_RegAccess(unsigned v) {
  if (v != access_) { access_ = v; recreate = true; }
}
void reg_ini_settings::set_SpecialFolder(TRzSpecialFolder v) {
  if (v != folder_) { folder_ = v; recreate = true; }
}

namespace {

bool same_name(const std::string& a, const char* b) {
  size_t n = a.size();
  size_t i = 0;
  for (; i < n && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == n && b[i] == 0;
}

// A form file's Boolean: True or False (case ignored); anything else is no Boolean.
bool form_bool(const std::string& v, bool* out) {
  if (same_name(v, "True")) { *out = true; return true; }
  if (same_name(v, "False")) { *out = false; return true; }
  return false;
}

}  // namespace

legacy_result legacy_property(legacy_owner owner, const std::string& name,
                              const std::string& value) {
  legacy_result r;
  bool edit_like = owner == lo_edit || owner == lo_spin_edit || owner == lo_frame_controller;
  bool b = false;
  if (same_name(name, "FrameFlat") && (edit_like || owner == lo_button)) {
    r.known = true;
    if (!form_bool(value, &b)) return r;  // unreadable: dropped
    const char* text = b ? "True" : "False";
    if (owner == lo_button) {
      r.writes.push_back({"HotTrack", text});
    } else {
      r.writes.push_back({"FrameHotTrack", text});
      if (b) {
        r.writes.push_back({"FrameStyle", "fsStatus"});
        r.writes.push_back({"FrameHotStyle", "fsLowered"});
      }
    }
  } else if (same_name(name, "FrameFocusStyle") && edit_like) {
    r.known = true;
    TFrameStyle s;
    if (frame_style_from_name(value, &s)) r.writes.push_back({"FrameHotStyle", frame_style_name(s)});
  } else if (same_name(name, "FrameFlatStyle") && edit_like) {
    r.known = true;
  } else if (same_name(name, "FlatButtonParentColor") && owner == lo_spin_edit) {
    r.known = true;
  } else if ((same_name(name, "FrameSides") || same_name(name, "ThemeAware")) &&
             owner == lo_panel) {
    r.known = true;
  } else if (same_name(name, "UseGradients") && owner == lo_panel) {
    r.known = true;
    if (form_bool(value, &b) && b) r.writes.push_back({"VisualStyle", "vsGradient"});
  }
  return r;
}

void enabled_memory::record(const std::vector<std::pair<const void*, bool>>& children) {
  entries_.clear();
  for (const auto& c : children) entries_.push_back({c.first, c.second ? "1" : "0"});
}

bool enabled_memory::enable_again(const void* child) const {
  for (const auto& e : entries_)
    if (e.first == child) return e.second == "1";
  return true;
}

}  // namespace ctl
