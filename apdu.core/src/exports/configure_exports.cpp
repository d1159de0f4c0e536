// Exported functions: token configuration. Each checks the handle against
// the device list, then runs one method of taviapi_configuremgr.
#include "ZervikSolvanta.h"
#include "api/taviapi_configuremgr.h"
#include "exports/manager_call.h"

using namespace zervik;

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_ConfigureVIDPID(ZERVIK_HANDLE handle, unsigned short vendor_id,
                                                  unsigned short product_id) {
    return with_manager<taviapi_configuremgr>(
        handle, [&](taviapi_configuremgr& m) { return m.configure_vidpid(vendor_id, product_id); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ConfigureReader(ZERVIK_HANDLE handle, const unsigned char* name, int length) {
    return with_manager<taviapi_configuremgr>(
        handle, [&](taviapi_configuremgr& m) { return m.configure_reader(name, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ConfigureCDInquiry(ZERVIK_HANDLE handle, const char* vendor, const char* product) {
    return with_manager<taviapi_configuremgr>(
        handle, [&](taviapi_configuremgr& m) { return m.configure_cd_inquiry(vendor, product); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ConfigureVendor(ZERVIK_HANDLE handle, const unsigned char* name, int length) {
    return with_manager<taviapi_configuremgr>(
        handle, [&](taviapi_configuremgr& m) { return m.configure_vendor(name, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetVIDPID(ZERVIK_HANDLE handle, unsigned short* vendor_id,
                                            unsigned short* product_id) {
    return with_manager<taviapi_configuremgr>(
        handle, [&](taviapi_configuremgr& m) { return m.get_vidpid(vendor_id, product_id); });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetReader(ZERVIK_HANDLE handle, unsigned char* buffer, int* length) {
    return with_manager<taviapi_configuremgr>(handle,
                                              [&](taviapi_configuremgr& m) { return m.get_reader(buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetCDInquiry(ZERVIK_HANDLE handle, unsigned char* buffer, int* length) {
    return with_manager<taviapi_configuremgr>(
        handle, [&](taviapi_configuremgr& m) { return m.get_cd_inquiry(buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_GetUSBVendor(ZERVIK_HANDLE handle, unsigned char* buffer, int* length) {
    return with_manager<taviapi_configuremgr>(
        handle, [&](taviapi_configuremgr& m) { return m.get_usb_vendor(buffer, length); });
}

}  // extern "C"
