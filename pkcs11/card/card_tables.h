// The two slot tables of the store directory and their records:
//
// "keyObjects" (3008 bytes; 255, 255): "secr", a 2-byte bitmap, 10 zero
// bytes, then 16 secret-key records of 187 bytes.
// "ObjFileIdx" (11876 bytes; 255, 255): "data", an 8-byte bitmap, 24 zero
// bytes, then 64 data-object records of 185 bytes; the value of slot i lies
// in "pri%02d" (17, 17) or "pub%02d" (255, 255).
//
// Slot i is bit (7 - i % 8) of bitmap byte i / 8. A record is committed by
// the header write that sets its bit and un-committed by the header write
// that clears it: records are written before their bit is set and are
// zeroed only after it is cleared, so a failure leaves either the old or
// the new state, never a set bit over a zeroed record. At load an entry
// counts only when its bit is set and its in-use word is 1; its slot (and
// for data objects its file name) comes from its position.
//
// All integers little-endian. A record keeps the key value its object
// has: card-generated secret keys have none (the key lives in its saved
// slot on the card), while keys generated in the module (CKA_LOCAL as
// well) and imported keys keep their value in the table, which the card
// lets anyone read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card_device.h"
#include "card_store_forms.h"

namespace solvantex {

// ---- the per-token cache ---------------------------------------------------

struct cardfs_table_cache {
    cardfs_secret_record secrets[cardfs_secret_slots];
    bool secret_used[cardfs_secret_slots];
    int secret_count;
    int secret_cursor;
    cardfs_data_record data[cardfs_data_slots];
    bool data_used[cardfs_data_slots];
    int data_count;
    int data_cursor;
    // Entries of the last load whose bit and in-use word disagreed, or whose
    // file name did not fit their position (skipped).
    int mismatches;
};
void cardfs_reset_cache(cardfs_table_cache* cache);

// ---- the tables on the card ----------------------------------------------

std::int32_t cardfs_create_secret_object_file(card_handle h);
std::int32_t cardfs_create_data_object_index(card_handle h);

// Stores the record in the lowest free slot (its slot and in-use word are
// set here): 0 with record->slot set; 1 when all 16 are used.
std::int32_t cardfs_add_secret_object(card_handle h, cardfs_table_cache* cache, cardfs_secret_record* record);
// Rewrites / frees the slot the record names: 1 for a slot out of range or
// not in use (nothing sent); cardfs_record_mismatch when the card's record
// no longer equals the cached one (nothing written).
std::int32_t cardfs_update_secret_object(card_handle h, cardfs_table_cache* cache, const cardfs_secret_record& record);
std::int32_t cardfs_delete_secret_object(card_handle h, cardfs_table_cache* cache, std::int32_t slot);
std::int32_t cardfs_load_secret_objects(card_handle h, cardfs_table_cache* cache, int* count);
// 0 and the next used record; 2 when none is left; 1 past the end.
std::int32_t cardfs_next_secret_object(cardfs_table_cache* cache, cardfs_secret_record* out);

// Stores the record in the lowest free slot with its value file (value of
// length bytes): committed last by the header. 0 with record->slot and
// file name set; 1 when all 64 are used.
std::int32_t cardfs_add_data_object(card_handle h, cardfs_table_cache* cache, cardfs_data_record* record,
                                    const std::uint8_t* value, std::uint32_t length);
// Replaces the value of the object in *slot. A value of another length, or
// one that takes more than one command, goes to a fresh slot and file,
// committed by the header; *slot is then the new slot. 1 when no slot is
// free for it (the old value stays).
std::int32_t cardfs_write_data_object(card_handle h, cardfs_table_cache* cache, std::int32_t* slot,
                                      const std::uint8_t* value, std::uint32_t length);
// The value of the object in slot: exactly its value length.
std::int32_t cardfs_read_data_object(card_handle h, const cardfs_table_cache* cache, std::int32_t slot,
                                     std::uint8_t* out, std::uint32_t capacity, std::uint32_t* length);
std::int32_t cardfs_delete_data_object(card_handle h, cardfs_table_cache* cache, std::int32_t slot);
std::int32_t cardfs_load_data_objects(card_handle h, cardfs_table_cache* cache, int* count);
std::int32_t cardfs_next_data_object(cardfs_table_cache* cache, cardfs_data_record* out);

}  // namespace solvantex
