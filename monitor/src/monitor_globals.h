// The monitor's state shared beyond the main form, and the system and
// manager-application services the form uses.
#ifndef SOLVANTEX_MON_MONITOR_GLOBALS_H
#define SOLVANTEX_MON_MONITOR_GLOBALS_H

#include <windows.h>

#include <string>

#include "settings.h"

namespace mon {

// Set once the manager library is initialised.
extern bool g_library_ready;
// MgrConfig.ini as last read.
extern MonitorSettings g_settings;

// The program file's "major.minor.release.build", "-1" when it cannot be
// read, empty without version information.
std::wstring GetFileVersionText(const std::wstring& file);

// WM_COPYDATA with a UTF-16 text to the first window of that class; nothing
// when there is none. Sent with a time-out (5 s, aborted at once when the
// receiver hangs), so a hung receiver never holds the monitor; messages the
// receiver sends back meanwhile are served.
void SendCopyDataCommand(HWND from, const std::wstring& text, const std::wstring& window_class);

// The provider the certificates are registered and removed under: the
// language file's PROVIDER_NAME until the first registration, then
// "Microsoft Base Smart Card Crypto Provider".
std::string provider_name();

// Wtsapi32's session notifications, loaded by name; false when the library
// or the function is missing or the call fails.
bool RegisterSessionNotification(HWND window, DWORD flags);
bool UnregisterSessionNotification(HWND window);

}  // namespace mon

#endif
