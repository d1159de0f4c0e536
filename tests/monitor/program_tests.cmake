# The program's tests in the Windows trees: the scripted fake manager
# library, the wrappers against it and against the real library, the window
# components, and the program itself on the GUI test bed.

if(NOT WIN32)
  return()
endif()

# The fake SolvantaMgr.dll, in a folder of its own with the programs that
# load it.
set(MON_FAKE_DIR ${CMAKE_CURRENT_BINARY_DIR}/fake_mgr)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(fake_def ${CMAKE_CURRENT_LIST_DIR}/fake_mgr/fake_mgr_i686.def)
else()
  set(fake_def ${CMAKE_CURRENT_LIST_DIR}/fake_mgr/fake_mgr.def)
endif()
add_library(fake_solvanta_mgr SHARED ${CMAKE_CURRENT_LIST_DIR}/fake_mgr/fake_mgr.cpp ${fake_def})
solvanta_strict(fake_solvanta_mgr)
target_include_directories(fake_solvanta_mgr PRIVATE ${CMAKE_SOURCE_DIR}/mgr/include)
target_link_options(fake_solvanta_mgr PRIVATE -Wl,--kill-at)
set_target_properties(fake_solvanta_mgr PROPERTIES PREFIX "" OUTPUT_NAME SolvantaMgr
  RUNTIME_OUTPUT_DIRECTORY ${MON_FAKE_DIR} ARCHIVE_OUTPUT_DIRECTORY ${MON_FAKE_DIR}/lib)

# The wrappers over the fake library (scenario rows the real one cannot give).
solvanta_add_gtest(monitor_wrappers_fake_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/wrappers_fake_test.cpp
  LIBS solvantex_mon_win)
set_target_properties(monitor_wrappers_fake_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MON_FAKE_DIR})
add_dependencies(monitor_wrappers_fake_test fake_solvanta_mgr)

# Window components (timers, tray icon, USB watcher) in a program of their
# own, run on the GUI bed.
add_executable(monitor_components_probe ${CMAKE_CURRENT_LIST_DIR}/components_probe.cpp)
solvanta_strict(monitor_components_probe)
target_link_libraries(monitor_components_probe PRIVATE solvantex_mon_win)
target_link_options(monitor_components_probe PRIVATE -municode -mwindows)
set_target_properties(monitor_components_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MON_FAKE_DIR})
add_dependencies(monitor_components_probe fake_solvanta_mgr)

set(mon_gui_args --monitor $<TARGET_FILE:SolvantexMon> --dist ${SOLVANTEX_MON_DIST}
  --fake $<TARGET_FILE:fake_solvanta_mgr> --probe $<TARGET_FILE:monitor_components_probe>)
foreach(group startup instance language tray usb)
  solvanta_add_gui_test(monitor_gui_${group} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/monitor_gui_test.py
    ARGS ${group} ${mon_gui_args} TIMEOUT 600)
endforeach()
# The main road: the real library, the tree's module and the virtual token
# through the PC/SC bridge.
solvanta_add_gui_test(monitor_gui_card SCRIPT ${CMAKE_CURRENT_LIST_DIR}/monitor_gui_test.py
  ARGS card ${mon_gui_args} --real-mgr $<TARGET_FILE:SolvantaMgr> --module $<TARGET_FILE:solvantex_pkcs11>
       --winscard $<TARGET_FILE:solvanta_winscard>
  CARD TIMEOUT 600)

# The configuration files through the platform's INI reader.
solvanta_add_gtest(monitor_config_files_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_files_test.cpp
  LIBS solvantex_mon_win)
string(REPLACE "/" "\\\\" mon_dist_win "Z:${SOLVANTEX_MON_DIST}")
target_compile_definitions(monitor_config_files_test PRIVATE SOLVANTEX_MON_DIST_WIN="${mon_dist_win}")
set_target_properties(monitor_config_files_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MON_FAKE_DIR})
add_dependencies(monitor_config_files_test fake_solvanta_mgr)

# The wrappers over the real library on the virtual token (the module starts
# its slot-monitor thread: threaded, skipped under the i686 emulator).
add_executable(monitor_wrappers_real_test ${CMAKE_CURRENT_LIST_DIR}/wrappers_real_test.cpp)
solvanta_strict(monitor_wrappers_real_test)
target_link_libraries(monitor_wrappers_real_test PRIVATE solvantex_mon_win solvanta::pkcs11_h vtoken_control
  GTest::gtest_main)
target_include_directories(monitor_wrappers_real_test PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tests/mgr
  ${CMAKE_SOURCE_DIR}/pkcs11/include)
