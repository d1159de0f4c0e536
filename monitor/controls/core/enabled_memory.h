// What a panel remembers of its children's enabled states while it is
// disabled, so that a child disabled before stays disabled afterwards.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace ctl {

class enabled_memory {
 public:
  // The panel becomes disabled: the list is cleared and refilled.
  void record(const std::vector<std::pair<const void*, bool>>& children);
  // The panel becomes enabled again: whether that child is to be enabled.
  bool enable_again(const void* child) const;
  size_t size() const { return entries_.size(); }

 private:
  std::vector<std::pair<const void*, std::string>> entries_;
};

}  // namespace ctl
