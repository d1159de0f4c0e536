// The old property names of earlier form files.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "legacy_properties.h"

using namespace ctl;

namespace {

TEST(LegacyNames, Table) {
  using writes = std::vector<std::pair<std::string, std::string>>;
  struct row {
    legacy_owner owner;
    const char* name;
    const char* value;
    bool known;
    writes out;
  } rows[] = {
      {lo_panel, "UseGradients", "True", true, {{"VisualStyle", "vsGradient"}}},
      {lo_panel, "UseGradients", "False", true, {}},
      {lo_edit, "FrameFlat", "True", true,
       {{"FrameHotTrack", "True"}, {"FrameStyle", "fsStatus"}, {"FrameHotStyle", "fsLowered"}}},
      {lo_frame_controller, "FrameFlat", "False", true, {{"FrameHotTrack", "False"}}},
      {lo_button, "FrameFlat", "True", true, {{"HotTrack", "True"}}},
      {lo_spin_edit, "FrameFocusStyle", "fsGroove", true, {{"FrameHotStyle", "fsGroove"}}},
      {lo_edit, "FrameFocusStyle", "fsNoSuch", true, {}},
      {lo_edit, "FrameFlatStyle", "fsFlat", true, {}},
      {lo_spin_edit, "FlatButtonParentColor", "True", true, {}},
      {lo_edit, "FlatButtonParentColor", "True", false, {}},
      {lo_panel, "FrameSides", "[sdTop]", true, {}},
      {lo_panel, "ThemeAware", "True", true, {}},
      {lo_button, "UseGradients", "True", false, {}},
      {lo_panel, "Caption", "x", false, {}},
  };
  for (const row& r : rows) {
    legacy_result got = legacy_property(r.owner, r.name, r.value);
    EXPECT_EQ(got.known, r.known) << r.name << "=" << r.value;
    EXPECT_EQ(got.writes, r.out) << r.name << "=" << r.value;
  }
}

}  // namespace
