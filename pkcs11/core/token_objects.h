// The objects of a token as the cryptographic calls reach them.
#pragma once

#include <pkcs11_vendor.h>

#include "objects/object.h"
#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// The key object of a handle, when the session's level sees it; else
// CKR_OBJECT_HANDLE_INVALID.
CK_RV find_session_key(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle, pkcs11_object_ref& out);
// A new object joins the token: write access for the session's level, the
// store of a token object, then the token's list.
CK_RV add_new_object(pkcs11_session& session, pkcs11_token& token, const pkcs11_object_ref& object);

}  // namespace pkcs11
