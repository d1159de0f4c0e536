// The advanced settings dialog: what MgrConfig.ini holds, and the language.
#include "settings_dialog.h"

#include <algorithm>
#include <string>
#include <vector>

#include "app_names.h"
#include "controls.h"
#include "dialogs_res.h"
#include "language_strings.h"
#include "monitor_globals.h"
#include "project_base.h"
#include "test_switch.h"
#include "token_lists.h"
#include "ui_helpers.h"
#include "win_text.h"

namespace mon {

namespace {

const wchar_t kFormProp[] = L"SolvantexConfigForm";

struct project_config_form {
    HWND dlg = nullptr;
    HFONT font = nullptr;
    int configured_language = 0;

    void Localize();
    void LoadSettings();
    void enable_url();
    void enable_days();
    void btnSaveClick();
};

void project_config_form::Localize() {
    font = create_language_font();
    set_font_all(dlg, font);
    SetWindowTextW(dlg, lang_text(lang::Main_Form_PopupMenu_Advanced).c_str());
    set_control_text(dlg, IDC_CFG_GROUP, lang_text(lang::Config_Form_GroupBox));
    set_control_text(dlg, IDC_CFG_OPEN_URL, lang_text(lang::Config_Form_CBOpenURL) + L":");
    set_control_text(dlg, IDC_CFG_BROWSER_DEFAULT, lang_text(lang::Config_Form_RBtn1));
    set_control_text(dlg, IDC_CFG_BROWSER_IE, lang_text(lang::Config_Form_RBtn2));
    set_control_text(dlg, IDC_CFG_CERT_TIPS, lang_text(lang::Config_Form_CBCertday) + L":");
    set_control_text(dlg, IDC_CFG_DAYS_NOTE, lang_text(lang::Config_Form_Lable));
    set_control_text(dlg, IDC_CFG_SAVE, lang_text(lang::Config_Form_btnSave));
    set_control_text(dlg, IDCANCEL, lang_text(lang::C_Btn_Cancel));
    set_control_text(dlg, IDC_CFG_LANGUAGE_LABEL, lang_text(lang::Config_Form_Language));
    set_control_text(dlg, IDC_CFG_DEFAULT_PIN, lang_text(lang::Config_Form_DefaultPIN));
}

void project_config_form::enable_url() {
    BOOL on = IsDlgButtonChecked(dlg, IDC_CFG_OPEN_URL) == BST_CHECKED;
    for (int id : {IDC_CFG_URL, IDC_CFG_BROWSER_DEFAULT, IDC_CFG_BROWSER_IE}) EnableWindow(GetDlgItem(dlg, id), on);
}

void project_config_form::enable_days() {
    EnableWindow(GetDlgItem(dlg, IDC_CFG_CERT_DAYS), IsDlgButtonChecked(dlg, IDC_CFG_CERT_TIPS) == BST_CHECKED);
}

void project_config_form::LoadSettings() {
    MonitorSettings s = MonitorSettings();
    s.language_id = 0;
    if (ReadMgrConfig(mgr_config_path(), s) == 0) {
        CheckDlgButton(dlg, IDC_CFG_OPEN_URL, s.url_open_mode ? BST_CHECKED : BST_UNCHECKED);
        SetDlgItemTextW(dlg, IDC_CFG_URL, from_ansi(s.url).c_str());
        CheckRadioButton(dlg, IDC_CFG_BROWSER_DEFAULT, IDC_CFG_BROWSER_IE,
                         s.browser_mode ? IDC_CFG_BROWSER_IE : IDC_CFG_BROWSER_DEFAULT);
        CheckDlgButton(dlg, IDC_CFG_CERT_TIPS, s.cert_tips ? BST_CHECKED : BST_UNCHECKED);
        if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(dlg, IDC_CFG_CERT_DAYS))) e->set_integer_value(s.cert_day);
    }
    configured_language = s.language_id;
    enable_url();
    enable_days();
    SendDlgItemMessageW(dlg, IDC_CFG_LANGUAGE, CB_RESETCONTENT, 0, 0);
    std::vector<language_entry> list;
    ReadLanguageList(language_list_path(), list);
    int selected = -1;
    for (size_t i = 0; i < list.size(); ++i) {
        SendDlgItemMessageW(dlg, IDC_CFG_LANGUAGE, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(list[i].name)));
        if (is_decimal(list[i].id) && parse_decimal(list[i].id, 0) == s.language_id) selected = static_cast<int>(i);
    }
    SendDlgItemMessageW(dlg, IDC_CFG_LANGUAGE, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    CheckDlgButton(dlg, IDC_CFG_DEFAULT_PIN, s.default_pin_mode ? BST_CHECKED : BST_UNCHECKED);
    int days = 0;
    if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(dlg, IDC_CFG_CERT_DAYS))) days = e->integer_value();
    test_switch::logf(
        "settings dialog loaded open_url=%d url=[%s] rb2=%d url_enabled=%d tips=%d days=%d "
        "days_enabled=%d language=%d selected=%d entries=%d default_pin=%d",
        IsDlgButtonChecked(dlg, IDC_CFG_OPEN_URL) == BST_CHECKED ? 1 : 0,
        test_switch::utf8(window_text(GetDlgItem(dlg, IDC_CFG_URL))).c_str(),
        IsDlgButtonChecked(dlg, IDC_CFG_BROWSER_IE) == BST_CHECKED ? 1 : 0,
        IsWindowEnabled(GetDlgItem(dlg, IDC_CFG_URL)) ? 1 : 0,
        IsDlgButtonChecked(dlg, IDC_CFG_CERT_TIPS) == BST_CHECKED ? 1 : 0, days,
        IsWindowEnabled(GetDlgItem(dlg, IDC_CFG_CERT_DAYS)) ? 1 : 0, s.language_id, selected,
        static_cast<int>(list.size()), IsDlgButtonChecked(dlg, IDC_CFG_DEFAULT_PIN) == BST_CHECKED ? 1 : 0);
}

