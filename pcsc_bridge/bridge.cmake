# The native bridge: a core library (wire format, server, pcsc-lite backend)
# that the protocol tests link, and the program. Included by this folder's
# CMakeLists.txt in the native trees and by host/ for the Windows trees.
set(SOLVANTA_BRIDGE_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(solvanta_pcsc_bridge_core STATIC
  ${SOLVANTA_BRIDGE_DIR}/wire/wire.cpp
  ${SOLVANTA_BRIDGE_DIR}/server/server.cpp
  ${SOLVANTA_BRIDGE_DIR}/server/pcsclite_backend.cpp)
solvanta_strict(solvanta_pcsc_bridge_core)
target_include_directories(solvanta_pcsc_bridge_core PUBLIC ${SOLVANTA_BRIDGE_DIR})
target_link_libraries(solvanta_pcsc_bridge_core PUBLIC solvanta::pcsc Threads::Threads)

add_executable(solvanta_pcsc_bridge ${SOLVANTA_BRIDGE_DIR}/server/main.cpp)
solvanta_strict(solvanta_pcsc_bridge)
target_link_libraries(solvanta_pcsc_bridge PRIVATE solvanta_pcsc_bridge_core)
