// Reference computations for the secure-messaging tests, taken from mbed
// TLS's generic cipher layer (its own CBC and CMAC code), never from the
// library under test.
#pragma once

#include <mbedtls/cipher.h>
#include <mbedtls/cmac.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sm_oracle {

using bytes = std::vector<std::uint8_t>;

inline bytes from_hex(const std::string& hex) {
    bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string to_hex(const std::uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
inline std::string to_hex(const bytes& data) { return to_hex(data.data(), data.size()); }

inline bytes pattern(std::size_t length, std::uint8_t seed) {
    bytes out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 13);
    return out;
}

inline const mbedtls_cipher_info_t* aes_ecb_info(std::size_t key_length) {
    const auto type = key_length == 16   ? MBEDTLS_CIPHER_AES_128_ECB
                      : key_length == 24 ? MBEDTLS_CIPHER_AES_192_ECB
                                         : MBEDTLS_CIPHER_AES_256_ECB;
    return mbedtls_cipher_info_from_type(type);
}

inline bytes cmac(const bytes& key, const bytes& message) {
    std::uint8_t tag[16];
    static const std::uint8_t none = 0;  // mbed TLS wants a buffer even for no bytes
    const std::uint8_t* input = message.empty() ? &none : message.data();
    if (mbedtls_cipher_cmac(aes_ecb_info(key.size()), key.data(), key.size() * 8, input, message.size(), tag) != 0) {
        throw std::runtime_error("mbedtls_cipher_cmac");
    }
    return bytes(tag, tag + 16);
}

// AES-256-CBC, zero IV, no padding (the caller pads).
inline bytes cbc(const bytes& key, const bytes& data, bool encrypt) {
    mbedtls_cipher_context_t ctx;
    mbedtls_cipher_init(&ctx);
    bytes out(data.size() + 16);
    std::size_t produced = 0;
    std::uint8_t iv[16] = {};
    const bool ok =
        mbedtls_cipher_setup(&ctx, mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_AES_256_CBC)) == 0 &&
        mbedtls_cipher_setkey(&ctx, key.data(), 256, encrypt ? MBEDTLS_ENCRYPT : MBEDTLS_DECRYPT) == 0 &&
        mbedtls_cipher_set_padding_mode(&ctx, MBEDTLS_PADDING_NONE) == 0 &&
        mbedtls_cipher_crypt(&ctx, iv, sizeof iv, data.data(), data.size(), out.data(), &produced) == 0;
    mbedtls_cipher_free(&ctx);
    if (!ok) throw std::runtime_error("mbedtls_cipher_crypt");
    out.resize(produced);
    return out;
}

}  // namespace sm_oracle
