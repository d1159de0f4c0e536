// The panel ("SolvantaPanel") and the group box ("SolvantaGroupBox"): borders,
// gradients, the six group-box styles and the children's enabled memory.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "colors.h"
#include "dock.h"
#include "enabled_memory.h"
#include "frame_controller.h"
#include "geometry.h"
#include "painters.h"

namespace ctl {

extern const wchar_t panel_class[];      // "SolvantaPanel"
extern const wchar_t group_box_class[];  // "SolvantaGroupBox"

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
  HBRUSH brush = nullptr;  // the children's background brush
  TColor brush_color = clNone;
  bool ShowDockClientCaptions = true;  // grabbers with captions on docked clients

  // A dock site that uses a dock manager has one; it goes with either.
  bool DockSite() const { return dock_site_; }
  bool UseDockManager() const { return use_dock_manager_; }
  void set_DockSite(bool v);
  void set_UseDockManager(bool v);
  dock_manager* DockManager() const { return dock_.get(); }

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
  void update_dock_manager();
  frame_controller* controller_ = nullptr;
  bool dock_site_ = false;
  bool use_dock_manager_ = true;
  std::unique_ptr<dock_manager> dock_;
};
panel* panel_of(HWND h);

// The colour scheme from the current user's theme manager settings: read
// once, and again after refresh_color_scheme() (on a theme change).
int current_color_scheme();
void refresh_color_scheme();

}  // namespace ctl
