#include "card_containers.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "card_call.h"
#include "card_commands.h"
#include "protocol/status.h"
#include "card_profile.h"
#include "sm/aes.h"
#include "sm/wipe.h"
#include "solvanta_key_blocks.h"

namespace solvantex {

using zervik::sw_file_exists;
using zervik::sw_file_not_found;
using zervik::wiped_bytes;

namespace {

constexpr std::uint16_t file_list_tag = 0x0106;
// The key-encryption key of a private-key import: AES-256, agreed per call.
constexpr std::uint32_t import_kek_type = 0x40002020;
// Option bytes of the key commands: the session-key reference the card
// reads with the private block.
constexpr std::uint8_t key_reference_byte = 3;

constexpr std::uint8_t key_file_public = 0x20;
constexpr std::uint8_t key_file_private = 0x30;

// Offsets of a map record.
constexpr std::size_t cmap_flags_at = 80;
constexpr std::size_t cmap_signature_bits_at = 82;
constexpr std::size_t cmap_exchange_bits_at = 84;

std::uint32_t cmap_offset(std::int32_t index) { return static_cast<std::uint32_t>(index) * cardfs_cmap_record_size; }
std::uint32_t cont_offset(std::int32_t index) {
    return static_cast<std::uint32_t>(index) * cardfs_cont_info_record_size;
}
std::size_t bits_at(std::int32_t spec) {
    return spec == cardfs_spec_exchange ? cmap_exchange_bits_at : cmap_signature_bits_at;
}
std::size_t half_at(std::int32_t spec) {
    return spec == cardfs_spec_exchange ? cardfs_cont_exchange_half_at : cardfs_cont_signature_half_at;
}
std::size_t cert_mark_at(std::int32_t spec) {
    return spec == cardfs_spec_exchange ? cardfs_cont_exchange_cert_at : cardfs_cont_signature_cert_at;
}
std::uint16_t get_u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
void put_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
bool in_use(const std::uint8_t* record) { return (record[cmap_flags_at] & 1) != 0; }

// ---- inside a transaction, "mscp" current ---------------------------------

std::int32_t read_cmap(card_handle h, std::uint8_t* map) {
    return cardfs_read_fixed_here(h, cardfs_cmapfile_name, 0, cardfs_cmapfile_size, map);
}
std::int32_t write_cmap(card_handle h, std::int32_t index, const std::uint8_t* record) {
    return cardfs_write_here(h, cardfs_cmapfile_name, cmap_offset(index), record, cardfs_cmap_record_size, 0);
}

std::int32_t create_cont_info(card_handle h) {
    const std::int32_t status =
        cardfs_create_file_ex(h, cardfs_file_id(cardfs_cont_info_name), cardfs_cont_info_name, 0, cardfs_access_any,
                              cardfs_access_user, 0, cardfs_cont_info_size);
    return status == sw_file_exists ? 0 : status;
}
// One record as the card holds it; a missing file reads as all zero.
std::int32_t read_cont(card_handle h, std::int32_t index, std::uint8_t* record) {
    const std::int32_t status =
        cardfs_read_fixed_here(h, cardfs_cont_info_name, cont_offset(index), cardfs_cont_info_record_size, record);
    if (status == sw_file_not_found) {
        std::memset(record, 0, cardfs_cont_info_record_size);
        return 0;
    }
    return status;
}
std::int32_t write_cont_bytes(card_handle h, std::uint32_t offset, const std::uint8_t* data, std::uint32_t length) {
    std::int32_t status = cardfs_write_here(h, cardfs_cont_info_name, offset, data, length, 0);
    if (status == sw_file_not_found) {
        status = create_cont_info(h);
        if (status == 0) status = cardfs_write_here(h, cardfs_cont_info_name, offset, data, length, 0);
    }
    return status;
}
std::int32_t write_cont(card_handle h, std::int32_t index, const std::uint8_t* record) {
    return write_cont_bytes(h, cont_offset(index), record, cardfs_cont_info_record_size);
}

std::int32_t delete_key_file(card_handle h, std::uint16_t id) {
    const std::int32_t status = card_delete_file_by_id(h, id);
    return status == sw_file_not_found ? 0 : status;
}
std::int32_t delete_key_files(card_handle h, std::int32_t index, std::int32_t spec) {
    std::int32_t status = delete_key_file(h, cardfs_public_key_id(index, spec));
    if (status == 0) status = delete_key_file(h, cardfs_private_key_id(index, spec));
    return status;
}
std::int32_t delete_cert_files(card_handle h, std::int32_t index) {
    for (std::int32_t spec : {cardfs_spec_exchange, cardfs_spec_signature}) {
        char name[8];
        cardfs_cert_file_name(index, spec, name);
        const std::int32_t status = cardfs_delete_here(h, name);
        if (status != 0) return status;
    }
    return 0;
}

std::int32_t create_key_files(card_handle h, std::int32_t index, std::int32_t spec) {
    std::int32_t status = cardfs_create_key_file(h, cardfs_public_key_id(index, spec), key_file_public,
                                                 cardfs_access_any, cardfs_access_user, cardfs_access_user);
    if (status != 0 && status != sw_file_exists) return status;
    status = cardfs_create_key_file(h, cardfs_private_key_id(index, spec), key_file_private, 0, cardfs_access_user,
                                    cardfs_access_user);
    return status == sw_file_exists ? 0 : status;
}

// The map as it stands, and the key slot free: 0 or cardfs_slot_occupied.
std::int32_t check_slot_free(card_handle h, std::int32_t index, std::int32_t spec) {
    std::uint8_t map[cardfs_cmapfile_size];
    const std::int32_t status = read_cmap(h, map);
    if (status != 0) return status;
    return get_u16(map + cmap_offset(index) + bits_at(spec)) != 0 ? cardfs_slot_occupied : 0;
}

// The whole map (a full read) and the container's "contInfo" record.
std::int32_t read_records(card_handle h, std::int32_t index, std::uint8_t* map, std::uint8_t* cont) {
    const std::int32_t status = read_cmap(h, map);
    return status != 0 ? status : read_cont(h, index, cont);
}

std::int32_t update_key_info(card_handle h, std::int32_t index, std::int32_t spec, std::uint32_t bits) {
    std::uint8_t map[cardfs_cmapfile_size];
    std::uint8_t cont[cardfs_cont_info_record_size];
    std::int32_t status = read_records(h, index, map, cont);
    if (status != 0) return status;
    if (cardfs_all_zero(cont, sizeof cont)) {
        cardfs_fresh_cont_info(cont);
        status = write_cont(h, index, cont);
        if (status != 0) return status;
    }
    std::uint8_t* record = map + cmap_offset(index);
    record[cmap_flags_at] = static_cast<std::uint8_t>(record[cmap_flags_at] | 1);
    put_u16(record + bits_at(spec), static_cast<std::uint16_t>(bits));
    return write_cmap(h, index, record);
}

// The certificate file ids listed by the card in the current directory.
std::int32_t file_list(card_handle h, std::uint8_t* list, std::int32_t* length) {
    return card_get_data(h, file_list_tag, list, length);
}
bool listed(const std::uint8_t* list, std::int32_t length, std::uint16_t id) {
    for (std::int32_t i = 0; i + 1 < length; i += 2)
        if (static_cast<std::uint16_t>(list[i] << 8 | list[i + 1]) == id) return true;
    return false;
}
// Certificate files are written from their end to their start into a file
// the card fills with zeros when it makes it, so a file whose first byte is
// still zero was cut off on its way in (a DER certificate starts with a
// tag). *written: whether the file's first byte is set.
std::int32_t cert_file_written(card_handle h, const char* name, bool* written) {
    std::uint8_t first = 0;
    const std::int32_t status = cardfs_read_fixed_here(h, name, 0, 1, &first);
    *written = first != 0;
    return status;
}

// Writes a certificate into its fresh file, the chunk at offset 0 last.
std::int32_t write_cert_file(card_handle h, const char* name, const std::uint8_t* data, std::uint32_t length) {
    const std::uint32_t head = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(cardfs_chunk_size));
    std::int32_t status = 0;
    // Plain writes (mode 0): a new content (mode 1) would clear the tail.
    if (length > head) status = cardfs_write_here(h, name, head, data + head, length - head, 0);
    if (status == 0) status = cardfs_write_here(h, name, 0, data, head, 0);
    return status;
}

// The standalone certificate files a file list names and that were written
// to their start, in order, each name with its NUL; *total: their length.
std::int32_t standalone_names(card_handle h, const std::uint8_t* list, std::int32_t length,
                              char (&names)[cardfs_standalone_names_size], std::uint32_t* total) {
    *total = 0;
    for (int n = 0; n < 10; ++n) {
        char name[8];
        cardfs_standalone_cert_name(n, name);
        if (!listed(list, length, cardfs_file_id(name))) continue;
        bool written = false;
        const std::int32_t status = cert_file_written(h, name, &written);
        if (status != 0) return status;
        if (!written) continue;
        std::memcpy(names + *total, name, 7);
        *total += 7;
    }
    return 0;
}

// The certificate-present bytes follow the card's file list: a listed file
// counts when its record marks it (the write's last step) or, unmarked,
// when it was written to its start; a file cut off on its way in does not.
std::int32_t mark_presence(card_handle h, std::uint8_t* cont_info, std::int32_t last, const std::uint8_t* list,
                           std::int32_t length) {
    for (std::int32_t i = 0; i <= last && i < cardfs_container_count; ++i) {
        std::uint8_t* record = cont_info + cont_offset(i);
        for (std::int32_t spec : {cardfs_spec_exchange, cardfs_spec_signature}) {
            char name[8];
            cardfs_cert_file_name(i, spec, name);
            bool present = listed(list, length, cardfs_file_id(name));
            if (present && record[cert_mark_at(spec)] == 0) {
                const std::int32_t status = cert_file_written(h, name, &present);
                if (status != 0) return status;
            }
            record[cert_mark_at(spec)] = present ? 1 : 0;
        }
    }
    return 0;
}

// A block's leading size, host order.
std::uint32_t block_bits(const std::uint8_t* block) {
    std::uint32_t bits;
    std::memcpy(&bits, block, sizeof bits);
    return bits;
}

// The private block wrapped under a key agreed with the card into kek_slot,
// then AsymImportPri.
std::int32_t import_private(card_handle h, std::uint16_t private_id, std::uint16_t public_id, std::uint32_t algorithm,
                            const std::uint8_t* block) {
    const std::size_t size = cardfs_private_block_size(algorithm);
    wiped_bytes<SOLVANTA_RSA_PRIVATE_BLOCK_SIZE> plain;
    std::memcpy(plain.data(), block, size);
    const std::uint32_t bits = block_bits(block);
    for (int i = 0; i < 4; ++i) plain.data()[i] = static_cast<std::uint8_t>(bits >> (24 - 8 * i));

    wiped_bytes<32> kek;
    std::int32_t kek_length = static_cast<std::int32_t>(kek.size());
    std::int32_t status = card_agree_session_key(h, kek_slot, import_kek_type, kek.data(), &kek_length);
    if (status != 0) return status;
    std::uint8_t wrapped[SOLVANTA_RSA_PRIVATE_BLOCK_SIZE + 8];
    std::uint16_t wrapped_length = sizeof wrapped;
    if (zervik::aes_key_wrap(kek.data(), static_cast<std::size_t>(kek_length), plain.data(), size, wrapped,
                             &wrapped_length) != 0)
        return cardfs_bad_argument;
    return card_import_private_key(h, private_id, public_id, algorithm, key_reference_byte, wrapped, wrapped_length);
}

bool valid_place(std::int32_t index, std::int32_t spec) {
    return cardfs_valid_container(index) && cardfs_valid_spec(spec);
}

}  // namespace

