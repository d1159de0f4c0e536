# The program itself (Windows only): linked by name against SolvantaMgr.dll,
# with its shipped configuration copied beside it (config\, Languages\).
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

# The window parts that tests build into their own programs.
add_library(solvantex_mon_win STATIC
  ${CMAKE_CURRENT_LIST_DIR}/src/test_switch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/project_base.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/tray_icon.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/usb_watcher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/mgr_wrappers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/ui_helpers.cpp)
solvanta_strict(solvantex_mon_win)
target_include_directories(solvantex_mon_win PUBLIC ${CMAKE_CURRENT_LIST_DIR}/src ${CMAKE_SOURCE_DIR}/mgr/include)
target_link_libraries(solvantex_mon_win PUBLIC solvantex_mon_logic SolvantaMgr user32 gdi32 shell32 advapi32)

add_executable(SolvantexMon WIN32
  ${CMAKE_CURRENT_LIST_DIR}/src/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/main_form.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/main_form_certs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/main_form_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/pin_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/pin_flows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/settings_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/res/monitor.rc
  ${CMAKE_CURRENT_LIST_DIR}/res/dialogs.rc)
solvanta_strict(SolvantexMon)
target_link_libraries(SolvantexMon PRIVATE solvantex_mon_win solvanta_controls version)
target_include_directories(SolvantexMon PRIVATE ${CMAKE_CURRENT_LIST_DIR}/res)
target_link_options(SolvantexMon PRIVATE -municode)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/res/monitor.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/res/mainicon.ico;${CMAKE_CURRENT_LIST_DIR}/res/SolvantexMon.manifest")

# The shipped files, and the library the program loads, beside it.
set(SOLVANTEX_MON_DIST ${CMAKE_CURRENT_LIST_DIR}/dist CACHE INTERNAL "")
add_custom_command(TARGET SolvantexMon POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_CURRENT_LIST_DIR}/dist $<TARGET_FILE_DIR:SolvantexMon>
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:SolvantaMgr> $<TARGET_FILE_DIR:SolvantexMon>
  VERBATIM)

# What a user's machine gets: the program with its shipped config\ and
# Languages\ beside it (SolvantaMgr.dll and the module are installed by
# their own directories).
install(TARGETS SolvantexMon RUNTIME DESTINATION .)
install(DIRECTORY ${SOLVANTEX_MON_DIST}/ DESTINATION .)
