// The work an export does on a present token: token information, PINs,
// sessions, objects, cryptographic operations and the vendor functions.
// It reads and writes the card through the module's card layer; a module
// built without that layer sees no token device, so no export reaches these
// functions there, and each answers CKR_FUNCTION_NOT_SUPPORTED.
//
// The single Update steps are named here because the dual-function exports
// run two of them under one hold of the lock.
#pragma once

#include <pkcs11_vendor.h>

#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

CK_RV token_work(pkcs11_token& token);
CK_RV session_work(pkcs11_session& session, pkcs11_token& token);

CK_RV encrypt_update(pkcs11_session& session, pkcs11_token& token, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                     CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen);
CK_RV decrypt_update(pkcs11_session& session, pkcs11_token& token, CK_BYTE_PTR pEncryptedPart,
                     CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen);
CK_RV digest_update(pkcs11_session& session, pkcs11_token& token, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
CK_RV sign_update(pkcs11_session& session, pkcs11_token& token, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
CK_RV verify_update(pkcs11_session& session, pkcs11_token& token, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);

}  // namespace pkcs11
