#include "main_form.h"

#include "app_names.h"
#include "language_strings.h"
#include "mgr_wrappers.h"
#include "monitor_globals.h"
#include "pin_flows.h"
#include "project_base.h"
#include "settings_dialog.h"
#include "test_switch.h"
#include "token_lists.h"
#include "ui_helpers.h"
#include "win_text.h"

namespace mon {

bool g_library_ready = false;
MonitorSettings g_settings;

namespace {
// Control ids of the About window.
const int kButtonOk = 1;
const int kLabelUrl = 7;
const int kLabelEmail = 8;
}  // namespace

std::wstring GetFileVersionText(const std::wstring& file) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) return GetLastError() == ERROR_RESOURCE_TYPE_NOT_FOUND ? std::wstring() : L"-1";
    std::string data(size, '\0');
    if (!GetFileVersionInfoW(file.c_str(), 0, size, &data[0])) return L"-1";
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&info), &len) || !info || len < sizeof *info)
        return std::wstring();
    wchar_t buf[64];
    swprintf(buf, 64, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return buf;
}

LRESULT CALLBACK main_window_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
        auto* self = static_cast<main_form*>(cs->lpCreateParams);
        self->window_ = h;
        SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<main_form*>(GetWindowLongPtrW(h, GWLP_USERDATA));
    if (!self) return DefWindowProcW(h, m, w, l);
    return self->handle(m, w, l);
}

main_form::main_form() = default;

main_form::~main_form() {
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
    retired_usb_.reset();
    retired_tray_.reset();
    if (menu_) DestroyMenu(menu_);
    if (font_) DeleteObject(font_);
}

bool main_form::create() {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    icon_ = static_cast<HICON>(LoadImageW(inst, names::main_icon, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    WNDCLASSW wc = {};
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = inst;
    wc.hIcon = icon_;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = names::main_window_class;
    if (!RegisterClassW(&wc)) return false;
    HWND h = CreateWindowExW(0, names::main_window_class, L"", WS_CAPTION | WS_SYSMENU | WS_POPUP, CW_USEDEFAULT,
                             CW_USEDEFAULT, 360, 204, nullptr, nullptr, inst, this);
    if (!h) return false;
    FormCreate();
    return true;
}

// A timer of the form: its handler runs only while the form lives.
std::unique_ptr<simple_timer> main_form::form_timer(UINT ms, void (main_form::*handler)()) {
    return std::unique_ptr<simple_timer>(new simple_timer(ms, [this, handler] {
        if (!destroyed_) (this->*handler)();
    }));
}

void main_form::FormCreate() {
    menu_ = CreatePopupMenu();
    AppendMenuW(menu_, MF_STRING, item_show_main, L"");
    AppendMenuW(menu_, MF_STRING, item_advanced, L"");
    AppendMenuW(menu_, MF_STRING, item_exit, L"");
    SetMenuDefaultItem(menu_, item_show_main, FALSE);
    tray_.reset(new cool_tray_icon(window_));
    tray_->set_popup_menu(menu_);
    tray_->on_menu_command = [this](UINT id) {
        if (destroyed_) return;
        if (id == item_show_main) AcShowMainExecute();
        else if (id == item_advanced) AcAdvancedExecute();
        else if (id == item_exit) AcExitExecute();
    };
    // A click only lets pending messages run.
    tray_->on_click = [] { pump_pending_messages(); };
    find_usb_key_ = form_timer(1000, &main_form::TFindUSBKeyTimer);
    close_project_ = form_timer(500, &main_form::TCloseProjectTimer);
    usb_remove_ = form_timer(3000, &main_form::TUSBRemoveTimer);
    check_default_upin_ = form_timer(500, &main_form::TCheckDefaultUPINTimer);
    check_init_ = form_timer(400, &main_form::TCheckInitTimer);
    reg_cert_xe_ = form_timer(1000, &main_form::TRegCertXETimer);
    app_update_ = form_timer(6000, &main_form::TAppUpdateTimer);
    reg_cert_ = form_timer(300, &main_form::TRegCertTimer);
    unreg_cert_ = form_timer(100, &main_form::TUnRegCertTimer);
    // The About window: the program icon, the caption and version, the two
    // links (hand cursor), the copyright, a bevel above the button.
    image_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ICON, 16, 16, 32, 32, window_, nullptr,
                             nullptr, nullptr);
    SendMessageW(image_, STM_SETICON, reinterpret_cast<WPARAM>(icon_), 0);
    label_caption_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 60, 16, 280, 20, window_, nullptr,
                                     nullptr, nullptr);
    label_version_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 60, 40, 280, 20, window_, nullptr,
                                     nullptr, nullptr);
    label_url_caption_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 16, 66, 60, 18, window_, nullptr,
                                         nullptr, nullptr);
    label_url_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_NOTIFY, 80, 66, 260, 18, window_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLabelUrl)), nullptr, nullptr);
    label_email_caption_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 16, 84, 60, 18, window_,
                                           nullptr, nullptr, nullptr);
    label_email_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_NOTIFY, 80, 84, 260, 18, window_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLabelEmail)), nullptr, nullptr);
    label_copyright_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 16, 102, 330, 18, window_, nullptr,
                                       nullptr, nullptr);
    bevel_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ETCHEDHORZ, 16, 124, 324, 2, window_,
                             nullptr, nullptr, nullptr);
    button_ok_ = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 135, 132, 90, 26,
                                 window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtonOk)), nullptr, nullptr);
    Localize();
    InitMonitor();
    session_registered_ = RegisterSessionNotification(window_, 0);
    test_switch::logf("session notification registered=%d", session_registered_ ? 1 : 0);
}

