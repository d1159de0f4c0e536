// The PIN and authentication manager: one method per export of the family.
// InstallPin, ChangePin, UnblockPin and UnloadPin always go wrapped (and are
// refused with 1 while the device has no channel keys); GetChallenge,
// DRBGGenRandom and DeviceAuth always go plain; the others follow the
// secure-channel flag.
#pragma once

#include <cstdint>

#include "api/taviapi_base.h"
#include "protocol/records.h"

namespace zervik {

// The eight outputs of GetPinInfo: the u32 of reply bytes 0-3, then bytes 4
// to 10, one each.
struct pin_info_outputs {
    std::int32_t* algorithm;
    std::int32_t* byte4;
    std::int32_t* byte5;  // the tries left
    std::uint8_t* byte6;
    std::uint8_t* byte7;
    std::int32_t* byte8;
    std::int32_t* byte9;
    std::int32_t* byte10;  // the PIN is to be changed
};

class taviapi_pinmgr : public taviapi_base {
public:
    using taviapi_base::taviapi_base;
    ~taviapi_pinmgr() override;

    std::int32_t install_pin(const pin_record_parameters& record, std::uint8_t p1);
    // Exactly length bytes into buffer (3 for a reply of any other length).
    std::int32_t get_challenge(std::int32_t length, std::uint8_t* buffer);
    std::int32_t drbg_gen_random(std::int32_t length, std::uint8_t* buffer);
    std::int32_t device_auth(std::uint8_t key_reference, const std::uint8_t* cryptogram, std::int32_t length);
    // *response_length: the capacity in, the response's length out.
    std::int32_t internal_auth(const std::uint8_t* challenge, std::int32_t length, std::uint8_t* response,
                               std::int32_t* response_length);
    std::int32_t verify_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* pin, std::int32_t length);
    std::int32_t get_pin_info(std::uint8_t reference, const pin_info_outputs& out);
    std::int32_t change_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* old_pin,
                            std::int32_t old_length, const std::uint8_t* new_pin, std::int32_t new_length);
    std::int32_t unblock_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* unblock_code,
                             std::int32_t unblock_length, const std::uint8_t* new_pin, std::int32_t new_length);
    std::int32_t unload_pin(std::uint8_t reference, const std::uint8_t* data, std::int32_t length);
    std::int32_t clear_secure_state(std::uint8_t p1, std::uint8_t p2);

private:
    // ChangePIN (unblock false) or UnblockPIN: two caller values, one after
    // the other.
    std::int32_t pin_pair(bool unblock, std::uint8_t reference, std::uint8_t p1, const std::uint8_t* first,
                          std::int32_t first_length, const std::uint8_t* second, std::int32_t second_length);
    std::int32_t random_bytes(std::uint8_t p1, std::int32_t length, std::uint8_t* buffer);
};

}  // namespace zervik
