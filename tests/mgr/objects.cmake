# Containers, certificates, files and data objects, and the PKCS #12, P7B
# and X.509 imports.

# The parsing that needs no platform service (every tree; natively under
# the sanitizers).
solvanta_add_gtest(mgr_portable_objects_test
  SOURCES objects/portable_objects_test.cpp
  LIBS solvanta_mgr_portable)

if(WIN32)
  # The exports on the virtual token with the tree's module DLL, under
  # Wine. The program is run by its driver (objects_e2e_test.py), which
  # makes the fixtures with openssl and reads the token natively after the
  # cases that leave their objects on it; it is not a test of its own.
  add_executable(mgr_objects_test
    objects/token_objects_test.cpp objects/csp_import_test.cpp)
  solvanta_strict(mgr_objects_test)
  target_link_libraries(mgr_objects_test PRIVATE SolvantaMgr solvanta::pkcs11_h vtoken_control crypt32 GTest::gtest_main)
  target_include_directories(mgr_objects_test PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/pkcs11/include
    ${CMAKE_SOURCE_DIR}/mgr/include)
  loads_the_module(mgr_objects_test)
  add_custom_command(TARGET mgr_objects_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:SolvantaMgr> $<TARGET_FILE_DIR:mgr_objects_test>
    VERBATIM)

  # The native module that reads the same token afterwards: a native build
  # of this tree's module of its own under this build folder.
  include(ExternalProject)
  set(mgr_native_dir ${CMAKE_CURRENT_BINARY_DIR}/native-module)
  ExternalProject_Add(mgr_native_module
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${mgr_native_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo
    CMAKE_GENERATOR Ninja
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${mgr_native_dir} --target solvantex_pkcs11
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${mgr_native_dir}/pkcs11/solvantex_pkcs11.so)
  add_dependencies(mgr_objects_test mgr_native_module)
  set(SOLVANTA_NATIVE_MODULE ${mgr_native_dir}/pkcs11/solvantex_pkcs11.so
      CACHE INTERNAL "the native module of this Windows tree (target mgr_native_module)")

  add_test(NAME mgr_objects_e2e
    COMMAND ${SOLVANTA_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/objects/objects_e2e_test.py
            --program $<TARGET_FILE:mgr_objects_test>
            --native-module ${mgr_native_dir}/pkcs11/solvantex_pkcs11.so
            --wine-run ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh
            ObjectsOnTheToken)
  # Where 32-bit programs run emulated, the i686 tree reports it skipped
  # (the module's slot monitor runs a thread beside the test's).
  set_tests_properties(mgr_objects_e2e PROPERTIES TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT}
    FIXTURES_REQUIRED "card_env;pcsc_bridge" RESOURCE_LOCK card SKIP_RETURN_CODE 77)

  # The provider route, against the stand-in provider in the store tests'
  # prefix (no token).
  add_test(NAME mgr_objects_csp
    COMMAND ${SOLVANTA_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/objects/objects_e2e_test.py
            --program $<TARGET_FILE:mgr_objects_test>
            --native-module ${mgr_native_dir}/pkcs11/solvantex_pkcs11.so
            --wine-run ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh
            ProviderRoute)
  set_tests_properties(mgr_objects_csp PROPERTIES TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT}
    FIXTURES_REQUIRED mgr_store_prefix RESOURCE_LOCK mgr_store_prefix
    ENVIRONMENT "SOLVANTA_WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/store-prefix")
endif()

# A PKCS #12 import cut off at each of its APDUs: the container wholly
# there or wholly absent afterwards. The fixtures (road.p12 and its end
# entity's certificate) are made at build time with python3-cryptography.
if(WIN32)
  set(pullout_fixtures ${CMAKE_CURRENT_BINARY_DIR}/pullout-fixtures)
  add_custom_command(OUTPUT ${pullout_fixtures}/road.p12 ${pullout_fixtures}/ee.der
    COMMAND ${SOLVANTA_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/store_fixtures.py ${pullout_fixtures}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/store_fixtures.py
    COMMENT "PKCS #12 fixtures of the import pull-out test"
    VERBATIM)
  add_custom_target(mgr_import_pullout_fixtures DEPENDS ${pullout_fixtures}/road.p12)
  # The module's slot monitor runs a thread beside the test's: where 32-bit
  # programs run emulated it is reported skipped.
  solvanta_add_gtest(mgr_import_pullout_test
    SOURCES objects/import_pullout_test.cpp
    LIBS SolvantaMgr solvanta::pkcs11_h vtoken_control crypt32
    CARD THREADED "*")
  target_include_directories(mgr_import_pullout_test PRIVATE ${CMAKE_SOURCE_DIR}/pkcs11/include
    ${CMAKE_SOURCE_DIR}/mgr/include)
  loads_the_module(mgr_import_pullout_test)
  add_dependencies(mgr_import_pullout_test mgr_import_pullout_fixtures)
  add_custom_command(TARGET mgr_import_pullout_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:SolvantaMgr> $<TARGET_FILE_DIR:mgr_import_pullout_test>
    VERBATIM)
  if(TEST mgr_import_pullout_test)
    set(pullout_test mgr_import_pullout_test)
  else()
    set(pullout_test mgr_import_pullout_test.threaded)
  endif()
  set_property(TEST ${pullout_test} APPEND PROPERTY ENVIRONMENT SOLVANTA_MGR_FIXTURES=${pullout_fixtures})
endif()
