#include "token_pins.h"

#include <cstring>

#include "card_commands.h"
#include "card_pin.h"
#include "card_store.h"
#include "token_card.h"
#include "token_info.h"
#include "token_objects.h"
#include "token_sessions.h"

namespace pkcs11 {

const char* const default_so_pin = "Sv#Admin";
const char* const default_user_pin = "12345678";

namespace {

using solvantex::card_handle;

bool pin_length_ok(CK_ULONG length) { return length >= min_pin_length && length <= max_pin_length; }

// The bytes of a 32-byte field up to its NUL (a full field is a 32-byte
// PIN); nothing past the field is read.
std::size_t field_pin_length(const std::uint8_t* field) {
    std::size_t n = 0;
    while (n < 32 && field[n] != 0) ++n;
    return n;
}

// After any PIN operation the flags follow the card; a failure to read
// them leaves the flags as they were.
void refresh_pin_flags(pkcs11_token& token) { (void)update_pin_flags(token); }

CK_RV verify(pkcs11_token& token, std::uint8_t reference, const CK_UTF8CHAR* pin, std::size_t length) {
    std::int32_t tries = -1;
    const std::int32_t status = on_device(token, [&](card_handle h) {
        return solvantex::cardfs_verify_pin(h, reference, pin, length, &tries);
    });
    if (status == 0) return CKR_OK;
    return pin_failure(status, card_gone(token, status));
}

// The sessions of the token fall back to public with the login state.
void nobody_logged_in(pkcs11_session_mgr& sessions, pkcs11_token& token) {
    token.set_login_state(login_nobody);
    follow_login_state(sessions, token);
}

}  // namespace

CK_RV login(pkcs11_session_mgr& sessions, pkcs11_token& token, CK_USER_TYPE user_type, const CK_UTF8CHAR* pin,
            CK_ULONG length) {
    if (pin == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    if (length > max_pin_length) return CKR_PIN_LEN_RANGE;
    // An empty PIN never reaches the card (it would cost a try).
    if (length == 0) return CKR_PIN_INCORRECT;
    const CK_TOKEN_INFO& info = token.info();
    switch (user_type) {
    case CKU_SO:
        if (info.ulSessionCount != info.ulRwSessionCount) return CKR_SESSION_READ_ONLY_EXISTS;
        if (token.login_state() == CKU_USER) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        break;
    case CKU_USER:
        if (!token.connection_fresh) {
            const std::int32_t status = refresh_token_info(token);
            if (status != 0) return device_failure(status, card_gone(token, status));
        }
        if (!(info.flags & CKF_USER_PIN_INITIALIZED)) return CKR_USER_PIN_NOT_INITIALIZED;
        if (token.login_state() == CKU_SO) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        break;
    default:
        // Context-specific: the logged-in user proves the PIN again.
        if (token.login_state() != CKU_USER) return CKR_USER_NOT_LOGGED_IN;
        break;
    }
    // Verified up to an embedded NUL, as the card has always seen PINs.
    std::size_t n = 0;
    while (n < length && pin[n] != 0) ++n;
    if (n == 0) return CKR_PIN_INCORRECT;
    const std::uint8_t reference = user_type == CKU_SO ? solvantex::cardfs_so_pin : solvantex::cardfs_user_pin;
    std::int32_t tries = -1;
    const std::int32_t status =
        on_device(token, [&](card_handle h) { return solvantex::cardfs_verify_pin(h, reference, pin, n, &tries); });
    // The verified PIN's counter is known from the answer: no further
    // command is needed to keep its flags true.
    CK_FLAGS& flags = token.info().flags;
    if ((flags & CKF_TOKEN_INITIALIZED) && (status == 0 || (status & 0xFFF0) == 0x63C0 || status == 0x6983)) {
        const std::int32_t left = status == 0 ? (user_type == CKU_SO ? so_retry_limit : user_retry_limit)
                                              : (status == 0x6983 ? 0 : (status & 0x0F));
        const bool change = (flags & (user_type == CKU_SO ? CKF_SO_PIN_TO_BE_CHANGED : CKF_USER_PIN_TO_BE_CHANGED)) != 0;
        const pin_state state{left, change};
        flags = user_type == CKU_SO ? recompute_pin_flags(flags, true, nullptr, &state)
                                    : recompute_pin_flags(flags, true, &state, nullptr);
    }
    if (status != 0) return pin_failure(status, card_gone(token, status));
    if (user_type == CKU_CONTEXT_SPECIFIC) return CKR_OK;
    token.set_login_state(user_type);
    follow_login_state(sessions, token);
    return CKR_OK;
}

CK_RV set_pin(pkcs11_session_mgr& sessions, pkcs11_session& session, pkcs11_token& token, const CK_UTF8CHAR* old_pin,
              CK_ULONG old_length, const CK_UTF8CHAR* new_pin, CK_ULONG new_length) {
    std::uint8_t reference;
    switch (session.state) {
    case CKS_RW_PUBLIC_SESSION:
    case CKS_RW_USER_FUNCTIONS:
        reference = solvantex::cardfs_user_pin;
        break;
    case CKS_RW_SO_FUNCTIONS:
        reference = solvantex::cardfs_so_pin;
        break;
    default:
        return CKR_SESSION_READ_ONLY;
    }
    if (!pin_length_ok(old_length) || !pin_length_ok(new_length)) return CKR_PIN_LEN_RANGE;
    if (old_pin == nullptr || new_pin == nullptr) return CKR_ARGUMENTS_BAD;
    std::int32_t tries = -1;
    const std::int32_t status = on_device(token, [&](card_handle h) {
        return solvantex::cardfs_change_pin(h, reference, old_pin, old_length, new_pin, new_length, &tries);
    });
    refresh_pin_flags(token);
    // A card that left mid-change is a device failure, never a wrong PIN.
    if (status != 0) return pin_failure(status, card_gone(token, status));
    if (reference == solvantex::cardfs_so_pin) {
        token.set_login_state(CKU_SO);
        follow_login_state(sessions, token);
    }
    return CKR_OK;
}

CK_RV init_pin(pkcs11_token& token, const CK_UTF8CHAR* pin, CK_ULONG length) {
    if (pin == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    if (!pin_length_ok(length)) return CKR_PIN_LEN_RANGE;
    const std::int32_t status =
        on_device(token, [&](card_handle h) { return solvantex::cardfs_init_user_pin(h, pin, length); });
    refresh_pin_flags(token);
    if (status != 0) return device_failure(status, card_gone(token, status));
    token.info().flags |= CKF_USER_PIN_INITIALIZED;
    return CKR_OK;
}

CK_RV format_token(pkcs11_session_mgr& sessions, pkcs11_token& token, const CK_EXT_FORMAT_PARAMS& params) {
    const std::size_t so_length = field_pin_length(params.soPin);
    const std::size_t user_length = field_pin_length(params.userPin);
    if (!pin_length_ok(so_length) || !pin_length_ok(user_length)) return CKR_PIN_LEN_RANGE;
    token.connection_fresh = false;
    // The card's store is wiped: no token object outlives it.
    token.objects().drop_token_objects();
    const std::int32_t status = on_device(token, [&](card_handle h) -> std::int32_t {
        std::uint8_t card_info[solvantex::cardfs_card_info_size] = {};
        std::int32_t result = solvantex::cardfs_get_data(h, 0x0101, card_info, sizeof card_info);
        // A blank chip has no card information yet: it starts from zeros.
        if (result != 0 && result != 0x6A88) return result;
        std::uint8_t mode = params.formatMode;
        if (mode >= 2) {
            result = solvantex::cardfs_get_working_mode(h, &mode);
            if (result != 0) return result;
        }
        const auto put = [&](std::size_t at, const std::uint8_t* field) {
            std::memset(card_info + at, 0, 32);
            std::size_t n = 0;
            while (n < 32 && field[n] != 0) ++n;
            std::memcpy(card_info + at, field, n);
        };
        put(0, params.manufacturer);
        put(32, params.secondName);
        put(64, params.label);
        const solvantex::cardfs_format_parameters p{
            card_info,   mode, params.soPin, so_length, params.soRetryLimit, params.userPin, user_length,
            params.userRetryLimit, params.extra};
        std::int32_t cd_warning = 0;
        return solvantex::cardfs_format_token(h, p, &cd_warning);
    });
    if (status != 0) {
        refresh_pin_flags(token);
        return card_status_rv(status);
    }
    // The card forgot every PIN: nobody is logged in any more.
    nobody_logged_in(sessions, token);
    token.info().flags |= CKF_TOKEN_INITIALIZED;
    refresh_pin_flags(token);
    return CKR_OK;
}

CK_RV init_token(pkcs11_session_mgr& sessions, pkcs11_token& token, const CK_UTF8CHAR* pin, CK_ULONG length,
                 const CK_UTF8CHAR* label) {
    if (token.info().ulSessionCount != 0) return CKR_SESSION_EXISTS;
    if (length > max_pin_length) return CKR_PIN_LEN_RANGE;
    const bool formatted = on_device(token, [](card_handle h) { return solvantex::cardfs_select_app_dir(h); }) == 0;
    if (formatted) {
        if (length == 0) return CKR_PIN_INCORRECT;
        const CK_RV rv = verify(token, solvantex::cardfs_so_pin, pin, length);
        if (rv == CKR_DEVICE_REMOVED || rv == CKR_DEVICE_ERROR) return rv;
        if (rv != CKR_OK) return CKR_PIN_INCORRECT;
    }
    CK_EXT_FORMAT_PARAMS params{};
    const auto text = [](std::uint8_t* field, const char* value) { std::memcpy(field, value, std::strlen(value)); };
    text(params.manufacturer, "Tarnely");
    text(params.secondName, "Tarnely");
    text(params.userPin, default_user_pin);
    params.userRetryLimit = static_cast<std::uint8_t>(user_retry_limit);
    params.soRetryLimit = static_cast<std::uint8_t>(so_retry_limit);
    params.formatMode = 0xFF;
    params.extra = 0;
    // The label as the standard gives it: 32 bytes padded with blanks.
    std::size_t n = 32;
    while (n > 0 && (label[n - 1] == ' ' || label[n - 1] == 0)) --n;
    std::memcpy(params.label, label, n);
    std::memcpy(params.soPin, pin, length);
    // The format writes the label with the card information: no separate
    // label command is needed.
    const CK_RV rv = format_token(sessions, token, params);
    if (rv == CKR_OK || rv == CKR_PIN_LEN_RANGE) return rv;
    const auto status = static_cast<std::int32_t>(rv);
    return device_failure(status, card_gone(token, status));
}

CK_RV set_label(pkcs11_token& token, const CK_UTF8CHAR* label) {
    std::size_t n = 0;
    while (n < solvantex::cardfs_label_max && label[n] != 0) ++n;
    token.connection_fresh = false;
    const std::int32_t status = on_device(token, [&](card_handle h) {
        return solvantex::cardfs_set_label(h, reinterpret_cast<const char*>(label), n);
    });
    return status == 0 ? CKR_OK : device_failure(status, card_gone(token, status));
}

CK_RV unblock_user_pin(pkcs11_token& token, const CK_UTF8CHAR* so_pin, CK_ULONG /*so_length*/,
                       const CK_UTF8CHAR* new_pin, CK_ULONG new_length) {
    if (!pin_length_ok(new_length)) return CKR_PIN_LEN_RANGE;
    if (so_pin == nullptr || new_pin == nullptr) return CKR_ARGUMENTS_BAD;
    // The SO PIN is the caller's NUL-terminated text, whatever length comes
    // with it; no more than a PIN's longest is read.
    std::size_t n = 0;
    while (n < max_pin_length && so_pin[n] != 0) ++n;
    // An empty PIN never reaches the card (it would cost a try).
    if (n == 0) return CKR_PIN_INCORRECT;
    std::int32_t tries = -1;
    const std::int32_t status = on_device(token, [&](card_handle h) {
        return solvantex::cardfs_unblock_pin(h, so_pin, n, new_pin, new_length, &tries);
    });
    refresh_pin_flags(token);
    return status == 0 ? CKR_OK : pin_failure(status, card_gone(token, status));
}

CK_RV remote_unblock_pin(pkcs11_token& token, const CK_BYTE* code, CK_ULONG code_length,
                         const CK_UTF8CHAR* new_pin, CK_ULONG new_length) {
    if (!pin_length_ok(new_length)) return CKR_PIN_LEN_RANGE;
    if (code == nullptr || new_pin == nullptr) return CKR_ARGUMENTS_BAD;
    if (code_length == 0 || code_length > max_unblock_code) return CKR_ARGUMENTS_BAD;
    std::int32_t tries = -1;
    const std::int32_t status = on_device(token, [&](card_handle h) {
        return solvantex::cardfs_remote_unblock_pin(h, code, code_length, new_pin, new_length, &tries);
    });
    refresh_pin_flags(token);
    return status == 0 ? CKR_OK : pin_failure(status, card_gone(token, status));
}

CK_RV generate_random(pkcs11_token& token, CK_BYTE* out, CK_ULONG length) {
    if (length == 0) return CKR_OK;
    if (out == nullptr) return CKR_ARGUMENTS_BAD;
    constexpr CK_ULONG challenge_max = 32;
    const std::int32_t status = on_device(token, [&](card_handle h) -> std::int32_t {
        if (length > challenge_max) return solvantex::cardfs_get_challenge8(h, out, length);
        const std::int32_t auth = solvantex::cardfs_device_auth(h, solvantex::cardfs_device_key_reference);
        if (auth != 0) return auth;
        return solvantex::card_get_challenge(h, static_cast<std::int32_t>(length), out);
    });
    if (status != 0) return device_failure(status, card_gone(token, status));
    return CKR_OK;
}

}  // namespace pkcs11
