#include "legacy_properties.h"

#include <cctype>

#include "geometry.h"

namespace ctl {

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

}  // namespace ctl
