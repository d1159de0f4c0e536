#include "card_tables.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "card_store.h"
#include "protocol/status.h"

namespace solvantex {

using zervik::sw_file_exists;
using zervik::sw_file_not_found;

namespace {

constexpr std::int32_t table_full = 1;
constexpr std::int32_t no_such_slot = 1;

std::uint32_t record_offset(const cardfs_table_layout& f, int slot) {
    return static_cast<std::uint32_t>(f.header + f.record * static_cast<std::size_t>(slot));
}

// ---- table access in the store directory (inside a transaction) -----------

std::int32_t create_table(card_handle h, cardfs_table t) {
    const cardfs_table_layout& f = cardfs_layout_of(t);
    std::int32_t status = cardfs_create_file_ex(h, cardfs_file_id(f.name), f.name, 0, cardfs_access_any,
                                                cardfs_access_any, 0, static_cast<std::uint32_t>(f.file));
    if (status != 0) return status;
    std::uint8_t header[cardfs_data_header_size] = {};
    const std::uint8_t empty[8] = {};
    cardfs_encode_header(t, empty, header);
    return cardfs_write_here(h, f.name, 0, header, static_cast<std::uint32_t>(f.header), 0);
}

// The header's bitmap; a missing table is made first.
std::int32_t read_header(card_handle h, cardfs_table t, std::uint8_t* bitmap) {
    const cardfs_table_layout& f = cardfs_layout_of(t);
    std::uint8_t header[cardfs_data_header_size] = {};
    std::int32_t status = cardfs_read_fixed_here(h, f.name, 0, static_cast<std::uint32_t>(f.header), header);
    if (status == sw_file_not_found) {
        status = create_table(h, t);
        if (status == 0)
            status = cardfs_read_fixed_here(h, f.name, 0, static_cast<std::uint32_t>(f.header), header);
    }
    if (status != 0) return status;
    bool empty = false;
    return cardfs_decode_header(t, header, f.header, bitmap, &empty);
}

std::int32_t write_header(card_handle h, cardfs_table t, const std::uint8_t* bitmap) {
    const cardfs_table_layout& f = cardfs_layout_of(t);
    std::uint8_t header[cardfs_data_header_size] = {};
    cardfs_encode_header(t, bitmap, header);
    return cardfs_write_here(h, f.name, 0, header, static_cast<std::uint32_t>(f.header), 0);
}

std::int32_t write_record(card_handle h, const cardfs_table_layout& f, int slot, const std::uint8_t* bytes) {
    return cardfs_write_here(h, f.name, record_offset(f, slot), bytes, static_cast<std::uint32_t>(f.record), 0);
}

// A record's bytes as the module would write them, its slot taken from the
// position: 0, or cardfs_store_corrupt.
std::int32_t normalise_record(cardfs_table t, int slot, const std::uint8_t* in, std::uint8_t* out) {
    if (t == cardfs_table::secret) {
        cardfs_secret_record r{};
        if (cardfs_decode_secret_record(in, cardfs_secret_record_size, &r) != 0) return cardfs_store_corrupt;
        r.slot = slot;
        return cardfs_encode_secret_record(r, out) == 0 ? 0 : cardfs_store_corrupt;
    }
    cardfs_data_record r{};
    if (cardfs_decode_data_record(in, cardfs_data_record_size, &r) != 0) return cardfs_store_corrupt;
    r.slot = slot;
    return cardfs_encode_data_record(r, out) == 0 ? 0 : cardfs_store_corrupt;
}

// The slot is still committed on the card and its record is the one the
// cache holds (cached: the cache entry's bytes).
std::int32_t check_committed(card_handle h, cardfs_table t, int slot, const std::uint8_t* cached,
                             std::uint8_t* bitmap) {
    const cardfs_table_layout& f = cardfs_layout_of(t);
    std::int32_t status = read_header(h, t, bitmap);
    if (status != 0) return status;
    if (!cardfs_bit(bitmap, slot)) return cardfs_record_mismatch;
    std::uint8_t card[cardfs_secret_record_size] = {};
    status = cardfs_read_fixed_here(h, f.name, record_offset(f, slot), static_cast<std::uint32_t>(f.record), card);
    if (status != 0) return status;
    std::uint8_t normal[cardfs_secret_record_size] = {};
    if (normalise_record(t, slot, card, normal) != 0) return cardfs_record_mismatch;
    return std::memcmp(normal, cached, f.record) == 0 ? 0 : cardfs_record_mismatch;
}

int lowest_free(const std::uint8_t* bitmap, int slots) {
    for (int i = 0; i < slots; ++i)
        if (!cardfs_bit(bitmap, i)) return i;
    return -1;
}

// A value file made afresh: a stale file of a free slot is deleted first.
std::int32_t create_value_file(card_handle h, const char* name, bool is_private, std::uint32_t size) {
    const std::uint8_t access = is_private ? cardfs_access_user : cardfs_access_any;
    const auto create = [&] {
        return cardfs_create_file_ex(h, cardfs_file_id(name), name, 0, access, access, 0, size);
    };
    std::int32_t status = create();
    if (status == sw_file_exists) {
        status = cardfs_delete_here(h, name);
        if (status == 0) status = create();
    }
    return status;
}

std::int32_t write_value(card_handle h, const char* name, const std::uint8_t* value, std::uint32_t length) {
    return length == 0 ? 0 : cardfs_write_here(h, name, 0, value, length, 0);
}

bool value_is_private(const cardfs_data_record& r) { return std::strncmp(r.file_name, "pri", 3) == 0; }

// The walk over the entries up to the last used one.
template <typename Record>
std::int32_t walk(const Record* records, const bool* used, int slots, int* cursor, Record* out) {
    if (out == nullptr) return 1;
    int loaded = 0;
    for (int i = 0; i < slots; ++i)
        if (used[i]) loaded = i + 1;
    if (*cursor + 1 >= loaded) {
        *cursor = loaded;
        return 1;
    }
    for (int i = *cursor + 1; i < loaded; ++i) {
        if (used[i]) {
            *cursor = i;
            *out = records[i];
            return 0;
        }
    }
    *cursor = loaded;
    return 2;
}

// Reads a table into records/used (slots entries each): an entry counts
// when its bit is set, it decodes, its in-use word is 1 and accept(record,
// position) holds; its slot is its position. *mismatches: the set bits that
// did not count, and the counted entries whose stored slot differed.
template <typename Record, typename Decode, typename Accept>
std::int32_t load_table(card_handle h, cardfs_table t, Decode decode, Accept accept, Record* records, bool* used,
                        int* count, int* mismatches) {
    const cardfs_table_layout& f = cardfs_layout_of(t);
    std::uint8_t bitmap[8] = {};
    std::int32_t status = read_header(h, t, bitmap);
    if (status != 0) return status;
    int highest = -1;
    for (int i = 0; i < f.slots; ++i)
        if (cardfs_bit(bitmap, i)) highest = i;
    const std::size_t span = static_cast<std::size_t>(highest + 1) * f.record;
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[span + 1]());
    if (span != 0) {
        status = cardfs_read_fixed_here(h, f.name, static_cast<std::uint32_t>(f.header),
                                        static_cast<std::uint32_t>(span), bytes.get());
        if (status != 0) return status;
    }
    *count = 0;
    *mismatches = 0;
    for (int i = 0; i < f.slots; ++i) {
        records[i] = Record{};
        used[i] = false;
        if (i > highest || !cardfs_bit(bitmap, i)) continue;
        Record r{};
        if (decode(bytes.get() + static_cast<std::size_t>(i) * f.record, f.record, &r) != 0 || r.in_use != 1 ||
            !accept(r, i)) {
            ++*mismatches;
            continue;
        }
        if (r.slot != i) ++*mismatches;
        r.slot = i;
        records[i] = r;
        used[i] = true;
        ++*count;
    }
    return 0;
}

// Frees a committed slot: the bit cleared and the header written first (the
// un-commit), then the record zeroed; a leftover of a free slot is harmless,
// so only the un-commit can fail the delete. forget() drops the cache entry.
template <typename Forget>
std::int32_t free_slot(card_handle h, cardfs_table t, int slot, const std::uint8_t* cached, Forget forget) {
    std::uint8_t bitmap[8] = {};
    std::int32_t status = check_committed(h, t, slot, cached, bitmap);
    if (status != 0) return status;
    cardfs_set_bit(bitmap, slot, false);
    status = write_header(h, t, bitmap);
    if (status != 0) return status;
    forget();
    const std::uint8_t zeros[cardfs_secret_record_size] = {};
    write_record(h, cardfs_layout_of(t), slot, zeros);
    return 0;
}

}  // namespace