std::wstring trim_blanks(const std::wstring& s) {
    size_t a = 0, b = s.size();
    while (a < b && s[a] <= L' ') ++a;
    while (b > a && s[b - 1] <= L' ') --b;
    return s.substr(a, b - a);
}

void project_config_form::btnSaveClick() {
    bool open_url = IsDlgButtonChecked(dlg, IDC_CFG_OPEN_URL) == BST_CHECKED;
    HWND url_edit = GetDlgItem(dlg, IDC_CFG_URL);
    if (open_url && GetWindowTextLengthW(url_edit) == 0) {
        notice_box(dlg, lang_text(lang::S_URLNull), MB_ICONINFORMATION);
        SetFocus(url_edit);
        return;
    }
    if (!open_url) SetWindowTextW(url_edit, L"");

    // Saving keeps the configured language when none is selected.
    MonitorSettings keep = default_settings();
    if (ReadMgrConfig(mgr_config_path(), keep) != 0) keep = g_settings;

    MonitorSettings s;
    s.url_open_mode = open_url ? 1 : 0;
    s.url = to_ansi(trim_blanks(window_text(url_edit)));
    s.browser_mode = IsDlgButtonChecked(dlg, IDC_CFG_BROWSER_IE) == BST_CHECKED ? 1 : 0;
    s.cert_tips = IsDlgButtonChecked(dlg, IDC_CFG_CERT_TIPS) == BST_CHECKED ? 1 : 0;
    int days = 0;
    if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(dlg, IDC_CFG_CERT_DAYS))) days = e->integer_value();
    s.cert_day = std::min(365, std::max(0, days));
    s.default_pin_mode = IsDlgButtonChecked(dlg, IDC_CFG_DEFAULT_PIN) == BST_CHECKED ? 1 : 0;

    std::vector<language_entry> list;
    ReadLanguageList(language_list_path(), list);
    LRESULT sel = SendDlgItemMessageW(dlg, IDC_CFG_LANGUAGE, CB_GETCURSEL, 0, 0);
    bool language_chosen = sel >= 0 && static_cast<size_t>(sel) < list.size();
    std::wstring csp;
    if (language_chosen) {
        const language_entry& e = list[static_cast<size_t>(sel)];
        s.language_id = parse_decimal(e.id, keep.language_id);
        csp = to_wide(e.csp);
    } else {
        s.language_id = keep.language_id;
    }
    test_switch::logf("settings save url_open=%d url=[%s] browser=%d tips=%d days=%d language=%d default_pin=%d",
                      s.url_open_mode, s.url.c_str(), s.browser_mode, s.cert_tips, s.cert_day, s.language_id,
                      s.default_pin_mode);
    if (WriteMgrConfig(mgr_config_path(), s) != 0) {
        notice_box(dlg, lang_text(lang::S_Save_No), MB_ICONINFORMATION);
    } else {
        if (language_chosen) WriteProductRegistryValue(names::product_registry_key, csp);
        notice_box(dlg, lang_text(lang::S_Save_Yes), MB_ICONINFORMATION);
    }
    EndDialog(dlg, IDOK);
}

