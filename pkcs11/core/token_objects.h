// The objects of a token: its object list (session and token objects of
// every class), its card stores, and the object calls on them. Under the
// global lock; the exports check their pointers first.
//
// Who sees what: a session sees the objects its access level allows (user
// sessions every kind, the others public objects only); an object it
// cannot see is unknown to key lookups. Changes follow the access table of
// object_access: a token object in a read-only session gives
// CKR_SESSION_READ_ONLY, a private object without the user
// CKR_USER_NOT_LOGGED_IN.
//
// Lifetimes: session objects leave with their session; a logout drops the
// token's private data objects, certificates and keys; a format, a reload
// and a reconnect drop every token object (session objects stay). Objects
// in use by a search or an operation stay valid through their reference.
//
// Kept on purpose: destroying a token public key does no card work; a
// private object's C_GetAttributeValue in a public session gives
// CKR_ATTRIBUTE_SENSITIVE for the whole call.
#pragma once

#include <pkcs11_vendor.h>

#include "containers/container_manager.h"
#include "objects/object_mgr.h"
#include "objects/object_store.h"
#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// The object side of one token.
class pkcs11_token_objects {
public:
    explicit pkcs11_token_objects(pkcs11_token& token);
    pkcs11_token_objects(const pkcs11_token_objects&) = delete;
    pkcs11_token_objects& operator=(const pkcs11_token_objects&) = delete;

    pkcs11_object_mgr& list() { return list_; }
    pkcs11_object_store& store() { return store_; }
    // The key containers: they serve the store's certificates and keys.
    pkcs11_container_manager& containers() { return containers_; }

    // Format, reload, reconnect: every token object leaves, the stores are
    // read again on the next need.
    void drop_token_objects();
    // Logout: the private data objects, certificates and keys of the token.
    void drop_at_logout();

private:
    pkcs11_object_mgr list_;
    pkcs11_object_store store_;
    pkcs11_container_manager containers_;
};

// The listed object with that handle if the session's access level sees
// it, else CKR_OBJECT_HANDLE_INVALID (a key the session cannot see is
// unknown).
CK_RV find_session_key(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle,
                       pkcs11_object_ref& out);
// An object an operation made (generated, unwrapped, derived), complete
// with its value: the session's write access for its kind, then a token
// object is stored on the card, and the object is listed.
CK_RV add_new_object(pkcs11_session& session, pkcs11_token& token, const pkcs11_object_ref& object);

CK_RV create_object(pkcs11_session& session, pkcs11_token& token, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                    CK_OBJECT_HANDLE& handle);
CK_RV copy_object(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE source, const CK_ATTRIBUTE* tmpl,
                  CK_ULONG count, CK_OBJECT_HANDLE& handle);
CK_RV destroy_object(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle);
CK_RV get_object_size(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle, CK_ULONG& size);
CK_RV get_attribute_value(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle,
                          CK_ATTRIBUTE* tmpl, CK_ULONG count);
CK_RV set_attribute_value(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle,
                          const CK_ATTRIBUTE* tmpl, CK_ULONG count);

CK_RV find_objects_init(pkcs11_session& session, pkcs11_token& token, const CK_ATTRIBUTE* tmpl, CK_ULONG count);
CK_RV find_objects(pkcs11_session& session, CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG* found);
void find_objects_final(pkcs11_session& session);

// M_ReloadObjects: the token objects are dropped and every store read
// again.
CK_RV reload_objects(pkcs11_token& token);
// C_CloseSession: the objects the session made leave with it.
void drop_session_objects(pkcs11_token& token, CK_SESSION_HANDLE session);

}  // namespace pkcs11
