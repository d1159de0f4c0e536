// The fixed-layout records some commands carry as their data. Every builder
// checks its pointers and lengths and appends the record to the command
// data: 0, or 2 with the command data spoilt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/command_data.h"
#include "solvanta_card_config.h"

namespace zervik {

constexpr std::size_t format_string_size = 32;
constexpr std::size_t format_blob_max = 255;
constexpr std::size_t format_record_fixed_size = 273;  // plus the blob
constexpr std::size_t format_key_count = 3;
constexpr std::size_t format_key_size = 32;
constexpr std::size_t pin_record_size = 44;
constexpr std::size_t pin_value_max = 32;
constexpr std::size_t df_record_size = 21;
constexpr std::size_t ef_record_size = 27;
constexpr std::size_t file_name_max = 16;

// The 17 characters the card checks at the start of a format record before
// it formats (a build constant the token shares).
constexpr char format_enable_marker[] = SOLVANTA_FORMAT_ENABLE_MARKER;
constexpr std::size_t format_marker_size = sizeof format_enable_marker - 1;
static_assert(format_marker_size == 17, "the format-enable marker has 17 characters");

struct format_key_block {
    std::uint32_t algorithm;
    const std::uint8_t* key;  // format_key_size bytes
    std::uint8_t parameter;
};

struct format_parameters {
    const char* strings[4];  // zero-terminated, at most 32 characters each
    std::uint32_t value;
    std::uint8_t byte_value;
    const char* blob;  // zero-terminated, at most 255 characters
    format_key_block keys[format_key_count];
};

struct pin_record_parameters {
    std::uint8_t reference;
    std::uint32_t algorithm;
    std::uint8_t try_limit;
    const std::uint8_t* pin;
    std::size_t pin_length;  // at most 32
    const std::uint8_t* first;   // one byte is read
    const std::uint8_t* second;  // one byte is read
    std::uint8_t third;
    std::uint8_t fourth;
    std::uint8_t type = 0x82;  // 0x82 a PIN; the module also installs key slots (0x84)
};

struct df_record_parameters {
    std::uint8_t access[2];
    const char* name;  // at most 16 characters
    std::uint16_t file_id;
};

struct ef_record_parameters {
    std::uint8_t type;
    std::uint8_t access[3];
    std::uint8_t parameter;
    const char* name;  // at most 16 characters
    std::uint16_t file_id;
    std::uint8_t second_parameter;
    std::uint16_t size;
};

// The format record: format_record_fixed_size + blob length bytes.
std::int32_t build_format_record(const format_parameters& p, command_data& out);
std::int32_t build_pin_record(const pin_record_parameters& p, command_data& out);
std::int32_t build_df_record(const df_record_parameters& p, command_data& out);
std::int32_t build_ef_record(const ef_record_parameters& p, command_data& out);

}  // namespace zervik