// ---- container records ---------------------------------------------------------

std::int32_t cardfs_find_free_container(card_handle h, std::int32_t* index) {
    if (index == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t map[cardfs_cmapfile_size];
        const std::int32_t status = read_cmap(h, map);
        if (status != 0) return status;
        for (std::int32_t i = 0; i < cardfs_container_count; ++i) {
            if (!in_use(map + cmap_offset(i))) {
                *index = i;
                return 0;
            }
        }
        return cardfs_no_free_container;
    });
}

std::int32_t cardfs_create_container(card_handle h, std::int32_t index, const char* name) {
    if (!cardfs_valid_container(index)) return cardfs_bad_container;
    if (name == nullptr) return cardfs_bad_argument;
    const std::size_t n = ::strnlen(name, cardfs_container_name_max + 1);
    if (n == 0 || n > cardfs_container_name_max) return cardfs_bad_argument;
    cardfs_cmap_record entry{};
    std::memcpy(entry.name, name, n);
    entry.flags = 1;
    std::uint8_t record[cardfs_cmap_record_size];
    cardfs_encode_cmap_record(entry, record);
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t map[cardfs_cmapfile_size];
        std::int32_t status = read_cmap(h, map);
        if (status != 0) return status;
        if (in_use(map + cmap_offset(index))) return cardfs_slot_occupied;
        status = delete_cert_files(h, index);
        if (status != 0) return status;
        std::uint8_t cont[cardfs_cont_info_record_size];
        cardfs_fresh_cont_info(cont);
        status = write_cont(h, index, cont);
        if (status != 0) return status;
        return write_cmap(h, index, record);
    });
}

