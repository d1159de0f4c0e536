// The byte forms of the token's file store, apart from any card: store file
// ids, the file information a select reports, and the headers and records of
// the two slot tables. Nothing here sends a command.
#pragma once

#include <cstddef>
#include <cstdint>

namespace solvantex {

// Local results of the store (never a card status word).
// A fixed-size store file gave fewer bytes than its size: the output is
// zero-filled and nothing was written back.
constexpr std::int32_t cardfs_short_file = 0x0101;
// An offset, size or name the card interface cannot carry; nothing sent.
constexpr std::int32_t cardfs_bad_argument = 0x0102;
// A store table whose header is neither empty nor its own; nothing written.
constexpr std::int32_t cardfs_store_corrupt = 0x0103;
// A record that no longer matches the card's copy; nothing written.
constexpr std::int32_t cardfs_record_mismatch = 0x0104;

constexpr std::int32_t cardfs_chunk_size = 1024;
constexpr std::size_t cardfs_name_max = 16;
constexpr std::uint32_t cardfs_offset_limit = 0xFFFF;

// CRC-16/KERMIT of a name's bytes (reflected 0x8408, initial 0, no final
// XOR): the id of a store file.
std::uint16_t cardfs_file_id(const char* name, std::size_t length);
std::uint16_t cardfs_file_id(const char* name);

// What a select reports of a file (from the core's 37-byte record).
constexpr std::size_t cardfs_file_info_size = 37;
struct cardfs_file_info {
    std::uint8_t kind;  // 0 DF, 1 EF
    std::uint8_t type;
    char name[cardfs_name_max + 1];
    std::uint16_t id;
    std::uint8_t access[2];
    std::uint16_t size;  // EFs only
};
// Decodes a 37-byte file-information record: 0, or cardfs_bad_argument for
// a record of another kind (nothing written).
std::int32_t cardfs_parse_file_info(const std::uint8_t* record, std::size_t length, cardfs_file_info* info);

constexpr int cardfs_secret_slots = 16;
constexpr int cardfs_data_slots = 64;
constexpr std::size_t cardfs_secret_header_size = 16;
constexpr std::size_t cardfs_secret_record_size = 187;
constexpr std::size_t cardfs_secret_file_size = 3008;
constexpr std::size_t cardfs_data_header_size = 36;
constexpr std::size_t cardfs_data_record_size = 185;
constexpr std::size_t cardfs_data_file_size = 11876;
constexpr const char* cardfs_secret_table_name = "keyObjects";
constexpr const char* cardfs_data_table_name = "ObjFileIdx";

constexpr std::uint8_t cardfs_record_label_max = 63;  // both tables
constexpr std::uint32_t cardfs_secret_bit_private = 1u << 0;
constexpr std::uint32_t cardfs_secret_bit_local = 1u << 3;
constexpr std::uint32_t cardfs_data_flag_private = 1u << 0;
constexpr std::uint32_t cardfs_data_flag_modifiable = 1u << 1;

struct cardfs_secret_record {
    std::int32_t in_use;
    std::uint8_t label[64];
    std::uint8_t label_length;  // at most 63 (the field has 64 bytes)
    std::uint32_t key_type;
    std::uint8_t id[64];
    std::uint8_t id_length;  // at most 64
    std::uint32_t mechanism;  // bytes 138-141, written as 0 by the module
    std::uint8_t value[32];
    std::uint8_t value_length;  // at most 32
    std::uint32_t bits;
    std::int32_t slot;
};

struct cardfs_data_record {
    std::int32_t in_use;
    std::uint8_t label[63];
    std::uint8_t label_length;  // at most 63
    std::uint8_t application[63];
    std::uint8_t application_length;  // at most 63
    std::uint8_t oid[32];
    std::uint32_t flags;
    std::int32_t slot;
    std::uint32_t value_length;
    std::uint8_t oid_length;  // at most 32
    char file_name[9];        // NUL-terminated
};

// ---- byte forms (no card involved) ---------------------------------------

enum class cardfs_table { secret, data };

// Where a table's parts lie.
struct cardfs_table_layout {
    const char* name;
    char tag[5];
    std::size_t header;
    std::size_t bitmap;
    std::size_t record;
    std::size_t file;
    int slots;
};
const cardfs_table_layout& cardfs_layout_of(cardfs_table table);

// A table header: 0 with the bitmap (2 or 8 bytes) and *empty (an all-zero
// header, which gets its tag at the next write); cardfs_store_corrupt for a
// wrong tag or non-zero reserved bytes (nothing written to the outputs).
std::int32_t cardfs_decode_header(cardfs_table table, const std::uint8_t* bytes, std::size_t length,
                                  std::uint8_t* bitmap, bool* empty);
void cardfs_encode_header(cardfs_table table, const std::uint8_t* bitmap, std::uint8_t* bytes);
// Records: 0, or cardfs_store_corrupt for a length byte past its field.
std::int32_t cardfs_decode_secret_record(const std::uint8_t* bytes, std::size_t length, cardfs_secret_record* out);
std::int32_t cardfs_decode_data_record(const std::uint8_t* bytes, std::size_t length, cardfs_data_record* out);
// 0, or cardfs_bad_argument for a length past its field.
std::int32_t cardfs_encode_secret_record(const cardfs_secret_record& record, std::uint8_t* bytes);
std::int32_t cardfs_encode_data_record(const cardfs_data_record& record, std::uint8_t* bytes);

bool cardfs_bit(const std::uint8_t* bitmap, int slot);
void cardfs_set_bit(std::uint8_t* bitmap, int slot, bool on);
// "pri%02d" or "pub%02d".
void cardfs_value_file_name(bool is_private, int slot, char out[9]);

}  // namespace solvantex
