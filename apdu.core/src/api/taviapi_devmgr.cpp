#include "api/taviapi_devmgr.h"

#include "protocol/device_manager.h"

namespace zervik {

taviapi_devmgr::~taviapi_devmgr() = default;

std::int32_t taviapi_devmgr::get_fs_max_space(std::int32_t* space) {
    if (space == nullptr) return status_unusable;
    TaviPrototcol_DeviceManager p;
    std::uint32_t value = 0;
    const std::int32_t status = run(
        p, [&] { return p.build_get_fs_max_space(); }, [&] { return p.reply_u32(&value); });
    if (status == status_ok) *space = static_cast<std::int32_t>(value);
    return status;
}

std::int32_t taviapi_devmgr::get_chip_id(std::uint8_t* buffer, std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    TaviPrototcol_DeviceManager p;
    return run(
        p, [&] { return p.build_get_chip_id(); }, [&] { return p.reply_data(buffer, length); });
}

std::int32_t taviapi_devmgr::format_device(const format_parameters& parameters) {
    if (device_ == nullptr) return status_failed;
    TaviPrototcol_DeviceManager p(*device_, sm_flag_);
    return run(
        p, [&] { return p.build_format_device(parameters); }, [&] { return p.reply_status(); });
}

std::int32_t taviapi_devmgr::get_health_status(std::uint64_t* status) {
    if (status == nullptr) return status_unusable;
    TaviPrototcol_DeviceManager p;
    return run(
        p, [&] { return p.build_get_health_status(); }, [&] { return p.reply_eight_bytes(status); });
}

std::int32_t taviapi_devmgr::change_working_mode(std::int32_t mode) {
    TaviPrototcol_DeviceManager p;
    return run(
        p, [&] { return p.build_change_working_mode(static_cast<std::uint8_t>(mode)); },
        [&] { return p.reply_status(); });
}

std::int32_t taviapi_devmgr::health_check() {
    TaviPrototcol_DeviceManager p;
    return run(
        p, [&] { return p.build_health_check(); }, [&] { return p.reply_status(); });
}

std::int32_t taviapi_devmgr::drbg_reseed() {
    TaviPrototcol_DeviceManager p;
    return run(
        p, [&] { return p.build_drbg_reseed(); }, [&] { return p.reply_status(); });
}

std::int32_t taviapi_devmgr::secure_message_gen_ephemeral(std::uint32_t algorithm, std::int32_t parameter,
                                                          std::uint8_t* card_key) {
    if (card_key == nullptr) return status_unusable;
    TaviPrototcol_DeviceManager p;
    return run(
        p, [&] { return p.build_kas_gen_ephemeral(algorithm, static_cast<std::uint8_t>(parameter)); },
        [&] { return p.reply_card_key(card_key); });
}

std::int32_t taviapi_devmgr::secure_message_kdf(std::uint32_t first_id, std::uint32_t second_id,
                                                const std::uint8_t* other_info, const std::uint8_t* host_key,
                                                std::size_t other_info_size) {
    TaviPrototcol_DeviceManager p;
    return run(
        p, [&] { return p.build_kas_kdf(first_id, second_id, other_info, host_key, other_info_size); },
        [&] { return p.reply_status(); });
}

}  // namespace zervik
