#include "rsa_ctx.h"

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include <cstring>

#include "protocol/status.h"
#include "sm/random.h"

namespace pkcs11 {

namespace {

constexpr std::uint8_t x931_trailer = 0xCC;
constexpr std::size_t max_digest = 64;

// A card reply area: the largest signature or plaintext and room for a
// card that answers more than it should.
constexpr std::size_t card_area = 2 * rsa_max_bytes;

std::size_t skip_zeros(const std::uint8_t* p, std::size_t length) {
    std::size_t i = 0;
    while (i < length && p[i] == 0) ++i;
    return i;
}

// A wiped scratch area.
struct scratch {
    std::uint8_t bytes[card_area];
    scratch() { std::memset(bytes, 0, sizeof bytes); }
    ~scratch() { mbedtls_platform_zeroize(bytes, sizeof bytes); }
};

}  // namespace

CK_RV rsa_bits_of_modulus(const std::uint8_t* modulus, std::size_t length, std::uint32_t& bits) {
    if (modulus == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    const std::size_t significant = length - skip_zeros(modulus, length);
    if (significant != 128 && significant != 256) return CKR_KEY_SIZE_RANGE;
    bits = static_cast<std::uint32_t>(significant * 8);
    return CKR_OK;
}

std::vector<std::uint8_t> rsa_minimal_exponent(const std::uint8_t* field, std::size_t length) {
    const std::size_t zeros = field == nullptr ? length : skip_zeros(field, length);
    if (zeros >= length) return std::vector<std::uint8_t>(1, 0);
    return std::vector<std::uint8_t>(field + zeros, field + length);
}

CK_RV rsa_card_rv(std::int32_t status, CK_RV refused) {
    switch (status) {
        case zervik::status_ok: return CKR_OK;
        case zervik::status_failed: return CKR_DEVICE_REMOVED;
        case zervik::sw_security_not_satisfied: return CKR_USER_NOT_LOGGED_IN;
        case zervik::sw_wrong_data: return refused;
        default: return CKR_DEVICE_ERROR;
    }
}

std::uint8_t x931_hash_byte(std::uint32_t hash_id) {
    switch (hash_id) {
        case algo_sha1: return 0x33;
        case algo_sha256: return 0x34;
        case algo_sha384: return 0x36;
        case algo_sha512: return 0x35;
        default: return 0xFF;
    }
}

CK_RV x931_encode(std::uint32_t hash_id, const std::uint8_t* data, std::size_t length, std::uint8_t* block,
                  std::size_t k) {
    const std::size_t content = length + (hash_id != 0 ? 1 : 0);
    if (content > k || k - content < 2 || k - content == 3) return CKR_DATA_INVALID;
    const std::size_t m = k - content;
    std::size_t at = 0;
    if (m == 2) {
        block[at++] = 0x6A;
    } else {
        block[at++] = 0x6B;
        std::memset(block + at, 0xBB, m - 3);
        at += m - 3;
        block[at++] = 0xBA;
    }
    if (length != 0) std::memcpy(block + at, data, length);
    at += length;
    if (hash_id != 0) block[at++] = x931_hash_byte(hash_id);
    block[at] = x931_trailer;
    return CKR_OK;
}

CK_RV x931_decode(const std::uint8_t* block, std::size_t k, std::size_t& offset, std::size_t& length) {
    if (k < 2 || block[k - 1] != x931_trailer) return CKR_DATA_INVALID;
    std::size_t at = 1;
    if (block[0] == 0x6B) {
        while (at < k - 1 && block[at] == 0xBB) ++at;
        if (at == 1 || at >= k - 1 || block[at] != 0xBA) return CKR_DATA_INVALID;
        ++at;
    } else if (block[0] != 0x6A) {
        return CKR_DATA_INVALID;
    }
    offset = at;
    length = k - 1 - at;
    return CKR_OK;
}

// ---- the handler -------------------------------------------------------

struct pkcs11_token_rsa_handler::public_key {
    mbedtls_rsa_context rsa;
    public_key() { mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0); }
    ~public_key() { mbedtls_rsa_free(&rsa); }
};

pkcs11_token_rsa_handler::pkcs11_token_rsa_handler(std::shared_ptr<pkcs11_rsa_card> card,
                                                   std::unique_ptr<pkcs11_rsa_key_source> key)
    : card_(std::move(card)), key_(std::move(key)) {}

pkcs11_token_rsa_handler::~pkcs11_token_rsa_handler() = default;

CK_OBJECT_CLASS pkcs11_token_rsa_handler::key_class() const {
    return key_ ? key_->key_class() : CK_UNAVAILABLE_INFORMATION;
}

CK_RV pkcs11_token_rsa_handler::key_length(std::size_t& k) {
    if (!key_) return CKR_KEY_HANDLE_INVALID;
    std::uint32_t bits = 0;
    const CK_RV rv = key_->modulus_bits(bits);
    if (rv != CKR_OK) return rv;
    if (bits != 1024 && bits != 2048) return CKR_KEY_SIZE_RANGE;
    k = bits / 8;
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::card_key(std::uint16_t& id) {
    if (!key_ || !card_) return CKR_KEY_HANDLE_INVALID;
    return key_->private_key_id(id);
}

CK_RV pkcs11_token_rsa_handler::load_public() {
    if (public_) return CKR_OK;
    if (!key_) return CKR_KEY_HANDLE_INVALID;
    std::size_t k = 0;
    CK_RV rv = key_length(k);
    if (rv != CKR_OK) return rv;
    std::vector<std::uint8_t> n, e;
    rv = key_->public_key(n, e);
    if (rv != CKR_OK) return rv;
    const std::size_t n_at = skip_zeros(n.data(), n.size());
    const std::size_t e_at = skip_zeros(e.data(), e.size());
    // The modulus must have the key's size; the card keeps at most 4 bytes of
    // exponent.
    if (n.size() - n_at != k || e.size() - e_at == 0 || e.size() - e_at > 4) return CKR_KEY_SIZE_RANGE;
    auto key = std::make_unique<public_key>();
    if (mbedtls_rsa_import_raw(&key->rsa, n.data() + n_at, n.size() - n_at, nullptr, 0, nullptr, 0, nullptr, 0,
                               e.data() + e_at, e.size() - e_at) != 0 ||
        mbedtls_rsa_complete(&key->rsa) != 0 || mbedtls_rsa_check_pubkey(&key->rsa) != 0)
        return CKR_KEY_TYPE_INCONSISTENT;
    public_ = std::move(key);
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::modulus(std::vector<std::uint8_t>& n) {
    const CK_RV rv = load_public();
    if (rv != CKR_OK) return rv;
    n.assign(mbedtls_rsa_get_len(&public_->rsa), 0);
    return mbedtls_mpi_write_binary(&public_->rsa.N, n.data(), n.size()) == 0 ? CKR_OK : CKR_HOST_MEMORY;
}

CK_RV pkcs11_token_rsa_handler::sign(std::uint32_t hash_id, const std::uint8_t* data, std::size_t length,
                                     std::uint8_t* out) {
    std::size_t k = 0;
    CK_RV rv = key_length(k);
    if (rv != CKR_OK) return rv;
    if (length > k - 11) return CKR_DATA_LEN_RANGE;
    std::uint16_t id = 0;
    rv = card_key(id);
    if (rv != CKR_OK) return rv;
    scratch area;
    std::size_t got = sizeof area.bytes;
    rv = rsa_card_rv(card_->sign(id, hash_id, data, length, area.bytes, &got), CKR_DATA_INVALID);
    if (rv != CKR_OK) return rv;
    if (got != k) return CKR_DEVICE_ERROR;
    std::memcpy(out, area.bytes, k);
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::verify(std::uint32_t hash_id, const std::uint8_t* data, std::size_t length,
                                       const std::uint8_t* signature, std::size_t signature_length) {
    std::size_t k = 0;
    CK_RV rv = key_length(k);
    if (rv != CKR_OK) return rv;
    if (length > k - 11) return CKR_DATA_LEN_RANGE;
    if (signature_length != k) return CKR_SIGNATURE_LEN_RANGE;
    rv = load_public();
    if (rv != CKR_OK) return rv;
    const mbedtls_md_type_t md = card_hash_to_digest(hash_id);
    if (hash_id != 0 && md == MBEDTLS_MD_NONE) return CKR_MECHANISM_INVALID;
    const int status = mbedtls_rsa_pkcs1_verify(&public_->rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, md,
                                                static_cast<unsigned int>(length), data, signature);
    return status == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV pkcs11_token_rsa_handler::encrypt(const std::uint8_t* data, std::size_t length, std::uint8_t* out) {
    std::size_t k = 0;
    CK_RV rv = key_length(k);
    if (rv != CKR_OK) return rv;
    if (length > k - 11) return CKR_DATA_LEN_RANGE;
    rv = load_public();
    if (rv != CKR_OK) return rv;
    const int status =
        mbedtls_rsa_pkcs1_encrypt(&public_->rsa, zervik::kas_random, nullptr, MBEDTLS_RSA_PUBLIC, length, data, out);
    if (status == 0) return CKR_OK;
    return status == MBEDTLS_ERR_RSA_RNG_FAILED ? CKR_FUNCTION_FAILED : CKR_DATA_INVALID;
}

CK_RV pkcs11_token_rsa_handler::decrypt(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                                        std::size_t& out_len) {
    std::size_t k = 0;
    CK_RV rv = key_length(k);
    if (rv != CKR_OK) return rv;
    if (length != k) return CKR_DATA_LEN_RANGE;
    std::uint16_t id = 0;
    rv = card_key(id);
    if (rv != CKR_OK) return rv;
    scratch area;
    std::size_t got = sizeof area.bytes;
    rv = rsa_card_rv(card_->decrypt(id, data, length, area.bytes, &got), CKR_ENCRYPTED_DATA_INVALID);
    if (rv != CKR_OK) return rv;
    // A PKCS #1 v1.5 plaintext leaves at least 11 bytes of padding.
    if (got > k - 11) return CKR_DEVICE_ERROR;
    if (got != 0) std::memcpy(out, area.bytes, got);
    out_len = got;
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::public_operation(std::uint8_t* block, std::size_t length, CK_RV refused) {
    std::size_t k = 0;
    CK_RV rv = key_length(k);
    if (rv != CKR_OK) return rv;
    if (length != k) return CKR_DATA_LEN_RANGE;
    rv = load_public();
    if (rv != CKR_OK) return rv;
    scratch area;
    if (mbedtls_rsa_public(&public_->rsa, block, area.bytes) != 0) return refused;
    std::memcpy(block, area.bytes, k);
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::private_operation(std::uint8_t* block, std::size_t length, CK_RV refused) {
    std::size_t k = 0;
    CK_RV rv = key_length(k);
    if (rv != CKR_OK) return rv;
    if (length != k) return CKR_DATA_LEN_RANGE;
    std::uint16_t id = 0;
    rv = card_key(id);
    if (rv != CKR_OK) return rv;
    scratch area;
    std::size_t got = sizeof area.bytes;
    rv = rsa_card_rv(card_->private_operation(id, block, length, area.bytes, &got), refused);
    if (rv != CKR_OK) return rv;
    if (got != k) return CKR_DEVICE_ERROR;
    std::memcpy(block, area.bytes, k);
    return CKR_OK;
}

// ---- the contexts ------------------------------------------------------

pkcs11_hardware_rsa_ctx::pkcs11_hardware_rsa_ctx(const CK_MECHANISM& mechanism, mode m,
                                                 std::shared_ptr<pkcs11_rsa_card> card,
                                                 std::unique_ptr<pkcs11_rsa_key_source> key)
    : pkcs11_key_ctx(mechanism),
      mode_(m),
      algo_(pkcs11_algo::for_mechanism(mechanism.mechanism)),
      handler_(std::move(card), std::move(key)) {
    mbedtls_md_init(&md_);
}

pkcs11_hardware_rsa_ctx::~pkcs11_hardware_rsa_ctx() { mbedtls_md_free(&md_); }

// ---- encryption and decryption: PKCS #1 and raw, one-shot only ----

CK_RV pkcs11_hardware_rsa_ctx::start_cipher(CK_OBJECT_CLASS wanted) {
    if (mode_ != mode::pkcs && mode_ != mode::raw) return CKR_MECHANISM_INVALID;
    if (handler_.key_class() != wanted) return CKR_TEMPLATE_INCONSISTENT;
    start();
    return CKR_OK;
}

CK_RV pkcs11_hardware_rsa_ctx::offer_block(bool decrypting, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                                           CK_ULONG* out_len, std::size_t& k, bool& proceed) {
    proceed = false;
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    rv = handler_.key_length(k);
    if (rv != CKR_OK) return fail(rv);
    // Exactly k bytes, but at most k - 11 for a PKCS #1 encryption.
    const bool exact = decrypting || mode_ == mode::raw;
    if (exact ? in_len != k : in_len > k - 11) return fail(CKR_DATA_LEN_RANGE);
    rv = offer_output(k, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    return rv;
}

CK_RV pkcs11_hardware_rsa_ctx::encrypt_init(const pkcs11_key_value&) { return start_cipher(CKO_PUBLIC_KEY); }

CK_RV pkcs11_hardware_rsa_ctx::encrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) {
    return fail(CKR_MECHANISM_INVALID);
}
CK_RV pkcs11_hardware_rsa_ctx::encrypt_final(CK_BYTE*, CK_ULONG*) { return fail(CKR_MECHANISM_INVALID); }

CK_RV pkcs11_hardware_rsa_ctx::encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    std::size_t k = 0;
    bool proceed = false;
    CK_RV rv = offer_block(false, in, in_len, out, out_len, k, proceed);
    if (!proceed) return rv;
    if (mode_ == mode::pkcs) {
        rv = handler_.encrypt(in, in_len, out);
    } else {
        scratch block;
        std::memcpy(block.bytes, in, k);
        rv = handler_.public_operation(block.bytes, k, CKR_DATA_INVALID);
        if (rv == CKR_OK) std::memcpy(out, block.bytes, k);
    }
    finish();
    return rv;
}

CK_RV pkcs11_hardware_rsa_ctx::decrypt_init(const pkcs11_key_value&) { return start_cipher(CKO_PRIVATE_KEY); }

CK_RV pkcs11_hardware_rsa_ctx::decrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) {
    return fail(CKR_MECHANISM_INVALID);
}
CK_RV pkcs11_hardware_rsa_ctx::decrypt_final(CK_BYTE*, CK_ULONG*) { return fail(CKR_MECHANISM_INVALID); }

CK_RV pkcs11_hardware_rsa_ctx::decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    // The plaintext's length is known only after the card's work: a size
    // query and a short buffer are answered with k and keep the operation.
    std::size_t k = 0;
    bool proceed = false;
    CK_RV rv = offer_block(true, in, in_len, out, out_len, k, proceed);
    if (!proceed) return rv;
    scratch block;
    std::size_t length = k;
    if (mode_ == mode::pkcs) {
        rv = handler_.decrypt(in, in_len, block.bytes, length);
    } else {
        std::memcpy(block.bytes, in, k);
        rv = handler_.private_operation(block.bytes, k, CKR_ENCRYPTED_DATA_INVALID);
    }
    finish();
    if (rv != CKR_OK) return rv;
    if (length != 0) std::memcpy(out, block.bytes, length);
    *out_len = static_cast<CK_ULONG>(length);
    return CKR_OK;
}

// ---- signatures --------------------------------------------------------

CK_RV pkcs11_hardware_rsa_ctx::start_signature(CK_OBJECT_CLASS wanted) {
    if (handler_.key_class() != wanted) return CKR_TEMPLATE_INCONSISTENT;
    buffer_.reset();
    if (hashing()) {
        if (mode_ == mode::hash_x931 && algo_.identifier == algo_md5) return CKR_MECHANISM_INVALID;
        const mbedtls_md_info_t* info = mbedtls_md_info_from_type(card_hash_to_digest(algo_.identifier));
        if (info == nullptr) return CKR_MECHANISM_INVALID;
        mbedtls_md_free(&md_);
        mbedtls_md_init(&md_);
        if (mbedtls_md_setup(&md_, info, 0) != 0) return CKR_HOST_MEMORY;
        if (mbedtls_md_starts(&md_) != 0) return CKR_FUNCTION_FAILED;
    }
    start();
    return CKR_OK;
}

CK_RV pkcs11_hardware_rsa_ctx::restart() {
    buffer_.reset();
    if (hashing() && mbedtls_md_starts(&md_) != 0) return fail(CKR_FUNCTION_FAILED);
    return CKR_OK;
}

CK_RV pkcs11_hardware_rsa_ctx::gather(const CK_BYTE* in, CK_ULONG in_len) {
    const CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    if (in_len == 0) return CKR_OK;
    if (hashing()) return mbedtls_md_update(&md_, in, in_len) == 0 ? CKR_OK : fail(CKR_FUNCTION_FAILED);
    // PKCS #1 and raw signatures take at most one modulus of data.
    if ((mode_ == mode::pkcs || mode_ == mode::raw) && in_len > rsa_max_bytes - buffer_.unread())
        return fail(CKR_DATA_LEN_RANGE);
    const CK_RV append_rv = buffer_.append(in, in_len);
    return append_rv == CKR_OK ? CKR_OK : fail(append_rv);
}

CK_RV pkcs11_hardware_rsa_ctx::finish_digest(std::uint8_t* digest, std::size_t& length) {
    length = mbedtls_md_get_size(md_.md_info);
    return mbedtls_md_finish(&md_, digest) == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV pkcs11_hardware_rsa_ctx::sign_init(const pkcs11_key_value&) { return start_signature(CKO_PRIVATE_KEY); }
CK_RV pkcs11_hardware_rsa_ctx::sign_update(const CK_BYTE* in, CK_ULONG in_len) { return gather(in, in_len); }

CK_RV pkcs11_hardware_rsa_ctx::sign_final(CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    std::size_t k = 0;
    rv = handler_.key_length(k);
    if (rv != CKR_OK) return fail(rv);
    bool proceed = false;
    rv = offer_output(k, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;

    scratch block;
    switch (mode_) {
        case mode::pkcs:
            rv = handler_.sign(0, buffer_.data(), buffer_.unread(), block.bytes);
            break;
        case mode::raw:
            if (buffer_.unread() != k) {
                rv = CKR_SIGNATURE_LEN_RANGE;
                break;
            }
            std::memcpy(block.bytes, buffer_.data(), k);
            rv = handler_.private_operation(block.bytes, k, CKR_DATA_INVALID);
            break;
        case mode::hash_pkcs:
        case mode::hash_x931: {
            std::uint8_t digest[max_digest];
            std::size_t length = 0;
            rv = finish_digest(digest, length);
            if (rv == CKR_OK && mode_ == mode::hash_pkcs) rv = handler_.sign(algo_.identifier, digest, length, block.bytes);
            if (rv == CKR_OK && mode_ == mode::hash_x931) {
                rv = x931_encode(algo_.identifier, digest, length, block.bytes, k);
                if (rv == CKR_OK) rv = handler_.private_operation(block.bytes, k, CKR_DATA_INVALID);
            }
            break;
        }
        case mode::x931:
            rv = x931_encode(0, buffer_.data(), buffer_.unread(), block.bytes, k);
            if (rv == CKR_OK) rv = handler_.private_operation(block.bytes, k, CKR_DATA_INVALID);
            break;
    }
    buffer_.reset();
    finish();
    if (rv != CKR_OK) return rv;
    std::memcpy(out, block.bytes, k);
    return CKR_OK;
}

CK_RV pkcs11_hardware_rsa_ctx::sign(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    // The one-shot starts over on every call, so that a size query followed
    // by the real call takes the data once.
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    rv = restart();
    if (rv != CKR_OK) return rv;
    rv = gather(in, in_len);
    if (rv != CKR_OK) return rv;
    return sign_final(out, out_len);
}

CK_RV pkcs11_hardware_rsa_ctx::verify_init(const pkcs11_key_value&) { return start_signature(CKO_PUBLIC_KEY); }
CK_RV pkcs11_hardware_rsa_ctx::verify_update(const CK_BYTE* in, CK_ULONG in_len) { return gather(in, in_len); }

CK_RV pkcs11_hardware_rsa_ctx::verify_x931(const std::uint8_t* signature, std::size_t k) {
    scratch block;
    std::memcpy(block.bytes, signature, k);
    CK_RV rv = handler_.public_operation(block.bytes, k, CKR_SIGNATURE_INVALID);
    if (rv != CKR_OK) return rv;
    // Signers may give min(s, n - s): a representative that does not end in
    // the trailer's nibble is taken as n minus it.
    if ((block.bytes[k - 1] & 0x0F) != 0x0C) {
        std::vector<std::uint8_t> n;
        rv = handler_.modulus(n);
        if (rv != CKR_OK) return rv;
        unsigned borrow = 0;
        for (std::size_t i = k; i-- > 0;) {
            const unsigned d = static_cast<unsigned>(n[i]) - block.bytes[i] - borrow;
            block.bytes[i] = static_cast<std::uint8_t>(d);
            borrow = (d >> 8) & 1;
        }
    }
    std::size_t offset = 0, length = 0;
    if (x931_decode(block.bytes, k, offset, length) != CKR_OK) return CKR_SIGNATURE_INVALID;
    const std::uint8_t* content = block.bytes + offset;
    if (mode_ == mode::x931) {
        if (length != buffer_.unread()) return CKR_SIGNATURE_INVALID;
        return equal_constant_time(content, buffer_.data(), length) ? CKR_OK : CKR_SIGNATURE_INVALID;
    }
    std::uint8_t digest[max_digest];
    std::size_t digest_length = 0;
    rv = finish_digest(digest, digest_length);
    if (rv != CKR_OK) return rv;
    if (length != digest_length + 1 || content[digest_length] != x931_hash_byte(algo_.identifier))
        return CKR_SIGNATURE_INVALID;
    return equal_constant_time(content, digest, digest_length) ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV pkcs11_hardware_rsa_ctx::verify_final(const CK_BYTE* signature, CK_ULONG signature_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (signature == nullptr && signature_len != 0) return fail(CKR_ARGUMENTS_BAD);
    std::size_t k = 0;
    rv = handler_.key_length(k);
    if (rv != CKR_OK) return fail(rv);
    if (signature_len != k) {
        buffer_.reset();
        return fail(CKR_SIGNATURE_LEN_RANGE);
    }
    switch (mode_) {
        case mode::pkcs:
            rv = handler_.verify(0, buffer_.data(), buffer_.unread(), signature, signature_len);
            break;
        case mode::raw: {
            if (buffer_.unread() != k) {
                rv = CKR_SIGNATURE_LEN_RANGE;
                break;
            }
            scratch block;
            std::memcpy(block.bytes, signature, k);
            rv = handler_.public_operation(block.bytes, k, CKR_SIGNATURE_INVALID);
            if (rv == CKR_OK && !equal_constant_time(block.bytes, buffer_.data(), k)) rv = CKR_SIGNATURE_INVALID;
            break;
        }
        case mode::hash_pkcs: {
            std::uint8_t digest[max_digest];
            std::size_t length = 0;
            rv = finish_digest(digest, length);
            if (rv == CKR_OK) rv = handler_.verify(algo_.identifier, digest, length, signature, signature_len);
            break;
        }
        case mode::x931:
        case mode::hash_x931:
            rv = verify_x931(signature, k);
            break;
    }
    buffer_.reset();
    finish();
    return rv;
}

CK_RV pkcs11_hardware_rsa_ctx::verify(const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature,
                                      CK_ULONG signature_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    rv = restart();
    if (rv != CKR_OK) return rv;
    rv = gather(in, in_len);
    if (rv != CKR_OK) return rv;
    return verify_final(signature, signature_len);
}

std::unique_ptr<pkcs11_hardware_rsa_ctx> make_hardware_rsa_ctx(pkcs11_ctx_class ctx_class,
                                                               const CK_MECHANISM& mechanism,
                                                               std::shared_ptr<pkcs11_rsa_card> card,
                                                               std::unique_ptr<pkcs11_rsa_key_source> key) {
    switch (ctx_class) {
        case pkcs11_ctx_class::hardware_rsa_pkcs:
            return std::make_unique<pkcs11_hardware_rsa_pkcs_ctx>(mechanism, std::move(card), std::move(key));
        case pkcs11_ctx_class::hardware_rsa_raw:
            return std::make_unique<pkcs11_hardware_rsa_raw_ctx>(mechanism, std::move(card), std::move(key));
        case pkcs11_ctx_class::hardware_shaxrsa_pkcs:
            return std::make_unique<pkcs11_hardware_shaxrsa_pkcs_ctx>(mechanism, std::move(card), std::move(key));
        case pkcs11_ctx_class::hardware_rsa_x931:
            return std::make_unique<pkcs11_hardware_rsa_x931_ctx>(mechanism, std::move(card), std::move(key));
        case pkcs11_ctx_class::hardware_rsa_sha_x931:
            return std::make_unique<pkcs11_hardware_rsa_sha_x931_ctx>(mechanism, std::move(card), std::move(key));
        default: return nullptr;
    }
}

}  // namespace pkcs11
