// A fixed palette for the unit tables, so that they give the same answers
// natively and under Wine whatever the running system's colours are.
#pragma once

#include <cstdint>

#include "colors.h"

namespace ctl_test {

inline std::uint32_t palette(int index) {
  switch (index) {
    case 5: return 0xFFFFFF;   // window
    case 6: return 0x000000;   // window frame
    case 13: return 0xFA9630;  // highlight (BBGGRR)
    case 15: return 0xF5F5F5;  // button face
    case 16: return 0xA6A6A6;  // button shadow
    case 17: return 0x6D6D6D;  // grey text
    case 18: return 0x000000;  // button text
    case 20: return 0xFFFFFF;  // button highlight
    case 21: return 0x6A6A6A;  // dark shadow
    case 22: return 0xDCDCDC;  // light
    case 24: return 0xE1FFFF;  // info background
    default: return 0x123456;
  }
}

struct palette_scope {
  palette_scope() { ctl::set_system_color_source(&palette); }
  ~palette_scope() { ctl::set_system_color_source(nullptr); }
};

}  // namespace ctl_test
