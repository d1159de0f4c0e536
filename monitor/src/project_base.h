// Folders, configuration files, the language list, the registry value and
// the single-instance slot of the monitor.
#ifndef SOLVANTEX_MON_PROJECT_BASE_H
#define SOLVANTEX_MON_PROJECT_BASE_H

#include <windows.h>

#include <string>
#include <vector>

#include "settings.h"

namespace mon {

// The running program's folder, with a trailing backslash.
std::wstring program_folder();
// %APPDATA%\Tarnely\Solvantex\ (created with its parents when missing).
std::wstring GetConfigDir();
// GetConfigDir() + update\ (created when missing), one trailing backslash.
std::wstring GetUpdateDir();
// The user's MgrConfig.ini; the language list; a language file by name.
std::wstring mgr_config_path();
std::wstring language_list_path();
std::wstring language_file_path(const std::wstring& file);

// 0 when read (a missing file reads as every key's default); 1 when the file
// exists but cannot be read (out keeps what the caller put there).
int ReadMgrConfig(const std::wstring& path, MonitorSettings& out);
// 0 when all seven keys were written, 1 on failure.
int WriteMgrConfig(const std::wstring& path, const MonitorSettings& s);
// The LanguageID of that file; 1033 for a missing file, 0 when it cannot be read.
int ReadConfiguredLanguageId(const std::wstring& path);
// 0 when read, 1 when the file is missing or cannot be read (list empty).
int ReadLanguageList(const std::wstring& path, std::vector<language_entry>& out);
// HKCU\<key>, value "Solvantex" := text; a key that cannot be opened is skipped.
void WriteProductRegistryValue(const std::wstring& key, const std::wstring& text);

// The single-instance slot: a named 4-byte mapping holding 0 or the first
// instance's window handle.
void OpenInstanceMapping();
// 1 when another instance holds the slot; else the handle is stored (atomic
// compare-and-exchange, so of two starts at once only one wins) and 0.
int ClaimFirstInstance(HWND window);
// The slot then names the first instance's main window.
void SetInstanceWindow(HWND window);
void CloseInstanceMapping();

// The language file: every key of section "Caption"; a missing file
// changes nothing.
void LoadLanguageFile(const std::wstring& path);

// Whether the certificate whose not-after date is year-month-day (00:00:00
// local time) expires within days from now (fractions of days count): an
// expired certificate always does. An invalid date gives false.
bool IsCertExpiring(int year, int month, int day, int days);
// Days (with fractions) from now until that local date at 00:00:00; false
// for an invalid date.
bool days_until(int year, int month, int day, const SYSTEMTIME& now, double& out);

// The address kinds OpenUrl opens: "http://" and "https://" (letters in any
// case), and with allow_mailto also "mailto:".
bool url_allowed(const std::wstring& address, bool allow_mailto);
// Opens the trimmed address with the shell ("IExplore.EXE" with the address
// as its parameter in browser mode 1); an empty address or one of another
// kind does nothing. True when something was opened.
bool OpenUrl(HWND window, const std::wstring& address, int browser_mode, bool allow_mailto = false);

// Whether a file exists (not a folder).
bool file_exists(const std::wstring& path);

}  // namespace mon

#endif
