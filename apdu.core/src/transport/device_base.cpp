#include "transport/device_base.h"

#include <mbedtls/platform_util.h>

#include <cstring>

namespace zervik {

device_base::device_base() = default;

device_base::~device_base() {
    mbedtls_platform_zeroize(encryption_key_, sizeof encryption_key_);
    mbedtls_platform_zeroize(mac_key_, sizeof mac_key_);
}

std::int32_t device_base::set_session_keys(const std::uint8_t* encryption_key, const std::uint8_t* mac_key) {
    if (encryption_key != nullptr) std::memcpy(encryption_key_, encryption_key, sm_key_size);
    if (mac_key != nullptr) std::memcpy(mac_key_, mac_key, sm_key_size);
    return 0;
}

}  // namespace zervik
