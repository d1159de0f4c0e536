#include "unblock_code.h"

#include <cstring>

#include <mbedtls/des.h>
#include <mbedtls/platform_util.h>

namespace mgr {

int unblock_response(const unsigned char* challenge, size_t length, const char* key, unsigned char* response) {
    if (!challenge || !key || !response || length % 8 != 0) return 1;
    if (length == 0) return 0;

    unsigned char key_buf[32] = {};
    std::memcpy(key_buf, key, strnlen(key, sizeof key_buf));
    unsigned char iv[8] = {};

    mbedtls_des3_context ctx;
    mbedtls_des3_init(&ctx);
    int rc = mbedtls_des3_set3key_enc(&ctx, key_buf);
    if (rc == 0) rc = mbedtls_des3_crypt_cbc(&ctx, MBEDTLS_DES_ENCRYPT, length, iv, challenge, response);
    mbedtls_des3_free(&ctx);
    mbedtls_platform_zeroize(key_buf, sizeof key_buf);
    return rc == 0 ? 0 : 1;
}

}  // namespace mgr
