#include "bluekey_ctx.h"

#include <limits>
#include <utility>

namespace pkcs11 {

namespace {

constexpr std::size_t aes_block_size = 16;
constexpr std::size_t max_key_value = 64;
// The card layer's "reply does not fit its form": the card answered
// something we cannot take.
constexpr std::int32_t card_reply_unfit = 3;
constexpr std::int32_t card_wrong_data = 0x6A80;

CK_RV card_rv(std::int32_t status) {
    if (status == card_reply_unfit) return CKR_DEVICE_ERROR;
    return static_cast<CK_RV>(static_cast<std::uint32_t>(status));
}

// The bytes an Update sends out of `pending` bytes at hand: whole chunks,
// then the whole blocks of the rest unless that rest is one block or less.
std::size_t sendable(std::size_t pending, std::size_t block) {
    const std::size_t full = pending / card_cipher_chunk * card_cipher_chunk;
    const std::size_t rest = pending - full;
    return full + (rest > block ? rest / block * block : 0);
}

}  // namespace

std::uint32_t card_aes_type(std::size_t key_length, bool cbc) {
    std::uint32_t type = 0;
    switch (key_length) {
        case 16: type = algo_aes_ecb; break;
        case 24: type = algo_aes_ecb + 0x10; break;
        case 32: type = algo_aes_ecb + 0x20; break;
        default: return 0;
    }
    return cbc ? type + 1 : type;
}

CK_RV card_saved_slot(bool has_id, std::uint32_t id, std::uint8_t* saved) {
    if (!has_id || id == card_key_id_absent) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (id >= card_key_ids) return CKR_ATTRIBUTE_VALUE_INVALID;
    *saved = static_cast<std::uint8_t>(id + card_saved_slot_base);
    return CKR_OK;
}

pkcs11_bluekey_symetric_ctx::pkcs11_bluekey_symetric_ctx(const CK_MECHANISM& mechanism, const pkcs11_card_key& key,
                                                         std::unique_ptr<pkcs11_card_cipher_port> port)
    : pkcs11_key_ctx(mechanism), key_(key), port_(std::move(port)),
      algo_(pkcs11_algo::for_mechanism(mechanism.mechanism)) {
    if (algo_.block_size == 0) algo_.block_size = aes_block_size;
}

CK_RV pkcs11_bluekey_symetric_ctx::init(const pkcs11_key_value& value) {
    buffer_.reset();
    if (key_.object_class != CKO_SECRET_KEY) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (!port_) return CKR_FUNCTION_FAILED;
    const CK_MECHANISM_TYPE type = mechanism().type;
    if (type != CKM_AES_ECB && type != CKM_AES_CBC && type != CKM_AES_CBC_PAD) return CKR_MECHANISM_INVALID;
    const bool cbc = type != CKM_AES_ECB;
    std::int32_t status = 0;
    if (key_.local) {
        std::uint8_t saved = 0;
        const CK_RV rv = card_saved_slot(key_.has_card_key_id, key_.card_key_id, &saved);
        if (rv != CKR_OK) return rv;
        const std::uint32_t algorithm = card_aes_type(key_.value_len != 0 ? key_.value_len : 16, cbc);
        if (algorithm == 0) return CKR_KEY_SIZE_RANGE;
        status = port_->load_saved(algorithm, saved);
    } else {
        if (value.data == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (value.length > max_key_value) return CKR_BUFFER_TOO_SMALL;
        const std::uint32_t algorithm = card_aes_type(value.length, cbc);
        if (algorithm == 0) return CKR_KEY_SIZE_RANGE;
        status = port_->import_key(algorithm, value.data, static_cast<std::int32_t>(value.length));
    }
    if (status != 0) return card_rv(status);
    const std::uint8_t padding = type == CKM_AES_CBC_PAD ? 1 : 0;
    const auto* iv = cbc ? static_cast<const std::uint8_t*>(mechanism().parameter) : nullptr;
    const std::int32_t iv_length = iv != nullptr ? static_cast<std::int32_t>(mechanism().parameter_length) : 0;
    status = port_->crypt_init(padding, iv, iv_length);
    if (status != 0) return card_rv(status);
    start();
    return CKR_OK;
}

CK_RV pkcs11_bluekey_symetric_ctx::send_updates(bool encrypt, const std::uint8_t* in, std::size_t length,
                                                std::uint8_t* out) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t part = length - done < card_cipher_chunk ? length - done : card_cipher_chunk;
        std::int32_t got = static_cast<std::int32_t>(part);
        const std::int32_t status =
            port_->update(encrypt, in + done, static_cast<std::int32_t>(part), out + done, &got);
        if (status != 0) return card_rv(status);
        if (got != static_cast<std::int32_t>(part)) return CKR_DEVICE_ERROR;
        done += part;
    }
    return CKR_OK;
}

