// RSA through the C_* calls: the operation contexts of a token's RSA keys
// (the private side on the card, the public side in software) and key-pair
// generation on the card into a container.
#pragma once

#include <pkcs11_vendor.h>

#include <memory>

#include "key_ctx.h"
#include "mechanism_table.h"
#include "objects/object.h"
#include "operations/operation_slot.h"
#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

// Whether a context class is one of the card's RSA contexts.
bool is_hardware_rsa(pkcs11_ctx_class ctx_class);

// The RSA context of that class for a key of the token (a key of another
// type: CKR_KEY_TYPE_INCONSISTENT).
CK_RV make_token_rsa_ctx(pkcs11_token& token, pkcs11_ctx_class ctx_class, const CK_MECHANISM& mechanism,
                         pkcs11_object& key, std::unique_ptr<pkcs11_key_ctx>& out);

// C_GenerateKeyPair after its argument checks: CKM_RSA_PKCS_KEY_PAIR_GEN,
// CKM_RSA_X9_31_KEY_PAIR_GEN and CKM_EC_KEY_PAIR_GEN (others:
// CKR_MECHANISM_INVALID); both keys
// are token objects (a private template that says otherwise:
// CKR_TEMPLATE_INCONSISTENT), listed once the card holds the pair.
CK_RV generate_key_pair(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                        const CK_ATTRIBUTE* public_template, CK_ULONG public_count,
                        const CK_ATTRIBUTE* private_template, CK_ULONG private_count, CK_OBJECT_HANDLE& public_key,
                        CK_OBJECT_HANDLE& private_key);

}  // namespace pkcs11
