#include "object_mgr.h"

#include <new>
#include <utility>

namespace pkcs11 {

pkcs11_object_mgr::~pkcs11_object_mgr() { clear(); }

std::size_t pkcs11_object_mgr::append(const pkcs11_object_ref& object) {
    if (!object || object->listed()) return 0;
    try {
        objects_.push_back(object);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    object->set_listed(true);
    ++generation_;
    return objects_.size();
}

std::size_t pkcs11_object_mgr::index_of(CK_OBJECT_HANDLE handle) const {
    for (std::size_t i = 0; i < objects_.size(); ++i)
        if (objects_[i]->handle() == handle) return i;
    return objects_.size();
}

pkcs11_object_ref pkcs11_object_mgr::find(CK_OBJECT_HANDLE handle) const {
    const std::size_t i = index_of(handle);
    return i < objects_.size() ? objects_[i] : pkcs11_object_ref();
}

bool pkcs11_object_mgr::remove(CK_OBJECT_HANDLE handle) {
    return remove_if([handle](const pkcs11_object& o) { return o.handle() == handle; }) != 0;
}

std::size_t pkcs11_object_mgr::remove_if(const std::function<bool(const pkcs11_object&)>& pred) {
    // Kept objects move to the front in their order, dropped ones to the
    // back; the list is whole again before the first release runs.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        if (pred(*objects_[i])) continue;
        if (i != kept) std::swap(objects_[kept], objects_[i]);
        ++kept;
    }
    const std::size_t dropped = objects_.size() - kept;
    if (dropped != 0) ++generation_;
    for (std::size_t i = kept; i < objects_.size(); ++i) objects_[i]->set_listed(false);
    while (objects_.size() > kept) objects_.pop_back();
    return dropped;
}

std::size_t pkcs11_object_mgr::remove_session_objects(CK_SESSION_HANDLE session) {
    return remove_if([session](const pkcs11_object& o) { return !o.is_token_object() && o.session() == session; });
}

std::size_t pkcs11_object_mgr::remove_private_data_objects() {
    return remove_if([](const pkcs11_object& o) {
        return o.object_class() == CKO_DATA && o.attributes().is_true(CKA_PRIVATE);
    });
}

std::size_t pkcs11_object_mgr::remove_certificates_and_keys() {
    return remove_if([](const pkcs11_object& o) {
        const CK_OBJECT_CLASS c = o.object_class();
        return c == CKO_CERTIFICATE || c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY;
    });
}

std::size_t pkcs11_object_mgr::remove_token_objects() {
    return remove_if([](const pkcs11_object& o) { return o.is_token_object(); });
}

std::size_t pkcs11_object_mgr::remove_logout_objects() {
    return remove_if([](const pkcs11_object& o) {
        if (!o.is_token_object()) return false;
        const CK_OBJECT_CLASS c = o.object_class();
        if (c == CKO_DATA) return o.attributes().is_true(CKA_PRIVATE);
        return c == CKO_CERTIFICATE || c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY;
    });
}

void pkcs11_object_mgr::clear() {
    remove_if([](const pkcs11_object&) { return true; });
}

}  // namespace pkcs11
