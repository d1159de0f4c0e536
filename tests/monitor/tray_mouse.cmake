# The tray icon's mouse, click and cursor-exit steps without a window:
# natively (and under the sanitizers) and, in the Windows trees, under Wine.
solvanta_add_gtest(monitor_tray_mouse_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_mouse_test.cpp
  LIBS solvantex_mon_logic)
