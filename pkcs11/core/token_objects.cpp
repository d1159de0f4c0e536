// Session objects only: each token's list lives here, keyed by the token's
// identity. Token objects are not stored by this list.
#include "token_objects.h"

#include <map>

#include "objects/object_access.h"
#include "objects/object_mgr.h"

namespace pkcs11 {

namespace {

pkcs11_object_mgr& objects_of(const pkcs11_token& token) {
    static std::map<std::uint64_t, pkcs11_object_mgr> lists;
    return lists[token.identity()];
}

}  // namespace

CK_RV find_session_key(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle, pkcs11_object_ref& out) {
    pkcs11_object_ref object = objects_of(token).find(handle);
    if (!object || !object_visible(access_level_of(session.state), object->kind())) return CKR_OBJECT_HANDLE_INVALID;
    out = std::move(object);
    return CKR_OK;
}

CK_RV add_new_object(pkcs11_session& session, pkcs11_token& token, const pkcs11_object_ref& object) {
    const CK_RV rv = object_access(access_level_of(session.state), object_operation::create, object->kind());
    if (rv != CKR_OK) return rv;
    if (object->is_token_object()) return CKR_FUNCTION_NOT_SUPPORTED;
    return objects_of(token).append(object) != 0 ? CKR_OK : CKR_HOST_MEMORY;
}

}  // namespace pkcs11
