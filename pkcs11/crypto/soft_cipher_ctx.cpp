#include "soft_cipher_ctx.h"

#include <mbedtls/platform_util.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace pkcs11 {

namespace {

constexpr std::size_t des_block = 8;
constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();

bool overlaps(const void* a, std::size_t a_len, const void* b, std::size_t b_len) {
    if (a_len == 0 || b_len == 0) return false;
    const auto pa = reinterpret_cast<std::uintptr_t>(a);
    const auto pb = reinterpret_cast<std::uintptr_t>(b);
    return pa < pb + b_len && pb < pa + a_len;
}

// A private copy of input that the output would overwrite before it is read.
class input_copy {
public:
    ~input_copy() {
        if (bytes_) mbedtls_platform_zeroize(bytes_.get(), length_);
    }
    // False when memory runs out.
    bool take(const CK_BYTE*& in, std::size_t length) {
        bytes_.reset(new (std::nothrow) CK_BYTE[length]);
        if (!bytes_) return false;
        std::memcpy(bytes_.get(), in, length);
        length_ = length;
        in = bytes_.get();
        return true;
    }

private:
    std::unique_ptr<CK_BYTE[]> bytes_;
    std::size_t length_ = 0;
};

// 0xFFFFFFFF when a <= b, else 0; for values below 2^31, without a branch.
inline std::uint32_t le_mask(std::uint32_t a, std::uint32_t b) { return ((b - a) >> 31) - 1u; }

}  // namespace

// ---- block contexts -------------------------------------------------------

pkcs11_soft_block_ctx::~pkcs11_soft_block_ctx() {
    mbedtls_platform_zeroize(carry_, sizeof carry_);
    mbedtls_platform_zeroize(chain_, sizeof chain_);
}

CK_RV pkcs11_soft_block_ctx::take_iv(bool null_is_zero_iv) {
    const pkcs11_mechanism& m = mechanism();
    if (m.parameter == nullptr) return null_is_zero_iv ? CKR_OK : CKR_MECHANISM_PARAM_INVALID;
    if (m.parameter_length != block_) return CKR_MECHANISM_PARAM_INVALID;
    std::memcpy(chain_, m.parameter, block_);
    return CKR_OK;
}

CK_RV pkcs11_soft_block_ctx::init(const pkcs11_key_value& key) {
    mbedtls_platform_zeroize(carry_, sizeof carry_);
    mbedtls_platform_zeroize(chain_, sizeof chain_);
    carry_length_ = 0;
    updated_ = false;
    if (key.data == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    const CK_RV rv = set_up(key);
    if (rv != CKR_OK) return rv;
    start();
    return CKR_OK;
}

CK_RV pkcs11_soft_block_ctx::update(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                                    CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    const std::size_t length = in_len;
    if (length > size_max - carry_length_) return fail(CKR_HOST_MEMORY);
    std::size_t blocks = (carry_length_ + length) / block_;
    // Decrypting with padding, the last whole block waits for Final.
    if (!encrypt && mode_ == cipher_mode::cbc_pad && blocks > 0) --blocks;
    const std::size_t total = blocks * block_;

    bool proceed = false;
    rv = offer_output(total, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;

    input_copy copy;
    if (overlaps(in, length, out, total) && !(in == out && carry_length_ == 0) && !copy.take(in, length)) {
        return fail(CKR_HOST_MEMORY);
    }
    std::size_t produced = 0;
    std::size_t used = 0;
    while (produced < total && carry_length_ > 0) {
        if (carry_length_ >= block_) {
            run_blocks(encrypt, chain_, carry_, out + produced, block_);
            std::memmove(carry_, carry_ + block_, carry_length_ - block_);
            carry_length_ -= block_;
        } else {
            const std::size_t take = block_ - carry_length_;
            std::memcpy(carry_ + carry_length_, in + used, take);
            used += take;
            run_blocks(encrypt, chain_, carry_, out + produced, block_);
            carry_length_ = 0;
        }
        produced += block_;
    }
    if (produced < total) {
        run_blocks(encrypt, chain_, in + used, out + produced, total - produced);
        used += total - produced;
    }
    if (length > used) {
        std::memcpy(carry_ + carry_length_, in + used, length - used);
        carry_length_ += length - used;
    }
    updated_ = true;
    return CKR_OK;
}

CK_RV pkcs11_soft_block_ctx::encrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    return update(true, in, in_len, out, out_len);
}

CK_RV pkcs11_soft_block_ctx::decrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    return update(false, in, in_len, out, out_len);
}

