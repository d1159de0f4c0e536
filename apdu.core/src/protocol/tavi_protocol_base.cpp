#include "protocol/tavi_protocol_base.h"

#include <cstring>
#include <exception>

#include "apdu/apdu_command.h"
#include "protocol/byte_order.h"
#include "protocol/command_form.h"
#include "protocol/secure_messaging.h"
#include "protocol/status.h"
#include "transport/device_base.h"

namespace zervik {

namespace {

constexpr std::uint8_t sm_class_bit = 0x04;
constexpr std::uint32_t card_key_reply_size = 4 + TaviProtocol_Base::card_key_size;
constexpr std::uint32_t pin_information_size = 11;
constexpr std::uint32_t exported_key_header_size = 6;
constexpr std::uint32_t counted_header_size = 4;

bool fits(const std::int32_t* capacity, std::uint32_t needed) {
    return capacity != nullptr && *capacity >= 0 && static_cast<std::uint32_t>(*capacity) >= needed;
}

// The file-information record is handed to the caller in host byte order.
void big_endian_u16_to_host(std::uint8_t* field) {
    const std::uint16_t value = get_u16(field);
    std::memcpy(field, &value, sizeof value);
}

void big_endian_u32_to_host(std::uint8_t* field) {
    const std::uint32_t value = get_u32(field);
    std::memcpy(field, &value, sizeof value);
}

}  // namespace

TaviProtocol_Base::TaviProtocol_Base() = default;

TaviProtocol_Base::TaviProtocol_Base(const device_base& device, std::int32_t sm_enabled_) : sm_enabled(sm_enabled_) {
    std::memcpy(encryption_key, device.encryption_key(), key_size);
    std::memcpy(mac_key, device.mac_key(), key_size);
}

TaviProtocol_Base::~TaviProtocol_Base() = default;

std::int32_t TaviProtocol_Base::build(const command_form& form, const std::uint8_t* data, std::size_t length) {
    command_length = 0;
    sm_used = 0;
    if ((data == nullptr && length != 0) || length > max_command_size) return status_unusable;
    try {
        std::uint8_t cla = form.cla;
        if (form.rule == class_rule::follows_flag && sm_enabled != 0) cla |= sm_class_bit;
        ApduCommand apdu(form.case_code, cla, form.ins, form.p1, form.p2, form.label);
        if (apdu.set_data(data, length) != apdu_ok) return status_unusable;
        apdu.le = form.le;
        if ((cla & sm_class_bit) != 0) {
            sm_used = 1;
            if (sm_wrap(apdu, encryption_key, mac_key) != sm_ok) return status_failed;
        }
        std::uint32_t serialised = buffer_size;
        if (apdu.resolve_and_serialize(command, &serialised) != apdu_ok) return status_unusable;
        if (serialised > max_command_size) return status_unusable;
        command_length = serialised;
        return status_ok;
    } catch (const std::exception&) {
        return status_unusable;
    }
}

std::int32_t TaviProtocol_Base::check_reply(reply_view* data) {
    if (reply_length > buffer_size) return last_status = status_unusable;
    // A reply of only a status word to a wrapped command carries no MAC: its
    // status is taken as it stands, unauthenticated.
    if (sm_used != 0 && reply_length > 2) {
        const std::uint32_t protected_length = reply_length - 2;
        const std::uint8_t sw1 = reply[protected_length];
        const std::uint8_t sw2 = reply[protected_length + 1];
        std::uint32_t plain = 0;
        if (sm_unwrap(reply, protected_length, &plain, encryption_key, mac_key) != sm_ok ||
            plain > protected_length)
            return last_status = status_sm_reply;
        reply[plain] = sw1;
        reply[plain + 1] = sw2;
        reply_length = plain + 2;
    }
    if (reply_length < 2) return last_status = status_sm_reply;
    const std::uint8_t sw1 = reply[reply_length - 2];
    // No card sends SW1 00; taken as a status word it would read as one of
    // the library's own small codes, 0000 as success.
    if (sw1 == 0x00) return last_status = status_unusable;
    last_status = (sw1 << 8) | reply[reply_length - 1];
    if (last_status != sw_success) return last_status;
    if (data != nullptr) {
        data->data = reply;
        data->length = reply_length - 2;
    }
    return status_ok;
}

std::int32_t TaviProtocol_Base::reply_status() { return check_reply(nullptr); }

std::int32_t TaviProtocol_Base::data_kind(std::uint8_t* buffer, std::int32_t* length, std::int32_t too_small) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (!fits(length, d.length) || (buffer == nullptr && d.length != 0)) return too_small;
    if (d.length != 0) std::memcpy(buffer, d.data, d.length);
    *length = static_cast<std::int32_t>(d.length);
    return status_ok;
}

std::int32_t TaviProtocol_Base::reply_data(std::uint8_t* buffer, std::int32_t* length) {
    return data_kind(buffer, length, status_reply_mismatch);
}

std::int32_t TaviProtocol_Base::reply_data_code1(std::uint8_t* buffer, std::int32_t* length) {
    return data_kind(buffer, length, status_failed);
}

std::int32_t TaviProtocol_Base::reply_u32(std::uint32_t* value) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (value == nullptr || d.length < 4) return status_reply_mismatch;
    *value = get_u32(d.data);
    return status_ok;
}

