// Sessions on a token: opening, closing and information, and the states
// that follow the token's login state. Under the global lock.
#pragma once

#include <pkcs11_vendor.h>

#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// The state a session of the token has under its login state; false when a
// read-only session cannot exist beside a logged-in SO.
bool session_state_for(const pkcs11_token& token, bool read_write, CK_STATE& state);
// Every session of the token takes the state of its login state.
void follow_login_state(pkcs11_session_mgr& sessions, const pkcs11_token& token);

CK_RV open_session(pkcs11_session_mgr& sessions, pkcs11_token& token, CK_FLAGS flags, CK_SESSION_HANDLE& handle);
// Closes the session; when it was the token's last one and somebody is
// logged in, the token logs out. A session whose token has left closes
// without card work.
CK_RV close_session(pkcs11_session_mgr& sessions, pkcs11_token_mgr& tokens, CK_SESSION_HANDLE handle);
// Every session recorded on that slot id, then a logout of its token.
void close_slot_sessions(pkcs11_session_mgr& sessions, pkcs11_token_mgr& tokens, CK_SLOT_ID slot);
CK_RV session_info(pkcs11_session& session, const pkcs11_token& token, CK_SESSION_INFO& info);

// Logout of the token: the card's security state is cleared when a device
// is open, the login state becomes nobody and the sessions fall back.
void logout_token(pkcs11_session_mgr& sessions, pkcs11_token& token);

}  // namespace pkcs11
