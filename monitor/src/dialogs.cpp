// The PIN dialog (TUPinSetForm: change PIN, and the default-PIN prompt),
// the advanced settings dialog (TProjectConfigForm) and the main form's
// flows that run them.
#include "dialogs.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "controls.h"
#include "dialogs_res.h"
#include "language_strings.h"
#include "main_form.h"
#include "mgr_wrappers.h"
#include "pin_policy.h"
#include "project_base.h"
#include "test_switch.h"
#include "win_text.h"

namespace mon {

namespace {

const wchar_t kPinFormClass[] = L"TUPinSetForm";
const wchar_t kConfigFormClass[] = L"TProjectConfigForm";
constexpr int kDefaultPinPrompt = 100;
constexpr int kPinEditLimit = 24;

bool g_pin_prompt_busy = false;

std::wstring t(lang::id k) { return to_wide(lang::text(k)); }

int box(HWND owner, const std::wstring& text, UINT icon) {
    return test_switch::message_box(owner, text, t(lang::P_MSGTitle), icon);
}

// Overwrites a string's characters before it is dropped.
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

std::wstring window_text(HWND h) {
    int n = GetWindowTextLengthW(h);
    if (n <= 0) return std::wstring();
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    int got = GetWindowTextW(h, &s[0], n + 1);
    s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return s;
}

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

// Printable ASCII is the 8-bit text itself.
std::string ascii(const std::wstring& s) {
    std::string out;
    out.reserve(s.size());
    for (wchar_t c : s) out += pin_char_allowed(static_cast<char16_t>(c)) ? static_cast<char>(c) : '?';
    return out;
}

HFONT make_form_font() {
    std::wstring face = t(lang::FontName);
    if (face.empty() || face == L" ") return nullptr;
    HDC dc = GetDC(nullptr);
    int height = -MulDiv(lang::font_size(), GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(nullptr, dc);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, face.c_str());
}

BOOL CALLBACK set_font_proc(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
    return TRUE;
}

void set_form_font(HWND dlg, HFONT font) {
    HFONT use = font ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageW(dlg, WM_SETFONT, reinterpret_cast<WPARAM>(use), FALSE);
    EnumChildWindows(dlg, set_font_proc, reinterpret_cast<LPARAM>(use));
}

void place(HWND dlg, int id, int x, int y, int w, int h) {
    if (HWND c = GetDlgItem(dlg, id)) MoveWindow(c, x, y, w, h, FALSE);
}

void show(HWND dlg, int id, bool visible) {
    if (HWND c = GetDlgItem(dlg, id)) ShowWindow(c, visible ? SW_SHOW : SW_HIDE);
}

void set_text(HWND dlg, int id, const std::wstring& s) { SetDlgItemTextW(dlg, id, s.c_str()); }

// Sets the outer size and centres the window on the screen.
void size_centred(HWND dlg, int w, int h) {
    int sx = GetSystemMetrics(SM_CXSCREEN), sy = GetSystemMetrics(SM_CYSCREEN);
    SetWindowPos(dlg, nullptr, (sx - w) / 2, (sy - h) / 2, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool register_form_class(const wchar_t* name) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    HINSTANCE inst = GetModuleHandleW(nullptr);
    if (GetClassInfoExW(inst, name, &wc)) return true;
    wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefDlgProcW;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hIcon = static_cast<HICON>(LoadImageW(inst, L"MAINICON", IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    wc.lpszClassName = name;
    return RegisterClassExW(&wc) != 0;
}

bool prepare_classes() {
    static bool done = false;
    if (done) return true;
    HINSTANCE inst = GetModuleHandleW(nullptr);
    done = ctl::register_controls(inst) && register_form_class(kPinFormClass) &&
           register_form_class(kConfigFormClass);
    return done;
}

// ------------------------------------------------------------ TUPinSetForm

struct upin_set_form {
    int max_pin_len = 32;
    int min_pin_len = 6;
    int mode = 0;
    bool default_pin_checked = true;  // cbDefaultPIN in the prompt
    // On OK: the old and the new PIN (printable ASCII, as typed).
    std::string old_pin, new_pin;

    HWND dlg = nullptr;
    HFONT font = nullptr;
    HBRUSH white = nullptr;
    RECT panel1 = {0, 0, 0, 0};

    ~upin_set_form() {
        wipe(old_pin);
        wipe(new_pin);
    }

    int run(HWND owner);
    void FormCreate();
    void FormShow();
    void update_counter(int edit_id, int label_id, bool show_count);
    void update_ok();
    void btnOKClick();
    void finish(int result);
};

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
LRESULT CALLBACK pin_key_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    auto base = reinterpret_cast<WNDPROC>(GetPropW(h, kBaseProcProp));
    if (!base) return DefWindowProcW(h, m, w, l);
    int id = GetDlgCtrlID(h);
    bool is_edit = id == IDC_EDTUPIN || id == IDC_EDTNEWUPIN1 || id == IDC_EDTNEWUPIN2;
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
                if (id == IDC_EDTNEWUPIN2) {
                    if (w == VK_RETURN) {
                        if (pin_enter_clicks(static_cast<size_t>(text_length(dlg, IDC_EDTUPIN)),
                                             static_cast<size_t>(text_length(dlg, IDC_EDTNEWUPIN1))))
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
                if (w >= 0x20 && !pin_char_allowed(static_cast<char16_t>(w))) {
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
                                if (pin_char_allowed(static_cast<char16_t>(*p))) text += *p;
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

void claim_keys(HWND c) {
    if (!c) return;
    LONG_PTR base = GetWindowLongPtrW(c, GWLP_WNDPROC);
    SetPropW(c, kBaseProcProp, reinterpret_cast<HANDLE>(base));
    SetWindowLongPtrW(c, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pin_key_proc));
}

void upin_set_form::FormCreate() {
    // Topmost, without moving, sizing or activating.
    SetWindowPos(dlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    for (int id : {IDC_EDTUPIN, IDC_EDTNEWUPIN1, IDC_EDTNEWUPIN2}) {
        SendDlgItemMessageW(dlg, id, EM_LIMITTEXT, kPinEditLimit, 0);
        claim_keys(GetDlgItem(dlg, id));
    }
    claim_keys(GetDlgItem(dlg, IDC_BTNOK));
    claim_keys(GetDlgItem(dlg, IDCANCEL));
    if (ctl::push_button* b = ctl::button_of(GetDlgItem(dlg, IDCANCEL))) b->Cancel = true;
    if (ctl::push_button* b = ctl::button_of(GetDlgItem(dlg, IDC_BTN1))) b->ModalResult = IDOK;
    if (ctl::push_button* b = ctl::button_of(GetDlgItem(dlg, IDC_BTN2))) b->ModalResult = IDCANCEL;
    // The group box stays behind the controls it holds.
    SetWindowPos(GetDlgItem(dlg, IDC_RZGROUPBOX1), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void upin_set_form::FormShow() {
    font = make_form_font();
    set_form_font(dlg, font);
    SetWindowTextW(dlg, t(lang::Main_Form_btn_SetUPIN).c_str());
    set_text(dlg, IDC_LABEL1, t(lang::UPINSet_Form_OldPIN));
    set_text(dlg, IDC_LABEL2, t(lang::UPINSet_Form_NewPIN1));
    set_text(dlg, IDC_LABEL3, t(lang::UPINSet_Form_NewPIN2));
    set_text(dlg, IDC_BTNOK, t(lang::C_Btn_Confirm));
    set_text(dlg, IDCANCEL, t(lang::C_Btn_Cancel));
    int width = 380, height = 230;
    // The change layout (the group box at 11, 8).
    place(dlg, IDC_RZGROUPBOX1, 11, 8, 350, 138);
    const int rows[3][3] = {{IDC_LABEL1, IDC_EDTUPIN, IDC_LABEL4},
                            {IDC_LABEL2, IDC_EDTNEWUPIN1, IDC_LABEL5},
                            {IDC_LABEL3, IDC_EDTNEWUPIN2, IDC_LABEL6}};
    for (int r = 0; r < 3; ++r) {
        int y = 34 + r * 36;
        place(dlg, rows[r][0], 26, y + 3, 110, 20);
        place(dlg, rows[r][1], 140, y, 170, 23);
        place(dlg, rows[r][2], 318, y + 3, 34, 20);
        set_text(dlg, rows[r][2], L"");
    }
    place(dlg, IDC_BTNOK, 176, 156, 88, 28);
    place(dlg, IDCANCEL, 272, 156, 88, 28);
    EnableWindow(GetDlgItem(dlg, IDC_BTNOK), FALSE);

    if (mode == kDefaultPinPrompt) {
        for (int id : {IDC_RZGROUPBOX1, IDC_LABEL1, IDC_LABEL2, IDC_LABEL3, IDC_LABEL4, IDC_LABEL5, IDC_LABEL6,
                       IDC_EDTUPIN, IDC_EDTNEWUPIN1, IDC_EDTNEWUPIN2, IDC_BTNOK, IDCANCEL})
            show(dlg, id, false);
        SetWindowTextW(dlg, t(lang::P_MSGTitle).c_str());
        height = 180;
        set_text(dlg, IDC_BTN1, t(lang::Btn_Yes));
        set_text(dlg, IDC_BTN2, t(lang::Btn_No));
        std::wstring msg = t(lang::K_DefaultUPINInfo);
        set_text(dlg, IDC_LMSG, msg);
        // The label's width as its text needs it.
        HDC dc = GetDC(dlg);
        HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
        SIZE ext = {0, 0};
        GetTextExtentPoint32W(dc, msg.c_str(), static_cast<int>(msg.size()), &ext);
        SelectObject(dc, old);
        ReleaseDC(dlg, dc);
        int label_w = static_cast<int>(ext.cx);
        if (label_w > 280) width = label_w + 100;
        set_text(dlg, IDC_CBDEFAULTPIN, t(lang::P_DefaultPIN_Info));
        CheckDlgButton(dlg, IDC_CBDEFAULTPIN, default_pin_checked ? BST_CHECKED : BST_UNCHECKED);
        HICON q = LoadIconW(nullptr, MAKEINTRESOURCEW(32514));  // IDI_QUESTION
        SendDlgItemMessageW(dlg, IDC_IMAGE1, STM_SETICON, reinterpret_cast<WPARAM>(q), 0);
        size_centred(dlg, width, height);
        RECT c;
        GetClientRect(dlg, &c);
        // Panel2 fills the client area; Panel1 (white) holds the text.
        panel1 = {0, 0, c.right, c.bottom - 48};
        place(dlg, IDC_IMAGE1, 20, 22, 32, 32);
        place(dlg, IDC_LMSG, 66, 26, std::max(label_w + 8, 200), std::max(20, static_cast<int>(ext.cy) + 4));
        place(dlg, IDC_CBDEFAULTPIN, 66, 60, std::min(static_cast<int>(c.right) - 76, 300), 22);
        place(dlg, IDC_BTN1, c.right - 196, c.bottom - 38, 88, 28);
        place(dlg, IDC_BTN2, c.right - 100, c.bottom - 38, 88, 28);
        for (int id : {IDC_IMAGE1, IDC_LMSG, IDC_CBDEFAULTPIN, IDC_BTN1, IDC_BTN2}) show(dlg, id, true);
        white = CreateSolidBrush(RGB(255, 255, 255));
        SetFocus(GetDlgItem(dlg, IDC_BTN1));
    } else {
        size_centred(dlg, width, height);
        SetFocus(GetDlgItem(dlg, IDC_EDTUPIN));
    }
    InvalidateRect(dlg, nullptr, TRUE);
    test_switch::logf("pin dialog shown mode=%d width=%d height=%d", mode, width, height);
}

void upin_set_form::update_counter(int edit_id, int label_id, bool show_count) {
    std::wstring s = show_count ? std::to_wstring(text_length(dlg, edit_id)) : std::wstring();
    set_text(dlg, label_id, s);
}

void upin_set_form::update_ok() {
    bool on = pin_ok_enabled(static_cast<size_t>(text_length(dlg, IDC_EDTUPIN)),
                             static_cast<size_t>(text_length(dlg, IDC_EDTNEWUPIN1)),
                             static_cast<size_t>(text_length(dlg, IDC_EDTNEWUPIN2)));
    EnableWindow(GetDlgItem(dlg, IDC_BTNOK), on ? TRUE : FALSE);
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
    std::wstring np1 = window_text(GetDlgItem(dlg, IDC_EDTNEWUPIN1));
    std::wstring np2 = window_text(GetDlgItem(dlg, IDC_EDTNEWUPIN2));
    bool equal = np1 == np2;
    wipe(np1);
    if (!equal) {
        wipe(np2);
        box(dlg, t(lang::S_PIN_equal), MB_ICONQUESTION);
        return;
    }
    std::string confirm = ascii(np2);
    std::string policy = ReadPinPolicy(0);
    if (!policy.empty()) {
        int r = CheckPinPolicy(confirm, 1, policy);
        test_switch::logf("pin policy result=%d", r);
        if (r != 0) {
            wipe(confirm);
            wipe(np2);
            box(dlg, L"Password strength does not match", MB_ICONINFORMATION);
            return;
        }
    }
    int len = static_cast<int>(np2.size());
    wipe(confirm);
    wipe(np2);
    if (len < min_pin_len || len > max_pin_len) {
        box(dlg, to_wide(format_length_range(lang::text(lang::UPIN_E2), min_pin_len, max_pin_len)),
            MB_ICONINFORMATION);
        return;
    }
    finish(IDOK);
}

void upin_set_form::finish(int result) {
    if (result == IDOK) {
        std::wstring o = window_text(GetDlgItem(dlg, IDC_EDTUPIN));
        std::wstring n = window_text(GetDlgItem(dlg, IDC_EDTNEWUPIN1));
        old_pin = ascii(o);
        new_pin = ascii(n);
        wipe(o);
        wipe(n);
    }
    if (mode == kDefaultPinPrompt)
        default_pin_checked = IsDlgButtonChecked(dlg, IDC_CBDEFAULTPIN) == BST_CHECKED;
    for (int id : {IDC_EDTUPIN, IDC_EDTNEWUPIN1, IDC_EDTNEWUPIN2}) wipe_edit(GetDlgItem(dlg, id));
    EndDialog(dlg, result);
}

INT_PTR CALLBACK upin_set_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    auto* f = static_cast<upin_set_form*>(GetPropW(h, kFormProp));
    switch (m) {
        case WM_INITDIALOG:
            f = reinterpret_cast<upin_set_form*>(l);
            f->dlg = h;
            SetPropW(h, kFormProp, f);
            f->FormCreate();
            f->FormShow();
            return FALSE;  // the focus is set
        case WM_COMMAND: {
            if (!f) return FALSE;
            int id = LOWORD(w), code = HIWORD(w);
            static const int edits[3][2] = {
                {IDC_EDTUPIN, IDC_LABEL4}, {IDC_EDTNEWUPIN1, IDC_LABEL5}, {IDC_EDTNEWUPIN2, IDC_LABEL6}};
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
            if (id == IDC_BTNOK && code == BN_CLICKED) {
                if (IsWindowEnabled(GetDlgItem(h, IDC_BTNOK))) f->btnOKClick();
                return TRUE;
            }
            if (id == IDC_BTN1 && code == BN_CLICKED) { f->finish(IDOK); return TRUE; }
            if (id == IDOK) {
                // Enter outside the claiming controls: the prompt's Yes only.
                if (f->mode == kDefaultPinPrompt) f->finish(IDOK);
                return TRUE;
            }
            if (id == IDCANCEL || id == IDC_BTN2) { f->finish(IDCANCEL); return TRUE; }
            return FALSE;
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            if (f && f->white && f->mode == kDefaultPinPrompt) {
                int id = GetDlgCtrlID(reinterpret_cast<HWND>(l));
                if (id == IDC_LMSG || id == IDC_IMAGE1 || id == IDC_CBDEFAULTPIN) {
                    SetBkColor(reinterpret_cast<HDC>(w), RGB(255, 255, 255));
                    return reinterpret_cast<INT_PTR>(f->white);
                }
            }
            return FALSE;
        case WM_ERASEBKGND:
            if (f && f->white && f->mode == kDefaultPinPrompt) {
                RECT c;
                GetClientRect(h, &c);
                FillRect(reinterpret_cast<HDC>(w), &c, GetSysColorBrush(COLOR_BTNFACE));
                FillRect(reinterpret_cast<HDC>(w), &f->panel1, f->white);
                SetWindowLongPtrW(h, DWLP_MSGRESULT, 1);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            if (f) {
                if (f->font) DeleteObject(f->font);
                if (f->white) DeleteObject(f->white);
                f->font = nullptr;
                f->white = nullptr;
            }
            RemovePropW(h, kFormProp);
            return FALSE;
        default:
            return FALSE;
    }
}

int upin_set_form::run(HWND owner) {
    if (!prepare_classes()) return -1;
    INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPINSET), owner, upin_set_proc,
                                reinterpret_cast<LPARAM>(this));
    return static_cast<int>(r);
}

// ChangeUserPin's steps; 1 when the old PIN was refused.
int change_user_pin(HWND owner) {
    if (HWND open = FindWindowW(kPinFormClass, nullptr)) {
        test_switch::log("pin dialog open: brought to front");
        SetForegroundWindow(open);
        return 0;
    }
    std::string old_pin, new_pin;
    {
        upin_set_form f;
        f.max_pin_len = g_token_records[0].max_pin_len;
        f.min_pin_len = g_token_records[0].min_pin_len;
        int r = f.run(owner);
        test_switch::logf("pin dialog result=%d", r);
        if (r != IDOK) return 0;
        old_pin.swap(f.old_pin);
        new_pin.swap(f.new_pin);
    }
    int retries = 0;
    if (token_login(0, old_pin.c_str(), &retries) != 0) {
        wipe(old_pin);
        wipe(new_pin);
        box(owner, to_wide(format_first_int(lang::text(lang::K_OldCheck), retries)), MB_ICONINFORMATION);
        return 1;
    }
    token_logout(0);
    int r = token_change_upin(0, old_pin.c_str(), new_pin.c_str());
    wipe(old_pin);
    wipe(new_pin);
    if (r != 0)
        box(owner, t(lang::K_Set_No) + t(lang::K_ErrorCODE_Str) + std::to_wstring(r), MB_ICONINFORMATION);
    else
        box(owner, t(lang::K_Set_Yes), MB_ICONINFORMATION);
    return 0;
}

struct busy_scope {
    busy_scope() { g_pin_prompt_busy = true; }
    ~busy_scope() { g_pin_prompt_busy = false; }
    busy_scope(const busy_scope&) = delete;
    busy_scope& operator=(const busy_scope&) = delete;
};

// ------------------------------------------------------ TProjectConfigForm

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

std::wstring language_list_path() { return program_folder() + L"Languages\\LanguageInfo.ini"; }
std::wstring config_path() { return GetConfigDir() + L"MgrConfig.ini"; }

void project_config_form::Localize() {
    font = make_form_font();
    set_form_font(dlg, font);
    SetWindowTextW(dlg, t(lang::Main_Form_PopupMenu_Advanced).c_str());
    set_text(dlg, IDC_GROUPBOX1, t(lang::Config_Form_GroupBox));
    set_text(dlg, IDC_CBOPENURL, t(lang::Config_Form_CBOpenURL) + L":");
    set_text(dlg, IDC_RB1, t(lang::Config_Form_RBtn1));
    set_text(dlg, IDC_RB2, t(lang::Config_Form_RBtn2));
    set_text(dlg, IDC_CBCERTDAY, t(lang::Config_Form_CBCertday) + L":");
    set_text(dlg, IDC_CFG_LABEL1, t(lang::Config_Form_Lable));
    set_text(dlg, IDC_BTNSAVE, t(lang::Config_Form_btnSave));
    set_text(dlg, IDCANCEL, t(lang::C_Btn_Cancel));
    set_text(dlg, IDC_CFG_LABEL2, t(lang::Config_Form_Language));
    set_text(dlg, IDC_CFG_CBDEFAULTPIN, t(lang::Config_Form_DefaultPIN));
}

void project_config_form::enable_url() {
    BOOL on = IsDlgButtonChecked(dlg, IDC_CBOPENURL) == BST_CHECKED;
    for (int id : {IDC_EDTURL, IDC_RB1, IDC_RB2}) EnableWindow(GetDlgItem(dlg, id), on);
}

void project_config_form::enable_days() {
    EnableWindow(GetDlgItem(dlg, IDC_EDTCERTDAY), IsDlgButtonChecked(dlg, IDC_CBCERTDAY) == BST_CHECKED);
}

void project_config_form::LoadSettings() {
    MonitorSettings s = MonitorSettings();
    s.language_id = 0;
    if (ReadMgrConfig(config_path(), s) == 0) {
        CheckDlgButton(dlg, IDC_CBOPENURL, s.url_open_mode ? BST_CHECKED : BST_UNCHECKED);
        SetDlgItemTextW(dlg, IDC_EDTURL, from_ansi(s.url).c_str());
        CheckRadioButton(dlg, IDC_RB1, IDC_RB2, s.browser_mode ? IDC_RB2 : IDC_RB1);
        CheckDlgButton(dlg, IDC_CBCERTDAY, s.cert_tips ? BST_CHECKED : BST_UNCHECKED);
        if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(dlg, IDC_EDTCERTDAY))) e->set_integer_value(s.cert_day);
    }
    configured_language = s.language_id;
    enable_url();
    enable_days();
    SendDlgItemMessageW(dlg, IDC_CBLANGUAGEID, CB_RESETCONTENT, 0, 0);
    std::vector<language_entry> list;
    ReadLanguageList(language_list_path(), list);
    int selected = -1;
    for (size_t i = 0; i < list.size(); ++i) {
        SendDlgItemMessageW(dlg, IDC_CBLANGUAGEID, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(list[i].name)));
        if (is_decimal(list[i].id) && parse_decimal(list[i].id, 0) == s.language_id)
            selected = static_cast<int>(i);
    }
    SendDlgItemMessageW(dlg, IDC_CBLANGUAGEID, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    CheckDlgButton(dlg, IDC_CFG_CBDEFAULTPIN, s.default_pin_mode ? BST_CHECKED : BST_UNCHECKED);
    int days = 0;
    if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(dlg, IDC_EDTCERTDAY))) days = e->integer_value();
    test_switch::logf("settings dialog loaded open_url=%d url=[%s] rb2=%d url_enabled=%d tips=%d days=%d "
                      "days_enabled=%d language=%d selected=%d entries=%d default_pin=%d",
                      IsDlgButtonChecked(dlg, IDC_CBOPENURL) == BST_CHECKED ? 1 : 0,
                      test_switch::utf8(window_text(GetDlgItem(dlg, IDC_EDTURL))).c_str(),
                      IsDlgButtonChecked(dlg, IDC_RB2) == BST_CHECKED ? 1 : 0,
                      IsWindowEnabled(GetDlgItem(dlg, IDC_EDTURL)) ? 1 : 0,
                      IsDlgButtonChecked(dlg, IDC_CBCERTDAY) == BST_CHECKED ? 1 : 0, days,
                      IsWindowEnabled(GetDlgItem(dlg, IDC_EDTCERTDAY)) ? 1 : 0, s.language_id, selected,
                      static_cast<int>(list.size()), IsDlgButtonChecked(dlg, IDC_CFG_CBDEFAULTPIN) == BST_CHECKED ? 1 : 0);
}

std::wstring trim_blanks(const std::wstring& s) {
    size_t a = 0, b = s.size();
    while (a < b && s[a] <= L' ') ++a;
    while (b > a && s[b - 1] <= L' ') --b;
    return s.substr(a, b - a);
}

void project_config_form::btnSaveClick() {
    bool open_url = IsDlgButtonChecked(dlg, IDC_CBOPENURL) == BST_CHECKED;
    HWND url_edit = GetDlgItem(dlg, IDC_EDTURL);
    if (open_url && GetWindowTextLengthW(url_edit) == 0) {
        box(dlg, t(lang::S_URLNull), MB_ICONINFORMATION);
        SetFocus(url_edit);
        return;
    }
    if (!open_url) SetWindowTextW(url_edit, L"");

    // Saving keeps the configured language when none is selected.
    MonitorSettings keep = default_settings();
    if (ReadMgrConfig(config_path(), keep) != 0) keep = g_settings;

    MonitorSettings s;
    s.url_open_mode = open_url ? 1 : 0;
    s.url = to_ansi(trim_blanks(window_text(url_edit)));
    s.browser_mode = IsDlgButtonChecked(dlg, IDC_RB2) == BST_CHECKED ? 1 : 0;
    s.cert_tips = IsDlgButtonChecked(dlg, IDC_CBCERTDAY) == BST_CHECKED ? 1 : 0;
    int days = 0;
    if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(dlg, IDC_EDTCERTDAY))) days = e->integer_value();
    s.cert_day = std::min(365, std::max(0, days));
    s.default_pin_mode = IsDlgButtonChecked(dlg, IDC_CFG_CBDEFAULTPIN) == BST_CHECKED ? 1 : 0;

    std::vector<language_entry> list;
    ReadLanguageList(language_list_path(), list);
    LRESULT sel = SendDlgItemMessageW(dlg, IDC_CBLANGUAGEID, CB_GETCURSEL, 0, 0);
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
    if (WriteMgrConfig(config_path(), s) != 0) {
        box(dlg, t(lang::S_Save_No), MB_ICONINFORMATION);
    } else {
        if (language_chosen) WriteProductRegistryValue(L"Software\\Tarnely", csp);
        box(dlg, t(lang::S_Save_Yes), MB_ICONINFORMATION);
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
            SendDlgItemMessageW(h, IDC_EDTURL, EM_LIMITTEXT, 64, 0);
            if (ctl::edit_box* e = ctl::edit_of(GetDlgItem(h, IDC_EDTCERTDAY))) {
                if (e->spin) {
                    e->spin->value.AllowKeyEdit = true;
                    e->spin->value.set_min(0);
                    e->spin->value.set_max(365);
                    e->spin->value.set_check_range(true);
                    e->spin->value.set_integers_only(true);
                }
            }
            if (ctl::push_button* b = ctl::button_of(GetDlgItem(h, IDCANCEL))) b->Cancel = true;
            CheckRadioButton(h, IDC_RB1, IDC_RB2, IDC_RB1);
            place(h, IDC_GROUPBOX1, 10, 8, 400, 232);
            place(h, IDC_CBOPENURL, 24, 30, 370, 22);
            place(h, IDC_EDTURL, 44, 56, 340, 23);
            place(h, IDC_RB1, 44, 86, 170, 22);
            place(h, IDC_RB2, 220, 86, 180, 22);
            place(h, IDC_CBCERTDAY, 24, 116, 200, 22);
            place(h, IDC_EDTCERTDAY, 230, 115, 80, 23);
            place(h, IDC_CFG_LABEL1, 44, 142, 360, 20);
            place(h, IDC_CFG_LABEL2, 24, 174, 90, 20);
            place(h, IDC_CBLANGUAGEID, 120, 170, 200, 200);
            place(h, IDC_CFG_CBDEFAULTPIN, 24, 206, 380, 22);
            place(h, IDC_BTNSAVE, 226, 250, 88, 28);
            place(h, IDCANCEL, 322, 250, 88, 28);
            SetWindowPos(GetDlgItem(h, IDC_GROUPBOX1), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            size_centred(h, 428, 324);
            f->Localize();
            f->LoadSettings();
            test_switch::log("settings dialog shown");
            return TRUE;
        }
        case WM_COMMAND: {
            if (!f) return FALSE;
            int id = LOWORD(w), code = HIWORD(w);
            if (id == IDC_CBOPENURL && code == BN_CLICKED) { f->enable_url(); return TRUE; }
            if (id == IDC_CBCERTDAY && code == BN_CLICKED) { f->enable_days(); return TRUE; }
            if (id == IDC_BTNSAVE && code == BN_CLICKED) { f->btnSaveClick(); return TRUE; }
            if (id == IDCANCEL) { EndDialog(h, IDCANCEL); return TRUE; }
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

void CheckDefaultPin(main_form& form) {
    if (g_settings.default_pin_mode != 1) return;
    PinStateRecord st = {};
    if (ReadPinState(0, st) != 0) return;
    HWND owner = form.window();
    if (st.locked == 1) {
        box(owner, t(lang::K_Dead), MB_ICONINFORMATION);
        return;
    }
    if (st.to_be_changed != 1) return;
    busy_scope busy;
    int result;
    bool again;
    {
        upin_set_form prompt;
        prompt.mode = kDefaultPinPrompt;
        prompt.default_pin_checked = true;
        prompt.max_pin_len = g_token_records[0].max_pin_len;
        prompt.min_pin_len = g_token_records[0].min_pin_len;
        result = prompt.run(owner);
        again = prompt.default_pin_checked;
    }
    test_switch::logf("default pin prompt result=%d again=%d", result, again ? 1 : 0);
    g_settings.default_pin_mode = again ? 1 : 0;
    WriteMgrConfig(GetConfigDir() + L"MgrConfig.ini", g_settings);
    if (result != IDOK) return;
    // Bounded: the token locks the PIN after its retries.
    for (int round = 0; round < 64; ++round) {
        if (change_user_pin(owner) == 0) return;
        PinStateRecord now = {};
        if (ReadPinState(0, now) != 0) continue;
        if (now.locked == 1) {
            box(owner, t(lang::K_Dead), MB_ICONINFORMATION);
            return;
        }
        if (now.to_be_changed != 1) return;
    }
}

void ChangeUserPin(main_form& form) { change_user_pin(form.window()); }

bool PinPromptBusy() { return g_pin_prompt_busy; }

int RunProjectConfigForm(HWND owner) {
    if (HWND open = FindWindowW(kConfigFormClass, nullptr)) {
        test_switch::log("settings dialog open: brought to front");
        SetForegroundWindow(open);
        return IDCANCEL;
    }
    if (!prepare_classes()) return IDCANCEL;
    project_config_form f;
    INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROJECTCONFIG), owner,
                                project_config_proc, reinterpret_cast<LPARAM>(&f));
    test_switch::logf("settings dialog result=%d", static_cast<int>(r));
    return static_cast<int>(r);
}

}  // namespace mon
