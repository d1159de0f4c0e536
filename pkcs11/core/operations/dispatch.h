// The dispatch of a session's cryptographic calls to its operation
// contexts: Init, Update, Final and one-shot, with the rules for when an
// operation keeps running and when it ends. Under the global lock.
//
// Init: the key (looked up by the caller at the session's level), the busy
// check (a second encryption, decryption, verification or digest gives
// CKR_OPERATION_ACTIVE; a new signature replaces a running signature or
// verification and deletes its context), the key's usage attribute (absent
// CKR_ATTRIBUTE_TYPE_INVALID, not a one-byte TRUE CKR_KEY_TYPE_INCONSISTENT),
// the mechanism parameter check (encryption and decryption), the factory and
// the context's Init. A failed Init leaves no operation.
//
// Update: no operation of that kind, CKR_OPERATION_NOT_INITIALIZED; any
// error but CKR_BUFFER_TOO_SMALL ends the operation.
//
// Final and one-shot: the operation keeps running on CKR_BUFFER_TOO_SMALL
// and on a size query (CKR_OK with no output, or for verification no
// signature); every other result, success or failure, ends it.
#pragma once

#include <functional>
#include <memory>

#include <pkcs11_vendor.h>

#include "key_ctx.h"
#include "mechanism_table.h"
#include "objects/object.h"
#include "operation_slot.h"
#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// Makes the context of an operation for a mechanism and key (none for
// digests).
using key_ctx_factory =
    std::function<CK_RV(operation_kind kind, const CK_MECHANISM& mechanism, pkcs11_object* key,
                        std::unique_ptr<pkcs11_key_ctx>& out)>;

// The module's factory: the context class of the mechanism and key
// (choose_key_ctx; a key without CKA_KEY_TYPE gains the mechanism's), for a
// mechanism that serves the operation; CKR_MECHANISM_INVALID for a
// mechanism without a context here, CKR_KEY_TYPE_INCONSISTENT for a key of
// another type.
CK_RV make_key_ctx(operation_kind kind, const CK_MECHANISM& mechanism, pkcs11_object* key,
                   std::unique_ptr<pkcs11_key_ctx>& out);
// The same for a key of that token: token AES keys run on its card.
CK_RV make_token_key_ctx(operation_kind kind, const CK_MECHANISM& mechanism, pkcs11_object* key,
                   std::unique_ptr<pkcs11_key_ctx>& out, pkcs11_token* token);

// What the factory needs to know of a key object.
pkcs11_key_facts key_facts_of(const pkcs11_object& key);
// A key object's CKA_VALUE as the contexts read it (no data when absent).
pkcs11_key_value key_value_of(const pkcs11_object* key);

// A code from the C_* crypto boundary: a card context's local codes and
// status words become CK_RVs (1 the device removed; 2, 0x8005 and 0x9000 a
// device error; 0x6982 the user not logged in; any other status word a
// device error). Codes of software contexts pass unchanged.
CK_RV card_result_rv(CK_RV rv);

CK_RV operation_init(pkcs11_session& session, operation_kind kind, const CK_MECHANISM& mechanism,
                     const pkcs11_object_ref& key, const key_ctx_factory& factory = make_key_ctx);

// Encryption and decryption steps with output.
CK_RV operation_update(pkcs11_session& session, operation_kind kind, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                       CK_ULONG* out_len);
// Digest, sign and verify steps without output.
CK_RV operation_update(pkcs11_session& session, operation_kind kind, const CK_BYTE* in, CK_ULONG in_len);
// Encrypt, decrypt, digest and sign Finals and one-shots.
CK_RV operation_final(pkcs11_session& session, operation_kind kind, CK_BYTE* out, CK_ULONG* out_len);
CK_RV operation_one_shot(pkcs11_session& session, operation_kind kind, const CK_BYTE* in, CK_ULONG in_len,
                         CK_BYTE* out, CK_ULONG* out_len);
CK_RV operation_verify(pkcs11_session& session, const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature,
                       CK_ULONG signature_len);
CK_RV operation_verify_final(pkcs11_session& session, const CK_BYTE* signature, CK_ULONG signature_len);

// C_DigestKey after the key lookup: the key's value (absent
// CKR_ATTRIBUTE_TYPE_INVALID, over 256 bytes CKR_BUFFER_TOO_SMALL) goes to
// the running digest as an Update.
CK_RV operation_digest_key(pkcs11_session& session, const pkcs11_object_ref& key);

}  // namespace pkcs11
