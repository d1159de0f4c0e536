// The monitor's one test switch: the environment variable SOLVANTEX_MON_TEST,
// read once at start-up, as "log=<file>[;boxes=real|<answer>][;sleep=<ms>]".
// With it, message boxes, shell opens and the two arrival sleeps go through
// these functions, which log each call (one UTF-8 line to the file); a box
// is still shown when boxes=real (the default), else answered with the
// given id; shell opens are logged only; sleeps last at most the given ms.
// Tray icon calls, balloons, timers and notifications are logged too.
// Without the switch the functions do the real thing and log nothing.
#ifndef SOLVANTEX_MON_TEST_SWITCH_H
#define SOLVANTEX_MON_TEST_SWITCH_H

#include <windows.h>

#include <string>

namespace mon {
namespace test_switch {

void init();
bool active();
void log(const std::string& line);
void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string utf8(const std::wstring& s);

int message_box(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);
// ShellExecuteW; the result as ShellExecuteW gives it (above 32 is success).
INT_PTR shell_open(HWND owner, const std::wstring& file, const std::wstring& params);
void sleep(DWORD ms, const char* what);

}  // namespace test_switch
}  // namespace mon

#endif
