// Secure messaging of one APDU. A protected command carries its data padded
// (1 to 16 bytes, each holding the pad count) and encrypted with AES-256-CBC
// under the encryption key, followed by an AES-CMAC under the MAC key over
// the header (CLA as sent, with bit 0x04), the Lc field and the ciphertext.
// A protected reply carries ciphertext and a CMAC over the ciphertext only.
//
// Kept as the card expects it: the IV is zero for every APDU (equal
// plaintexts give equal ciphertexts), Le is outside the command MAC, and the
// reply's status word is not protected.

//
// sm_wrap and sm_unwrap (protocol/secure_messaging.h) are what the command
// frame calls; the pieces below are the wrap without the APDU object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/secure_messaging.h"

namespace zervik {

constexpr std::size_t sm_key_length = 32;
constexpr std::size_t sm_mac_length = 16;

// Case a protected command goes out with: it always carries data, keeps
// its Le, and takes the short or extended form by its lengths.
//   1, 3, 0x13, 0x23                 -> 0x23
//   2, 4, 0x12, 0x14, 0x22, 0x24     -> 0x24
// Any other case is returned unchanged (serialising it fails later).
std::int32_t sm_wrapped_case(std::int32_t apdu_case);

// Protects the command data of the command with the given header (CLA INS
// P1 P2, CLA already carrying bit 0x04) and Le. wrapped receives the new
// command data: the ciphertext and the MAC, or the MAC alone (over a data
// field of 16 zero bytes) when there is no data. The MAC covers the Lc field
// in the form the command will be sent with: extended when the new Lc or Le
// is 256 or more. Returns 0, or 1 when the command cannot be sent wrapped
// (data of 64 KiB or more, the new Lc above 0xFFFF, Le above 0x10000,
// missing keys or data).
int sm_wrap_data(const std::uint8_t header[4], const std::uint8_t* data, std::size_t data_length, std::int32_t le,
                 const std::uint8_t encryption_key[sm_key_length], const std::uint8_t mac_key[sm_key_length],
                 std::vector<std::uint8_t>& wrapped);

}  // namespace zervik
