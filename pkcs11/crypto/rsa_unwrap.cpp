#include "rsa_unwrap.h"

#include <mbedtls/bignum.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include <new>

namespace pkcs11 {

namespace {

void wipe(std::vector<CK_BYTE>& v) {
    if (!v.empty()) mbedtls_platform_zeroize(v.data(), v.size());
    v.clear();
}

// The MPIs of one key, freed (and wiped) on every path out.
struct rsa_numbers {
    rsa_numbers() {
        for (mbedtls_mpi* m : all) mbedtls_mpi_init(m);
    }
    ~rsa_numbers() {
        for (mbedtls_mpi* m : all) mbedtls_mpi_free(m);
    }
    rsa_numbers(const rsa_numbers&) = delete;
    rsa_numbers& operator=(const rsa_numbers&) = delete;

    mbedtls_mpi n, p, q, d, e, dp, dq, qp;
    mbedtls_mpi* const all[8] = {&n, &p, &q, &d, &e, &dp, &dq, &qp};
};

struct pk_holder {
    pk_holder() { mbedtls_pk_init(&pk); }
    ~pk_holder() { mbedtls_pk_free(&pk); }
    pk_holder(const pk_holder&) = delete;
    pk_holder& operator=(const pk_holder&) = delete;
    mbedtls_pk_context pk;
};

// False when the value does not fit `length` bytes.
bool write_fixed(const mbedtls_mpi& value, std::size_t length, std::vector<CK_BYTE>& out) {
    out.assign(length, 0);
    return mbedtls_mpi_write_binary(&value, out.data(), length) == 0;
}

}  // namespace

rsa_private_key_values::~rsa_private_key_values() {
    for (std::vector<CK_BYTE>* v : {&modulus, &prime_1, &prime_2, &exponent_1, &exponent_2, &coefficient,
                                    &public_exponent, &private_exponent}) {
        wipe(*v);
    }
}

CK_RV unwrap_rsa_private_key(const CK_BYTE* der, std::size_t length, rsa_private_key_values& values) {
    if (der == nullptr || length == 0) return CKR_DATA_INVALID;
    pk_holder holder;
    if (mbedtls_pk_parse_key(&holder.pk, der, length, nullptr, 0) != 0) return CKR_DATA_INVALID;
    if (mbedtls_pk_get_type(&holder.pk) != MBEDTLS_PK_RSA) return CKR_WRAPPED_KEY_INVALID;
    const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(holder.pk);
    rsa_numbers k;
    if (mbedtls_rsa_export(rsa, &k.n, &k.p, &k.q, &k.d, &k.e) != 0 ||
        mbedtls_rsa_export_crt(rsa, &k.dp, &k.dq, &k.qp) != 0) {
        return CKR_WRAPPED_KEY_INVALID;
    }
    const std::size_t bits = mbedtls_mpi_bitlen(&k.n);
    if (bits == 0 || bits > rsa_max_unwrap_bits || mbedtls_mpi_size(&k.e) > 4) return CKR_WRAPPED_KEY_INVALID;
    const std::size_t full = (bits + 7) / 8;
    const std::size_t half = (bits + 15) / 16;
    try {
        const bool fits = write_fixed(k.n, full, values.modulus) && write_fixed(k.p, half, values.prime_1) &&
                          write_fixed(k.q, half, values.prime_2) && write_fixed(k.dp, half, values.exponent_1) &&
                          write_fixed(k.dq, half, values.exponent_2) && write_fixed(k.qp, half, values.coefficient) &&
                          write_fixed(k.e, 4, values.public_exponent) &&
                          write_fixed(k.d, full, values.private_exponent);
        return fits ? CKR_OK : CKR_WRAPPED_KEY_INVALID;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
}

}  // namespace pkcs11
