// The dock manager's grabbers: the band drawn over each docked client of a
// panel that is a dock site, with the client's caption and a close glyph.
#pragma once

#include <windows.h>

#include <string>

#include "geometry.h"

namespace ctl {

class dock_fonts {
 public:
  dock_fonts();  // "Verdana" 8 point for captions, "Marlett" 8 point for the glyph
  ~dock_fonts();
  dock_fonts(const dock_fonts&) = delete;
  dock_fonts& operator=(const dock_fonts&) = delete;
  HFONT caption = nullptr;
  HFONT close_glyph = nullptr;
};

// Paints the grabber of a client whose rectangle inside the dock site is
// `client`; returns the grabber's rectangle.
rect_i PaintDockGrabber(HDC dc, const dock_fonts& fonts, const rect_i& client, TAlign panel_align,
                        const std::wstring& caption, bool client_is_window, bool client_focused,
                        bool show_captions);

}  // namespace ctl
