// The key containers on the token: up to 8, numbered 0-7, each with a name,
// a key pair per key spec (1 exchange, 2 signature) in key files, a
// certificate per key spec and the attributes of its key objects. The
// records lie in "cmapfile" and "contInfo" (card_container_forms.h); the
// key files are 0x4100/0x4200 + index (exchange) and 0x4400/0x4500 + index
// (signature), the certificates "kxc%02d" and "ksc%02d"; standalone
// certificates are "cert00" to "cert09". Everything lies in "mscp".
//
// The "cmapfile" record commits: a container exists when bit 0 of its flags
// is set, and a key slot holds a key when its size there is not 0. So a
// container's "contInfo" record is written before its map record, a key's
// size is entered only after the key is on the card, and a deletion clears
// the map first and removes files afterwards: a failure part-way leaves
// either the old state or leftovers that no record points at, which the
// next creation in that place replaces.
//
// Every operation runs in one transaction with "mscp" selected first.
// Results: 0; a card status word; the store's and the core's codes;
// cardfs_bad_container (index outside 0..7 or key spec not 1 or 2),
// cardfs_bad_key_size, cardfs_slot_occupied, cardfs_buffer_too_small,
// cardfs_short_file (a store file shorter than its size: nothing written)
// or cardfs_no_free_container. Refusals of the caller's input send nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card_container_forms.h"
#include "card_device.h"
#include "card_store.h"