CK_RV pkcs11_soft_block_ctx::encrypt_final(CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    // Encrypting, less than a block is ever left over.
    const std::size_t left = carry_length_;
    if (mode_ != cipher_mode::cbc_pad && left != 0) return fail(CKR_DATA_LEN_RANGE);
    const std::size_t needed = mode_ == cipher_mode::cbc_pad ? block_ : 0;
    bool proceed = false;
    rv = offer_output(needed, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;
    if (mode_ == cipher_mode::cbc_pad) {
        const auto pad = static_cast<std::uint8_t>(block_ - left);
        std::memset(carry_ + left, pad, pad);
        run_blocks(true, chain_, carry_, out, block_);
    }
    mbedtls_platform_zeroize(carry_, sizeof carry_);
    carry_length_ = 0;
    finish();
    return CKR_OK;
}

CK_RV pkcs11_soft_block_ctx::unpadded_length(const std::uint8_t* last, const std::uint8_t* prev, std::size_t* length) {
    std::uint8_t chain[aes_block];
    std::uint8_t plain[aes_block];
    std::memcpy(chain, prev, block_);
    run_blocks(false, chain, last, plain, block_);
    // Valid padding: p in 1..block, the last p bytes all equal to p.
    const std::uint32_t p = plain[block_ - 1];
    const auto bs = static_cast<std::uint32_t>(block_);
    std::uint32_t bad = ~le_mask(1, p) | ~le_mask(p, bs);
    for (std::uint32_t i = 1; i <= bs; ++i) bad |= (plain[bs - i] ^ p) & le_mask(i, p);
    mbedtls_platform_zeroize(plain, sizeof plain);
    mbedtls_platform_zeroize(chain, sizeof chain);
    if (bad != 0) return CKR_ENCRYPTED_DATA_INVALID;
    *length = block_ - p;
    return CKR_OK;
}

CK_RV pkcs11_soft_block_ctx::decrypt_final(CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    const std::size_t left = carry_length_;
    if (left % block_ != 0) return fail(CKR_DATA_LEN_RANGE);
    std::size_t needed = 0;
    if (mode_ == cipher_mode::cbc_pad) {
        // Exactly the held-back block is left.
        if (left == 0) return fail(CKR_ENCRYPTED_DATA_LEN_RANGE);
        rv = unpadded_length(carry_, chain_, &needed);
        if (rv != CKR_OK) return fail(rv);
    }
    bool proceed = false;
    rv = offer_output(needed, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;
    if (mode_ == cipher_mode::cbc_pad) {
        std::uint8_t plain[aes_block];
        run_blocks(false, chain_, carry_, plain, block_);
        std::memcpy(out, plain, needed);
        mbedtls_platform_zeroize(plain, sizeof plain);
    }
    mbedtls_platform_zeroize(carry_, sizeof carry_);
    carry_length_ = 0;
    finish();
    return CKR_OK;
}

CK_RV pkcs11_soft_block_ctx::one_shot(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                                      CK_ULONG* out_len, std::size_t needed) {
    const CK_ULONG capacity = out_len != nullptr ? *out_len : 0;
    bool proceed = false;
    CK_RV rv = offer_output(needed, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;
    CK_ULONG first = capacity;
    rv = update(encrypt, in, in_len, out, &first);
    if (rv != CKR_OK) return fail(rv);
    CK_ULONG second = capacity - first;
    rv = encrypt ? encrypt_final(out + first, &second) : decrypt_final(out + first, &second);
    if (rv != CKR_OK) return fail(rv);
    *out_len = first + second;
    return CKR_OK;
}

CK_RV pkcs11_soft_block_ctx::encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (updated_) return fail(CKR_OPERATION_ACTIVE);
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    const std::size_t length = in_len;
    std::size_t needed = length;
    if (mode_ == cipher_mode::cbc_pad) {
        if (length > size_max - block_) return fail(CKR_HOST_MEMORY);
        needed = (length / block_ + 1) * block_;
    } else if (length % block_ != 0) {
        return fail(CKR_DATA_LEN_RANGE);
    }
    return one_shot(true, in, in_len, out, out_len, needed);
}

CK_RV pkcs11_soft_block_ctx::decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (updated_) return fail(CKR_OPERATION_ACTIVE);
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    const std::size_t length = in_len;
    if (length % block_ != 0) return fail(CKR_DATA_LEN_RANGE);
    std::size_t needed = length;
    if (mode_ == cipher_mode::cbc_pad) {
        if (length == 0) return fail(CKR_ENCRYPTED_DATA_LEN_RANGE);
        const std::uint8_t* last = in + length - block_;
        const std::uint8_t* prev = length >= 2 * block_ ? last - block_ : chain_;
        std::size_t tail = 0;
        rv = unpadded_length(last, prev, &tail);
        if (rv != CKR_OK) return fail(rv);
        needed = length - block_ + tail;
    }
    return one_shot(false, in, in_len, out, out_len, needed);
}

// ---- DES --------------------------------------------------------------

pkcs11_soft_des_ctx::pkcs11_soft_des_ctx(const CK_MECHANISM& mechanism) : pkcs11_soft_block_ctx(mechanism, des_block) {
    mbedtls_des_init(&encrypt_);
    mbedtls_des_init(&decrypt_);
}

pkcs11_soft_des_ctx::~pkcs11_soft_des_ctx() {
    mbedtls_des_free(&encrypt_);
    mbedtls_des_free(&decrypt_);
}

CK_RV pkcs11_soft_des_ctx::set_up(const pkcs11_key_value& key) {
    switch (mechanism().type) {
        case CKM_DES_ECB: mode_ = cipher_mode::ecb; break;
        case CKM_DES_CBC: mode_ = cipher_mode::cbc; break;
        case CKM_DES_CBC_PAD: mode_ = cipher_mode::cbc_pad; break;
        default: return CKR_MECHANISM_INVALID;
    }
    if (key.length != MBEDTLS_DES_KEY_SIZE) return CKR_KEY_SIZE_RANGE;
    if (mode_ != cipher_mode::ecb) {
        const CK_RV rv = take_iv(false);
        if (rv != CKR_OK) return rv;
    }
    mbedtls_des_setkey_enc(&encrypt_, key.data);
    mbedtls_des_setkey_dec(&decrypt_, key.data);
    return CKR_OK;
}

void pkcs11_soft_des_ctx::run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                                     std::size_t length) {
    mbedtls_des_context* ctx = encrypt ? &encrypt_ : &decrypt_;
    if (mode_ == cipher_mode::ecb) {
        for (std::size_t off = 0; off < length; off += des_block) mbedtls_des_crypt_ecb(ctx, in + off, out + off);
    } else {
        mbedtls_des_crypt_cbc(ctx, encrypt ? MBEDTLS_DES_ENCRYPT : MBEDTLS_DES_DECRYPT, length, chain, in, out);
    }
}

