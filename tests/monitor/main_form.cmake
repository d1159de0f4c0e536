# The main form's token work on the GUI bed, against the scripted fake
# library: registration codes, arrival and removal, expiry warnings, closing,
# the copy-data commands, session changes and the dialogs closed on removal.

if(NOT WIN32)
  return()
endif()

foreach(group register arrival expiry exit_in_expiry closing copydata manager_reply update_box session dialogs
    settings_reload)
  solvanta_add_gui_test(monitor_main_form_${group} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/main_form_gui_test.py
    ARGS ${group} --monitor $<TARGET_FILE:SolvantexMon> --dist ${SOLVANTEX_MON_DIST}
         --fake $<TARGET_FILE:fake_solvanta_mgr> --probe $<TARGET_FILE:monitor_components_probe>
    TIMEOUT 600)
endforeach()

# The real road: the writer puts a key pair with its certificate and a CA
# certificate onto the virtual token through the real library; the monitor
# registers them, follows the card's removal and return, and removes them at
# its end; the store helper of the library's tests reads MY from outside.
# road_pullout pulls the card at each APDU of a registration pass;
# road_service stops and starts pcscd under the running monitor.
add_executable(monitor_road_writer ${CMAKE_CURRENT_LIST_DIR}/road_writer.cpp)
solvanta_strict(monitor_road_writer)
target_link_libraries(monitor_road_writer PRIVATE SolvantaMgr solvanta::pkcs11_h vtoken_control crypt32
  GTest::gtest_main)
target_include_directories(monitor_road_writer PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tests/mgr
  ${CMAKE_SOURCE_DIR}/pkcs11/include ${CMAKE_SOURCE_DIR}/mgr/include)
loads_the_module(monitor_road_writer)
set(mon_road_dir ${CMAKE_CURRENT_BINARY_DIR}/road)
foreach(group road road_pullout road_service)
solvanta_add_gui_test(monitor_main_form_${group} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/main_form_gui_test.py
  ARGS ${group} --monitor $<TARGET_FILE:SolvantexMon> --dist ${SOLVANTEX_MON_DIST}
       --fake $<TARGET_FILE:fake_solvanta_mgr> --probe $<TARGET_FILE:monitor_components_probe>
       --real-mgr $<TARGET_FILE:SolvantaMgr> --module $<TARGET_FILE:solvantex_pkcs11>
       --winscard $<TARGET_FILE:solvanta_winscard> --writer $<TARGET_FILE:monitor_road_writer>
       --helper $<TARGET_FILE:mgr_store_helper> --stores $<TARGET_FILE:standin_register>
       --fixtures-script ${CMAKE_SOURCE_DIR}/tests/mgr/store_fixtures.py --workdir ${mon_road_dir}
       --card-env ${SOLVANTA_CARD_ENV_DIR}
  CARD TIMEOUT 600)
endforeach()
