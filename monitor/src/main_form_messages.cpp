// The main form's exchange with the manager application (WM_COPYDATA), the
// desktop-session notifications and the closing of open dialogs.
#include <windows.h>
#include <wtsapi32.h>

#include "app_names.h"
#include "copy_data.h"
#include "language_strings.h"
#include "main_form.h"
#include "mgr_wrappers.h"
#include "monitor_globals.h"
#include "test_switch.h"
#include "ui_helpers.h"
#include "win_text.h"

namespace mon {

namespace {

// The message keys a dwData-1 text may name, with their texts.
const lang::id kMessageKeys[] = {
    lang::IDS_STRING_UKEY_MESSAGE_GENKEY,    lang::IDS_STRING_UKEY_MESSAGE_GENKEYFAIL,
    lang::IDS_STRING_UKEY_MESSAGE_GENKEYOK,  lang::IDS_STRING_UKEY_MESSAGE_SIGNDATA,
    lang::IDS_STRING_UKEY_MESSAGE_SIGNFAIL,  lang::IDS_STRING_UKEY_MESSAGE_SIGNOK,
    lang::IDS_STRING_UKEY_MESSAGE_CERTWRITE, lang::IDS_STRING_UKEY_MESSAGE_CERTWRITEOK,
    lang::IDS_STRING_UKEY_MESSAGE_CERTWRITEFAIL,
};

struct own_box_search {
    std::wstring title;
    HWND found;
};

BOOL CALLBACK find_own_box(HWND h, LPARAM l) {
    auto* s = reinterpret_cast<own_box_search*>(l);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid != GetCurrentProcessId()) return TRUE;
    wchar_t cls[16];
    if (GetClassNameW(h, cls, 16) == 0 || wcscmp(cls, L"#32770") != 0) return TRUE;
    int n = GetWindowTextLengthW(h);
    std::wstring title(static_cast<size_t>(n) + 1, L'\0');
    GetWindowTextW(h, &title[0], n + 1);
    title.resize(wcslen(title.c_str()));
    if (title != s->title) return TRUE;
    s->found = h;
    return FALSE;
}

// The monitor's own message box titled P_MSGTitle, if one is open; a window
// of another program with that title is never touched.
HWND own_message_box() {
    own_box_search s{lang_text(lang::P_MSGTitle), nullptr};
    EnumWindows(find_own_box, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

}  // namespace

void SendCopyDataCommand(HWND from, const std::wstring& text, const std::wstring& window_class) {
    HWND to = FindWindowW(window_class.c_str(), nullptr);
    test_switch::logf("send %s to=%s found=%d", test_switch::utf8(text).c_str(),
                      test_switch::utf8(window_class).c_str(), to ? 1 : 0);
    if (!to) return;
    COPYDATASTRUCT cds;
    cds.dwData = 0;
    cds.cbData = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    cds.lpData = const_cast<wchar_t*>(text.c_str());
    DWORD_PTR answer = 0;
    // Not blocking: a message the receiver sends back while it handles this
    // one is served at once; a hung receiver still ends the wait.
    LRESULT ok = SendMessageTimeoutW(to, WM_COPYDATA, reinterpret_cast<WPARAM>(from),
                                     reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL | SMTO_ABORTIFHUNG, 5000, &answer);
    test_switch::logf("sent %s answered=%d", test_switch::utf8(text).c_str(), ok ? 1 : 0);
}

void main_form::WMCopyData(const COPYDATASTRUCT* cds) {
    copy_data_command cmd = cds ? read_copy_data(cds->dwData, cds->lpData, cds->cbData) : copy_data_command();
    if (cmd.action == copy_data_action::ignored) {
        test_switch::log("copydata ignored");
        return;
    }
    std::wstring text = to_wide(cmd.text);
    test_switch::logf("copydata data=%lu text=%s", static_cast<unsigned long>(cds->dwData),
                      test_switch::utf8(text).c_str());
    switch (cmd.action) {
        case copy_data_action::message:
            for (lang::id k : kMessageKeys)
                if (text == to_wide(from_utf8(lang::key_name(k))))
                    text = lang_text(k);
            if (tray_) tray_->show_balloon(L"", text, 10, balloon_user);
            break;
        case copy_data_action::reg_cert:
            reg_cert_xe_->set_enabled(true);
            break;
        case copy_data_action::update:
            app_update_->set_enabled(false);
            test_switch::log("update wait stopped");
            if (HWND box = own_message_box()) SendMessageW(box, WM_COMMAND, IDNO, 0);
            break;
        case copy_data_action::balloon:
        case copy_data_action::ignored:
            if (tray_) tray_->show_balloon(L"", text, 10, balloon_user);
            break;
    }
}

void main_form::TRegCertXETimer() {
    reg_cert_xe_->set_enabled(false);
    test_switch::log("timer TRegCertXE");
    remove_all_certs_from_store(provider_name().c_str());
    reload_and_register_all();
    SendCopyDataCommand(window_, names::command_load_cert, names::manager_window_class);
}

bool RegisterSessionNotification(HWND window, DWORD flags) {
    typedef BOOL(WINAPI * reg_fn)(HWND, DWORD);
    return call_system_function<reg_fn>(L"Wtsapi32.dll", "WTSRegisterSessionNotification", window, flags);
}

bool UnregisterSessionNotification(HWND window) {
    typedef BOOL(WINAPI * unreg_fn)(HWND);
    return call_system_function<unreg_fn>(L"Wtsapi32.dll", "WTSUnRegisterSessionNotification", window);
}

void main_form::WMSessionChange(WPARAM reason) {
    test_switch::logf("session change reason=%lu", static_cast<unsigned long>(reason));
    if (reason != WTS_CONSOLE_CONNECT && reason != WTS_REMOTE_CONNECT && reason != WTS_SESSION_UNLOCK) return;
    countdown_ = 5;
    RefreshAfterSessionChange();
}

void main_form::RefreshAfterSessionChange() {
    --countdown_;
    if (EnumerateTokens() != 0) return;
    find_usb_key_->set_enabled(false);
    reload_and_register_all();
}

void main_form::CloseOpenDialogs() {
    for (const wchar_t* cls : {names::config_form_class, names::check_system_form_class, names::pin_form_class}) {
        HWND h = FindWindowW(cls, nullptr);
        test_switch::logf("close dialog %s found=%d", test_switch::utf8(cls).c_str(), h ? 1 : 0);
        if (!h) continue;
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(h, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_ABORTIFHUNG, 5000, &answer);
    }
    if (token_count_ <= 0) {
        HWND box = own_message_box();
        test_switch::logf("close own box found=%d", box ? 1 : 0);
        if (box) SendMessageW(box, WM_COMMAND, IDNO, 0);
    }
}

}  // namespace mon
