#include "token_card.h"

#include "api/taviapi_pinmgr.h"
#include "card_device.h"
#include "card_profile.h"

namespace pkcs11 {

namespace {

// One manager call on the token's device (opened first when needed).
template <typename Manager, typename Call>
std::int32_t on_card(pkcs11_token& token, Call&& call) {
    std::uintptr_t handle = 0;
    const std::int32_t status = token.device(&handle);
    if (status != 0) return status;
    zervik::device_winscard* device = solvantex::device_of(handle);
    if (device == nullptr) return 1;
    solvantex::module_manager<Manager> manager(device, solvantex::module_sm_flag());
    return call(manager);
}

}  // namespace

std::int32_t card_clear_security_state(pkcs11_token& token) {
    return on_card<zervik::taviapi_pinmgr>(token, [](zervik::taviapi_pinmgr& m) { return m.clear_secure_state(0, 0); });
}

}  // namespace pkcs11