namespace {

// Clears the map record, then (keys: the key files) the certificate files
// and the "contInfo" record.
std::int32_t release_container(card_handle h, std::int32_t index, bool keys) {
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        const std::uint8_t zeros[cardfs_cont_info_record_size] = {};
        std::uint8_t map[cardfs_cmapfile_size];
        std::int32_t status = read_cmap(h, map);
        if (status != 0) return status;
        status = write_cmap(h, index, zeros);
        if (status != 0) return status;
        if (keys) {
            status = delete_key_files(h, index, cardfs_spec_exchange);
            if (status == 0) status = delete_key_files(h, index, cardfs_spec_signature);
            if (status != 0) return status;
        }
        status = delete_cert_files(h, index);
        if (status != 0) return status;
        status = cardfs_write_here(h, cardfs_cont_info_name, cont_offset(index), zeros, sizeof zeros, 0);
        return status == sw_file_not_found ? 0 : status;
    });
}

}  // namespace

std::int32_t cardfs_free_container(card_handle h, std::int32_t index) {
    if (!cardfs_valid_container(index)) return cardfs_bad_container;
    return release_container(h, index, false);
}

std::int32_t cardfs_delete_container_keys(card_handle h, std::int32_t index) {
    if (!cardfs_valid_container(index)) return cardfs_bad_container;
    return release_container(h, index, true);
}

