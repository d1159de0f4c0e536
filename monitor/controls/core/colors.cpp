#include "colors.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ctl {

namespace {

#ifdef _WIN32
std::uint32_t platform_system_color(int index) { return GetSysColor(index); }
#else
// The classic palette, for builds without a window system.
std::uint32_t platform_system_color(int index) {
  static const std::uint32_t table[31] = {
      0xC8D0D4, 0x984E00, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000,
      0x000000, 0x000000, 0xFFFFFF, 0xC8D0D4, 0xC8D0D4, 0x808080, 0x6A240A,
      0xFFFFFF, 0xC8D0D4, 0x808080, 0x808080, 0x000000, 0xC8D0D4, 0xFFFFFF,
      0x404040, 0xC8D0D4, 0x000000, 0xE1FFFF, 0xB5B5B5, 0x800000, 0xF0CAA6,
      0xC0C0C0, 0xC56A31, 0xF0F0F0};
  if (index < 0 || index >= 31) return 0;
  return table[index];
}
#endif

std::atomic<system_color_source> g_source{nullptr};

double clamp01(double v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

int clamp_byte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

int clamp_byte_d(double v) {
  if (!(v >= 0)) return 0;  // also NaN
  if (v > 255) return 255;
  return round_even(v);
}

}  // namespace

void set_system_color_source(system_color_source source) { g_source.store(source); }

int round_even(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return 2147483647;
  if (x <= -2147483648.0) return -2147483647 - 1;
  double f = std::floor(x);
  double d = x - f;
  long long r = static_cast<long long>(f);
  if (d > 0.5 || (d == 0.5 && (r % 2 != 0))) ++r;
  return static_cast<int>(r);
}

TColor ColorToRGB(TColor c) {
  if (is_system_color(c)) {
    system_color_source s = g_source.load();
    int index = static_cast<int>(c & 0xFF);
    std::uint32_t v = s ? s(index) : platform_system_color(index);
    return v & 0xFFFFFFu;
  }
  return c & 0xFFFFFFu;
}

hsl240 RgbToHsl240(TColor c) {
  c = ColorToRGB(c);
  double r = red_of(c) / 255.0, g = green_of(c) / 255.0, b = blue_of(c) / 255.0;
  double mx = std::max(r, std::max(g, b));
  double mn = std::min(r, std::min(g, b));
  double l = (mx + mn) / 2;
  double h = 0, s = 0;
  if (mx != mn) {
    double d = mx - mn;
    s = l < 0.5 ? d / (mx + mn) : d / (2 - mx - mn);
    if (r == mx)
      h = (g - b) / d;
    else if (g != mx)
      h = 4 + (r - g) / d;
    else
      h = 2 + (b - r) / d;
    h /= 6;
    if (h < 0) h += 1;
  }
  hsl240 out;
  out.h = clamp_byte_d(h * 240);
  out.s = clamp_byte_d(s * 240);
  out.l = clamp_byte_d(l * 240);
  return out;
}

TColor HslToRgb240(int hue, int sat, int lum) {
  double h = clamp_byte(hue), l = clamp_byte(lum) / 240.0, s = clamp_byte(sat) / 240.0;
  double m2 = l >= 0.5 ? l + s - l * s : l * (1 + s);
  if (m2 <= 0) return clBlack;
  double h6 = h / 239.0 * 6.0;
  int i = static_cast<int>(h6);
  double f = h6 - i;
  double m1 = 2 * l - m2;
  double rise = m1 + (m2 - m1) * f;
  double fall = m2 - (m2 - m1) * f;
  double r, g, b;
  switch (i) {
    case 1: r = fall; g = m2; b = m1; break;
    case 2: r = m1; g = m2; b = rise; break;
    case 3: r = m1; g = fall; b = m2; break;
    case 4: r = rise; g = m1; b = m2; break;
    case 5: r = m2; g = m1; b = fall; break;
    default: r = m2; g = rise; b = m1; break;  // 0 and 6
  }
  return rgb(clamp_byte_d(clamp01(r) * 255), clamp_byte_d(clamp01(g) * 255),
             clamp_byte_d(clamp01(b) * 255));
}

TColor HslToRgb240(const hsl240& v) { return HslToRgb240(v.h, v.s, v.l); }

TColor DarkenColor(TColor c, int n) {
  hsl240 v = RgbToHsl240(c);
  long long l = static_cast<long long>(v.l) - n;
  v.l = static_cast<int>(std::clamp<long long>(l, 0, 255));
  return HslToRgb240(v);
}

TColor LightenColor(TColor c, int n) {
  hsl240 v = RgbToHsl240(c);
  long long l = static_cast<long long>(v.l) + n;
  v.l = static_cast<int>(std::clamp<long long>(l, 0, 255));
  return HslToRgb240(v);
}

TColor ShiftColor(TColor c, int n) {
  if (n == 0) return c;
  n = std::clamp(n, -255, 255);
  return n > 0 ? LightenColor(c, n) : DarkenColor(c, -n);
}

TColor MixColors(TColor a, TColor b, int weight) {
  a = ColorToRGB(a);
  b = ColorToRGB(b);
  float w = static_cast<float>(clamp_byte(weight)) / 255.0f;
  auto mix = [w](int x, int y) {
    float v = static_cast<float>(x) * w + static_cast<float>(y) * (1.0f - w);
    return clamp_byte_d(static_cast<double>(v));
  };
  return rgb(mix(red_of(a), red_of(b)), mix(green_of(a), green_of(b)),
             mix(blue_of(a), blue_of(b)));
}

bool ColorsAreSimilar(TColor a, TColor b) {
  hsl240 x = RgbToHsl240(a), y = RgbToHsl240(b);
  return std::abs(x.h - y.h) < 20 && std::abs(x.l - y.l) < 60;
}

TColor ComplementColor(TColor c, int luminance) {
  hsl240 v = RgbToHsl240(c);
  v.h = v.h < 120 ? v.h + 120 : v.h - 120;
  v.s = 240;
  v.l = clamp_byte(luminance);
  return HslToRgb240(v);
}

}  // namespace ctl
