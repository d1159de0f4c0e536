// The control button: a window-less button painted and driven by the
// window that owns it; the spin edit's button pair ("SolvantaSpinButtons")
// and the one-button host window ("SolvantaControlButton").
#pragma once

#include <windows.h>

#include <functional>

#include "buttons.h"
#include "colors.h"
#include "geometry.h"

namespace ctl {

extern const wchar_t spin_buttons_class[];    // "SolvantaSpinButtons"
extern const wchar_t control_button_class[];  // "SolvantaControlButton" (hosts one)

enum TSpinDirection { sdUpDown, sdLeftRight };
enum TOrientation { orHorizontal, orVertical };

enum TRzControlButtonStyle { cbsNone, cbsLeft, cbsUp, cbsRight, cbsDown, cbsDropDown };

// A window-less button: painted and driven by its owner window.
class control_button {
 public:
  control_button() = default;
  ~control_button();
  control_button(const control_button&) = delete;
  control_button& operator=(const control_button&) = delete;

  control_button_logic logic;
  rect_i rect;
  TRzControlButtonStyle Style = cbsNone;
  TColor Color = clBtnFace;
  int NumGlyphs = 1;  // 1 to 4
  bool in_spin_pair = false;
  std::function<void()> OnClick;

  // The glyph strip: the button keeps its own copy of the bitmap given
  // (the caller keeps its own); null clears it. A glyph switches the face
  // to cbsNone; a strip whose width is a whole multiple of its height sets
  // NumGlyphs.
  HBITMAP glyph() const { return Glyph; }
  void set_glyph(HBITMAP g);
  void set_num_glyphs(int n);
  void paint(HDC dc, bool enabled) const;

 private:
  HBITMAP Glyph = nullptr;  // owned
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
  // GlyphUpRight / GlyphDownLeft (copied; null restores the arrow) and
  // their image counts.
  void set_glyph_up_right(HBITMAP g);
  void set_glyph_down_left(HBITMAP g);
  void set_num_glyphs_up_right(int n);
  void set_num_glyphs_down_left(int n);
  void layout();
};
spin_buttons* spin_buttons_of(HWND h);

// The colour of a flat control button's arrow with visual styles (the
// theme's spin part `part` sampled at its centre).
TColor flat_arrow_color(int part, int width, int height);

// A host window holding one control button (for dialogs and the gallery).
control_button* control_button_of(HWND h);

}  // namespace ctl
