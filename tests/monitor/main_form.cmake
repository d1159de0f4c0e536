# The main form's token work on the GUI bed, against the scripted fake
# library: registration codes, arrival and removal, expiry warnings, closing,
# the copy-data commands, session changes and the dialogs closed on removal.

if(NOT WIN32)
  return()
endif()

foreach(group register arrival expiry closing copydata update_box session dialogs)
  solvanta_add_gui_test(monitor_main_form_${group} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/main_form_gui_test.py
    ARGS ${group} --monitor $<TARGET_FILE:SolvantexMon> --dist ${SOLVANTEX_MON_DIST}
         --fake $<TARGET_FILE:fake_solvanta_mgr> --probe $<TARGET_FILE:monitor_components_probe>
    TIMEOUT 600)
endforeach()
