#include "protocol/records.h"

namespace zervik {

namespace {

// The marker and its terminator, then the four strings.
constexpr std::size_t strings_offset = format_marker_size + 1;
constexpr std::size_t value_offset = 150;
constexpr std::size_t byte_value_offset = 160;
constexpr std::size_t blob_offset = 162;
constexpr std::size_t key_block_size = 4 + format_key_size + 1;
static_assert(strings_offset + 4 * format_string_size + 4 == value_offset, "format layout");
static_assert(blob_offset + format_key_count * key_block_size == format_record_fixed_size, "format layout");

// 0, or 2 when the record spoilt the command data.
std::int32_t result(const command_data& out) { return out.ok() ? status_ok : status_unusable; }

}  // namespace

std::int32_t build_format_record(const format_parameters& p, command_data& out) {
    out.bytes(reinterpret_cast<const std::uint8_t*>(format_enable_marker), format_marker_size).u8(0);
    for (const char* s : p.strings) out.text_field(s, format_string_size);
    out.zeros(4).u32(p.value).zeros(byte_value_offset - value_offset - 4).u8(p.byte_value);
    out.counted_text(p.blob, format_blob_max);
    for (const format_key_block& k : p.keys) out.u32(k.algorithm).bytes(k.key, format_key_size).u8(k.parameter);
    return result(out);
}

std::int32_t build_pin_record(const pin_record_parameters& p, command_data& out) {
    out.u8(p.reference).u32(p.algorithm).u8(p.type).u8(p.try_limit).u8(p.try_limit);
    out.padded_bytes(p.pin, p.pin_length, pin_value_max);
    out.bytes(p.first, 1).bytes(p.second, 1).u8(p.third).u8(p.fourth);
    return result(out);
}

std::int32_t build_df_record(const df_record_parameters& p, command_data& out) {
    out.u8(0).u8(p.access[0]).u8(p.access[1]).text_field(p.name, file_name_max).u16(p.file_id);
    return result(out);
}

std::int32_t build_ef_record(const ef_record_parameters& p, command_data& out) {
    out.u8(1).u8(p.type).bytes(p.access, sizeof p.access).u8(p.parameter);
    out.text_field(p.name, file_name_max).u16(p.file_id).u8(p.second_parameter).u16(p.size);
    return result(out);
}

}  // namespace zervik
