// libFuzzer target over RSA private key blobs as a PKCS #12 import hands
// them on: the reader and the check that mends a blob whose p, q and e are
// sound. The first byte picks the form: the rest as a whole blob, or a blob
// built from the rest's p, q, e and other values with n = p*q (so that the
// check gets past the product and reaches the repair). Invariants:
//  - the reader accepts exactly what the check can read, and gives every
//    value in its field's width, big-endian, the blob's bytes reversed;
//  - a blob found sound or dropped is left byte for byte as it was;
//  - a repaired blob keeps its header, n, p, q and e, and is then sound.
#include <mbedtls/bignum.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "key_blob.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool reversed_equal(const std::vector<std::uint8_t>& be, const std::uint8_t* le, std::size_t n) {
    if (be.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (be[i] != le[n - 1 - i]) return false;
    return true;
}

void check_blob(std::vector<std::uint8_t> blob) {
    mgr::rsa_private_parts parts;
    const int parsed = mgr::parse_private_key_blob(blob.data(), blob.size(), parts);
    const std::vector<std::uint8_t> before = blob;
    const mgr::blob_check result = mgr::check_private_key_blob(blob.data(), blob.size());
    if (parsed != 0) {
        require(parsed == 1 && result == mgr::blob_check::dropped && blob == before);
        return;
    }
    const std::uint32_t bits = le32(before.data() + 12);
    const std::size_t full = bits / 8, half = bits / 16;
    require(parts.bits == bits && bits % 16 == 0 && bits != 0 && blob.size() >= mgr::private_blob_size(bits));
    require(parts.alg_id == le32(before.data() + 4));
    const std::uint8_t* at = before.data() + mgr::private_blob_header;
    require(reversed_equal(parts.modulus, at, full));
    require(reversed_equal(parts.prime1, at + full, half) && reversed_equal(parts.prime2, at + full + half, half));
    require(reversed_equal(parts.exponent1, at + full + 2 * half, half));
    require(reversed_equal(parts.exponent2, at + full + 3 * half, half));
    require(reversed_equal(parts.coefficient, at + full + 4 * half, half));
    require(reversed_equal(parts.private_exponent, at + full + 5 * half, full));
    require(parts.public_exponent == mgr::minimal_exponent(le32(before.data() + 16)));
    require(!parts.public_exponent.empty() && parts.public_exponent.size() <= 4);

    switch (result) {
        case mgr::blob_check::sound:
        case mgr::blob_check::dropped: require(blob == before); break;
        case mgr::blob_check::repaired: {
            const std::size_t kept = mgr::private_blob_header + full + 2 * half;  // header, n, p, q
            require(std::memcmp(blob.data(), before.data(), kept) == 0);
            const std::size_t used = mgr::private_blob_size(bits);
            require(std::memcmp(blob.data() + used, before.data() + used, blob.size() - used) == 0);
            std::vector<std::uint8_t> again = blob;
            require(mgr::check_private_key_blob(again.data(), again.size()) == mgr::blob_check::sound);
            require(again == blob);
            break;
        }
    }
}

// A blob of bits = 16 * (1 + data[0] % 48) from the rest: p and q (half
// width each), n = p*q, e from 4 bytes, and the other values as they come.
void built_blob(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    const std::uint32_t bits = 16u * (1u + data[0] % 48u);
    const std::size_t full = bits / 8, half = bits / 16;
    std::vector<std::uint8_t> blob(mgr::private_blob_size(bits) + (data[0] & 0x80 ? 3 : 0), 0);
    std::size_t pos = 1;
    auto take = [&](std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = pos < size ? data[pos++] : 0;
    };
    blob[0] = 0x07;  // PRIVATEKEYBLOB
    blob[1] = 0x02;
    put_le32(blob.data() + 4, (data[0] & 0x40) ? mgr::alg_rsa_sign : mgr::alg_rsa_keyx);
    put_le32(blob.data() + 8, 0x32415352);
    put_le32(blob.data() + 12, bits);
    std::uint8_t e_bytes[4];
    take(e_bytes, 4);
    put_le32(blob.data() + 16, le32(e_bytes));
    std::uint8_t* at = blob.data() + mgr::private_blob_header;
    take(at + full, half);      // p
    take(at + full + half, half);  // q
    take(at + full + 2 * half, 3 * half + full);  // dp, dq, qInv, d
    mbedtls_mpi p, q, n;
    mbedtls_mpi_init(&p);
    mbedtls_mpi_init(&q);
    mbedtls_mpi_init(&n);
    require(mbedtls_mpi_read_binary_le(&p, at + full, half) == 0);
    require(mbedtls_mpi_read_binary_le(&q, at + full + half, half) == 0);
    require(mbedtls_mpi_mul_mpi(&n, &p, &q) == 0);
    require(mbedtls_mpi_write_binary_le(&n, at, full) == 0);  // fits: p, q < 2^(bits/2)
    mbedtls_mpi_free(&p);
    mbedtls_mpi_free(&q);
    mbedtls_mpi_free(&n);
    check_blob(blob);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    require(mgr::check_private_key_blob(nullptr, 0) == mgr::blob_check::dropped);
    if (size == 0) return 0;
    if (data[0] & 1) {
        built_blob(data + 1, size - 1);
    } else {
        check_blob(std::vector<std::uint8_t>(data + 1, data + size));
    }
    return 0;
}
