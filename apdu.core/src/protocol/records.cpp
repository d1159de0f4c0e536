#include "protocol/records.h"

#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/status.h"

namespace zervik {

const char format_enable_marker[18] = "SOLVANTA_FORMAT_1";

namespace {

constexpr std::size_t marker_size = 17;
static_assert(sizeof format_enable_marker == marker_size + 1, "the marker has 17 characters");

constexpr std::size_t strings_offset = 18;
constexpr std::size_t value_offset = 150;
constexpr std::size_t byte_value_offset = 160;
constexpr std::size_t blob_length_offset = 161;
constexpr std::size_t blob_offset = 162;
constexpr std::size_t key_block_size = 4 + format_key_size + 1;
static_assert(blob_offset + format_key_count * key_block_size == format_record_fixed_size, "format layout");

// Copies a name of at most file_name_max characters into a zero-padded
// 16-byte field.
bool put_name(std::uint8_t* field, const char* name) {
    std::size_t n = 0;
    if (!bounded_length(name, file_name_max, &n)) return false;
    std::memset(field, 0, file_name_max);
    std::memcpy(field, name, n);
    return true;
}

}  // namespace

bool bounded_length(const char* text, std::size_t max, std::size_t* length) {
    if (text == nullptr) return false;
    std::size_t n = 0;
    while (text[n] != '\0') {
        if (n == max) return false;
        ++n;
    }
    *length = n;
    return true;
}

std::int32_t build_format_record(const format_parameters& p, std::uint8_t* out, std::size_t* length) {
    std::size_t string_lengths[4] = {};
    for (std::size_t i = 0; i < 4; ++i) {
        if (!bounded_length(p.strings[i], format_string_size, &string_lengths[i])) return status_unusable;
    }
    std::size_t blob_length = 0;
    if (!bounded_length(p.blob, format_blob_max, &blob_length)) return status_unusable;
    for (const format_key_block& k : p.keys) {
        if (k.key == nullptr) return status_unusable;
    }
    const std::size_t total = format_record_fixed_size + blob_length;
    if (out == nullptr || length == nullptr || *length < total) return status_unusable;

    std::memset(out, 0, total);
    std::memcpy(out, format_enable_marker, marker_size);
    for (std::size_t i = 0; i < 4; ++i) {
        std::memcpy(out + strings_offset + i * format_string_size, p.strings[i], string_lengths[i]);
    }
    put_u32(out + value_offset, p.value);
    out[byte_value_offset] = p.byte_value;
    out[blob_length_offset] = static_cast<std::uint8_t>(blob_length);
    std::memcpy(out + blob_offset, p.blob, blob_length);
    std::uint8_t* block = out + blob_offset + blob_length;
    for (const format_key_block& k : p.keys) {
        put_u32(block, k.algorithm);
        std::memcpy(block + 4, k.key, format_key_size);
        block[4 + format_key_size] = k.parameter;
        block += key_block_size;
    }
    *length = total;
    return status_ok;
}

std::int32_t build_pin_record(const pin_record_parameters& p, std::uint8_t (&out)[pin_record_size]) {
    if ((p.pin == nullptr && p.pin_length != 0) || p.pin_length > pin_value_max || p.first == nullptr ||
        p.second == nullptr)
        return status_unusable;
    std::memset(out, 0, sizeof out);
    out[0] = p.reference;
    put_u32(out + 1, p.algorithm);
    out[5] = 0x82;
    out[6] = p.try_limit;
    out[7] = p.try_limit;
    if (p.pin_length != 0) std::memcpy(out + 8, p.pin, p.pin_length);
    out[40] = *p.first;
    out[41] = *p.second;
    out[42] = p.third;
    out[43] = p.fourth;
    return status_ok;
}

std::int32_t build_df_record(const df_record_parameters& p, std::uint8_t (&out)[df_record_size]) {
    std::uint8_t work[df_record_size] = {};
    work[0] = 0;
    work[1] = p.access[0];
    work[2] = p.access[1];
    if (!put_name(work + 3, p.name)) return status_unusable;
    put_u16(work + 19, p.file_id);
    std::memcpy(out, work, sizeof work);
    return status_ok;
}

std::int32_t build_ef_record(const ef_record_parameters& p, std::uint8_t (&out)[ef_record_size]) {
    std::uint8_t work[ef_record_size] = {};
    work[0] = 1;
    work[1] = p.type;
    std::memcpy(work + 2, p.access, sizeof p.access);
    work[5] = p.parameter;
    if (!put_name(work + 6, p.name)) return status_unusable;
    put_u16(work + 22, p.file_id);
    work[24] = p.second_parameter;
    put_u16(work + 25, p.size);
    std::memcpy(out, work, sizeof work);
    return status_ok;
}

}  // namespace zervik
