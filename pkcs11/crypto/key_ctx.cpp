#include "key_ctx.h"

#include <limits>

namespace pkcs11 {

pkcs11_key_ctx::pkcs11_key_ctx(const CK_MECHANISM& mechanism) {
    mechanism_.type = mechanism.mechanism;
    mechanism_.parameter = mechanism.pParameter;
    mechanism_.parameter_length = mechanism.ulParameterLen;
}

CK_RV pkcs11_key_ctx::step_check() const { return active_ && !finished_ ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED; }

CK_RV pkcs11_key_ctx::init_default() {
    start();
    return CKR_OK;
}

CK_RV pkcs11_key_ctx::final_default() {
    if (!finished_) finish();
    return CKR_OK;
}

// The defaults: Init starts, Update checks the step, Final ends, the
// one-shots of the cipher and digest groups are not supported.
CK_RV pkcs11_key_ctx::encrypt_init(const pkcs11_key_value&) { return init_default(); }
CK_RV pkcs11_key_ctx::encrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) { return step_check(); }
CK_RV pkcs11_key_ctx::encrypt_final(CK_BYTE*, CK_ULONG*) { return final_default(); }
CK_RV pkcs11_key_ctx::encrypt(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) { return CKR_FUNCTION_NOT_SUPPORTED; }

CK_RV pkcs11_key_ctx::decrypt_init(const pkcs11_key_value&) { return init_default(); }
CK_RV pkcs11_key_ctx::decrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) { return step_check(); }
CK_RV pkcs11_key_ctx::decrypt_final(CK_BYTE*, CK_ULONG*) { return final_default(); }
CK_RV pkcs11_key_ctx::decrypt(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) { return CKR_FUNCTION_NOT_SUPPORTED; }

CK_RV pkcs11_key_ctx::digest_init() { return init_default(); }
CK_RV pkcs11_key_ctx::digest_update(const CK_BYTE*, CK_ULONG) { return step_check(); }
CK_RV pkcs11_key_ctx::digest_final(CK_BYTE*, CK_ULONG*) { return final_default(); }
CK_RV pkcs11_key_ctx::digest(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) { return CKR_FUNCTION_NOT_SUPPORTED; }

CK_RV pkcs11_key_ctx::sign_init(const pkcs11_key_value&) { return init_default(); }
CK_RV pkcs11_key_ctx::sign_update(const CK_BYTE*, CK_ULONG) { return step_check(); }
CK_RV pkcs11_key_ctx::sign_final(CK_BYTE*, CK_ULONG*) { return final_default(); }
CK_RV pkcs11_key_ctx::sign(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) { return CKR_OK; }

CK_RV pkcs11_key_ctx::verify_init(const pkcs11_key_value&) { return init_default(); }
CK_RV pkcs11_key_ctx::verify(const CK_BYTE*, CK_ULONG, const CK_BYTE*, CK_ULONG) { return step_check(); }
CK_RV pkcs11_key_ctx::verify_update(const CK_BYTE*, CK_ULONG) { return step_check(); }
CK_RV pkcs11_key_ctx::verify_final(const CK_BYTE*, CK_ULONG) { return final_default(); }

CK_RV offer_output(std::size_t needed, const CK_BYTE* out, CK_ULONG* out_len, bool* proceed) {
    *proceed = false;
    if (out_len == nullptr) return CKR_ARGUMENTS_BAD;
    if (needed > std::numeric_limits<CK_ULONG>::max()) return CKR_HOST_MEMORY;
    const CK_ULONG capacity = *out_len;
    *out_len = static_cast<CK_ULONG>(needed);
    if (out == nullptr) return CKR_OK;
    if (capacity < needed) return CKR_BUFFER_TOO_SMALL;
    *proceed = true;
    return CKR_OK;
}

bool equal_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    volatile std::uint8_t diff = 0;
    for (std::size_t i = 0; i < length; ++i) diff = static_cast<std::uint8_t>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

}  // namespace pkcs11