void main_form::Localize() {
    if (font_) DeleteObject(font_);
    font_ = create_language_font();
    HFONT use = font_ ? font_ : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    for (HWND c : {label_caption_, label_version_, button_ok_, label_url_, label_email_, label_url_caption_,
                   label_email_caption_, label_copyright_})
        if (c) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(use), TRUE);
    ModifyMenuW(menu_, item_show_main, MF_BYCOMMAND | MF_STRING, item_show_main,
                lang_text(lang::Main_Form_PopupMenu_listMain).c_str());
    ModifyMenuW(menu_, item_advanced, MF_BYCOMMAND | MF_STRING, item_advanced,
                lang_text(lang::Main_Form_PopupMenu_Advanced).c_str());
    ModifyMenuW(menu_, item_exit, MF_BYCOMMAND | MF_STRING, item_exit,
                lang_text(lang::Main_Form_PopupMenu_Close).c_str());
    SetMenuDefaultItem(menu_, item_show_main, FALSE);
    SetWindowTextW(window_, lang_text(lang::Main_Form_PopupMenu_About).c_str());
    SetWindowTextW(label_caption_, lang_text(lang::P_Caption).c_str());
    wchar_t exe[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH * 2);
    SetWindowTextW(label_version_, n ? GetFileVersionText(std::wstring(exe, n)).c_str() : L"-1");
    SetWindowTextW(button_ok_, lang_text(lang::C_Btn_Confirm).c_str());
    SetWindowTextW(label_url_caption_, lang_text(lang::About_Form_Label_URL).c_str());
    SetWindowTextW(label_email_caption_, lang_text(lang::About_Form_Label_Email).c_str());
    SetWindowTextW(label_copyright_, lang_text(lang::About_Form_label_CopyRight).c_str());
    SetWindowTextW(label_url_, lang_text(lang::About_Form_Label_URL_Info).c_str());
    SetWindowTextW(label_email_, lang_text(lang::About_Form_Label_Email_Info).c_str());
    tray_->set_icon(icon_);
    tray_->set_hint(lang_text(lang::P_Caption));
}

void main_form::InitMonitor() {
    countdown_ = 5;
    token_count_ = 0;
    usb_.reset(new usb_watcher());
    usb_->on_device_arrival = [this](usb_watcher& w) {
        if (destroyed_) return;
        in_usb_event_ = true;
        UsbArrival(w);
        in_usb_event_ = false;
    };
    usb_->on_device_removal = [this](usb_watcher& w) {
        if (destroyed_) return;
        in_usb_event_ = true;
        UsbRemoval(w);
        in_usb_event_ = false;
    };
    MonitorSettings s;
    if (ReadMgrConfig(mgr_config_path(), s) != 0) s = default_settings();
    g_settings = s;
    app_update_->set_enabled(true);
    test_switch::logf("settings language=%d default_pin=%d cert_tips=%d cert_day=%d", g_settings.language_id,
                      g_settings.default_pin_mode, g_settings.cert_tips, g_settings.cert_day);
    InitPkcs11();
}

