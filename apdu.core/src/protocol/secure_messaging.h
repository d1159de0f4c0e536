// Secure messaging of one APDU: the wrap of a command whose class byte has
// bit 0x04 and the unwrap of its reply data. The command builders and the
// reply check call only these two functions.
#pragma once

#include <cstdint>

namespace zervik {

class ApduCommand;

enum sm_result : std::int32_t {
    sm_ok = 0,
    sm_wrap_failed = 1,
    sm_short_reply = -1305,
    sm_bad_padding = -1600,
    sm_bad_mac = -1612,
};

// Rewrites the command in place (case, data, Lc) under the two 32-byte keys:
// 0, or 1 when it cannot be wrapped (sm/secure_messaging.h has the layout).
std::int32_t sm_wrap(ApduCommand& command, const std::uint8_t* encryption_key, const std::uint8_t* mac_key);

// Checks and decrypts reply data (without its status word) in place and
// gives the plaintext length: 0 or a negative sm_result. A reply of 0 bytes
// is left as it is; one of exactly 16 bytes (a MAC over no ciphertext) is
// empty plaintext once its MAC is checked. sm_short_reply: fewer than 16
// bytes; sm_bad_mac: MAC mismatch (compared in constant time);
// sm_bad_padding: the ciphertext is not whole blocks, or the pad count is
// not 1..16 or the pad bytes differ. Nothing in data can be trusted after a
// failure.
std::int32_t sm_unwrap(std::uint8_t* data, std::uint32_t length, std::uint32_t* plain_length,
                       const std::uint8_t* encryption_key, const std::uint8_t* mac_key);

}  // namespace zervik
