// One running cryptographic operation of a session: its context, what it
// does, and a reference to its key object, which keeps the key valid while
// the operation runs even when the object leaves its token's list.
#pragma once

#include <memory>

#include "key_ctx.h"
#include "objects/object.h"

namespace pkcs11 {

enum class operation_kind { encrypt, decrypt, digest, sign, verify };

struct pkcs11_operation_slot {
    operation_kind kind = operation_kind::digest;
    std::unique_ptr<pkcs11_key_ctx> ctx;
    pkcs11_object_ref key;

    bool running() const { return ctx != nullptr; }
    bool runs(operation_kind k) const { return ctx != nullptr && kind == k; }
    // Deletes the context and lets go of the key.
    void end() {
        ctx.reset();
        key.reset();
    }
};

}  // namespace pkcs11