void cardfs_reset_cache(cardfs_table_cache* cache) {
    if (cache == nullptr) return;
    std::memset(cache, 0, sizeof *cache);
    cache->secret_cursor = -1;
    cache->data_cursor = -1;
}

// ---- secret keys -------------------------------------------------------------

std::int32_t cardfs_create_secret_object_file(card_handle h) {
    return cardfs_in_app_dir(h, [&] { return create_table(h, cardfs_table::secret); });
}

std::int32_t cardfs_create_data_object_index(card_handle h) {
    return cardfs_in_app_dir(h, [&] { return create_table(h, cardfs_table::data); });
}

namespace {

// The record as it goes to the card.
cardfs_secret_record stored_secret(const cardfs_secret_record& in, int slot) {
    cardfs_secret_record r = in;
    r.in_use = 1;
    r.slot = slot;
    return r;
}

bool secret_slot_in_use(const cardfs_table_cache* cache, std::int32_t slot) {
    return slot >= 0 && slot < cardfs_secret_slots && cache->secret_used[slot];
}
bool data_slot_in_use(const cardfs_table_cache* cache, std::int32_t slot) {
    return slot >= 0 && slot < cardfs_data_slots && cache->data_used[slot];
}

}  // namespace

std::int32_t cardfs_add_secret_object(card_handle h, cardfs_table_cache* cache, cardfs_secret_record* record) {
    if (cache == nullptr || record == nullptr) return cardfs_bad_argument;
    std::uint8_t bytes[cardfs_secret_record_size];
    if (cardfs_encode_secret_record(stored_secret(*record, 0), bytes) != 0) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t bitmap[2] = {};
        std::int32_t status = read_header(h, cardfs_table::secret, bitmap);
        if (status != 0) return status;
        const int slot = lowest_free(bitmap, cardfs_secret_slots);
        if (slot < 0) return table_full;
        const cardfs_secret_record stored = stored_secret(*record, slot);
        cardfs_encode_secret_record(stored, bytes);
        status = write_record(h, cardfs_layout_of(cardfs_table::secret), slot, bytes);
        if (status != 0) return status;
        cardfs_set_bit(bitmap, slot, true);
        status = write_header(h, cardfs_table::secret, bitmap);
        if (status != 0) return status;
        cache->secrets[slot] = stored;
        cache->secret_used[slot] = true;
        ++cache->secret_count;
        record->slot = slot;
        return 0;
    });
}

