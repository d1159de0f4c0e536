// The edit ("SolvantaEdit") and the spin edit ("SolvantaSpinEdit"): a system
// edit box underneath, with the state colours, the styled frame and, for the
// spin edit, the value rules and the button pair.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "colors.h"
#include "control_button.h"
#include "frame_controller.h"
#include "geometry.h"
#include "spin_value.h"

namespace ctl {

extern const wchar_t edit_class[];       // "SolvantaEdit"
extern const wchar_t spin_edit_class[];  // "SolvantaSpinEdit"

class edit_box : public frame_target {
 public:
  explicit edit_box(HWND h, bool spin);
  ~edit_box() override;
  HWND hwnd;

  edit_colors colors;
  TAlignment Alignment = taLeftJustify;
  bool FrameVisible = false;
  TFrameStyle FrameStyle = fsFlat;
  TColor FrameColor = clBtnShadow;
  TSides FrameSides = sdAllSides;
  bool FrameHotTrack = false;
  TFrameStyle FrameHotStyle = fsFlatBold;
  TColor FrameHotColor = clBtnShadow;
  TFramingPreference FramingPreference = fpXPThemes;
  bool TabOnEnter = false;
  fc_flags FrameControllerNotifications = fc_all_sixteen;

  bool has_focus = false, mouse_over = false;

  // The spin edit's part (null for a plain edit).
  struct spin_part {
    spin_value value;
    int ButtonWidth = 17;
    bool FlatButtons = false;
    TColor FlatButtonColor = clBtnFace;
    TSpinDirection Direction = sdUpDown;
    TOrientation Orientation = orVertical;
    HWND buttons = nullptr;
    // The edit's own copies, handed to the button pair (also a re-created one).
    HBITMAP ButtonUpGlyph = nullptr, ButtonDownGlyph = nullptr;
    int ButtonUpNumGlyphs = 2, ButtonDownNumGlyphs = 2;
    ~spin_part();
  };
  std::unique_ptr<spin_part> spin;

  // Takes the parent's colour (a panel's Color, else clBtnFace) and follows
  // it while set.
  bool ParentColor = false;

  TColor current_color() const;
  void set_color(TColor c);  // Color from outside
  void set_parent_color(bool v);
  void parent_color_changed();  // the parent's colour changed
  // Alignment: re-creates the window (same object, text, font, place,
  // tab order and focus).
  void set_alignment(TAlignment a);
  // The spin edit's range, Decimals, CheckRange and IntegersOnly: the
  // shown text follows at once (re-clamped, re-formatted).
  void set_min(double v);
  void set_max(double v);
  void set_decimals(int v);
  void set_check_range(bool v);
  void set_integers_only(bool v);
  // ButtonUpGlyph / ButtonDownGlyph (copied; null restores the arrow) and
  // ButtonUpNumGlyphs / ButtonDownNumGlyphs.
  void set_button_up_glyph(HBITMAP g);
  void set_button_down_glyph(HBITMAP g);
  void set_button_up_num_glyphs(int n);
  void set_button_down_num_glyphs(int n);
  void set_frame_visible(bool v);
  void set_frame_hot_track(bool v);
  void set_read_only(bool v);
  void set_framing_preference(TFramingPreference v);
  void set_frame_controller(frame_controller* c);
  frame_controller* controller() const { return controller_; }
  void apply_state();        // state colour and frame
  bool frame_drawn() const;  // the own frame is painted
  void layout_spin();        // places the spin buttons
  void sync_in();            // text and selection from the window
  void sync_out();           // ... back to it
  // The spin edit's number as an integer (nearest, ties to even; clamped
  // to 32 bits), read from and written to the window's text.
  int integer_value();
  void set_integer_value(int v);

  // frame_target
  fc_flags frame_notifications() const override { return FrameControllerNotifications; }
  bool frame_write(fc_prop p, const frame_settings& s, const std::string& sides_text) override;
  void frame_controller_freed(frame_controller* c) override;

  WNDPROC base_proc = nullptr;
  HBRUSH brush = nullptr;
  TColor brush_color = clNone;
  bool guard = false;

  void glyphs_to_pair();  // the glyph properties to the button pair

 private:
  bool recreate();
  frame_controller* controller_ = nullptr;
};
edit_box* edit_of(HWND h);

}  // namespace ctl
