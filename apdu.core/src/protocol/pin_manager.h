// The PIN and authentication family of the card command set: PIN
// installation, verification, change, unblock and unload, PIN information,
// challenges, external and internal authentication and the clearing of the
// card's security state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/command_form.h"
#include "protocol/records.h"
#include "protocol/tavi_protocol_base.h"

namespace zervik {

class TaviPrototcol_PinManager : public TaviProtocol_Base {
public:
    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_PinManager() override;

    // The four commands that carry PIN values always go wrapped. While the
    // protocol object holds no channel keys (either key all zero) they are
    // refused with 1 and nothing is built: a PIN is never sent under a key
    // every observer knows.
    std::int32_t build_install_pin(const pin_record_parameters& record, std::uint8_t p1);
    std::int32_t build_change_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* old_value,
                                  std::size_t old_length, const std::uint8_t* new_value, std::size_t new_length);
    std::int32_t build_unblock_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* unblock_value,
                                   std::size_t unblock_length, const std::uint8_t* new_pin,
                                   std::size_t new_length);
    std::int32_t build_unload_pin(std::uint8_t reference, const std::uint8_t* data, std::size_t length);

    // P1 0: a challenge the card remembers; P1 1: random bytes of the card's
    // generator. length: 1 to 65536.
    std::int32_t build_get_challenge(std::uint8_t p1, std::int32_t length);
    std::int32_t build_external_auth(std::uint8_t key_reference, const std::uint8_t* cryptogram,
                                     std::size_t length);
    std::int32_t build_internal_auth(const std::uint8_t* challenge, std::size_t length);
    std::int32_t build_verify_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* pin,
                                  std::size_t length);
    std::int32_t build_get_pin_info(std::uint8_t reference);
    std::int32_t build_clear_secure_state(std::uint8_t p1, std::uint8_t p2);

    // Exactly `length` bytes of reply data into buffer; any other count is 3
    // with nothing written (a short challenge would leave bytes the card never
    // gave in the caller's buffer).
    std::int32_t reply_exact_data(std::uint8_t* buffer, std::size_t length);

private:
    bool has_channel_keys() const;
    std::int32_t build_wrapped_pair(const command_form& form, const std::uint8_t* first,
                                    std::size_t first_length, const std::uint8_t* second,
                                    std::size_t second_length);
};

}  // namespace zervik
