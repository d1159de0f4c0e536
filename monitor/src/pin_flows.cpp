// The main form's PIN flows: the change the user asks for, and the prompt
// while the token still carries its default user PIN.
#include "pin_flows.h"

#include <string>

#include "app_names.h"
#include "language_strings.h"
#include "main_form.h"
#include "mgr_wrappers.h"
#include "monitor_globals.h"
#include "pin_dialog.h"
#include "pin_policy.h"
#include "project_base.h"
#include "test_switch.h"
#include "ui_helpers.h"
#include "win_text.h"

namespace mon {

namespace {

bool g_pin_prompt_busy = false;

// ChangeUserPin's steps; 1 when the old PIN was refused.
int change_user_pin(main_form& form) {
    HWND owner = form.window();
    if (HWND open = FindWindowW(names::pin_form_class, nullptr)) {
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
        // The program may have been ended while the dialog was open.
        if (r != IDOK || form.closing()) return 0;
        old_pin.swap(f.old_pin);
        new_pin.swap(f.new_pin);
    }
    int retries = 0;
    if (token_login(0, old_pin.c_str(), &retries) != 0) {
        wipe(old_pin);
        wipe(new_pin);
        notice_box(owner, to_wide(format_first_int(lang::text(lang::K_OldCheck), retries)), MB_ICONINFORMATION);
        return 1;
    }
    token_logout(0);
    int r = token_change_upin(0, old_pin.c_str(), new_pin.c_str());
    wipe(old_pin);
    wipe(new_pin);
    if (r != 0)
        notice_box(owner, lang_text(lang::K_Set_No) + lang_text(lang::K_ErrorCODE_Str) + std::to_wstring(r),
                   MB_ICONINFORMATION);
    else
        notice_box(owner, lang_text(lang::K_Set_Yes), MB_ICONINFORMATION);
    return 0;
}

struct busy_scope {
    busy_scope() { g_pin_prompt_busy = true; }
    ~busy_scope() { g_pin_prompt_busy = false; }
    busy_scope(const busy_scope&) = delete;
    busy_scope& operator=(const busy_scope&) = delete;
};

}  // namespace

void CheckDefaultPin(main_form& form) {
    if (g_settings.default_pin_mode != 1) return;
    PinStateRecord st = {};
    if (ReadPinState(0, st) != 0) return;
    HWND owner = form.window();
    if (st.locked == 1) {
        notice_box(owner, lang_text(lang::K_Dead), MB_ICONINFORMATION);
        return;
    }
    if (st.to_be_changed != 1) return;
    busy_scope busy;
    int result;
    bool again;
    {
        upin_set_form prompt;
        prompt.mode = default_pin_prompt;
        prompt.default_pin_checked = true;
        prompt.max_pin_len = g_token_records[0].max_pin_len;
        prompt.min_pin_len = g_token_records[0].min_pin_len;
        result = prompt.run(owner);
        again = prompt.default_pin_checked;
    }
    test_switch::logf("default pin prompt result=%d again=%d", result, again ? 1 : 0);
    if (form.closing()) return;
    g_settings.default_pin_mode = again ? 1 : 0;
    WriteMgrConfig(mgr_config_path(), g_settings);
    if (result != IDOK) return;
    // Bounded: the token locks the PIN after its retries.
    for (int round = 0; round < 64; ++round) {
        if (change_user_pin(form) == 0 || form.closing()) return;
        PinStateRecord now = {};
        if (ReadPinState(0, now) != 0) continue;
        if (now.locked == 1) {
            notice_box(owner, lang_text(lang::K_Dead), MB_ICONINFORMATION);
            return;
        }
        if (now.to_be_changed != 1) return;
    }
}

void ChangeUserPin(main_form& form) { change_user_pin(form); }

bool PinPromptBusy() { return g_pin_prompt_busy; }

}  // namespace mon
