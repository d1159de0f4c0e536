// Where a token's objects live on the card: the data-object store
// ("ObjFileIdx" with a value file per object) and the secret-key store
// ("keyObjects"), the records each object becomes and the objects each
// record gives back, and the dispatch by class that picks the store of a
// token object.
//
// Only token objects (CKA_TOKEN TRUE) reach a store. Each store is read
// once per connection into the token's table cache and remembered by a
// load flag; a load skips the records already represented in the object
// list (by CKA_VENDOR_STORE_INDEX for data objects, CKA_VENDOR_CARD_KEY_ID
// for secret keys), so the handles callers hold stay valid and nothing is
// listed twice.
//
// Record fields are bounded: a label longer than 63 bytes is cut to 63 (as
// the record holds it), while a CKA_APPLICATION over 63 bytes, a
// CKA_OBJECT_ID over 32, a secret CKA_ID over 64 or a secret value over 32
// bytes is refused with CKR_ATTRIBUTE_VALUE_INVALID: cut, it would come
// back different after a reload. CKA_SENSITIVE of a secret key is kept in
// record bit 4 (zero in older records, which reads as FALSE).
//
// Every result is a CK_RV: a full table gives CKR_DEVICE_MEMORY, a card
// that refuses for want of a PIN CKR_USER_NOT_LOGGED_IN, other card
// failures what the store's failure mapping makes of them. Certificates and
// key pairs live in key containers: the token's container manager serves
// them (set_containers); without one, storing one gives
// CKR_FUNCTION_NOT_SUPPORTED.
#pragma once

#include <pkcs11_vendor.h>

#include <cstdint>
#include <functional>

#include "card_tables.h"
#include "object_finder.h"
#include "object_mgr.h"

namespace pkcs11 {

class pkcs11_container_manager;

// How a store reaches its card.
struct pkcs11_store_card {
    // The token's device, opened when needed: 0 or the card layer's status.
    std::function<std::int32_t(solvantex::card_handle& handle)> device;
    // A card-layer failure as a caller sees it.
    std::function<CK_RV(std::int32_t status)> failure;
};

// The records of the two tables, built from attributes and read back.
// CKR_ATTRIBUTE_VALUE_INVALID for a field that does not fit.
CK_RV data_record_of(const pkcs11_attribute_mgr& attributes, solvantex::cardfs_data_record& record);
CK_RV secret_record_of(const pkcs11_attribute_mgr& attributes, std::uint32_t kept_bits,
                       solvantex::cardfs_secret_record& record);
CK_RV data_object_of(const solvantex::cardfs_data_record& record, pkcs11_object_ref& out);
CK_RV secret_object_of(const solvantex::cardfs_secret_record& record, pkcs11_object_ref& out);

class pkcs11_data_object_manager {
public:
    pkcs11_data_object_manager(const pkcs11_store_card& card, solvantex::cardfs_table_cache& cache)
        : card_(card), cache_(cache) {}

    // Lists every stored data object not listed yet.
    CK_RV load_all(pkcs11_object_mgr& list);
    // Stores a new token data object with its value; it gets its slot
    // (CKA_VENDOR_STORE_INDEX), its value file (CKA_VENDOR_STORE_NAME) and
    // CKA_VALUE_LEN. A failure leaves nothing on the card.
    CK_RV add(pkcs11_object& object);
    // Writes the changed attributes of a stored object. A value of another
    // length gets a value file of its own size (the card layer commits it
    // in a fresh slot), and the slot attributes of updated follow.
    CK_RV write(const pkcs11_object& object, pkcs11_attribute_mgr& updated);
    // Fills CKA_VALUE from the value file, once.
    CK_RV read_value(pkcs11_object& object);
    CK_RV remove(const pkcs11_object& object);

private:
    CK_RV slot_of(const pkcs11_attribute_mgr& attributes, std::int32_t& slot) const;

    const pkcs11_store_card& card_;
    solvantex::cardfs_table_cache& cache_;
};

class pkcs11_secret_object_manager {
public:
    pkcs11_secret_object_manager(const pkcs11_store_card& card, solvantex::cardfs_table_cache& cache)
        : card_(card), cache_(cache) {}

    CK_RV load_all(pkcs11_object_mgr& list);
    // Stores a new token secret key; it gets CKA_VENDOR_CARD_KEY_ID.
    CK_RV add(pkcs11_object& object);
    // Rewrites the record of a stored key from the changed attributes.
    CK_RV update(const pkcs11_object& object, const pkcs11_attribute_mgr& updated);
    CK_RV remove(const pkcs11_object& object);

private:
    CK_RV slot_of(const pkcs11_attribute_mgr& attributes, std::int32_t& slot) const;

    const pkcs11_store_card& card_;
    solvantex::cardfs_table_cache& cache_;
};

// The stores of one token and the dispatch by class.
class pkcs11_object_store : public pkcs11_object_value_reader {
public:
    explicit pkcs11_object_store(pkcs11_store_card card);
    pkcs11_object_store(const pkcs11_object_store&) = delete;
    pkcs11_object_store& operator=(const pkcs11_object_store&) = delete;

    // The stores a template asks for, each once: by its first CKA_CLASS of
    // a CK_ULONG's width (4 bytes, or the caller's CK_ULONG); no class, or
    // a class of another width, loads every store. A store the card does
    // not hold yet (an unformatted token) loads as empty.
    CK_RV load_for(const CK_ATTRIBUTE* tmpl, CK_ULONG count, pkcs11_object_mgr& list);
    CK_RV load_all(pkcs11_object_mgr& list);
    // Stores a new token object by class (session objects: nothing to do).
    CK_RV store_new(pkcs11_object& object);
    // Writes a token object's changed attributes by class.
    CK_RV update(const pkcs11_object& object, pkcs11_attribute_mgr& updated);
    // Removes a token object from its store (a public key needs no card
    // work).
    CK_RV destroy(const pkcs11_object& object);
    // A token data object's value, once.
    CK_RV read_values(pkcs11_object& object) override;
    // After logout, format, reload or reconnect: the stores are read again
    // on the next need.
    void forget();
    // The container manager that serves certificates and key pairs (it
    // works on the same object list).
    void set_containers(pkcs11_container_manager* containers) { containers_ = containers; }
    // The key containers' certificates and keys, once.
    CK_RV load_containers(pkcs11_object_mgr& list);

    bool data_loaded() const { return data_loaded_; }
    bool secrets_loaded() const { return secrets_loaded_; }

private:
    CK_RV load_data(pkcs11_object_mgr& list);
    CK_RV load_secrets(pkcs11_object_mgr& list);

    pkcs11_store_card card_;
    solvantex::cardfs_table_cache cache_;
    pkcs11_data_object_manager data_;
    pkcs11_secret_object_manager secrets_;
    pkcs11_container_manager* containers_ = nullptr;
    bool data_loaded_ = false;
    bool secrets_loaded_ = false;
    bool containers_loaded_ = false;
};

}  // namespace pkcs11
