// Entry point of the shared library. On Windows it only notes that the
// library is going: when the process is exiting, unload then leaves the
// PC/SC service alone (the devices' connections die with the process) and
// the device-event wait touches nothing (its threads are gone); otherwise
// the wait stops its watch thread without waiting for it (the loader lock is
// held). Natively there is nothing to do.
#ifdef _WIN32
#include <windows.h>

#include "notify/device_event_wait.h"
#include "transport/device_list.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    // reserved is non-null when the process ends rather than the DLL being
    // unloaded; the static destructors run after this call.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) zervik::note_process_exit();
    if (reason == DLL_PROCESS_DETACH) zervik::note_loader_detach(reserved != nullptr);
    return TRUE;
}
#endif
