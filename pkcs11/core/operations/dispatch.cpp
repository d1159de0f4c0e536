#include "dispatch.h"

#include "card_key_ctx.h"
#include "containers/rsa_operations.h"
#include "mechanism_table.h"

namespace pkcs11 {

namespace {

// The key attribute an Init needs, none for digests.
CK_ATTRIBUTE_TYPE usage_attribute(operation_kind kind) {
    switch (kind) {
        case operation_kind::encrypt: return CKA_ENCRYPT;
        case operation_kind::decrypt: return CKA_DECRYPT;
        case operation_kind::sign: return CKA_SIGN;
        case operation_kind::verify: return CKA_VERIFY;
        case operation_kind::digest: break;
    }
    return 0;
}

CK_FLAGS mechanism_flag(operation_kind kind) {
    switch (kind) {
        case operation_kind::encrypt: return CKF_ENCRYPT;
        case operation_kind::decrypt: return CKF_DECRYPT;
        case operation_kind::sign: return CKF_SIGN;
        case operation_kind::verify: return CKF_VERIFY;
        case operation_kind::digest: return CKF_DIGEST;
    }
    return 0;
}

// Whether the mechanism serves the operation. SHA-384 digests run although
// the table does not list them.
bool mechanism_serves(operation_kind kind, CK_MECHANISM_TYPE type) {
    const pkcs11_mechanism_row* row = find_mechanism(type);
    if (row == nullptr) return kind == operation_kind::digest && type == CKM_SHA384;
    return (row->flags & mechanism_flag(kind)) != 0;
}

bool is_software(pkcs11_ctx_class ctx_class) {
    switch (ctx_class) {
        case pkcs11_ctx_class::soft_des:
        case pkcs11_ctx_class::soft_des3:
        case pkcs11_ctx_class::soft_aes:
        case pkcs11_ctx_class::soft_rc2:
        case pkcs11_ctx_class::soft_rc4:
        case pkcs11_ctx_class::soft_hash:
            return true;
        default:
            return false;
    }
}

pkcs11_operation_slot& slot_of(pkcs11_session& session, operation_kind kind) {
    switch (kind) {
        case operation_kind::encrypt:
        case operation_kind::decrypt:
            return session.cipher_op;
        case operation_kind::sign:
        case operation_kind::verify:
            return session.signature_op;
        case operation_kind::digest:
            break;
    }
    return session.digest_op;
}

// The running operation of that kind, or null.
pkcs11_operation_slot* running(pkcs11_session& session, operation_kind kind) {
    pkcs11_operation_slot& slot = slot_of(session, kind);
    return slot.runs(kind) ? &slot : nullptr;
}

// The code the caller sees; the operation ends unless keep.
CK_RV conclude(pkcs11_operation_slot& slot, CK_RV rv, bool keep) {
    if (slot.ctx->card_results()) rv = card_result_rv(rv);
    if (!keep) slot.end();
    return rv;
}

CK_RV after_update(pkcs11_operation_slot& slot, CK_RV rv) {
    return conclude(slot, rv, rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL);
}

CK_RV after_final(pkcs11_operation_slot& slot, CK_RV rv, const void* output) {
    return conclude(slot, rv, rv == CKR_BUFFER_TOO_SMALL || (rv == CKR_OK && output == nullptr));
}

}  // namespace

CK_RV make_key_ctx(operation_kind kind, const CK_MECHANISM& mechanism, pkcs11_object* key,
                   std::unique_ptr<pkcs11_key_ctx>& out) {
    return make_token_key_ctx(kind, mechanism, key, out, nullptr);
}

CK_RV make_token_key_ctx(operation_kind kind, const CK_MECHANISM& mechanism, pkcs11_object* key,
                         std::unique_ptr<pkcs11_key_ctx>& out, pkcs11_token* token) {
    if (!mechanism_serves(kind, mechanism.mechanism)) return CKR_MECHANISM_INVALID;
    pkcs11_key_facts facts;
    if (key != nullptr) facts = key_facts_of(*key);
    const pkcs11_ctx_choice choice = choose_key_ctx(mechanism.mechanism, key != nullptr ? &facts : nullptr);
    if (choice.rv != CKR_OK) return choice.rv;
    // A token's RSA keys run in the card's RSA contexts; token AES keys and
    // ECDSA on the card as well.
    const bool rsa = is_hardware_rsa(choice.ctx_class) && key != nullptr && token != nullptr;
    const bool on_card = (choice.ctx_class == pkcs11_ctx_class::bluekey_symetric ||
                          choice.ctx_class == pkcs11_ctx_class::hardware_ecdsa) &&
                         key != nullptr;
    if (!is_software(choice.ctx_class) && !on_card && !rsa) return CKR_MECHANISM_INVALID;
    if (choice.set_key_type && key != nullptr) {
        const CK_RV rv = key->attributes().set_u32(CKA_KEY_TYPE, static_cast<std::uint32_t>(choice.key_type));
        if (rv != CKR_OK) return rv;
    }
    if (rsa) return make_token_rsa_ctx(*token, choice.ctx_class, mechanism, *key, out);
    if (on_card) return make_card_key_ctx(choice.ctx_class, mechanism, *key, token, out);
    out = make_soft_key_ctx(choice.ctx_class, mechanism);
    return out ? CKR_OK : CKR_HOST_MEMORY;
}

pkcs11_key_facts key_facts_of(const pkcs11_object& key) {
    pkcs11_key_facts facts;
    std::uint32_t value = 0;
    facts.is_token = key.is_token_object();
    facts.has_class = true;
    facts.object_class = key.object_class();
    facts.has_key_type = key.attributes().get_u32(CKA_KEY_TYPE, value);
    facts.key_type = value;
    return facts;
}

pkcs11_key_value key_value_of(const pkcs11_object* key) {
    pkcs11_key_value value;
    const pkcs11_attribute* a = key != nullptr ? key->attributes().find(CKA_VALUE) : nullptr;
    if (a != nullptr) {
        static const CK_BYTE empty = 0;
        value.data = a->value.empty() ? &empty : a->value.data();
        value.length = a->value.size();
    }
    return value;
}

CK_RV card_result_rv(CK_RV rv) {
    if (rv == 1) return CKR_DEVICE_REMOVED;
    if (rv == 2 || rv == 0x8005 || rv == 0x9000) return CKR_DEVICE_ERROR;
    if (rv == 0x6982) return CKR_USER_NOT_LOGGED_IN;
    // Status words of the card: 61xx to 6Fxx and 90xx to 9Fxx.
    if ((rv >= 0x6100 && rv <= 0x6FFF) || (rv >= 0x9000 && rv <= 0x9FFF)) return CKR_DEVICE_ERROR;
    return rv;
}

CK_RV operation_init(pkcs11_session& session, operation_kind kind, const CK_MECHANISM& mechanism,
                     const pkcs11_object_ref& key, const key_ctx_factory& factory) {
    pkcs11_operation_slot& slot = slot_of(session, kind);
    if (slot.running()) {
        if (kind != operation_kind::sign) return CKR_OPERATION_ACTIVE;
        slot.end();
    }
    const CK_ATTRIBUTE_TYPE usage = usage_attribute(kind);
    if (usage != 0) {
        const pkcs11_attribute* a = key ? key->attributes().find(static_cast<std::uint32_t>(usage)) : nullptr;
        if (a == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (a->value.size() != 1 || a->value[0] != 1) return CKR_KEY_TYPE_INCONSISTENT;
    }
    if (kind == operation_kind::encrypt || kind == operation_kind::decrypt) {
        const CK_RV rv = check_mechanism_param(mechanism);
        if (rv != CKR_OK) return rv;
    }
    std::unique_ptr<pkcs11_key_ctx> ctx;
    CK_RV rv = factory(kind, mechanism, key.get(), ctx);
    if (rv != CKR_OK) return rv;
    if (!ctx) return CKR_MECHANISM_INVALID;
    const pkcs11_key_value value = key_value_of(key.get());
    switch (kind) {
        case operation_kind::encrypt: rv = ctx->encrypt_init(value); break;
        case operation_kind::decrypt: rv = ctx->decrypt_init(value); break;
        case operation_kind::sign: rv = ctx->sign_init(value); break;
        case operation_kind::verify: rv = ctx->verify_init(value); break;
        case operation_kind::digest: rv = ctx->digest_init(); break;
    }
    if (rv != CKR_OK) return ctx->card_results() ? card_result_rv(rv) : rv;
    slot.kind = kind;
    slot.ctx = std::move(ctx);
    slot.key = key;
    return CKR_OK;
}

CK_RV operation_update(pkcs11_session& session, operation_kind kind, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                       CK_ULONG* out_len) {
    pkcs11_operation_slot* slot = running(session, kind);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    pkcs11_key_ctx& ctx = *slot->ctx;
    const CK_RV rv = kind == operation_kind::encrypt   ? ctx.encrypt_update(in, in_len, out, out_len)
                     : kind == operation_kind::decrypt ? ctx.decrypt_update(in, in_len, out, out_len)
                                                       : CKR_OPERATION_NOT_INITIALIZED;
    return after_update(*slot, rv);
}

CK_RV operation_update(pkcs11_session& session, operation_kind kind, const CK_BYTE* in, CK_ULONG in_len) {
    pkcs11_operation_slot* slot = running(session, kind);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    pkcs11_key_ctx& ctx = *slot->ctx;
    CK_RV rv = CKR_OPERATION_NOT_INITIALIZED;
    switch (kind) {
        case operation_kind::digest: rv = ctx.digest_update(in, in_len); break;
        case operation_kind::sign: rv = ctx.sign_update(in, in_len); break;
        case operation_kind::verify: rv = ctx.verify_update(in, in_len); break;
        default: break;
    }
    return after_update(*slot, rv);
}

CK_RV operation_final(pkcs11_session& session, operation_kind kind, CK_BYTE* out, CK_ULONG* out_len) {
    pkcs11_operation_slot* slot = running(session, kind);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    pkcs11_key_ctx& ctx = *slot->ctx;
    CK_RV rv = CKR_OPERATION_NOT_INITIALIZED;
    switch (kind) {
        case operation_kind::encrypt: rv = ctx.encrypt_final(out, out_len); break;
        case operation_kind::decrypt: rv = ctx.decrypt_final(out, out_len); break;
        case operation_kind::digest: rv = ctx.digest_final(out, out_len); break;
        case operation_kind::sign: rv = ctx.sign_final(out, out_len); break;
        case operation_kind::verify: break;
    }
    return after_final(*slot, rv, out);
}

CK_RV operation_one_shot(pkcs11_session& session, operation_kind kind, const CK_BYTE* in, CK_ULONG in_len,
                         CK_BYTE* out, CK_ULONG* out_len) {
    pkcs11_operation_slot* slot = running(session, kind);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    pkcs11_key_ctx& ctx = *slot->ctx;
    CK_RV rv = CKR_OPERATION_NOT_INITIALIZED;
    switch (kind) {
        case operation_kind::encrypt: rv = ctx.encrypt(in, in_len, out, out_len); break;
        case operation_kind::decrypt: rv = ctx.decrypt(in, in_len, out, out_len); break;
        case operation_kind::digest: rv = ctx.digest(in, in_len, out, out_len); break;
        case operation_kind::sign: rv = ctx.sign(in, in_len, out, out_len); break;
        case operation_kind::verify: break;
    }
    return after_final(*slot, rv, out);
}

CK_RV operation_verify(pkcs11_session& session, const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature,
                       CK_ULONG signature_len) {
    pkcs11_operation_slot* slot = running(session, operation_kind::verify);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    return after_final(*slot, slot->ctx->verify(in, in_len, signature, signature_len), signature);
}

CK_RV operation_verify_final(pkcs11_session& session, const CK_BYTE* signature, CK_ULONG signature_len) {
    pkcs11_operation_slot* slot = running(session, operation_kind::verify);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    return after_final(*slot, slot->ctx->verify_final(signature, signature_len), signature);
}

CK_RV operation_digest_key(pkcs11_session& session, const pkcs11_object_ref& key) {
    const pkcs11_key_value value = key_value_of(key.get());
    if (value.data == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    constexpr std::size_t max_digest_key = 256;
    if (value.length > max_digest_key) return CKR_BUFFER_TOO_SMALL;
    return operation_update(session, operation_kind::digest, value.data, static_cast<CK_ULONG>(value.length));
}

}  // namespace pkcs11
