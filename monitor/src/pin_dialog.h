// The PIN dialog ("TUPinSetForm") in its two layouts: the change of the user
// PIN (old PIN, new PIN, confirmation) and the default-PIN prompt.
#ifndef SOLVANTEX_MON_PIN_DIALOG_H
#define SOLVANTEX_MON_PIN_DIALOG_H

#include <windows.h>

#include <string>

namespace mon {

// The mode of the default-PIN prompt; any other mode is the PIN change.
constexpr int default_pin_prompt = 100;

class upin_set_form {
  public:
    int max_pin_len = 32;
    int min_pin_len = 6;
    int mode = 0;
    // The prompt's "ask again" box: its state before and after the run.
    bool default_pin_checked = true;
    // On OK: the old and the new PIN as 8-bit text of the system code page.
    std::string old_pin, new_pin;

    upin_set_form() = default;
    ~upin_set_form();
    upin_set_form(const upin_set_form&) = delete;
    upin_set_form& operator=(const upin_set_form&) = delete;

    // Runs the dialog modally: IDOK, IDCANCEL, or -1 when it cannot be made.
    int run(HWND owner);

  private:
    friend INT_PTR CALLBACK upin_set_proc(HWND, UINT, WPARAM, LPARAM);
    friend LRESULT CALLBACK pin_key_proc(HWND, UINT, WPARAM, LPARAM);
    void FormCreate();
    void FormShow();
    void update_counter(int edit_id, int label_id, bool show_count);
    void update_ok();
    void btnOKClick();
    void finish(int result);

    HWND dlg_ = nullptr;
    HFONT font_ = nullptr;
    HBRUSH white_ = nullptr;
    RECT panel1_ = {0, 0, 0, 0};
};

// The token's PIN policy document ("PINLimit"); empty when it cannot be read.
std::string ReadPinPolicy(int index);

// Overwrites a secret's characters before it is dropped.
void wipe(std::wstring& s);
void wipe(std::string& s);

// Whether a PIN edit takes a typed character: not a control character, and
// one the system code page can represent.
bool pin_char_accepted(wchar_t c);

}  // namespace mon

#endif
