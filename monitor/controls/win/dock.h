// The dock manager of a panel that is a dock site (TRzPanelDockManager):
// it owns the caption and close-glyph fonts, sits in front of the panel's
// window procedure while it lives, and paints the grabber of each docked
// client, with the client's caption and a close glyph. The docking itself
// (dragging, the dock tree) is the platform's; the panel is told which of
// its child windows are docked clients.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

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

class dock_manager {
 public:
  // Places itself in front of the site's window procedure.
  explicit dock_manager(HWND site);
  // Puts the previous window procedure back.
  ~dock_manager();
  dock_manager(const dock_manager&) = delete;
  dock_manager& operator=(const dock_manager&) = delete;

  static constexpr int GrabberSize = dock_grabber_size;
  HWND site() const { return site_; }
  const dock_fonts& fonts() const { return fonts_; }
  WNDPROC previous_proc() const { return previous_; }

  // The docked clients: child windows of the site, in docking order.
  void add_client(HWND client);
  void remove_client(HWND client);
  const std::vector<HWND>& clients() const { return clients_; }

  // The grabbers of every visible docked client, for a site aligned so.
  void paint(HDC dc, TAlign site_align, bool show_captions) const;

 private:
  static LRESULT CALLBACK site_proc(HWND h, UINT m, WPARAM w, LPARAM l);
  HWND site_;
  dock_fonts fonts_;
  WNDPROC previous_ = nullptr;
  std::vector<HWND> clients_;
};

}  // namespace ctl
