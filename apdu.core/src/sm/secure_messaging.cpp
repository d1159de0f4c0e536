#include "sm/secure_messaging.h"

#include "apdu/apdu_command.h"
#include "sm/aes.h"

#include <mbedtls/platform_util.h>

#include <cstring>

namespace zervik {

namespace {

constexpr std::size_t short_length_limit = 256;
constexpr std::int32_t max_extended_le = 0x10000;
constexpr std::size_t max_lc = 0xFFFF;

// AES-256-CBC with a zero IV, in place, over whole blocks.
int cbc_zero_iv(int mode, const std::uint8_t key[sm_key_length], std::uint8_t* data, std::size_t length) {
    aes_schedule schedule;
    if (aes_set_key(schedule, key, sm_key_length) != 0) return 1;
    std::uint8_t iv[aes_block_size] = {};
    return aes_crypt(schedule, mode, aes_type_256_cbc, data, data, length, iv);
}

}  // namespace

std::int32_t sm_wrapped_case(std::int32_t apdu_case) {
    switch (apdu_case) {
        case 0x01:
        case 0x03:
        case 0x13:
        case 0x23:
            return 0x23;
        case 0x02:
        case 0x04:
        case 0x12:
        case 0x14:
        case 0x22:
        case 0x24:
            return 0x24;
        default:
            return apdu_case;
    }
}

int sm_wrap_data(const std::uint8_t header[4], const std::uint8_t* data, std::size_t data_length, std::int32_t le,
                 const std::uint8_t encryption_key[sm_key_length], const std::uint8_t mac_key[sm_key_length],
                 std::vector<std::uint8_t>& wrapped) {
    if (header == nullptr || encryption_key == nullptr || mac_key == nullptr) return 1;
    if (data == nullptr && data_length != 0) return 1;
    if (data_length > aes_max_data || le < 0 || le > max_extended_le) return 1;

    // Padding of 1..16 bytes, a whole block when the data is block-aligned.
    // Without data the field is 16 zero bytes: the MAC alone.
    const std::size_t padded =
        data_length == 0 ? 0 : (data_length / aes_block_size + 1) * aes_block_size;
    const std::size_t lc = padded + sm_mac_length;
    if (lc > max_lc) return 1;
    const bool extended = lc >= short_length_limit || le >= static_cast<std::int32_t>(short_length_limit);

    // MAC input: header, Lc field, ciphertext; the tag follows.
    const std::size_t prefix = 4 + (extended ? 3 : 1);
    std::vector<std::uint8_t> message(prefix + padded);
    std::memcpy(message.data(), header, 4);
    if (extended) {
        message[4] = 0x00;
        message[5] = static_cast<std::uint8_t>(lc >> 8);
        message[6] = static_cast<std::uint8_t>(lc);
    } else {
        message[4] = static_cast<std::uint8_t>(lc);
    }
    std::uint8_t* body = message.data() + prefix;
    if (padded != 0) {
        std::memcpy(body, data, data_length);
        std::memset(body + data_length, static_cast<int>(padded - data_length), padded - data_length);
        if (cbc_zero_iv(aes_mode_encrypt, encryption_key, body, padded) != 0) {
            mbedtls_platform_zeroize(message.data(), message.size());
            return 1;
        }
    }
    std::uint8_t tag[sm_mac_length];
    if (aes_cmac(mac_key, sm_key_length, message.data(), message.size(), tag) != 0) return 1;

    wrapped.assign(body, body + padded);
    wrapped.insert(wrapped.end(), tag, tag + sizeof tag);
    return 0;
}

std::int32_t sm_wrap(ApduCommand& command, const std::uint8_t* encryption_key, const std::uint8_t* mac_key) {
    if (command.data.size() != static_cast<std::size_t>(command.lc < 0 ? 0 : command.lc)) return sm_wrap_failed;
    const std::uint8_t header[4] = {command.cla, command.ins, command.p1, command.p2};
    std::vector<std::uint8_t> wrapped;
    if (sm_wrap_data(header, command.data.data(), command.data.size(), command.le, encryption_key, mac_key,
                     wrapped) != 0) {
        return sm_wrap_failed;
    }
    command.case_code = sm_wrapped_case(command.case_code);
    // The plaintext (a PIN, a key) does not stay behind in freed memory.
    if (!command.data.empty()) mbedtls_platform_zeroize(command.data.data(), command.data.size());
    if (command.set_data(wrapped.data(), wrapped.size()) != apdu_ok) return sm_wrap_failed;
    return sm_ok;
}

std::int32_t sm_unwrap(std::uint8_t* data, std::uint32_t length, std::uint32_t* plain_length,
                       const std::uint8_t* encryption_key, const std::uint8_t* mac_key) {
    if (plain_length == nullptr || encryption_key == nullptr || mac_key == nullptr) return sm_short_reply;
    if (length == 0) {
        *plain_length = 0;
        return sm_ok;
    }
    if (data == nullptr || length < sm_mac_length) return sm_short_reply;

    const std::uint32_t cipher_length = length - static_cast<std::uint32_t>(sm_mac_length);
    std::uint8_t tag[sm_mac_length];
    if (aes_cmac(mac_key, sm_key_length, data, cipher_length, tag) != 0) return sm_bad_mac;
    if (!equal_constant_time(tag, data + cipher_length, sm_mac_length)) return sm_bad_mac;

    if (cipher_length == 0) {
        // Only a MAC, already checked: no data.
        *plain_length = 0;
        return sm_ok;
    }
    if (cipher_length % aes_block_size != 0) return sm_bad_padding;
    if (cbc_zero_iv(aes_mode_decrypt, encryption_key, data, cipher_length) != 0) return sm_bad_padding;

    const std::uint8_t pad = data[cipher_length - 1];
    if (pad < 1 || pad > aes_block_size) return sm_bad_padding;
    for (std::uint32_t i = cipher_length - pad; i < cipher_length; ++i) {
        if (data[i] != pad) return sm_bad_padding;
    }
    *plain_length = cipher_length - pad;
    return sm_ok;
}

}  // namespace zervik
