// Small window helpers shared by the main form and the dialogs: language
// texts, the language font, message pumps, message boxes, dialog layout and
// functions of system libraries loaded by name.
#ifndef SOLVANTEX_MON_UI_HELPERS_H
#define SOLVANTEX_MON_UI_HELPERS_H

#include <windows.h>

#include <string>

#include "language_strings.h"

namespace mon {

// The language text of a key as a wide string.
std::wstring lang_text(lang::id key);

// The font of the language file (FontName, FontSize in points); null when
// the language names none (the caller then uses the GUI font).
HFONT create_language_font();
// The font given (or the default GUI font for null) on the window and all
// its children.
void set_font_all(HWND window, HFONT font);

// Runs the messages waiting now; a WM_QUIT found is posted again so the main
// loop still ends. With `alive`, stops as soon as a message handler has
// cleared it (the object that pumps was freed by what it dispatched).
void pump_pending_messages(const bool* alive = nullptr);
// The program's message loop until WM_QUIT. A message that cannot be
// received (GetMessage fails: Wine returns a negative status for a copy-data
// record too large to be passed on) is dropped; failures that never stop end
// the loop after a bounded number in a row.
void run_message_loop();

// A message box captioned P_MSGTitle; the answer.
int notice_box(HWND owner, const std::wstring& text, UINT icon);

// A window's text ("" when it has none).
std::wstring window_text(HWND window);

// Dialog layout: move, show or hide, set the text of a control by id.
void place_control(HWND dialog, int id, int x, int y, int width, int height);
void show_control(HWND dialog, int id, bool visible);
void set_control_text(HWND dialog, int id, const std::wstring& text);
// The outer size, centred on the screen.
void size_centred(HWND window, int width, int height);
// A dialog class of that name (dialog procedure of the system, arrow
// cursor, button face, the program icon); true when it exists.
bool register_dialog_class(const wchar_t* name);

// Calls the function `name` of the system library `dll`, loaded for the
// call and freed after it; false when the library or the function is
// missing, else the function's result as a truth value.
template <typename Fn, typename... Args>
bool call_system_function(const wchar_t* dll, const char* name, Args... args) {
    HMODULE m = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!m) return false;
    auto f = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
    bool ok = f && f(args...);
    FreeLibrary(m);
    return ok;
}

}  // namespace mon

#endif
