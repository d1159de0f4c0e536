// libFuzzer target over the store's byte forms: the table headers of
// "keyObjects" and "ObjFileIdx", their records and the file information of
// a select. Any input must decode or be refused without a crash or an
// over-read, and whatever decodes must encode to a form that decodes to the
// same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "card_store_forms.h"

namespace {

using namespace solvantex;

void require(bool condition) {
    if (!condition) std::abort();
}

void headers(const std::uint8_t* data, std::size_t size) {
    for (cardfs_table t : {cardfs_table::secret, cardfs_table::data}) {
        const cardfs_table_layout& layout = cardfs_layout_of(t);
        std::uint8_t bitmap[8] = {};
        bool empty = false;
        if (cardfs_decode_header(t, data, size, bitmap, &empty) != 0) continue;
        require(size >= layout.header);
        std::uint8_t again[cardfs_data_header_size] = {};
        cardfs_encode_header(t, bitmap, again);
        std::uint8_t bitmap2[8] = {};
        bool empty2 = true;
        require(cardfs_decode_header(t, again, layout.header, bitmap2, &empty2) == 0);
        require(std::memcmp(bitmap, bitmap2, layout.bitmap) == 0 && !empty2);
        if (!empty) require(std::memcmp(again, data, layout.header) == 0);
        for (int slot = 0; slot < layout.slots; ++slot) {
            cardfs_set_bit(bitmap, slot, !cardfs_bit(bitmap, slot));
            cardfs_set_bit(bitmap, slot, !cardfs_bit(bitmap, slot));
        }
        require(std::memcmp(bitmap, bitmap2, layout.bitmap) == 0);
    }
}

void secret_record(const std::uint8_t* data, std::size_t size) {
    cardfs_secret_record r{};
    if (cardfs_decode_secret_record(data, size, &r) != 0) return;
    require(r.label_length <= cardfs_record_label_max && r.id_length <= sizeof r.id && r.value_length <= sizeof r.value);
    // Whatever decodes encodes: the module compares a card's record with
    // its cached copy in that form.
    std::uint8_t bytes[cardfs_secret_record_size];
    require(cardfs_encode_secret_record(r, bytes) == 0);
    cardfs_secret_record back{};
    require(cardfs_decode_secret_record(bytes, sizeof bytes, &back) == 0);
    require(back.in_use == r.in_use && back.slot == r.slot && back.bits == r.bits && back.key_type == r.key_type &&
            back.value_length == r.value_length && std::memcmp(back.value, r.value, r.value_length) == 0 &&
            back.label_length == r.label_length && std::memcmp(back.label, r.label, r.label_length) == 0);
}

void data_record(const std::uint8_t* data, std::size_t size) {
    cardfs_data_record r{};
    if (cardfs_decode_data_record(data, size, &r) != 0) return;
    require(r.file_name[8] == '\0' && r.value_length <= 0xFFFF);
    std::uint8_t bytes[cardfs_data_record_size];
    require(cardfs_encode_data_record(r, bytes) == 0);
    cardfs_data_record back{};
    require(cardfs_decode_data_record(bytes, sizeof bytes, &back) == 0);
    require(back.slot == r.slot && back.flags == r.flags && back.value_length == r.value_length &&
            back.oid_length == r.oid_length && std::memcmp(back.oid, r.oid, r.oid_length) == 0 &&
            std::strcmp(back.file_name, r.file_name) == 0);
}

void file_info(const std::uint8_t* data, std::size_t size) {
    cardfs_file_info info{};
    if (cardfs_parse_file_info(data, size, &info) != 0) return;
    require(size >= cardfs_file_info_size && info.kind <= 1 && info.name[cardfs_name_max] == '\0');
    if (info.kind == 0) require(info.size == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the form; the rest is its bytes (exactly the
    // length the input gives, so reads past it are caught).
    const std::uint8_t* rest = data + 1;
    const std::size_t n = size - 1;
    switch (data[0] % 4) {
        case 0: headers(rest, n); break;
        case 1: secret_record(rest, n); break;
        case 2: data_record(rest, n); break;
        default: file_info(rest, n); break;
    }
    return 0;
}
