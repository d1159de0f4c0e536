#include "sm/aes.h"

#include <mbedtls/platform_util.h>

#include <cstring>
#include <vector>

namespace zervik {

namespace {

bool valid_key_length(std::size_t key_length) { return key_length == 16 || key_length == 24 || key_length == 32; }

// Key size in bytes of a cipher type of aes_crypt, 0 for an unknown type.
std::size_t type_key_length(int type) {
    switch (type) {
        case aes_type_128_cbc:
        case aes_type_128_ecb:
            return 16;
        case aes_type_192_cbc:
        case aes_type_192_ecb:
            return 24;
        case aes_type_256_cbc:
        case aes_type_256_ecb:
            return 32;
        default:
            return 0;
    }
}

// One block through the forward cipher; the schedule holds a valid key.
void encrypt_block(aes_schedule& schedule, const std::uint8_t in[aes_block_size], std::uint8_t out[aes_block_size]) {
    mbedtls_aes_crypt_ecb(schedule.encrypt_context(), MBEDTLS_AES_ENCRYPT, in, out);
}

// Doubling in GF(2^128) as RFC 4493 derives the subkeys K1 and K2.
void cmac_double(const std::uint8_t in[aes_block_size], std::uint8_t out[aes_block_size]) {
    const std::uint8_t carry = in[0] >> 7;
    for (std::size_t i = 0; i + 1 < aes_block_size; ++i) {
        out[i] = static_cast<std::uint8_t>((in[i] << 1) | (in[i + 1] >> 7));
    }
    out[aes_block_size - 1] = static_cast<std::uint8_t>((in[aes_block_size - 1] << 1) ^ (carry ? 0x87 : 0x00));
}

constexpr std::uint8_t key_wrap_iv[8] = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};
constexpr int key_wrap_rounds = 6;

void xor_counter(std::uint8_t a[8], std::uint64_t t) {
    for (int k = 7; k >= 0; --k) {
        a[k] ^= static_cast<std::uint8_t>(t & 0xFF);
        t >>= 8;
    }
}

}  // namespace

aes_schedule::aes_schedule() {
    mbedtls_aes_init(&encrypt_);
    mbedtls_aes_init(&decrypt_);
}

aes_schedule::~aes_schedule() {
    // mbedtls_aes_free wipes the round keys.
    mbedtls_aes_free(&encrypt_);
    mbedtls_aes_free(&decrypt_);
}

int aes_set_key(aes_schedule& schedule, const std::uint8_t* key, std::size_t key_length) {
    schedule.key_length_ = 0;
    if (key == nullptr || !valid_key_length(key_length)) return 1;
    const auto bits = static_cast<unsigned int>(key_length * 8);
    if (mbedtls_aes_setkey_enc(&schedule.encrypt_, key, bits) != 0) return 1;
    if (mbedtls_aes_setkey_dec(&schedule.decrypt_, key, bits) != 0) return 1;
    schedule.key_length_ = key_length;
    return 0;
}

int aes_crypt(aes_schedule& schedule, int mode, int type, const std::uint8_t* input, std::uint8_t* output,
              std::size_t length, std::uint8_t* iv) {
    const std::size_t key_length = type_key_length(type);
    if (key_length == 0 || key_length != schedule.key_length()) return 1;
    if (length > aes_max_data) return 1;
    const std::size_t whole = length - length % aes_block_size;
    if (whole == 0) return 0;
    if (input == nullptr || output == nullptr) return 1;

    const bool encrypt = mode == aes_mode_encrypt;
    mbedtls_aes_context* context = encrypt ? schedule.encrypt_context() : schedule.decrypt_context();
    const int direction = encrypt ? MBEDTLS_AES_ENCRYPT : MBEDTLS_AES_DECRYPT;
    if (type % 2 == 1) {
        if (iv == nullptr) return 1;
        return mbedtls_aes_crypt_cbc(context, direction, whole, iv, input, output) == 0 ? 0 : 1;
    }
    for (std::size_t offset = 0; offset < whole; offset += aes_block_size) {
        if (mbedtls_aes_crypt_ecb(context, direction, input + offset, output + offset) != 0) return 1;
    }
    return 0;
}

