#include "card_key_ctx.h"

#include <new>

#include "bluekey_ctx.h"
#include "ecdsa_ctx.h"
#include "card_commands.h"
#include "containers/container_manager.h"
#include "token_card.h"
#include "token_objects.h"
#include "token_info.h"

namespace pkcs11 {

namespace {

// The card commands of the context on the token's device.
class token_cipher_port final : public pkcs11_card_cipher_port {
public:
    explicit token_cipher_port(pkcs11_token& token) : token_(token) {}

    std::int32_t load_saved(std::uint32_t algorithm, std::uint8_t saved) override {
        return on_device(token_, [&](solvantex::card_handle h) {
            std::int32_t status = solvantex::card_gen_session_key(h, card_work_slot, algorithm);
            if (status == 0) status = solvantex::card_load_session(h, card_work_slot, saved);
            return status;
        });
    }
    std::int32_t import_key(std::uint32_t algorithm, const std::uint8_t* key, std::int32_t length) override {
        return on_device(token_, [&](solvantex::card_handle h) {
            return solvantex::card_obtain_secret_key(h, card_work_slot, algorithm, key, length);
        });
    }
    std::int32_t crypt_init(std::uint8_t padding, const std::uint8_t* iv, std::int32_t iv_length) override {
        return on_device(token_, [&](solvantex::card_handle h) {
            return solvantex::card_sym_crypt_init(h, card_work_slot, padding, iv, iv_length);
        });
    }
    std::int32_t update(bool encrypt, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                        std::int32_t* out_length) override {
        return on_device(token_, [&](solvantex::card_handle h) {
            return encrypt ? solvantex::card_sym_encrypt_update(h, in, length, out, out_length)
                           : solvantex::card_sym_decrypt_update(h, in, length, out, out_length);
        });
    }
    std::int32_t final(bool encrypt, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                       std::int32_t* out_length) override {
        return on_device(token_, [&](solvantex::card_handle h) {
            return encrypt ? solvantex::card_sym_encrypt_final(h, in, length, out, out_length)
                           : solvantex::card_sym_decrypt_final(h, in, length, out, out_length);
        });
    }

private:
    pkcs11_token& token_;
};

pkcs11_card_key card_key_of(const pkcs11_object& key) {
    pkcs11_card_key facts;
    const pkcs11_attribute_mgr& a = key.attributes();
    facts.object_class = key.object_class();
    facts.local = card_generated_key(key);
    facts.has_card_key_id = a.get_u32(CKA_VENDOR_CARD_KEY_ID, facts.card_key_id);
    std::uint32_t value_len = 0;
    if (a.get_u32(CKA_VALUE_LEN, value_len)) facts.value_len = value_len;
    return facts;
}

CK_RV saved_slot_of(const pkcs11_object& key, std::uint8_t* saved) {
    std::uint32_t id = card_key_id_absent;
    const bool has = key.attributes().get_u32(CKA_VENDOR_CARD_KEY_ID, id);
    return card_saved_slot(has, id, saved);
}

CK_RV card_step_rv(pkcs11_token& token, std::int32_t status) {
    if (status == 0) return CKR_OK;
    if (status == 0x6982) return CKR_USER_NOT_LOGGED_IN;
    return device_failure(status, card_gone(token, status));
}

// An EC key as the ECDSA context reads it.
CK_RV ec_key_of(const pkcs11_object& key, pkcs11_ec_key& out) {
    out.object_class = key.object_class();
    const pkcs11_attribute* params = key.attributes().find(CKA_EC_PARAMS);
    const pkcs11_attribute* point = key.attributes().find(CKA_EC_POINT);
    try {
        if ((out.has_params = params != nullptr)) out.params = params->value;
        if ((out.has_point = point != nullptr)) out.point = point->value;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
    return CKR_OK;
}

}  // namespace

bool card_generated_key(const pkcs11_object& key) {
    const pkcs11_attribute* local = key.attributes().find(CKA_LOCAL);
    return key.is_token_object() && key.object_class() == CKO_SECRET_KEY && local != nullptr &&
           local->value.size() == 1 && local->value[0] == 1 && key.attributes().find(CKA_VALUE) == nullptr;
}

CK_RV make_card_key_ctx(pkcs11_ctx_class ctx_class, const CK_MECHANISM& mechanism, pkcs11_object& key,
                        pkcs11_token* token, std::unique_ptr<pkcs11_key_ctx>& out) {
    if (ctx_class == pkcs11_ctx_class::hardware_ecdsa) {
        // Verification runs in software on the key's point (a token key's
        // is read from the card first); a private key signs on the card in
        // its container's slot.
        ecdsa_card_signer signer;
        CK_RV rv = CKR_OK;
        if (token != nullptr) {
            pkcs11_container_manager& containers = token->objects().containers();
            rv = containers.read_values(key);
            if (rv != CKR_OK) return rv;
            if (key.object_class() == CKO_PRIVATE_KEY) signer = containers.ecdsa_signer(pkcs11_object_ref(&key));
        }
        if (key.object_class() == CKO_PRIVATE_KEY && !signer) return CKR_MECHANISM_INVALID;
        pkcs11_ec_key ec;
        rv = ec_key_of(key, ec);
        if (rv != CKR_OK) return rv;
        out.reset(new (std::nothrow) pkcs11_hardware_ecdsa_ctx(mechanism, std::move(ec), std::move(signer)));
        return out ? CKR_OK : CKR_HOST_MEMORY;
    }
    if (token == nullptr || ctx_class != pkcs11_ctx_class::bluekey_symetric) return CKR_MECHANISM_INVALID;
    std::unique_ptr<pkcs11_card_cipher_port> port(new (std::nothrow) token_cipher_port(*token));
    if (!port) return CKR_HOST_MEMORY;
    out.reset(new (std::nothrow) pkcs11_bluekey_symetric_ctx(mechanism, card_key_of(key), std::move(port)));
    return out ? CKR_OK : CKR_HOST_MEMORY;
}

CK_RV card_generated_key_type(CK_MECHANISM_TYPE type, bool has_value_len, CK_ULONG value_len,
                              std::uint32_t* algorithm) {
    if (type != CKM_AES_KEY_GEN && type != CKM_GENERIC_SECRET_KEY_GEN) return CKR_MECHANISM_INVALID;
    if (!has_value_len) return CKR_ATTRIBUTE_TYPE_INVALID;
    *algorithm = card_aes_type(value_len, false);
    return *algorithm != 0 ? CKR_OK : CKR_KEY_SIZE_RANGE;
}

CK_RV card_generate_saved_key(pkcs11_token& token, const pkcs11_object& key, std::uint32_t algorithm) {
    std::uint8_t saved = 0;
    const CK_RV rv = saved_slot_of(key, &saved);
    if (rv != CKR_OK) return rv;
    return card_step_rv(token, on_device(token, [&](solvantex::card_handle h) {
        std::int32_t status = solvantex::card_gen_session_key(h, card_work_slot, algorithm);
        if (status == 0) status = solvantex::card_save_session(h, card_work_slot, saved);
        return status;
    }));
}

CK_RV card_copy_saved_key(pkcs11_token& token, const pkcs11_object& source, const pkcs11_object& copy) {
    std::uint8_t from = 0;
    std::uint8_t to = 0;
    CK_RV rv = saved_slot_of(source, &from);
    if (rv == CKR_OK) rv = saved_slot_of(copy, &to);
    if (rv != CKR_OK) return CKR_FUNCTION_NOT_SUPPORTED;
    return card_step_rv(token, on_device(token, [&](solvantex::card_handle h) {
        std::int32_t status = solvantex::card_load_session(h, card_work_slot, from);
        if (status == 0) status = solvantex::card_save_session(h, card_work_slot, to);
        return status;
    }));
}

}  // namespace pkcs11
