// An ECDSA P-256 signature (r || s, 32 bytes each) checked straight through
// mbed TLS, with nothing of the module in between: the reference the tests
// and benchmarks hold the module's verification and signatures against.
#pragma once

#include <cstddef>

#include <mbedtls/ecdsa.h>

namespace test_support {

// 0 when the signature verifies over the hash under the uncompressed point;
// an mbed TLS error otherwise (a point off the curve included).
inline int p256_verify_direct(const unsigned char* point, std::size_t point_length, const unsigned char* hash,
                              std::size_t hash_length, const unsigned char* signature) {
    mbedtls_ecp_group g;
    mbedtls_ecp_point q;
    mbedtls_mpi r, s;
    mbedtls_ecp_group_init(&g);
    mbedtls_ecp_point_init(&q);
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    int status = mbedtls_ecp_group_load(&g, MBEDTLS_ECP_DP_SECP256R1);
    if (status == 0) status = mbedtls_ecp_point_read_binary(&g, &q, point, point_length);
    if (status == 0) status = mbedtls_ecp_check_pubkey(&g, &q);
    if (status == 0) status = mbedtls_mpi_read_binary(&r, signature, 32);
    if (status == 0) status = mbedtls_mpi_read_binary(&s, signature + 32, 32);
    if (status == 0) status = mbedtls_ecdsa_verify(&g, hash, hash_length, &q, &r, &s);
    mbedtls_mpi_free(&s);
    mbedtls_mpi_free(&r);
    mbedtls_ecp_point_free(&q);
    mbedtls_ecp_group_free(&g);
    return status;
}

}  // namespace test_support
