// The push button ("SolvantaButton"): the click sequence, toggle groups,
// default and cancel keys, and its classic, hot-track and themed faces.
#pragma once

#include <windows.h>

#include "buttons.h"
#include "colors.h"
#include "geometry.h"

namespace ctl {

extern const wchar_t button_class[];  // "SolvantaButton"

// The group notification of toggle buttons: wParam group, lParam sender.
constexpr UINT msg_button_pressed = 0x2421;

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
  bool focus_lost_to_disable = false;
  HFONT font = nullptr;

  void set_default(bool v);
  void paint(HDC dc);
};
push_button* button_of(HWND h);

}  // namespace ctl
