// The frame controller: one settings record pushed into every control that
// registered with it, with update counting and per-control notification
// flags, and an optional reference to a registry/INI location component.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "colors.h"
#include "geometry.h"

namespace ctl {

enum TFramingPreference { fpCustomFraming, fpXPThemes };

// TRzFrameControllerNotifications, in this order; fcpAll is not consulted.
enum fc_prop {
  fcpColor, fcpFocusColor, fcpDisabledColor, fcpReadOnlyColor, fcpReadOnlyColorOnFocus,
  fcpParentColor, fcpFlatButtonColor, fcpFlatButtons, fcpFrameColor, fcpFrameHotColor,
  fcpFrameHotTrack, fcpFrameHotStyle, fcpFrameSides, fcpFrameStyle, fcpFrameVisible,
  fcpFramingPreference, fcpAll
};
using fc_flags = unsigned;
constexpr fc_flags fc_bit(fc_prop p) { return 1u << static_cast<unsigned>(p); }
constexpr fc_flags fc_all_sixteen = 0xFFFFu;
// The published property name of a setting.
const char* fc_prop_name(fc_prop p);

struct frame_settings {
  TColor Color = clWindow;
  TColor FocusColor = clWindow;
  TColor DisabledColor = clBtnFace;
  TColor ReadOnlyColor = clInfoBk;
  bool ReadOnlyColorOnFocus = false;
  bool ParentColor = false;
  TColor FlatButtonColor = clBtnFace;
  bool FlatButtons = true;
  TColor FrameColor = clBtnShadow;
  TColor FrameHotColor = clBtnShadow;
  bool FrameHotTrack = false;
  TFrameStyle FrameHotStyle = fsFlatBold;
  TSides FrameSides = sdAllSides;
  TFrameStyle FrameStyle = fsFlat;
  bool FrameVisible = false;
  TFramingPreference FramingPreference = fpXPThemes;
};

class frame_controller;
class reg_ini_file;

// A control as the controller sees it.
class frame_target {
 public:
  virtual ~frame_target() = default;
  // Controls with the framing-notification interface (the panels) take the
  // settings whole: return true after applying them.
  virtual bool frame_apply(const frame_controller&) { return false; }
  // The control's FrameControllerNotifications (all sixteen by default).
  virtual fc_flags frame_notifications() const { return fc_all_sixteen; }
  // Write one setting into the published property of the same name; false
  // when the control has none (nothing happens then). FrameSides comes as
  // the set's text form in `sides_text`.
  virtual bool frame_write(fc_prop p, const frame_settings& s, const std::string& sides_text) = 0;
  // The controller is going away: drop the reference.
  virtual void frame_controller_freed(frame_controller*) {}
};

class frame_controller {
 public:
  frame_controller() = default;
  frame_controller(const frame_controller&) = delete;
  frame_controller& operator=(const frame_controller&) = delete;
  ~frame_controller();

  const frame_settings& settings() const { return s_; }
  bool loading = false;

  void set_Color(TColor v);
  void set_FocusColor(TColor v);
  void set_DisabledColor(TColor v);
  void set_ReadOnlyColor(TColor v);
  void set_ReadOnlyColorOnFocus(bool v);
  void set_ParentColor(bool v);
  void set_FlatButtonColor(TColor v);
  void set_FlatButtons(bool v);
  void set_FrameColor(TColor v);
  void set_FrameHotColor(TColor v);
  void set_FrameHotTrack(bool v);
  void set_FrameHotStyle(TFrameStyle v);
  void set_FrameSides(TSides v);
  void set_FrameStyle(TFrameStyle v);
  void set_FrameVisible(bool v);
  void set_FramingPreference(TFramingPreference v);

  void Register(frame_target* t);
  void Unregister(frame_target* t);
  void BeginUpdate();
  void EndUpdate();
  void Loaded();
  void Assign(const frame_controller& other);

  // The optional registry/INI location component; cleared when it is freed.
  reg_ini_file* RegIniFile() const { return reg_ini_; }
  void set_RegIniFile(reg_ini_file* r);

  int update_count() const { return updates_; }
  bool has_control_list() const { return list_ != nullptr; }
  size_t control_count() const { return list_ ? list_->size() : 0; }

  // Whether a control's frame or colour property goes into its form file.
  static bool property_stored(bool has_controller, fc_flags notifications, fc_prop p,
                              bool focus_differs_from_color, bool control_enabled);

 private:
  void push(fc_prop p);
  void push_all();
  void push_to(frame_target* t, fc_prop p);
  void push_all_to(frame_target* t);
  friend class reg_ini_file;
  void reg_ini_file_freed(reg_ini_file* r);
  frame_settings s_;
  reg_ini_file* reg_ini_ = nullptr;
  int updates_ = 0;
  std::unique_ptr<std::vector<frame_target*>> list_;
};

}  // namespace ctl
