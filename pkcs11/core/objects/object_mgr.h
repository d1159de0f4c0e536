// The object list of a token: session and token objects of every class in
// insertion order. The list holds one reference to each object; removing
// an object drops that reference, so an operation or search that still
// holds its own keeps a valid (but unlisted) object.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "object.h"

namespace pkcs11 {

class pkcs11_object_mgr {
public:
    pkcs11_object_mgr() = default;
    ~pkcs11_object_mgr();
    pkcs11_object_mgr(const pkcs11_object_mgr&) = delete;
    pkcs11_object_mgr& operator=(const pkcs11_object_mgr&) = delete;

    // Appends an object that is not listed yet; the new count, or 0 when
    // memory runs out or the object is listed already.
    std::size_t append(const pkcs11_object_ref& object);
    // The listed object with the handle, or none.
    pkcs11_object_ref find(CK_OBJECT_HANDLE handle) const;
    // Unlinks the object; false when it is not listed.
    bool remove(CK_OBJECT_HANDLE handle);

    // The walks of session close, logout and reload; each returns how many
    // objects left the list.
    // Session objects (CKA_TOKEN not TRUE) made by the session.
    std::size_t remove_session_objects(CK_SESSION_HANDLE session);
    // Private data objects.
    std::size_t remove_private_data_objects();
    // Certificates, public keys and private keys.
    std::size_t remove_certificates_and_keys();
    // Every token object; session objects stay.
    std::size_t remove_token_objects();
    // What a logout drops: the token's private data objects, certificates
    // and keys (secret keys and public data objects stay, and so does every
    // session object).
    std::size_t remove_logout_objects();
    void clear();

    std::size_t count() const { return objects_.size(); }
    const pkcs11_object_ref& at(std::size_t index) const { return objects_[index]; }
    // The position of a listed handle, or count().
    std::size_t index_of(CK_OBJECT_HANDLE handle) const;
    // Changes with every append and removal.
    std::uint64_t generation() const { return generation_; }

private:
    std::size_t remove_if(const std::function<bool(const pkcs11_object&)>& pred);

    std::vector<pkcs11_object_ref> objects_;
    std::uint64_t generation_ = 0;
};

}  // namespace pkcs11