std::int32_t cardfs_update_secret_object(card_handle h, cardfs_table_cache* cache,
                                         const cardfs_secret_record& record) {
    if (cache == nullptr || !secret_slot_in_use(cache, record.slot)) return no_such_slot;
    const int slot = record.slot;
    const cardfs_secret_record stored = stored_secret(record, slot);
    std::uint8_t bytes[cardfs_secret_record_size], cached[cardfs_secret_record_size];
    if (cardfs_encode_secret_record(stored, bytes) != 0) return cardfs_bad_argument;
    if (cardfs_encode_secret_record(cache->secrets[slot], cached) != 0) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t bitmap[2] = {};
        std::int32_t status = check_committed(h, cardfs_table::secret, slot, cached, bitmap);
        if (status != 0) return status;
        status = write_record(h, cardfs_layout_of(cardfs_table::secret), slot, bytes);
        if (status != 0) return status;
        cache->secrets[slot] = stored;
        return 0;
    });
}

std::int32_t cardfs_delete_secret_object(card_handle h, cardfs_table_cache* cache, std::int32_t slot) {
    if (cache == nullptr || !secret_slot_in_use(cache, slot)) return no_such_slot;
    std::uint8_t cached[cardfs_secret_record_size];
    if (cardfs_encode_secret_record(cache->secrets[slot], cached) != 0) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] {
        return free_slot(h, cardfs_table::secret, slot, cached, [&] {
            cache->secrets[slot] = cardfs_secret_record{};
            cache->secret_used[slot] = false;
            --cache->secret_count;
        });
    });
}

