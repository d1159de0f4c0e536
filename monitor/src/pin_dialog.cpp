// The PIN dialog: its controls, keys, counters and the checks of OK.
#include "pin_dialog.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "app_names.h"
#include "controls.h"
#include "dialogs_res.h"
#include "language_strings.h"
#include "mgr_wrappers.h"
#include "pin_policy.h"
#include "test_switch.h"
#include "ui_helpers.h"
#include "win_text.h"

namespace mon {

void wipe(std::wstring& s) {
    volatile wchar_t* p = s.empty() ? nullptr : &s[0];
    for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

void wipe(std::string& s) {
    volatile char* p = s.empty() ? nullptr : &s[0];
    for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

bool pin_char_accepted(wchar_t c) {
    if (!pin_char_typable(static_cast<char16_t>(c))) return false;
    std::string bytes;
    bool ok = to_code_page(std::wstring(1, c), CP_ACP, bytes);
    wipe(bytes);
    return ok;
}

upin_set_form::~upin_set_form() {
    wipe(old_pin);
    wipe(new_pin);
}

namespace {

constexpr int kPinEditLimit = 24;
// The policy's refusal, shown as it stands (no language key carries it).
const wchar_t kStrengthRefused[] = L"Password strength does not match";

// An edit's text written over with blanks of the same length, then emptied,
// so the edit's own buffer no longer holds it.
void wipe_edit(HWND h) {
    int n = GetWindowTextLengthW(h);
    if (n > 0) {
        std::wstring blanks(static_cast<size_t>(n), L' ');
        SetWindowTextW(h, blanks.c_str());
    }
    SetWindowTextW(h, L"");
}

const wchar_t kFormProp[] = L"SolvantexPinForm";

upin_set_form* form_of_child(HWND child) {
    HWND dlg = GetParent(child);
    return dlg ? static_cast<upin_set_form*>(GetPropW(dlg, kFormProp)) : nullptr;
}

int text_length(HWND dlg, int id) {
    HWND c = GetDlgItem(dlg, id);
    return c ? GetWindowTextLengthW(c) : 0;
}

const wchar_t kBaseProcProp[] = L"SolvantexBaseProc";

// The keys of the PIN edits and the change layout's buttons: Enter and Down
// move the focus on (in the confirmation, Enter clicks OK when the old and
// the new PIN are long enough); the edits take printable ASCII only.
}  // namespace

LRESULT CALLBACK pin_key_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    auto base = reinterpret_cast<WNDPROC>(GetPropW(h, kBaseProcProp));
    if (!base) return DefWindowProcW(h, m, w, l);
    int id = GetDlgCtrlID(h);
    bool is_edit = id == IDC_PIN_OLD_EDIT || id == IDC_PIN_NEW_EDIT || id == IDC_PIN_CONFIRM_EDIT;
    switch (m) {
        case WM_GETDLGCODE: {
            LRESULT r = CallWindowProcW(base, h, m, w, l);
            const MSG* msg = reinterpret_cast<const MSG*>(l);
            if (msg && msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_DOWN))
                r |= DLGC_WANTMESSAGE;
            return r;
        }
        case WM_KEYDOWN:
            if (w == VK_RETURN || w == VK_DOWN) {
                HWND dlg = GetParent(h);
                if (id == IDC_PIN_CONFIRM_EDIT) {
                    if (w == VK_RETURN) {
                        if (pin_enter_clicks(static_cast<size_t>(text_length(dlg, IDC_PIN_OLD_EDIT)),
                                             static_cast<size_t>(text_length(dlg, IDC_PIN_NEW_EDIT))))
                            if (upin_set_form* f = form_of_child(h)) f->btnOKClick();
                        return 0;
                    }
                    break;  // Down in the confirmation: the edit's own
                }
                SendMessageW(dlg, WM_NEXTDLGCTL, 0, FALSE);
                return 0;
            }
            break;
        case WM_CHAR:
            if (is_edit) {
                if (w == L'\r' || w == L'\n') return 0;
                if (w >= 0x20 && !pin_char_accepted(static_cast<wchar_t>(w))) {
                    MessageBeep(MB_OK);
                    return 0;
                }
            }
            break;
        case WM_PASTE:
            if (is_edit) {
                std::wstring text;
                if (OpenClipboard(h)) {
                    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
                        if (const wchar_t* p = static_cast<const wchar_t*>(GlobalLock(data))) {
                            for (; *p; ++p)
                                if (pin_char_accepted(*p)) text += *p;
                            GlobalUnlock(data);
                        }
                    }
                    CloseClipboard();
                }
                SendMessageW(h, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
                wipe(text);
                return 0;
            }
            break;
        case WM_NCDESTROY: {
            RemovePropW(h, kBaseProcProp);
            SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(base));
            return CallWindowProcW(base, h, m, w, l);
        }
        default:
            break;
    }
    return CallWindowProcW(base, h, m, w, l);
}

