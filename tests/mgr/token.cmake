# Tests of the manager library's binding, token, session and PIN exports,
# the unblock code and the reader list; the fake PKCS #11 module they load;
# the export table; the library's benchmark.

# The unblock code on every platform (natively under the sanitizers too).
solvanta_add_gtest(mgr_unblock_code_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/token/unblock_code_test.cpp
  LIBS solvanta_mgr_portable)
if(NOT WIN32)
  target_compile_definitions(mgr_unblock_code_test PRIVATE SOLVANTA_OPENSSL="openssl")
endif()

if(WIN32)
  # The fake module, with both getters and without the extension's.
  foreach(fake fake_pkcs11 fake_pkcs11_noext)
    add_library(${fake} SHARED ${CMAKE_CURRENT_LIST_DIR}/fake_module/fake_module.cpp
                               ${CMAKE_CURRENT_LIST_DIR}/fake_module/${fake}.def)
    solvanta_strict(${fake})
    target_link_libraries(${fake} PRIVATE solvanta::pkcs11_h)
    target_include_directories(${fake} PRIVATE ${CMAKE_SOURCE_DIR}/pkcs11/include)
    set_target_properties(${fake} PROPERTIES PREFIX "")
  endforeach()

  # Puts the DLLs a test loads beside it.
  function(mgr_test_beside target)
    foreach(dll ${ARGN})
      add_dependencies(${target} ${dll})
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${dll}> $<TARGET_FILE_DIR:${target}>
        VERBATIM)
    endforeach()
  endfunction()

  # The binding table and the token exports' rows against the fake module.
  solvanta_add_gtest(mgr_binding_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/token/binding_test.cpp
    LIBS SolvantaMgr solvanta::pkcs11_h)
  target_include_directories(mgr_binding_test PRIVATE ${CMAKE_SOURCE_DIR}/mgr/include ${CMAKE_SOURCE_DIR}/pkcs11/include)
  mgr_test_beside(mgr_binding_test SolvantaMgr fake_pkcs11 fake_pkcs11_noext)
endif()

if(WIN32)
  # The real road: the library over the tree's module on the virtual token,
  # with the second token for the two-token case. The module starts its
  # slot-monitor thread, so the program counts as threaded.
  solvanta_add_gtest(mgr_token_road_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/token/token_road_test.cpp
    LIBS SolvantaMgr solvanta::pkcs11_h vtoken_control
    CARD FIXTURE second_token
    THREADED *)
  target_include_directories(mgr_token_road_test PRIVATE ${CMAKE_SOURCE_DIR}/mgr/include ${CMAKE_SOURCE_DIR}/pkcs11/include)
  mgr_test_beside(mgr_token_road_test SolvantaMgr solvantex_pkcs11)
endif()

if(WIN32)
  # Header, both .def files, exports.txt and the built DLL in step.
  math(EXPR mgr_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  add_test(NAME mgr_export_table
    COMMAND ${SOLVANTA_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/token/export_table_test.py
            ${CMAKE_SOURCE_DIR}/mgr/include/SolvantaMgr.h ${CMAKE_SOURCE_DIR}/mgr/SolvantaMgr.def
            ${CMAKE_SOURCE_DIR}/mgr/SolvantaMgr_i686.def ${SOLVANTA_MGR_EXPORTS}
            $<TARGET_FILE:SolvantaMgr> $<TARGET_LINKER_FILE:SolvantaMgr> ${CMAKE_OBJDUMP} ${CMAKE_NM} ${mgr_bits})
  set_tests_properties(mgr_export_table PROPERTIES TIMEOUT 60)
endif()

if(WIN32)
  # Where the library reads the fields it calls, in the module DLL the tree
  # builds (no card, no thread: it runs in the emulated i686 tree too).
  solvanta_add_gtest(mgr_list_offsets_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/token/list_offsets_test.cpp
    LIBS solvanta::pkcs11_h)
  target_include_directories(mgr_list_offsets_test PRIVATE ${CMAKE_SOURCE_DIR}/mgr/src ${CMAKE_SOURCE_DIR}/pkcs11/include)
  mgr_test_beside(mgr_list_offsets_test solvantex_pkcs11)
endif()

if(WIN32)
  # The library's cost against the same module calls made directly; built,
  # never run by ctest (README: "The manager library's benchmark").
  add_executable(mgr_bench ${CMAKE_CURRENT_LIST_DIR}/bench/mgr_bench.cpp)
  solvanta_strict(mgr_bench)
  target_link_libraries(mgr_bench PRIVATE SolvantaMgr solvanta::pkcs11_h vtoken_control)
  target_include_directories(mgr_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/mgr/include
                                               ${CMAKE_SOURCE_DIR}/pkcs11/include)
  set_target_properties(mgr_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/bench)
  mgr_test_beside(mgr_bench SolvantaMgr solvantex_pkcs11)
endif()

if(WIN32)
  # helper_list_readers when the service goes away: once under a listing
  # (a bridge of the test's own) and with pcscd stopped.
  add_executable(mgr_list_readers ${CMAKE_CURRENT_LIST_DIR}/token/list_readers_main.cpp)
  solvanta_strict(mgr_list_readers)
  target_link_libraries(mgr_list_readers PRIVATE SolvantaMgr)
  target_include_directories(mgr_list_readers PRIVATE ${CMAKE_SOURCE_DIR}/mgr/include)
  mgr_test_beside(mgr_list_readers SolvantaMgr)
  add_test(NAME mgr_list_readers_e2e
    COMMAND ${SOLVANTA_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/token/list_readers_e2e_test.py
            $<TARGET_FILE:mgr_list_readers> ${SOLVANTA_PCSC_BRIDGE} ${SOLVANTA_CARD_ENV_DIR})
  set_tests_properties(mgr_list_readers_e2e PROPERTIES TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT}
    FIXTURES_REQUIRED "card_env;pcsc_bridge" RESOURCE_LOCK card)
endif()
