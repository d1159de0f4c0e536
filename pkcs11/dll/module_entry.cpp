// The module's entry on Windows. The core object is built on first use and
// left to the process at unload: a slot-monitor thread that outlived
// C_Finalize's bound may still use it (the thread itself keeps the DLL
// mapped until it ends). Natively there is no entry: the shared object is
// linked with -z nodelete, so it stays mapped for the same reason.
#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
