// AES primitives of the card library: the block engine in CBC and ECB,
// AES-CMAC (RFC 4493) and the AES key wrap (RFC 3394).
//
// There is no shared key schedule: every operation expands its key into an
// aes_schedule of its own (normally on the caller's stack), so exports that
// run at the same time on different devices never disturb each other.
#pragma once

#include <mbedtls/aes.h>

#include <cstddef>
#include <cstdint>

namespace zervik {

constexpr std::size_t aes_block_size = 16;
constexpr std::size_t aes_cmac_size = 16;
// Largest data the engine and the key wrap take: lengths are 16-bit counts
// on the card interface, so 64 KiB or more is refused rather than cut.
constexpr std::size_t aes_max_data = 0xFFFF;

// Modes of aes_crypt: 1 encrypts, any other value decrypts.
constexpr int aes_mode_encrypt = 1;
constexpr int aes_mode_decrypt = 0;

// Cipher types of aes_crypt: 1/2 AES-128, 3/4 AES-192, 5/6 AES-256; odd
// types CBC, even types ECB.
constexpr int aes_type_128_cbc = 1;
constexpr int aes_type_128_ecb = 2;
constexpr int aes_type_192_cbc = 3;
constexpr int aes_type_192_ecb = 4;
constexpr int aes_type_256_cbc = 5;
constexpr int aes_type_256_ecb = 6;

// The round keys of one key, for both directions. Wiped when destroyed.
class aes_schedule {
public:
    aes_schedule();
    ~aes_schedule();
    aes_schedule(const aes_schedule&) = delete;
    aes_schedule& operator=(const aes_schedule&) = delete;

    std::size_t key_length() const { return key_length_; }
    mbedtls_aes_context* encrypt_context() { return &encrypt_; }
    mbedtls_aes_context* decrypt_context() { return &decrypt_; }

private:
    friend int aes_set_key(aes_schedule&, const std::uint8_t*, std::size_t);
    mbedtls_aes_context encrypt_;
    mbedtls_aes_context decrypt_;
    std::size_t key_length_ = 0;
};

// Expands a 16-, 24- or 32-byte key: 0, or 1 for any other length or a null
// key (the schedule then holds no key and aes_crypt refuses to run).
int aes_set_key(aes_schedule& schedule, const std::uint8_t* key, std::size_t key_length);

// Encrypts or decrypts the whole 16-byte blocks of input into output (the
// two may be the same buffer); a trailing partial block is left untouched.
// In CBC, iv is read first and receives the last ciphertext block; in ECB it
// is not used. Returns 0, or 1 with nothing processed for a type outside
// 1..6, a type whose key size is not the size of the key set, a length of
// 64 KiB or more, or a missing buffer.
int aes_crypt(aes_schedule& schedule, int mode, int type, const std::uint8_t* input, std::uint8_t* output,
              std::size_t length, std::uint8_t* iv);

// AES-CMAC of RFC 4493 with a 16-, 24- or 32-byte key: 0, or 1 for a bad key
// length or a missing buffer (tag untouched).
int aes_cmac(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* message, std::size_t message_length,
             std::uint8_t tag[aes_cmac_size]);

// RFC 3394 key wrap with the default initial value (eight 0xA6 bytes).
// data_length: a multiple of 8, at least 8. *output_length is the capacity
// in and the wrapped length (data_length + 8) out. Returns 0, or 1 for a bad
// KEK length, bad data length or a short output; for a short output the
// needed length is written to *output_length.
int aes_key_wrap(const std::uint8_t* kek, std::size_t kek_length, const std::uint8_t* data, std::size_t data_length,
                 std::uint8_t* output, std::uint16_t* output_length);

// RFC 3394 unwrap with the integrity check. wrapped_length: a multiple of 8,
// at least 16. Returns 0 with the key (wrapped_length - 8 bytes) and its
// length written; 1 for a bad KEK or data length or a short output (nothing
// written), or when the check fails (the output's wrapped_length - 8 bytes
// are zeroed then).
int aes_key_unwrap(const std::uint8_t* kek, std::size_t kek_length, const std::uint8_t* wrapped,
                   std::size_t wrapped_length, std::uint8_t* output, std::uint16_t* output_length);

// Compares two byte strings in time that depends on their length only.
bool equal_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

}  // namespace zervik
