# libFuzzer targets over the monitor's window-less logic (natively, on the
# plain build; see cmake/Fuzzing.cmake). A target is fuzz/<name>.cpp with
# its seeds in fuzz/seeds/<name>/, built with every file of monitor/logic:
# adding one is its source, its seeds and one line below.
set(MON_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)
function(mon_logic_fuzzer name)
  if(WIN32)
    return()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/monitor/logic/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/monitor/logic/*.h
       ${CMAKE_SOURCE_DIR}/monitor/logic/*.inc)
  solvanta_add_fuzzer(${name}
    SOURCES ${MON_FUZZ_DIR}/${name}.cpp ${sources}
    INCLUDES ${CMAKE_SOURCE_DIR}/monitor/logic
    DEPENDS ${headers}
    SEEDS ${MON_FUZZ_DIR}/seeds/${name}
    ${ARGN})
endfunction()

# The language file's and MgrConfig.ini's values, the language list and the
# start-up language choice, decimal integers.
mon_logic_fuzzer(mon_config_values_fuzz RUNS 30000)
# The manager library's container-name list and the product id of a USB
# device path.
mon_logic_fuzzer(mon_token_lists_fuzz RUNS 200000 MAX_LEN 9000)
# UTF-8 and UTF-16 texts and their cuts.
mon_logic_fuzzer(mon_text_fuzz RUNS 200000)