std::int32_t cardfs_clear_key_slot(card_handle h, std::int32_t index, std::uint32_t flags) {
    if (!cardfs_valid_container(index) || (flags & ~3u) != 0) return cardfs_bad_container;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t map[cardfs_cmapfile_size];
        std::uint8_t cont[cardfs_cont_info_record_size];
        std::int32_t status = read_records(h, index, map, cont);
        if (status != 0) return status;
        std::uint8_t* record = map + cmap_offset(index);
        for (std::int32_t spec : {cardfs_spec_exchange, cardfs_spec_signature}) {
            if ((flags & static_cast<std::uint32_t>(spec)) == 0) continue;
            put_u16(record + bits_at(spec), 0);
            std::memset(cont + half_at(spec), 0, cardfs_cont_half_key_parts);
        }
        status = write_cmap(h, index, record);
        if (status != 0) return status;
        if (!cardfs_all_zero(cont, sizeof cont)) {
            status = write_cont(h, index, cont);
            if (status != 0) return status;
        }
        for (std::int32_t spec : {cardfs_spec_exchange, cardfs_spec_signature}) {
            if ((flags & static_cast<std::uint32_t>(spec)) == 0) continue;
            status = delete_key_files(h, index, spec);
            if (status != 0) return status;
        }
        return 0;
    });
}

std::int32_t cardfs_update_container_key_info(card_handle h, std::int32_t index, std::int32_t spec,
                                              std::uint32_t bits) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    if (cardfs_key_algorithm(bits) == 0 && bits != 0) return cardfs_bad_key_size;
    return cardfs_in_app_dir(h, [&] { return update_key_info(h, index, spec, bits); });
}

std::int32_t cardfs_read_cmap_record(card_handle h, std::int32_t index, std::uint8_t* record) {
    if (!cardfs_valid_container(index)) return cardfs_bad_container;
    if (record == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t map[cardfs_cmapfile_size];
        const std::int32_t status = read_cmap(h, map);
        if (status == 0) std::memcpy(record, map + cmap_offset(index), cardfs_cmap_record_size);
        return status;
    });
}

std::int32_t cardfs_write_cmap_record(card_handle h, std::int32_t index, const std::uint8_t* record) {
    if (!cardfs_valid_container(index)) return cardfs_bad_container;
    if (record == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t map[cardfs_cmapfile_size];
        const std::int32_t status = read_cmap(h, map);
        if (status != 0) return status;
        return write_cmap(h, index, record);
    });
}

