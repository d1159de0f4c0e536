// GUI test driver: plays the user and the parts of Windows that Wine never
// delivers, from a second process on the same desktop. One action per run;
// the exit status is 0 when the action was done, 1 when it failed or timed
// out, 2 for a bad command line. What it reads (window texts, replies) goes
// to stdout as UTF-8.
//
//   send <class> <dwData> <text>         WM_COPYDATA, UTF-16 text with its NUL
//   devchange arrival|removal <path> [<class>]
//                                        WM_DEVICECHANGE with a device-interface
//                                        record to every top-level window of
//                                        the class (default TSolvantex_USB)
//   wts <reason> [<session>]             WM_WTSSESSION_CHANGE to TSolvantex_TrayIcon
//   tray <lParam>[,<lParam>...] [<id>] [<class>]
//                                        post the tray callback 0x800 (wParam id,
//                                        default 1) to the tray handler window
//                                        (default class TSolvantex_TrayHandler),
//                                        once per lParam, back to back
//   menu keys <downs> | menu escape [<ms>]
//                                        wait for the popup menu (#32768), then
//                                        press Down <downs> times and Enter, or
//                                        post Escape to it
//   waitwin <class|-> <title|-> <ms>     wait for a top-level window; prints its handle
//   waitgone <class|-> <title|-> <ms>    wait until no such window is left
//   answer <title> <id> [<ms>]           wait for a message box (#32770) with that
//                                        title, print its text, WM_COMMAND id to it
//   text <class|-> <title|->             print the window's text and its children's
//   dlg <title> fill <ctrl id> <text>    WM_SETTEXT to a dialog control
//   dlg <title> type <text>              type through SendInput (foreground window)
//   dlg <title> enter|escape|down        post the key to the focused control
//   dlg <title> sysclose                 WM_SYSCOMMAND SC_CLOSE
//   dlg <title> click <ctrl id>          posted mouse down/up in the control
//   dlg <title> clickok                  BM_CLICK on IDOK
//   dlg <title> key <virtual key>        type one key through SendInput (e.g. 27, Escape)
//   dlg <title> rect <ctrl id>           print the control's window rectangle on the
//                                        screen: left top right bottom
//   dlg <title> pwchar <ctrl id>         print the edit's password character
//                                        (EM_GETPASSWORDCHAR) as a number
//   close <class|-> <title|->            post WM_CLOSE
//   screenshot <class|-|desktop> <title|-> <file.bmp>
//                                        PrintWindow of a window, or the whole
//                                        desktop, as a 24-bit BMP
//   fakemgr <log file> <ms>              a window of class TSolvantex_Mgr that
//                                        appends each WM_COPYDATA it receives
//                                        ("dwData text", UTF-8) to the log; runs
//                                        until WM_CLOSE or the time is up
//   fakemgr <log file> <ms> reply|hang   the same; reply: each record is first
//                                        answered with "reply-<text>" (dwData 2)
//                                        sent back to the window of wParam, the
//                                        outcome logged as "reply answered=0|1";
//                                        hang: each record is held 8 s
//   sendraw <class> <dwData> <cbData> null|<hex bytes>
//                                        WM_COPYDATA with a record as given (no
//                                        NUL added; null: lpData NULL)
//   sendfile <class> <dwData> <file> <cbData|-> [<count>]
//                                        WM_COPYDATA with the file's bytes as the
//                                        record (cbData: the file's size, or as
//                                        given, the bytes padded with 'A'), sent
//                                        count times back to back (default 1);
//                                        prints "sent <n delivered> of <count>"
//   window <class> <title> <ms>          a top-level window of that class and
//                                        title; prints "closed" when it got
//                                        WM_CLOSE (exit 0), else "timeout" (1)
//   msgbox <title> <ms>                  a message box of this process with that
//                                        title; prints its answer, or "timeout"
//                                        (exit 1) when nobody answered
//   shows <class|-> <title|->            exit 0 when the window is visible
//   count <class>                        print how many top-level windows have the class
//   endsession <class> [kill]            WM_QUERYENDSESSION, then WM_CLOSE (the end of
//                                        the Windows session as a program sees it);
//                                        with kill: WM_ENDSESSION TRUE, then the
//                                        program is ended as Windows may do
//   cursor <x> <y>                       move the mouse cursor (SetCursorPos), again
//                                        until it reads back there (at most 20 times)
//   cursorover <class|-> <title|-> <ctrl id> <ms>
//                                        move the cursor onto a control of the
//                                        window; print the cursor's handle once
//                                        it stays the same (1 when it does not
//                                        settle within ms)
//   postreg <class> <message name>       post a registered window message
//                                        (e.g. TaskbarCreated) to the window
//   post <class> <msg> <wParam> <lParam> post a message to the window
//   sendmsg <class> <msg> <wParam> <lParam>
//                                        send a message to the window; prints
//                                        "result <n>"
//   state <class> <title>                print "visible=<0|1> iconic=<0|1> foreground=<0|1>"
#include <windows.h>
#include <dbt.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string narrow(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
    s.resize(strlen(s.c_str()));
    return s;
}

