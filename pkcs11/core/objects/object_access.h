// Who may do what to which object: the session's access level against the
// object's kind, for each object operation. A pure table.
#pragma once

#include <pkcs11_vendor.h>

namespace pkcs11 {

// The session's access level. The numbering is the module's own and differs
// from CK_STATE: level 1 is RW public, level 2 is RO user.
enum class access_level : int {
    ro_public = 0,
    rw_public = 1,
    ro_user = 2,
    rw_user = 3,
    rw_so = 4,
};

// The level of a session state; a state the module does not know gets the
// narrowest level.
access_level access_level_of(CK_STATE state);

// An object's kind, from its CKA_TOKEN and CKA_PRIVATE.
enum class object_kind : int {
    session_public = 1,
    session_private = 2,
    token_public = 3,
    token_private = 4,
};

constexpr bool is_token_kind(object_kind kind) {
    return kind == object_kind::token_public || kind == object_kind::token_private;
}
constexpr bool is_private_kind(object_kind kind) {
    return kind == object_kind::session_private || kind == object_kind::token_private;
}

enum class object_operation {
    create,
    copy,      // checked for the source and for the resulting object
    destroy,
    set,       // C_SetAttributeValue
    generate,  // C_GenerateKey, C_GenerateKeyPair, C_UnwrapKey, C_DeriveKey
    read,      // C_GetAttributeValue
};

// Whether the level sees objects of the kind at all (searches, key lookups,
// attribute reads): user levels see every kind, the others public kinds only.
bool object_visible(access_level level, object_kind kind);

// CKR_OK, or the denial code:
// - a change (every operation but read) of a token object in a read-only
//   session: CKR_SESSION_READ_ONLY;
// - a change of a private object in a session without the user:
//   CKR_USER_NOT_LOGGED_IN;
// - a read of a private object in a session without the user:
//   CKR_ATTRIBUTE_SENSITIVE (for the whole C_GetAttributeValue).
CK_RV object_access(access_level level, object_operation operation, object_kind kind);

}  // namespace pkcs11