namespace {
// Time spent in the manager library at start (logged under the test switch).
double g_library_ms = 0;
struct library_clock {
    LARGE_INTEGER start;
    library_clock() { QueryPerformanceCounter(&start); }
    ~library_clock() {
        LARGE_INTEGER end, freq;
        QueryPerformanceCounter(&end);
        QueryPerformanceFrequency(&freq);
        g_library_ms += 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(freq.QuadPart);
    }
};
}  // namespace

void main_form::InitPkcs11() {
    int r;
    {
        library_clock c;
        r = InitManagerLibrary();
    }
    test_switch::logf("init library=%d module=%s", r, test_switch::utf8(lang_text(lang::PKCS11Name)).c_str());
    if (r != 0) {
        g_library_ready = false;
        close_project_->set_enabled(true);
        return;
    }
    g_library_ready = true;
    EnumerateTokens();
    {
        library_clock c;
        for (int i = 0; i < token_count_; ++i) {
            token_reload_all_objects(i);
            RegisterTokenCerts(i);
        }
    }
    test_switch::logf("library calls at start ms=%.1f", g_library_ms);
}

int main_form::EnumerateTokens() {
    previous_count_ = token_count_;
    int count = 0;
    int r;
    {
        library_clock c;
        r = FindAndConnectTokens(count);
    }
    // A token that cannot be connected is not counted: once it answers,
    // the count changes and the token is registered.
    token_count_ = r == 0 ? count : 0;
    if (r != 0) {
        test_switch::logf("tokens found=%d result=%d", token_count_, r);
        return r;
    }
    if (tray_) tray_->set_icon_visible(token_count_ > 0);
    for (int i = 0; i < token_count_; ++i) {
        int ri;
        {
            library_clock c;
            ri = ReadTokenInfo(i);
        }
        if (ri != 0) {
            token_count_ = 0;
            test_switch::logf("tokens info failed index=%d result=%d", i, ri);
            return ri;
        }
    }
    test_switch::logf("tokens found=%d", token_count_);
    return 0;
}

void main_form::UsbArrival(usb_watcher& w) {
    bool watched = watched_product(w.last_product_id());
    test_switch::logf("usb arrival handled=%d", g_library_ready && watched ? 1 : 0);
    if (!g_library_ready || !watched) return;
    // The device needs time before the token can be found; these sleeps
    // block the GUI thread.
    test_switch::sleep(2000, "arrival");
    countdown_ = 60;
    test_switch::sleep(100, "arrival");
    find_usb_key_->set_enabled(true);
}

void main_form::UsbRemoval(usb_watcher& w) {
    bool watched = watched_product(w.last_product_id());
    bool handled = g_library_ready && watched && token_count_ != 0;
    test_switch::logf("usb removal handled=%d", handled ? 1 : 0);
    if (!handled) return;
    if (!RemovalCheck()) test_switch::log("usb removal: every token still answers");
    // Checked once more when TUSBRemove fires: a token the module has not
    // yet seen go still answers at the notice.
    if (!destroyed_) usb_remove_->set_enabled(true);
}

bool main_form::RemovalCheck() {
    bool all_there = true;
    for (int i = 0; i < token_count_; ++i)
        if (ReadTokenInfo(i) != 0) { all_there = false; break; }
    if (all_there) {
        // Tokens that did not answer at the last check do now: theirs too.
        if (unregistered_) {
            for (int i = 0; i < token_count_; ++i) RegisterTokenCerts(i);
            unregistered_ = false;
            test_switch::log("usb removal: tokens registered that answer again");
        }
        return false;
    }
    remove_all_certs_from_store(provider_name().c_str());
    int count = 0;
    token_count_ = FindAndConnectTokens(count) == 0 ? count : 0;
    // Every token that answers is registered; one that does not is left for
    // the next check and does not hold up the others.
    int failed = 0;
    for (int i = 0; i < token_count_; ++i) {
        if (ReadTokenInfo(i) != 0) {
            ++failed;
            continue;
        }
        RegisterTokenCerts(i);
    }
    // Found but none answering (the smart-card service gone, say): no token
    // is there for the user.
    if (failed == token_count_) token_count_ = 0;
    previous_count_ = token_count_;
    unregistered_ = failed > 0 && token_count_ > 0;
    test_switch::logf("tokens after removal=%d unanswered=%d", token_count_, failed);
    CloseOpenDialogs();
    if (destroyed_) return true;
    if (tray_) tray_->show_balloon(L"", lang_text(lang::K_Key_Remove), 10, balloon_info);
    return true;
}

