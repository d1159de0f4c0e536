// The search behind C_FindObjectsInit, C_FindObjects and C_FindObjectsFinal
// (one per session), and the token's own one-attribute searches.
//
// The template is copied at init. The attributes read on demand
// (is_read_on_demand_type: CKA_VALUE, CKA_MODULUS, a certificate's serial
// number and names, ...) are kept apart as value attributes (an object must
// match all of them): matching them first brings a token object's values
// in from the card through the reader. An empty value attribute
// matches only objects whose value is empty.
//
// The search walks the token's object list in order and resumes across
// calls at the object where the previous call stopped. That position is
// kept as the object's handle, never as a pointer: objects may be created
// or destroyed between calls. When the remembered object has left the list,
// the later calls return no handles and the search stays open. While an
// object is matched the finder holds a reference to it, so a value read
// that drops objects from the list leaves it valid; such an object is no
// hit, and the walk ends there.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "attribute_mgr.h"
#include "object_access.h"
#include "object_mgr.h"

namespace pkcs11 {

// The attributes a token object may hold only once its values were read
// from the card: a data object's or certificate's value, a key's public
// values, and what a certificate's bytes give.
bool is_read_on_demand_type(CK_ATTRIBUTE_TYPE type);

// Brings a token object's values in from the card before a value match.
class pkcs11_object_value_reader {
public:
    virtual ~pkcs11_object_value_reader() = default;
    virtual CK_RV read_values(pkcs11_object& object) = 0;
};

class pkcs11_object_finder {
public:
    // Handles a token's own search returns at most.
    static constexpr std::size_t internal_limit = 64;
    // Hits a pure count (no array, maximum 0) counts at most.
    static constexpr CK_ULONG count_limit = 65535;

    // reader may be null: token objects are then matched as they are.
    pkcs11_object_finder(const pkcs11_object_mgr& objects, pkcs11_object_value_reader* reader);

    // Replaces the template and starts the walk afresh. The codes of
    // check_template, CKR_HOST_MEMORY; on failure the finder is idle.
    CK_RV init(const CK_ATTRIBUTE* tmpl, CK_ULONG count);
    // C_FindObjects for a session of the level: up to max handles into
    // handles (a null array with max 0 only counts, up to count_limit).
    // CKR_OPERATION_NOT_INITIALIZED when idle.
    CK_RV find(access_level level, CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG* found);
    // The token's own search: every match regardless of visibility, up to
    // internal_limit, from the start of the list.
    CK_RV find_internal(std::vector<CK_OBJECT_HANDLE>& handles);
    // C_FindObjectsFinal: back to idle.
    void final();

    bool active() const { return active_; }

    // Whether an object matches the template (values read as needed).
    bool matches(pkcs11_object& object);

private:
    struct held_attribute {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> value;
    };

    CK_RV walk(bool visibility, access_level level, CK_OBJECT_HANDLE* handles, CK_ULONG limit, CK_ULONG& hits);

    const pkcs11_object_mgr& objects_;
    pkcs11_object_value_reader* reader_;
    bool active_ = false;
    bool match_all_ = false;
    std::vector<held_attribute> template_;
    std::vector<held_attribute> values_;  // CKA_VALUE and CKA_MODULUS
    bool started_ = false;
    bool done_ = false;
    CK_OBJECT_HANDLE next_ = 0;
};

}  // namespace pkcs11