std::int32_t cardfs_read_cont_info(card_handle h, std::int32_t index, std::uint8_t* record) {
    if (!cardfs_valid_container(index)) return cardfs_bad_container;
    if (record == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        const std::int32_t status = read_cont(h, index, record);
        if (status == 0 && !cardfs_cont_info_tagged(record)) cardfs_fresh_cont_info(record);
        return status;
    });
}

std::int32_t cardfs_write_cont_info(card_handle h, std::int32_t index, const std::uint8_t* record) {
    if (!cardfs_valid_container(index)) return cardfs_bad_container;
    if (record == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] { return write_cont(h, index, record); });
}

std::int32_t cardfs_load_containers(card_handle h, cardfs_container_tables* tables) {
    if (tables == nullptr) return cardfs_bad_argument;
    std::memset(tables, 0, sizeof *tables);
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t map[cardfs_cmapfile_size];
        std::int32_t status = read_cmap(h, map);
        if (status != 0) return status;
        std::int32_t count = 0, last = -1;
        for (std::int32_t i = 0; i < cardfs_container_count; ++i) {
            if (!in_use(map + cmap_offset(i))) continue;
            ++count;
            last = i;
        }
        std::uint8_t image[cardfs_cont_info_size] = {};
        std::uint8_t repair = 0, untagged = 0;
        if (last >= 0) {
            const std::uint32_t span = cont_offset(last + 1);
            status = cardfs_read_fixed_here(h, cardfs_cont_info_name, 0, span, image);
            if (status == sw_file_not_found) {
                std::memset(image, 0, sizeof image);
                status = 0;
            }
            if (status != 0) return status;
            for (std::int32_t i = 0; i <= last; ++i) {
                std::uint8_t* record = image + cont_offset(i);
                if (!in_use(map + cmap_offset(i)) || cardfs_cont_info_tagged(record)) continue;
                if (cardfs_all_zero(record, cardfs_cont_info_record_size))
                    repair = static_cast<std::uint8_t>(repair | 1u << i);
                else
                    untagged = static_cast<std::uint8_t>(untagged | 1u << i);
                cardfs_fresh_cont_info(record);
            }
            std::uint8_t list[zervik::TaviProtocol_Base::buffer_size];
            std::int32_t length = static_cast<std::int32_t>(sizeof list);
            status = file_list(h, list, &length);
            if (status == 0) status = mark_presence(h, image, last, list, length);
            if (status == 0) status = standalone_names(h, list, length, tables->standalone, &tables->standalone_length);
            if (status != 0) return status;
            tables->files_listed = true;
        }
        std::memcpy(tables->cmap, map, sizeof map);
        std::memcpy(tables->cont_info, image, sizeof image);
        tables->count = count;
        tables->untagged = untagged;
        for (std::int32_t i = 0; i <= last; ++i) {
            if ((repair & 1u << i) == 0) continue;
            status = write_cont(h, i, image + cont_offset(i));
            if (status != 0) return status;
        }
        return 0;
    });
}

// ---- keys ----------------------------------------------------------------------

std::int32_t cardfs_generate_key_pair(card_handle h, std::int32_t index, std::int32_t spec, std::uint32_t bits) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    const std::uint32_t algorithm = cardfs_key_algorithm(bits);
    if (algorithm == 0) return cardfs_bad_key_size;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::int32_t status = check_slot_free(h, index, spec);
        if (status == 0) status = create_key_files(h, index, spec);
        if (status == 0)
            status = card_gen_key_pair(h, cardfs_public_key_id(index, spec), algorithm,
                                       cardfs_private_key_id(index, spec), key_reference_byte);
        if (status != 0) return status;
        return update_key_info(h, index, spec, bits);
    });
}

std::int32_t cardfs_import_key_pair(card_handle h, std::int32_t index, std::int32_t spec, std::uint32_t bits,
                                    const std::uint8_t* private_block, const std::uint8_t* public_block) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    const std::uint32_t algorithm = cardfs_key_algorithm(bits);
    if (algorithm == 0) return cardfs_bad_key_size;
    if (private_block == nullptr || public_block == nullptr || block_bits(private_block) != bits ||
        block_bits(public_block) != bits)
        return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        const std::uint16_t public_id = cardfs_public_key_id(index, spec);
        const std::uint16_t private_id = cardfs_private_key_id(index, spec);
        std::int32_t status = check_slot_free(h, index, spec);
        if (status == 0) status = create_key_files(h, index, spec);
        if (status == 0)
            status = card_import_public_key(h, public_id, algorithm, public_block,
                                            static_cast<std::int32_t>(cardfs_public_block_size(algorithm)));
        if (status == 0) status = import_private(h, private_id, public_id, algorithm, private_block);
        if (status != 0) return status;
        return update_key_info(h, index, spec, bits);
    });
}

