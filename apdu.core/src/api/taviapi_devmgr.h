// The device-management manager: one method per export of the family.
// Every method but format_device runs plain whatever the secure-channel flag
// says; format_device follows it.
#pragma once

#include <cstdint>

#include "api/taviapi_base.h"
#include "protocol/records.h"
#include "sm/kas.h"

namespace zervik {

class taviapi_devmgr : public taviapi_base {
public:
    using taviapi_base::taviapi_base;
    ~taviapi_devmgr() override;

    std::int32_t get_fs_max_space(std::int32_t* space);
    // *length: the capacity in, the chip id's length out.
    std::int32_t get_chip_id(std::uint8_t* buffer, std::int32_t* length);
    std::int32_t format_device(const format_parameters& parameters);
    std::int32_t get_health_status(std::uint64_t* status);
    std::int32_t change_working_mode(std::int32_t mode);
    std::int32_t health_check();
    std::int32_t drbg_reseed();
    // card_key: 144 bytes out.
    std::int32_t secure_message_gen_ephemeral(std::uint32_t algorithm, std::int32_t parameter,
                                              std::uint8_t* card_key);
    // other_info: other_info_size bytes (the library's 68 by default, at
    // most kas_other_info_max); host_key: 144 bytes.
    std::int32_t secure_message_kdf(std::uint32_t first_id, std::uint32_t second_id, const std::uint8_t* other_info,
                                    const std::uint8_t* host_key, std::size_t other_info_size = kas_other_info_size);
    // Agrees new secure-messaging keys with the card (both key-agreement
    // steps, in plain, with other_info_size zero bytes of OtherInfo) and
    // stores them in the device: 0, a card status, 3 for a short card key,
    // 2 for an OtherInfo longer than kas_other_info_max, or the
    // key-agreement step's own code (1, 2, 4). On failure the device keeps
    // its previous keys.
    std::int32_t setup_secure_channel(std::size_t other_info_size = kas_other_info_size);
};

}  // namespace zervik
