// The contexts whose keys live on the card, made for a token: AES with
// token secret keys and ECDSA, and the card work of token secret keys that
// the card generates (generation and copy).
#pragma once

#include <memory>

#include <pkcs11_vendor.h>

#include "key_ctx.h"
#include "mechanism_table.h"
#include "objects/object.h"
#include "token_mgr.h"

namespace pkcs11 {

// The card-symmetric context of a token secret key (CKR_MECHANISM_INVALID
// without a token), or the ECDSA context of an EC key: a public key
// verifies in software, a token's private key signs on the card in its
// container (a private key without a token: CKR_MECHANISM_INVALID).
CK_RV make_card_key_ctx(pkcs11_ctx_class ctx_class, const CK_MECHANISM& mechanism, pkcs11_object& key,
                        pkcs11_token* token, std::unique_ptr<pkcs11_key_ctx>& out);

// The card's AES type of a key that the card generates: CKM_AES_KEY_GEN and
// CKM_GENERIC_SECRET_KEY_GEN with CKA_VALUE_LEN 16, 24 or 32 (else
// CKR_KEY_SIZE_RANGE; without one CKR_ATTRIBUTE_TYPE_INVALID, as in software).
CK_RV card_generated_key_type(CK_MECHANISM_TYPE type, bool has_value_len, CK_ULONG value_len,
                              std::uint32_t* algorithm);
// A fresh key of that type generated into the saved slot of the stored
// key's CKA_VENDOR_CARD_KEY_ID.
CK_RV card_generate_saved_key(pkcs11_token& token, const pkcs11_object& key, std::uint32_t algorithm);
// The copy of a card-generated key takes the source's key into its own
// saved slot (LoadSession, then SaveSession); nothing to do for other keys.
CK_RV card_copy_saved_key(pkcs11_token& token, const pkcs11_object& source, const pkcs11_object& copy);
// Whether a key's value lives in a saved slot on the card.
bool card_generated_key(const pkcs11_object& key);

}  // namespace pkcs11
