# Test registration.
#
#   solvanta_add_gtest(<name> SOURCES <src>... [LIBS <lib>...] [CARD [FIXTURE <f>]])
#
# Builds a GoogleTest program. Natively every test case becomes a CTest test;
# a Windows build runs the whole program once under Wine (the emulator).
# CARD marks tests that talk to the virtual token: they need the card
# environment fixture (and, in the Windows trees, the PC/SC bridge fixture)
# and never run in parallel with each other. FIXTURE names a card fixture
# that the tests need in place of card_env (one that itself requires
# card_env, such as second_token).

include(GoogleTest)

set(SOLVANTA_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with python3-cryptography")
set(SOLVANTA_CARD_ENV_DIR "${CMAKE_BINARY_DIR}/card-env")
set(SOLVANTA_BRIDGE_ENV_DIR "${CMAKE_BINARY_DIR}/bridge-env")

function(solvanta_add_gtest name)
  cmake_parse_arguments(T "CARD" "FIXTURE" "SOURCES;LIBS" ${ARGN})
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

  set(props)
  if(T_CARD)
    list(APPEND props FIXTURES_REQUIRED ${T_FIXTURE} RESOURCE_LOCK card)
    if(SOLVANTA_TSAN)
      list(APPEND props ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan_pcsclite.supp")
    endif()
  endif()
  if(WIN32)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ${props} TIMEOUT 600)
    if(T_CARD)
      set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURE};pcsc_bridge")
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
      PROPERTIES ${props} TIMEOUT 300)
  endif()
endfunction()
