// Exported functions: PINs and authentication, over taviapi_pinmgr.
#include "ZervikSolvanta.h"
#include "api/taviapi_pinmgr.h"
#include "exports/manager_call.h"

using namespace zervik;

namespace {

template <class F>
int with_pinmgr(ZERVIK_HANDLE handle, F&& f) {
    return with_manager<taviapi_pinmgr>(handle, std::forward<F>(f));
}

}  // namespace

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_InstallPin(ZERVIK_HANDLE handle, unsigned char reference, uint32_t algorithm,
                                             unsigned char try_limit, const unsigned char* pin, int pin_length,
                                             const unsigned char* access1, const unsigned char* access2,
                                             unsigned char option1, unsigned char option2, unsigned char p1) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) -> int {
        std::size_t n = 0;
        if (!caller_size(pin_length, &n)) return status_unusable;
        const pin_record_parameters record{reference, algorithm, try_limit, pin,     n,
                                           access1,   access2,   option1,   option2};
        return m.install_pin(record, p1);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetChallenge(ZERVIK_HANDLE handle, int length, unsigned char* buffer) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) { return m.get_challenge(length, buffer); });
}

ZERVIK_API int ZERVIK_CALL Zervik_DRBGGenRandom(ZERVIK_HANDLE handle, int length, unsigned char* buffer) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) { return m.drbg_gen_random(length, buffer); });
}

ZERVIK_API int ZERVIK_CALL Zervik_DeviceAuth(ZERVIK_HANDLE handle, unsigned char key_reference,
                                             const unsigned char* cryptogram, int length) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) { return m.device_auth(key_reference, cryptogram, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_InternalAuth(ZERVIK_HANDLE handle, const unsigned char* challenge, int length,
                                               unsigned char* response, int* response_length) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) {
        return m.internal_auth(challenge, length, response, response_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_VerifyPin(ZERVIK_HANDLE handle, unsigned char reference, unsigned char p1,
                                            const unsigned char* pin, int length) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) { return m.verify_pin(reference, p1, pin, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetPinInfo(ZERVIK_HANDLE handle, unsigned char reference, int* algorithm,
                                             int* byte4, int* tries_left, unsigned char* byte6,
                                             unsigned char* byte7, int* byte8, int* byte9, int* to_be_changed) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) {
        const pin_info_outputs out{algorithm, byte4, tries_left, byte6, byte7, byte8, byte9, to_be_changed};
        return m.get_pin_info(reference, out);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_ChangePin(ZERVIK_HANDLE handle, unsigned char reference, unsigned char p1,
                                            const unsigned char* old_pin, int old_length,
                                            const unsigned char* new_pin, int new_length) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) {
        return m.change_pin(reference, p1, old_pin, old_length, new_pin, new_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_UnblockPin(ZERVIK_HANDLE handle, unsigned char reference, unsigned char p1,
                                             const unsigned char* unblock_code, int unblock_length,
                                             const unsigned char* new_pin, int new_length) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) {
        return m.unblock_pin(reference, p1, unblock_code, unblock_length, new_pin, new_length);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_UnloadPin(ZERVIK_HANDLE handle, unsigned char reference,
                                            const unsigned char* data, int length) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) { return m.unload_pin(reference, data, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ClearSecureState(ZERVIK_HANDLE handle, unsigned char p1, unsigned char p2) {
    return with_pinmgr(handle, [&](taviapi_pinmgr& m) { return m.clear_secure_state(p1, p2); });
}

}  // extern "C"
