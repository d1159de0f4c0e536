// Exported functions: the card's hash and MAC. Each checks the handle
// against the device list, then runs one method of taviapi_hashmgr or
// taviapi_macmgr; the one-shot forms check it again before every command.
#include "ZervikSolvanta.h"
#include "api/taviapi_digestmgr.h"
#include "exports/manager_call.h"

using namespace zervik;

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_HashInit(ZERVIK_HANDLE handle, uint32_t algorithm) {
    return with_manager<taviapi_hashmgr>(handle, [&](taviapi_hashmgr& m) { return m.hash_init(algorithm); });
}

ZERVIK_API int ZERVIK_CALL Zervik_HashUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length) {
    return with_manager<taviapi_hashmgr>(handle, [&](taviapi_hashmgr& m) { return m.hash_update(data, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_HashFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                            unsigned char* digest, int* digest_length) {
    return with_manager<taviapi_hashmgr>(
        handle, [&](taviapi_hashmgr& m) { return m.hash_final(data, length, digest, digest_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_Hash(ZERVIK_HANDLE handle, uint32_t algorithm, const unsigned char* data,
                                       int length, unsigned char* digest, int* digest_length) {
    return with_manager<taviapi_hashmgr>(
        handle, [&](taviapi_hashmgr& m) { return m.hash(algorithm, data, length, digest, digest_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_MacInit(ZERVIK_HANDLE handle, int session_key) {
    return with_manager<taviapi_macmgr>(handle, [&](taviapi_macmgr& m) { return m.mac_init(session_key); });
}

ZERVIK_API int ZERVIK_CALL Zervik_MacUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length) {
    return with_manager<taviapi_macmgr>(handle, [&](taviapi_macmgr& m) { return m.mac_update(data, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_MacFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                           unsigned char* mac, int* mac_length) {
    return with_manager<taviapi_macmgr>(
        handle, [&](taviapi_macmgr& m) { return m.mac_final(data, length, mac, mac_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_Mac(ZERVIK_HANDLE handle, int session_key, const unsigned char* data, int length,
                                      unsigned char* mac, int* mac_length) {
    return with_manager<taviapi_macmgr>(
        handle, [&](taviapi_macmgr& m) { return m.mac(session_key, data, length, mac, mac_length); });
}

}  // extern "C"
