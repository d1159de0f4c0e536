// The card work of a token, over the module's card layer: each opens the
// token's device first when it has none. Results are the card layer's
// (0, its local codes, card status words, PC/SC codes).
#pragma once

#include <cstdint>

#include "token_mgr.h"

namespace pkcs11 {

// ClearSecureState: the card forgets every verified PIN.
std::int32_t card_clear_security_state(pkcs11_token& token);

}  // namespace pkcs11
