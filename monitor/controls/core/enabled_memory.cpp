#include "enabled_memory.h"

namespace ctl {

void enabled_memory::record(const std::vector<std::pair<const void*, bool>>& children) {
  entries_.clear();
  for (const auto& c : children) entries_.push_back({c.first, c.second ? "1" : "0"});
}

bool enabled_memory::enable_again(const void* child) const {
  for (const auto& e : entries_)
    if (e.first == child) return e.second == "1";
  return true;
}

}  // namespace ctl
