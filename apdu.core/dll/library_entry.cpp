// Entry point of the shared library. On Windows it only notes that the
// process is exiting, so that unload then leaves the PC/SC service alone
// (the devices' connections die with the process); natively there is
// nothing to do.
#ifdef _WIN32
#include <windows.h>

#include "transport/device_list.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    // reserved is non-null when the process ends rather than the DLL being
    // unloaded; the static destructors run after this call.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) zervik::note_process_exit();
    return TRUE;
}
#endif
