// Old property names accepted when a form file of an earlier version is
// read: each is converted into today's property writes or dropped.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ctl {

enum legacy_owner { lo_edit, lo_spin_edit, lo_frame_controller, lo_button, lo_panel };
struct legacy_result {
  bool known = false;  // a legacy name of that owner (possibly dropped)
  std::vector<std::pair<std::string, std::string>> writes;  // property := value
};
legacy_result legacy_property(legacy_owner owner, const std::string& name,
                              const std::string& value);

}  // namespace ctl