const wchar_t* opt(const std::wstring& s) { return s == L"-" ? nullptr : s.c_str(); }

HWND find(const std::wstring& cls, const std::wstring& title) {
    return FindWindowW(opt(cls), opt(title));
}

HWND wait_for(const std::wstring& cls, const std::wstring& title, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND h = find(cls, title);
        if (h) return h;
        if (GetTickCount() - start >= ms) return nullptr;
        Sleep(20);
    }
}

std::wstring window_text(HWND h) {
    wchar_t buf[4096];
    buf[0] = 0;
    // A cross-process WM_GETTEXT, bounded so a hung target cannot hang us.
    DWORD_PTR got = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000, &got);
    buf[4095] = 0;
    return buf;
}

BOOL CALLBACK print_child(HWND h, LPARAM) {
    wchar_t cls[128];
    GetClassNameW(h, cls, 128);
    std::printf("child %d %s: %s\n", GetDlgCtrlID(h), narrow(cls).c_str(), narrow(window_text(h)).c_str());
    return TRUE;
}

int cmd_send(const std::wstring& cls, unsigned long data, const std::wstring& text) {
    HWND h = find(cls, L"-");
    if (!h) { std::printf("no window of class %s\n", narrow(cls).c_str()); return 1; }
    COPYDATASTRUCT cds;
    cds.dwData = data;
    cds.cbData = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    cds.lpData = const_cast<wchar_t*>(text.c_str());
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(h, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_ABORTIFHUNG, 15000,
                             &result))
        return 1;
    std::printf("result %lu\n", static_cast<unsigned long>(result));
    return 0;
}

struct dev_target {
    std::wstring cls;
    std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND h, LPARAM p) {
    auto* t = reinterpret_cast<dev_target*>(p);
    wchar_t cls[256];
    if (GetClassNameW(h, cls, 256) && _wcsicmp(cls, t->cls.c_str()) == 0) t->found.push_back(h);
    return TRUE;
}

int cmd_devchange(bool arrival, const std::wstring& path, const std::wstring& cls) {
    dev_target t;
    t.cls = cls;
    EnumWindows(collect, reinterpret_cast<LPARAM>(&t));
    if (t.found.empty()) { std::printf("no window of class %s\n", narrow(cls).c_str()); return 1; }
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(wchar_t);
    std::vector<unsigned char> rec(size, 0);
    auto* d = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(rec.data());
    d->dbcc_size = static_cast<DWORD>(size);
    d->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    // GUID_DEVINTERFACE_USB_DEVICE
    d->dbcc_classguid = GUID{0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    std::memcpy(d->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    WPARAM w = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    for (HWND h : t.found) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(h, WM_DEVICECHANGE, w, reinterpret_cast<LPARAM>(d), SMTO_ABORTIFHUNG, 30000,
                                 &result))
            return 1;
    }
    std::printf("sent to %u windows\n", static_cast<unsigned>(t.found.size()));
    return 0;
}