std::int32_t TaviProtocol_Base::reply_u16(std::uint16_t* value) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (value == nullptr || d.length < 2) return status_reply_mismatch;
    *value = get_u16(d.data);
    return status_ok;
}

std::int32_t TaviProtocol_Base::reply_eight_bytes(std::uint64_t* value) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (value == nullptr || d.length != sizeof *value) return status_reply_mismatch;
    std::memcpy(value, d.data, sizeof *value);
    return status_ok;
}

std::int32_t TaviProtocol_Base::key_block_kind(std::uint32_t* value, std::uint8_t* key) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (key == nullptr || d.length < card_key_reply_size) return status_reply_mismatch;
    if (value != nullptr) *value = get_u32(d.data);
    std::memcpy(key, d.data + 4, card_key_size);
    return status_ok;
}

std::int32_t TaviProtocol_Base::reply_card_key(std::uint8_t* key) { return key_block_kind(nullptr, key); }

std::int32_t TaviProtocol_Base::reply_session_key_agreement(std::uint32_t* value, std::uint8_t* key) {
    return key_block_kind(value, key);
}

std::int32_t TaviProtocol_Base::reply_pin_information(pin_information* info) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (info == nullptr || d.length < pin_information_size) return status_reply_mismatch;
    info->algorithm = get_u32(d.data);
    std::memcpy(info->bytes, d.data + 4, sizeof info->bytes);
    return status_ok;
}

// Reply byte 0 is the kind (0 a DF, anything else an EF); record byte k takes
// reply byte k - 1 from record byte 2 on, for as many bytes as the kind (and
// for an EF its type, reply byte 23) lays out.
std::int32_t TaviProtocol_Base::reply_file_information(std::uint8_t* record) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (record == nullptr || d.length == 0) return status_bad_file_information;
    const std::uint8_t kind = d.data[0];
    const std::uint8_t* r = d.data + 1;
    const std::uint32_t n = d.length - 1;
    constexpr std::uint32_t type_offset = 22;

    std::uint8_t type = 0;
    std::uint32_t count = 0;
    if (kind == 0) {
        count = 20;
    } else {
        if (n <= type_offset) return status_bad_file_information;
        type = r[type_offset];
        switch (type) {
            case 0x00: count = 26; break;
            case 0x10: count = 27; break;
            case 0x20:
            case 0x30: count = 35; break;
            default: return status_bad_file_information;
        }
    }
    if (n < count) return status_bad_file_information;

    std::uint8_t work[file_information_size] = {};
    work[0] = kind;
    work[1] = type;
    std::memcpy(work + 2, r, count);
    big_endian_u16_to_host(work + 18);  // file id
    if (kind != 0) {
        big_endian_u16_to_host(work + 22);
        if (count == 35) {
            big_endian_u32_to_host(work + 25);
            big_endian_u16_to_host(work + 29);
        }
    }
    std::memcpy(record, work, sizeof work);
    return status_ok;
}

std::int32_t TaviProtocol_Base::exported_key_kind(exported_key_header* header, std::uint8_t* buffer,
                                                  std::int32_t* length, bool reversed) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    const std::uint32_t minimum = exported_key_header_size + (reversed ? 4 : 0);
    if (header == nullptr || d.length < minimum) return status_reply_mismatch;
    const std::uint32_t key_length = d.length - exported_key_header_size;
    if (!fits(length, key_length) || (buffer == nullptr && key_length != 0)) return status_reply_mismatch;

    header->value = get_u32(d.data);
    header->byte4 = d.data[4];
    header->byte5 = d.data[5];
    const std::uint8_t* key = d.data + exported_key_header_size;
    if (key_length != 0) std::memcpy(buffer, key, key_length);
    if (reversed) {
        for (int i = 0; i < 4; ++i) buffer[i] = key[3 - i];
    }
    *length = static_cast<std::int32_t>(key_length);
    return status_ok;
}

std::int32_t TaviProtocol_Base::reply_exported_key(exported_key_header* header, std::uint8_t* buffer,
                                                   std::int32_t* length) {
    return exported_key_kind(header, buffer, length, false);
}

std::int32_t TaviProtocol_Base::reply_exported_key_reversed(exported_key_header* header, std::uint8_t* buffer,
                                                            std::int32_t* length) {
    return exported_key_kind(header, buffer, length, true);
}

std::int32_t TaviProtocol_Base::counted_kind(std::uint32_t* value, std::uint8_t* buffer, std::int32_t* length,
                                             std::int32_t too_small) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (d.length < counted_header_size) return too_small;
    const std::uint32_t payload = d.length - counted_header_size;
    if (!fits(length, payload) || (buffer == nullptr && payload != 0)) return too_small;
    if (value != nullptr) *value = get_u32(d.data);
    if (payload != 0) std::memcpy(buffer, d.data + counted_header_size, payload);
    *length = static_cast<std::int32_t>(payload);
    return status_ok;
}

std::int32_t TaviProtocol_Base::reply_counted_data(std::uint32_t* value, std::uint8_t* buffer,
                                                   std::int32_t* length) {
    return counted_kind(value, buffer, length, status_reply_mismatch);
}

std::int32_t TaviProtocol_Base::reply_counted_data_code1(std::uint32_t* value, std::uint8_t* buffer,
                                                         std::int32_t* length) {
    return counted_kind(value, buffer, length, status_failed);
}

}  // namespace zervik