namespace {

enum class ec_import { private_alone, public_alone, private_over_public };

// An EC key block into the slot: a free one takes a private or a public key
// alone; one holding a key of the block's size takes the private key over
// it (the card checks it against the public key).
std::int32_t import_ec_block(card_handle h, std::int32_t index, std::int32_t spec, const std::uint8_t* block,
                             ec_import kind) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    if (block == nullptr) return cardfs_bad_argument;
    const std::uint32_t bits = block_bits(block);
    if (bits != 256 && bits != 521) return cardfs_bad_key_size;
    const std::uint32_t algorithm = cardfs_key_algorithm(bits);
    const std::uint16_t public_id = cardfs_public_key_id(index, spec);
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::int32_t status = 0;
        if (kind == ec_import::private_over_public) {
            std::uint8_t map[cardfs_cmapfile_size];
            status = read_cmap(h, map);
            if (status == 0 && get_u16(map + cmap_offset(index) + bits_at(spec)) != bits)
                status = cardfs_bad_key_size;
        } else {
            status = check_slot_free(h, index, spec);
            if (status == 0) status = create_key_files(h, index, spec);
        }
        if (status != 0) return status;
        status = kind == ec_import::public_alone
                     ? card_import_public_key(h, public_id, algorithm, block,
                                              static_cast<std::int32_t>(cardfs_public_block_size(algorithm)))
                     : import_private(h, cardfs_private_key_id(index, spec), public_id, algorithm, block);
        if (status != 0 || kind == ec_import::private_over_public) return status;
        return update_key_info(h, index, spec, bits);
    });
}

}  // namespace

std::int32_t cardfs_import_ec_private_key(card_handle h, std::int32_t index, std::int32_t spec,
                                          const std::uint8_t* private_block) {
    return import_ec_block(h, index, spec, private_block, ec_import::private_alone);
}

std::int32_t cardfs_import_ec_public_key(card_handle h, std::int32_t index, std::int32_t spec,
                                         const std::uint8_t* public_block) {
    return import_ec_block(h, index, spec, public_block, ec_import::public_alone);
}

std::int32_t cardfs_complete_ec_key_pair(card_handle h, std::int32_t index, std::int32_t spec,
                                         const std::uint8_t* private_block) {
    return import_ec_block(h, index, spec, private_block, ec_import::private_over_public);
}

std::int32_t cardfs_read_public_key(card_handle h, std::int32_t index, std::int32_t spec, std::uint8_t* out,
                                    std::int32_t* length) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    if (out == nullptr || length == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t block[zervik::TaviProtocol_Base::buffer_size];
        std::int32_t got = static_cast<std::int32_t>(sizeof block);
        std::uint32_t algorithm = 0;
        const std::int32_t status = card_export_public_key(h, cardfs_public_key_id(index, spec), &algorithm, block,
                                                           &got);
        if (status != 0) return status;
        const std::size_t expected = cardfs_public_block_size(algorithm);
        if (expected == 0 || got != static_cast<std::int32_t>(expected)) return zervik::status_unusable;
        if (*length < got) {
            *length = got;
            return cardfs_buffer_too_small;
        }
        std::memcpy(out, block, expected);
        *length = got;
        return 0;
    });
}

// ---- certificates ------------------------------------------------------------------

