# Compiler settings shared by every target of the tree.

# Our own code builds with a high warning level and warnings as errors.
function(solvanta_strict target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wcast-align -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations
    -Werror)
endfunction()

if(WIN32)
  # A DLL or program must need nothing beside it: link the C and C++
  # run-times (and winpthreads) statically.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
else()
  # Only what a library declares as exported is visible.
  set(CMAKE_CXX_VISIBILITY_PRESET hidden)
  set(CMAKE_C_VISIBILITY_PRESET hidden)
  set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
endif()

if(SOLVANTA_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "sanitizers are for the native build")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(SOLVANTA_TSAN)
  if(WIN32 OR SOLVANTA_SANITIZE)
    message(FATAL_ERROR "ThreadSanitizer is for the native build, without AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
