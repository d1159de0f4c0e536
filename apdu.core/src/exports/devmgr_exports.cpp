// Exported functions: device management and the secure channel. Each checks
// the handle against the device list, then runs one method of
// taviapi_devmgr.
#include <utility>

#include "ZervikSolvanta.h"
#include "api/taviapi_devmgr.h"
#include "exports/manager_call.h"

using namespace zervik;

namespace {

template <class F>
int with_devmgr(ZERVIK_HANDLE handle, F&& f) {
    return with_manager<taviapi_devmgr>(handle, std::forward<F>(f));
}

}  // namespace

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_GetFSMaxSpace(ZERVIK_HANDLE handle, int* space) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) { return m.get_fs_max_space(space); });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetChipID(ZERVIK_HANDLE handle, unsigned char* buffer, int* length) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) { return m.get_chip_id(buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_FormatDevice(ZERVIK_HANDLE handle, const char* string1, const char* string2,
                                               const char* string3, const char* string4, unsigned int value,
                                               unsigned char byte_value, const char* blob, unsigned int key1_id,
                                               const unsigned char* key1, unsigned char key1_parameter,
                                               unsigned int key2_id, const unsigned char* key2,
                                               unsigned char key2_parameter, unsigned int key3_id,
                                               const unsigned char* key3, unsigned char key3_parameter) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) {
        const format_parameters parameters{{string1, string2, string3, string4},
                                           value,
                                           byte_value,
                                           blob,
                                           {{key1_id, key1, key1_parameter},
                                            {key2_id, key2, key2_parameter},
                                            {key3_id, key3, key3_parameter}}};
        return m.format_device(parameters);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetHealthStatus(ZERVIK_HANDLE handle, uint64_t* status) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) { return m.get_health_status(status); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ChangeWorkingMode(ZERVIK_HANDLE handle, int mode) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) { return m.change_working_mode(mode); });
}

ZERVIK_API int ZERVIK_CALL Zervik_HealthCheck(ZERVIK_HANDLE handle) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) { return m.health_check(); });
}

ZERVIK_API int ZERVIK_CALL Zervik_DRBGReseed(ZERVIK_HANDLE handle) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) { return m.drbg_reseed(); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SecureMessageGenEphemeral(ZERVIK_HANDLE handle, uint32_t algorithm, int parameter,
                                                            unsigned char* card_key) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) {
        return m.secure_message_gen_ephemeral(algorithm, parameter, card_key);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SecureMessageKDF(ZERVIK_HANDLE handle, uint32_t first_id, uint32_t second_id,
                                                   const unsigned char* other_info, const unsigned char* host_key) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) {
        return m.secure_message_kdf(first_id, second_id, other_info, host_key);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SetupSecureMessageChannel(ZERVIK_HANDLE handle) {
    return with_devmgr(handle, [&](taviapi_devmgr& m) { return m.setup_secure_channel(); });
}

}  // extern "C"
