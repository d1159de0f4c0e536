# libFuzzer targets over the manager library's portable parsing (natively,
# on the plain build; see cmake/Fuzzing.cmake). A target is fuzz/<name>.cpp
# with its seeds in fuzz/seeds/<name>/, built with every file of mgr/portable:
# adding one is its source, its seeds and one line below
# (`..._fuzzer(<name> [RUNS <n>] [MAX_LEN <n>] [EXTRA_SOURCES <file>...])`).
set(MGR_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)
function(mgr_portable_fuzzer name)
  # mbed TLS's headers: named only when outside the compiler's own search
  # path (an -isystem /usr/include breaks the C++ headers' include_next).
  set(mbedtls_include)
  if(NOT MBEDTLS_INCLUDE STREQUAL "/usr/include")
    set(mbedtls_include SYSTEM_INCLUDES ${MBEDTLS_INCLUDE})
  endif()
  solvanta_add_folder_fuzzer(${name} HEADERS ${CMAKE_SOURCE_DIR}/mgr/portable/*.h
    FOLDER ${CMAKE_SOURCE_DIR}/mgr/portable FUZZ_DIR ${MGR_FUZZ_DIR}
    ${mbedtls_include} LIBS ${MBEDCRYPTO_LIB} ${ARGN})
endfunction()

# PEM certificates to DER, the serial's DER integer and text, the entry list
# of a parsed P7B or PKCS #12 file.
mgr_portable_fuzzer(mgr_cert_files_fuzz RUNS 200000)
# The private-key blob reader and its check and repair (big-number work:
# fewer runs, shorter inputs).
mgr_portable_fuzzer(mgr_key_blob_fuzz RUNS 100000 MAX_LEN 1200)
