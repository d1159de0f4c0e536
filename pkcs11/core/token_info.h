// Token information, PIN flags and login state of a token. Under the global
// lock.
#pragma once

#include <cstdint>

#include <pkcs11_vendor.h>

#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// What GetPINInfo reports of one PIN.
struct pin_state {
    std::int32_t tries;
    bool to_be_changed;
};
// The user-PIN limit and the SO-PIN limit the counters are measured against
// (the card does not report its limits; tokens formatted with others
// report COUNT_LOW accordingly).
constexpr std::int32_t user_retry_limit = 10;
constexpr std::int32_t so_retry_limit = 15;

// flags with the initialisation bits and the eight PIN bits recomputed:
// formatted false clears them all; a null state leaves that PIN's bits.
CK_FLAGS recompute_pin_flags(CK_FLAGS flags, bool formatted, const pin_state* user, const pin_state* so);
// A card text field: the bytes up to the first NUL (at most 32), padded
// with blanks.
void copy_card_text(CK_UTF8CHAR* field, std::size_t size, const std::uint8_t* bytes);

// A card-layer status handed on unchanged as a CK_RV: its 32 bits, never
// sign-extended (a PC/SC code stays 0x8010xxxx on every build).
constexpr CK_RV card_status_rv(std::int32_t status) {
    return static_cast<CK_RV>(static_cast<std::uint32_t>(status));
}
// A card-layer failure as a CK_RV: the card or its reader gone gives
// CKR_DEVICE_REMOVED, anything else CKR_DEVICE_ERROR.
CK_RV device_failure(std::int32_t status, bool card_gone);
// A PIN check's failure: tries left gives CKR_PIN_INCORRECT, none (or a
// blocked PIN) CKR_PIN_LOCKED, else as device_failure.
CK_RV pin_failure(std::int32_t status, bool card_gone);
// True when status says the card left, or the token's device is gone.
bool card_gone(pkcs11_token& token, std::int32_t status);

// Liveness, label and manufacturer every time; versions, memory, serial and
// PIN flags once per connection. The card layer's result.
std::int32_t refresh_token_info(pkcs11_token& token);
// Reads both PIN counters and recomputes the flags.
std::int32_t update_pin_flags(pkcs11_token& token);

CK_RV get_token_info(pkcs11_token& token, CK_TOKEN_INFO& info);
// The vendor PIN record; userType CKU_SO reads the SO PIN, any other the
// user PIN. Card codes are returned as they are.
CK_RV get_user_info(pkcs11_token& token, CK_USER_TYPE user_type, CK_EXT_USER_INFO& info);
CK_RV get_token_ext_info(pkcs11_token& token, CK_EXT_TOKEN_INFO& info);

CK_RV logout(pkcs11_session_mgr& sessions, pkcs11_session& session, pkcs11_token& token);

}  // namespace pkcs11
