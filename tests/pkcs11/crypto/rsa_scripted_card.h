// A card for the RSA contexts made of software: mbed TLS does the private
// operations of a test key, and the test scripts failures (a status for the
// next command, a reply of the wrong length) and counts the commands.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/md.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "rsa_ctx.h"
#include "support/test_keys.h"

namespace rsa_test {

using bytes = std::vector<std::uint8_t>;

using test_support::test_drbg;

// n bytes of a pattern that differs with the seed.
inline bytes pattern(std::size_t n, unsigned seed) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return b;
}

inline bytes digest_of(mbedtls_md_type_t md, const bytes& data) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(md);
    bytes out(mbedtls_md_get_size(info));
    mbedtls_md(info, data.data(), data.size(), out.data());
    return out;
}

// An RSA key of the test, made once per size and seed.
struct test_rsa_key {
    mbedtls_rsa_context rsa;
    bytes n, e;
    test_rsa_key(unsigned bits, const char* seed) {
        mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
        test_drbg drbg(seed);
        mbedtls_rsa_gen_key(&rsa, mbedtls_ctr_drbg_random, drbg.get(), bits, 65537);
        n.resize(bits / 8);
        e.resize(4);
        mbedtls_mpi_write_binary(&rsa.N, n.data(), n.size());
        mbedtls_mpi_write_binary(&rsa.E, e.data(), e.size());
    }
    ~test_rsa_key() { mbedtls_rsa_free(&rsa); }
    // The card's import blocks (solvanta_key_blocks.h), sizes in host order.
    void blocks(bytes& private_block, bytes& public_block) const {
        private_block.assign(904, 0);
        public_block.assign(264, 0);
        const std::uint32_t bits = static_cast<std::uint32_t>(n.size() * 8);
        std::memcpy(private_block.data(), &bits, 4);
        std::memcpy(public_block.data(), &bits, 4);
        const struct {
            const mbedtls_mpi* v;
            bytes* block;
            std::size_t at, width;
        } fields[] = {{&rsa.N, &public_block, 4, 256},   {&rsa.E, &public_block, 260, 4},
                      {&rsa.D, &private_block, 4, 256},  {&rsa.E, &private_block, 260, 4},
                      {&rsa.P, &private_block, 264, 128}, {&rsa.Q, &private_block, 392, 128},
                      {&rsa.DP, &private_block, 520, 128}, {&rsa.DQ, &private_block, 648, 128},
                      {&rsa.QP, &private_block, 776, 128}};
        for (const auto& f : fields) mbedtls_mpi_write_binary(f.v, f.block->data() + f.at, f.width);
    }
    // The key in PEM for openssl (private or public).
    int pem(bool is_private, bytes& out) const {
        mbedtls_pk_context pk;
        mbedtls_pk_init(&pk);
        unsigned char text[8192] = {};
        int status = mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
        if (status == 0) status = mbedtls_rsa_copy(mbedtls_pk_rsa(pk), &rsa);
        if (status == 0)
            status = is_private ? mbedtls_pk_write_key_pem(&pk, text, sizeof text)
                                : mbedtls_pk_write_pubkey_pem(&pk, text, sizeof text);
        mbedtls_pk_free(&pk);
        if (status == 0) out.assign(text, text + std::strlen(reinterpret_cast<char*>(text)));
        return status;
    }
    test_rsa_key(const test_rsa_key&) = delete;
    test_rsa_key& operator=(const test_rsa_key&) = delete;
};

class scripted_card final : public pkcs11::pkcs11_rsa_card {
public:
    explicit scripted_card(test_rsa_key& key) : key_(key) {}

    std::int32_t sign(std::uint16_t key_id, std::uint32_t hash_id, const std::uint8_t* data, std::size_t length,
                      std::uint8_t* out, std::size_t* out_len) override {
        ++signs;
        last_key_id = key_id;
        last_hash_id = hash_id;
        if (next_status != 0) return take_status();
        bytes sig(key_.n.size());
        const mbedtls_md_type_t md = pkcs11::card_hash_to_digest(hash_id);
        if (mbedtls_rsa_pkcs1_sign(&key_.rsa, nullptr, nullptr, MBEDTLS_RSA_PRIVATE, md,
                                   static_cast<unsigned>(length), data, sig.data()) != 0)
            return 0x6700;
        return reply(sig, out, out_len);
    }
    std::int32_t decrypt(std::uint16_t key_id, const std::uint8_t* data, std::size_t, std::uint8_t* out,
                         std::size_t* out_len) override {
        ++decrypts;
        last_key_id = key_id;
        if (next_status != 0) return take_status();
        bytes plain(key_.n.size());
        std::size_t got = 0;
        if (mbedtls_rsa_pkcs1_decrypt(&key_.rsa, mbedtls_ctr_drbg_random, drbg_.get(), MBEDTLS_RSA_PRIVATE, &got,
                                      data, plain.data(), plain.size()) != 0)
            return 0x6A80;
        plain.resize(got);
        return reply(plain, out, out_len);
    }
    std::int32_t private_operation(std::uint16_t key_id, const std::uint8_t* data, std::size_t,
                                   std::uint8_t* out, std::size_t* out_len) override {
        ++raws;
        last_key_id = key_id;
        if (next_status != 0) return take_status();
        bytes result(key_.n.size());
        if (mbedtls_rsa_private(&key_.rsa, mbedtls_ctr_drbg_random, drbg_.get(), data, result.data()) != 0)
            return 0x6A80;
        return reply(result, out, out_len);
    }

    int signs = 0, decrypts = 0, raws = 0;
    std::uint16_t last_key_id = 0;
    std::uint32_t last_hash_id = 0;
    std::int32_t next_status = 0;
    // Added to the length of the next reply (the card answering too much or
    // too little).
    int reply_skew = 0;

private:
    std::int32_t take_status() {
        const std::int32_t s = next_status;
        next_status = 0;
        return s;
    }
    std::int32_t reply(bytes payload, std::uint8_t* out, std::size_t* out_len) {
        if (reply_skew != 0) {
            payload.resize(static_cast<std::size_t>(static_cast<int>(payload.size()) + reply_skew), 0x5A);
            reply_skew = 0;
        }
        if (payload.size() > *out_len) return 3;
        std::memcpy(out, payload.data(), payload.size());
        *out_len = payload.size();
        return 0;
    }

    test_rsa_key& key_;
    test_drbg drbg_{"blinding"};
};

// A key given by its values.
class fixed_key final : public pkcs11::pkcs11_rsa_key_source {
public:
    fixed_key(CK_OBJECT_CLASS c, bytes n, bytes e, std::uint16_t id = 0x4500)
        : class_(c), n_(std::move(n)), e_(std::move(e)), id_(id) {}
    CK_OBJECT_CLASS key_class() const override { return class_; }
    CK_RV modulus_bits(std::uint32_t& bits) override {
        if (bits_override != 0) {
            bits = bits_override;
            return CKR_OK;
        }
        return pkcs11::rsa_bits_of_modulus(n_.data(), n_.size(), bits);
    }
    CK_RV public_key(bytes& n, bytes& e) override {
        ++*public_reads;
        n = n_;
        e = e_;
        return CKR_OK;
    }
    CK_RV private_key_id(std::uint16_t& id) override {
        id = id_;
        return id_rv;
    }

    std::uint32_t bits_override = 0;
    CK_RV id_rv = CKR_OK;
    int own_reads = 0;
    int* public_reads = &own_reads;

private:
    CK_OBJECT_CLASS class_;
    bytes n_, e_;
    std::uint16_t id_;
};

}  // namespace rsa_test
