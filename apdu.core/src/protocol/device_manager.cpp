#include "protocol/device_manager.h"

#include <cstring>

#include "apdu/apdu_command.h"
#include "protocol/byte_order.h"
#include "protocol/command_form.h"
#include "protocol/status.h"

namespace zervik {

namespace {

constexpr class_rule flag = class_rule::follows_flag;
constexpr class_rule fixed = class_rule::fixed;

constexpr command_form get_fs_max_space_form{"GetFSMaxSpace", apdu_case2_auto, 0x80, flag, 0x01, 0x00, 0x00, 4};
constexpr command_form format_device_form{"FormatDevice", apdu_case3_auto, 0x80, flag, 0x02, 0x00, 0x00, 0};
constexpr command_form get_chip_id_form{"GetChipID", apdu_case2_auto, 0x80, flag, 0x03, 0x00, 0x00, 0};
constexpr command_form get_health_status_form{"GetHealthStatus", apdu_case2_auto, 0x80, flag, 0x05, 0x00, 0x00, 8};
constexpr command_form change_working_mode_form{"ChangeWorkingMode", apdu_case1, 0x80, flag, 0x06, 0x00, 0x00, 0};
constexpr command_form health_check_form{"HealthCheck", apdu_case1, 0x80, flag, 0x16, 0x00, 0x00, 0};
constexpr command_form drbg_reseed_form{"DrbgReseed", apdu_case1, 0x80, fixed, 0x21, 0x00, 0x00, 0};
constexpr command_form kas_gen_ephemeral_form{"SecureMessageKAS", apdu_case4_auto, 0x80, flag, 0x11, 0x00, 0x00, 0};
constexpr command_form kas_kdf_form{"SecureMessageKAS", apdu_case4_auto, 0x80, flag, 0x11, 0x01, 0x00, 0};

// The work area of the format and key-agreement commands.
constexpr std::size_t work_area_size = 1024;
static_assert(format_record_fixed_size + format_blob_max <= work_area_size, "format record fits the work area");

}  // namespace

TaviPrototcol_DeviceManager::~TaviPrototcol_DeviceManager() = default;

std::int32_t TaviPrototcol_DeviceManager::build_get_fs_max_space() {
    return build(get_fs_max_space_form, nullptr, 0);
}

std::int32_t TaviPrototcol_DeviceManager::build_format_device(const format_parameters& parameters) {
    std::uint8_t work[work_area_size];
    std::size_t length = sizeof work;
    if (build_format_record(parameters, work, &length) != status_ok) return status_unusable;
    return build_format_device_record(work, length);
}

std::int32_t TaviPrototcol_DeviceManager::build_format_device_record(const std::uint8_t* record,
                                                                     std::size_t length) {
    if (record == nullptr || length == 0 || length > work_area_size) return status_unusable;
    return build(format_device_form, record, length);
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
    std::uint8_t work[5];
    put_u32(work, algorithm);
    work[4] = parameter;
    return build(kas_gen_ephemeral_form, work, sizeof work);
}

std::int32_t TaviPrototcol_DeviceManager::build_kas_kdf(std::uint32_t first_id, std::uint32_t second_id,
                                                        const std::uint8_t* other_info,
                                                        const std::uint8_t* host_key,
                                                        std::size_t other_info_length) {
    if (other_info == nullptr || host_key == nullptr || other_info_length > max_other_info_size)
        return status_unusable;
    std::uint8_t work[8 + max_other_info_size + card_key_size];
    put_u32(work, first_id);
    put_u32(work + 4, second_id);
    std::memcpy(work + 8, other_info, other_info_length);
    std::memcpy(work + 8 + other_info_length, host_key, card_key_size);
    return build(kas_kdf_form, work, 8 + other_info_length + card_key_size);
}

}  // namespace zervik
