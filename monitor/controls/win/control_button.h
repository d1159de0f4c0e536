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
};
spin_buttons* spin_buttons_of(HWND h);

// A host window holding one control button (for dialogs and the gallery).
control_button* control_button_of(HWND h);

}  // namespace ctl