loads_the_module(monitor_wrappers_real_test)
add_custom_command(TARGET monitor_wrappers_real_test POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:SolvantaMgr> $<TARGET_FILE_DIR:monitor_wrappers_real_test>
  VERBATIM)
add_test(NAME monitor_wrappers_real
  COMMAND ${SOLVANTA_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/wrappers_real_test.py
          --program $<TARGET_FILE:monitor_wrappers_real_test>
          --wine-run ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh
          --workdir ${CMAKE_CURRENT_BINARY_DIR}/wrappers_real)
set_tests_properties(monitor_wrappers_real PROPERTIES TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT}
  FIXTURES_REQUIRED "card_env;pcsc_bridge" RESOURCE_LOCK card
  ENVIRONMENT SOLVANTA_WINE_THREADED=1 SKIP_RETURN_CODE 77)

# The PIN and settings dialogs in a program of their own (the main form's
# entry points), against the fake library and, for the PIN change's road,
# the real one on the virtual token.
add_executable(monitor_dialogs_probe
  ${CMAKE_CURRENT_LIST_DIR}/dialogs_probe.cpp
  ${CMAKE_SOURCE_DIR}/monitor/src/main_form.cpp
  ${CMAKE_SOURCE_DIR}/monitor/src/main_form_certs.cpp
  ${CMAKE_SOURCE_DIR}/monitor/src/main_form_messages.cpp
  ${CMAKE_SOURCE_DIR}/monitor/src/pin_dialog.cpp
  ${CMAKE_SOURCE_DIR}/monitor/src/pin_flows.cpp
  ${CMAKE_SOURCE_DIR}/monitor/src/settings_dialog.cpp
  ${CMAKE_SOURCE_DIR}/monitor/res/monitor.rc
  ${CMAKE_SOURCE_DIR}/monitor/res/dialogs.rc)
solvanta_strict(monitor_dialogs_probe)
target_include_directories(monitor_dialogs_probe PRIVATE ${CMAKE_SOURCE_DIR}/monitor/res)
target_link_libraries(monitor_dialogs_probe PRIVATE solvantex_mon_win solvanta_controls solvanta::pkcs11_h version shell32)
target_include_directories(monitor_dialogs_probe PRIVATE ${CMAKE_SOURCE_DIR}/pkcs11/include)
target_link_options(monitor_dialogs_probe PRIVATE -municode -mwindows)
set_target_properties(monitor_dialogs_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MON_FAKE_DIR})
add_dependencies(monitor_dialogs_probe fake_solvanta_mgr)
foreach(group pin settings)
  solvanta_add_gui_test(monitor_gui_dialogs_${group} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/dialogs_gui_test.py
    ARGS ${group} --probe $<TARGET_FILE:monitor_dialogs_probe> --dist ${SOLVANTEX_MON_DIST}
         --fake $<TARGET_FILE:fake_solvanta_mgr> TIMEOUT 600)
endforeach()
# The edits' borders and the dialog keys in both looks (themed and classic).
solvanta_add_gui_test(monitor_gui_dialogs_looks_themed SCRIPT ${CMAKE_CURRENT_LIST_DIR}/dialogs_gui_test.py
  ARGS looks --probe $<TARGET_FILE:monitor_dialogs_probe> --dist ${SOLVANTEX_MON_DIST}
       --fake $<TARGET_FILE:fake_solvanta_mgr> TIMEOUT 300)
solvanta_add_gui_test(monitor_gui_dialogs_looks_classic CLASSIC SCRIPT ${CMAKE_CURRENT_LIST_DIR}/dialogs_gui_test.py
  ARGS looks --probe $<TARGET_FILE:monitor_dialogs_probe> --dist ${SOLVANTEX_MON_DIST}
       --fake $<TARGET_FILE:fake_solvanta_mgr> TIMEOUT 300)
# The overview's road: the default-PIN prompt and the change on the virtual
# token through the real library, the tree's module and the PC/SC bridge,
# then a native pkcs11-tool login with the new PIN.
solvanta_add_gui_test(monitor_gui_dialogs_card SCRIPT ${CMAKE_CURRENT_LIST_DIR}/dialogs_gui_test.py
  ARGS card --probe $<TARGET_FILE:monitor_dialogs_probe> --dist ${SOLVANTEX_MON_DIST}
       --fake $<TARGET_FILE:fake_solvanta_mgr> --real-mgr $<TARGET_FILE:SolvantaMgr>
       --module $<TARGET_FILE:solvantex_pkcs11> --winscard $<TARGET_FILE:solvanta_winscard>
       --native-module ${CMAKE_BINARY_DIR}/tests/mgr/native-module/pkcs11/solvantex_pkcs11.so
  CARD TIMEOUT 600)
add_dependencies(monitor_dialogs_probe mgr_native_module)