void main_form::reload_and_register_all() {
    for (int i = 0; i < token_count_; ++i) {
        token_reload_all_objects(i);
        RegisterTokenCerts(i);
    }
    unregistered_ = false;
}

void main_form::TFindUSBKeyTimer() {
    int was = countdown_--;
    if (was <= 1) {
        find_usb_key_->set_enabled(false);
        test_switch::log("find tokens gave up");
        return;
    }
    if (EnumerateTokens() != 0) return;
    find_usb_key_->set_enabled(false);
    // The same count after a removal that left a token unregistered still
    // registers.
    if (previous_count_ == token_count_ && !unregistered_) return;
    if (tray_) tray_->show_balloon(L"", lang_text(lang::K_Key_Arrival), 10, balloon_info);
    check_init_->set_enabled(true);
    if (g_settings.url_open_mode == 1) OpenUrl(window_, from_ansi(g_settings.url), g_settings.browser_mode);
    reload_and_register_all();
    if (g_settings.cert_tips == 1) {
        // The boxes run their own message loops: what they let happen may
        // change the token count, which is checked again after each token,
        // or end the program (the exit from the tray menu).
        const int tokens = token_count_;
        for (int i = 0; i < tokens && i < token_count_ && !destroyed_; ++i) CheckCertExpiry(i);
        if (destroyed_) return;
    }
    if (token_count_ == 1) check_default_upin_->set_enabled(true);
}

void main_form::TUSBRemoveTimer() {
    usb_remove_->set_enabled(false);
    bool gone = false;
    if (g_library_ready && token_count_ != 0) {
        gone = RemovalCheck();
        if (destroyed_) return;
    }
    test_switch::logf("removal check again: token gone=%d tokens=%d", gone ? 1 : 0, token_count_);
    if (tray_) tray_->set_icon_visible(token_count_ > 0);
}

void main_form::TCheckDefaultUPINTimer() {
    check_default_upin_->set_enabled(false);
    test_switch::log("timer TCheckDefaultUPIN");
    CheckDefaultPin(*this);
}

void main_form::TCheckInitTimer() {
    check_init_->set_enabled(false);
    for (int i = 0; i < token_count_ && i < max_token_records; ++i) {
        if (g_token_records[i].initialised == 0) {
            if (tray_) tray_->show_balloon(L"", lang_text(lang::Init_Info), 10, balloon_user);
            break;
        }
    }
}

void main_form::TAppUpdateTimer() {}

void main_form::TRegCertTimer() {
    reg_cert_->set_enabled(false);
    RegisterTokenCerts(0);
}

void main_form::TUnRegCertTimer() {
    unreg_cert_->set_enabled(false);
    remove_all_certs_from_store(provider_name().c_str());
}

