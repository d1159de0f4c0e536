// The byte forms of the key containers, apart from any card: the records of
// "cmapfile" and "contInfo", the key ids of a container and the algorithm of
// a key size. Nothing here sends a command. All integers little-endian.
//
// "cmapfile" (4001, 688 bytes): 8 records of 86 bytes: the name in UTF-16LE
// (80 bytes, at most 39 characters, each byte of the name widened), flags
// (bit 0: in use), a zero byte, u16 signature key bits, u16 exchange key bits.
//
// "contInfo" (4528 bytes): 8 records of 566 bytes: tag "2noc" (0x636F6E32),
// the signature and the exchange CKA_ID (64 + length each), the certificate
// present bytes (134 signature, 135 exchange), then the 215-byte halves of
// the signature (136) and the exchange (351) key pair, each {public part,
// private part: label 64 + length, u32 key type, u32 attribute bits;
// certificate part: label 64 + length, u32 attribute bits}.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card_store_forms.h"

namespace solvantex {

constexpr int cardfs_container_count = 8;
constexpr std::size_t cardfs_cmap_record_size = 86;
constexpr std::size_t cardfs_cont_info_record_size = 566;
constexpr std::size_t cardfs_cont_info_size = cardfs_cont_info_record_size * cardfs_container_count;
constexpr const char* cardfs_cont_info_name = "contInfo";
constexpr std::uint32_t cardfs_cont_info_tag = 0x636F6E32;
// The card keeps 39 characters of a name and certificate labels made from
// it one less: longer names are refused at creation.
constexpr std::size_t cardfs_container_name_max = 38;
constexpr std::size_t cardfs_cmap_name_units = 39;
// The largest certificate a container or standalone file takes.
constexpr std::uint32_t cardfs_cert_max = 16384;

// Key specs.
constexpr std::int32_t cardfs_spec_exchange = 1;
constexpr std::int32_t cardfs_spec_signature = 2;

// Results of the container operations besides those of the store.
// A container index outside 0..7 or a key spec other than 1 and 2.
constexpr std::int32_t cardfs_bad_container = static_cast<std::int32_t>(0x80100030u);
// Every container record is in use.
constexpr std::int32_t cardfs_no_free_container = -1;
// A key size other than 256, 521, 1024 and 2048 bits (the core reports it
// as CKR_KEY_SIZE_RANGE); nothing sent.
constexpr std::int32_t cardfs_bad_key_size = 0x0105;
// The key slot already holds a key, or the container record is in use:
// nothing overwritten.
constexpr std::int32_t cardfs_slot_occupied = 0x0106;
// The caller's buffer is shorter than the file; the needed length is given.
constexpr std::int32_t cardfs_buffer_too_small = 0x0107;

// Card algorithm ids of the key pairs.
constexpr std::uint32_t cardfs_alg_rsa_1024 = 0x40001000;
constexpr std::uint32_t cardfs_alg_rsa_2048 = 0x40001001;
constexpr std::uint32_t cardfs_alg_p256 = 0x40001010;
constexpr std::uint32_t cardfs_alg_p521 = 0x40001011;

// Attribute words of a fresh record (certificates are not trusted).
constexpr std::uint32_t cardfs_public_bits_default = 0xF2;
constexpr std::uint32_t cardfs_private_bits_default = 0x6FB;
constexpr std::uint32_t cardfs_cert_bits_default = 0x2;

// Where the parts of a record lie.
constexpr std::size_t cardfs_cont_signature_cert_at = 134;
constexpr std::size_t cardfs_cont_exchange_cert_at = 135;
constexpr std::size_t cardfs_cont_signature_half_at = 136;
constexpr std::size_t cardfs_cont_exchange_half_at = 351;
constexpr std::size_t cardfs_cont_half_size = 215;
constexpr std::size_t cardfs_cont_half_key_parts = 146;

bool cardfs_valid_container(std::int32_t index);
bool cardfs_valid_spec(std::int32_t spec);

// The key files of a container's key spec.
std::uint16_t cardfs_public_key_id(std::int32_t index, std::int32_t spec);
std::uint16_t cardfs_private_key_id(std::int32_t index, std::int32_t spec);
// "ksc%02d" (signature) or "kxc%02d" (exchange).
void cardfs_cert_file_name(std::int32_t index, std::int32_t spec, char out[8]);
// "cert%02d", n 0..9.
void cardfs_standalone_cert_name(int n, char out[8]);
// The names of all ten standalone certificate files, each with its NUL.
constexpr std::size_t cardfs_standalone_names_size = 10 * 7;

// The algorithm of a key size: 0 for a size the card does not take.
std::uint32_t cardfs_key_algorithm(std::uint32_t bits);
// The public and private block sizes of an algorithm: 0 when unknown.
std::size_t cardfs_public_block_size(std::uint32_t algorithm);
std::size_t cardfs_private_block_size(std::uint32_t algorithm);

struct cardfs_cmap_record {
    char name[cardfs_cmap_name_units + 1];  // NUL-terminated
    std::uint8_t flags;                     // bit 0: in use
    std::uint8_t reserved;
    std::uint16_t signature_bits;
    std::uint16_t exchange_bits;
};

struct cardfs_key_part {
    std::uint8_t label[64];
    std::uint8_t label_length;  // at most 63
    std::uint32_t key_type;
    std::uint32_t bits;
};
struct cardfs_cert_part {
    std::uint8_t label[64];
    std::uint8_t label_length;  // at most 63
    std::uint32_t bits;
};
struct cardfs_cont_half {
    cardfs_key_part public_key;
    cardfs_key_part private_key;
    cardfs_cert_part cert;
};
struct cardfs_cont_info_record {
    std::uint32_t tag;
    std::uint8_t signature_id[64];
    std::uint8_t signature_id_length;  // at most 64
    std::uint8_t exchange_id[64];
    std::uint8_t exchange_id_length;
    std::uint8_t signature_cert;
    std::uint8_t exchange_cert;
    cardfs_cont_half signature;
    cardfs_cont_half exchange;
};

// A "cmapfile" record: 0, or cardfs_store_corrupt for fewer than 86 bytes.
// The name is the low byte of each UTF-16 unit up to the first zero one.
std::int32_t cardfs_decode_cmap_record(const std::uint8_t* bytes, std::size_t length, cardfs_cmap_record* out);
// 0, or cardfs_bad_argument for a name that is not NUL-terminated within
// its field.
std::int32_t cardfs_encode_cmap_record(const cardfs_cmap_record& record, std::uint8_t* bytes);
// A "contInfo" record: 0, or cardfs_store_corrupt for a short input or a
// length byte past its field.
std::int32_t cardfs_decode_cont_info(const std::uint8_t* bytes, std::size_t length, cardfs_cont_info_record* out);
// 0, or cardfs_bad_argument for a length past its field.
std::int32_t cardfs_encode_cont_info(const cardfs_cont_info_record& record, std::uint8_t* bytes);

// A fresh record: the tag and the default attribute words, zeros elsewhere.
void cardfs_fresh_cont_info(std::uint8_t* bytes);
bool cardfs_cont_info_tagged(const std::uint8_t* bytes);
bool cardfs_all_zero(const std::uint8_t* bytes, std::size_t length);

}  // namespace solvantex
