// Key agreement with the card: P-521 key pairs, the ECDH shared secret and
// the SHA-512 concatenation key derivation, and the table of session key
// types. Private scalars and coordinates travel as 68-byte big-endian
// values (two leading zero bytes for P-521), as the card exchanges them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zervik {

constexpr std::size_t kas_value_size = 68;       // scalar, X or Y
constexpr std::size_t kas_shared_size = 66;      // Z of P-521
constexpr std::size_t kas_shared_bits = 528;     // Z length given to the KDF
constexpr std::size_t kas_record_size = 144;     // {bits u32, X, Y, 4 zero bytes}
// OtherInfo of the agreements: zero bytes, as many as the caller's profile
// sends (the library 68, the PKCS #11 module 64), at most kas_other_info_max.
constexpr std::size_t kas_other_info_size = 68;  // the library's
constexpr std::size_t kas_other_info_max = 68;
constexpr std::uint32_t kas_algorithm_p521 = 0x40001011;
constexpr std::uint32_t kas_algorithm_sha512 = 0x40000015;

// Makes a fresh P-521 key pair from the library's random source. Returns 0;
// 1 when the group cannot be loaded, 2 when generation fails, 4 when a value
// does not fit 68 bytes.
int kas_generate_keypair(std::uint8_t private_key[kas_value_size], std::uint8_t public_x[kas_value_size],
                         std::uint8_t public_y[kas_value_size]);

// ECDH: Z = x-coordinate of private_key * peer point. peer holds X (68
// bytes) followed by Y (68 bytes). The own public key is not used. Writes
// the first min(z_capacity, 66) bytes of Z. Returns 0; 1 group load failed;
// 2 computation failed (a point not on the curve, a bad scalar); 4 Z could
// not be written (z_capacity 0 included).
int kas_compute_shared(const std::uint8_t private_key[kas_value_size], const std::uint8_t* own_x,
                       const std::uint8_t* own_y, const std::uint8_t* peer, std::uint8_t* z, std::size_t z_capacity);

// Single-step concatenation KDF with SHA-512: output = the first
// output_length bytes of SHA-512(1 || Z || OtherInfo) || SHA-512(2 || ...),
// counters as 4-byte big-endian values, ceil(z_bits / 8) bytes of Z.
// Returns 0 (1 for a missing buffer).
int kas_kdf_sha512(const std::uint8_t* z, std::size_t z_bits, const std::uint8_t* other_info,
                   std::size_t other_info_length, std::uint8_t* output, std::size_t output_length);

// The host's public-key record: the key size in bits, written little-endian
// as the card expects it (the one exception to big-endian card data), X, Y
// and four zero bytes.
void kas_host_key_record(const std::uint8_t x[kas_value_size], const std::uint8_t y[kas_value_size],
                         std::uint8_t record[kas_record_size]);

// One row of the session key types the card knows.
struct session_key_type {
    std::uint32_t id;
    std::uint16_t bits;
    std::uint8_t key_length;
    std::uint8_t block_length;
    std::uint32_t flag;
};

extern const session_key_type session_key_types[10];

// Key length in bytes of a session key type; 0 for a type not in the table.
std::size_t session_key_length(std::uint32_t type);

}  // namespace zervik
