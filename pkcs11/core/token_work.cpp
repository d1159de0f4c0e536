#include "token_work.h"

namespace pkcs11 {

CK_RV token_work(pkcs11_token&) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV session_work(pkcs11_session&, pkcs11_token&) { return CKR_FUNCTION_NOT_SUPPORTED; }

}  // namespace pkcs11
