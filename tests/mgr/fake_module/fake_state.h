// The behaviour and the record of the fake PKCS #11 module: one block of
// shared memory per process, named by the process id, that the test makes
// (fake_state_owner) before the manager library loads the fake, so that
// what the test sets and what the fake counts outlive each load and unload.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>

#include <pkcs11_vendor.h>

namespace fake_module {

enum call_id : int {
    call_get_function_list,
    call_get_ext_function_list,
    call_initialize,
    call_finalize,
    call_get_slot_list,
    call_get_token_info,
    call_open_session,
    call_close_session,
    call_get_session_info,
    call_login,
    call_logout,
    call_init_pin,
    call_set_pin,
    call_seed_random,
    call_generate_random,
    call_wait_for_slot_event,
    call_get_user_info,
    call_unblock_user_pin,
    call_set_token_label,
    call_format_token,
    call_reload_objects,
    call_remote_unblock_pin,
    call_get_token_ext_info,
    call_kinds
};

constexpr int max_log = 512;
constexpr int max_slots = 64;

struct state {
    // What the module does (the test sets these; zero is the default).
    CK_RV get_function_list_rv;
    CK_RV get_ext_function_list_rv;
    CK_RV initialize_rv;
    CK_RV get_slot_list_rv;
    CK_RV token_info_rv;
    CK_RV ext_info_rv;
    CK_RV open_session_rv;
    CK_RV session_info_rv;
    CK_RV login_rv;        // for a PIN other than good_pin
    CK_RV seed_rv;
    CK_RV init_pin_rv;
    CK_RV set_pin_rv;
    CK_RV logout_rv;
    CK_RV format_rv;
    CK_RV reload_rv;
    CK_RV user_info_rv;
    int slot_count;        // tokens present, slot ids 100, 101, ...
    CK_ULONG pin_min;      // reported in CK_TOKEN_INFO
    CK_ULONG pin_max;
    CK_STATE session_state;
    char good_pin[64];     // the PIN C_Login accepts (either user)
    CK_ULONG retries_left; // what M_GetUserInfo reports
    CK_SLOT_ID event_slot;

    // What the module saw.
    int loads;
    int unloads;
    int calls[call_kinds];
    int log[max_log];
    int log_length;
    CK_FLAGS initialize_flags;
    bool initialize_args_null;
    CK_SLOT_ID last_slot;
    CK_SESSION_HANDLE last_session;
    CK_SESSION_HANDLE next_session;
    CK_USER_TYPE last_user;
    CK_ULONG last_length;          // of the last PIN, label or code
    unsigned char last_bytes[80];  // its bytes
    CK_ULONG last_new_length;      // of the last new PIN
    unsigned char last_new_bytes[80];
    CK_ULONG random_length;
    CK_SESSION_HANDLE closed[max_log];
    int closed_count;
};

inline const char* mapping_name(char (&out)[64]) {
    std::snprintf(out, sizeof out, "solvanta_fake_pkcs11_%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    return out;
}

// The test side: makes the block (all zero but the defaults) and keeps it.
class state_owner {
public:
    state_owner() {
        char name[64];
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(state),
                                      mapping_name(name));
        if (mapping_ != nullptr) s_ = static_cast<state*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        reset();
    }
    ~state_owner() {
        if (s_ != nullptr) UnmapViewOfFile(s_);
        if (mapping_ != nullptr) CloseHandle(mapping_);
    }
    state_owner(const state_owner&) = delete;
    state_owner& operator=(const state_owner&) = delete;

    void reset() {
        if (s_ == nullptr) return;
        std::memset(s_, 0, sizeof *s_);
        s_->slot_count = 1;
        s_->pin_min = 6;
        s_->pin_max = 32;
        s_->session_state = CKS_RW_PUBLIC_SESSION;
        std::strcpy(s_->good_pin, "11112222");
        s_->login_rv = CKR_PIN_INCORRECT;
        s_->retries_left = 7;
        s_->next_session = 5000;
        s_->event_slot = 101;
    }
    state* operator->() const { return s_; }
    state* get() const { return s_; }

private:
    HANDLE mapping_ = nullptr;
    state* s_ = nullptr;
};

}  // namespace fake_module