std::int32_t cardfs_load_secret_objects(card_handle h, cardfs_table_cache* cache, int* count) {
    if (cache == nullptr || count == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::unique_ptr<cardfs_secret_record[]> records(new cardfs_secret_record[cardfs_secret_slots]());
        bool used[cardfs_secret_slots] = {};
        int mismatches = 0;
        const std::int32_t status = load_table(
            h, cardfs_table::secret, cardfs_decode_secret_record, [](const cardfs_secret_record&, int) { return true; },
            records.get(), used, count, &mismatches);
        if (status != 0) return status;
        std::copy(records.get(), records.get() + cardfs_secret_slots, cache->secrets);
        std::copy(used, used + cardfs_secret_slots, cache->secret_used);
        cache->secret_count = *count;
        cache->secret_cursor = -1;
        cache->mismatches = mismatches;
        return 0;
    });
}

std::int32_t cardfs_next_secret_object(cardfs_table_cache* cache, cardfs_secret_record* out) {
    if (cache == nullptr) return 1;
    return walk(cache->secrets, cache->secret_used, cardfs_secret_slots, &cache->secret_cursor, out);
}

// ---- data objects --------------------------------------------------------------

std::int32_t cardfs_add_data_object(card_handle h, cardfs_table_cache* cache, cardfs_data_record* record,
                                    const std::uint8_t* value, std::uint32_t length) {
    if (cache == nullptr || record == nullptr || length > cardfs_offset_limit || (value == nullptr && length != 0))
        return cardfs_bad_argument;
    cardfs_data_record stored = *record;
    stored.in_use = 1;
    stored.value_length = length;
    std::uint8_t bytes[cardfs_data_record_size];
    if (cardfs_encode_data_record(stored, bytes) != 0) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t bitmap[8] = {};
        std::int32_t status = read_header(h, cardfs_table::data, bitmap);
        if (status != 0) return status;
        const int slot = lowest_free(bitmap, cardfs_data_slots);
        if (slot < 0) return table_full;
        const bool is_private = (stored.flags & cardfs_data_flag_private) != 0;
        stored.slot = slot;
        cardfs_value_file_name(is_private, slot, stored.file_name);
        cardfs_encode_data_record(stored, bytes);
        status = create_value_file(h, stored.file_name, is_private, length);
        if (status == 0) status = write_value(h, stored.file_name, value, length);
        if (status == 0) status = write_record(h, cardfs_layout_of(cardfs_table::data), slot, bytes);
        if (status != 0) return status;
        cardfs_set_bit(bitmap, slot, true);
        status = write_header(h, cardfs_table::data, bitmap);
        if (status != 0) return status;
        cache->data[slot] = stored;
        cache->data_used[slot] = true;
        ++cache->data_count;
        *record = stored;
        return 0;
    });
}

std::int32_t cardfs_write_data_object(card_handle h, cardfs_table_cache* cache, std::int32_t* slot,
                                      const std::uint8_t* value, std::uint32_t length) {
    if (cache == nullptr || slot == nullptr || !data_slot_in_use(cache, *slot)) return no_such_slot;
    if (length > cardfs_offset_limit || (value == nullptr && length != 0)) return cardfs_bad_argument;
    const int old_slot = *slot;
    const cardfs_data_record old = cache->data[old_slot];
    std::uint8_t cached[cardfs_data_record_size];
    if (cardfs_encode_data_record(old, cached) != 0) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::uint8_t bitmap[8] = {};
        std::int32_t status = check_committed(h, cardfs_table::data, old_slot, cached, bitmap);
        if (status != 0) return status;
        // One command of the same length replaces the value at once.
        if (length == old.value_length && length <= static_cast<std::uint32_t>(cardfs_chunk_size))
            return write_value(h, old.file_name, value, length);

        const bool is_private = value_is_private(old);
        cardfs_data_record fresh = old;
        fresh.value_length = length;
        std::uint8_t bytes[cardfs_data_record_size];
        const int new_slot = lowest_free(bitmap, cardfs_data_slots);
        // A full table has no fresh slot: the value stays as it is.
        if (new_slot < 0) return table_full;
        fresh.slot = new_slot;
        cardfs_value_file_name(is_private, new_slot, fresh.file_name);
        cardfs_encode_data_record(fresh, bytes);
        status = create_value_file(h, fresh.file_name, is_private, length);
        if (status == 0) status = write_value(h, fresh.file_name, value, length);
        if (status == 0) status = write_record(h, cardfs_layout_of(cardfs_table::data), new_slot, bytes);
        if (status != 0) return status;
        // The commit: the new slot's bit on and the old one's off, in one write.
        cardfs_set_bit(bitmap, new_slot, true);
        cardfs_set_bit(bitmap, old_slot, false);
        status = write_header(h, cardfs_table::data, bitmap);
        if (status != 0) return status;
        cache->data[new_slot] = fresh;
        cache->data_used[new_slot] = true;
        cache->data[old_slot] = cardfs_data_record{};
        cache->data_used[old_slot] = false;
        *slot = new_slot;
        const std::uint8_t zeros[cardfs_data_record_size] = {};
        // Leftovers of a free slot are harmless.
        write_record(h, cardfs_layout_of(cardfs_table::data), old_slot, zeros);
        cardfs_delete_here(h, old.file_name);
        return 0;
    });
}

