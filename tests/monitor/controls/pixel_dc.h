// A memory device context over a 32-bit DIB section for pixel tables.
#pragma once

#include <windows.h>

#include <cstdint>

#include "colors.h"

namespace ctl_test {

// A 32-bit DIB pixel (0x00RRGGBB) as a colour.
inline ctl::TColor from_dib(std::uint32_t v) {
  return ctl::rgb(static_cast<int>((v >> 16) & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF));
}

class pixel_dc {
 public:
  pixel_dc(int w, int h, ctl::TColor fill = ctl::rgb(1, 2, 3)) : w_(w), h_(h) {
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    bmp_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    old_ = SelectObject(dc_, bmp_);
    for (int i = 0; i < w * h; ++i) bits_[i] = to_dib(fill);
  }
  ~pixel_dc() {
    SelectObject(dc_, old_);
    DeleteObject(bmp_);
    DeleteDC(dc_);
  }
  pixel_dc(const pixel_dc&) = delete;
  pixel_dc& operator=(const pixel_dc&) = delete;

  HDC dc() const { return dc_; }
  // The pixels, row by row from the top, once GDI has drawn them.
  const std::uint32_t* bits() const {
    GdiFlush();
    return bits_;
  }
  // The pixel as 0x00BBGGRR.
  ctl::TColor at(int x, int y) const {
    GdiFlush();
    return from_dib(bits_[y * w_ + x]);
  }
  bool untouched(ctl::TColor fill = ctl::rgb(1, 2, 3)) const {
    for (int y = 0; y < h_; ++y)
      for (int x = 0; x < w_; ++x)
        if (at(x, y) != fill) return false;
    return true;
  }

 private:
  static std::uint32_t to_dib(ctl::TColor c) {
    return static_cast<std::uint32_t>(ctl::blue_of(c) | (ctl::green_of(c) << 8) | (ctl::red_of(c) << 16));
  }
  int w_, h_;
  HDC dc_;
  HBITMAP bmp_;
  HGDIOBJ old_;
  std::uint32_t* bits_ = nullptr;
};

}  // namespace ctl_test
