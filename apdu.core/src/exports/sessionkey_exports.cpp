// Exported functions: session keys and the card's symmetric ciphers. Each
// checks the handle against the device list, then runs one method of
// taviapi_sessionkeymgr.
#include "ZervikSolvanta.h"
#include "api/taviapi_sessionkeymgr.h"
#include "exports/manager_call.h"

using namespace zervik;

namespace {

template <class F>
int with_session_keys(ZERVIK_HANDLE handle, F&& f) {
    return with_manager<taviapi_sessionkeymgr>(handle, std::forward<F>(f));
}

}  // namespace

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_SessionKASGenerateEphemeral(ZERVIK_HANDLE handle, uint32_t algorithm,
                                                              int parameter, unsigned char* card_key) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.session_kas_generate_ephemeral(algorithm, parameter, card_key);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SessionKDF(ZERVIK_HANDLE handle, uint32_t first_id, uint32_t second_id,
                                             int session_key, uint32_t key_type, const unsigned char* other_info,
                                             const unsigned char* host_key) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.session_kdf(first_id, second_id, session_key, key_type, other_info, host_key);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_GenSessionKey(ZERVIK_HANDLE handle, int session_key, uint32_t key_type) {
    return with_session_keys(handle,
                             [&](taviapi_sessionkeymgr& m) { return m.gen_session_key(session_key, key_type); });
}

ZERVIK_API int ZERVIK_CALL Zervik_CreateSessionKey(ZERVIK_HANDLE handle, int session_key, uint32_t key_type,
                                                   const unsigned char* key, int key_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.create_session_key(session_key, key_type, key, key_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetSessionKeyInfo(ZERVIK_HANDLE handle, int session_key, int* info) {
    return with_session_keys(handle,
                             [&](taviapi_sessionkeymgr& m) { return m.get_session_key_info(session_key, info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_DestroySessionKey(ZERVIK_HANDLE handle, int session_key) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) { return m.destroy_session_key(session_key); });
}

ZERVIK_API int ZERVIK_CALL Zervik_DestroyAllSessionKeys(ZERVIK_HANDLE handle) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) { return m.destroy_all_session_keys(); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SymImportSessionKey(ZERVIK_HANDLE handle, int wrap_key, int session_key,
                                                      uint32_t key_type, const unsigned char* wrapped,
                                                      int wrapped_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.sym_import_session_key(wrap_key, session_key, key_type, wrapped, wrapped_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SymExportSessionKey(ZERVIK_HANDLE handle, int wrap_key, int session_key,
                                                      uint32_t* header, unsigned char* buffer, int* length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.sym_export_session_key(wrap_key, session_key, header, buffer, length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SymCryptInit(ZERVIK_HANDLE handle, int session_key, int mode,
                                               const unsigned char* data, int length) {
    return with_session_keys(handle,
                             [&](taviapi_sessionkeymgr& m) { return m.sym_crypt_init(session_key, mode, data, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SymEncryptUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                   unsigned char* output, int* output_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.sym_encrypt_update(data, length, output, output_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SymEncryptFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                  unsigned char* output, int* output_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.sym_encrypt_final(data, length, output, output_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SymDecryptUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                   unsigned char* output, int* output_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.sym_decrypt_update(data, length, output, output_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SymDecryptFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                  unsigned char* output, int* output_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.sym_decrypt_final(data, length, output, output_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_KASSessionKey(ZERVIK_HANDLE handle, int session_key, uint32_t key_type,
                                                unsigned char* key, int* key_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.kas_session_key(session_key, key_type, key, key_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_KASSessionKeyFast(ZERVIK_HANDLE handle, int session_key, uint32_t key_type,
                                                    unsigned char* key, int* key_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.kas_session_key_fast(session_key, key_type, key, key_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SetSessionKey(ZERVIK_HANDLE handle, int kek_id, int session_key, uint32_t key_type,
                                                const unsigned char* key, int key_length) {
    return with_session_keys(handle, [&](taviapi_sessionkeymgr& m) {
        return m.set_session_key(kek_id, session_key, key_type, key, key_length);
    });
}

}  // extern "C"