std::int32_t cardfs_read_data_object(card_handle h, const cardfs_table_cache* cache, std::int32_t slot,
                                     std::uint8_t* out, std::uint32_t capacity, std::uint32_t* length) {
    if (cache == nullptr || !data_slot_in_use(cache, slot)) return no_such_slot;
    const cardfs_data_record& r = cache->data[slot];
    if (length == nullptr || capacity < r.value_length || (out == nullptr && r.value_length != 0))
        return cardfs_bad_argument;
    *length = 0;
    if (r.value_length == 0) return 0;
    const std::int32_t status = cardfs_read_fixed(h, r.file_name, 0, r.value_length, out);
    if (status == 0) *length = r.value_length;
    return status;
}

std::int32_t cardfs_delete_data_object(card_handle h, cardfs_table_cache* cache, std::int32_t slot) {
    if (cache == nullptr || !data_slot_in_use(cache, slot)) return no_such_slot;
    const cardfs_data_record old = cache->data[slot];
    std::uint8_t cached[cardfs_data_record_size];
    if (cardfs_encode_data_record(old, cached) != 0) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        const std::int32_t status = free_slot(h, cardfs_table::data, slot, cached, [&] {
            cache->data[slot] = cardfs_data_record{};
            cache->data_used[slot] = false;
            --cache->data_count;
        });
        if (status != 0) return status;
        // A file left behind is deleted and made again by the next add there.
        cardfs_delete_here(h, old.file_name);
        return 0;
    });
}

std::int32_t cardfs_load_data_objects(card_handle h, cardfs_table_cache* cache, int* count) {
    if (cache == nullptr || count == nullptr) return cardfs_bad_argument;
    // The value file belongs to the position: "pri" or "pub" and the slot.
    const auto named_for_position = [](const cardfs_data_record& r, int position) {
        char pri[9], pub[9];
        cardfs_value_file_name(true, position, pri);
        cardfs_value_file_name(false, position, pub);
        return std::strcmp(r.file_name, pri) == 0 || std::strcmp(r.file_name, pub) == 0;
    };
    return cardfs_in_app_dir(h, [&]() -> std::int32_t {
        std::unique_ptr<cardfs_data_record[]> records(new cardfs_data_record[cardfs_data_slots]());
        bool used[cardfs_data_slots] = {};
        int mismatches = 0;
        const std::int32_t status = load_table(h, cardfs_table::data, cardfs_decode_data_record, named_for_position,
                                               records.get(), used, count, &mismatches);
        if (status != 0) return status;
        std::copy(records.get(), records.get() + cardfs_data_slots, cache->data);
        std::copy(used, used + cardfs_data_slots, cache->data_used);
        cache->data_count = *count;
        cache->data_cursor = -1;
        cache->mismatches = mismatches;
        return 0;
    });
}

std::int32_t cardfs_next_data_object(cardfs_table_cache* cache, cardfs_data_record* out) {
    if (cache == nullptr) return 1;
    return walk(cache->data, cache->data_used, cardfs_data_slots, &cache->data_cursor, out);
}

}  // namespace solvantex
