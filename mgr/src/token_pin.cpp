// Logins, PIN changes and unblocks, the label, card challenges, the format
// and the reload of objects. PINs reach the module from private copies that
// are wiped after the call.
#include <cstring>

#include "SolvantaMgr.h"
#include "binding.h"
#include "guard.h"
#include "secret_copy.h"
#include "token_table.h"

namespace {

using mgr::secret_copy;
using mgr::token_ref;

constexpr std::size_t max_label = 64;
constexpr std::size_t format_field = 32;
// The module reads an SO PIN as NUL-terminated text in a buffer of this
// size; the length a caller gives with it is not used.
constexpr std::size_t so_pin_buffer = 32;
// The most an unblock code can be: the data field of one short card
// command. A longer code is refused before anything is copied or sent.
constexpr unsigned long max_unblock_code = 255;

// The user login: an SO login is ended first; on failure the retries left
// that the module reports.
int login_user(const token_ref& t, secret_copy& pin, int* retries) {
    *retries = 0;
    CK_SESSION_INFO info{};
    if (t.f->C_GetSessionInfo(t.session, &info) != CKR_OK) return 1;
    if (info.state == CKS_RW_SO_FUNCTIONS) (void)t.f->C_Logout(t.session);
    if (t.f->C_Login(t.session, CKU_USER, pin.data(), pin.length()) == CKR_OK) return 0;
    CK_EXT_USER_INFO user{};
    if (t.x->M_GetUserInfo != nullptr && t.x->M_GetUserInfo(info.slotID, CKU_USER, &user) == CKR_OK)
        *retries = static_cast<int>(user.retriesLeft);
    return 1;
}

// The SO login: a user login is ended first; *retries is left alone unless
// a non-empty PIN fails.
int login_so(const token_ref& t, secret_copy& pin, int* retries) {
    CK_SESSION_INFO info{};
    if (t.f->C_GetSessionInfo(t.session, &info) != CKR_OK) return 1;
    if (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS) (void)t.f->C_Logout(t.session);
    if (t.f->C_Login(t.session, CKU_SO, pin.data(), pin.length()) == CKR_OK) return 0;
    CK_EXT_USER_INFO user{};
    if (pin.length() != 0 && t.x->M_GetUserInfo != nullptr &&
        t.x->M_GetUserInfo(info.slotID, CKU_SO, &user) == CKR_OK)
        *retries = static_cast<int>(user.retriesLeft);
    return 1;
}

// C_SetPIN, allowed only when the session is (so_session) or is not an SO
// session.
int set_pin(int index, const char* old_pin, const char* new_pin, bool so_session) {
    token_ref t;
    if (!mgr::connected_token(index, &t) || old_pin == nullptr || new_pin == nullptr) return 1;
    CK_SESSION_INFO info{};
    if (t.f->C_GetSessionInfo(t.session, &info) != CKR_OK) return 1;
    if ((info.state == CKS_RW_SO_FUNCTIONS) != so_session) return 1;
    secret_copy old_copy(old_pin);
    secret_copy new_copy(new_pin);
    return t.f->C_SetPIN(t.session, old_copy.data(), old_copy.length(), new_copy.data(), new_copy.length()) == CKR_OK
               ? 0
               : 1;
}

int challenge(int index, unsigned char* buffer, unsigned long length) {
    token_ref t;
    if (!mgr::connected_token(index, &t) || (buffer == nullptr && length != 0)) return 1;
    if (t.f->C_SeedRandom(t.session, nullptr, 0) != CKR_OK) return 1;
    return t.f->C_GenerateRandom(t.session, buffer, length) == CKR_OK ? 0 : 1;
}

}  // namespace

extern "C" {

int SOLVANTAMGR_CALL token_login(int index, const char* pin, int* retries) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || retries == nullptr) return 1;
        secret_copy copy(pin);  // a null PIN has length 0
        return login_user(t, copy, retries);
    });
}

int SOLVANTAMGR_CALL token_login_so(int index, const char* so_pin, int* retries) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || retries == nullptr) return 1;
        secret_copy copy(so_pin);
        return login_so(t, copy, retries);
    });
}

int SOLVANTAMGR_CALL token_logout(int index) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        return static_cast<int>(t.f->C_Logout(t.session));
    });
}

int SOLVANTAMGR_CALL token_change_upin(int index, const char* old_pin, const char* new_pin) {
    return mgr::guarded(1, [&]() -> int { return set_pin(index, old_pin, new_pin, false); });
}

int SOLVANTAMGR_CALL token_change_sopin(int index, const char* old_so_pin, const char* new_so_pin) {
    return mgr::guarded(1, [&]() -> int { return set_pin(index, old_so_pin, new_so_pin, true); });
}