namespace solvantex {

// ---- container records -------------------------------------------------------

// The first record whose flags have bit 0 clear, or cardfs_no_free_container.
std::int32_t cardfs_find_free_container(card_handle h, std::int32_t* index);
// A fresh "contInfo" record (made with the file when there is none), then the
// map record: the name (1 to 38 bytes; longer ones are refused), in use, key
// sizes 0. cardfs_slot_occupied when the record is in use. Certificate files
// left in that place by an earlier failure are deleted first.
std::int32_t cardfs_create_container(card_handle h, std::int32_t index, const char* name);
// Clears the map record (the commit), deletes the container's certificate
// files (a missing one counts as done) and zeroes its "contInfo" record.
std::int32_t cardfs_free_container(card_handle h, std::int32_t index);
// Flags bit 0: the exchange slot, bit 1: the signature slot. Clears their key
// sizes in the map (the commit), the key parts of their halves in
// "contInfo", then deletes their key files (a missing one counts as done).
// The certificate parts stay.
std::int32_t cardfs_clear_key_slot(card_handle h, std::int32_t index, std::uint32_t flags);
// Enters a key's size: the map record in use with the size in the key spec's
// field. An all-zero "contInfo" record gets the fresh defaults; another
// record is left as it is.
std::int32_t cardfs_update_container_key_info(card_handle h, std::int32_t index, std::int32_t spec,
                                              std::uint32_t bits);

// One 86-byte map record. The write replaces only that record, after a full
// read of the file.
std::int32_t cardfs_read_cmap_record(card_handle h, std::int32_t index, std::uint8_t* record);
std::int32_t cardfs_write_cmap_record(card_handle h, std::int32_t index, const std::uint8_t* record);
// One 566-byte "contInfo" record. A missing file reads as a fresh record
// (nothing written); a write makes the file first when it is missing.
std::int32_t cardfs_read_cont_info(card_handle h, std::int32_t index, std::uint8_t* record);
std::int32_t cardfs_write_cont_info(card_handle h, std::int32_t index, const std::uint8_t* record);

struct cardfs_container_tables {
    std::uint8_t cmap[cardfs_cmapfile_size];
    std::uint8_t cont_info[cardfs_cont_info_size];
    // The records in use.
    std::int32_t count;
    // Records in use whose "contInfo" record was neither tagged nor all zero:
    // the tables hold the fresh defaults for them, the card keeps its bytes.
    std::uint8_t untagged;
    // Whether the card's file list was read (only with a record in use);
    // then the standalone certificate files it names, as
    // cardfs_list_cert_files gives them.
    bool files_listed;
    std::uint32_t standalone_length;
    char standalone[cardfs_standalone_names_size];
};

// Reads the map and the "contInfo" records up to the highest one in use,
// and repairs in memory: an untagged record gets the fresh defaults and the
// certificate-present bytes of every record in use follow the card's file
// list (a listed file its record does not mark counts only when its first
// byte is set: certificates are written to their start last). Only records
// in use that were all zero are written back (with the file made when it is
// missing). With no record in use nothing more is read or written. The file list read for the certificate bytes also gives the
// standalone certificates, so that a load needs no second look.
std::int32_t cardfs_load_containers(card_handle h, cardfs_container_tables* tables);

// ---- keys ------------------------------------------------------------------

// Makes the key files (existing ones are taken) and generates the pair on
// the card, then enters its size. Sizes: 256 (P-256), 521 (P-521), 1024 and
// 2048 (RSA, e = 65537). cardfs_slot_occupied when the slot holds a key.
std::int32_t cardfs_generate_key_pair(card_handle h, std::int32_t index, std::int32_t spec, std::uint32_t bits);
// Imports a pair given as the key blocks of solvanta_key_blocks.h, each with
// its leading size in host order (RSA 904 and 264 bytes, EC 72 and 144; the
// sizes must equal bits). The private block travels wrapped under a key
// agreed with the card for this call.
std::int32_t cardfs_import_key_pair(card_handle h, std::int32_t index, std::int32_t spec, std::uint32_t bits,
                                    const std::uint8_t* private_block, const std::uint8_t* public_block);
// Imports an EC private key alone (72-byte block, size 256 or 521) into the
// key spec's slot; the card fills an empty public key file from it.
std::int32_t cardfs_import_ec_private_key(card_handle h, std::int32_t index, std::int32_t spec,
                                          const std::uint8_t* private_block);
// Imports an EC public key alone (144-byte block, size 256 or 521) into the
// free slot of the key spec; the private key may follow with
// cardfs_complete_ec_key_pair.
std::int32_t cardfs_import_ec_public_key(card_handle h, std::int32_t index, std::int32_t spec,
                                         const std::uint8_t* public_block);
// Imports an EC private key into a slot that holds a key of the block's
// size (cardfs_bad_key_size for a free slot or another size): the card takes
// it only when it matches the public key there (6A80 otherwise).
std::int32_t cardfs_complete_ec_key_pair(card_handle h, std::int32_t index, std::int32_t spec,
                                         const std::uint8_t* private_block);
// The public block (its size in host order): exactly 264 bytes (RSA) or 144
// (EC), else 2. *length: the capacity in, the length out (the needed length
// with cardfs_buffer_too_small).
std::int32_t cardfs_read_public_key(card_handle h, std::int32_t index, std::int32_t spec, std::uint8_t* out,
                                    std::int32_t* length);
// Deletes the container: the map record first, then the four key files,
// the certificate files and the "contInfo" record.
std::int32_t cardfs_delete_container_keys(card_handle h, std::int32_t index);

// ---- certificates ------------------------------------------------------------

// Writes the certificate (1 to cardfs_cert_max bytes) into a file of exactly
// its size, from its end to its start, then marks it present. A file there
// of another size is deleted and made again first.
std::int32_t cardfs_write_cert(card_handle h, std::int32_t index, std::int32_t spec, const std::uint8_t* data,
                               std::uint32_t length);
// Deletes the file (a missing one counts as done) and clears the mark.
std::int32_t cardfs_delete_cert(card_handle h, std::int32_t index, std::int32_t spec);
// The whole certificate file. A null out asks for the size; a capacity
// shorter than the file gives cardfs_buffer_too_small with *length the size.
std::int32_t cardfs_read_cert(card_handle h, std::int32_t index, std::int32_t spec, std::uint8_t* out,
                              std::uint32_t capacity, std::uint32_t* length);
// Sets the certificate-present bytes of the records 0..last of an image of
// "contInfo" from the card's file list, both ways, as the load does.
// Nothing is written.
std::int32_t cardfs_load_cert_presence(card_handle h, std::uint8_t* cont_info, std::int32_t last);
// The standalone certificate files present and written to their start,
// "cert00" to "cert09" in order, each name followed by a NUL. *length: the
// capacity in, the total out (0 when there is none).
std::int32_t cardfs_list_cert_files(card_handle h, char* out, std::uint32_t* length);
// Stores a standalone certificate in the first of "cert00" to "cert09" that
// does not exist, from its end to its start; its name goes to name. 0x6A89
// when all ten exist.
std::int32_t cardfs_write_standalone_cert(card_handle h, const std::uint8_t* data, std::uint32_t length,
                                          char name[8]);

}  // namespace solvantex
