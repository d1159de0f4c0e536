// The monitor's PIN and settings dialogs in a program of their own, for the
// GUI bed: the language file of the program folder (argument 1, below
// Languages\), the tokens of the manager library beside it (the fake or the
// real one), then one action (argument 2): "pin" (ChangeUserPin), "default"
// (CheckDefaultPin), "advanced" (the settings dialog) or "about" (the main
// form made and shown through its About action, until the user hides it
// with its button). While it runs, a
// hidden window of class "SolvantexDialogsProbe" takes the registered
// messages "ProbeChangePin", "ProbeAdvanced" and "ProbeDefaultPin" (a second
// request while a dialog is open; the settings request is ignored while the
// PIN prompt is busy, as the main form does). "writepolicy <pin> <text>"
// logs in and writes the token's "PINLimit" file through token_write_file.
// Logs through the test switch.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <pkcs11_vendor.h>

#include "monitor_globals.h"
#include "pin_flows.h"
#include "settings_dialog.h"
#include "main_form.h"
#include "mgr_wrappers.h"
#include "project_base.h"
#include "test_switch.h"
#include "win_text.h"

namespace {

mon::main_form* g_form = nullptr;
UINT g_msg_pin = 0, g_msg_advanced = 0, g_msg_default = 0;

void run(const std::wstring& action) {
    if (action == L"pin") {
        mon::ChangeUserPin(*g_form);
    } else if (action == L"default") {
        mon::CheckDefaultPin(*g_form);
    } else if (action == L"advanced") {
        if (mon::PinPromptBusy()) {
            mon::test_switch::log("probe advanced ignored: pin prompt busy");
            return;
        }
        mon::RunProjectConfigForm(nullptr);
    }
}

LRESULT CALLBACK probe_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m != 0 && m == g_msg_pin) { run(L"pin"); return 0; }
    if (m != 0 && m == g_msg_advanced) { run(L"advanced"); return 0; }
    if (m != 0 && m == g_msg_default) { run(L"default"); return 0; }
    return DefWindowProcW(h, m, w, l);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 2;
    mon::test_switch::init();
    mon::LoadLanguageFile(mon::program_folder() + L"Languages\\" + argv[1]);
    mon::MonitorSettings s;
    if (mon::ReadMgrConfig(mon::GetConfigDir() + L"MgrConfig.ini", s) != 0) s = mon::default_settings();
    mon::g_settings = s;
    int r = mon::InitManagerLibrary();
    int count = 0;
    if (r == 0) r = mon::FindAndConnectTokens(count);
    if (r == 0 && count > 0) r = mon::ReadTokenInfo(0);
    mon::test_switch::logf("probe ready library=%d tokens=%d min=%d max=%d default_pin=%d", r, count,
                           mon::g_token_records[0].min_pin_len, mon::g_token_records[0].max_pin_len,
                           mon::g_settings.default_pin_mode);

    g_msg_pin = RegisterWindowMessageW(L"ProbeChangePin");
    g_msg_advanced = RegisterWindowMessageW(L"ProbeAdvanced");
    g_msg_default = RegisterWindowMessageW(L"ProbeDefaultPin");
    WNDCLASSW wc = {};
    wc.lpfnWndProc = probe_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"SolvantexDialogsProbe";
    RegisterClassW(&wc);
    HWND h = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, wc.hInstance,
                             nullptr);
    mon::main_form form;
    g_form = &form;
    mon::test_switch::log(h ? "probe window" : "probe window failed");
    mon::PinStateRecord st = {};
    int rs = mon::ReadPinState(0, st);
    mon::test_switch::logf("probe pin state=%d retries=%u locked=%d to_be_changed=%d", rs, st.retries_left, st.locked,
                           st.to_be_changed);
    if (std::wstring(argv[2]) == L"writepolicy" && argc >= 5) {
        std::string pin = mon::to_ansi(std::wstring(argv[3])), text = mon::to_ansi(std::wstring(argv[4]));
        int retries = 0;
        int rl = token_login(0, pin.c_str(), &retries);
        int rc = token_create_file(0, "PINLimit", 8);
        int rw = token_write_file(0, "PINLimit", reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
        token_logout(0);
        mon::test_switch::logf("probe writepolicy login=%d create=%d write=%d", rl, rc, rw);
    } else if (std::wstring(argv[2]) == L"format" && argc >= 5) {
        // The manager library's format: the token's user PIN is its default.
        CK_EXT_FORMAT_PARAMS p;
        std::memset(&p, 0, sizeof p);
        std::memcpy(p.label, "Road", 4);
        std::string so = mon::to_ansi(std::wstring(argv[3])), user = mon::to_ansi(std::wstring(argv[4]));
        std::memcpy(p.soPin, so.data(), std::min<size_t>(so.size(), 31));
        std::memcpy(p.userPin, user.data(), std::min<size_t>(user.size(), 31));
        p.userRetryLimit = 10;
        p.soRetryLimit = 15;
        int rf = token_format(0, &p);
        mon::PinStateRecord after = {};
        int ra = mon::ReadPinState(0, after);
        mon::test_switch::logf("probe format=%d state=%d to_be_changed=%d", rf, ra, after.to_be_changed);
    } else if (std::wstring(argv[2]) == L"about") {
        if (form.create()) {
            form.AcAboutExecute();
            mon::test_switch::log("probe about shown");
            MSG msg;
            while (IsWindowVisible(form.window()) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            mon::test_switch::log("probe about hidden");
        }
    } else {
        run(argv[2]);
    }
    mon::test_switch::logf("probe done settings default_pin=%d", mon::g_settings.default_pin_mode);
    if (h) DestroyWindow(h);
    uninit_pkcs11();
    return 0;
}
