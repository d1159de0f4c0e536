#include "crypto_calls.h"

#include "containers/rsa_operations.h"
#include "dispatch.h"
#include "token_objects.h"
#include "token_work.h"

namespace pkcs11 {

CK_RV crypto_init(pkcs11_session& session, pkcs11_token& token, operation_kind kind, const CK_MECHANISM& mechanism,
                  CK_OBJECT_HANDLE key) {
    pkcs11_object_ref object;
    if (kind != operation_kind::digest) {
        const CK_RV rv = find_session_key(session, token, key, object);
        if (rv != CKR_OK) return rv;
    }
    const key_ctx_factory factory = [&token](operation_kind k, const CK_MECHANISM& m, pkcs11_object* o,
                                             std::unique_ptr<pkcs11_key_ctx>& out) {
        return make_token_key_ctx(k, m, o, out, &token);
    };
    return operation_init(session, kind, mechanism, object, factory);
}

CK_RV digest_key(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE key) {
    pkcs11_object_ref object;
    const CK_RV rv = find_session_key(session, token, key, object);
    if (rv != CKR_OK) return rv;
    return operation_digest_key(session, object);
}

// The single steps the dual-function exports pair.
CK_RV encrypt_update(pkcs11_session& session, pkcs11_token&, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                     CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return operation_update(session, operation_kind::encrypt, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}
CK_RV decrypt_update(pkcs11_session& session, pkcs11_token&, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                     CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return operation_update(session, operation_kind::decrypt, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}
CK_RV digest_update(pkcs11_session& session, pkcs11_token&, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return operation_update(session, operation_kind::digest, pPart, ulPartLen);
}
CK_RV sign_update(pkcs11_session& session, pkcs11_token&, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return operation_update(session, operation_kind::sign, pPart, ulPartLen);
}
CK_RV verify_update(pkcs11_session& session, pkcs11_token&, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return operation_update(session, operation_kind::verify, pPart, ulPartLen);
}

}  // namespace pkcs11
