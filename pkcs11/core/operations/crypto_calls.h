// The cryptographic calls of a session after their argument checks, under
// the global lock: the Inits with their key lookup, C_DigestKey and key
// management. Keys are found at the session's level (token_objects.h): a
// key the session does not see is unknown. Software contexts serve session
// keys of DES, 3DES, AES, RC2 and RC4, digests, HMAC and digest key
// derivation; RSA, EC and card-held keys answer CKR_MECHANISM_INVALID here.
#pragma once

#include <pkcs11_vendor.h>

#include "operation_slot.h"
#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// C_EncryptInit, C_DecryptInit, C_SignInit, C_VerifyInit (the key lookup
// first) and C_DigestInit (no key).
CK_RV crypto_init(pkcs11_session& session, pkcs11_token& token, operation_kind kind, const CK_MECHANISM& mechanism,
                  CK_OBJECT_HANDLE key);
CK_RV digest_key(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE key);

// A software secret key: the object from the template under the write
// access rule, the key-generation template check, the value from the
// token's random generator (its length by the mechanism and CKA_VALUE_LEN),
// then the object joins the token.
CK_RV generate_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                   const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle);
// The value of a secret key encrypted with a 3DES or AES key (the
// size-query convention).
CK_RV wrap_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
               CK_OBJECT_HANDLE wrapping_key, CK_OBJECT_HANDLE key, CK_BYTE* wrapped, CK_ULONG* wrapped_len);
// A secret key (the plaintext as CKA_VALUE) or an RSA private key (DER)
// decrypted with a 3DES or AES key.
CK_RV unwrap_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                 CK_OBJECT_HANDLE unwrapping_key, const CK_BYTE* wrapped, CK_ULONG wrapped_len,
                 const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle);
// A key whose value is the start of the digest of the base key's value.
CK_RV derive_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                 CK_OBJECT_HANDLE base_key, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle);

}  // namespace pkcs11
