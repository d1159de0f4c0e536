// The panel's memory of its children's enabled states.
#include <gtest/gtest.h>

#include "enabled_memory.h"

using namespace ctl;

namespace {

TEST(EnabledMemory, DisabledChildStaysDisabled) {
  int a = 0, b = 0, c = 0;
  enabled_memory m;
  m.record({{&a, true}, {&b, false}});
  EXPECT_TRUE(m.enable_again(&a));
  EXPECT_FALSE(m.enable_again(&b));
  EXPECT_TRUE(m.enable_again(&c));  // no entry
  m.record({{&b, true}});
  EXPECT_TRUE(m.enable_again(&b));
  EXPECT_EQ(m.size(), 1u);
}

}  // namespace