int aes_cmac(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* message, std::size_t message_length,
             std::uint8_t tag[aes_cmac_size]) {
    if (tag == nullptr || (message == nullptr && message_length != 0)) return 1;
    aes_schedule schedule;
    if (aes_set_key(schedule, key, key_length) != 0) return 1;

    std::uint8_t l[aes_block_size] = {};
    std::uint8_t k1[aes_block_size];
    std::uint8_t k2[aes_block_size];
    encrypt_block(schedule, l, l);
    cmac_double(l, k1);
    cmac_double(k1, k2);

    // All blocks but the last go through plain CBC-MAC; the last (possibly
    // empty) one is completed and masked with K1 or K2.
    const std::size_t blocks = message_length == 0 ? 1 : (message_length + aes_block_size - 1) / aes_block_size;
    const std::size_t last_offset = (blocks - 1) * aes_block_size;
    const std::size_t last_length = message_length - last_offset;

    std::uint8_t state[aes_block_size] = {};
    for (std::size_t offset = 0; offset < last_offset; offset += aes_block_size) {
        for (std::size_t i = 0; i < aes_block_size; ++i) state[i] ^= message[offset + i];
        encrypt_block(schedule, state, state);
    }
    std::uint8_t last[aes_block_size] = {};
    if (last_length == aes_block_size) {
        for (std::size_t i = 0; i < aes_block_size; ++i) last[i] = message[last_offset + i] ^ k1[i];
    } else {
        if (last_length != 0) std::memcpy(last, message + last_offset, last_length);
        last[last_length] = 0x80;
        for (std::size_t i = 0; i < aes_block_size; ++i) last[i] ^= k2[i];
    }
    for (std::size_t i = 0; i < aes_block_size; ++i) state[i] ^= last[i];
    encrypt_block(schedule, state, tag);

    mbedtls_platform_zeroize(l, sizeof l);
    mbedtls_platform_zeroize(k1, sizeof k1);
    mbedtls_platform_zeroize(k2, sizeof k2);
    mbedtls_platform_zeroize(state, sizeof state);
    mbedtls_platform_zeroize(last, sizeof last);
    return 0;
}

int aes_key_wrap(const std::uint8_t* kek, std::size_t kek_length, const std::uint8_t* data, std::size_t data_length,
                 std::uint8_t* output, std::uint16_t* output_length) {
    if (data == nullptr || output_length == nullptr) return 1;
    if (data_length < 8 || data_length % 8 != 0 || data_length + 8 > aes_max_data) return 1;
    if (*output_length < data_length + 8) {
        *output_length = static_cast<std::uint16_t>(data_length + 8);
        return 1;
    }
    if (output == nullptr) return 1;
    aes_schedule schedule;
    if (aes_set_key(schedule, kek, kek_length) != 0) return 1;

    const std::size_t n = data_length / 8;
    std::vector<std::uint8_t> r(data, data + data_length);
    std::uint8_t block[aes_block_size];
    std::memcpy(block, key_wrap_iv, 8);  // A lives in the first half
    for (int j = 0; j < key_wrap_rounds; ++j) {
        for (std::size_t i = 1; i <= n; ++i) {
            std::memcpy(block + 8, &r[(i - 1) * 8], 8);
            encrypt_block(schedule, block, block);
            xor_counter(block, static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(j) + i);
            std::memcpy(&r[(i - 1) * 8], block + 8, 8);
        }
    }
    std::memcpy(output, block, 8);
    std::memcpy(output + 8, r.data(), data_length);
    *output_length = static_cast<std::uint16_t>(data_length + 8);

    mbedtls_platform_zeroize(r.data(), r.size());
    mbedtls_platform_zeroize(block, sizeof block);
    return 0;
}

int aes_key_unwrap(const std::uint8_t* kek, std::size_t kek_length, const std::uint8_t* wrapped,
                   std::size_t wrapped_length, std::uint8_t* output, std::uint16_t* output_length) {
    if (wrapped == nullptr || output == nullptr || output_length == nullptr) return 1;
    if (wrapped_length < 16 || wrapped_length % 8 != 0 || wrapped_length > aes_max_data) return 1;
    const std::size_t plain_length = wrapped_length - 8;
    if (*output_length < plain_length) return 1;
    aes_schedule schedule;
    if (aes_set_key(schedule, kek, kek_length) != 0) return 1;

    const std::size_t n = plain_length / 8;
    std::vector<std::uint8_t> r(wrapped + 8, wrapped + wrapped_length);
    std::uint8_t block[aes_block_size];
    std::memcpy(block, wrapped, 8);
    for (int j = key_wrap_rounds - 1; j >= 0; --j) {
        for (std::size_t i = n; i >= 1; --i) {
            xor_counter(block, static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(j) + i);
            std::memcpy(block + 8, &r[(i - 1) * 8], 8);
            mbedtls_aes_crypt_ecb(schedule.decrypt_context(), MBEDTLS_AES_DECRYPT, block, block);
            std::memcpy(&r[(i - 1) * 8], block + 8, 8);
        }
    }
    const bool intact = equal_constant_time(block, key_wrap_iv, 8);
    if (intact) {
        std::memcpy(output, r.data(), plain_length);
        *output_length = static_cast<std::uint16_t>(plain_length);
    } else {
        std::memset(output, 0, plain_length);
    }
    mbedtls_platform_zeroize(r.data(), r.size());
    mbedtls_platform_zeroize(block, sizeof block);
    return intact ? 0 : 1;
}

bool equal_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < length; ++i) difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

}  // namespace zervik
