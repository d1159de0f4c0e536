// The card work of a token over the module's card layer: each opens the
// token's device first when it has none. Results are the card layer's
// (0, its local codes, card status words, PC/SC codes).
#pragma once

#include <cstdint>

#include "card_device.h"
#include "token_mgr.h"

namespace pkcs11 {

// call(handle) on the token's device, opened first when needed.
template <typename Call>
std::int32_t on_device(pkcs11_token& token, Call&& call) {
    std::uintptr_t handle = 0;
    const std::int32_t status = token.device(&handle);
    if (status != 0) return status;
    return call(static_cast<solvantex::card_handle>(handle));
}

// ClearSecureState: the card forgets every verified PIN.
std::int32_t card_clear_security_state(solvantex::card_handle h);
// GetHealthStatus: 0 while the device answers.
std::int32_t card_alive(pkcs11_token& token);
// The 16 bytes of "cardid" under 3F00/2000; the application directory is
// selected again afterwards.
std::int32_t card_read_serial(solvantex::card_handle h, std::uint8_t serial[16]);

}  // namespace pkcs11
