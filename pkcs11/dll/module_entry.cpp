// The module's entry. The loaded module sees the token devices of the card
// layer: its device source is installed before the first export can build
// the core.
//
// On Windows the core object is built on first use and left to the process
// at unload: a slot-monitor thread that outlived C_Finalize's bound may
// still use it (the thread itself keeps the DLL mapped until it ends).
// Natively the shared object is linked with -z nodelete, so it stays mapped
// for the same reason.
#include <memory>

#include "card_device_source.h"
#include "pkcs11_core.h"

namespace {

std::unique_ptr<pkcs11::pkcs11_device_source> card_devices() {
    return std::make_unique<solvantex::card_device_source>();
}

const bool card_layer_installed = (pkcs11::Pkcs11Core::set_device_source_factory(&card_devices), true);

}  // namespace

#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