CK_RV pkcs11_bluekey_symetric_ctx::send_final(bool encrypt, const std::uint8_t* in, std::size_t length,
                                              std::uint8_t* out, std::size_t expected, std::size_t* written) {
    std::int32_t got = static_cast<std::int32_t>(expected);
    const std::int32_t status = port_->final(encrypt, in, static_cast<std::int32_t>(length), out, &got);
    // The card refuses padding that does not check out with its wrong-data
    // status, which the caller knows as data that does not decrypt.
    if (status == card_wrong_data && !encrypt && algo_.padding != 0) return CKR_ENCRYPTED_DATA_INVALID;
    if (status != 0) return card_rv(status);
    // Only a stripped padding makes the output shorter than worked out.
    const bool exact = encrypt || algo_.padding == 0;
    if (got < 0 || static_cast<std::size_t>(got) > expected || (exact && static_cast<std::size_t>(got) != expected))
        return CKR_DEVICE_ERROR;
    *written = static_cast<std::size_t>(got);
    return CKR_OK;
}

CK_RV pkcs11_bluekey_symetric_ctx::update(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                                          CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    const std::size_t block = algo_.block_size;
    const std::size_t pending = buffer_.unread() + in_len;
    if (pending < buffer_.unread()) return fail(CKR_HOST_MEMORY);
    // Decryption keeps its last whole block back for Final.
    const std::size_t send = encrypt ? sendable(pending, block) : (pending > block ? sendable(pending - block, block) : 0);
    bool proceed = false;
    rv = offer_output(send, out, out_len, &proceed);
    if (!proceed) return rv;
    rv = buffer_.append(in, in_len);
    if (rv != CKR_OK) return fail(rv);
    rv = send_updates(encrypt, buffer_.data(), send, out);
    if (rv != CKR_OK) return fail(rv);
    buffer_.consume(send);
    return CKR_OK;
}

CK_RV pkcs11_bluekey_symetric_ctx::final_lengths(bool encrypt, std::size_t rest, std::size_t* output) const {
    const std::size_t block = algo_.block_size;
    if (encrypt) {
        if (algo_.padding != 0) {
            *output = (rest / block + 1) * block;
            return CKR_OK;
        }
        if (rest % block != 0) return CKR_DATA_LEN_RANGE;
    } else if (rest % block != 0 || (algo_.padding != 0 && rest == 0)) {
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    *output = rest;
    return CKR_OK;
}

CK_RV pkcs11_bluekey_symetric_ctx::final(bool encrypt, CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    const std::size_t rest = buffer_.unread();
    std::size_t needed = 0;
    rv = final_lengths(encrypt, rest, &needed);
    if (rv != CKR_OK) return fail(rv);
    bool proceed = false;
    rv = offer_output(needed, out, out_len, &proceed);
    if (!proceed) return rv;
    std::size_t written = 0;
    rv = send_final(encrypt, buffer_.data(), rest, out, needed, &written);
    buffer_.reset();
    if (rv != CKR_OK) return fail(rv);
    *out_len = static_cast<CK_ULONG>(written);
    finish();
    return CKR_OK;
}

CK_RV pkcs11_bluekey_symetric_ctx::one_shot(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                                            CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    const std::size_t n = in_len;
    std::size_t needed = 0;
    rv = final_lengths(encrypt, n, &needed);
    if (rv != CKR_OK) return fail(rv);
    bool proceed = false;
    rv = offer_output(needed, out, out_len, &proceed);
    if (!proceed) return rv;
    // Whole chunks with Update; Final takes the rest, which for decryption
    // is never empty, so the padding is always seen by Final.
    std::size_t chunks = n / card_cipher_chunk;
    if (!encrypt && n != 0) chunks = (n - 1) / card_cipher_chunk;
    const std::size_t head = chunks * card_cipher_chunk;
    rv = send_updates(encrypt, in, head, out);
    std::size_t written = 0;
    if (rv == CKR_OK) rv = send_final(encrypt, in + head, n - head, out + head, needed - head, &written);
    if (rv != CKR_OK) return fail(rv);
    *out_len = static_cast<CK_ULONG>(head + written);
    buffer_.reset();
    finish();
    return CKR_OK;
}

}  // namespace pkcs11