int SOLVANTAMGR_CALL token_set_upin(int index, const char* so_pin, const char* new_pin) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || so_pin == nullptr || new_pin == nullptr) return 1;
        secret_copy so_copy(so_pin);
        int retries = 0;
        if (login_so(t, so_copy, &retries) != 0) return 1;
        secret_copy new_copy(new_pin);
        return t.f->C_InitPIN(t.session, new_copy.data(), new_copy.length()) == CKR_OK ? 0 : 1;
    });
}

int SOLVANTAMGR_CALL token_get_pin_state(int index, unsigned long user_type, uint32_t* retries_left,
                                         uint32_t* retry_limit, int* count_low, int* final_try, int* locked,
                                         int* to_be_changed) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || retries_left == nullptr || retry_limit == nullptr ||
            count_low == nullptr || final_try == nullptr || locked == nullptr || to_be_changed == nullptr ||
            t.x->M_GetUserInfo == nullptr)
            return 1;
        CK_EXT_USER_INFO info{};
        if (t.x->M_GetUserInfo(t.slot, user_type, &info) != CKR_OK) return 1;
        *retries_left = info.retriesLeft;
        *retry_limit = info.retryLimit;
        *count_low = info.countLow;
        *final_try = info.finalTry;
        *locked = info.locked;
        *to_be_changed = info.toBeChanged;
        return 0;
    });
}

// The SO PIN is taken as the module takes it: NUL-terminated text of at most
// so_pin_buffer bytes, whatever auth_length says, so that no length can make
// the copy read or allocate past the PIN.
int SOLVANTAMGR_CALL token_unlock_upin(int index, const unsigned char* auth_data, unsigned long /*auth_length*/,
                                       const char* new_pin) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || auth_data == nullptr || new_pin == nullptr ||
            t.x->M_UnblockUserPin == nullptr)
            return 1;
        secret_copy so_pin(reinterpret_cast<const char*>(auth_data), so_pin_buffer);
        secret_copy new_copy(new_pin);
        return t.x->M_UnblockUserPin(t.session, so_pin.data(), so_pin.length(), new_copy.data(),
                                     new_copy.length()) == CKR_OK
                   ? 0
                   : 1;
    });
}

int SOLVANTAMGR_CALL token_remote_unlock_upin(int index, const unsigned char* response,
                                              unsigned long response_length, const char* new_pin) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || (response == nullptr && response_length != 0) ||
            new_pin == nullptr || t.x->M_RemoteUnblockPin == nullptr)
            return 1;
        if (response_length > max_unblock_code) return 1;
        secret_copy code(response, response_length);
        secret_copy new_copy(new_pin);
        return t.x->M_RemoteUnblockPin(t.session, code.data(), code.length(), new_copy.data(),
                                       new_copy.length()) == CKR_OK
                   ? 0
                   : 1;
    });
}

int SOLVANTAMGR_CALL token_set_label(int index, const char* label) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || label == nullptr || t.x->M_SetTokenLabel == nullptr) return 1;
        if (strnlen(label, max_label + 1) > max_label) return 2;
        char copy[max_label + 1] = {};
        std::strncpy(copy, label, max_label);
        return t.x->M_SetTokenLabel(t.session, reinterpret_cast<CK_UTF8CHAR_PTR>(copy)) == CKR_OK ? 0 : 1;
    });
}

int SOLVANTAMGR_CALL token_get_challenge(int index, unsigned char* buffer) {
    return mgr::guarded(1, [&]() -> int { return challenge(index, buffer, 16); });
}

int SOLVANTAMGR_CALL token_get_challenge_ex(int index, unsigned char* buffer, unsigned long length) {
    return mgr::guarded(1, [&]() -> int { return challenge(index, buffer, length); });
}

int SOLVANTAMGR_CALL token_format(int index, struct CK_EXT_FORMAT_PARAMS* params) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || params == nullptr || t.x->M_FormatToken == nullptr) return 1;
        if (t.x->M_FormatToken(t.session, params) != CKR_OK) return 1;
        // A PIN may fill its 32-byte field without a NUL.
        secret_copy so_pin(reinterpret_cast<const char*>(params->soPin), format_field);
        int retries = 0;
        if (login_so(t, so_pin, &retries) != 0) return 1;
        secret_copy user_pin(reinterpret_cast<const char*>(params->userPin), format_field);
        if (t.f->C_InitPIN(t.session, user_pin.data(), user_pin.length()) != CKR_OK) return 1;
        return t.f->C_Logout(t.session) == CKR_OK ? 0 : 1;
    });
}

int SOLVANTAMGR_CALL token_reload_all_objects(int index) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t) || t.x->M_ReloadObjects == nullptr) return 1;
        return static_cast<int>(t.x->M_ReloadObjects(t.session));
    });
}

}  // extern "C"
