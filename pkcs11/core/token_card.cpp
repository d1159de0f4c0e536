#include "token_card.h"

#include "card_call.h"
#include "card_commands.h"
#include "card_store.h"

namespace pkcs11 {

std::int32_t card_clear_security_state(solvantex::card_handle h) {
    return solvantex::with_manager<solvantex::module_pinmgr>(
        h, [](solvantex::module_pinmgr& m) { return m.clear_secure_state(0, 0); });
}

std::int32_t card_alive(pkcs11_token& token) {
    return on_device(token, [](solvantex::card_handle h) {
        std::uint64_t status = 0;
        return solvantex::card_get_health(h, &status);
    });
}

std::int32_t card_read_serial(solvantex::card_handle h, std::uint8_t serial[16]) {
    std::int32_t status = solvantex::cardfs_select_root(h);
    if (status == 0) status = solvantex::cardfs_read_fixed_here(h, solvantex::cardfs_cardid_name, 0, 16, serial);
    const std::int32_t back = solvantex::cardfs_select_app_dir(h);
    return status != 0 ? status : back;
}

}  // namespace pkcs11
