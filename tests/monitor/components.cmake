# The tray icon component on the GUI bed: the components probe's icon with
# every event bound, driven by injected shell callbacks, cursor moves and a
# minimise and restore of its form.
if(NOT WIN32)
  return()
endif()
solvanta_add_gui_test(monitor_gui_components SCRIPT ${CMAKE_CURRENT_LIST_DIR}/components_gui_test.py
  ARGS --probe $<TARGET_FILE:monitor_components_probe> TIMEOUT 300)
