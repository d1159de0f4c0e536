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

# The same records against the real library on the virtual token (the main
# form's road token, written by monitor_road_writer): the user's stores hold
# what the token holds after each.
set(mon_hostile_card_dir ${CMAKE_CURRENT_BINARY_DIR}/hostile_card)
solvanta_add_gui_test(monitor_hostile_card SCRIPT ${CMAKE_CURRENT_LIST_DIR}/hostile_gui_test.py
  ARGS card --monitor $<TARGET_FILE:SolvantexMon> --dist ${SOLVANTEX_MON_DIST}
       --fake $<TARGET_FILE:fake_solvanta_mgr> --probe $<TARGET_FILE:monitor_components_probe>
       --real-mgr $<TARGET_FILE:SolvantaMgr> --module $<TARGET_FILE:solvantex_pkcs11>
       --winscard $<TARGET_FILE:solvanta_winscard> --writer $<TARGET_FILE:monitor_road_writer>
       --helper $<TARGET_FILE:mgr_store_helper> --stores $<TARGET_FILE:standin_register>
       --fixtures-script ${CMAKE_SOURCE_DIR}/tests/mgr/store_fixtures.py --workdir ${mon_hostile_card_dir}
  CARD TIMEOUT 600)
