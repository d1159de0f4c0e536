#include "key_blob.h"

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>

#include <algorithm>

#include "cert_files.h"

namespace mgr {

namespace {

constexpr std::uint32_t rsa2_magic = 0x32415352;  // "RSA2"

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Where each value sits in a blob of `bits`.
struct layout {
    std::size_t full, half;
    std::size_t n, p, q, dp, dq, qinv, d;
    explicit layout(std::uint32_t bits)
        : full(bits / 8), half(bits / 16), n(private_blob_header), p(n + full), q(p + half), dp(q + half),
          dq(dp + half), qinv(dq + half), d(qinv + half) {}
};

std::vector<std::uint8_t> reversed(const std::uint8_t* p, std::size_t n) {
    std::vector<std::uint8_t> out(p, p + n);
    std::reverse(out.begin(), out.end());
    return out;
}

// An mbed TLS integer with its own clean-up.
struct mpi {
    mbedtls_mpi v;
    mpi() { mbedtls_mpi_init(&v); }
    ~mpi() { mbedtls_mpi_free(&v); }
    mpi(const mpi&) = delete;
    mpi& operator=(const mpi&) = delete;
    mbedtls_mpi* operator&() { return &v; }
};

int read_le(mpi& x, const std::uint8_t* p, std::size_t n) { return mbedtls_mpi_read_binary_le(&x, p, n); }
int write_le(mpi& x, std::uint8_t* p, std::size_t n) { return mbedtls_mpi_write_binary_le(&x, p, n); }

}  // namespace

rsa_private_parts::~rsa_private_parts() {
    wipe(prime1);
    wipe(prime2);
    wipe(exponent1);
    wipe(exponent2);
    wipe(coefficient);
    wipe(private_exponent);
}

std::size_t private_blob_size(std::uint32_t bits) { return private_blob_header + (bits / 16) * 9; }

int parse_private_key_blob(const std::uint8_t* blob, std::size_t length, rsa_private_parts& out) {
    if (blob == nullptr || length < private_blob_header) return 1;
    const std::uint32_t bits = le32(blob + 12);
    if (le32(blob + 8) != rsa2_magic || bits == 0 || bits % 16 != 0 || bits > 16384) return 1;
    if (length < private_blob_size(bits)) return 1;
    const layout at(bits);
    out.alg_id = le32(blob + 4);
    out.bits = bits;
    out.public_exponent = minimal_exponent(le32(blob + 16));
    out.modulus = reversed(blob + at.n, at.full);
    out.prime1 = reversed(blob + at.p, at.half);
    out.prime2 = reversed(blob + at.q, at.half);
    out.exponent1 = reversed(blob + at.dp, at.half);
    out.exponent2 = reversed(blob + at.dq, at.half);
    out.coefficient = reversed(blob + at.qinv, at.half);
    out.private_exponent = reversed(blob + at.d, at.full);
    return 0;
}

std::vector<std::uint8_t> minimal_exponent(std::uint32_t e) {
    std::vector<std::uint8_t> out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto b = static_cast<std::uint8_t>(e >> shift);
        if (b != 0 || !out.empty()) out.push_back(b);
    }
    if (out.empty()) out.push_back(0);
    return out;
}

blob_check check_private_key_blob(std::uint8_t* blob, std::size_t length) {
    if (blob == nullptr || length < private_blob_header) return blob_check::dropped;
    const std::uint32_t bits = le32(blob + 12);
    if (le32(blob + 8) != rsa2_magic || bits == 0 || bits % 16 != 0 || bits > 16384 ||
        length < private_blob_size(bits))
        return blob_check::dropped;
    const layout at(bits);
    mpi n, e, p, q, dp, dq, qinv, d, t, p1, q1, phi, g, lambda;
    int status = read_le(n, blob + at.n, at.full);
    if (status == 0) status = mbedtls_mpi_lset(&e, static_cast<mbedtls_mpi_sint>(le32(blob + 16)));
    if (status == 0) status = read_le(p, blob + at.p, at.half);
    if (status == 0) status = read_le(q, blob + at.q, at.half);
    if (status == 0) status = read_le(dp, blob + at.dp, at.half);
    if (status == 0) status = read_le(dq, blob + at.dq, at.half);
    if (status == 0) status = read_le(qinv, blob + at.qinv, at.half);
    if (status == 0) status = read_le(d, blob + at.d, at.full);
    if (status != 0) return blob_check::dropped;

    // p*q = n, both above 1.
    if (mbedtls_mpi_cmp_int(&p, 1) <= 0 || mbedtls_mpi_cmp_int(&q, 1) <= 0) return blob_check::dropped;
    if (mbedtls_mpi_mul_mpi(&t, &p, &q) != 0 || mbedtls_mpi_cmp_mpi(&t, &n) != 0) return blob_check::dropped;

    // phi = (p-1)(q-1), lambda = phi / gcd(p-1, q-1).
    if (mbedtls_mpi_sub_int(&p1, &p, 1) != 0 || mbedtls_mpi_sub_int(&q1, &q, 1) != 0 ||
        mbedtls_mpi_mul_mpi(&phi, &p1, &q1) != 0 || mbedtls_mpi_gcd(&g, &p1, &q1) != 0 ||
        mbedtls_mpi_div_mpi(&lambda, nullptr, &phi, &g) != 0)
        return blob_check::dropped;

    bool sound = true;
    mpi r;
    // e*d = 1 mod lambda (which also holds when it does mod phi).
    if (mbedtls_mpi_mul_mpi(&t, &e, &d) != 0 || mbedtls_mpi_mod_mpi(&r, &t, &lambda) != 0 ||
        mbedtls_mpi_cmp_int(&r, 1) != 0)
        sound = false;
    // dp = d mod (p-1), dq = d mod (q-1): what the signer's CRT uses.
    if (sound && (mbedtls_mpi_mod_mpi(&r, &d, &p1) != 0 || mbedtls_mpi_cmp_mpi(&r, &dp) != 0)) sound = false;
    if (sound && (mbedtls_mpi_mod_mpi(&r, &d, &q1) != 0 || mbedtls_mpi_cmp_mpi(&r, &dq) != 0)) sound = false;
    // qInv*q = 1 mod p.
    if (sound && (mbedtls_mpi_mul_mpi(&t, &qinv, &q) != 0 || mbedtls_mpi_mod_mpi(&r, &t, &p) != 0 ||
                  mbedtls_mpi_cmp_int(&r, 1) != 0))
        sound = false;
    if (sound) return blob_check::sound;

    // Mend from p, q and e: d = e^-1 mod lambda(n), its CRT halves and qInv.
    if (mbedtls_mpi_inv_mod(&d, &e, &lambda) != 0 || mbedtls_mpi_mod_mpi(&dp, &d, &p1) != 0 ||
        mbedtls_mpi_mod_mpi(&dq, &d, &q1) != 0 || mbedtls_mpi_inv_mod(&qinv, &q, &p) != 0)
        return blob_check::dropped;
    if (write_le(d, blob + at.d, at.full) != 0 || write_le(dp, blob + at.dp, at.half) != 0 ||
        write_le(dq, blob + at.dq, at.half) != 0 || write_le(qinv, blob + at.qinv, at.half) != 0)
        return blob_check::dropped;
    return blob_check::repaired;
}

}  // namespace mgr
