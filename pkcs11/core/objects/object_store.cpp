#include "object_store.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "containers/container_manager.h"

namespace pkcs11 {

namespace {

using solvantex::card_handle;
using solvantex::cardfs_data_record;
using solvantex::cardfs_secret_record;

// What the tables take.
constexpr std::size_t label_max = solvantex::cardfs_record_label_max;
constexpr std::size_t application_max = 63;
constexpr std::size_t oid_max = 32;
constexpr std::size_t secret_id_max = 64;
constexpr std::size_t secret_value_max = 32;
// The card layer's answer to an add into a full table.
constexpr std::int32_t table_full = 1;
constexpr std::int32_t security_not_satisfied = 0x6982;
constexpr std::int32_t file_not_found = 0x6A82;
// Inside this file only: a store the card does not hold (never formatted).
constexpr CK_RV store_absent = CKR_VENDOR_DEFINED | 0x6A82;

// The secret record's attribute bits: the bit, its attribute and the value
// an absent attribute is stored as.
struct secret_bit {
    std::uint32_t bit;
    CK_ATTRIBUTE_TYPE type;
    bool absent;
};
const secret_bit secret_bits[] = {
    {0, CKA_PRIVATE, false},         {1, CKA_MODIFIABLE, true},         {2, CKA_DERIVE, false},
    {3, CKA_LOCAL, true},            {4, CKA_SENSITIVE, false},         {5, CKA_ENCRYPT, true},
    {6, CKA_DECRYPT, true},          {7, CKA_SIGN, true},               {8, CKA_VERIFY, true},
    {9, CKA_WRAP, true},             {10, CKA_UNWRAP, true},            {11, CKA_EXTRACTABLE, false},
    {12, CKA_ALWAYS_SENSITIVE, true}, {13, CKA_NEVER_EXTRACTABLE, true}, {14, CKA_TRUSTED, false},
};
// Bits 15-31 belong to no attribute and are kept as read.
constexpr std::uint32_t kept_secret_bits = 0xFFFF8000u;
// The order a loaded secret key gets its booleans in.
const CK_ATTRIBUTE_TYPE secret_load_order[] = {
    CKA_PRIVATE, CKA_MODIFIABLE, CKA_DERIVE, CKA_LOCAL, CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN,
    CKA_VERIFY, CKA_WRAP, CKA_UNWRAP, CKA_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_TRUSTED,
};

bool bit_of(CK_ATTRIBUTE_TYPE type, std::uint32_t& bit) {
    for (const secret_bit& b : secret_bits)
        if (b.type == type) {
            bit = b.bit;
            return true;
        }
    return false;
}

bool flag_of(const pkcs11_attribute_mgr& a, CK_ATTRIBUTE_TYPE type, bool absent) {
    if (a.is_true(static_cast<std::uint32_t>(type))) return true;
    if (a.is_false(static_cast<std::uint32_t>(type))) return false;
    return absent;
}

const std::vector<std::uint8_t>* value_of(const pkcs11_attribute_mgr& a, CK_ATTRIBUTE_TYPE type) {
    const pkcs11_attribute* r = a.find(static_cast<std::uint32_t>(type));
    return r != nullptr ? &r->value : nullptr;
}

// A field of the record: the attribute's bytes, at most max (longer:
// CKR_ATTRIBUTE_VALUE_INVALID unless cut).
CK_RV put_field(const pkcs11_attribute_mgr& a, CK_ATTRIBUTE_TYPE type, std::size_t max, bool cut,
                std::uint8_t* field, std::uint8_t& length) {
    const std::vector<std::uint8_t>* v = value_of(a, type);
    std::size_t n = v != nullptr ? v->size() : 0;
    if (n > max) {
        if (!cut) return CKR_ATTRIBUTE_VALUE_INVALID;
        n = max;
    }
    if (n != 0) std::memcpy(field, v->data(), n);
    length = static_cast<std::uint8_t>(n);
    return CKR_OK;
}

// A stored text's length: the stored length, or the string length of a
// field whose length byte is 0.
std::size_t stored_text_length(const std::uint8_t* field, std::size_t size, std::uint8_t length) {
    if (length != 0) return length < size ? length : size;
    std::size_t n = 0;
    while (n < size && field[n] != 0) ++n;
    return n;
}

bool same_value(const pkcs11_attribute_mgr& a, const pkcs11_attribute_mgr& b, CK_ATTRIBUTE_TYPE type) {
    const std::vector<std::uint8_t>* x = value_of(a, type);
    const std::vector<std::uint8_t>* y = value_of(b, type);
    if (x == nullptr || y == nullptr) return x == y;
    return *x == *y;
}

CK_RV card_failure(const pkcs11_store_card& card, std::int32_t status) {
    if (status == security_not_satisfied) return CKR_USER_NOT_LOGGED_IN;
    return card.failure ? card.failure(status) : CKR_DEVICE_ERROR;
}

// What a card status means besides a failure.
enum class card_step {
    plain,
    fill,  // an add: a full table gives CKR_DEVICE_MEMORY
    load,  // a load: a missing store gives store_absent
};

// body(handle) on the store's card; its status as a CK_RV.
template <typename Body>
CK_RV on_card(const pkcs11_store_card& card, card_step step, Body&& body) {
    card_handle h = 0;
    std::int32_t status = card.device ? card.device(h) : 1;
    if (status != 0) return card_failure(card, status);
    status = body(h);
    if (status == 0) return CKR_OK;
    if (step == card_step::fill && status == table_full) return CKR_DEVICE_MEMORY;
    if (step == card_step::load && status == file_not_found) return store_absent;
    return card_failure(card, status);
}

// The slot attributes of a stored data object.
CK_RV set_data_slot(pkcs11_attribute_mgr& a, const cardfs_data_record& record) {
    CK_RV rv = a.set_u32(CKA_VENDOR_STORE_INDEX, static_cast<std::uint32_t>(record.slot));
    if (rv == CKR_OK) rv = a.set(CKA_VENDOR_STORE_NAME, record.file_name, std::strlen(record.file_name));
    if (rv == CKR_OK) rv = a.set_u32(CKA_VALUE_LEN, record.value_length);
    return rv;
}

// A token object's listed twin of a store slot.
bool slot_listed(const pkcs11_object_mgr& list, CK_OBJECT_CLASS object_class, CK_ATTRIBUTE_TYPE slot_type,
                 int slot) {
    for (std::size_t i = 0; i < list.count(); ++i) {
        const pkcs11_object& o = *list.at(i);
        std::uint32_t s = 0;
        if (o.object_class() == object_class && o.is_token_object() &&
            o.attributes().get_u32(static_cast<std::uint32_t>(slot_type), s) && s == static_cast<std::uint32_t>(slot))
            return true;
    }
    return false;
}

// A table read into the cache (load), then every used record (next) that
// no listed token object of the class represents made an object (make) and
// listed.
template <typename Record, typename Make, typename Load, typename Next>
CK_RV load_records(const pkcs11_store_card& card, pkcs11_object_mgr& list, CK_OBJECT_CLASS object_class,
                   CK_ATTRIBUTE_TYPE slot_type, Make make, Load load, Next next) {
    return on_card(card, card_step::load, [&](card_handle h) -> std::int32_t {
        int count = 0;
        const std::int32_t status = load(h, &count);
        if (status != 0) return status;
        Record r{};
        while (next(&r) == 0) {
            if (slot_listed(list, object_class, slot_type, r.slot)) continue;
            pkcs11_object_ref o;
            if (make(r, o) != CKR_OK || list.append(o) == 0) return 2;  // out of memory
        }
        return 0;
    });
}

CK_RV stored_slot(const pkcs11_attribute_mgr& a, CK_ATTRIBUTE_TYPE type, int slots, std::int32_t& slot) {
    std::uint32_t s = 0;
    if (!a.get_u32(static_cast<std::uint32_t>(type), s) || s >= static_cast<std::uint32_t>(slots))
        return CKR_OBJECT_HANDLE_INVALID;
    slot = static_cast<std::int32_t>(s);
    return CKR_OK;
}

}  // namespace

// ---- records ---------------------------------------------------------------

CK_RV data_record_of(const pkcs11_attribute_mgr& a, cardfs_data_record& record) {
    record = cardfs_data_record{};
    CK_RV rv = put_field(a, CKA_LABEL, label_max, true, record.label, record.label_length);
    if (rv == CKR_OK)
        rv = put_field(a, CKA_APPLICATION, application_max, false, record.application, record.application_length);
    if (rv == CKR_OK) rv = put_field(a, CKA_OBJECT_ID, oid_max, false, record.oid, record.oid_length);
    if (rv != CKR_OK) return rv;
    if (flag_of(a, CKA_PRIVATE, false)) record.flags |= solvantex::cardfs_data_flag_private;
    if (flag_of(a, CKA_MODIFIABLE, true)) record.flags |= solvantex::cardfs_data_flag_modifiable;
    const std::vector<std::uint8_t>* value = value_of(a, CKA_VALUE);
    if (value != nullptr && value->size() > solvantex::cardfs_offset_limit) return CKR_ATTRIBUTE_VALUE_INVALID;
    record.value_length = value != nullptr ? static_cast<std::uint32_t>(value->size()) : 0;
    std::uint32_t slot = 0;
    record.slot = a.get_u32(CKA_VENDOR_STORE_INDEX, slot) ? static_cast<std::int32_t>(slot) : -1;
    return CKR_OK;
}

CK_RV secret_record_of(const pkcs11_attribute_mgr& a, std::uint32_t kept_bits, cardfs_secret_record& record) {
    record = cardfs_secret_record{};
    CK_RV rv = put_field(a, CKA_LABEL, label_max, true, record.label, record.label_length);
    if (rv == CKR_OK) rv = put_field(a, CKA_ID, secret_id_max, false, record.id, record.id_length);
    if (rv == CKR_OK) rv = put_field(a, CKA_VALUE, secret_value_max, false, record.value, record.value_length);
    if (rv != CKR_OK) return rv;
    std::uint32_t key_type = 0;
    record.key_type = a.get_u32(CKA_KEY_TYPE, key_type) ? key_type : 0;
    record.mechanism = 0;
    record.bits = kept_bits & kept_secret_bits;
    for (const secret_bit& b : secret_bits)
        if (flag_of(a, b.type, b.absent)) record.bits |= 1u << b.bit;
    std::uint32_t slot = 0;
    record.slot = a.get_u32(CKA_VENDOR_CARD_KEY_ID, slot) ? static_cast<std::int32_t>(slot) : -1;
    return CKR_OK;
}

CK_RV data_object_of(const cardfs_data_record& r, pkcs11_object_ref& out) {
    pkcs11_object_ref o;
    CK_RV rv = pkcs11_object::make_bare(0, CKO_DATA, o);
    if (rv != CKR_OK) return rv;
    pkcs11_attribute_mgr& a = o->attributes();
    rv = a.set(CKA_LABEL, r.label, stored_text_length(r.label, sizeof r.label, r.label_length));
    if (rv == CKR_OK) rv = a.set_bool(CKA_PRIVATE, (r.flags & solvantex::cardfs_data_flag_private) != 0);
    if (rv == CKR_OK) rv = a.set_bool(CKA_MODIFIABLE, (r.flags & solvantex::cardfs_data_flag_modifiable) != 0);
    if (rv == CKR_OK) rv = a.set_bool(CKA_TOKEN, true);
    if (rv == CKR_OK)
        rv = a.set(CKA_APPLICATION, r.application,
                   stored_text_length(r.application, sizeof r.application, r.application_length));
    if (rv == CKR_OK) rv = a.set(CKA_OBJECT_ID, r.oid, r.oid_length <= oid_max ? r.oid_length : oid_max);
    if (rv == CKR_OK) rv = set_data_slot(a, r);
    if (rv != CKR_OK) return rv;
    out = std::move(o);
    return CKR_OK;
}

CK_RV secret_object_of(const cardfs_secret_record& r, pkcs11_object_ref& out) {
    pkcs11_object_ref o;
    CK_RV rv = pkcs11_object::make_bare(0, CKO_SECRET_KEY, o);
    if (rv != CKR_OK) return rv;
    pkcs11_attribute_mgr& a = o->attributes();
    rv = a.set(CKA_LABEL, r.label, stored_text_length(r.label, label_max, r.label_length));
    if (rv == CKR_OK) rv = a.set(CKA_ID, r.id, r.id_length <= secret_id_max ? r.id_length : secret_id_max);
    if (rv == CKR_OK) rv = a.set_bool(CKA_TOKEN, true);
    for (CK_ATTRIBUTE_TYPE type : secret_load_order) {
        if (rv != CKR_OK) break;
        std::uint32_t bit = 0;
        (void)bit_of(type, bit);
        rv = a.set_bool(static_cast<std::uint32_t>(type), (r.bits & (1u << bit)) != 0);
        if (rv == CKR_OK && type == CKA_MODIFIABLE) {
            rv = a.set_u32(CKA_KEY_TYPE, r.key_type);
            if (rv == CKR_OK) rv = a.set_u32(CKA_MECHANISM_TYPE, r.mechanism);
        }
    }
    if (rv == CKR_OK) rv = a.set_u32(CKA_VENDOR_CARD_KEY_ID, static_cast<std::uint32_t>(r.slot));
    if (rv == CKR_OK && r.value_length != 0) {
        const std::size_t n = r.value_length <= secret_value_max ? r.value_length : secret_value_max;
        rv = a.set(CKA_VALUE, r.value, n);
        if (rv == CKR_OK) rv = a.set_u32(CKA_VALUE_LEN, static_cast<std::uint32_t>(n));
    }
    if (rv != CKR_OK) return rv;
    // A key's record holds all it has.
    o->set_values_loaded(true);
    out = std::move(o);
    return CKR_OK;
}

// ---- data objects ------------------------------------------------------------

CK_RV pkcs11_data_object_manager::slot_of(const pkcs11_attribute_mgr& a, std::int32_t& slot) const {
    return stored_slot(a, CKA_VENDOR_STORE_INDEX, solvantex::cardfs_data_slots, slot);
}

CK_RV pkcs11_data_object_manager::load_all(pkcs11_object_mgr& list) {
    return load_records<cardfs_data_record>(card_, list, CKO_DATA, CKA_VENDOR_STORE_INDEX, data_object_of,
                                            [this](card_handle h, int* count) {
                                                return solvantex::cardfs_load_data_objects(h, &cache_, count);
                                            },
                                            [this](cardfs_data_record* r) {
                                                return solvantex::cardfs_next_data_object(&cache_, r);
                                            });
}

CK_RV pkcs11_data_object_manager::add(pkcs11_object& object) {
    cardfs_data_record record{};
    CK_RV rv = data_record_of(object.attributes(), record);
    if (rv != CKR_OK) return rv;
    const std::vector<std::uint8_t>* value = value_of(object.attributes(), CKA_VALUE);
    const std::uint8_t* bytes = value != nullptr && !value->empty() ? value->data() : nullptr;
    rv = on_card(card_, card_step::fill, [&](card_handle h) {
        return solvantex::cardfs_add_data_object(h, &cache_, &record, bytes, record.value_length);
    });
    if (rv != CKR_OK) return rv;
    rv = set_data_slot(object.attributes(), record);
    if (rv != CKR_OK) {
        // The object cannot carry its slot: it must not stay on the card.
        (void)on_card(card_, card_step::plain, [&](card_handle h) {
            return solvantex::cardfs_delete_data_object(h, &cache_, record.slot);
        });
        return rv;
    }
    object.set_values_loaded(true);
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::write(const pkcs11_object& object, pkcs11_attribute_mgr& updated) {
    std::int32_t slot = 0;
    CK_RV rv = slot_of(object.attributes(), slot);
    if (rv != CKR_OK) return rv;
    const bool value_changed = !same_value(object.attributes(), updated, CKA_VALUE);
    const bool record_changed = !same_value(object.attributes(), updated, CKA_LABEL) ||
                                !same_value(object.attributes(), updated, CKA_APPLICATION) ||
                                !same_value(object.attributes(), updated, CKA_OBJECT_ID);
    if (!value_changed && !record_changed) return CKR_OK;
    // A value never read is read now: a rewritten record takes it along,
    // and the object has it afterwards.
    if (!value_changed && !object.values_loaded()) {
        std::vector<std::uint8_t> value;
        std::uint32_t length = 0;
        rv = on_card(card_, card_step::plain, [&](card_handle h) -> std::int32_t {
            const std::uint32_t size = slot >= 0 ? cache_.data[slot].value_length : 0;
            try {
                value.assign(size, 0);
            } catch (const std::bad_alloc&) {
                return 2;
            }
            return solvantex::cardfs_read_data_object(h, &cache_, slot, value.data(), size, &length);
        });
        if (rv == CKR_OK) rv = updated.set(CKA_VALUE, value.data(), length);
        if (rv != CKR_OK) return rv;
    }
    cardfs_data_record record{};
    rv = data_record_of(updated, record);
    if (rv != CKR_OK) return rv;
    const std::vector<std::uint8_t>* value = value_of(updated, CKA_VALUE);
    const std::uint8_t* bytes = value != nullptr && !value->empty() ? value->data() : nullptr;
    if (record_changed) {
        // The record's texts change: the object is stored afresh, then the
        // old one goes. Until the second step the card holds the old object.
        rv = on_card(card_, card_step::fill, [&](card_handle h) {
            return solvantex::cardfs_add_data_object(h, &cache_, &record, bytes, record.value_length);
        });
        if (rv != CKR_OK) return rv;
        const CK_RV removed = on_card(card_, card_step::plain, [&](card_handle h) {
            return solvantex::cardfs_delete_data_object(h, &cache_, slot);
        });
        if (removed != CKR_OK) {
            (void)on_card(card_, card_step::plain, [&](card_handle h) {
                return solvantex::cardfs_delete_data_object(h, &cache_, record.slot);
            });
            return removed;
        }
        return set_data_slot(updated, record);
    }
    std::int32_t new_slot = slot;
    rv = on_card(card_, card_step::fill, [&](card_handle h) {
        return solvantex::cardfs_write_data_object(h, &cache_, &new_slot, bytes, record.value_length);
    });
    if (rv != CKR_OK) return rv;
    return set_data_slot(updated, cache_.data[new_slot]);
}

CK_RV pkcs11_data_object_manager::read_value(pkcs11_object& object) {
    if (object.values_loaded()) return CKR_OK;
    pkcs11_attribute_mgr& a = object.attributes();
    const std::vector<std::uint8_t>* present = value_of(a, CKA_VALUE);
    if (present != nullptr && !present->empty()) {
        object.set_values_loaded(true);
        return CKR_OK;
    }
    std::uint32_t length = 0;
    if (!a.get_u32(CKA_VALUE_LEN, length)) return CKR_ATTRIBUTE_TYPE_INVALID;
    std::int32_t slot = 0;
    CK_RV rv = slot_of(a, slot);
    if (rv != CKR_OK) return rv;
    std::vector<std::uint8_t> value;
    try {
        value.assign(length, 0);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
    std::uint32_t got = 0;
    rv = on_card(card_, card_step::plain, [&](card_handle h) {
        return solvantex::cardfs_read_data_object(h, &cache_, slot, value.data(), length, &got);
    });
    if (rv == CKR_OK) rv = a.set(CKA_VALUE, value.data(), got);
    if (rv == CKR_OK) object.set_values_loaded(true);
    return rv;
}

CK_RV pkcs11_data_object_manager::remove(const pkcs11_object& object) {
    std::int32_t slot = 0;
    const CK_RV rv = slot_of(object.attributes(), slot);
    if (rv != CKR_OK) return rv;
    return on_card(card_, card_step::plain, [&](card_handle h) { return solvantex::cardfs_delete_data_object(h, &cache_, slot); });
}

// ---- secret keys -------------------------------------------------------------

CK_RV pkcs11_secret_object_manager::slot_of(const pkcs11_attribute_mgr& a, std::int32_t& slot) const {
    return stored_slot(a, CKA_VENDOR_CARD_KEY_ID, solvantex::cardfs_secret_slots, slot);
}

CK_RV pkcs11_secret_object_manager::load_all(pkcs11_object_mgr& list) {
    return load_records<cardfs_secret_record>(card_, list, CKO_SECRET_KEY, CKA_VENDOR_CARD_KEY_ID, secret_object_of,
                                              [this](card_handle h, int* count) {
                                                  return solvantex::cardfs_load_secret_objects(h, &cache_, count);
                                              },
                                              [this](cardfs_secret_record* r) {
                                                  return solvantex::cardfs_next_secret_object(&cache_, r);
                                              });
}

CK_RV pkcs11_secret_object_manager::add(pkcs11_object& object) {
    cardfs_secret_record record{};
    CK_RV rv = secret_record_of(object.attributes(), 0, record);
    if (rv != CKR_OK) return rv;
    rv = on_card(card_, card_step::fill, [&](card_handle h) { return solvantex::cardfs_add_secret_object(h, &cache_, &record); });
    if (rv != CKR_OK) return rv;
    rv = object.attributes().set_u32(CKA_VENDOR_CARD_KEY_ID, static_cast<std::uint32_t>(record.slot));
    if (rv != CKR_OK) {
        (void)on_card(card_, card_step::plain,
                      [&](card_handle h) { return solvantex::cardfs_delete_secret_object(h, &cache_, record.slot); });
        return rv;
    }
    object.set_values_loaded(true);
    return CKR_OK;
}

CK_RV pkcs11_secret_object_manager::update(const pkcs11_object& object, const pkcs11_attribute_mgr& updated) {
    std::int32_t slot = 0;
    CK_RV rv = slot_of(object.attributes(), slot);
    if (rv != CKR_OK) return rv;
    cardfs_secret_record record{};
    rv = secret_record_of(updated, cache_.secrets[slot].bits, record);
    if (rv != CKR_OK) return rv;
    record.slot = slot;
    return on_card(card_, card_step::plain,
                   [&](card_handle h) { return solvantex::cardfs_update_secret_object(h, &cache_, record); });
}

CK_RV pkcs11_secret_object_manager::remove(const pkcs11_object& object) {
    std::int32_t slot = 0;
    const CK_RV rv = slot_of(object.attributes(), slot);
    if (rv != CKR_OK) return rv;
    return on_card(card_, card_step::plain,
                   [&](card_handle h) { return solvantex::cardfs_delete_secret_object(h, &cache_, slot); });
}

// ---- the dispatch ----------------------------------------------------------------

pkcs11_object_store::pkcs11_object_store(pkcs11_store_card card)
    : card_(std::move(card)), cache_(), data_(card_, cache_), secrets_(card_, cache_) {
    solvantex::cardfs_reset_cache(&cache_);
}

// A token without its store directory (never formatted) has nothing
// stored: its stores list as empty and are read again next time.
CK_RV pkcs11_object_store::load_data(pkcs11_object_mgr& list) {
    if (data_loaded_) return CKR_OK;
    const CK_RV rv = data_.load_all(list);
    if (rv == CKR_OK) data_loaded_ = true;
    return rv == store_absent ? CKR_OK : rv;
}

CK_RV pkcs11_object_store::load_secrets(pkcs11_object_mgr& list) {
    if (secrets_loaded_) return CKR_OK;
    const CK_RV rv = secrets_.load_all(list);
    if (rv == CKR_OK) secrets_loaded_ = true;
    return rv == store_absent ? CKR_OK : rv;
}

CK_RV pkcs11_object_store::load_for(const CK_ATTRIBUTE* tmpl, CK_ULONG count, pkcs11_object_mgr& list) {
    const CK_ATTRIBUTE* entry = nullptr;
    for (CK_ULONG i = 0; tmpl != nullptr && i < count && entry == nullptr; ++i)
        if (tmpl[i].type == CKA_CLASS) entry = &tmpl[i];
    std::uint32_t object_class = 0;
    const bool by_class = entry != nullptr && (entry->ulValueLen == 4 || entry->ulValueLen == sizeof(CK_ULONG)) &&
                          template_u32(entry, object_class);
    if (!by_class) return load_all(list);
    switch (object_class) {
        case CKO_DATA: return load_data(list);
        case CKO_SECRET_KEY: return load_secrets(list);
        case CKO_CERTIFICATE:
        case CKO_PUBLIC_KEY:
        case CKO_PRIVATE_KEY: return load_containers(list);
        default: return load_all(list);
    }
}

CK_RV pkcs11_object_store::load_containers(pkcs11_object_mgr& list) {
    if (containers_loaded_ || containers_ == nullptr) return CKR_OK;
    (void)list;  // the manager works on the token's list
    const CK_RV rv = containers_->load();
    if (rv == CKR_OK) containers_loaded_ = true;
    return rv;
}

CK_RV pkcs11_object_store::load_all(pkcs11_object_mgr& list) {
    CK_RV rv = load_data(list);
    if (rv == CKR_OK) rv = load_secrets(list);
    return rv != CKR_OK ? rv : load_containers(list);
}

CK_RV pkcs11_object_store::store_new(pkcs11_object& object) {
    if (!object.is_token_object()) return CKR_OK;
    switch (object.object_class()) {
        case CKO_DATA: return data_.add(object);
        case CKO_SECRET_KEY: return secrets_.add(object);
        case CKO_CERTIFICATE:
            return containers_ == nullptr ? CKR_FUNCTION_NOT_SUPPORTED : containers_->store_certificate(object);
        case CKO_PUBLIC_KEY:
            return containers_ == nullptr ? CKR_FUNCTION_NOT_SUPPORTED : containers_->store_public_key(object);
        case CKO_PRIVATE_KEY:
            return containers_ == nullptr ? CKR_FUNCTION_NOT_SUPPORTED : containers_->store_private_key(object);
        default: return CKR_FUNCTION_NOT_SUPPORTED;
    }
}

CK_RV pkcs11_object_store::update(const pkcs11_object& object, pkcs11_attribute_mgr& updated) {
    if (!object.is_token_object()) return CKR_OK;
    switch (object.object_class()) {
        case CKO_DATA: return data_.write(object, updated);
        case CKO_SECRET_KEY: return secrets_.update(object, updated);
        case CKO_CERTIFICATE:
        case CKO_PUBLIC_KEY:
        case CKO_PRIVATE_KEY:
            return containers_ == nullptr ? CKR_FUNCTION_NOT_SUPPORTED : containers_->update(object, updated);
        default: return CKR_FUNCTION_NOT_SUPPORTED;
    }
}

CK_RV pkcs11_object_store::destroy(const pkcs11_object& object) {
    if (!object.is_token_object()) return CKR_OK;
    switch (object.object_class()) {
        case CKO_DATA: return data_.remove(object);
        case CKO_SECRET_KEY: return secrets_.remove(object);
        case CKO_PUBLIC_KEY: return CKR_OK;
        case CKO_CERTIFICATE:
            return containers_ == nullptr ? CKR_FUNCTION_NOT_SUPPORTED : containers_->delete_certificate(object);
        case CKO_PRIVATE_KEY:
            return containers_ == nullptr ? CKR_FUNCTION_NOT_SUPPORTED : containers_->delete_key_pair(object);
        default: return CKR_FUNCTION_NOT_SUPPORTED;
    }
}

CK_RV pkcs11_object_store::read_values(pkcs11_object& object) {
    if (!object.is_token_object()) return CKR_OK;
    if (object.object_class() == CKO_DATA) return data_.read_value(object);
    return containers_ == nullptr ? CKR_OK : containers_->read_values(object);
}

void pkcs11_object_store::forget() {
    data_loaded_ = false;
    secrets_loaded_ = false;
    containers_loaded_ = false;
}

}  // namespace pkcs11
