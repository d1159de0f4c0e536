#include "object_access.h"

namespace pkcs11 {

namespace {

bool read_only(access_level level) { return level == access_level::ro_public || level == access_level::ro_user; }

bool user(access_level level) { return level == access_level::ro_user || level == access_level::rw_user; }

}  // namespace

access_level access_level_of(CK_STATE state) {
    switch (state) {
        case CKS_RO_USER_FUNCTIONS:
            return access_level::ro_user;
        case CKS_RW_PUBLIC_SESSION:
            return access_level::rw_public;
        case CKS_RW_USER_FUNCTIONS:
            return access_level::rw_user;
        case CKS_RW_SO_FUNCTIONS:
            return access_level::rw_so;
        case CKS_RO_PUBLIC_SESSION:
        default:
            return access_level::ro_public;
    }
}

bool object_visible(access_level level, object_kind kind) { return user(level) || !is_private_kind(kind); }

CK_RV object_access(access_level level, object_operation operation, object_kind kind) {
    if (operation == object_operation::read)
        return object_visible(level, kind) ? CKR_OK : CKR_ATTRIBUTE_SENSITIVE;
    if (is_token_kind(kind) && read_only(level)) return CKR_SESSION_READ_ONLY;
    if (is_private_kind(kind) && !user(level)) return CKR_USER_NOT_LOGGED_IN;
    return CKR_OK;
}

}  // namespace pkcs11
