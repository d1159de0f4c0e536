// The window classes of the dialog controls and the C++ objects behind
// them. register_controls() registers the classes once per process; a
// control's object is reached from its window with the *_of functions and
// lives as long as the window. Change properties through the object, then
// call its apply() (or the named setters) so the window follows.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "buttons.h"
#include "colors.h"
#include "frame_controller.h"
#include "geometry.h"
#include "painters.h"
#include "spin_value.h"

namespace ctl {

extern const wchar_t edit_class[];            // "SolvantaEdit"
extern const wchar_t spin_edit_class[];       // "SolvantaSpinEdit"
extern const wchar_t spin_buttons_class[];    // "SolvantaSpinButtons"
extern const wchar_t button_class[];          // "SolvantaButton"
extern const wchar_t control_button_class[];  // "SolvantaControlButton" (hosts one)
extern const wchar_t panel_class[];           // "SolvantaPanel"
extern const wchar_t group_box_class[];       // "SolvantaGroupBox"

bool register_controls(HINSTANCE instance);

// The group notification of toggle buttons: wParam group, lParam sender.
constexpr UINT msg_button_pressed = 0x2421;

// ---------------------------------------------------------------- edits
enum TSpinDirection { sdUpDown, sdLeftRight };
enum TOrientation { orHorizontal, orVertical };

class spin_buttons;

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
  };
  std::unique_ptr<spin_part> spin;

  TColor current_color() const;
  void set_color(TColor c);  // Color from outside
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

 private:
  frame_controller* controller_ = nullptr;
};
edit_box* edit_of(HWND h);

// ------------------------------------------------------ control buttons
enum TRzControlButtonStyle { cbsNone, cbsLeft, cbsUp, cbsRight, cbsDown, cbsDropDown };

// A window-less button: painted and driven by its owner window.
class control_button {
 public:
  control_button_logic logic;
  rect_i rect;
  TRzControlButtonStyle Style = cbsNone;
  TColor Color = clBtnFace;
  HBITMAP Glyph = nullptr;  // not owned
  int NumGlyphs = 1;
  bool in_spin_pair = false;
  std::function<void()> OnClick;

  void set_glyph(HBITMAP g);
  void paint(HDC dc, bool enabled) const;
};

class spin_buttons {
 public:
  explicit spin_buttons(HWND h);
  HWND hwnd;
  control_button up, down;  // up/right and down/left
  HWND FocusControl = nullptr;
  TSpinDirection Direction = sdUpDown;
  TOrientation Orientation = orVertical;
  std::function<void()> OnUpRightClick, OnDownLeftClick;
  void set_delays(int initial, int delay);
  void layout();
  control_button* captured = nullptr;
  control_button* hot = nullptr;
};
spin_buttons* spin_buttons_of(HWND h);

// A host window holding one control button (for dialogs and the gallery).
control_button* control_button_of(HWND h);

// ------------------------------------------------------------- buttons
class push_button {
 public:
  explicit push_button(HWND h);
  HWND hwnd;
  push_button_logic logic;
  TAlignment Alignment = taCenter;
  bool Default = false;
  bool Cancel = false;
  int ModalResult = 0;
  bool ShowDownPattern = true;
  bool ShowFocusRect = true;
  TColor FrameColor = cl3DDkShadow;
  TColor Color = clBtnFace;
  bool HotTrack = false;
  TColor HotTrackColor = rgb(240, 155, 20);
  bool HotTrackComplement = false;  // htctComplement
  TColor HighlightColor = clHighlight;
  bool ThemeAware = true;
  enum TAlignmentVertical { avTop, avCenter, avBottom } AlignmentVertical = avCenter;
  enum TTextStyle { tsNormal, tsRaised, tsRecessed, tsShadow } TextStyle = tsNormal;
  bool LightTextStyle = false;
  TColor TextHighlightColor = clBtnHighlight;
  TColor TextShadowColor = clBtnShadow;
  int TextShadowDepth = 2;
  bool acts_default = false;
  HFONT font = nullptr;

  void set_default(bool v);
  void paint(HDC dc);
};
push_button* button_of(HWND h);

// -------------------------------------------------- panels, group boxes
enum TRzVisualStyle { vsClassic, vsWinXP, vsGradient };
enum TRzGradientColorStyle { gcsSystem, gcsMSOffice, gcsCustom };

class panel : public frame_target {
 public:
  panel(HWND h, bool group_box);
  ~panel() override;
  HWND hwnd;
  bool is_group_box;

  TFrameStyle BorderOuter;
  TFrameStyle BorderInner = fsNone;
  TSides BorderSides = sdAllSides;
  TColor BorderColor = clBtnFace;
  int BorderWidth = 0;
  int BevelWidth = 1;
  TColor FlatColor = clBtnShadow;
  int FlatColorAdjustment = 30;
  TRzVisualStyle VisualStyle = vsWinXP;
  TRzGradientColorStyle GradientColorStyle = gcsSystem;
  TColor GradientColorStart = clWhite, GradientColorStop = clBtnFace;
  TGradientDirection GradientDirection = gdHorizontalEnd;
  bool Transparent = false;
  TAlignment Alignment;  // panels centre their caption, group boxes start it left
  TRzGroupBoxStyle GroupStyle = gsFlat;
  TAlign Align = alNone;
  TColor Color = clBtnFace;
  bool ParentColor = false;
  TColor highlight = clBtnHighlight, shadow = clBtnShadow;
  fc_flags FrameControllerNotifications = fc_all_sixteen;
  std::function<void(HDC)> OnPaint;
  enabled_memory memory;
  HFONT font = nullptr;

  void set_transparent(bool v);
  // After a change of colours, gradient or borders: repaints the panel and
  // its transparent children.
  void changed();
  void set_frame_controller(frame_controller* c);
  rect_i child_area() const;  // where the children go
  void paint(HDC dc);

  bool frame_apply(const frame_controller& c) override;
  bool frame_write(fc_prop, const frame_settings&, const std::string&) override { return false; }
  void frame_controller_freed(frame_controller* c) override;

 private:
  void paint_group_box(HDC dc, int W, int H);
  frame_controller* controller_ = nullptr;
};
panel* panel_of(HWND h);

// The colour scheme from the current user's theme manager settings: read
// once, and again after refresh_color_scheme() (on a theme change).
int current_color_scheme();
void refresh_color_scheme();

}  // namespace ctl
