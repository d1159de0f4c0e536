#include "cipher_engines.h"

#include <mbedtls/platform_util.h>

#include <cstring>

namespace pkcs11 {

// ---- AES --------------------------------------------------------------

aes_key_schedule::aes_key_schedule() {
    mbedtls_aes_init(&encrypt);
    mbedtls_aes_init(&decrypt);
}

aes_key_schedule::~aes_key_schedule() {
    // mbedtls_aes_free wipes the round keys.
    mbedtls_aes_free(&encrypt);
    mbedtls_aes_free(&decrypt);
    mbedtls_platform_zeroize(chain, sizeof chain);
}

int aes_set_key(aes_key_schedule& schedule, const std::uint8_t* key, unsigned key_bits) {
    schedule.key_bits = 0;
    if (key == nullptr || (key_bits != 128 && key_bits != 192 && key_bits != 256)) return engine_bad_input;
    if (mbedtls_aes_setkey_enc(&schedule.encrypt, key, key_bits) != 0 ||
        mbedtls_aes_setkey_dec(&schedule.decrypt, key, key_bits) != 0) {
        return engine_bad_input;
    }
    schedule.key_bits = key_bits;
    return 0;
}

int aes_encrypt_block(aes_key_schedule& schedule, const std::uint8_t in[aes_block], std::uint8_t out[aes_block]) {
    if (schedule.key_bits == 0 || in == nullptr || out == nullptr) return engine_bad_input;
    return mbedtls_aes_crypt_ecb(&schedule.encrypt, MBEDTLS_AES_ENCRYPT, in, out) == 0 ? 0 : engine_bad_input;
}

int aes_decrypt_block(aes_key_schedule& schedule, const std::uint8_t in[aes_block], std::uint8_t out[aes_block]) {
    if (schedule.key_bits == 0 || in == nullptr || out == nullptr) return engine_bad_input;
    return mbedtls_aes_crypt_ecb(&schedule.decrypt, MBEDTLS_AES_DECRYPT, in, out) == 0 ? 0 : engine_bad_input;
}

namespace {

int aes_cbc(aes_key_schedule& schedule, int mode, const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    if (schedule.key_bits == 0 || length % aes_block != 0) return engine_bad_input;
    if (length == 0) return 0;
    if (in == nullptr || out == nullptr) return engine_bad_input;
    mbedtls_aes_context* ctx = mode == MBEDTLS_AES_ENCRYPT ? &schedule.encrypt : &schedule.decrypt;
    return mbedtls_aes_crypt_cbc(ctx, mode, length, schedule.chain, in, out) == 0 ? 0 : engine_bad_input;
}

}  // namespace

int aes_cbc_encrypt(aes_key_schedule& schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    return aes_cbc(schedule, MBEDTLS_AES_ENCRYPT, in, out, length);
}

int aes_cbc_decrypt(aes_key_schedule& schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    return aes_cbc(schedule, MBEDTLS_AES_DECRYPT, in, out, length);
}

// ---- RC2 --------------------------------------------------------------

namespace {

// The permutation of RFC 2268 built from the digits of pi.
constexpr std::uint8_t pitable[256] = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad,
};

constexpr unsigned rc2_shift[4] = {1, 2, 3, 5};

inline std::uint16_t rol16(std::uint16_t v, unsigned s) {
    return static_cast<std::uint16_t>((v << s) | (v >> (16 - s)));
}
inline std::uint16_t ror16(std::uint16_t v, unsigned s) {
    return static_cast<std::uint16_t>((v >> s) | (v << (16 - s)));
}

void load_words(const std::uint8_t in[rc2_block], std::uint16_t r[4]) {
    for (int i = 0; i < 4; ++i) r[i] = static_cast<std::uint16_t>(in[2 * i] | (in[2 * i + 1] << 8));
}
void store_words(const std::uint16_t r[4], std::uint8_t out[rc2_block]) {
    for (int i = 0; i < 4; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(r[i] & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(r[i] >> 8);
    }
}

}  // namespace

rc2_key::~rc2_key() { mbedtls_platform_zeroize(k, sizeof k); }

int rc2_set_key(rc2_key& key, std::size_t key_length, const std::uint8_t* key_bytes, unsigned long effective_bits) {
    if (key_bytes == nullptr || key_length == 0 || key_length > rc2_max_key) return engine_bad_input;
    const unsigned t1 = (effective_bits == 0 || effective_bits > rc2_max_effective_bits)
                            ? rc2_max_effective_bits
                            : static_cast<unsigned>(effective_bits);
    const unsigned t8 = (t1 + 7) / 8;
    const unsigned tm = 0xFFu >> (8 * t8 - t1);

    std::uint8_t l[128];
    std::memcpy(l, key_bytes, key_length);
    for (std::size_t i = key_length; i < 128; ++i) l[i] = pitable[(l[i - 1] + l[i - key_length]) & 0xFF];
    l[128 - t8] = pitable[l[128 - t8] & tm];
    for (int i = 127 - static_cast<int>(t8); i >= 0; --i) l[i] = pitable[l[i + 1] ^ l[i + t8]];
    for (int i = 0; i < 64; ++i) key.k[i] = static_cast<std::uint16_t>(l[2 * i] | (l[2 * i + 1] << 8));
    mbedtls_platform_zeroize(l, sizeof l);
    return 0;
}

void rc2_encrypt_block(const rc2_key& key, const std::uint8_t in[rc2_block], std::uint8_t out[rc2_block]) {
    std::uint16_t r[4];
    load_words(in, r);
    unsigned j = 0;
    const auto mix = [&] {
        for (int i = 0; i < 4; ++i) {
            r[i] = static_cast<std::uint16_t>(r[i] + key.k[j++] + (r[(i + 3) & 3] & r[(i + 2) & 3]) +
                                              (~r[(i + 3) & 3] & r[(i + 1) & 3]));
            r[i] = rol16(r[i], rc2_shift[i]);
        }
    };
    const auto mash = [&] {
        for (int i = 0; i < 4; ++i) r[i] = static_cast<std::uint16_t>(r[i] + key.k[r[(i + 3) & 3] & 63]);
    };
    for (int n = 0; n < 5; ++n) mix();
    mash();
    for (int n = 0; n < 6; ++n) mix();
    mash();
    for (int n = 0; n < 5; ++n) mix();
    store_words(r, out);
}

void rc2_decrypt_block(const rc2_key& key, const std::uint8_t in[rc2_block], std::uint8_t out[rc2_block]) {
    std::uint16_t r[4];
    load_words(in, r);
    int j = 63;
    const auto rmix = [&] {
        for (int i = 3; i >= 0; --i) {
            r[i] = ror16(r[i], rc2_shift[i]);
            r[i] = static_cast<std::uint16_t>(r[i] - key.k[j--] - (r[(i + 3) & 3] & r[(i + 2) & 3]) -
                                              (~r[(i + 3) & 3] & r[(i + 1) & 3]));
        }
    };
    const auto rmash = [&] {
        for (int i = 3; i >= 0; --i) r[i] = static_cast<std::uint16_t>(r[i] - key.k[r[(i + 3) & 3] & 63]);
    };
    for (int n = 0; n < 5; ++n) rmix();
    rmash();
    for (int n = 0; n < 6; ++n) rmix();
    rmash();
    for (int n = 0; n < 5; ++n) rmix();
    store_words(r, out);
}

int rc2_ecb(const rc2_key& key, bool encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    if (length % rc2_block != 0) return engine_bad_input;
    if (length == 0) return 0;
    if (in == nullptr || out == nullptr) return engine_bad_input;
    for (std::size_t off = 0; off < length; off += rc2_block) {
        if (encrypt) {
            rc2_encrypt_block(key, in + off, out + off);
        } else {
            rc2_decrypt_block(key, in + off, out + off);
        }
    }
    return 0;
}

int rc2_cbc(const rc2_key& key, bool encrypt, std::uint8_t chain[rc2_block], const std::uint8_t* in, std::uint8_t* out,
            std::size_t length) {
    if (chain == nullptr || length % rc2_block != 0) return engine_bad_input;
    if (length == 0) return 0;
    if (in == nullptr || out == nullptr) return engine_bad_input;
    std::uint8_t block[rc2_block];
    for (std::size_t off = 0; off < length; off += rc2_block) {
        if (encrypt) {
            for (std::size_t i = 0; i < rc2_block; ++i) block[i] = static_cast<std::uint8_t>(in[off + i] ^ chain[i]);
            rc2_encrypt_block(key, block, out + off);
            std::memcpy(chain, out + off, rc2_block);
        } else {
            std::uint8_t cipher[rc2_block];
            std::memcpy(cipher, in + off, rc2_block);
            rc2_decrypt_block(key, cipher, block);
            for (std::size_t i = 0; i < rc2_block; ++i) out[off + i] = static_cast<std::uint8_t>(block[i] ^ chain[i]);
            std::memcpy(chain, cipher, rc2_block);
        }
    }
    mbedtls_platform_zeroize(block, sizeof block);
    return 0;
}

// ---- RC4 --------------------------------------------------------------

rc4_state::~rc4_state() {
    mbedtls_platform_zeroize(s, sizeof s);
    x = y = 0;
}

int rc4_set_key(rc4_state& state, std::size_t key_length, const std::uint8_t* key_bytes) {
    if (key_bytes == nullptr || key_length == 0 || key_length > rc4_max_key) return engine_bad_input;
    state.x = state.y = 0;
    for (int i = 0; i < 256; ++i) state.s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    std::size_t k = 0;
    for (int i = 0; i < 256; ++i) {
        const std::uint8_t t = state.s[i];
        j = static_cast<std::uint8_t>(j + t + key_bytes[k]);
        state.s[i] = state.s[j];
        state.s[j] = t;
        if (++k == key_length) k = 0;
    }
    return 0;
}

int rc4_crypt(rc4_state& state, std::size_t length, const std::uint8_t* in, std::uint8_t* out) {
    if (length == 0) return 0;
    if (in == nullptr || out == nullptr) return engine_bad_input;
    std::uint8_t x = state.x;
    std::uint8_t y = state.y;
    std::uint8_t* s = state.s;
    for (std::size_t i = 0; i < length; ++i) {
        x = static_cast<std::uint8_t>(x + 1);
        const std::uint8_t a = s[x];
        y = static_cast<std::uint8_t>(y + a);
        const std::uint8_t b = s[y];
        s[x] = b;
        s[y] = a;
        out[i] = static_cast<std::uint8_t>(in[i] ^ s[static_cast<std::uint8_t>(a + b)]);
    }
    state.x = x;
    state.y = y;
    return 0;
}

}  // namespace pkcs11