void main_form::TCloseProjectTimer() {
    close_project_->set_enabled(false);
    notice_box(window_, lang_text(lang::K_pkcs11Init_Error), MB_ICONQUESTION);
    if (destroyed_) return;
    exit_flag_ = true;
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

void main_form::AcShowMainExecute() {
    test_switch::logf("action show-main");
    test_switch::shell_open(window_, program_folder() + lang_text(lang::CallMainAppName), L"");
}

void main_form::AcAdvancedExecute() {
    test_switch::logf("action advanced");
    if (PinPromptBusy()) return;
    if (HWND open = FindWindowW(names::config_form_class, nullptr)) {
        SetForegroundWindow(open);
        return;
    }
    RunProjectConfigForm(window_);
    if (destroyed_) return;
    int old_language = g_settings.language_id;
    MonitorSettings s;
    if (ReadMgrConfig(mgr_config_path(), s) != 0) s = default_settings();
    g_settings = s;
    std::vector<language_entry> languages;
    ReadLanguageList(language_list_path(), languages);
    std::wstring file = names::default_language_file;
    for (const language_entry& e : languages)
        if (parse_decimal(e.id, -1) == g_settings.language_id) {
            file = to_wide(e.file);
            break;
        }
    LoadLanguageFile(language_file_path(file));
    Localize();
    test_switch::logf("settings re-read language=%d was=%d", g_settings.language_id, old_language);
    if (g_settings.language_id != old_language)
        SendCopyDataCommand(window_, names::command_language, names::manager_window_class);
}

void main_form::Label7Click() {
    wchar_t buf[512];
    GetWindowTextW(label_url_, buf, 512);
    OpenUrl(window_, buf, 0);
}

void main_form::Label8Click() {
    wchar_t buf[512];
    GetWindowTextW(label_email_, buf, 512);
    OpenUrl(window_, std::wstring(L"mailto:") + buf, 0, true);
}

void main_form::AcAboutExecute() {
    ShowWindow(window_, SW_SHOWNORMAL);
    SetForegroundWindow(window_);
}

void main_form::AcExitExecute() {
    test_switch::logf("action exit");
    exit_flag_ = true;
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

bool main_form::FormCloseQuery() {
    if (exit_flag_ || session_ending_) return true;
    ShowWindow(window_, SW_HIDE);
    return false;
}

void main_form::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    // Inside one of its own events the watcher is only parked: it is freed
    // with the form, after the event has returned.
    if (in_usb_event_) retired_usb_ = std::move(usb_);
    else usb_.reset();
    test_switch::log("destroy: watcher freed");
    remove_all_certs_from_store(provider_name().c_str());
    SendCopyDataCommand(window_, names::command_close, names::manager_window_class);
    uninit_pkcs11();
    if (session_registered_) UnregisterSessionNotification(window_);
    session_registered_ = false;
    // The icon goes now; the object is freed with the form, as an event of
    // its own (a menu command running a modal dialog) may be under way.
    if (tray_) {
        tray_->set_icon_visible(false);
        retired_tray_ = std::move(tray_);
    }
    // The timers stop here and are freed with the form: a handler that is
    // still running (one waiting in a message box when the exit came) must
    // not lose its own timer under it.
    for (simple_timer* timer : {find_usb_key_.get(), close_project_.get(), usb_remove_.get(),
                                check_default_upin_.get(), check_init_.get(), reg_cert_xe_.get(), app_update_.get(),
                                reg_cert_.get(), unreg_cert_.get()})
        if (timer) timer->set_enabled(false);
    test_switch::log("form destroyed");
}

LRESULT main_form::handle(UINT m, WPARAM w, LPARAM l) {
    switch (m) {
        case WM_COMMAND:
            if (LOWORD(w) == kButtonOk) ShowWindow(window_, SW_HIDE);
            else if (LOWORD(w) == kLabelUrl && HIWORD(w) == STN_CLICKED) Label7Click();
            else if (LOWORD(w) == kLabelEmail && HIWORD(w) == STN_CLICKED) Label8Click();
            return 0;
        case WM_SETCURSOR: {
            HWND over = reinterpret_cast<HWND>(w);
            if (over && (over == label_url_ || over == label_email_)) {
                SetCursor(LoadCursorA(nullptr, IDC_HAND));
                return TRUE;
            }
            return DefWindowProcW(window_, m, w, l);
        }
        case WM_COPYDATA:
            if (destroyed_) return 0;
            WMCopyData(reinterpret_cast<const COPYDATASTRUCT*>(l));
            return 1;
        case WM_WTSSESSION_CHANGE:
            if (!destroyed_) WMSessionChange(w);
            return 0;
        case WM_ENDSESSION:
            // The program may be ended as soon as this returns.
            if (w) {
                session_ending_ = true;
                FormDestroy();
            }
            return 0;
        case WM_CLOSE:
            if (FormCloseQuery()) DestroyWindow(window_);
            return 0;
        case WM_QUERYENDSESSION:
            session_ending_ = true;
            return 1;
        case WM_DESTROY:
            FormDestroy();
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY: {
            HWND h = window_;
            SetWindowLongPtrW(h, GWLP_USERDATA, 0);
            window_ = nullptr;
            return DefWindowProcW(h, m, w, l);
        }
        default:
            return DefWindowProcW(window_, m, w, l);
    }
}

}  // namespace mon
