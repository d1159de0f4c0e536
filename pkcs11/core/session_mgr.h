// The open sessions of all slots. Handles come from one counter of the
// module that starts at 1000 and never repeats while the module is loaded,
// also across C_Finalize and in a child made by fork(). Every operation runs
// under the module's global lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <pkcs11_vendor.h>

#include "operations/operation_slot.h"

namespace pkcs11 {

class pkcs11_object_finder;

struct pkcs11_session {
    CK_SESSION_HANDLE handle = 0;
    CK_SLOT_ID slot_id = 0;
    // The identity of the token the session was opened on (0: none).
    std::uint64_t token = 0;
    CK_STATE state = CKS_RW_PUBLIC_SESSION;
    CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    // The search in progress, from C_FindObjectsInit to C_FindObjectsFinal.
    std::shared_ptr<pkcs11_object_finder> search;
    // The running operations: one digest, one cipher (encryption or
    // decryption) and one signature (signing or verification) at a time.
    pkcs11_operation_slot digest_op;
    pkcs11_operation_slot cipher_op;
    pkcs11_operation_slot signature_op;
};

class pkcs11_session_mgr {
public:
    // A new read-write public session on the slot; its handle.
    CK_SESSION_HANDLE add(CK_SLOT_ID slot_id, std::uint64_t token = 0);
    pkcs11_session* find(CK_SESSION_HANDLE handle);
    // False when no session has that handle.
    bool close(CK_SESSION_HANDLE handle);
    void close_slot(CK_SLOT_ID slot_id);
    // The sessions recorded on a slot id (of any token that held it).
    std::vector<pkcs11_session*> of_slot(CK_SLOT_ID slot_id);
    // The sessions of a token.
    std::vector<pkcs11_session*> of_token(std::uint64_t token);
    void close_all();
    std::size_t count() const { return sessions_.size(); }

private:
    std::map<CK_SESSION_HANDLE, pkcs11_session> sessions_;
};

// The next handle of the module's session counter.
CK_SESSION_HANDLE next_session_handle();

}  // namespace pkcs11
