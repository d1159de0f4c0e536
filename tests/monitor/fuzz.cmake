# libFuzzer targets over the monitor's window-less logic (natively, on the
# plain build; see cmake/Fuzzing.cmake). A target is fuzz/<name>.cpp with
# its seeds in fuzz/seeds/<name>/, built with every file of monitor/logic:
# adding one is its source, its seeds and one line below
# (`..._fuzzer(<name> [RUNS <n>] [MAX_LEN <n>] [EXTRA_SOURCES <file>...])`).
set(MON_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)
function(mon_logic_fuzzer name)
  solvanta_add_folder_fuzzer(${name}
    HEADERS ${CMAKE_SOURCE_DIR}/monitor/logic/*.h ${CMAKE_SOURCE_DIR}/monitor/logic/*.inc
    FOLDER ${CMAKE_SOURCE_DIR}/monitor/logic FUZZ_DIR ${MON_FUZZ_DIR} ${ARGN})
endfunction()

# The language file's and MgrConfig.ini's values, the language list and the
# start-up language choice, decimal integers.
mon_logic_fuzzer(mon_config_values_fuzz RUNS 30000)
# The manager library's container-name list and the product id of a USB
# device path.
mon_logic_fuzzer(mon_token_lists_fuzz RUNS 200000 MAX_LEN 9000)
# UTF-8 and UTF-16 texts and their cuts.
mon_logic_fuzzer(mon_text_fuzz RUNS 200000)
# The PIN policy check over the token's PINLimit document and any PIN.
mon_logic_fuzzer(mon_pin_policy_fuzz RUNS 100000 MAX_LEN 1100)
# The copy-data records the manager application sends: their text and the
# command it names.
mon_logic_fuzzer(mon_copydata_fuzz RUNS 200000 MAX_LEN 2048)
