# Installed dependencies, as imported targets:
#   solvanta::pcsc        PC/SC (pcsc-lite natively, winscard on Windows)
#   solvanta::mbedcrypto  mbed TLS 2.28 crypto
#   solvanta::mbedx509    mbed TLS 2.28 X.509 parsing (with mbedcrypto)
#   solvanta::pkcs11_h    p11-kit's pkcs11.h
#   solvanta::json        nlohmann json
#   GTest::gtest, GTest::gtest_main
# Windows builds take mbed TLS and GoogleTest from the mingw builds that
# scripts/setup.sh makes under .deps/, and single headers from a folder of
# their own (never the host's /usr/include).

if(WIN32)
  set(SOLVANTA_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/.deps/mingw-${CMAKE_SYSTEM_PROCESSOR}"
      CACHE PATH "mingw builds of mbed TLS and GoogleTest")
  set(SOLVANTA_CROSS_INCLUDE "${CMAKE_SOURCE_DIR}/.deps/cross-include"
      CACHE PATH "single headers for the mingw builds")
  if(NOT EXISTS "${SOLVANTA_DEPS_PREFIX}/lib/libmbedcrypto.a")
    message(FATAL_ERROR "no mingw mbed TLS in ${SOLVANTA_DEPS_PREFIX}: run scripts/setup.sh")
  endif()

  add_library(solvanta::pcsc INTERFACE IMPORTED)
  target_link_libraries(solvanta::pcsc INTERFACE winscard)

  add_library(solvanta::mbedcrypto STATIC IMPORTED)
  set_target_properties(solvanta::mbedcrypto PROPERTIES
    IMPORTED_LOCATION "${SOLVANTA_DEPS_PREFIX}/lib/libmbedcrypto.a"
    INTERFACE_INCLUDE_DIRECTORIES "${SOLVANTA_DEPS_PREFIX}/include"
    INTERFACE_LINK_LIBRARIES bcrypt)
  add_library(solvanta::mbedx509 STATIC IMPORTED)
  set_target_properties(solvanta::mbedx509 PROPERTIES
    IMPORTED_LOCATION "${SOLVANTA_DEPS_PREFIX}/lib/libmbedx509.a"
    INTERFACE_LINK_LIBRARIES solvanta::mbedcrypto)

  add_library(solvanta::pkcs11_h INTERFACE IMPORTED)
  set_target_properties(solvanta::pkcs11_h PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${SOLVANTA_CROSS_INCLUDE}")
  add_library(solvanta::json INTERFACE IMPORTED)
  set_target_properties(solvanta::json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${SOLVANTA_CROSS_INCLUDE}")

  foreach(lib gtest gtest_main)
    add_library(GTest::${lib} STATIC IMPORTED)
    set_target_properties(GTest::${lib} PROPERTIES
      IMPORTED_LOCATION "${SOLVANTA_DEPS_PREFIX}/lib/lib${lib}.a"
      INTERFACE_INCLUDE_DIRECTORIES "${SOLVANTA_DEPS_PREFIX}/include")
  endforeach()
  set_property(TARGET GTest::gtest_main APPEND PROPERTY INTERFACE_LINK_LIBRARIES GTest::gtest)

  # Cross-built tests run under Wine in the project's own prefix.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(PCSCLITE REQUIRED IMPORTED_TARGET libpcsclite)
  add_library(solvanta::pcsc INTERFACE IMPORTED)
  target_link_libraries(solvanta::pcsc INTERFACE PkgConfig::PCSCLITE)

  find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
  find_path(MBEDTLS_INCLUDE mbedtls/version.h REQUIRED)
  add_library(solvanta::mbedcrypto UNKNOWN IMPORTED)
  set_target_properties(solvanta::mbedcrypto PROPERTIES
    IMPORTED_LOCATION "${MBEDCRYPTO_LIB}"
    INTERFACE_INCLUDE_DIRECTORIES "${MBEDTLS_INCLUDE}")
  find_library(MBEDX509_LIB mbedx509 REQUIRED)
  add_library(solvanta::mbedx509 UNKNOWN IMPORTED)
  set_target_properties(solvanta::mbedx509 PROPERTIES
    IMPORTED_LOCATION "${MBEDX509_LIB}"
    INTERFACE_LINK_LIBRARIES solvanta::mbedcrypto)

  find_path(PKCS11_INCLUDE p11-kit/pkcs11.h PATHS /usr/include/p11-kit-1 REQUIRED)
  add_library(solvanta::pkcs11_h INTERFACE IMPORTED)
  set_target_properties(solvanta::pkcs11_h PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${PKCS11_INCLUDE}")

  find_package(nlohmann_json 3 REQUIRED)
  add_library(solvanta::json INTERFACE IMPORTED)
  target_link_libraries(solvanta::json INTERFACE nlohmann_json::nlohmann_json)

  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
  find_package(benchmark QUIET)
endif()
