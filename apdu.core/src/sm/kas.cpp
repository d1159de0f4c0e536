#include "sm/kas.h"

#include "sm/random.h"

#include <mbedtls/bignum.h>
#include <mbedtls/ecdh.h>
#include <mbedtls/ecp.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha512.h>

#include <cstring>

namespace zervik {

namespace {

// The mbed TLS objects of one agreement step; mbedtls_*_free wipes them.
struct ecp_scope {
    mbedtls_ecp_group group;
    mbedtls_mpi scalar;
    mbedtls_mpi z;
    mbedtls_ecp_point point;

    ecp_scope() {
        mbedtls_ecp_group_init(&group);
        mbedtls_mpi_init(&scalar);
        mbedtls_mpi_init(&z);
        mbedtls_ecp_point_init(&point);
    }
    ~ecp_scope() {
        mbedtls_ecp_point_free(&point);
        mbedtls_mpi_free(&z);
        mbedtls_mpi_free(&scalar);
        mbedtls_ecp_group_free(&group);
    }
    ecp_scope(const ecp_scope&) = delete;
    ecp_scope& operator=(const ecp_scope&) = delete;

    bool load_group() { return mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_SECP521R1) == 0; }
};

}  // namespace

const session_key_type session_key_types[10] = {
    {0x40002000, 128, 16, 16, 1}, {0x40002001, 128, 16, 16, 1}, {0x40002010, 192, 24, 16, 1},
    {0x40002011, 192, 24, 16, 1}, {0x40002020, 256, 32, 16, 1}, {0x40002021, 256, 32, 16, 1},
    {0x40002110, 80, 16, 8, 0},   {0x40002111, 80, 16, 8, 0},   {0x40002120, 112, 24, 8, 1},
    {0x40002121, 112, 24, 8, 1},
};

std::size_t session_key_length(std::uint32_t type) {
    for (const auto& row : session_key_types) {
        if (row.id == type) return row.key_length;
    }
    return 0;
}

int kas_generate_keypair(std::uint8_t private_key[kas_value_size], std::uint8_t public_x[kas_value_size],
                         std::uint8_t public_y[kas_value_size]) {
    if (private_key == nullptr || public_x == nullptr || public_y == nullptr) return 4;
    ecp_scope ecp;
    if (!ecp.load_group()) return 1;
    if (mbedtls_ecp_gen_keypair(&ecp.group, &ecp.scalar, &ecp.point, kas_random, nullptr) != 0) return 2;
    if (mbedtls_mpi_write_binary(&ecp.scalar, private_key, kas_value_size) != 0 ||
        mbedtls_mpi_write_binary(&ecp.point.X, public_x, kas_value_size) != 0 ||
        mbedtls_mpi_write_binary(&ecp.point.Y, public_y, kas_value_size) != 0) {
        mbedtls_platform_zeroize(private_key, kas_value_size);
        return 4;
    }
    return 0;
}

int kas_compute_shared(const std::uint8_t private_key[kas_value_size], const std::uint8_t* own_x,
                       const std::uint8_t* own_y, const std::uint8_t* peer, std::uint8_t* z, std::size_t z_capacity) {
    (void)own_x;
    (void)own_y;
    if (private_key == nullptr || peer == nullptr) return 2;
    if (z == nullptr || z_capacity == 0) return 4;
    ecp_scope ecp;
    if (!ecp.load_group()) return 1;
    if (mbedtls_mpi_read_binary(&ecp.scalar, private_key, kas_value_size) != 0 ||
        mbedtls_mpi_read_binary(&ecp.point.X, peer, kas_value_size) != 0 ||
        mbedtls_mpi_read_binary(&ecp.point.Y, peer + kas_value_size, kas_value_size) != 0 ||
        mbedtls_mpi_lset(&ecp.point.Z, 1) != 0) {
        return 2;
    }
    // The multiplication checks both again; checking first keeps the error
    // of a bad card point independent of mbed TLS's internals.
    if (mbedtls_ecp_check_pubkey(&ecp.group, &ecp.point) != 0 ||
        mbedtls_ecp_check_privkey(&ecp.group, &ecp.scalar) != 0) {
        return 2;
    }
    if (mbedtls_ecdh_compute_shared(&ecp.group, &ecp.z, &ecp.point, &ecp.scalar, kas_random, nullptr) != 0) return 2;

    std::uint8_t full[kas_shared_size];
    if (mbedtls_mpi_write_binary(&ecp.z, full, sizeof full) != 0) return 4;
    const std::size_t n = z_capacity < sizeof full ? z_capacity : sizeof full;
    std::memcpy(z, full, n);
    mbedtls_platform_zeroize(full, sizeof full);
    return 0;
}

int kas_kdf_sha512(const std::uint8_t* z, std::size_t z_bits, const std::uint8_t* other_info,
                   std::size_t other_info_length, std::uint8_t* output, std::size_t output_length) {
    if (output_length == 0) return 0;
    const std::size_t z_length = (z_bits + 7) / 8;
    if (output == nullptr || (z == nullptr && z_length != 0) || (other_info == nullptr && other_info_length != 0))
        return 1;

    std::uint8_t digest[64];
    mbedtls_sha512_context sha;
    mbedtls_sha512_init(&sha);
    std::size_t done = 0;
    for (std::uint32_t counter = 1; done < output_length; ++counter) {
        const std::uint8_t counter_bytes[4] = {
            static_cast<std::uint8_t>(counter >> 24), static_cast<std::uint8_t>(counter >> 16),
            static_cast<std::uint8_t>(counter >> 8), static_cast<std::uint8_t>(counter)};
        mbedtls_sha512_starts_ret(&sha, 0);
        mbedtls_sha512_update_ret(&sha, counter_bytes, sizeof counter_bytes);
        if (z_length != 0) mbedtls_sha512_update_ret(&sha, z, z_length);
        if (other_info_length != 0) mbedtls_sha512_update_ret(&sha, other_info, other_info_length);
        mbedtls_sha512_finish_ret(&sha, digest);
        const std::size_t take = output_length - done < sizeof digest ? output_length - done : sizeof digest;
        std::memcpy(output + done, digest, take);
        done += take;
    }
    mbedtls_sha512_free(&sha);
    mbedtls_platform_zeroize(digest, sizeof digest);
    return 0;
}

void kas_host_key_record(const std::uint8_t x[kas_value_size], const std::uint8_t y[kas_value_size],
                         std::uint8_t record[kas_record_size]) {
    constexpr std::uint32_t bits = 521;
    record[0] = static_cast<std::uint8_t>(bits);
    record[1] = static_cast<std::uint8_t>(bits >> 8);
    record[2] = 0;
    record[3] = 0;
    std::memcpy(record + 4, x, kas_value_size);
    std::memcpy(record + 4 + kas_value_size, y, kas_value_size);
    std::memset(record + 4 + 2 * kas_value_size, 0, 4);
}

}  // namespace zervik