int cmd_wts(unsigned long reason, unsigned long session) {
    HWND h = find(L"TSolvantex_TrayIcon", L"-");
    if (!h) return 1;
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(h, WM_WTSSESSION_CHANGE, reason, static_cast<LPARAM>(session), SMTO_ABORTIFHUNG,
                               15000, &result)
               ? 0
               : 1;
}

int cmd_tray(const std::wstring& lparams, unsigned long id, const std::wstring& cls) {
    HWND h = find(cls, L"-");
    if (!h) { std::printf("no window of class %s\n", narrow(cls).c_str()); return 1; }
    const wchar_t* p = lparams.c_str();
    for (;;) {
        wchar_t* end = nullptr;
        unsigned long lparam = std::wcstoul(p, &end, 0);
        if (end == p) return 2;
        if (!PostMessageW(h, 0x800, id, static_cast<LPARAM>(lparam))) return 1;
        if (*end != L',') break;
        p = end + 1;
    }
    return 0;
}

void key(WORD vk) {
    INPUT in[2] = {};
    in[0].type = INPUT_KEYBOARD;
    in[0].ki.wVk = vk;
    in[1] = in[0];
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
    Sleep(30);
}

int cmd_menu(const std::wstring& how, int downs, DWORD ms) {
    HWND m = wait_for(L"#32768", L"-", ms);
    if (!m) { std::printf("no popup menu\n"); return 1; }
    if (how == L"escape") return PostMessageW(m, WM_KEYDOWN, VK_ESCAPE, 0) ? 0 : 1;
    for (int i = 0; i < downs; ++i) key(VK_DOWN);
    key(VK_RETURN);
    return 0;
}

struct box_find {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK find_box(HWND h, LPARAM p) {
    auto* b = reinterpret_cast<box_find*>(p);
    wchar_t cls[64];
    if (!GetClassNameW(h, cls, 64) || wcscmp(cls, L"#32770") != 0) return TRUE;
    if (window_text(h) == b->title) { b->found = h; return FALSE; }
    return TRUE;
}

HWND wait_box(const std::wstring& title, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        box_find b;
        b.title = title;
        EnumWindows(find_box, reinterpret_cast<LPARAM>(&b));
        if (b.found) return b.found;
        if (GetTickCount() - start >= ms) return nullptr;
        Sleep(20);
    }
}

int cmd_answer(const std::wstring& title, WPARAM id, DWORD ms) {
    HWND h = wait_box(title, ms);
    if (!h) { std::printf("no box titled %s\n", narrow(title).c_str()); return 1; }
    EnumChildWindows(h, print_child, 0);
    std::fflush(stdout);
    return PostMessageW(h, WM_COMMAND, id, 0) ? 0 : 1;
}

