#include "protocol/digest_manager.h"

#include "apdu/apdu_command.h"
#include "protocol/command_data.h"

namespace zervik {

namespace {

constexpr class_rule fixed = class_rule::fixed;

constexpr command_form digest_init_form{"DigestInit", apdu_case3_auto, 0x80, fixed, 0x51, 0x00, 0x00, 0};
constexpr command_form digest_update_form{"DigestUpdate", apdu_case3_auto, 0x80, fixed, 0x52, 0x00, 0x00, 0};
constexpr command_form digest_final_form{"DigestFinal", apdu_case4_auto, 0x80, fixed, 0x53, 0x00, 0x00, 0};
constexpr command_form mac_init_form{"MacInit", apdu_case1, 0x80, fixed, 0x71, 0x00, 0x00, 0};
constexpr command_form mac_update_form{"MacUpdate", apdu_case3_auto, 0x80, fixed, 0x72, 0x00, 0x00, 0};
constexpr command_form mac_final_form{"MacFinal", apdu_case4_auto, 0x80, fixed, 0x73, 0x00, 0x00, 0};

// The data of an Update or Final: bounded by what one command can carry.
std::int32_t build_data(TaviProtocol_Base& p, command_form form, const std::uint8_t* data, std::int32_t length,
                        bool may_be_empty) {
    command_data d(large_work_area);
    d.caller_bytes(data, length);
    if (may_be_empty && d.ok() && d.empty()) form.case_code = apdu_case2_auto;
    return build_with(p, form, d);
}

}  // namespace

TaviPrototcol_HashManager::~TaviPrototcol_HashManager() = default;

std::int32_t TaviPrototcol_HashManager::build_digest_init(std::uint32_t algorithm) {
    command_data d(small_work_area);
    d.u32(algorithm);
    return build_with(*this, digest_init_form, d);
}

std::int32_t TaviPrototcol_HashManager::build_digest_update(const std::uint8_t* data, std::int32_t length) {
    return build_data(*this, digest_update_form, data, length, false);
}

std::int32_t TaviPrototcol_HashManager::build_digest_final(const std::uint8_t* data, std::int32_t length) {
    return build_data(*this, digest_final_form, data, length, true);
}

TaviPrototcol_MacManager::~TaviPrototcol_MacManager() = default;

std::int32_t TaviPrototcol_MacManager::build_mac_init(std::uint8_t session_key) {
    return build(mac_init_form.with_p2(session_key), nullptr, 0);
}

std::int32_t TaviPrototcol_MacManager::build_mac_update(const std::uint8_t* data, std::int32_t length) {
    return build_data(*this, mac_update_form, data, length, false);
}

std::int32_t TaviPrototcol_MacManager::build_mac_final(const std::uint8_t* data, std::int32_t length) {
    return build_data(*this, mac_final_form, data, length, true);
}

}  // namespace zervik