INT_PTR CALLBACK project_config_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    auto* f = static_cast<project_config_form*>(GetPropW(h, kFormProp));
    switch (m) {
        case WM_INITDIALOG: {
            f = reinterpret_cast<project_config_form*>(l);
            f->dlg = h;
            SetPropW(h, kFormProp, f);
            SendDlgItemMessageW(h, IDC_CFG_URL, EM_LIMITTEXT, 64, 0);
            if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(h, IDC_CFG_CERT_DAYS))) {
                if (e->spin) {
                    e->spin->value.AllowKeyEdit = true;
                    e->set_min(0);
                    e->set_max(365);
                    e->set_check_range(true);
                    e->set_integers_only(true);
                }
            }
            if (ctl::push_button* b = ctl::button_of(GetDlgItem(h, IDCANCEL))) b->Cancel = true;
            CheckRadioButton(h, IDC_CFG_BROWSER_DEFAULT, IDC_CFG_BROWSER_IE, IDC_CFG_BROWSER_DEFAULT);
            place_control(h, IDC_CFG_GROUP, 10, 8, 400, 232);
            place_control(h, IDC_CFG_OPEN_URL, 24, 30, 370, 22);
            place_control(h, IDC_CFG_URL, 44, 56, 340, 23);
            place_control(h, IDC_CFG_BROWSER_DEFAULT, 44, 86, 170, 22);
            place_control(h, IDC_CFG_BROWSER_IE, 220, 86, 180, 22);
            place_control(h, IDC_CFG_CERT_TIPS, 24, 116, 200, 22);
            place_control(h, IDC_CFG_CERT_DAYS, 230, 115, 80, 23);
            place_control(h, IDC_CFG_DAYS_NOTE, 44, 142, 360, 20);
            place_control(h, IDC_CFG_LANGUAGE_LABEL, 24, 174, 90, 20);
            place_control(h, IDC_CFG_LANGUAGE, 120, 170, 200, 200);
            place_control(h, IDC_CFG_DEFAULT_PIN, 24, 206, 380, 22);
            place_control(h, IDC_CFG_SAVE, 226, 250, 88, 28);
            place_control(h, IDCANCEL, 322, 250, 88, 28);
            SetWindowPos(GetDlgItem(h, IDC_CFG_GROUP), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            size_centred(h, 428, 324);
            f->Localize();
            f->LoadSettings();
            test_switch::log("settings dialog shown");
            return TRUE;
        }
        case WM_COMMAND: {
            if (!f) return FALSE;
            int id = LOWORD(w), code = HIWORD(w);
            if (id == IDC_CFG_OPEN_URL && code == BN_CLICKED) {
                f->enable_url();
                return TRUE;
            }
            if (id == IDC_CFG_CERT_TIPS && code == BN_CLICKED) {
                f->enable_days();
                return TRUE;
            }
            if (id == IDC_CFG_SAVE && code == BN_CLICKED) {
                f->btnSaveClick();
                return TRUE;
            }
            if (id == IDCANCEL) {
                EndDialog(h, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        }
        case WM_DESTROY:
            if (f && f->font) DeleteObject(f->font);
            if (f) f->font = nullptr;
            RemovePropW(h, kFormProp);
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

int RunProjectConfigForm(HWND owner) {
    if (HWND open = FindWindowW(names::config_form_class, nullptr)) {
        test_switch::log("settings dialog open: brought to front");
        SetForegroundWindow(open);
        return IDCANCEL;
    }
    if (!ctl::register_controls(GetModuleHandleW(nullptr)) || !register_dialog_class(names::config_form_class))
        return IDCANCEL;
    project_config_form f;
    INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROJECTCONFIG), owner,
                                project_config_proc, reinterpret_cast<LPARAM>(&f));
    test_switch::logf("settings dialog result=%d", static_cast<int>(r));
    return static_cast<int>(r);
}
}  // namespace mon
