// The operation context of the module: one object per cryptographic
// operation of a session, made for one mechanism and one key. The session
// drives it through the virtual operations below; every operation returns a
// CK_RV and follows the size-query convention: a null output pointer stores
// the length the call would produce and consumes nothing; an output length
// below it stores that length and gives CKR_BUFFER_TOO_SMALL, again
// consuming nothing. Any other error ends the operation.
//
// The contexts here know nothing of objects: the layer above reads the
// key's value (CKA_VALUE) and hands it to Init as a pkcs11_key_value.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>

namespace pkcs11 {

// The mechanism of a context. The parameter pointer belongs to the caller
// and is read only while the Init that follows the creation runs.
struct pkcs11_mechanism {
    CK_MECHANISM_TYPE type = 0;
    CK_ULONG min_key_size = 0;
    CK_ULONG max_key_size = 0;
    CK_FLAGS flags = 0;
    const void* parameter = nullptr;
    CK_ULONG parameter_length = 0;
};

// A key's value as Init reads it; data == nullptr: the key has no value.
struct pkcs11_key_value {
    const CK_BYTE* data = nullptr;
    std::size_t length = 0;
};

class pkcs11_key_ctx {
public:
    explicit pkcs11_key_ctx(const CK_MECHANISM& mechanism);
    virtual ~pkcs11_key_ctx() = default;
    pkcs11_key_ctx(const pkcs11_key_ctx&) = delete;
    pkcs11_key_ctx& operator=(const pkcs11_key_ctx&) = delete;

    virtual CK_RV encrypt_init(const pkcs11_key_value& key);
    virtual CK_RV encrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);
    virtual CK_RV encrypt_final(CK_BYTE* out, CK_ULONG* out_len);
    virtual CK_RV encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);

    virtual CK_RV decrypt_init(const pkcs11_key_value& key);
    virtual CK_RV decrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);
    virtual CK_RV decrypt_final(CK_BYTE* out, CK_ULONG* out_len);
    virtual CK_RV decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);

    virtual CK_RV digest_init();
    virtual CK_RV digest_update(const CK_BYTE* in, CK_ULONG in_len);
    virtual CK_RV digest_final(CK_BYTE* out, CK_ULONG* out_len);
    virtual CK_RV digest(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);

    virtual CK_RV sign_init(const pkcs11_key_value& key);
    virtual CK_RV sign_update(const CK_BYTE* in, CK_ULONG in_len);
    virtual CK_RV sign_final(CK_BYTE* out, CK_ULONG* out_len);
    virtual CK_RV sign(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);

    virtual CK_RV verify_init(const pkcs11_key_value& key);
    virtual CK_RV verify(const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature, CK_ULONG signature_len);
    virtual CK_RV verify_update(const CK_BYTE* in, CK_ULONG in_len);
    virtual CK_RV verify_final(const CK_BYTE* signature, CK_ULONG signature_len);

    // True for contexts whose codes can be the card's status words and
    // local codes; the C_* boundary maps those (software contexts give
    // CK_RVs only).
    virtual bool card_results() const { return false; }

    const pkcs11_mechanism& mechanism() const { return mechanism_; }
    bool active() const { return active_; }
    bool finished() const { return finished_; }

protected:
    // CKR_OPERATION_NOT_INITIALIZED unless the operation runs.
    CK_RV step_check() const;
    void start() {
        active_ = true;
        finished_ = false;
    }
    void finish() {
        active_ = false;
        finished_ = true;
    }
    // finish() and hand back rv: for the errors that end an operation.
    CK_RV fail(CK_RV rv) {
        finish();
        return rv;
    }

private:
    CK_RV init_default();
    CK_RV final_default();

    pkcs11_mechanism mechanism_;
    bool active_ = false;
    bool finished_ = false;
};

// The size-query convention for an output of `needed` bytes: CKR_OK with
// *proceed set when the call may write; CKR_OK without it for a size query;
// CKR_BUFFER_TOO_SMALL; CKR_HOST_MEMORY when the length does not fit a
// CK_ULONG; CKR_ARGUMENTS_BAD without a length pointer. The needed length is
// stored in every case but the last two.
CK_RV offer_output(std::size_t needed, const CK_BYTE* out, CK_ULONG* out_len, bool* proceed);

// Compares two byte strings in time that depends on the length only.
bool equal_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

}  // namespace pkcs11
