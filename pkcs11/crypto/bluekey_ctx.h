// AES with token secret keys, run by the card: the key is brought into the
// card's session-key slot 2 at every Init (loaded from its saved slot for a
// key the card generated, imported from its value otherwise) and the data
// goes through the card's cipher commands in chunks of at most 1024 bytes.
//
// Every step works out its exact output before it sends anything: a short
// buffer gets CKR_BUFFER_TOO_SMALL with that length, nothing consumed or
// sent. Encryption keeps back the bytes short of a block (a whole block
// when nothing follows it in the chunk); decryption keeps back at least one
// whole block, which only Final may strip of its padding.
#pragma once

#include "algo.h"
#include "data_buffer.h"
#include "key_ctx.h"

#include <cstdint>
#include <memory>

namespace pkcs11 {

constexpr std::size_t card_cipher_chunk = 1024;
constexpr std::uint8_t card_work_slot = 2;
// Card-local key ids 0..15 map to saved slots 3..18.
constexpr std::uint32_t card_saved_slot_base = 3;
constexpr std::uint32_t card_key_ids = 16;
constexpr std::uint32_t card_key_id_absent = 0xFFFFFFFFu;

// The card commands of the context, on the token's device, each giving the
// card layer's result (0 for success).
class pkcs11_card_cipher_port {
public:
    virtual ~pkcs11_card_cipher_port() = default;
    // GenSessionKey(slot, algorithm), then LoadSession(slot, saved).
    virtual std::int32_t load_saved(std::uint32_t algorithm, std::uint8_t saved) = 0;
    // The key value into slot under a freshly agreed key-encryption key.
    virtual std::int32_t import_key(std::uint32_t algorithm, const std::uint8_t* key, std::int32_t length) = 0;
    virtual std::int32_t crypt_init(std::uint8_t padding, const std::uint8_t* iv, std::int32_t iv_length) = 0;
    virtual std::int32_t update(bool encrypt, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                                std::int32_t* out_length) = 0;
    virtual std::int32_t final(bool encrypt, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                               std::int32_t* out_length) = 0;
};

// What the context knows of its key object.
struct pkcs11_card_key {
    CK_OBJECT_CLASS object_class = 0;
    // CKA_LOCAL TRUE: the card made the key and keeps it in a saved slot.
    bool local = false;
    bool has_card_key_id = false;
    std::uint32_t card_key_id = card_key_id_absent;
    // CKA_VALUE_LEN of a card-made key (0: none).
    std::uint32_t value_len = 0;
};

// The card's AES type for a key of that many bytes (16, 24, 32) in ECB or
// CBC; 0 for any other length.
std::uint32_t card_aes_type(std::size_t key_length, bool cbc);
// The saved slot of a card-local key id: CKR_ATTRIBUTE_TYPE_INVALID for an
// absent id (-1), CKR_ATTRIBUTE_VALUE_INVALID for one beyond the saved
// slots.
CK_RV card_saved_slot(bool has_id, std::uint32_t id, std::uint8_t* saved);

class pkcs11_bluekey_symetric_ctx final : public pkcs11_key_ctx {
public:
    pkcs11_bluekey_symetric_ctx(const CK_MECHANISM& mechanism, const pkcs11_card_key& key,
                                std::unique_ptr<pkcs11_card_cipher_port> port);

    CK_RV encrypt_init(const pkcs11_key_value& key) override { return init(key); }
    CK_RV decrypt_init(const pkcs11_key_value& key) override { return init(key); }
    CK_RV encrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return update(true, in, in_len, out, out_len);
    }
    CK_RV decrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return update(false, in, in_len, out, out_len);
    }
    CK_RV encrypt_final(CK_BYTE* out, CK_ULONG* out_len) override { return final(true, out, out_len); }
    CK_RV decrypt_final(CK_BYTE* out, CK_ULONG* out_len) override { return final(false, out, out_len); }
    CK_RV encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return one_shot(true, in, in_len, out, out_len);
    }
    CK_RV decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return one_shot(false, in, in_len, out, out_len);
    }

    bool card_results() const override { return true; }

private:
    CK_RV init(const pkcs11_key_value& value);
    CK_RV update(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);
    CK_RV final(bool encrypt, CK_BYTE* out, CK_ULONG* out_len);
    CK_RV one_shot(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);
    // The length Final sends and the bytes it gives (at most, when padding
    // is stripped), or an error for input that cannot end there.
    CK_RV final_lengths(bool encrypt, std::size_t rest, std::size_t* output) const;
    // `length` bytes through the card in chunks with Update; the output
    // lengths must match the input.
    CK_RV send_updates(bool encrypt, const std::uint8_t* in, std::size_t length, std::uint8_t* out);
    CK_RV send_final(bool encrypt, const std::uint8_t* in, std::size_t length, std::uint8_t* out, std::size_t expected,
                     std::size_t* written);

    pkcs11_card_key key_;
    std::unique_ptr<pkcs11_card_cipher_port> port_;
    pkcs11_algo algo_;
    pkcs11_data_buffer buffer_;
};

}  // namespace pkcs11
