// The configuration family of the card command set (class F0, never with
// secure messaging): the USB vendor and product ids, the reader name, the
// CD inquiry strings and the vendor name, each set and read back.
#pragma once

#include <cstdint>

#include "protocol/tavi_protocol_base.h"

namespace zervik {

class TaviPrototcol_ConfigureManager : public TaviProtocol_Base {
public:
    static constexpr std::uint32_t cd_vendor_size = 8;
    static constexpr std::uint32_t cd_product_size = 16;
    static constexpr std::uint32_t cd_inquiry_size = cd_vendor_size + cd_product_size;

    enum item : std::uint8_t {
        usb_ids = 0x10,
        vendor_name = 0x12,
        reader_name = 0x20,
        cd_inquiry = 0x30,
    };

    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_ConfigureManager() override;

    // Vendor id, then product id, each big-endian.
    std::int32_t build_set_usb_vid_pid(std::uint16_t vendor_id, std::uint16_t product_id);
    // Reader name or vendor name: the caller's bytes.
    std::int32_t build_set_name(item which, const std::uint8_t* data, std::int32_t length);
    // The 24-byte inquiry: up to 8 characters of vendor, then up to 16 of
    // product, each padded with spaces; null strings are refused (2).
    std::int32_t build_set_cd_inquiry(const char* vendor, const char* product);
    // The read form of any item.
    std::int32_t build_get(item which);
};

}  // namespace zervik
