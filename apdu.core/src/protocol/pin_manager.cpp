#include "protocol/pin_manager.h"

#include <cstring>

#include "apdu/apdu_command.h"
#include "protocol/command_data.h"

namespace zervik {

namespace {

constexpr class_rule flag = class_rule::follows_flag;
constexpr class_rule fixed = class_rule::fixed;

constexpr command_form install_pin_form{"InstalPin", apdu_case3_auto, 0x84, fixed, 0x31, 0x00, 0x00, 0};
constexpr command_form get_challenge_form{"GetChallenge", apdu_case2_auto, 0x00, fixed, 0x84, 0x00, 0x00, 0};
constexpr command_form external_auth_form{"ExternalAuth", apdu_case3_auto, 0x00, fixed, 0x82, 0x00, 0x00, 0};
constexpr command_form internal_auth_form{"InternalAuth", apdu_case4_auto, 0x00, flag, 0x88, 0x00, 0x02, 0};
constexpr command_form verify_pin_form{"VerifyPIN", apdu_case3_auto, 0x00, flag, 0x20, 0x00, 0x00, 0};
constexpr command_form get_pin_info_form{"GetPINInfo", apdu_case2_auto, 0x80, flag, 0x32, 0x00, 0x00, 0};
constexpr command_form change_pin_form{"ChangePIN", apdu_case3_auto, 0x84, fixed, 0x33, 0x00, 0x00, 0};
constexpr command_form unblock_pin_form{"UnblockPIN", apdu_case3_auto, 0x84, fixed, 0x34, 0x00, 0x00, 0};
constexpr command_form unload_pin_form{"UnLoadPIN", apdu_case3_auto, 0x84, fixed, 0x34, 0x02, 0x00, 0};
constexpr command_form clear_secure_state_form{"ClearSecureState", apdu_case1, 0x80, flag, 0x35, 0x00, 0x00, 0};

constexpr std::int32_t max_expected_length = 0x10000;

bool all_zero(const std::uint8_t* key, std::size_t size) {
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < size; ++i) any |= key[i];
    return any == 0;
}

// The caller's data as the whole command data.
std::int32_t build_bytes(TaviProtocol_Base& p, const command_form& form, const std::uint8_t* data, std::size_t length) {
    command_data d(small_work_area);
    d.bytes(data, length);
    return build_with(p, form, d);
}

}  // namespace

TaviPrototcol_PinManager::~TaviPrototcol_PinManager() = default;

bool TaviPrototcol_PinManager::has_channel_keys() const {
    return !all_zero(encryption_key, key_size) && !all_zero(mac_key, key_size);
}

std::int32_t TaviPrototcol_PinManager::build_install_pin(const pin_record_parameters& record, std::uint8_t p1) {
    command_data d(small_work_area);
    if (build_pin_record(record, d) != status_ok) return status_unusable;
    if (!has_channel_keys()) return status_failed;
    return build_with(*this, install_pin_form.with_p1(p1), d);
}

std::int32_t TaviPrototcol_PinManager::build_wrapped_pair(const command_form& form, const std::uint8_t* first,
                                                          std::size_t first_length, const std::uint8_t* second,
                                                          std::size_t second_length) {
    command_data d(small_work_area);
    d.bytes(first, first_length).bytes(second, second_length);
    if (!d.ok()) return status_unusable;
    if (!has_channel_keys()) return status_failed;
    return build_with(*this, form, d);
}

std::int32_t TaviPrototcol_PinManager::build_change_pin(std::uint8_t reference, std::uint8_t p1,
                                                        const std::uint8_t* old_value, std::size_t old_length,
                                                        const std::uint8_t* new_value, std::size_t new_length) {
    return build_wrapped_pair(change_pin_form.with_p1(p1).with_p2(reference), old_value, old_length, new_value,
                              new_length);
}

std::int32_t TaviPrototcol_PinManager::build_unblock_pin(std::uint8_t reference, std::uint8_t p1,
                                                         const std::uint8_t* unblock_value,
                                                         std::size_t unblock_length, const std::uint8_t* new_pin,
                                                         std::size_t new_length) {
    return build_wrapped_pair(unblock_pin_form.with_p1(p1).with_p2(reference), unblock_value, unblock_length,
                              new_pin, new_length);
}

std::int32_t TaviPrototcol_PinManager::build_unload_pin(std::uint8_t reference, const std::uint8_t* data,
                                                        std::size_t length) {
    return build_wrapped_pair(unload_pin_form.with_p2(reference), data, length, nullptr, 0);
}

std::int32_t TaviPrototcol_PinManager::build_get_challenge(std::uint8_t p1, std::int32_t length) {
    if (length < 1 || length > max_expected_length) return status_unusable;
    return build(get_challenge_form.with_p1(p1).with_le(length), nullptr, 0);
}

std::int32_t TaviPrototcol_PinManager::build_external_auth(std::uint8_t key_reference,
                                                           const std::uint8_t* cryptogram, std::size_t length) {
    return build_bytes(*this, external_auth_form.with_p2(key_reference), cryptogram, length);
}

std::int32_t TaviPrototcol_PinManager::build_internal_auth(const std::uint8_t* challenge, std::size_t length) {
    return build_bytes(*this, internal_auth_form, challenge, length);
}

std::int32_t TaviPrototcol_PinManager::build_verify_pin(std::uint8_t reference, std::uint8_t p1,
                                                        const std::uint8_t* pin, std::size_t length) {
    return build_bytes(*this, verify_pin_form.with_p1(p1).with_p2(reference), pin, length);
}

std::int32_t TaviPrototcol_PinManager::build_get_pin_info(std::uint8_t reference) {
    return build(get_pin_info_form.with_p2(reference), nullptr, 0);
}

std::int32_t TaviPrototcol_PinManager::build_clear_secure_state(std::uint8_t p1, std::uint8_t p2) {
    return build(clear_secure_state_form.with_p1(p1).with_p2(p2), nullptr, 0);
}

std::int32_t TaviPrototcol_PinManager::reply_exact_data(std::uint8_t* buffer, std::size_t length) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (buffer == nullptr || d.length != length) return status_reply_mismatch;
    std::memcpy(buffer, d.data, length);
    return status_ok;
}

}  // namespace zervik