namespace {

void claim_keys(HWND c) {
    if (!c) return;
    LONG_PTR base = GetWindowLongPtrW(c, GWLP_WNDPROC);
    SetPropW(c, kBaseProcProp, reinterpret_cast<HANDLE>(base));
    SetWindowLongPtrW(c, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pin_key_proc));
}

}  // namespace

void upin_set_form::FormCreate() {
    // Topmost, without moving, sizing or activating.
    SetWindowPos(dlg_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    for (int id : {IDC_PIN_OLD_EDIT, IDC_PIN_NEW_EDIT, IDC_PIN_CONFIRM_EDIT}) {
        SendDlgItemMessageW(dlg_, id, EM_LIMITTEXT, kPinEditLimit, 0);
        SendDlgItemMessageW(dlg_, id, EM_SETPASSWORDCHAR, L'*', 0);
        claim_keys(GetDlgItem(dlg_, id));
    }
    claim_keys(GetDlgItem(dlg_, IDC_PIN_OK));
    claim_keys(GetDlgItem(dlg_, IDCANCEL));
    if (ctl::push_button* b = ctl::button_of(GetDlgItem(dlg_, IDCANCEL))) b->Cancel = true;
    if (ctl::push_button* b = ctl::button_of(GetDlgItem(dlg_, IDC_PROMPT_YES))) b->ModalResult = IDOK;
    if (ctl::push_button* b = ctl::button_of(GetDlgItem(dlg_, IDC_PROMPT_NO))) b->ModalResult = IDCANCEL;
    // The group box stays behind the controls it holds.
    SetWindowPos(GetDlgItem(dlg_, IDC_PIN_GROUP), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void upin_set_form::FormShow() {
    font_ = create_language_font();
    set_font_all(dlg_, font_);
    SetWindowTextW(dlg_, lang_text(lang::Main_Form_btn_SetUPIN).c_str());
    set_control_text(dlg_, IDC_PIN_OLD_LABEL, lang_text(lang::UPINSet_Form_OldPIN));
    set_control_text(dlg_, IDC_PIN_NEW_LABEL, lang_text(lang::UPINSet_Form_NewPIN1));
    set_control_text(dlg_, IDC_PIN_CONFIRM_LABEL, lang_text(lang::UPINSet_Form_NewPIN2));
    set_control_text(dlg_, IDC_PIN_OK, lang_text(lang::C_Btn_Confirm));
    set_control_text(dlg_, IDCANCEL, lang_text(lang::C_Btn_Cancel));
    int width = 380, height = 230;
    // The change layout (the group box at 11, 8).
    place_control(dlg_, IDC_PIN_GROUP, 11, 8, 350, 138);
    const int rows[3][3] = {{IDC_PIN_OLD_LABEL, IDC_PIN_OLD_EDIT, IDC_PIN_OLD_COUNT},
                            {IDC_PIN_NEW_LABEL, IDC_PIN_NEW_EDIT, IDC_PIN_NEW_COUNT},
                            {IDC_PIN_CONFIRM_LABEL, IDC_PIN_CONFIRM_EDIT, IDC_PIN_CONFIRM_COUNT}};
    for (int r = 0; r < 3; ++r) {
        int y = 34 + r * 36;
        place_control(dlg_, rows[r][0], 26, y + 3, 110, 20);
        place_control(dlg_, rows[r][1], 140, y, 170, 23);
        place_control(dlg_, rows[r][2], 318, y + 3, 34, 20);
        set_control_text(dlg_, rows[r][2], L"");
    }
    place_control(dlg_, IDC_PIN_OK, 176, 156, 88, 28);
    place_control(dlg_, IDCANCEL, 272, 156, 88, 28);
    EnableWindow(GetDlgItem(dlg_, IDC_PIN_OK), FALSE);

    if (mode == default_pin_prompt) {
        for (int id : {IDC_PIN_GROUP, IDC_PIN_OLD_LABEL, IDC_PIN_NEW_LABEL, IDC_PIN_CONFIRM_LABEL, IDC_PIN_OLD_COUNT,
                       IDC_PIN_NEW_COUNT, IDC_PIN_CONFIRM_COUNT, IDC_PIN_OLD_EDIT, IDC_PIN_NEW_EDIT,
                       IDC_PIN_CONFIRM_EDIT, IDC_PIN_OK, IDCANCEL})
            show_control(dlg_, id, false);
        SetWindowTextW(dlg_, lang_text(lang::P_MSGTitle).c_str());
        height = 180;
        set_control_text(dlg_, IDC_PROMPT_YES, lang_text(lang::Btn_Yes));
        set_control_text(dlg_, IDC_PROMPT_NO, lang_text(lang::Btn_No));
        std::wstring msg = lang_text(lang::K_DefaultUPINInfo);
        set_control_text(dlg_, IDC_PROMPT_TEXT, msg);
        // The label's width as its text needs it.
        HDC dc = GetDC(dlg_);
        HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
        SIZE ext = {0, 0};
        GetTextExtentPoint32W(dc, msg.c_str(), static_cast<int>(msg.size()), &ext);
        SelectObject(dc, old);
        ReleaseDC(dlg_, dc);
        int label_w = static_cast<int>(ext.cx);
        if (label_w > 280) width = label_w + 100;
        set_control_text(dlg_, IDC_PROMPT_ASK_AGAIN, lang_text(lang::P_DefaultPIN_Info));
        CheckDlgButton(dlg_, IDC_PROMPT_ASK_AGAIN, default_pin_checked ? BST_CHECKED : BST_UNCHECKED);
        HICON q = LoadIconA(nullptr, IDI_QUESTION);
        SendDlgItemMessageW(dlg_, IDC_PROMPT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(q), 0);
        size_centred(dlg_, width, height);
        RECT c;
        GetClientRect(dlg_, &c);
        // Panel2 fills the client area; Panel1 (white_) holds the text.
        panel1_ = {0, 0, c.right, c.bottom - 48};
        place_control(dlg_, IDC_PROMPT_ICON, 20, 22, 32, 32);
        place_control(dlg_, IDC_PROMPT_TEXT, 66, 26, std::max(label_w + 8, 200),
                      std::max(20, static_cast<int>(ext.cy) + 4));
        place_control(dlg_, IDC_PROMPT_ASK_AGAIN, 66, 60, std::min(static_cast<int>(c.right) - 76, 300), 22);
        place_control(dlg_, IDC_PROMPT_YES, c.right - 196, c.bottom - 38, 88, 28);
        place_control(dlg_, IDC_PROMPT_NO, c.right - 100, c.bottom - 38, 88, 28);
        for (int id : {IDC_PROMPT_ICON, IDC_PROMPT_TEXT, IDC_PROMPT_ASK_AGAIN, IDC_PROMPT_YES, IDC_PROMPT_NO})
            show_control(dlg_, id, true);
        white_ = CreateSolidBrush(RGB(255, 255, 255));
        SetFocus(GetDlgItem(dlg_, IDC_PROMPT_YES));
    } else {
        size_centred(dlg_, width, height);
        SetFocus(GetDlgItem(dlg_, IDC_PIN_OLD_EDIT));
    }
    InvalidateRect(dlg_, nullptr, TRUE);
    test_switch::logf("pin dialog shown mode=%d width=%d height=%d", mode, width, height);
}

void upin_set_form::update_counter(int edit_id, int label_id, bool show_count) {
    std::wstring s = show_count ? std::to_wstring(text_length(dlg_, edit_id)) : std::wstring();
    set_control_text(dlg_, label_id, s);
}

void upin_set_form::update_ok() {
    bool on = pin_ok_enabled(static_cast<size_t>(text_length(dlg_, IDC_PIN_OLD_EDIT)),
                             static_cast<size_t>(text_length(dlg_, IDC_PIN_NEW_EDIT)),
                             static_cast<size_t>(text_length(dlg_, IDC_PIN_CONFIRM_EDIT)));
    EnableWindow(GetDlgItem(dlg_, IDC_PIN_OK), on ? TRUE : FALSE);
    test_switch::logf("pin ok=%d", on ? 1 : 0);
}

std::string ReadPinPolicy(int index) {
    std::vector<unsigned char> buf(max_policy_length + 1, 0);
    int length = static_cast<int>(max_policy_length);
    if (token_read_file(index, "PINLimit", buf.data(), &length) != 0) return std::string();
    if (length <= 0) return std::string();
    size_t n = std::min(static_cast<size_t>(length), max_policy_length);
    const unsigned char* end = static_cast<const unsigned char*>(std::memchr(buf.data(), 0, n));
    if (end) n = static_cast<size_t>(end - buf.data());
    return std::string(reinterpret_cast<const char*>(buf.data()), n);
}

void upin_set_form::btnOKClick() {
    std::wstring np1 = window_text(GetDlgItem(dlg_, IDC_PIN_NEW_EDIT));
    std::wstring np2 = window_text(GetDlgItem(dlg_, IDC_PIN_CONFIRM_EDIT));
    bool equal = np1 == np2;
    wipe(np1);
    if (!equal) {
        wipe(np2);
        notice_box(dlg_, lang_text(lang::S_PIN_equal), MB_ICONQUESTION);
        return;
    }
    // The PINs go to the token as text of the system code page; a character
    // it cannot represent would reach the token as another.
    std::string confirm;
    std::wstring old_typed = window_text(GetDlgItem(dlg_, IDC_PIN_OLD_EDIT));
    std::string old_bytes;
    bool representable = to_code_page(np2, CP_ACP, confirm) && to_code_page(old_typed, CP_ACP, old_bytes);
    wipe(old_typed);
    wipe(old_bytes);
    if (!representable) {
        wipe(confirm);
        wipe(np2);
        test_switch::log("pin not representable in the code page");
        notice_box(dlg_, kStrengthRefused, MB_ICONINFORMATION);
        return;
    }
    std::string policy = ReadPinPolicy(0);
    if (!policy.empty()) {
        int r = CheckPinPolicy(confirm, 1, policy);
        test_switch::logf("pin policy result=%d", r);
        if (r != 0) {
            wipe(confirm);
            wipe(np2);
            notice_box(dlg_, kStrengthRefused, MB_ICONINFORMATION);
            return;
        }
    }
    // The token counts the PIN's bytes.
    int len = static_cast<int>(confirm.size());
    wipe(confirm);
    wipe(np2);
    if (len < min_pin_len || len > max_pin_len) {
        notice_box(dlg_, to_wide(format_length_range(lang::text(lang::UPIN_E2), min_pin_len, max_pin_len)),
                   MB_ICONINFORMATION);
        return;
    }
    finish(IDOK);
}

void upin_set_form::finish(int result) {
    if (result == IDOK) {
        std::wstring o = window_text(GetDlgItem(dlg_, IDC_PIN_OLD_EDIT));
        std::wstring n = window_text(GetDlgItem(dlg_, IDC_PIN_NEW_EDIT));
        if (!to_code_page(o, CP_ACP, old_pin) || !to_code_page(n, CP_ACP, new_pin)) result = IDCANCEL;
        wipe(o);
        wipe(n);
    }
    if (mode == default_pin_prompt) default_pin_checked = IsDlgButtonChecked(dlg_, IDC_PROMPT_ASK_AGAIN) == BST_CHECKED;
    for (int id : {IDC_PIN_OLD_EDIT, IDC_PIN_NEW_EDIT, IDC_PIN_CONFIRM_EDIT}) wipe_edit(GetDlgItem(dlg_, id));
    EndDialog(dlg_, result);
}

INT_PTR CALLBACK upin_set_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    auto* f = static_cast<upin_set_form*>(GetPropW(h, kFormProp));
    switch (m) {
        case WM_INITDIALOG:
            f = reinterpret_cast<upin_set_form*>(l);
            f->dlg_ = h;
            SetPropW(h, kFormProp, f);
            f->FormCreate();
            f->FormShow();
            return FALSE;  // the focus is set
        case WM_COMMAND: {
            if (!f) return FALSE;
            int id = LOWORD(w), code = HIWORD(w);
            static const int edits[3][2] = {{IDC_PIN_OLD_EDIT, IDC_PIN_OLD_COUNT},
                                            {IDC_PIN_NEW_EDIT, IDC_PIN_NEW_COUNT},
                                            {IDC_PIN_CONFIRM_EDIT, IDC_PIN_CONFIRM_COUNT}};
            for (const auto& e : edits) {
                if (id != e[0]) continue;
                if (code == EN_CHANGE || code == EN_SETFOCUS) {
                    f->update_counter(e[0], e[1], true);
                    if (code == EN_CHANGE) f->update_ok();
                } else if (code == EN_KILLFOCUS) {
                    f->update_counter(e[0], e[1], false);
                }
                return TRUE;
            }
            if (id == IDC_PIN_OK && code == BN_CLICKED) {
                if (IsWindowEnabled(GetDlgItem(h, IDC_PIN_OK))) f->btnOKClick();
                return TRUE;
            }
            if (id == IDC_PROMPT_YES && code == BN_CLICKED) {
                f->finish(IDOK);
                return TRUE;
            }
            if (id == IDOK) {
                // Enter outside the claiming controls: the prompt's Yes only.
                if (f->mode == default_pin_prompt) f->finish(IDOK);
                return TRUE;
            }
            if (id == IDCANCEL || id == IDC_PROMPT_NO) {
                f->finish(IDCANCEL);
                return TRUE;
            }
            return FALSE;
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            if (f && f->white_ && f->mode == default_pin_prompt) {
                int id = GetDlgCtrlID(reinterpret_cast<HWND>(l));
                if (id == IDC_PROMPT_TEXT || id == IDC_PROMPT_ICON || id == IDC_PROMPT_ASK_AGAIN) {
                    SetBkColor(reinterpret_cast<HDC>(w), RGB(255, 255, 255));
                    return reinterpret_cast<INT_PTR>(f->white_);
                }
            }
            return FALSE;
        case WM_ERASEBKGND:
            if (f && f->white_ && f->mode == default_pin_prompt) {
                RECT c;
                GetClientRect(h, &c);
                FillRect(reinterpret_cast<HDC>(w), &c, GetSysColorBrush(COLOR_BTNFACE));
                FillRect(reinterpret_cast<HDC>(w), &f->panel1_, f->white_);
                SetWindowLongPtrW(h, DWLP_MSGRESULT, 1);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            if (f) {
                if (f->font_) DeleteObject(f->font_);
                if (f->white_) DeleteObject(f->white_);
                f->font_ = nullptr;
                f->white_ = nullptr;
            }
            RemovePropW(h, kFormProp);
            return FALSE;
        default:
            return FALSE;
    }
}

int upin_set_form::run(HWND owner) {
    if (!ctl::register_controls(GetModuleHandleW(nullptr)) || !register_dialog_class(names::pin_form_class)) return -1;
    INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPINSET), owner, upin_set_proc,
                                reinterpret_cast<LPARAM>(this));
    return static_cast<int>(r);
}

}  // namespace mon
