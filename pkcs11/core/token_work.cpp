#include "token_work.h"

namespace pkcs11 {

CK_RV token_work(pkcs11_token&) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV session_work(pkcs11_session&, pkcs11_token&) { return CKR_FUNCTION_NOT_SUPPORTED; }

CK_RV encrypt_update(pkcs11_session&, pkcs11_token&, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV decrypt_update(pkcs11_session&, pkcs11_token&, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV digest_update(pkcs11_session&, pkcs11_token&, CK_BYTE_PTR, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV sign_update(pkcs11_session&, pkcs11_token&, CK_BYTE_PTR, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV verify_update(pkcs11_session&, pkcs11_token&, CK_BYTE_PTR, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }

}  // namespace pkcs11
