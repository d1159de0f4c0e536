// The configuration manager: one method per configuration export. The
// commands always go plain. The reads give 1 when the value does not fit the
// caller's buffer (or, for the USB ids, is shorter than 4 bytes) and 3 when
// the card's reply is longer than any value of the item.
#pragma once

#include <cstdint>

#include "api/taviapi_base.h"

namespace zervik {

class taviapi_configuremgr : public taviapi_base {
public:
    static constexpr std::uint32_t max_usb_ids_reply = 32;
    static constexpr std::uint32_t max_text_reply = 1024;

    using taviapi_base::taviapi_base;
    ~taviapi_configuremgr() override;

    std::int32_t configure_vidpid(std::uint16_t vendor_id, std::uint16_t product_id);
    std::int32_t configure_reader(const std::uint8_t* name, std::int32_t length);
    std::int32_t configure_cd_inquiry(const char* vendor, const char* product);
    std::int32_t configure_vendor(const std::uint8_t* name, std::int32_t length);
    // Reply bytes 0-1 and 2-3, each read little-endian.
    std::int32_t get_vidpid(std::uint16_t* vendor_id, std::uint16_t* product_id);
    std::int32_t get_reader(std::uint8_t* buffer, std::int32_t* length);
    std::int32_t get_cd_inquiry(std::uint8_t* buffer, std::int32_t* length);
    std::int32_t get_usb_vendor(std::uint8_t* buffer, std::int32_t* length);

private:
    std::int32_t get_text(std::uint8_t item, std::uint8_t* buffer, std::int32_t* length);
};

}  // namespace zervik
