// libFuzzer target over the store's byte forms: the table headers of
// "keyObjects" and "ObjFileIdx", their records, the "cmapfile" and
// "contInfo" records of the key containers and the file information of a
// select. Any input must decode or be refused without a crash or an
// over-read, and whatever decodes must encode to a form that decodes to the
// same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "card_container_forms.h"
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

void cmap_record(const std::uint8_t* data, std::size_t size) {
    cardfs_cmap_record r{};
    if (cardfs_decode_cmap_record(data, size, &r) != 0) return;
    require(size >= cardfs_cmap_record_size && r.name[cardfs_cmap_name_units] == '\0');
    std::uint8_t bytes[cardfs_cmap_record_size];
    require(cardfs_encode_cmap_record(r, bytes) == 0);
    cardfs_cmap_record back{};
    require(cardfs_decode_cmap_record(bytes, sizeof bytes, &back) == 0);
    require(std::strcmp(back.name, r.name) == 0 && back.flags == r.flags && back.reserved == r.reserved &&
            back.signature_bits == r.signature_bits && back.exchange_bits == r.exchange_bits);
    // Bytes past the name's end are all that a re-encoding may change.
    const std::size_t n = std::strlen(r.name);
    for (std::size_t i = 0; i < n; ++i) require(bytes[2 * i] == data[2 * i]);
    require(std::memcmp(bytes + 80, data + 80, 6) == 0);
}

bool same_half(const cardfs_cont_half& a, const cardfs_cont_half& b) {
    const auto same_key = [](const cardfs_key_part& x, const cardfs_key_part& y) {
        return x.label_length == y.label_length && std::memcmp(x.label, y.label, x.label_length) == 0 &&
               x.key_type == y.key_type && x.bits == y.bits;
    };
    return same_key(a.public_key, b.public_key) && same_key(a.private_key, b.private_key) &&
           a.cert.label_length == b.cert.label_length &&
           std::memcmp(a.cert.label, b.cert.label, a.cert.label_length) == 0 && a.cert.bits == b.cert.bits;
}

void cont_info_record(const std::uint8_t* data, std::size_t size) {
    cardfs_cont_info_record r{};
    if (cardfs_decode_cont_info(data, size, &r) != 0) return;
    require(size >= cardfs_cont_info_record_size && r.signature_id_length <= 64 && r.exchange_id_length <= 64);
    std::uint8_t bytes[cardfs_cont_info_record_size];
    require(cardfs_encode_cont_info(r, bytes) == 0);
    cardfs_cont_info_record back{};
    require(cardfs_decode_cont_info(bytes, sizeof bytes, &back) == 0);
    require(back.tag == r.tag && back.signature_id_length == r.signature_id_length &&
            std::memcmp(back.signature_id, r.signature_id, r.signature_id_length) == 0 &&
            back.exchange_id_length == r.exchange_id_length &&
            std::memcmp(back.exchange_id, r.exchange_id, r.exchange_id_length) == 0 &&
            back.signature_cert == r.signature_cert && back.exchange_cert == r.exchange_cert &&
            same_half(back.signature, r.signature) && same_half(back.exchange, r.exchange));
    require(cardfs_cont_info_tagged(bytes) == (r.tag == cardfs_cont_info_tag));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the form; the rest is its bytes (exactly the
    // length the input gives, so reads past it are caught).
    const std::uint8_t* rest = data + 1;
    const std::size_t n = size - 1;
    switch (data[0] % 6) {
        case 0: headers(rest, n); break;
        case 1: secret_record(rest, n); break;
        case 2: data_record(rest, n); break;
        case 3: file_info(rest, n); break;
        case 4: cmap_record(rest, n); break;
        default: cont_info_record(rest, n); break;
    }
    return 0;
}
