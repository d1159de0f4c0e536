#include "card_store_forms.h"

#include <cstdio>
#include <cstring>

namespace solvantex {

namespace {

const cardfs_table_layout secret_form{cardfs_secret_table_name, "secr", cardfs_secret_header_size, 2,
                             cardfs_secret_record_size, cardfs_secret_file_size, cardfs_secret_slots};
const cardfs_table_layout data_form{cardfs_data_table_name, "data", cardfs_data_header_size, 8, cardfs_data_record_size,
                           cardfs_data_file_size, cardfs_data_slots};

std::uint32_t get_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void put_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool all_zero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace

const cardfs_table_layout& cardfs_layout_of(cardfs_table t) {
    return t == cardfs_table::secret ? secret_form : data_form;
}

std::uint16_t cardfs_file_id(const char* name, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<std::uint8_t>(name[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return crc;
}

std::uint16_t cardfs_file_id(const char* name) { return name == nullptr ? 0 : cardfs_file_id(name, std::strlen(name)); }

std::int32_t cardfs_parse_file_info(const std::uint8_t* record, std::size_t length, cardfs_file_info* info) {
    // Record: kind, type, then the card's bytes: name 16, id 2, access 2,
    // and for an EF the size u16; the core gives the id and size in host
    // order.
    if (record == nullptr || info == nullptr || length < cardfs_file_info_size)
        return cardfs_bad_argument;
    const std::uint8_t kind = record[0];
    if (kind > 1) return cardfs_bad_argument;
    cardfs_file_info out{};
    out.kind = kind;
    out.type = record[1];
    std::memcpy(out.name, record + 2, cardfs_name_max);
    out.name[cardfs_name_max] = '\0';
    std::memcpy(&out.id, record + 18, sizeof out.id);
    out.access[0] = record[20];
    out.access[1] = record[21];
    if (kind == 1) std::memcpy(&out.size, record + 22, sizeof out.size);
    *info = out;
    return 0;
}

// ---- byte forms ------------------------------------------------------------

bool cardfs_bit(const std::uint8_t* bitmap, int slot) { return (bitmap[slot / 8] >> (7 - slot % 8)) & 1; }

void cardfs_set_bit(std::uint8_t* bitmap, int slot, bool on) {
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (slot % 8));
    if (on)
        bitmap[slot / 8] = static_cast<std::uint8_t>(bitmap[slot / 8] | mask);
    else
        bitmap[slot / 8] = static_cast<std::uint8_t>(bitmap[slot / 8] & ~mask);
}

void cardfs_value_file_name(bool is_private, int slot, char out[9]) {
    std::memset(out, 0, 9);
    std::snprintf(out, 9, "%s%02d", is_private ? "pri" : "pub", slot % 100);
}

std::int32_t cardfs_decode_header(cardfs_table table, const std::uint8_t* bytes, std::size_t length,
                                  std::uint8_t* bitmap, bool* empty) {
    const cardfs_table_layout& f = cardfs_layout_of(table);
    if (bytes == nullptr || bitmap == nullptr || empty == nullptr || length < f.header) return cardfs_store_corrupt;
    if (all_zero(bytes, f.header)) {
        std::memset(bitmap, 0, f.bitmap);
        *empty = true;
        return 0;
    }
    if (std::memcmp(bytes, f.tag, 4) != 0 || !all_zero(bytes + 4 + f.bitmap, f.header - 4 - f.bitmap))
        return cardfs_store_corrupt;
    std::memcpy(bitmap, bytes + 4, f.bitmap);
    *empty = false;
    return 0;
}

void cardfs_encode_header(cardfs_table table, const std::uint8_t* bitmap, std::uint8_t* bytes) {
    const cardfs_table_layout& f = cardfs_layout_of(table);
    std::memset(bytes, 0, f.header);
    std::memcpy(bytes, f.tag, 4);
    std::memcpy(bytes + 4, bitmap, f.bitmap);
}

std::int32_t cardfs_decode_secret_record(const std::uint8_t* b, std::size_t length, cardfs_secret_record* out) {
    if (b == nullptr || out == nullptr || length < cardfs_secret_record_size) return cardfs_store_corrupt;
    cardfs_secret_record r{};
    r.in_use = static_cast<std::int32_t>(get_u32(b));
    r.label_length = b[68];
    r.key_type = get_u32(b + 69);
    r.id_length = b[137];
    r.mechanism = get_u32(b + 138);
    r.value_length = b[174];
    r.bits = get_u32(b + 179);
    r.slot = static_cast<std::int32_t>(get_u32(b + 183));
    // Labels are at most 63 bytes in both tables.
    if (r.label_length > cardfs_record_label_max || r.id_length > sizeof r.id || r.value_length > sizeof r.value)
        return cardfs_store_corrupt;
    std::memcpy(r.label, b + 4, r.label_length);
    std::memcpy(r.id, b + 73, r.id_length);
    std::memcpy(r.value, b + 142, r.value_length);
    *out = r;
    return 0;
}

std::int32_t cardfs_encode_secret_record(const cardfs_secret_record& r, std::uint8_t* b) {
    if (b == nullptr || r.label_length > cardfs_record_label_max || r.id_length > sizeof r.id || r.value_length > sizeof r.value)
        return cardfs_bad_argument;
    std::memset(b, 0, cardfs_secret_record_size);
    put_u32(b, static_cast<std::uint32_t>(r.in_use));
    std::memcpy(b + 4, r.label, r.label_length);
    b[68] = r.label_length;
    put_u32(b + 69, r.key_type);
    std::memcpy(b + 73, r.id, r.id_length);
    b[137] = r.id_length;
    put_u32(b + 138, r.mechanism);
    std::memcpy(b + 142, r.value, r.value_length);
    b[174] = r.value_length;
    put_u32(b + 179, r.bits);
    put_u32(b + 183, static_cast<std::uint32_t>(r.slot));
    return 0;
}

std::int32_t cardfs_decode_data_record(const std::uint8_t* b, std::size_t length, cardfs_data_record* out) {
    if (b == nullptr || out == nullptr || length < cardfs_data_record_size) return cardfs_store_corrupt;
    cardfs_data_record r{};
    r.in_use = static_cast<std::int32_t>(get_u32(b));
    r.label_length = b[67];
    r.application_length = b[131];
    r.flags = get_u32(b + 164);
    r.slot = static_cast<std::int32_t>(get_u32(b + 168));
    r.value_length = get_u32(b + 172);
    r.oid_length = b[176];
    if (r.label_length > sizeof r.label || r.application_length > sizeof r.application ||
        r.oid_length > sizeof r.oid || r.value_length > cardfs_offset_limit)
        return cardfs_store_corrupt;
    std::memcpy(r.label, b + 4, r.label_length);
    std::memcpy(r.application, b + 68, r.application_length);
    std::memcpy(r.oid, b + 132, r.oid_length);
    std::memcpy(r.file_name, b + 177, 8);
    r.file_name[8] = '\0';
    *out = r;
    return 0;
}

std::int32_t cardfs_encode_data_record(const cardfs_data_record& r, std::uint8_t* b) {
    if (b == nullptr || r.label_length > sizeof r.label || r.application_length > sizeof r.application ||
        r.oid_length > sizeof r.oid || r.value_length > cardfs_offset_limit)
        return cardfs_bad_argument;
    std::memset(b, 0, cardfs_data_record_size);
    put_u32(b, static_cast<std::uint32_t>(r.in_use));
    std::memcpy(b + 4, r.label, r.label_length);
    b[67] = r.label_length;
    std::memcpy(b + 68, r.application, r.application_length);
    b[131] = r.application_length;
    std::memcpy(b + 132, r.oid, r.oid_length);
    put_u32(b + 164, r.flags);
    put_u32(b + 168, static_cast<std::uint32_t>(r.slot));
    put_u32(b + 172, r.value_length);
    b[176] = r.oid_length;
    std::memcpy(b + 177, r.file_name, ::strnlen(r.file_name, 8));
    return 0;
}

}  // namespace solvantex
