#include "object_finder.h"

#include <new>
#include <utility>

namespace pkcs11 {

bool is_read_on_demand_type(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_VALUE:
        case CKA_MODULUS:
        case CKA_PUBLIC_EXPONENT:
        case CKA_EC_POINT:
        case CKA_SERIAL_NUMBER:
        case CKA_SUBJECT:
        case CKA_ISSUER:
        case CKA_START_DATE:
        case CKA_END_DATE:
            return true;
        default:
            return false;
    }
}

pkcs11_object_finder::pkcs11_object_finder(const pkcs11_object_mgr& objects, pkcs11_object_value_reader* reader)
    : objects_(objects), reader_(reader) {}

CK_RV pkcs11_object_finder::init(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    final();
    const CK_RV rv = check_template(tmpl, count);
    if (rv != CKR_OK) return rv;
    std::vector<held_attribute> attributes;
    std::vector<held_attribute> values;
    try {
        for (CK_ULONG i = 0; i < count; ++i) {
            const CK_ATTRIBUTE& a = tmpl[i];
            const auto* bytes = static_cast<const std::uint8_t*>(a.pValue);
            held_attribute h;
            h.type = static_cast<std::uint32_t>(a.type);
            if (a.ulValueLen != 0) h.value.assign(bytes, bytes + a.ulValueLen);
            const bool is_value = is_read_on_demand_type(a.type);
            auto& into = is_value ? values : attributes;
            // A type named twice: the later value holds.
            bool replaced = false;
            for (auto& e : into)
                if (e.type == h.type) {
                    e.value.swap(h.value);
                    replaced = true;
                }
            if (!replaced) into.push_back(std::move(h));
        }
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
    template_ = std::move(attributes);
    values_ = std::move(values);
    match_all_ = count == 0;
    active_ = true;
    return CKR_OK;
}

void pkcs11_object_finder::final() {
    active_ = false;
    match_all_ = false;
    template_.clear();
    values_.clear();
    started_ = false;
    done_ = false;
    next_ = 0;
}

bool pkcs11_object_finder::matches(pkcs11_object& object) {
    if (match_all_) return true;
    const pkcs11_attribute_mgr& attributes = object.attributes();
    for (const held_attribute& t : template_) {
        const pkcs11_attribute* s = attributes.find(t.type);
        if (s == nullptr || !attribute_equal_value(*s, t.type, t.value.data(), t.value.size())) return false;
    }
    if (values_.empty()) return true;
    if (object.is_token_object() && reader_ != nullptr && reader_->read_values(object) != CKR_OK) return false;
    for (const held_attribute& t : values_) {
        const pkcs11_attribute* s = object.attributes().find(t.type);
        if (s == nullptr || !attribute_equal_value(*s, t.type, t.value.data(), t.value.size())) return false;
    }
    return true;
}

CK_RV pkcs11_object_finder::walk(bool visibility, access_level level, CK_OBJECT_HANDLE* handles, CK_ULONG limit,
                                 CK_ULONG& hits) {
    hits = 0;
    if (!active_) return CKR_OPERATION_NOT_INITIALIZED;
    if (done_ || limit == 0) return CKR_OK;
    std::size_t i = 0;
    if (started_) {
        i = objects_.index_of(next_);
        // The remembered object has left the list: nothing more to give.
        if (i == objects_.count()) return CKR_OK;
    }
    started_ = true;
    while (i < objects_.count() && hits < limit) {
        // Our own reference: a value read may change the list.
        const pkcs11_object_ref object = objects_.at(i);
        const std::uint64_t generation = objects_.generation();
        const bool hit = (!visibility || object_visible(level, object->kind())) && matches(*object);
        if (objects_.generation() != generation) {
            // The object left the list while its values were read: its
            // handle is no longer valid and the walk has no place to go on.
            i = objects_.index_of(object->handle());
            if (i == objects_.count()) {
                done_ = true;
                return CKR_OK;
            }
        }
        if (hit) {
            if (handles != nullptr) handles[hits] = object->handle();
            ++hits;
        }
        ++i;
    }
    if (i < objects_.count()) {
        next_ = objects_.at(i)->handle();
    } else {
        done_ = true;
    }
    return CKR_OK;
}

CK_RV pkcs11_object_finder::find(access_level level, CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG* found) {
    if (found == nullptr) return CKR_ARGUMENTS_BAD;
    *found = 0;
    const CK_ULONG limit = (handles == nullptr && max == 0) ? count_limit : max;
    CK_ULONG hits = 0;
    const CK_RV rv = walk(true, level, handles, limit, hits);
    *found = hits;
    return rv;
}

CK_RV pkcs11_object_finder::find_internal(std::vector<CK_OBJECT_HANDLE>& handles) {
    handles.clear();
    started_ = false;
    done_ = false;
    CK_OBJECT_HANDLE buffer[internal_limit];
    CK_ULONG hits = 0;
    const CK_RV rv = walk(false, access_level::rw_user, buffer, internal_limit, hits);
    if (rv != CKR_OK) return rv;
    try {
        handles.assign(buffer, buffer + hits);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
    return CKR_OK;
}

}  // namespace pkcs11