int cmd_dlg(const std::wstring& title, const std::wstring& action, const std::vector<std::wstring>& rest) {
    HWND h = wait_box(title, 5000);
    if (!h) h = wait_for(L"-", title, 1000);
    if (!h) { std::printf("no dialog titled %s\n", narrow(title).c_str()); return 1; }
    if (action == L"fill" && rest.size() >= 2) {
        HWND c = GetDlgItem(h, _wtoi(rest[0].c_str()));
        if (!c) return 1;
        DWORD_PTR r = 0;
        return SendMessageTimeoutW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(rest[1].c_str()), SMTO_ABORTIFHUNG,
                                   5000, &r)
                   ? 0
                   : 1;
    }
    if (action == L"type" && !rest.empty()) {
        SetForegroundWindow(h);
        for (wchar_t ch : rest[0]) {
            INPUT in[2] = {};
            in[0].type = INPUT_KEYBOARD;
            in[0].ki.wScan = ch;
            in[0].ki.dwFlags = KEYEVENTF_UNICODE;
            in[1] = in[0];
            in[1].ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
            SendInput(2, in, sizeof(INPUT));
            Sleep(10);
        }
        return 0;
    }
    if (action == L"enter" || action == L"escape" || action == L"down") {
        GUITHREADINFO gi;
        gi.cbSize = sizeof gi;
        HWND target = h;
        if (GetGUIThreadInfo(GetWindowThreadProcessId(h, nullptr), &gi) && gi.hwndFocus) target = gi.hwndFocus;
        WPARAM vk = action == L"enter" ? VK_RETURN : action == L"down" ? VK_DOWN : VK_ESCAPE;
        PostMessageW(target, WM_KEYDOWN, vk, 1);
        PostMessageW(target, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
        return 0;
    }
    if (action == L"sysclose") return PostMessageW(h, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    if (action == L"pwchar" && !rest.empty()) {
        HWND c = GetDlgItem(h, _wtoi(rest[0].c_str()));
        DWORD_PTR r = 0;
        if (!c || !SendMessageTimeoutW(c, EM_GETPASSWORDCHAR, 0, 0, SMTO_ABORTIFHUNG, 5000, &r)) return 1;
        std::printf("%lu\n", static_cast<unsigned long>(r));
        return 0;
    }
    if (action == L"clickok") {
        HWND ok = GetDlgItem(h, IDOK);
        if (!ok) return 1;
        return PostMessageW(ok, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (action == L"click" && !rest.empty()) {
        HWND c = GetDlgItem(h, _wtoi(rest[0].c_str()));
        if (!c) return 1;
        PostMessageW(c, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
        PostMessageW(c, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
        return 0;
    }
    if (action == L"key" && !rest.empty()) {
        // A virtual key typed through SendInput, to the foreground window.
        SetForegroundWindow(h);
        INPUT in[2] = {};
        in[0].type = INPUT_KEYBOARD;
        in[0].ki.wVk = static_cast<WORD>(_wtoi(rest[0].c_str()));
        in[1] = in[0];
        in[1].ki.dwFlags = KEYEVENTF_KEYUP;
        return SendInput(2, in, sizeof(INPUT)) == 2 ? 0 : 1;
    }
    if (action == L"rect" && !rest.empty()) {
        HWND c = GetDlgItem(h, _wtoi(rest[0].c_str()));
        RECT r;
        if (!c || !GetWindowRect(c, &r)) return 1;
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
        std::fflush(stdout);
        return 0;
    }
    return 2;
}

bool write_bmp(const std::wstring& file, HDC src, int x, int y, int w, int h, HWND print) {
    HDC mem = CreateCompatibleDC(src);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(src, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp) { DeleteDC(mem); return false; }
    HGDIOBJ old = SelectObject(mem, bmp);
    bool ok = print ? PrintWindow(print, mem, 0) != 0 : BitBlt(mem, 0, 0, w, h, src, x, y, SRCCOPY) != 0;
    GdiFlush();
    DWORD stride = ((static_cast<DWORD>(w) * 3 + 3) & ~3u);
    DWORD image = stride * static_cast<DWORD>(h);
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof(BITMAPINFOHEADER);
    fh.bfSize = fh.bfOffBits + image;
    HANDLE f = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) ok = false;
    else {
        DWORD n = 0;
        ok = ok && WriteFile(f, &fh, sizeof fh, &n, nullptr) &&
             WriteFile(f, &bi.bmiHeader, sizeof(BITMAPINFOHEADER), &n, nullptr) &&
             WriteFile(f, bits, image, &n, nullptr);
        CloseHandle(f);
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    return ok;
}

int cmd_screenshot(const std::wstring& cls, const std::wstring& title, const std::wstring& file) {
    HDC screen = GetDC(nullptr);
    bool ok;
    if (cls == L"desktop") {
        ok = write_bmp(file, screen, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr);
    } else {
        HWND h = find(cls, title);
        if (!h) { ReleaseDC(nullptr, screen); return 1; }
        RECT r;
        GetWindowRect(h, &r);
        ok = write_bmp(file, screen, 0, 0, r.right - r.left, r.bottom - r.top, h);
    }
    ReleaseDC(nullptr, screen);
    return ok ? 0 : 1;
}

int cmd_cursorover(const std::wstring& cls, const std::wstring& title, int id, DWORD ms) {
    HWND h = wait_for(cls, title, 5000);
    HWND c = h ? GetDlgItem(h, id) : nullptr;
    if (!c) { std::printf("no control %d\n", id); return 1; }
    RECT r;
    GetWindowRect(c, &r);
    const int x = (r.left + r.right) / 2, y = (r.top + r.bottom) / 2;
    // Small moves on the control until the shape has stayed the same for
    // five readings in a row.
    CURSORINFO ci;
    ci.cbSize = sizeof ci;
    HCURSOR last = nullptr;
    int same = 0;
    DWORD start = GetTickCount();
    for (int step = 0; same < 5; ++step) {
        SetCursorPos(x + (step & 1), y);
        Sleep(50);
        if (!GetCursorInfo(&ci)) return 1;
        same = ci.hCursor == last ? same + 1 : 0;
        last = ci.hCursor;
        if (GetTickCount() - start >= ms) {
            std::printf("%p unsettled\n", static_cast<void*>(last));
            return 1;
        }
    }
    std::printf("%p\n", static_cast<void*>(last));
    return 0;
}

HANDLE g_log = INVALID_HANDLE_VALUE;
enum class mgr_mode { log_only, reply, hang } g_mgr_mode = mgr_mode::log_only;

void mgr_log(const std::string& line) {
    DWORD n = 0;
    if (g_log == INVALID_HANDLE_VALUE) return;
    SetFilePointer(g_log, 0, nullptr, FILE_END);
    WriteFile(g_log, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
    FlushFileBuffers(g_log);
}

LRESULT CALLBACK mgr_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_COPYDATA) {
        auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(l);
        std::wstring text;
        if (cds && cds->lpData) {
            size_t n = cds->cbData / sizeof(wchar_t);
            text.assign(static_cast<const wchar_t*>(cds->lpData), n);
            text.resize(wcsnlen(text.c_str(), n));
        }
        char head[64];
        std::snprintf(head, sizeof head, "%lu ", static_cast<unsigned long>(cds ? cds->dwData : 0));
        mgr_log(head + narrow(text) + "\n");
        if (g_mgr_mode == mgr_mode::hang) {
            Sleep(8000);
        } else if (g_mgr_mode == mgr_mode::reply) {
            std::wstring reply = L"reply-" + text;
            COPYDATASTRUCT back;
            back.dwData = 2;
            back.cbData = static_cast<DWORD>((reply.size() + 1) * sizeof(wchar_t));
            back.lpData = &reply[0];
            DWORD_PTR result = 0;
            BOOL ok = SendMessageTimeoutW(reinterpret_cast<HWND>(w), WM_COPYDATA, reinterpret_cast<WPARAM>(h),
                                          reinterpret_cast<LPARAM>(&back), SMTO_NORMAL, 15000, &result);
            mgr_log(std::string("reply answered=") + (ok ? "1" : "0") + "\n");
        }
        return 1;
    }
    if (m == WM_CLOSE) { DestroyWindow(h); return 0; }
    if (m == WM_DESTROY) { PostQuitMessage(0); return 0; }
    return DefWindowProcW(h, m, w, l);
}

int cmd_fakemgr(const std::wstring& log, DWORD ms) {
    g_log = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                        0, nullptr);
    if (g_log == INVALID_HANDLE_VALUE) return 1;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = mgr_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TSolvantex_Mgr";
    if (!RegisterClassW(&wc)) return 1;
    HWND h = CreateWindowExW(0, wc.lpszClassName, L"fake manager", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
    if (!h) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    SetTimer(h, 1, ms, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == h) { DestroyWindow(h); continue; }
        DispatchMessageW(&msg);
    }
    CloseHandle(g_log);
    return 0;
}

int cmd_sendraw(const std::wstring& cls, unsigned long data, unsigned long cb, const std::wstring& bytes) {
    HWND h = find(cls, L"-");
    if (!h) return 1;
    std::string buf;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        buf.push_back(static_cast<char>(std::wcstoul(bytes.substr(i, 2).c_str(), nullptr, 16)));
    COPYDATASTRUCT cds;
    cds.dwData = data;
    cds.cbData = cb;
    cds.lpData = bytes == L"null" ? nullptr : &buf[0];
    if (bytes != L"null" && cb > buf.size()) buf.resize(cb, 'A');
    cds.lpData = bytes == L"null" ? nullptr : &buf[0];
    DWORD_PTR result = 0;
    BOOL ok = SendMessageTimeoutW(h, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_ABORTIFHUNG, 15000,
                                  &result);
    std::printf("sent %d result %lu\n", ok ? 1 : 0, static_cast<unsigned long>(result));
    return 0;
}

int cmd_sendfile(const std::wstring& cls, unsigned long long data, const std::wstring& file, const std::wstring& cb,
                 unsigned long count) {
    HWND h = find(cls, L"-");
    if (!h) { std::printf("no window of class %s\n", narrow(cls).c_str()); return 1; }
    HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) { std::printf("cannot open the record file\n"); return 1; }
    std::string buf;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) buf.append(chunk, got);
    CloseHandle(f);
    unsigned long size = cb == L"-" ? static_cast<unsigned long>(buf.size()) : std::wcstoul(cb.c_str(), nullptr, 0);
    // The record is never read past its buffer: a cbData beyond the file's
    // bytes is padded.
    if (size > buf.size()) buf.resize(size, 'A');
    if (buf.empty()) buf.push_back('\0');
    COPYDATASTRUCT cds;
    cds.dwData = static_cast<ULONG_PTR>(data);
    cds.cbData = size;
    cds.lpData = &buf[0];
    unsigned long delivered = 0;
    for (unsigned long i = 0; i < count; ++i) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(h, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_ABORTIFHUNG, 15000,
                                &result))
            ++delivered;
    }
    std::printf("sent %lu of %lu\n", delivered, count);
    return 0;
}

