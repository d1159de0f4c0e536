// The fixed-layout records some commands carry as their data. Every builder
// checks its pointers and lengths and returns 0, or 2 with nothing written.
#pragma once

#include <cstddef>
#include <cstdint>

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
// it formats.
extern const char format_enable_marker[18];

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

// Writes the format record (format_record_fixed_size + blob length bytes)
// into out; *length is the capacity in and the record length out.
std::int32_t build_format_record(const format_parameters& p, std::uint8_t* out, std::size_t* length);
std::int32_t build_pin_record(const pin_record_parameters& p, std::uint8_t (&out)[pin_record_size]);
std::int32_t build_df_record(const df_record_parameters& p, std::uint8_t (&out)[df_record_size]);
std::int32_t build_ef_record(const ef_record_parameters& p, std::uint8_t (&out)[ef_record_size]);

// Length of a zero-terminated string of at most max characters; false for
// a null pointer or a longer string.
bool bounded_length(const char* text, std::size_t max, std::size_t* length);

}  // namespace zervik
