#include "ui_helpers.h"

#include "app_names.h"
#include "test_switch.h"
#include "win_text.h"

namespace mon {

std::wstring lang_text(lang::id key) { return to_wide(lang::text(key)); }

HFONT create_language_font() {
    std::wstring face = lang_text(lang::FontName);
    if (face.empty() || face == L" ") return nullptr;
    HDC dc = GetDC(nullptr);
    int height = -MulDiv(lang::font_size(), GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(nullptr, dc);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, face.c_str());
}

namespace {
BOOL CALLBACK set_font_proc(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
    return TRUE;
}
}  // namespace

void set_font_all(HWND window, HFONT font) {
    HFONT use = font ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(use), FALSE);
    EnumChildWindows(window, set_font_proc, reinterpret_cast<LPARAM>(use));
}

void pump_pending_messages(const bool* alive) {
    MSG msg;
    while ((!alive || *alive) && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void run_message_loop() {
    MSG msg;
    unsigned failures = 0;
    for (;;) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) break;
        if (got < 0) {
            test_switch::logf("message not received status=%ld", static_cast<long>(got));
            if (++failures >= 1000) break;
            continue;
        }
        failures = 0;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

int notice_box(HWND owner, const std::wstring& text, UINT icon) {
    return test_switch::message_box(owner, text, lang_text(lang::P_MSGTitle), icon);
}

std::wstring window_text(HWND window) {
    int n = GetWindowTextLengthW(window);
    if (n <= 0) return std::wstring();
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    int got = GetWindowTextW(window, &s[0], n + 1);
    s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return s;
}

void place_control(HWND dialog, int id, int x, int y, int width, int height) {
    if (HWND c = GetDlgItem(dialog, id)) MoveWindow(c, x, y, width, height, FALSE);
}

void show_control(HWND dialog, int id, bool visible) {
    if (HWND c = GetDlgItem(dialog, id)) ShowWindow(c, visible ? SW_SHOW : SW_HIDE);
}

void set_control_text(HWND dialog, int id, const std::wstring& text) { SetDlgItemTextW(dialog, id, text.c_str()); }

void size_centred(HWND window, int width, int height) {
    int sx = GetSystemMetrics(SM_CXSCREEN), sy = GetSystemMetrics(SM_CYSCREEN);
    SetWindowPos(window, nullptr, (sx - width) / 2, (sy - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool register_dialog_class(const wchar_t* name) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    HINSTANCE inst = GetModuleHandleW(nullptr);
    if (GetClassInfoExW(inst, name, &wc)) return true;
    wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefDlgProcW;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hIcon = static_cast<HICON>(LoadImageW(inst, names::main_icon, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    wc.lpszClassName = name;
    return RegisterClassExW(&wc) != 0;
}

}  // namespace mon