bool g_window_closed = false;

LRESULT CALLBACK plain_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_CLOSE) { g_window_closed = true; DestroyWindow(h); return 0; }
    if (m == WM_DESTROY) { PostQuitMessage(0); return 0; }
    return DefWindowProcW(h, m, w, l);
}

int cmd_window(const std::wstring& cls, const std::wstring& title, DWORD ms) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = plain_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = cls.c_str();
    if (!RegisterClassW(&wc)) return 1;
    HWND h = CreateWindowExW(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                             nullptr, wc.hInstance, nullptr);
    if (!h) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    SetTimer(h, 1, ms, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == h) { DestroyWindow(h); continue; }
        DispatchMessageW(&msg);
    }
    std::printf(g_window_closed ? "closed\n" : "timeout\n");
    return g_window_closed ? 0 : 1;
}

bool g_box_timed_out = false;
std::wstring g_box_title;

void CALLBACK box_timeout(HWND, UINT, UINT_PTR, DWORD) {
    box_find b;
    b.title = g_box_title;
    EnumThreadWindows(GetCurrentThreadId(), find_box, reinterpret_cast<LPARAM>(&b));
    if (b.found) {
        g_box_timed_out = true;
        PostMessageW(b.found, WM_COMMAND, IDCANCEL, 0);
    }
}