// ---- 3DES -------------------------------------------------------------

pkcs11_soft_des3_ctx::pkcs11_soft_des3_ctx(const CK_MECHANISM& mechanism)
    : pkcs11_soft_block_ctx(mechanism, des_block) {
    mbedtls_des3_init(&encrypt_);
    mbedtls_des3_init(&decrypt_);
}

pkcs11_soft_des3_ctx::~pkcs11_soft_des3_ctx() {
    mbedtls_des3_free(&encrypt_);
    mbedtls_des3_free(&decrypt_);
}

CK_RV pkcs11_soft_des3_ctx::set_up(const pkcs11_key_value& key) {
    switch (mechanism().type) {
        case CKM_DES3_ECB: mode_ = cipher_mode::ecb; break;
        case CKM_DES3_CBC: mode_ = cipher_mode::cbc; break;
        case CKM_DES3_CBC_PAD: mode_ = cipher_mode::cbc_pad; break;
        default: return CKR_MECHANISM_INVALID;
    }
    // 16 bytes: two-key 3DES, the third key being the first.
    if (key.length != 2 * MBEDTLS_DES_KEY_SIZE && key.length != 3 * MBEDTLS_DES_KEY_SIZE) return CKR_KEY_SIZE_RANGE;
    if (mode_ != cipher_mode::ecb) {
        const CK_RV rv = take_iv(false);
        if (rv != CKR_OK) return rv;
    }
    if (key.length == 2 * MBEDTLS_DES_KEY_SIZE) {
        mbedtls_des3_set2key_enc(&encrypt_, key.data);
        mbedtls_des3_set2key_dec(&decrypt_, key.data);
    } else {
        mbedtls_des3_set3key_enc(&encrypt_, key.data);
        mbedtls_des3_set3key_dec(&decrypt_, key.data);
    }
    return CKR_OK;
}

void pkcs11_soft_des3_ctx::run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                                      std::size_t length) {
    mbedtls_des3_context* ctx = encrypt ? &encrypt_ : &decrypt_;
    if (mode_ == cipher_mode::ecb) {
        for (std::size_t off = 0; off < length; off += des_block) mbedtls_des3_crypt_ecb(ctx, in + off, out + off);
    } else {
        mbedtls_des3_crypt_cbc(ctx, encrypt ? MBEDTLS_DES_ENCRYPT : MBEDTLS_DES_DECRYPT, length, chain, in, out);
    }
}

// ---- AES --------------------------------------------------------------