std::int32_t cardfs_write_cert(card_handle h, std::int32_t index, std::int32_t spec, const std::uint8_t* data,
                               std::uint32_t length) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    if (data == nullptr || length == 0 || length > cardfs_cert_max) return cardfs_bad_argument;
    char name[8];
    cardfs_cert_file_name(index, spec, name);
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        const auto create = [&] {
            return cardfs_create_file_ex(h, cardfs_file_id(name), name, 0, cardfs_access_any, cardfs_access_user, 0,
                                         length);
        };
        std::int32_t status = create();
        if (status == sw_file_exists) {
            status = cardfs_delete_here(h, name);
            if (status == 0) status = create();
        }
        if (status != 0) return status;
        status = write_cert_file(h, name, data, length);
        if (status != 0) {
            // Tidy up while the card is there; a file cut off with the card
            // keeps a zero first byte and stays out of the next load.
            cardfs_delete_here(h, name);
            return status;
        }
        std::uint8_t cont[cardfs_cont_info_record_size];
        status = read_cont(h, index, cont);
        if (status != 0) return status;
        if (cardfs_all_zero(cont, sizeof cont)) {
            cardfs_fresh_cont_info(cont);
            cont[cert_mark_at(spec)] = 1;
            return write_cont(h, index, cont);
        }
        const std::uint8_t mark = 1;
        return write_cont_bytes(h, cont_offset(index) + static_cast<std::uint32_t>(cert_mark_at(spec)), &mark, 1);
    });
}

std::int32_t cardfs_delete_cert(card_handle h, std::int32_t index, std::int32_t spec) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    char name[8];
    cardfs_cert_file_name(index, spec, name);
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::int32_t status = cardfs_delete_here(h, name);
        if (status != 0) return status;
        const std::uint8_t mark = 0;
        status = cardfs_write_here(h, cardfs_cont_info_name,
                                   cont_offset(index) + static_cast<std::uint32_t>(cert_mark_at(spec)), &mark, 1, 0);
        return status == sw_file_not_found ? 0 : status;
    });
}

std::int32_t cardfs_read_cert(card_handle h, std::int32_t index, std::int32_t spec, std::uint8_t* out,
                              std::uint32_t capacity, std::uint32_t* length) {
    if (!valid_place(index, spec)) return cardfs_bad_container;
    if (length == nullptr) return cardfs_bad_argument;
    char name[8];
    cardfs_cert_file_name(index, spec, name);
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        cardfs_file_info info{};
        std::int32_t status = cardfs_select_file_by_name(h, name, &info);
        if (status != 0) return status;
        *length = info.size;
        if (out == nullptr) return 0;
        if (capacity < info.size) return cardfs_buffer_too_small;
        status = cardfs_read_fixed_here(h, name, 0, info.size, out);
        if (status != 0) *length = 0;
        return status;
    });
}

std::int32_t cardfs_load_cert_presence(card_handle h, std::uint8_t* cont_info, std::int32_t last) {
    if (cont_info == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t list[zervik::TaviProtocol_Base::buffer_size];
        std::int32_t length = static_cast<std::int32_t>(sizeof list);
        const std::int32_t status = file_list(h, list, &length);
        return status == 0 ? mark_presence(h, cont_info, last, list, length) : status;
    });
}

std::int32_t cardfs_list_cert_files(card_handle h, char* out, std::uint32_t* length) {
    if (out == nullptr || length == nullptr) return cardfs_bad_argument;
    const std::uint32_t capacity = *length;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t list[zervik::TaviProtocol_Base::buffer_size];
        std::int32_t got = static_cast<std::int32_t>(sizeof list);
        const std::int32_t status = file_list(h, list, &got);
        if (status != 0) return status;
        char names[cardfs_standalone_names_size];
        std::uint32_t total = 0;
        const std::int32_t named = standalone_names(h, list, got, names, &total);
        if (named != 0) return named;
        if (total > capacity) {
            *length = total;
            return cardfs_buffer_too_small;
        }
        std::memcpy(out, names, total);
        *length = total;
        return 0;
    });
}

std::int32_t cardfs_write_standalone_cert(card_handle h, const std::uint8_t* data, std::uint32_t length,
                                          char name[8]) {
    if (data == nullptr || name == nullptr || length == 0 || length > cardfs_cert_max) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        for (int n = 0; n < 10; ++n) {
            char candidate[8];
            cardfs_standalone_cert_name(n, candidate);
            std::int32_t status = cardfs_create_file_ex(h, cardfs_file_id(candidate), candidate, 0,
                                                        cardfs_access_any, cardfs_access_user, 0, length);
            if (status == sw_file_exists) continue;
            if (status != 0) return status;
            status = write_cert_file(h, candidate, data, length);
            if (status != 0) {
                cardfs_delete_here(h, candidate);
                return status;
            }
            std::memcpy(name, candidate, 8);
            return 0;
        }
        return sw_file_exists;
    });
}

}  // namespace solvantex
