# Hostile input against the running monitor on the GUI bed, with the
# scripted fake library holding a known token: malformed copy-data records
# and broken language files.

if(NOT WIN32)
  return()
endif()

foreach(group copydata language)
  solvanta_add_gui_test(monitor_hostile_${group} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/hostile_gui_test.py
    ARGS ${group} --monitor $<TARGET_FILE:SolvantexMon> --dist ${SOLVANTEX_MON_DIST}
         --fake $<TARGET_FILE:fake_solvanta_mgr> --probe $<TARGET_FILE:monitor_components_probe>
    TIMEOUT 600)
endforeach()
