#include "protocol/device_manager.h"

#include "apdu/apdu_command.h"
#include "protocol/command_data.h"

namespace zervik {

namespace {

// The key agreement that opens a channel and the health query always go
// plain, whatever the secure-channel flag of the protocol object says: a
// channel is never set up under the keys it replaces.
constexpr class_rule flag = class_rule::follows_flag;
constexpr class_rule fixed = class_rule::fixed;

constexpr command_form get_fs_max_space_form{"GetFSMaxSpace", apdu_case2_auto, 0x80, flag, 0x01, 0x00, 0x00, 4};
constexpr command_form format_device_form{"FormatDevice", apdu_case3_auto, 0x80, flag, 0x02, 0x00, 0x00, 0};
constexpr command_form get_chip_id_form{"GetChipID", apdu_case2_auto, 0x80, flag, 0x03, 0x00, 0x00, 0};
constexpr command_form get_health_status_form{"GetHealthStatus", apdu_case2_auto, 0x80, fixed, 0x05, 0x00, 0x00, 8};
constexpr command_form change_working_mode_form{"ChangeWorkingMode", apdu_case1, 0x80, flag, 0x06, 0x00, 0x00, 0};
constexpr command_form health_check_form{"HealthCheck", apdu_case1, 0x80, flag, 0x16, 0x00, 0x00, 0};
constexpr command_form drbg_reseed_form{"DrbgReseed", apdu_case1, 0x80, fixed, 0x21, 0x00, 0x00, 0};
constexpr command_form kas_gen_ephemeral_form{"SecureMessageKAS", apdu_case4_auto, 0x80, fixed, 0x11, 0x00, 0x00, 0};
constexpr command_form kas_kdf_form{"SecureMessageKAS", apdu_case4_auto, 0x80, fixed, 0x11, 0x01, 0x00, 0};

static_assert(format_record_fixed_size + format_blob_max <= small_work_area, "format record fits the work area");

}  // namespace

TaviPrototcol_DeviceManager::~TaviPrototcol_DeviceManager() = default;

std::int32_t TaviPrototcol_DeviceManager::build_get_fs_max_space() {
    return build(get_fs_max_space_form, nullptr, 0);
}

std::int32_t TaviPrototcol_DeviceManager::build_format_device(const format_parameters& parameters) {
    command_data d(small_work_area);
    build_format_record(parameters, d);
    return build_with(*this, format_device_form, d);
}

std::int32_t TaviPrototcol_DeviceManager::build_format_device_record(const std::uint8_t* record,
                                                                     std::size_t length) {
    if (record == nullptr || length == 0 || length > small_work_area) return status_unusable;
    command_data d(small_work_area);
    d.caller_bytes(record, static_cast<std::int32_t>(length));
    return build_with(*this, format_device_form, d);
}

std::int32_t TaviPrototcol_DeviceManager::build_get_chip_id() { return build(get_chip_id_form, nullptr, 0); }

std::int32_t TaviPrototcol_DeviceManager::build_get_health_status() {
    return build(get_health_status_form, nullptr, 0);
}

std::int32_t TaviPrototcol_DeviceManager::build_change_working_mode(std::uint8_t mode) {
    return build(change_working_mode_form.with_p1(mode), nullptr, 0);
}

std::int32_t TaviPrototcol_DeviceManager::build_health_check() { return build(health_check_form, nullptr, 0); }

std::int32_t TaviPrototcol_DeviceManager::build_drbg_reseed() { return build(drbg_reseed_form, nullptr, 0); }

std::int32_t TaviPrototcol_DeviceManager::build_kas_gen_ephemeral(std::uint32_t algorithm, std::uint8_t parameter) {
    command_data d(small_work_area);
    d.u32(algorithm).u8(parameter);
    return build_with(*this, kas_gen_ephemeral_form, d);
}

std::int32_t TaviPrototcol_DeviceManager::build_kas_kdf(std::uint32_t first_id, std::uint32_t second_id,
                                                        const std::uint8_t* other_info, const std::uint8_t* host_key,
                                                        std::size_t other_info_size) {
    if (other_info == nullptr || host_key == nullptr || other_info_size > kas_other_info_max) return status_unusable;
    command_data d(small_work_area);
    d.u32(first_id).u32(second_id).bytes(other_info, other_info_size).bytes(host_key, card_key_size);
    return build_with(*this, kas_kdf_form, d);
}

}  // namespace zervik
