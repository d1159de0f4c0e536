# libFuzzer targets over the monitor's window-less logic (natively, on the
# plain build; see cmake/Fuzzing.cmake). A target is fuzz/<name>.cpp with
# its seeds in fuzz/seeds/<name>/, built with every file of monitor/logic:
# adding one is its source, its seeds and one line below
# (`..._fuzzer(<name> [RUNS <n>] [MAX_LEN <n>] [EXTRA_SOURCES <file>...])`).
set(MON_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)
function(mon_logic_fuzzer name)
  if(WIN32)
    return()
  endif()
  # EXTRA_SOURCES: window-less files of the program's other folders that the
  # target also reaches (their folders are searched for headers).
  cmake_parse_arguments(X "" "" "EXTRA_SOURCES" ${ARGN})
  set(extra_includes)
  foreach(src ${X_EXTRA_SOURCES})
    get_filename_component(dir ${src} DIRECTORY)
    list(APPEND extra_includes ${dir})
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/monitor/logic/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/monitor/logic/*.h
       ${CMAKE_SOURCE_DIR}/monitor/logic/*.inc)
  solvanta_add_fuzzer(${name}
    SOURCES ${MON_FUZZ_DIR}/${name}.cpp ${sources} ${X_EXTRA_SOURCES}
    INCLUDES ${CMAKE_SOURCE_DIR}/monitor/logic ${extra_includes}
    DEPENDS ${headers}
    SEEDS ${MON_FUZZ_DIR}/seeds/${name}
    ${X_UNPARSED_ARGUMENTS})
endfunction()

# The language file's and MgrConfig.ini's values, the language list and the
# start-up language choice, decimal integers.
mon_logic_fuzzer(mon_config_values_fuzz RUNS 30000)
# The manager library's container-name list and the product id of a USB
# device path.
mon_logic_fuzzer(mon_token_lists_fuzz RUNS 200000 MAX_LEN 9000)
# UTF-8 and UTF-16 texts and their cuts.
mon_logic_fuzzer(mon_text_fuzz RUNS 200000)
