// Exported functions: key pairs. Each checks the handle against the device
// list, then runs one method of taviapi_keypairmgr.
#include "ZervikSolvanta.h"
#include "api/taviapi_keypairmgr.h"
#include "exports/manager_call.h"

using namespace zervik;

namespace {

template <class F>
int with_keypairs(ZERVIK_HANDLE handle, F&& f) {
    return with_manager<taviapi_keypairmgr>(handle, std::forward<F>(f));
}

}  // namespace

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_AsymGenKeypair(ZERVIK_HANDLE handle, unsigned short public_key,
                                                 unsigned short private_key, uint32_t algorithm, int parameter1,
                                                 int parameter2) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_gen_keypair(public_key, private_key, algorithm, parameter1, parameter2);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapImportPub(ZERVIK_HANDLE handle, int wrap_key, unsigned short key,
                                                    uint32_t algorithm, int parameter1, int parameter2,
                                                    const unsigned char* key_data, int key_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_wrap_import_pub(wrap_key, key, algorithm, parameter1, parameter2, key_data, key_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymImportPub(ZERVIK_HANDLE handle, unsigned short key, uint32_t algorithm,
                                                int parameter1, int parameter2, const unsigned char* key_data,
                                                int key_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_import_pub(key, algorithm, parameter1, parameter2, key_data, key_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapImportPri(ZERVIK_HANDLE handle, int wrap_key, unsigned short public_key,
                                                    unsigned short private_key, uint32_t algorithm, int parameter1,
                                                    int parameter2, const unsigned char* wrapped,
                                                    int wrapped_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_wrap_import_pri(wrap_key, public_key, private_key, algorithm, parameter1, parameter2, wrapped,
                                      wrapped_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapExportPub(ZERVIK_HANDLE handle, int wrap_key, unsigned short key,
                                                    int* header, int* byte4, int* byte5, unsigned char* buffer,
                                                    int* length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_wrap_export_pub(wrap_key, key, {header, byte4, byte5, buffer, length});
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymExportPub(ZERVIK_HANDLE handle, unsigned short key, int* header, int* byte4,
                                                int* byte5, unsigned char* buffer, int* length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_export_pub(key, {header, byte4, byte5, buffer, length});
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapExportPri(ZERVIK_HANDLE handle, int wrap_key, unsigned short key,
                                                    int* header, int* byte4, int* byte5, unsigned char* buffer,
                                                    int* length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_wrap_export_pri(wrap_key, key, {header, byte4, byte5, buffer, length});
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymImportSessionKey(ZERVIK_HANDLE handle, int session_key, unsigned short key,
                                                       uint32_t key_type, const unsigned char* encrypted,
                                                       int encrypted_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_import_session_key(session_key, key, key_type, encrypted, encrypted_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymExportSessionKey(ZERVIK_HANDLE handle, int session_key, unsigned short key,
                                                       uint32_t* header, unsigned char* buffer, int* length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_export_session_key(session_key, key, header, buffer, length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymSignHash(ZERVIK_HANDLE handle, unsigned short key, unsigned char* signature,
                                               int* signature_length) {
    return with_keypairs(handle,
                         [&](taviapi_keypairmgr& m) { return m.asym_sign_hash(key, signature, signature_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymSign(ZERVIK_HANDLE handle, unsigned short key, uint32_t algorithm,
                                           const unsigned char* data, int data_length, unsigned char* signature,
                                           int* signature_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_sign(key, algorithm, data, data_length, signature, signature_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymVerifyHash(ZERVIK_HANDLE handle, unsigned short key,
                                                 const unsigned char* signature, int signature_length) {
    return with_keypairs(handle,
                         [&](taviapi_keypairmgr& m) { return m.asym_verify_hash(key, signature, signature_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymVerify(ZERVIK_HANDLE handle, unsigned short key, const unsigned char* data,
                                             int data_length, uint32_t algorithm, const unsigned char* signature,
                                             int signature_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_verify(key, data, data_length, algorithm, signature, signature_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymPublicEncryption(ZERVIK_HANDLE handle, unsigned short key,
                                                       const unsigned char* data, int data_length,
                                                       unsigned char* output, int* output_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_public_encryption(key, data, data_length, output, output_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymPrivateDecryption(ZERVIK_HANDLE handle, unsigned short key,
                                                        const unsigned char* data, int data_length,
                                                        unsigned char* output, int* output_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_private_decryption(key, data, data_length, output, output_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymPublicOperation(ZERVIK_HANDLE handle, unsigned short key,
                                                      const unsigned char* data, int data_length,
                                                      unsigned char* output, int* output_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_public_operation(key, data, data_length, output, output_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_AsymPrivateOperation(ZERVIK_HANDLE handle, unsigned short key,
                                                       const unsigned char* data, int data_length,
                                                       unsigned char* output, int* output_length) {
    return with_keypairs(handle, [&](taviapi_keypairmgr& m) {
        return m.asym_private_operation(key, data, data_length, output, output_length);
    });
}

}  // extern "C"
