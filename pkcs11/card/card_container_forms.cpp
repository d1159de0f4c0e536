#include "card_container_forms.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "solvanta_key_blocks.h"

namespace solvantex {

namespace {

std::uint16_t get_u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
void put_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
std::uint32_t get_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void put_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

constexpr std::size_t label_max = 63;

// Offsets inside a half.
constexpr std::size_t public_at = 0;
constexpr std::size_t private_at = 73;
constexpr std::size_t cert_at = 146;

bool decode_key_part(const std::uint8_t* p, cardfs_key_part* out) {
    out->label_length = p[64];
    if (out->label_length > label_max) return false;
    std::memcpy(out->label, p, out->label_length);
    out->key_type = get_u32(p + 65);
    out->bits = get_u32(p + 69);
    return true;
}
void encode_key_part(const cardfs_key_part& k, std::uint8_t* p) {
    std::memcpy(p, k.label, k.label_length);
    p[64] = k.label_length;
    put_u32(p + 65, k.key_type);
    put_u32(p + 69, k.bits);
}

bool decode_half(const std::uint8_t* p, cardfs_cont_half* out) {
    if (!decode_key_part(p + public_at, &out->public_key) || !decode_key_part(p + private_at, &out->private_key))
        return false;
    out->cert.label_length = p[cert_at + 64];
    if (out->cert.label_length > label_max) return false;
    std::memcpy(out->cert.label, p + cert_at, out->cert.label_length);
    out->cert.bits = get_u32(p + cert_at + 65);
    return true;
}
bool half_fits(const cardfs_cont_half& h) {
    return h.public_key.label_length <= label_max && h.private_key.label_length <= label_max &&
           h.cert.label_length <= label_max;
}
void encode_half(const cardfs_cont_half& h, std::uint8_t* p) {
    encode_key_part(h.public_key, p + public_at);
    encode_key_part(h.private_key, p + private_at);
    std::memcpy(p + cert_at, h.cert.label, h.cert.label_length);
    p[cert_at + 64] = h.cert.label_length;
    put_u32(p + cert_at + 65, h.cert.bits);
}

}  // namespace

bool cardfs_valid_container(std::int32_t index) {
    return static_cast<std::uint32_t>(index) < static_cast<std::uint32_t>(cardfs_container_count);
}

bool cardfs_valid_spec(std::int32_t spec) { return spec == cardfs_spec_exchange || spec == cardfs_spec_signature; }

std::uint16_t cardfs_public_key_id(std::int32_t index, std::int32_t spec) {
    return static_cast<std::uint16_t>((spec == cardfs_spec_exchange ? 0x4100 : 0x4400) + (index & 0xFF));
}

std::uint16_t cardfs_private_key_id(std::int32_t index, std::int32_t spec) {
    return static_cast<std::uint16_t>(cardfs_public_key_id(index, spec) + 0x100);
}

void cardfs_cert_file_name(std::int32_t index, std::int32_t spec, char out[8]) {
    std::memset(out, 0, 8);
    std::snprintf(out, 8, "%s%02d", spec == cardfs_spec_exchange ? "kxc" : "ksc",
                  static_cast<int>(static_cast<std::uint32_t>(index) % 100));
}

void cardfs_standalone_cert_name(int n, char out[8]) {
    std::memset(out, 0, 8);
    std::snprintf(out, 8, "cert%02d", static_cast<int>(static_cast<unsigned>(n) % 100));
}

std::uint32_t cardfs_key_algorithm(std::uint32_t bits) {
    switch (bits) {
        case 256: return cardfs_alg_p256;
        case 521: return cardfs_alg_p521;
        case 1024: return cardfs_alg_rsa_1024;
        case 2048: return cardfs_alg_rsa_2048;
        default: return 0;
    }
}

std::size_t cardfs_public_block_size(std::uint32_t algorithm) {
    switch (algorithm) {
        case cardfs_alg_rsa_1024:
        case cardfs_alg_rsa_2048: return SOLVANTA_RSA_PUBLIC_BLOCK_SIZE;
        case cardfs_alg_p256:
        case cardfs_alg_p521: return SOLVANTA_EC_PUBLIC_BLOCK_SIZE;
        default: return 0;
    }
}

std::size_t cardfs_private_block_size(std::uint32_t algorithm) {
    switch (algorithm) {
        case cardfs_alg_rsa_1024:
        case cardfs_alg_rsa_2048: return SOLVANTA_RSA_PRIVATE_BLOCK_SIZE;
        case cardfs_alg_p256:
        case cardfs_alg_p521: return SOLVANTA_EC_PRIVATE_BLOCK_SIZE;
        default: return 0;
    }
}

bool cardfs_all_zero(const std::uint8_t* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

std::int32_t cardfs_decode_cmap_record(const std::uint8_t* b, std::size_t length, cardfs_cmap_record* out) {
    if (b == nullptr || out == nullptr || length < cardfs_cmap_record_size) return cardfs_store_corrupt;
    cardfs_cmap_record r{};
    for (std::size_t i = 0; i < cardfs_cmap_name_units; ++i) {
        const std::uint8_t low = b[2 * i];
        if (low == 0) break;
        r.name[i] = static_cast<char>(low);
    }
    r.flags = b[80];
    r.reserved = b[81];
    r.signature_bits = get_u16(b + 82);
    r.exchange_bits = get_u16(b + 84);
    *out = r;
    return 0;
}

std::int32_t cardfs_encode_cmap_record(const cardfs_cmap_record& r, std::uint8_t* b) {
    if (b == nullptr) return cardfs_bad_argument;
    const std::size_t n = ::strnlen(r.name, sizeof r.name);
    if (n > cardfs_cmap_name_units) return cardfs_bad_argument;
    std::memset(b, 0, cardfs_cmap_record_size);
    for (std::size_t i = 0; i < n; ++i) b[2 * i] = static_cast<std::uint8_t>(r.name[i]);
    b[80] = r.flags;
    b[81] = r.reserved;
    put_u16(b + 82, r.signature_bits);
    put_u16(b + 84, r.exchange_bits);
    return 0;
}

std::int32_t cardfs_decode_cont_info(const std::uint8_t* b, std::size_t length, cardfs_cont_info_record* out) {
    if (b == nullptr || out == nullptr || length < cardfs_cont_info_record_size) return cardfs_store_corrupt;
    cardfs_cont_info_record r{};
    r.tag = get_u32(b);
    r.signature_id_length = b[68];
    r.exchange_id_length = b[133];
    if (r.signature_id_length > sizeof r.signature_id || r.exchange_id_length > sizeof r.exchange_id)
        return cardfs_store_corrupt;
    std::memcpy(r.signature_id, b + 4, r.signature_id_length);
    std::memcpy(r.exchange_id, b + 69, r.exchange_id_length);
    r.signature_cert = b[cardfs_cont_signature_cert_at];
    r.exchange_cert = b[cardfs_cont_exchange_cert_at];
    if (!decode_half(b + cardfs_cont_signature_half_at, &r.signature) ||
        !decode_half(b + cardfs_cont_exchange_half_at, &r.exchange))
        return cardfs_store_corrupt;
    *out = r;
    return 0;
}

std::int32_t cardfs_encode_cont_info(const cardfs_cont_info_record& r, std::uint8_t* b) {
    if (b == nullptr || r.signature_id_length > sizeof r.signature_id ||
        r.exchange_id_length > sizeof r.exchange_id || !half_fits(r.signature) || !half_fits(r.exchange))
        return cardfs_bad_argument;
    std::memset(b, 0, cardfs_cont_info_record_size);
    put_u32(b, r.tag);
    std::memcpy(b + 4, r.signature_id, r.signature_id_length);
    b[68] = r.signature_id_length;
    std::memcpy(b + 69, r.exchange_id, r.exchange_id_length);
    b[133] = r.exchange_id_length;
    b[cardfs_cont_signature_cert_at] = r.signature_cert;
    b[cardfs_cont_exchange_cert_at] = r.exchange_cert;
    encode_half(r.signature, b + cardfs_cont_signature_half_at);
    encode_half(r.exchange, b + cardfs_cont_exchange_half_at);
    return 0;
}

void cardfs_fresh_cont_info(std::uint8_t* b) {
    std::memset(b, 0, cardfs_cont_info_record_size);
    put_u32(b, cardfs_cont_info_tag);
    for (std::size_t half : {cardfs_cont_signature_half_at, cardfs_cont_exchange_half_at}) {
        put_u32(b + half + public_at + 69, cardfs_public_bits_default);
        put_u32(b + half + private_at + 69, cardfs_private_bits_default);
        put_u32(b + half + cert_at + 65, cardfs_cert_bits_default);
    }
}

bool cardfs_cont_info_tagged(const std::uint8_t* b) { return get_u32(b) == cardfs_cont_info_tag; }

}  // namespace solvantex
