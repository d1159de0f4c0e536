# Test registration.
#
#   solvanta_add_gtest(<name> SOURCES <src>... [LIBS <lib>...] [CARD [FIXTURE <f>]]
#                      [THREADED <case pattern>...])
#
# Builds a GoogleTest program. Natively every test case becomes a CTest test;
# a Windows build runs the whole program once under Wine (the emulator).
# CARD marks tests that talk to the virtual token: they need the card
# environment fixture (and, in the Windows trees, the PC/SC bridge fixture)
# and never run in parallel with each other. FIXTURE names a card fixture
# that the tests need in place of card_env (one that itself requires
# card_env, such as second_token).
#
# THREADED names the cases (GoogleTest filter patterns, "*" for all) that run
# several threads at once (the reader thread of a helper process counts, and
# so does the watcher thread GoogleTest starts on Windows at a SCOPED_TRACE).
# Where this machine's kernel refuses 32-bit programs, the i686 programs run
# under user-mode emulation (qemu-i386), and there 32-bit Wine threads running
# at once crash the emulator. So the i686 tree runs a program with such cases
# twice: <name> without them, and <name>.threaded with only them, which
# scripts/wine-run.sh reports skipped under emulation. Elsewhere (natively,
# the x86_64 tree) nothing changes.

include(GoogleTest)

set(SOLVANTA_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with python3-cryptography")
set(SOLVANTA_CARD_ENV_DIR "${CMAKE_BINARY_DIR}/card-env")
set(SOLVANTA_BRIDGE_ENV_DIR "${CMAKE_BINARY_DIR}/bridge-env")

# How 32-bit Windows programs run on this machine (scripts/wine-run.sh):
# "native", or "emulate" where the kernel refuses them. Under emulation every
# start of an i686 program costs seconds of CPU and the programs run several
# times slower: their time-out is longer there.
if(WIN32 AND CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh --i386-mode
    OUTPUT_VARIABLE SOLVANTA_WINE_I386_MODE OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE mode_result)
  if(NOT mode_result EQUAL 0)
    set(SOLVANTA_WINE_I386_MODE native)
  endif()
  message(STATUS "32-bit Windows programs run here: ${SOLVANTA_WINE_I386_MODE}")
  if(SOLVANTA_WINE_I386_MODE STREQUAL "emulate")
    set(SOLVANTA_WINE_TEST_TIMEOUT 1800)
  else()
    set(SOLVANTA_WINE_TEST_TIMEOUT 600)
  endif()
  set(SOLVANTA_SPLIT_THREADED ON)
else()
  set(SOLVANTA_WINE_TEST_TIMEOUT 600)
  set(SOLVANTA_SPLIT_THREADED OFF)
endif()

# One run of a Windows test program under Wine, with the fixtures it needs
# (card_fixture empty for a test without the card).
function(solvanta_wine_test test program card_fixture)
  add_test(NAME ${test} COMMAND ${program} ${ARGN})
  set_tests_properties(${test} PROPERTIES TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT})
  if(card_fixture)
    set_tests_properties(${test} PROPERTIES
      FIXTURES_REQUIRED "${card_fixture};pcsc_bridge" RESOURCE_LOCK card)
  endif()
endfunction()

function(solvanta_add_gtest name)
  cmake_parse_arguments(T "CARD" "FIXTURE" "SOURCES;LIBS;THREADED" ${ARGN})
  if(NOT T_FIXTURE)
    set(T_FIXTURE card_env)
  endif()
  add_executable(${name} ${T_SOURCES})
  solvanta_strict(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  if(NOT WIN32)
    target_link_libraries(${name} PRIVATE Threads::Threads)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    SOLVANTA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

  if(WIN32)
    set(card_fixture)
    if(T_CARD)
      set(card_fixture ${T_FIXTURE})
    endif()
    if(T_THREADED AND SOLVANTA_SPLIT_THREADED)
      list(JOIN T_THREADED ":" threaded)
      if(NOT threaded STREQUAL "*")
        solvanta_wine_test(${name} ${name} "${card_fixture}" --gtest_filter=-${threaded})
      endif()
      solvanta_wine_test(${name}.threaded ${name} "${card_fixture}" --gtest_filter=${threaded})
      set_tests_properties(${name}.threaded PROPERTIES
        ENVIRONMENT SOLVANTA_WINE_THREADED=1 SKIP_RETURN_CODE 77)
    else()
      solvanta_wine_test(${name} ${name} "${card_fixture}")
    endif()
  else()
    set(props)
    if(T_CARD)
      list(APPEND props FIXTURES_REQUIRED ${T_FIXTURE} RESOURCE_LOCK card)
      if(SOLVANTA_TSAN)
        list(APPEND props ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan_pcsclite.supp")
      endif()
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
      PROPERTIES ${props} TIMEOUT 300)
  endif()
endfunction()
