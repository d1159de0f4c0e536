# libFuzzer targets over the manager library's portable parsing (natively,
# on the plain build; see cmake/Fuzzing.cmake). A target is fuzz/<name>.cpp
# with its seeds in fuzz/seeds/<name>/, built with every file of mgr/portable:
# adding one is its source, its seeds and one line below
# (`..._fuzzer(<name> [RUNS <n>] [MAX_LEN <n>] [EXTRA_SOURCES <file>...])`).
set(MGR_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)
function(mgr_portable_fuzzer name)
  if(WIN32)
    return()
  endif()
  # EXTRA_SOURCES: window-less files of the program's other folders that the
  # target also reaches (their folders are searched for headers).
  cmake_parse_arguments(X "" "" "EXTRA_SOURCES" ${ARGN})
  set(extra_includes)
  foreach(src ${X_EXTRA_SOURCES})
    get_filename_component(dir ${src} DIRECTORY)
    list(APPEND extra_includes ${dir})
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/mgr/portable/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/mgr/portable/*.h)
  # mbed TLS's headers: named only when outside the compiler's own search
  # path (an -isystem /usr/include breaks the C++ headers' include_next).
  set(mbedtls_include)
  if(NOT MBEDTLS_INCLUDE STREQUAL "/usr/include")
    set(mbedtls_include SYSTEM_INCLUDES ${MBEDTLS_INCLUDE})
  endif()
  solvanta_add_fuzzer(${name}
    SOURCES ${MGR_FUZZ_DIR}/${name}.cpp ${sources} ${X_EXTRA_SOURCES}
    INCLUDES ${CMAKE_SOURCE_DIR}/mgr/portable ${extra_includes}
    ${mbedtls_include}
    LIBS ${MBEDCRYPTO_LIB}
    DEPENDS ${headers}
    SEEDS ${MGR_FUZZ_DIR}/seeds/${name}
    ${X_UNPARSED_ARGUMENTS})
endfunction()

# PEM certificates to DER, the serial's DER integer and text, the entry list
# of a parsed P7B or PKCS #12 file.
mgr_portable_fuzzer(mgr_cert_files_fuzz RUNS 200000)
# The private-key blob reader and its check and repair (big-number work:
# fewer runs, shorter inputs).
mgr_portable_fuzzer(mgr_key_blob_fuzz RUNS 100000 MAX_LEN 1200)