int cmd_msgbox(const std::wstring& title, DWORD ms) {
    g_box_title = title;
    SetTimer(nullptr, 0, ms, box_timeout);
    std::printf("ready\n");
    std::fflush(stdout);
    int r = MessageBoxW(nullptr, L"another program", title.c_str(), MB_YESNOCANCEL);
    if (g_box_timed_out) { std::printf("timeout\n"); return 1; }
    std::printf("answer %d\n", r);
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 2;
    std::vector<std::wstring> a(argv + 1, argv + argc);
    LocalFree(argv);
    const std::wstring& c = a[0];
    auto n = a.size();
    auto num = [](const std::wstring& s) { return std::wcstoul(s.c_str(), nullptr, 0); };
    int rc = 2;
    if (c == L"send" && n >= 4) rc = cmd_send(a[1], num(a[2]), a[3]);
    else if (c == L"devchange" && n >= 3)
        rc = cmd_devchange(a[1] == L"arrival", a[2], n >= 4 ? a[3] : L"TSolvantex_USB");
    else if (c == L"wts" && n >= 2) rc = cmd_wts(num(a[1]), n >= 3 ? num(a[2]) : 1);
    else if (c == L"tray" && n >= 2)
        rc = cmd_tray(a[1], n >= 3 ? num(a[2]) : 1, n >= 4 ? a[3] : L"TSolvantex_TrayHandler");
    else if (c == L"menu" && n >= 2)
        rc = a[1] == L"escape" ? cmd_menu(a[1], 0, n >= 3 ? num(a[2]) : 5000)
                               : cmd_menu(a[1], n >= 3 ? static_cast<int>(num(a[2])) : 0, n >= 4 ? num(a[3]) : 5000);
    else if (c == L"waitwin" && n >= 4) {
        HWND h = wait_for(a[1], a[2], num(a[3]));
        if (h) std::printf("%p\n", static_cast<void*>(h));
        rc = h ? 0 : 1;
    } else if (c == L"waitgone" && n >= 4) {
        DWORD start = GetTickCount();
        rc = 1;
        for (;;) {
            if (!find(a[1], a[2])) { rc = 0; break; }
            if (GetTickCount() - start >= num(a[3])) break;
            Sleep(20);
        }
    } else if (c == L"answer" && n >= 3) rc = cmd_answer(a[1], num(a[2]), n >= 4 ? num(a[3]) : 10000);
    else if (c == L"text" && n >= 3) {
        HWND h = find(a[1], a[2]);
        if (h) {
            std::printf("%s\n", narrow(window_text(h)).c_str());
            EnumChildWindows(h, print_child, 0);
        }
        rc = h ? 0 : 1;
    } else if (c == L"dlg" && n >= 3) rc = cmd_dlg(a[1], a[2], std::vector<std::wstring>(a.begin() + 3, a.end()));
    else if (c == L"close" && n >= 3) {
        HWND h = find(a[1], a[2]);
        rc = h && PostMessageW(h, WM_CLOSE, 0, 0) ? 0 : 1;
    } else if (c == L"screenshot" && n >= 4) rc = cmd_screenshot(a[1], a[2], a[3]);
    else if (c == L"sendraw" && n >= 5) rc = cmd_sendraw(a[1], num(a[2]), num(a[3]), a[4]);
    else if (c == L"sendfile" && n >= 5)
        rc = cmd_sendfile(a[1], std::wcstoull(a[2].c_str(), nullptr, 0), a[3], a[4], n >= 6 ? num(a[5]) : 1);
    else if (c == L"window" && n >= 4) rc = cmd_window(a[1], a[2], num(a[3]));
    else if (c == L"msgbox" && n >= 3) rc = cmd_msgbox(a[1], num(a[2]));
    else if (c == L"fakemgr" && n >= 3) {
        if (n >= 4) g_mgr_mode = a[3] == L"reply" ? mgr_mode::reply : a[3] == L"hang" ? mgr_mode::hang : g_mgr_mode;
        rc = cmd_fakemgr(a[1], num(a[2]));
    }
    else if (c == L"shows" && n >= 3) {
        HWND h = find(a[1], a[2]);
        rc = h && IsWindowVisible(h) ? 0 : 1;
    }
    else if (c == L"count" && n >= 2) {
        dev_target t;
        t.cls = a[1];
        EnumWindows(collect, reinterpret_cast<LPARAM>(&t));
        std::printf("%u\n", static_cast<unsigned>(t.found.size()));
        rc = 0;
    } else if (c == L"endsession" && n >= 3 && a[2] == L"kill") {
        HWND h = find(a[1], L"-");
        DWORD_PTR r = 0;
        DWORD pid = 0;
        if (h) GetWindowThreadProcessId(h, &pid);
        rc = h && SendMessageTimeoutW(h, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 15000, &r) && r &&
                     SendMessageTimeoutW(h, WM_ENDSESSION, TRUE, 0, SMTO_ABORTIFHUNG, 15000, &r)
                 ? 0
                 : 1;
        HANDLE proc = pid ? OpenProcess(PROCESS_TERMINATE, FALSE, pid) : nullptr;
        if (proc) {
            TerminateProcess(proc, 0);
            CloseHandle(proc);
        }
    } else if (c == L"endsession" && n >= 2) {
        HWND h = find(a[1], L"-");
        DWORD_PTR r = 0;
        rc = h && SendMessageTimeoutW(h, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 15000, &r) &&
                     PostMessageW(h, WM_CLOSE, 0, 0)
                 ? 0
                 : 1;
    } else if (c == L"cursor" && n >= 3) {
        // The system may refuse a warp while another program holds the
        // pointer: move again until the position reads back (a position
        // unchanged for a moment is read from the display, not the last
        // request).
        int x = static_cast<int>(num(a[1])), y = static_cast<int>(num(a[2]));
        rc = 1;
        for (int attempt = 1; attempt <= 20; ++attempt) {
            SetCursorPos(x, y);
            Sleep(150);
            POINT p = {0, 0};
            if (GetCursorPos(&p) && p.x == x && p.y == y) {
                std::printf("at %d,%d after %d\n", x, y, attempt);
                rc = 0;
                break;
            }
            std::printf("read %ld,%ld\n", p.x, p.y);
        }
    } else if (c == L"cursorover" && n >= 5) {
        rc = cmd_cursorover(a[1], a[2], static_cast<int>(num(a[3])), num(a[4]));
    } else if (c == L"postreg" && n >= 3) {
        HWND h = find(a[1], L"-");
        UINT msg = RegisterWindowMessageW(a[2].c_str());
        rc = h && msg && PostMessageW(h, msg, 0, 0) ? 0 : 1;
    } else if (c == L"post" && n >= 5) {
        HWND h = find(a[1], L"-");
        rc = h && PostMessageW(h, static_cast<UINT>(num(a[2])), num(a[3]), static_cast<LPARAM>(num(a[4]))) ? 0 : 1;
    } else if (c == L"sendmsg" && n >= 5) {
        HWND h = find(a[1], L"-");
        DWORD_PTR result = 0;
        rc = h && SendMessageTimeoutW(h, static_cast<UINT>(num(a[2])), num(a[3]), static_cast<LPARAM>(num(a[4])),
                                      SMTO_ABORTIFHUNG, 15000, &result)
                 ? 0
                 : 1;
        if (rc == 0) std::printf("result %lu\n", static_cast<unsigned long>(result));
    } else if (c == L"state" && n >= 3) {
        HWND h = find(a[1], a[2]);
        if (h)
            std::printf("visible=%d iconic=%d foreground=%d\n", IsWindowVisible(h) ? 1 : 0, IsIconic(h) ? 1 : 0,
                        GetForegroundWindow() == h ? 1 : 0);
        rc = h ? 0 : 1;
    }
    std::fflush(stdout);
    return rc;
}
