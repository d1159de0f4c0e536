# libFuzzer targets. The tree builds with g++ and libFuzzer comes with clang,
# so each target is a small build of its own with clang++ (and its
# AddressSanitizer and UndefinedBehaviorSanitizer), made on the plain native
# build when that compiler can link a fuzzer. Its test is a bounded run with
# a fixed seed from a fresh corpus of the committed seeds.
#
#   solvanta_add_fuzzer(<name> SOURCES <src>... [INCLUDES <dir>...]
#                       [SYSTEM_INCLUDES <dir>...] [LIBS <library file>...]
#                       [DEPENDS <file>...] SEEDS <dir> [RUNS <n>] [MAX_LEN <n>])
#
# Builds <name>_fuzzer and the test <name>; nothing on other builds. LIBS are
# native library files (not targets) linked after the sources, as mbed TLS's
# crypto library for code that calls it.

set(SOLVANTA_FUZZ_FLAGS -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

function(solvanta_fuzz_available out)
  if(WIN32 OR SOLVANTA_SANITIZE OR SOLVANTA_TSAN)
    set(${out} FALSE PARENT_SCOPE)
    return()
  endif()
  if(DEFINED CACHE{SOLVANTA_FUZZ_OK})
    set(${out} ${SOLVANTA_FUZZ_OK} PARENT_SCOPE)
    return()
  endif()
  find_program(SOLVANTA_CLANGXX NAMES clang++ clang++-14)
  set(ok FALSE)
  if(SOLVANTA_CLANGXX)
    set(probe_dir ${CMAKE_BINARY_DIR}/fuzz-probe)
    file(MAKE_DIRECTORY ${probe_dir})
    file(WRITE ${probe_dir}/probe.cpp
      "#include <cstddef>\n#include <cstdint>\nextern \"C\" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }\n")
    execute_process(
      COMMAND ${SOLVANTA_CLANGXX} ${SOLVANTA_FUZZ_FLAGS} ${probe_dir}/probe.cpp -o ${probe_dir}/probe
      RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
    if(probe_result EQUAL 0)
      set(ok TRUE)
    endif()
  endif()
  set(SOLVANTA_FUZZ_OK ${ok} CACHE INTERNAL "clang++ can link a libFuzzer target")
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

function(solvanta_add_fuzzer name)
  cmake_parse_arguments(F "" "SEEDS;RUNS;MAX_LEN" "SOURCES;INCLUDES;SYSTEM_INCLUDES;LIBS;DEPENDS" ${ARGN})
  solvanta_fuzz_available(available)
  if(NOT available)
    message(STATUS "clang++ with libFuzzer not found: ${name} is not built")
    return()
  endif()
  if(NOT F_RUNS)
    set(F_RUNS 1000000)
  endif()
  if(NOT F_MAX_LEN)
    set(F_MAX_LEN 4096)
  endif()
  set(include_flags)
  foreach(dir ${F_INCLUDES})
    list(APPEND include_flags -I${dir})
  endforeach()
  foreach(dir ${F_SYSTEM_INCLUDES})
    list(APPEND include_flags -isystem ${dir})
  endforeach()
  set(binary ${CMAKE_CURRENT_BINARY_DIR}/${name}_fuzzer)
  add_custom_command(OUTPUT ${binary}
    COMMAND ${SOLVANTA_CLANGXX} ${SOLVANTA_FUZZ_FLAGS} -Wall -Wextra -Werror ${include_flags}
            ${F_SOURCES} ${F_LIBS} -o ${binary}
    DEPENDS ${F_SOURCES} ${F_DEPENDS} ${F_LIBS}
    COMMENT "Building the ${name} fuzzer with clang"
    VERBATIM)
  add_custom_target(${name}_build ALL DEPENDS ${binary})
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  add_test(NAME ${name}
    COMMAND sh -c "rm -rf \"$1\" && mkdir -p \"$1\" && exec \"$2\" -runs=${F_RUNS} -seed=1 -max_len=${F_MAX_LEN} -rss_limit_mb=512 -artifact_prefix=\"$1/../${name}-\" \"$1\" \"$3\""
            fuzz ${corpus} ${binary} ${F_SEEDS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()

# A target over one window-less folder of a deliverable: <fuzz_dir>/<name>.cpp
# with its seeds in <fuzz_dir>/seeds/<name>/, built with every .cpp of
# FOLDER (and EXTRA_SOURCES: window-less files of other folders, whose
# folders are searched for headers). HEADERS are the globs whose files the
# target depends on (give them before FOLDER); the rest (RUNS, MAX_LEN,
# SYSTEM_INCLUDES, LIBS) goes to solvanta_add_fuzzer.
function(solvanta_add_folder_fuzzer name)
  if(WIN32)
    return()
  endif()
  cmake_parse_arguments(X "" "FOLDER;FUZZ_DIR" "EXTRA_SOURCES;HEADERS" ${ARGN})
  set(extra_includes)
  foreach(src ${X_EXTRA_SOURCES})
    get_filename_component(dir ${src} DIRECTORY)
    list(APPEND extra_includes ${dir})
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${X_FOLDER}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${X_HEADERS})
  solvanta_add_fuzzer(${name}
    SOURCES ${X_FUZZ_DIR}/${name}.cpp ${sources} ${X_EXTRA_SOURCES}
    INCLUDES ${X_FOLDER} ${extra_includes}
    DEPENDS ${headers}
    SEEDS ${X_FUZZ_DIR}/seeds/${name}
    ${X_UNPARSED_ARGUMENTS})
endfunction()
