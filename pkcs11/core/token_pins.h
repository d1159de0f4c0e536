// Login, PINs, format, label, unblock and random numbers of a token. Under
// the global lock; every function takes its caller's checked arguments.
//
// Kept on purpose:
// - C_InitToken resets the user PIN to the known default and leaves
//   CKF_USER_PIN_INITIALIZED set (the tray monitor then asks the user for a
//   PIN of their own).
// - M_FormatToken and M_SetTokenLabel need no login (a factory reset).
// - Logging in again as the same user verifies the PIN again.
// - The card's security state is shared by every process: a logout in one
//   clears it under the logged-in sessions of another.
// - The counters are measured against the limits 10 (user) and 15 (SO)
//   whatever limits the token was formatted with: the card does not report
//   them.
// - Labels longer than 32 bytes are cut to 32.
#pragma once

#include <cstdint>

#include <pkcs11_vendor.h>

#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// The PIN lengths C_SetPIN, C_InitPIN, the format and the unblocks accept.
constexpr CK_ULONG min_pin_length = 6;
constexpr CK_ULONG max_pin_length = 32;
// Unblock codes.
constexpr CK_ULONG max_unblock_code = 64;

// The format defaults of C_InitToken (the user PIN is 8 digits).
extern const char* const default_so_pin;
extern const char* const default_user_pin;

CK_RV login(pkcs11_session_mgr& sessions, pkcs11_token& token, CK_USER_TYPE user_type, const CK_UTF8CHAR* pin,
            CK_ULONG length);
CK_RV set_pin(pkcs11_session_mgr& sessions, pkcs11_session& session, pkcs11_token& token, const CK_UTF8CHAR* old_pin,
              CK_ULONG old_length, const CK_UTF8CHAR* new_pin, CK_ULONG new_length);
CK_RV init_pin(pkcs11_token& token, const CK_UTF8CHAR* pin, CK_ULONG length);

// Format: 0, CKR_PIN_LEN_RANGE for a PIN field without 6 to 32 bytes before
// its NUL, or the card layer's code. Afterwards nobody is logged in.
CK_RV format_token(pkcs11_session_mgr& sessions, pkcs11_token& token, const CK_EXT_FORMAT_PARAMS& params);
CK_RV init_token(pkcs11_session_mgr& sessions, pkcs11_token& token, const CK_UTF8CHAR* pin, CK_ULONG length,
                 const CK_UTF8CHAR* label);
// The label's bytes up to a NUL, at most 32: the card layer's code.
CK_RV set_label(pkcs11_token& token, const CK_UTF8CHAR* label);

// The SO PIN is the NUL-terminated text at so_pin (at most 32 bytes are
// read); so_length is not used, so every length unblocks alike.
CK_RV unblock_user_pin(pkcs11_token& token, const CK_UTF8CHAR* so_pin, CK_ULONG so_length,
                       const CK_UTF8CHAR* new_pin, CK_ULONG new_length);
CK_RV remote_unblock_pin(pkcs11_token& token, const CK_BYTE* code, CK_ULONG code_length,
                         const CK_UTF8CHAR* new_pin, CK_ULONG new_length);

CK_RV generate_random(pkcs11_token& token, CK_BYTE* out, CK_ULONG length);

}  // namespace pkcs11