CK_RV pkcs11_soft_aes_ctx::set_up(const pkcs11_key_value& key) {
    switch (mechanism().type) {
        case CKM_AES_ECB: mode_ = cipher_mode::ecb; break;
        case CKM_AES_CBC: mode_ = cipher_mode::cbc; break;
        case CKM_AES_CBC_PAD: mode_ = cipher_mode::cbc_pad; break;
        default: return CKR_MECHANISM_INVALID;
    }
    if (key.length != 16 && key.length != 24 && key.length != 32) return CKR_KEY_SIZE_RANGE;
    if (mode_ != cipher_mode::ecb) {
        // Without a parameter the chaining starts from a zero block.
        const CK_RV rv = take_iv(true);
        if (rv != CKR_OK) return rv;
    }
    if (aes_set_key(schedule_, key.data, static_cast<unsigned>(key.length * 8)) != 0) return CKR_KEY_SIZE_RANGE;
    return CKR_OK;
}

void pkcs11_soft_aes_ctx::run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                                     std::size_t length) {
    // The schedule is keyed and the length whole blocks: the engine cannot
    // refuse here.
    if (mode_ == cipher_mode::ecb) {
        for (std::size_t off = 0; off < length; off += aes_block) {
            if (encrypt) {
                aes_encrypt_block(schedule_, in + off, out + off);
            } else {
                aes_decrypt_block(schedule_, in + off, out + off);
            }
        }
        return;
    }
    std::memcpy(schedule_.chain, chain, aes_block);
    if (encrypt) {
        aes_cbc_encrypt(schedule_, in, out, length);
    } else {
        aes_cbc_decrypt(schedule_, in, out, length);
    }
    std::memcpy(chain, schedule_.chain, aes_block);
}

// ---- RC2 --------------------------------------------------------------

CK_RV pkcs11_soft_rc2_ctx::set_up(const pkcs11_key_value& key) {
    const pkcs11_mechanism& m = mechanism();
    CK_ULONG effective_bits = 0;
    switch (m.type) {
        case CKM_RC2_ECB:
            mode_ = cipher_mode::ecb;
            if (m.parameter != nullptr) {
                if (m.parameter_length != sizeof(CK_RC2_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
                std::memcpy(&effective_bits, m.parameter, sizeof(CK_RC2_PARAMS));
            }
            break;
        case CKM_RC2_CBC:
            mode_ = cipher_mode::cbc;
            if (m.parameter_length != sizeof(CK_RC2_CBC_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
            if (m.parameter != nullptr) {
                CK_RC2_CBC_PARAMS params;
                std::memcpy(&params, m.parameter, sizeof params);
                effective_bits = params.ulEffectiveBits;
                std::memcpy(chain_, params.iv, rc2_block);
            }
            break;
        default:
            return CKR_MECHANISM_INVALID;
    }
    if (key.length == 0 || key.length > rc2_max_key) return CKR_KEY_SIZE_RANGE;
    if (rc2_set_key(key_, key.length, key.data, effective_bits) != 0) return CKR_KEY_SIZE_RANGE;
    return CKR_OK;
}

void pkcs11_soft_rc2_ctx::run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                                     std::size_t length) {
    if (mode_ == cipher_mode::ecb) {
        rc2_ecb(key_, encrypt, in, out, length);
    } else {
        rc2_cbc(key_, encrypt, chain, in, out, length);
    }
}

// ---- RC4 --------------------------------------------------------------

CK_RV pkcs11_soft_rc4_ctx::init(const pkcs11_key_value& key) {
    if (mechanism().type != CKM_RC4) return CKR_MECHANISM_INVALID;
    if (key.data == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (key.length == 0 || key.length > rc4_max_key) return CKR_KEY_SIZE_RANGE;
    if (rc4_set_key(state_, key.length, key.data) != 0) return CKR_KEY_SIZE_RANGE;
    start();
    return CKR_OK;
}

CK_RV pkcs11_soft_rc4_ctx::crypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    bool proceed = false;
    rv = offer_output(in_len, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;
    input_copy copy;
    if (in != out && overlaps(in, in_len, out, in_len) && !copy.take(in, in_len)) return fail(CKR_HOST_MEMORY);
    rc4_crypt(state_, in_len, in, out);
    return CKR_OK;
}

CK_RV pkcs11_soft_rc4_ctx::final(CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    bool proceed = false;
    rv = offer_output(0, out, out_len, &proceed);
    if (rv != CKR_OK) return fail(rv);
    if (proceed) finish();
    return CKR_OK;
}

CK_RV pkcs11_soft_rc4_ctx::encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    const CK_RV rv = crypt(in, in_len, out, out_len);
    if (rv == CKR_OK && out != nullptr) finish();
    return rv;
}

CK_RV pkcs11_soft_rc4_ctx::decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    return encrypt(in, in_len, out, out_len);
}

}  // namespace pkcs11
