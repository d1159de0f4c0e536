# The monitor's window-less logic: natively (and under the sanitizers) and,
# in the Windows trees, under Wine.
solvanta_add_gtest(monitor_logic_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/logic_test.cpp
  LIBS solvantex_mon_logic)

# The PIN policy and the PIN dialog's text rules, the same table natively and
# under Wine.
solvanta_add_gtest(monitor_pin_policy_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pin_policy_test.cpp
  LIBS solvantex_mon_logic)
