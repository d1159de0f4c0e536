// Colour values of the dialog controls and the arithmetic over them: HSL on
// a 0..240 scale, luminance shifts, mixes, similarity and complements.
#pragma once

#include <cstdint>

namespace ctl {

// 0x00BBGGRR is an RGB colour; 0xFF0000nn names system colour nn (resolved
// when painting); 0x1FFFFFFF is the no-colour value.
using TColor = std::uint32_t;

constexpr TColor clNone = 0x1FFFFFFFu;
constexpr TColor clSystemBase = 0xFF000000u;
constexpr TColor clActiveCaption = clSystemBase | 2;
constexpr TColor clInactiveCaption = clSystemBase | 3;
constexpr TColor clWindow = clSystemBase | 5;
constexpr TColor clWindowFrame = clSystemBase | 6;
constexpr TColor clCaptionText = clSystemBase | 9;
constexpr TColor clHighlight = clSystemBase | 13;
constexpr TColor clBtnFace = clSystemBase | 15;
constexpr TColor clBtnShadow = clSystemBase | 16;
constexpr TColor clGrayText = clSystemBase | 17;
constexpr TColor clBtnText = clSystemBase | 18;
constexpr TColor clInactiveCaptionText = clSystemBase | 19;
constexpr TColor clBtnHighlight = clSystemBase | 20;
constexpr TColor cl3DDkShadow = clSystemBase | 21;
constexpr TColor cl3DLight = clSystemBase | 22;
constexpr TColor clInfoBk = clSystemBase | 24;

constexpr TColor clBlack = 0x000000u;
constexpr TColor clWhite = 0xFFFFFFu;
constexpr TColor clSilver = 0xC0C0C0u;
constexpr TColor clGray = 0x808080u;

constexpr TColor rgb(int r, int g, int b) {
  return static_cast<TColor>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int red_of(TColor c) { return static_cast<int>(c & 0xFF); }
constexpr int green_of(TColor c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int blue_of(TColor c) { return static_cast<int>((c >> 16) & 0xFF); }
constexpr bool is_system_color(TColor c) { return (c & 0xFF000000u) == clSystemBase; }

// Where system colours come from: GetSysColor on Windows, a fixed table
// (the classic palette) elsewhere. Tests may install their own source;
// nullptr restores the default.
using system_color_source = std::uint32_t (*)(int index);
void set_system_color_source(system_color_source source);

// The RGB value of a colour: system colours resolved, the no-colour value
// and any other tag byte masked to its low 24 bits.
TColor ColorToRGB(TColor c);

struct hsl240 {
  int h = 0;  // 0..240 (240 is the full circle)
  int s = 0;  // 0..240
  int l = 0;  // 0..240; shifts may carry it up to 255
};

hsl240 RgbToHsl240(TColor c);
// Components outside 0..255 are clamped first; channels are limited to 255.
TColor HslToRgb240(int h, int s, int l);
TColor HslToRgb240(const hsl240& v);

TColor DarkenColor(TColor c, int n);
TColor LightenColor(TColor c, int n);
// n > 0 lightens, n < 0 darkens, 0 returns c itself (even a system colour
// reference). |n| above 255 is clamped to 255.
TColor ShiftColor(TColor c, int n);
// Per channel a*w + b*(1-w), w = weight/255 (weight clamped to 0..255).
TColor MixColors(TColor a, TColor b, int weight);
bool ColorsAreSimilar(TColor a, TColor b);
TColor ComplementColor(TColor c, int luminance);

// Round half to even, the rounding of every conversion here.
int round_even(double x);

}  // namespace ctl
