# Certificate store, certificate information, viewer and requests. The
# Windows tests run in a prefix of their own (store_prefix.sh: empty
# stores, the stand-in provider registered), with certificates made by
# store_fixtures.py and TZ=Asia/Tokyo.

# The serial text and the request information (every tree; natively under
# the sanitizers).
solvanta_add_gtest(mgr_store_portable_test
  SOURCES store_portable_test.cpp
  LIBS solvanta_mgr_portable)

if(WIN32)
  add_subdirectory(standin_csp)

  set(store_dir ${CMAKE_CURRENT_BINARY_DIR})
  set(store_prefix ${store_dir}/store-prefix)
  set(store_fixtures ${store_dir}/store-fixtures)
  set(store_out ${store_dir}/store-out)
  set(store_env
    SOLVANTA_WINEPREFIX=${store_prefix}
    SOLVANTA_STORE_FIXTURES=${store_fixtures}
    SOLVANTA_STORE_OUT=${store_out}
    TZ=Asia/Tokyo)

  add_executable(mgr_store_helper store_helper.cpp)
  solvanta_strict(mgr_store_helper)
  target_link_libraries(mgr_store_helper PRIVATE crypt32 gdi32 user32)

  solvanta_add_gtest(mgr_store_test SOURCES store_test.cpp LIBS SolvantaMgr crypt32)
  target_include_directories(mgr_store_test PRIVATE ${CMAKE_SOURCE_DIR}/mgr/include)
  add_dependencies(mgr_store_test mgr_store_helper standin_csp standin_register)
  add_custom_command(TARGET mgr_store_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:SolvantaMgr> ${store_dir}/)
  set_tests_properties(mgr_store_test PROPERTIES
    FIXTURES_REQUIRED mgr_store_prefix FIXTURES_SETUP mgr_store_request RESOURCE_LOCK mgr_store_prefix
    ENVIRONMENT "${store_env}")

  # The dates in another time zone (the day before, not the day after).
  add_test(NAME mgr_store_dates_los_angeles
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:mgr_store_test>
            --gtest_filter=store.CertificateInformation)
  set(store_env_la ${store_env})
  list(REMOVE_ITEM store_env_la TZ=Asia/Tokyo)
  list(APPEND store_env_la TZ=America/Los_Angeles)
  set_tests_properties(mgr_store_dates_los_angeles PROPERTIES TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT}
    FIXTURES_REQUIRED mgr_store_prefix RESOURCE_LOCK mgr_store_prefix ENVIRONMENT "${store_env_la}")

  add_test(NAME mgr_store_prefix
    COMMAND bash -c "bash '${CMAKE_CURRENT_SOURCE_DIR}/store_prefix.sh' '${store_prefix}' '${store_dir}' && \
'${SOLVANTA_PYTHON}' '${CMAKE_CURRENT_SOURCE_DIR}/store_fixtures.py' '${store_fixtures}' --bench 256 && \
rm -rf '${store_out}'")
  set_tests_properties(mgr_store_prefix PROPERTIES FIXTURES_SETUP mgr_store_prefix
    RESOURCE_LOCK mgr_store_prefix TIMEOUT 1200)

  # The request the tests made, checked by openssl.
  add_test(NAME mgr_store_csr_check
    COMMAND ${SOLVANTA_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/store_csr_check.py
            ${store_out}/request.b64 ${store_fixtures}/csr_key.pub.pem)
  set_tests_properties(mgr_store_csr_check PROPERTIES FIXTURES_REQUIRED "mgr_store_prefix;mgr_store_request")

  # The viewer under an X server of its own.
  add_executable(mgr_store_viewer_test store_viewer_test.cpp)
  solvanta_strict(mgr_store_viewer_test)
  target_include_directories(mgr_store_viewer_test PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/mgr/include)
  target_link_libraries(mgr_store_viewer_test PRIVATE SolvantaMgr GTest::gtest_main)
  add_dependencies(mgr_store_viewer_test mgr_store_helper mgr_store_test)
  add_test(NAME mgr_store_viewer
    COMMAND xvfb-run -a -s "-screen 0 1024x768x24"
            bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:mgr_store_viewer_test>)
  set_tests_properties(mgr_store_viewer PROPERTIES FIXTURES_REQUIRED mgr_store_prefix
    RESOURCE_LOCK mgr_store_prefix ENVIRONMENT "${store_env}" TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT})
endif()

# The store benchmark (a program, never run by ctest).
if(WIN32)
  add_executable(mgr_store_bench bench/store_bench.cpp)
  solvanta_strict(mgr_store_bench)
  target_include_directories(mgr_store_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR}
    ${CMAKE_SOURCE_DIR}/mgr/include)
  target_link_libraries(mgr_store_bench PRIVATE SolvantaMgr crypt32)
  add_dependencies(mgr_store_bench mgr_store_test)
endif()

# The tray monitor's road on the virtual token: PKCS #12 onto the token,
# read back, registered in MY and removed, in the store tests' prefix with
# the PC/SC bridge's winscard.dll put into it.
if(WIN32)
  add_executable(mgr_store_token_test store_token_test.cpp)
  solvanta_strict(mgr_store_token_test)
  target_link_libraries(mgr_store_token_test PRIVATE SolvantaMgr solvanta::pkcs11_h vtoken_control crypt32
    GTest::gtest_main)
  target_include_directories(mgr_store_token_test PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR}
    ${CMAKE_SOURCE_DIR}/pkcs11/include ${CMAKE_SOURCE_DIR}/mgr/include)
  loads_the_module(mgr_store_token_test)
  add_dependencies(mgr_store_token_test mgr_store_test)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(store_winscard_dir ${store_prefix}/drive_c/windows/syswow64)
  else()
    set(store_winscard_dir ${store_prefix}/drive_c/windows/system32)
  endif()
  add_test(NAME mgr_store_token
    COMMAND bash -c "cp \"$1\" '${store_winscard_dir}/winscard.dll' && exec bash '${CMAKE_SOURCE_DIR}/scripts/wine-run.sh' \"$2\""
            store_token $<TARGET_FILE:solvanta_winscard> $<TARGET_FILE:mgr_store_token_test>)
  # The module runs its slot-monitor thread beside the test's: where 32-bit
  # programs run under user-mode emulation this is reported skipped.
  set_tests_properties(mgr_store_token PROPERTIES TIMEOUT ${SOLVANTA_WINE_TEST_TIMEOUT}
    FIXTURES_REQUIRED "card_env;pcsc_bridge;mgr_store_prefix" RESOURCE_LOCK "card;mgr_store_prefix"
    ENVIRONMENT "${store_env};SOLVANTA_MGR_FIXTURES=${store_fixtures};SOLVANTA_WINE_THREADED=1"
    SKIP_RETURN_CODE 77)
endif()
