// The device-management family of the card command set: free space, chip
// id, format, health, working mode, self-test, DRBG reseed and the two
// key-agreement steps that open a secure channel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/records.h"
#include "protocol/tavi_protocol_base.h"
#include "sm/kas.h"

namespace zervik {

class TaviPrototcol_DeviceManager : public TaviProtocol_Base {
public:
    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_DeviceManager() override;

    std::int32_t build_get_fs_max_space();
    std::int32_t build_format_device(const format_parameters& parameters);
    // FormatDevice with a format record the caller assembled.
    std::int32_t build_format_device_record(const std::uint8_t* record, std::size_t length);
    std::int32_t build_get_chip_id();
    std::int32_t build_get_health_status();
    std::int32_t build_change_working_mode(std::uint8_t mode);
    std::int32_t build_health_check();
    std::int32_t build_drbg_reseed();
    // Key agreement, step 1: the card makes an ephemeral key pair and answers
    // with its public key block.
    std::int32_t build_kas_gen_ephemeral(std::uint32_t algorithm, std::uint8_t parameter);
    // Key agreement, step 2: both ids, the KDF's other information
    // (other_info_size bytes, at most kas_other_info_max) and the host's
    // public key block (card_key_size bytes).
    std::int32_t build_kas_kdf(std::uint32_t first_id, std::uint32_t second_id, const std::uint8_t* other_info,
                               const std::uint8_t* host_key, std::size_t other_info_size = kas_other_info_size);
};

}  // namespace zervik
