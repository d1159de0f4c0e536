#include "token_card.h"

#include "api/taviapi_devmgr.h"
#include "api/taviapi_filemgr.h"
#include "api/taviapi_pinmgr.h"
#include "card_device.h"
#include "card_profile.h"

namespace pkcs11 {

namespace {

using zervik::taviapi_devmgr;
using zervik::taviapi_filemgr;
using zervik::taviapi_pinmgr;

// One manager on the token's device (opened first when needed).
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

constexpr std::size_t file_info_size = 37;
constexpr std::uint8_t root_path[] = {0x20, 0x00};
constexpr std::uint8_t app_path[] = {0x20, 0x00, 0x40, 0x00};

}  // namespace

std::int32_t card_clear_security_state(pkcs11_token& token) {
    return on_card<taviapi_pinmgr>(token, [](taviapi_pinmgr& m) { return m.clear_secure_state(0, 0); });
}

std::int32_t card_alive(pkcs11_token& token) {
    return on_card<taviapi_devmgr>(token, [](taviapi_devmgr& m) {
        std::uint64_t status = 0;
        return m.get_health_status(&status);
    });
}

std::int32_t card_data(pkcs11_token& token, std::uint16_t tag, std::uint8_t* out, std::int32_t length) {
    return on_card<taviapi_filemgr>(token, [&](taviapi_filemgr& m) {
        std::int32_t got = length;
        const std::int32_t status = m.get_data(tag, out, &got);
        if (status != 0) return status;
        return got == length ? 0 : 3;
    });
}

std::int32_t card_select_app_dir(pkcs11_token& token) {
    return on_card<taviapi_filemgr>(token, [](taviapi_filemgr& m) {
        std::uint8_t info[file_info_size];
        return m.select_df_by_path_from_mf(app_path, sizeof app_path, info);
    });
}

std::int32_t card_read_serial(pkcs11_token& token, std::uint8_t serial[16]) {
    return on_card<taviapi_filemgr>(token, [&](taviapi_filemgr& m) {
        std::uint8_t info[file_info_size];
        std::int32_t status = m.select_df_by_path_from_mf(root_path, sizeof root_path, info);
        if (status != 0) return status;
        std::int32_t got = 16;
        status = m.read_binary_name("cardid", 0, 16, serial, &got);
        if (status == 0 && got != 16) status = 3;
        const std::int32_t back = m.select_df_by_path_from_mf(app_path, sizeof app_path, info);
        return status != 0 ? status : back;
    });
}

std::int32_t card_pin_info(pkcs11_token& token, std::uint8_t reference, std::int32_t* tries, std::int32_t* to_change) {
    return on_card<taviapi_pinmgr>(token, [&](taviapi_pinmgr& m) {
        std::int32_t algorithm = 0, byte4 = 0, byte8 = 0, byte9 = 0;
        std::uint8_t byte6 = 0, byte7 = 0;
        return m.get_pin_info(reference, {&algorithm, &byte4, tries, &byte6, &byte7, &byte8, &byte9, to_change});
    });
}

}  // namespace pkcs11
