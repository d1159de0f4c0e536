#include "apdu/apdu_command.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace zervik {

namespace {

constexpr std::int32_t max_short_le = 256;
constexpr std::int32_t max_short_lc = 255;
constexpr std::int32_t max_extended_le = 0x10000;
constexpr std::int32_t max_extended_lc = 0xFFFF;
constexpr std::int32_t extended_bit = 0x10;

std::uint8_t high_byte(std::int32_t value) { return static_cast<std::uint8_t>((value >> 8) & 0xFF); }

}  // namespace

ApduCommand::ApduCommand(std::int32_t case_code_, std::uint8_t cla_, std::uint8_t ins_, std::uint8_t p1_,
                         std::uint8_t p2_, const char* name_)
    : case_code(case_code_), cla(cla_), ins(ins_), p1(p1_), p2(p2_) {
    if (name_ != nullptr) {
        for (std::size_t i = 0; i + 1 < name_size && name_[i] != '\0'; ++i) name[i] = name_[i];
    }
}

std::int32_t ApduCommand::set_data(const std::uint8_t* bytes, std::size_t length) {
    if (length == 0) {
        data.clear();
        lc = 0;
        return apdu_ok;
    }
    if (bytes == nullptr || length > static_cast<std::size_t>(max_extended_lc)) return apdu_invalid;
    data.assign(bytes, bytes + length);
    lc = static_cast<std::int32_t>(length);
    return apdu_ok;
}

std::uint32_t ApduCommand::size() const {
    if (lc < 0 || lc > max_extended_lc) return 0;
    const auto n = static_cast<std::uint32_t>(lc);
    switch (case_code) {
        case apdu_case1: return 4;
        case apdu_case2: return 5;
        case apdu_case3: return 5 + n;
        case apdu_case4: return 6 + n;
        case apdu_case2_extended: return 7;
        case apdu_case3_extended: return 7 + n;
        case apdu_case4_extended: return 9 + n;
        default: return 0;
    }
}

std::int32_t ApduCommand::validate() const {
    if (lc < 0 || le < 0) return apdu_invalid;
    if (case_code > 15) {
        if ((case_code & extended_bit) == 0 || le > max_extended_le || lc > max_extended_lc) return apdu_invalid;
    } else if (case_code != apdu_case1 && (le > max_short_le || lc > max_short_lc)) {
        return apdu_invalid;
    }
    const auto n = static_cast<std::size_t>(lc);
    switch (case_code & 0x0F) {
        case 1: return (data.empty() && lc == 0 && le == 0) ? apdu_ok : apdu_invalid;
        case 2: return (data.empty() && lc == 0) ? apdu_ok : apdu_invalid;
        case 3: return (!data.empty() && data.size() == n && le == 0) ? apdu_ok : apdu_invalid;
        case 4: return (!data.empty() && data.size() == n) ? apdu_ok : apdu_invalid;
        default: return apdu_invalid;
    }
}

std::int32_t ApduCommand::encode(std::uint8_t* buffer, std::uint32_t capacity) const {
    const std::uint32_t total = size();
    if (buffer == nullptr || total == 0 || capacity < total || validate() != apdu_ok) return apdu_invalid;
    std::uint8_t* out = buffer;
    *out++ = cla;
    *out++ = ins;
    *out++ = p1;
    *out++ = p2;
    const bool extended = (case_code & extended_bit) != 0;
    const std::int32_t form = case_code & 0x0F;
    if (form == 3 || form == 4) {
        if (extended) {
            *out++ = 0x00;
            *out++ = high_byte(lc);
        }
        *out++ = low_byte(lc);
        out = std::copy(data.begin(), data.end(), out);
    }
    if (form == 2 || form == 4) {
        if (extended) {
            if (form == 2) *out++ = 0x00;
            *out++ = high_byte(le);  // 0x10000 goes out as 00 00
        }
        *out++ = low_byte(le);  // a short Le of 256 goes out as 00
    }
    return apdu_ok;
}

std::int32_t ApduCommand::serialize(std::uint8_t* buffer, std::uint32_t* length) const {
    if (buffer == nullptr || length == nullptr) return apdu_invalid;
    const std::uint32_t total = size();
    if (total == 0) return apdu_nothing;
    if (*length < total) return apdu_buffer_short;
    if (encode(buffer, *length) != apdu_ok) return apdu_nothing;
    *length = total;
    return apdu_ok;
}

void ApduCommand::resolve() {
    if (case_code != apdu_case2_auto && case_code != apdu_case3_auto && case_code != apdu_case4_auto) return;
    case_code &= 0x0F;
    if (le > 255 || lc > 255) case_code |= extended_bit;
}

std::int32_t ApduCommand::resolve_and_serialize(std::uint8_t* buffer, std::uint32_t* length) {
    if (length == nullptr) return apdu_invalid;
    resolve();
    if (buffer == nullptr) {
        *length = size();
        return apdu_ok;
    }
    if (validate() != apdu_ok) return apdu_invalid;
    return serialize(buffer, length);
}

std::int32_t ApduCommand::parse_reply(const std::uint8_t* bytes, std::uint32_t n) {
    if (bytes == nullptr || n < 2) return apdu_nothing;
    sw1 = bytes[n - 2];
    sw2 = bytes[n - 1];
    reply_data.assign(bytes, bytes + (n - 2));
    return apdu_ok;
}

void ApduCommand::release() {
    reply_data.clear();
    data.clear();
    lc = 0;
}

}  // namespace zervik
