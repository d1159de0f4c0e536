// Block and stream cipher engines of the module's software contexts.
//
// AES takes its block transform from mbed TLS (the same AES the card
// library uses, with AES-NI where the build has it); RC2 (RFC 2268) and
// RC4 are the module's own. Every engine works on a state record that its
// caller owns and keeps no state of its own. The block engines process
// whole blocks only: a length that is not a multiple of the block is
// refused with nothing processed. Every function returns 0 on success and
// engine_bad_input for a bad key length, a bad data length or a missing
// buffer.
#pragma once

#include <mbedtls/aes.h>

#include <cstddef>
#include <cstdint>

namespace pkcs11 {

constexpr int engine_bad_input = 1;

// ---- AES --------------------------------------------------------------

constexpr std::size_t aes_block = 16;

// Both directions of one AES key and the 16-byte chaining block of CBC.
// Wiped when destroyed.
struct aes_key_schedule {
    aes_key_schedule();
    ~aes_key_schedule();
    aes_key_schedule(const aes_key_schedule&) = delete;
    aes_key_schedule& operator=(const aes_key_schedule&) = delete;

    mbedtls_aes_context encrypt;
    mbedtls_aes_context decrypt;
    std::uint8_t chain[aes_block] = {};
    unsigned key_bits = 0;  // 0 while no key is set
};

// Key bits 128, 192 or 256; anything else leaves the schedule without a key
// (the block functions then refuse to run).
int aes_set_key(aes_key_schedule& schedule, const std::uint8_t* key, unsigned key_bits);
int aes_encrypt_block(aes_key_schedule& schedule, const std::uint8_t in[aes_block], std::uint8_t out[aes_block]);
int aes_decrypt_block(aes_key_schedule& schedule, const std::uint8_t in[aes_block], std::uint8_t out[aes_block]);
// CBC over whole blocks with the schedule's chaining block, which receives
// the last ciphertext block. Input and output may be the same buffer.
int aes_cbc_encrypt(aes_key_schedule& schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t length);
int aes_cbc_decrypt(aes_key_schedule& schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t length);

// ---- RC2 --------------------------------------------------------------

constexpr std::size_t rc2_block = 8;
constexpr std::size_t rc2_max_key = 128;
constexpr unsigned rc2_max_effective_bits = 1024;

// The expanded key: 64 words of 16 bits. Wiped when destroyed.
struct rc2_key {
    rc2_key() = default;
    ~rc2_key();
    rc2_key(const rc2_key&) = delete;
    rc2_key& operator=(const rc2_key&) = delete;

    std::uint16_t k[64] = {};
};

// RFC 2268 key expansion of 1..128 key bytes. Effective bits 0 mean 1024;
// values above 1024 are capped at 1024.
int rc2_set_key(rc2_key& key, std::size_t key_length, const std::uint8_t* key_bytes, unsigned long effective_bits);
void rc2_encrypt_block(const rc2_key& key, const std::uint8_t in[rc2_block], std::uint8_t out[rc2_block]);
void rc2_decrypt_block(const rc2_key& key, const std::uint8_t in[rc2_block], std::uint8_t out[rc2_block]);
// Whole blocks in either direction; in CBC the 8-byte chaining block is
// updated. Input and output may be the same buffer.
int rc2_ecb(const rc2_key& key, bool encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t length);
int rc2_cbc(const rc2_key& key, bool encrypt, std::uint8_t chain[rc2_block], const std::uint8_t* in, std::uint8_t* out,
            std::size_t length);

// ---- RC4 --------------------------------------------------------------

constexpr std::size_t rc4_max_key = 256;

struct rc4_state {
    rc4_state() = default;
    ~rc4_state();
    rc4_state(const rc4_state&) = delete;
    rc4_state& operator=(const rc4_state&) = delete;

    std::uint8_t x = 0;
    std::uint8_t y = 0;
    std::uint8_t s[256] = {};
};

// Key set-up with 1..256 key bytes.
int rc4_set_key(rc4_state& state, std::size_t key_length, const std::uint8_t* key_bytes);
// XOR with the key stream; input and output may be the same buffer.
int rc4_crypt(rc4_state& state, std::size_t length, const std::uint8_t* in, std::uint8_t* out);

}  // namespace pkcs11
