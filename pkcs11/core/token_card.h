// The card work of a token, over the module's card layer: each opens the
// token's device first when it has none. Results are the card layer's
// (0, its local codes, card status words, PC/SC codes).
#pragma once

#include <cstdint>

#include "token_mgr.h"

namespace pkcs11 {

// ClearSecureState: the card forgets every verified PIN.
std::int32_t card_clear_security_state(pkcs11_token& token);
// GetHealthStatus: 0 while the device answers.
std::int32_t card_alive(pkcs11_token& token);
// GetData of a tag: exactly length bytes (3 for a reply of another length).
std::int32_t card_data(pkcs11_token& token, std::uint16_t tag, std::uint8_t* out, std::int32_t length);
// Selects the application directory 3F00/2000/4000 (fails on an
// unformatted card).
std::int32_t card_select_app_dir(pkcs11_token& token);
// The 16 bytes of "cardid" under 3F00/2000; the application directory is
// selected again afterwards.
std::int32_t card_read_serial(pkcs11_token& token, std::uint8_t serial[16]);
// GetPINInfo of a reference: the tries left and the to-be-changed byte.
std::int32_t card_pin_info(pkcs11_token& token, std::uint8_t reference, std::int32_t* tries, std::int32_t* to_change);

}  // namespace pkcs11
