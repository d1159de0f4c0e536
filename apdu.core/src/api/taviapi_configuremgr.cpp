#include "api/taviapi_configuremgr.h"

#include <cstring>

#include "protocol/configure_manager.h"

namespace zervik {

namespace {

using configure = TaviPrototcol_ConfigureManager;

std::uint16_t little_endian_u16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

}  // namespace

taviapi_configuremgr::~taviapi_configuremgr() = default;

std::int32_t taviapi_configuremgr::configure_vidpid(std::uint16_t vendor_id, std::uint16_t product_id) {
    return keyed<configure>([&](configure& p) { return p.build_set_usb_vid_pid(vendor_id, product_id); },
                            status_only);
}

std::int32_t taviapi_configuremgr::configure_reader(const std::uint8_t* name, std::int32_t length) {
    return keyed<configure>([&](configure& p) { return p.build_set_name(configure::reader_name, name, length); },
                            status_only);
}

std::int32_t taviapi_configuremgr::configure_cd_inquiry(const char* vendor, const char* product) {
    return keyed<configure>([&](configure& p) { return p.build_set_cd_inquiry(vendor, product); }, status_only);
}

std::int32_t taviapi_configuremgr::configure_vendor(const std::uint8_t* name, std::int32_t length) {
    return keyed<configure>([&](configure& p) { return p.build_set_name(configure::vendor_name, name, length); },
                            status_only);
}

std::int32_t taviapi_configuremgr::get_vidpid(std::uint16_t* vendor_id, std::uint16_t* product_id) {
    if (vendor_id == nullptr || product_id == nullptr) return status_unusable;
    return keyed<configure>([&](configure& p) { return p.build_get(configure::usb_ids); },
                            [&](configure& p) {
                                reply_view d;
                                const std::int32_t status = p.check_reply(&d);
                                if (status != status_ok) return status;
                                if (d.length > max_usb_ids_reply) return std::int32_t{status_reply_mismatch};
                                if (d.length < 4) return std::int32_t{status_failed};
                                *vendor_id = little_endian_u16(d.data);
                                *product_id = little_endian_u16(d.data + 2);
                                return std::int32_t{status_ok};
                            });
}

std::int32_t taviapi_configuremgr::get_text(std::uint8_t item, std::uint8_t* buffer, std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<configure>([&](configure& p) { return p.build_get(static_cast<configure::item>(item)); },
                            [&](configure& p) {
                                reply_view d;
                                const std::int32_t status = p.check_reply(&d);
                                if (status != status_ok) return status;
                                if (d.length > max_text_reply) return std::int32_t{status_reply_mismatch};
                                if (*length < 0 || static_cast<std::uint32_t>(*length) < d.length)
                                    return std::int32_t{status_failed};
                                if (d.length != 0) std::memcpy(buffer, d.data, d.length);
                                *length = static_cast<std::int32_t>(d.length);
                                return std::int32_t{status_ok};
                            });
}

std::int32_t taviapi_configuremgr::get_reader(std::uint8_t* buffer, std::int32_t* length) {
    return get_text(configure::reader_name, buffer, length);
}

std::int32_t taviapi_configuremgr::get_cd_inquiry(std::uint8_t* buffer, std::int32_t* length) {
    return get_text(configure::cd_inquiry, buffer, length);
}

std::int32_t taviapi_configuremgr::get_usb_vendor(std::uint8_t* buffer, std::int32_t* length) {
    return get_text(configure::vendor_name, buffer, length);
}

}  // namespace zervik
