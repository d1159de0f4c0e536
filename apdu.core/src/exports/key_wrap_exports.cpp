// Exported functions: the host-side AES key wrap of RFC 3394.
#include <cstdint>

#include "ZervikSolvanta.h"
#include "exports/export_guard.h"
#include "protocol/status.h"
#include "sm/aes.h"

using namespace zervik;

namespace {

// The KEK length takes its low byte; a negative data length is refused.
// The result is the low byte of the engine's.
int key_wrap_export(bool wrap, const unsigned char* kek, int kek_length, const unsigned char* input,
                    int input_length, unsigned char* output, unsigned short* output_length) {
    return guarded(status_failed, [&]() -> int {
        if (input_length < 0 || output_length == nullptr) return status_failed;
        const std::size_t kek_bytes = static_cast<std::uint8_t>(kek_length);
        const std::size_t input_bytes = static_cast<std::size_t>(input_length);
        std::uint16_t length = *output_length;
        const int result = wrap ? aes_key_wrap(kek, kek_bytes, input, input_bytes, output, &length)
                                : aes_key_unwrap(kek, kek_bytes, input, input_bytes, output, &length);
        *output_length = length;
        return result & 0xFF;
    });
}

}  // namespace

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_SoftAESKeyWrap(const unsigned char* kek, int kek_length, const unsigned char* key,
                                                 int key_length, unsigned char* output,
                                                 unsigned short* output_length) {
    return key_wrap_export(true, kek, kek_length, key, key_length, output, output_length);
}

ZERVIK_API int ZERVIK_CALL Zervik_SoftAESKeyUnwrap(const unsigned char* kek, int kek_length,
                                                   const unsigned char* wrapped, int wrapped_length,
                                                   unsigned char* output, unsigned short* output_length) {
    return key_wrap_export(false, kek, kek_length, wrapped, wrapped_length, output, output_length);
}

}  // extern "C"
