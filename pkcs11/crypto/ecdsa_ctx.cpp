#include "ecdsa_ctx.h"

#include <mbedtls/bignum.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/ecp.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace pkcs11 {

namespace {

constexpr std::uint8_t oid_p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::uint8_t oid_p521[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
constexpr std::size_t max_params = 256;
// The card's reply area: the longest signature with room to spare, so a
// reply of the wrong length is seen rather than cut.
constexpr std::size_t card_signature_area = 136;
constexpr std::uint8_t uncompressed = 0x04;
constexpr std::uint8_t der_octet_string = 0x04;

bool equals(const std::vector<std::uint8_t>& v, const std::uint8_t* oid, std::size_t n) {
    return v.size() == n && std::memcmp(v.data(), oid, n) == 0;
}

// mbed TLS objects that free themselves.
struct ec_verify_state {
    ec_verify_state() {
        mbedtls_ecp_group_init(&group);
        mbedtls_ecp_point_init(&q);
        mbedtls_mpi_init(&r);
        mbedtls_mpi_init(&s);
    }
    ~ec_verify_state() {
        mbedtls_mpi_free(&s);
        mbedtls_mpi_free(&r);
        mbedtls_ecp_point_free(&q);
        mbedtls_ecp_group_free(&group);
    }
    ec_verify_state(const ec_verify_state&) = delete;
    ec_verify_state& operator=(const ec_verify_state&) = delete;
    mbedtls_ecp_group group;
    mbedtls_ecp_point q;
    mbedtls_mpi r;
    mbedtls_mpi s;
};

}  // namespace

CK_RV ec_curve_bits(const pkcs11_ec_key& key, std::uint32_t* bits) {
    if (!key.has_params) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (key.params.size() > max_params) return CKR_BUFFER_TOO_SMALL;
    if (equals(key.params, oid_p256, sizeof oid_p256)) {
        *bits = 256;
    } else if (equals(key.params, oid_p521, sizeof oid_p521)) {
        *bits = 521;
    } else {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return CKR_OK;
}

std::size_t ec_coordinate_length(std::uint32_t bits) { return bits == 521 ? ec_p521_coordinate : ec_p256_coordinate; }

CK_RV ec_raw_point(const std::uint8_t* value, std::size_t length, std::size_t coordinate, const std::uint8_t** point) {
    const std::size_t raw = 2 * coordinate + 1;
    if (value == nullptr) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (length == raw && value[0] == uncompressed) {
        *point = value;
        return CKR_OK;
    }
    // OCTET STRING: tag, then the length in short form (below 128) or long
    // form (0x81 n for 128..255; a raw point is at most 133 bytes).
    std::size_t header = 0;
    if (length >= 2 && value[0] == der_octet_string) {
        if (raw < 0x80 && value[1] == raw) header = 2;
        if (raw >= 0x80 && length >= 3 && value[1] == 0x81 && value[2] == raw) header = 3;
    }
    if (header == 0 || length != header + raw || value[header] != uncompressed) return CKR_ATTRIBUTE_VALUE_INVALID;
    *point = value + header;
    return CKR_OK;
}

pkcs11_hardware_ecdsa_ctx::pkcs11_hardware_ecdsa_ctx(const CK_MECHANISM& mechanism, pkcs11_ec_key key,
                                                     ecdsa_card_signer signer)
    : pkcs11_key_ctx(mechanism), key_(std::move(key)), signer_(std::move(signer)),
      algo_(pkcs11_algo::for_mechanism(mechanism.mechanism)) {
    mbedtls_md_init(&md_);
}

pkcs11_hardware_ecdsa_ctx::~pkcs11_hardware_ecdsa_ctx() { mbedtls_md_free(&md_); }

CK_RV pkcs11_hardware_ecdsa_ctx::encrypt_init(const pkcs11_key_value&) {
    return key_.object_class == CKO_PUBLIC_KEY ? CKR_MECHANISM_INVALID : CKR_TEMPLATE_INCONSISTENT;
}

CK_RV pkcs11_hardware_ecdsa_ctx::decrypt_init(const pkcs11_key_value&) {
    return key_.object_class == CKO_PRIVATE_KEY ? CKR_MECHANISM_INVALID : CKR_TEMPLATE_INCONSISTENT;
}

void pkcs11_hardware_ecdsa_ctx::drop_digest() {
    mbedtls_md_free(&md_);
    mbedtls_md_init(&md_);
    hashing_ = false;
}

CK_RV pkcs11_hardware_ecdsa_ctx::start_op(CK_OBJECT_CLASS needed, bool verifying) {
    if (key_.object_class != needed) return CKR_TEMPLATE_INCONSISTENT;
    drop_digest();
    buffer_.reset();
    if (mechanism().type != CKM_ECDSA) {
        const std::uint32_t id = algo_.identifier;
        const bool known = id == algo_sha1 || id == algo_sha256 || id == algo_sha384 || id == algo_sha512 ||
                           (verifying && id == algo_md5);
        const mbedtls_md_info_t* info = known ? mbedtls_md_info_from_type(card_hash_to_digest(id)) : nullptr;
        if (info == nullptr) return CKR_MECHANISM_INVALID;
        if (mbedtls_md_setup(&md_, info, 0) != 0) return CKR_HOST_MEMORY;
        if (mbedtls_md_starts(&md_) != 0) return CKR_FUNCTION_FAILED;
        hashing_ = true;
    }
    start();
    return CKR_OK;
}

CK_RV pkcs11_hardware_ecdsa_ctx::sign_init(const pkcs11_key_value&) { return start_op(CKO_PRIVATE_KEY, false); }
CK_RV pkcs11_hardware_ecdsa_ctx::verify_init(const pkcs11_key_value&) { return start_op(CKO_PUBLIC_KEY, true); }

CK_RV pkcs11_hardware_ecdsa_ctx::feed(const CK_BYTE* in, CK_ULONG in_len) {
    const CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    if (hashing_) return mbedtls_md_update(&md_, in, in_len) == 0 ? CKR_OK : fail(CKR_FUNCTION_FAILED);
    if (in_len > ecdsa_max_raw_data - buffer_.unread()) return fail(CKR_DATA_LEN_RANGE);
    return buffer_.append(in, in_len);
}

CK_RV pkcs11_hardware_ecdsa_ctx::sign_update(const CK_BYTE* in, CK_ULONG in_len) { return feed(in, in_len); }
CK_RV pkcs11_hardware_ecdsa_ctx::verify_update(const CK_BYTE* in, CK_ULONG in_len) { return feed(in, in_len); }

CK_RV pkcs11_hardware_ecdsa_ctx::message(std::uint8_t* digest, const std::uint8_t** data, std::size_t* length) {
    if (!hashing_) {
        *data = buffer_.data();
        *length = buffer_.unread();
        return CKR_OK;
    }
    if (mbedtls_md_finish(&md_, digest) != 0) return CKR_FUNCTION_FAILED;
    *data = digest;
    *length = mbedtls_md_get_size(mbedtls_md_info_from_type(card_hash_to_digest(algo_.identifier)));
    return CKR_OK;
}

CK_RV pkcs11_hardware_ecdsa_ctx::sign_final(CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    std::uint32_t bits = 0;
    rv = ec_curve_bits(key_, &bits);
    if (rv != CKR_OK) return fail(rv);
    const std::size_t wanted = 2 * ec_coordinate_length(bits);
    bool proceed = false;
    rv = offer_output(wanted, out, out_len, &proceed);
    if (!proceed) return rv;
    std::uint8_t digest[MBEDTLS_MD_MAX_SIZE];
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    rv = message(digest, &data, &length);
    if (rv != CKR_OK) return fail(rv);
    if (!signer_) return fail(CKR_FUNCTION_FAILED);
    std::uint8_t signature[card_signature_area];
    std::int32_t got = static_cast<std::int32_t>(sizeof signature);
    const std::uint32_t hash_id = hashing_ ? algo_.identifier : 0;
    const std::int32_t status = signer_(hash_id, data, static_cast<std::int32_t>(length), signature, &got);
    if (status != 0) return fail(static_cast<CK_RV>(static_cast<std::uint32_t>(status)));
    if (got < 0 || static_cast<std::size_t>(got) != wanted) return fail(CKR_DEVICE_ERROR);
    std::memcpy(out, signature, wanted);
    *out_len = static_cast<CK_ULONG>(wanted);
    buffer_.reset();
    finish();
    return CKR_OK;
}

CK_RV pkcs11_hardware_ecdsa_ctx::sign(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (!hashing_ && in_len > ecdsa_max_raw_data) return fail(CKR_DATA_LEN_RANGE);
    std::uint32_t bits = 0;
    rv = ec_curve_bits(key_, &bits);
    if (rv != CKR_OK) return fail(rv);
    // A size query or a short buffer consumes nothing.
    bool proceed = false;
    rv = offer_output(2 * ec_coordinate_length(bits), out, out_len, &proceed);
    if (!proceed) return rv;
    rv = feed(in, in_len);
    if (rv != CKR_OK) return rv;
    return sign_final(out, out_len);
}

CK_RV pkcs11_hardware_ecdsa_ctx::check_signature(const std::uint8_t* data, std::size_t length,
                                                 const std::uint8_t* signature, std::size_t coordinate) const {
    const std::uint8_t* point = nullptr;
    const std::vector<std::uint8_t>& value = key_.point;
    if (!key_.has_point) return CKR_ATTRIBUTE_TYPE_INVALID;
    CK_RV rv = ec_raw_point(value.data(), value.size(), coordinate, &point);
    if (rv != CKR_OK) return rv;
    ec_verify_state st;
    const mbedtls_ecp_group_id id = coordinate == ec_p521_coordinate ? MBEDTLS_ECP_DP_SECP521R1 : MBEDTLS_ECP_DP_SECP256R1;
    if (mbedtls_ecp_group_load(&st.group, id) != 0) return CKR_FUNCTION_FAILED;
    if (mbedtls_ecp_point_read_binary(&st.group, &st.q, point, 2 * coordinate + 1) != 0 ||
        mbedtls_ecp_check_pubkey(&st.group, &st.q) != 0)
        return CKR_SIGNATURE_INVALID;
    if (mbedtls_mpi_read_binary(&st.r, signature, coordinate) != 0 ||
        mbedtls_mpi_read_binary(&st.s, signature + coordinate, coordinate) != 0)
        return CKR_HOST_MEMORY;
    // The library refuses r or s outside 1..n-1 and cuts the hash to the
    // order's length.
    const int ret = mbedtls_ecdsa_verify(&st.group, data, length, &st.q, &st.r, &st.s);
    return ret == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV pkcs11_hardware_ecdsa_ctx::verify_final(const CK_BYTE* signature, CK_ULONG signature_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    std::uint32_t bits = 0;
    rv = ec_curve_bits(key_, &bits);
    if (rv != CKR_OK) return fail(rv);
    const std::size_t coordinate = ec_coordinate_length(bits);
    if (signature_len != 2 * coordinate) return fail(CKR_SIGNATURE_LEN_RANGE);
    if (signature == nullptr) return fail(CKR_ARGUMENTS_BAD);
    std::uint8_t digest[MBEDTLS_MD_MAX_SIZE];
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    rv = message(digest, &data, &length);
    if (rv == CKR_OK) rv = check_signature(data, length, signature, coordinate);
    buffer_.reset();
    return fail(rv);
}

CK_RV pkcs11_hardware_ecdsa_ctx::verify(const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature,
                                        CK_ULONG signature_len) {
    const CK_RV rv = feed(in, in_len);
    if (rv != CKR_OK) return rv;
    return verify_final(signature, signature_len);
}

}  // namespace pkcs11
