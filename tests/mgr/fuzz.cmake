# libFuzzer targets over the manager library's portable parsing (natively,
# on the plain build; see cmake/Fuzzing.cmake). A target is fuzz/<name>.cpp
# with its seeds in fuzz/seeds/<name>/, built with every file of mgr/portable:
# adding one is its source, its seeds and one line below.
set(MGR_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)
function(mgr_portable_fuzzer name)
  if(WIN32)
    return()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/mgr/portable/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/mgr/portable/*.h)
  # mbed TLS's headers: named only when outside the compiler's own search
  # path (an -isystem /usr/include breaks the C++ headers' include_next).
  set(mbedtls_include)
  if(NOT MBEDTLS_INCLUDE STREQUAL "/usr/include")
    set(mbedtls_include SYSTEM_INCLUDES ${MBEDTLS_INCLUDE})
  endif()
  solvanta_add_fuzzer(${name}
    SOURCES ${MGR_FUZZ_DIR}/${name}.cpp ${sources}
    INCLUDES ${CMAKE_SOURCE_DIR}/mgr/portable
    ${mbedtls_include}
    LIBS ${MBEDCRYPTO_LIB}
    DEPENDS ${headers}
    SEEDS ${MGR_FUZZ_DIR}/seeds/${name}
    ${ARGN})
endfunction()

# PEM certificates to DER, the serial's DER integer and text, the entry list
# of a parsed P7B or PKCS #12 file.
mgr_portable_fuzzer(mgr_cert_files_fuzz RUNS 200000)
# The private-key blob reader and its check and repair (big-number work:
# fewer runs, shorter inputs).
mgr_portable_fuzzer(mgr_key_blob_fuzz RUNS 100000 MAX_LEN 1200)
