#include "protocol/configure_manager.h"

#include "apdu/apdu_command.h"
#include "protocol/command_data.h"

namespace zervik {

namespace {

constexpr class_rule fixed = class_rule::fixed;

// INS is the item; P1 00 sets, 01 reads.
constexpr command_form set_form{"", apdu_case3_auto, 0xF0, fixed, 0x00, 0x00, 0x00, 0};
constexpr command_form get_form{"", apdu_case2_auto, 0xF0, fixed, 0x00, 0x01, 0x00, 0};

const char* set_label(TaviPrototcol_ConfigureManager::item which) {
    switch (which) {
        case TaviPrototcol_ConfigureManager::usb_ids: return "SetUSBVIDPID";
        case TaviPrototcol_ConfigureManager::vendor_name: return "SetVendorName";
        case TaviPrototcol_ConfigureManager::reader_name: return "SetReaderName";
        case TaviPrototcol_ConfigureManager::cd_inquiry: return "SetCDInquriy";
    }
    return "";
}

const char* get_label(TaviPrototcol_ConfigureManager::item which) {
    switch (which) {
        case TaviPrototcol_ConfigureManager::usb_ids: return "GetUSBVIDPID";
        case TaviPrototcol_ConfigureManager::vendor_name: return "GetVendorName";
        case TaviPrototcol_ConfigureManager::reader_name: return "GetReaderName";
        case TaviPrototcol_ConfigureManager::cd_inquiry: return "GetCDInquriy";
    }
    return "";
}

command_form form_for(command_form base, TaviPrototcol_ConfigureManager::item which, const char* label) {
    base.ins = which;
    base.label = label;
    return base;
}

}  // namespace

TaviPrototcol_ConfigureManager::~TaviPrototcol_ConfigureManager() = default;

std::int32_t TaviPrototcol_ConfigureManager::build_set_usb_vid_pid(std::uint16_t vendor_id,
                                                                   std::uint16_t product_id) {
    command_data d(small_work_area);
    d.u16(vendor_id).u16(product_id);
    return build_with(*this, form_for(set_form, usb_ids, set_label(usb_ids)), d);
}

std::int32_t TaviPrototcol_ConfigureManager::build_set_name(item which, const std::uint8_t* data,
                                                            std::int32_t length) {
    if (which != reader_name && which != vendor_name) return status_unusable;
    command_data d(large_work_area);
    d.caller_bytes(data, length);
    return build_with(*this, form_for(set_form, which, set_label(which)), d);
}

std::int32_t TaviPrototcol_ConfigureManager::build_set_cd_inquiry(const char* vendor, const char* product) {
    command_data d(small_work_area);
    d.clipped_text(vendor, cd_vendor_size, ' ').clipped_text(product, cd_product_size, ' ');
    return build_with(*this, form_for(set_form, cd_inquiry, set_label(cd_inquiry)), d);
}

std::int32_t TaviPrototcol_ConfigureManager::build_get(item which) {
    return build(form_for(get_form, which, get_label(which)), nullptr, 0);
}

}  // namespace zervik
