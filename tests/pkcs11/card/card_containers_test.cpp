// Key containers on a formatted virtual token: the records are read back
// with the test's own decoder (store_layout.h), keys made on the card sign
// and the signatures are checked with mbed TLS and, natively, with the
// openssl command; failures come from the token's fault controls.
#include <gtest/gtest.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "card_commands.h"
#include "card_containers.h"
#include "card_device.h"
#include "card_pin.h"
#include "card_profile.h"
#include "card_store.h"
#include "formatted_token.h"
#include "store_layout.h"
#include "support/test_keys.h"
#include "support/vtoken_control.h"

using namespace solvantex;
using store_layout::bytes;
using store_layout::u8;
using store_layout::user_pin;
using test_support::from_hex;
using test_support::test_drbg;
#ifndef _WIN32
using test_support::openssl_tool;
#endif
using test_support::to_hex;

namespace {

const char* cmap_path = "3f00/2000/4000/cmapfile";
const char* cont_path = "3f00/2000/4000/contInfo";
constexpr std::uint32_t sha_256 = 0x40000013;

bytes pattern(std::size_t n, unsigned seed) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 13 + seed);
    return b;
}

bytes sha256(const bytes& data) {
    bytes out(32);
    mbedtls_sha256_ret(data.data(), data.size(), out.data(), 0);
    return out;
}

const bytes sha256_digest_info = from_hex("3031300d060960864801650304020105000420");

void put_bits(bytes& block, std::uint32_t bits) { std::memcpy(block.data(), &bits, 4); }  // host order
void put_mpi(bytes& block, std::size_t at, std::size_t width, const mbedtls_mpi& v) {
    ASSERT_EQ(mbedtls_mpi_write_binary(&v, block.data() + at, width), 0);
}

// An RSA-2048 key of the test, with its card blocks.
struct rsa_key {
    mbedtls_rsa_context rsa;
    bytes private_block = bytes(904), public_block = bytes(264);
    rsa_key() {
        mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
        test_drbg drbg("rsa import");
        EXPECT_EQ(mbedtls_rsa_gen_key(&rsa, mbedtls_ctr_drbg_random, drbg.get(), 2048, 65537), 0);
        mbedtls_mpi n, e, d, p, q, dp, dq, qp;
        for (auto* m : {&n, &e, &d, &p, &q, &dp, &dq, &qp}) mbedtls_mpi_init(m);
        EXPECT_EQ(mbedtls_rsa_export(&rsa, &n, &p, &q, &d, &e), 0);
        EXPECT_EQ(mbedtls_rsa_export_crt(&rsa, &dp, &dq, &qp), 0);
        put_bits(private_block, 2048);
        put_mpi(private_block, 4, 256, d);
        put_mpi(private_block, 260, 4, e);
        put_mpi(private_block, 264, 128, p);
        put_mpi(private_block, 392, 128, q);
        put_mpi(private_block, 520, 128, dp);
        put_mpi(private_block, 648, 128, dq);
        put_mpi(private_block, 776, 128, qp);
        put_bits(public_block, 2048);
        put_mpi(public_block, 4, 256, n);
        put_mpi(public_block, 260, 4, e);
        for (auto* m : {&n, &e, &d, &p, &q, &dp, &dq, &qp}) mbedtls_mpi_free(m);
    }
    ~rsa_key() { mbedtls_rsa_free(&rsa); }
};

// An EC key of the test, with its card blocks.
struct ec_key {
    mbedtls_ecp_keypair key;
    std::size_t size;
    bytes private_block = bytes(72), public_block = bytes(144);
    ec_key(mbedtls_ecp_group_id group, std::uint32_t bits, const char* seed) : size((bits + 7) / 8) {
        mbedtls_ecp_keypair_init(&key);
        test_drbg drbg(seed);
        EXPECT_EQ(mbedtls_ecp_gen_key(group, &key, mbedtls_ctr_drbg_random, drbg.get()), 0);
        put_bits(private_block, bits);
        put_mpi(private_block, 4, 68, key.d);
        put_bits(public_block, bits);
        put_mpi(public_block, 4, 68, key.Q.X);
        put_mpi(public_block, 72, 68, key.Q.Y);
    }
    ~ec_key() { mbedtls_ecp_keypair_free(&key); }
};

// Verification with mbed TLS from a public block the card exported.
bool rsa_verifies(const bytes& block, const bytes& digest, const bytes& signature) {
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    bool ok = mbedtls_rsa_import_raw(&rsa, block.data() + 4, 256, nullptr, 0, nullptr, 0, nullptr, 0,
                                     block.data() + 260, 4) == 0 &&
              mbedtls_rsa_complete(&rsa) == 0 && signature.size() == 256 &&
              mbedtls_rsa_pkcs1_verify(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32,
                                       digest.data(), signature.data()) == 0;
    mbedtls_rsa_free(&rsa);
    return ok;
}

bool ecdsa_verifies(mbedtls_ecp_group_id group, const bytes& block, const bytes& digest, const bytes& signature) {
    mbedtls_ecp_group grp;
    mbedtls_ecp_point q;
    mbedtls_mpi r, s;
    mbedtls_ecp_group_init(&grp);
    mbedtls_ecp_point_init(&q);
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    const std::size_t size = group == MBEDTLS_ECP_DP_SECP256R1 ? 32 : 66;
    bytes point{0x04};
    point.insert(point.end(), block.begin() + 4 + (68 - static_cast<long>(size)), block.begin() + 72);
    point.insert(point.end(), block.begin() + 72 + (68 - static_cast<long>(size)), block.begin() + 140);
    bool ok = signature.size() == 2 * size && mbedtls_ecp_group_load(&grp, group) == 0 &&
              mbedtls_ecp_point_read_binary(&grp, &q, point.data(), point.size()) == 0 &&
              mbedtls_mpi_read_binary(&r, signature.data(), size) == 0 &&
              mbedtls_mpi_read_binary(&s, signature.data() + size, size) == 0 &&
              mbedtls_ecdsa_verify(&grp, digest.data(), digest.size(), &q, &r, &s) == 0;
    mbedtls_mpi_free(&r);
    mbedtls_mpi_free(&s);
    mbedtls_ecp_point_free(&q);
    mbedtls_ecp_group_free(&grp);
    return ok;
}

#ifndef _WIN32
// The public block as a PEM key for openssl.
void public_pem(const openssl_tool& tool, const std::string& name, const bytes& block, mbedtls_ecp_group_id group) {
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    if (group == MBEDTLS_ECP_DP_NONE) {
        ASSERT_EQ(mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)), 0);
        ASSERT_EQ(mbedtls_rsa_import_raw(mbedtls_pk_rsa(pk), block.data() + 4, 256, nullptr, 0, nullptr, 0, nullptr,
                                         0, block.data() + 260, 4),
                  0);
        ASSERT_EQ(mbedtls_rsa_complete(mbedtls_pk_rsa(pk)), 0);
    } else {
        ASSERT_EQ(mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)), 0);
        mbedtls_ecp_keypair* ec = mbedtls_pk_ec(pk);
        ASSERT_EQ(mbedtls_ecp_group_load(&ec->grp, group), 0);
        bytes point{0x04};
        point.insert(point.end(), block.begin() + 40, block.begin() + 72);
        point.insert(point.end(), block.begin() + 108, block.begin() + 140);
        ASSERT_EQ(mbedtls_ecp_point_read_binary(&ec->grp, &ec->Q, point.data(), point.size()), 0);
    }
    ASSERT_EQ(tool.put_pem(name, &pk, false), 0);
    mbedtls_pk_free(&pk);
}

// r || s as the DER signature openssl reads.
bytes der_signature(const bytes& rs) {
    const std::size_t half = rs.size() / 2;
    const auto integer = [](bytes v) {
        while (v.size() > 1 && v[0] == 0) v.erase(v.begin());
        if (v[0] & 0x80) v.insert(v.begin(), 0);
        bytes out{0x02, static_cast<unsigned char>(v.size())};
        out.insert(out.end(), v.begin(), v.end());
        return out;
    };
    bytes body = integer(bytes(rs.begin(), rs.begin() + static_cast<long>(half)));
    const bytes s = integer(bytes(rs.begin() + static_cast<long>(half), rs.end()));
    body.insert(body.end(), s.begin(), s.end());
    bytes out{0x30};
    if (body.size() >= 128) out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
#endif

class card_containers_test : public formatted_token::test {
protected:
    void TearDown() override {
        vt_.call("set", {{"short_read", nullptr}});
        formatted_token::test::TearDown();
    }
    // A key file of the store directory (key files are no transparent EFs).
    bool key_exists(std::uint16_t id) {
        char s[5];
        std::snprintf(s, sizeof s, "%04x", id);
        return store_layout::files_of(vt_).count(std::string("3f00/2000/4000/") + s) != 0;
    }
    std::vector<std::string> writes() { return commands_of({"45", "42", "43", "81", "82", "83"}); }
    store_layout::cmap_entry cmap(int i) { return store_layout::cmap_record(file(cmap_path), i); }
    store_layout::cont_entry cont(int i) { return store_layout::cont_record(file(cont_path), i); }

    bytes public_key(std::int32_t index, std::int32_t spec) {
        bytes block(600);
        std::int32_t length = static_cast<std::int32_t>(block.size());
        EXPECT_EQ(cardfs_read_public_key(h_, index, spec, block.data(), &length), 0);
        block.resize(static_cast<std::size_t>(length));
        return block;
    }
    bytes sign(std::int32_t index, std::int32_t spec, std::uint32_t hash, const bytes& data) {
        EXPECT_EQ(cardfs_select_app_dir(h_), 0);
        bytes out(600);
        std::int32_t length = static_cast<std::int32_t>(out.size());
        EXPECT_EQ(card_asym_sign(h_, cardfs_private_key_id(index, spec), hash, data.data(),
                                 static_cast<std::int32_t>(data.size()), out.data(), &length),
                  0);
        out.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        return out;
    }
    void create(std::int32_t index, const std::string& name) {
        ASSERT_EQ(cardfs_create_container(h_, index, name.c_str()), 0);
    }

};

}  // namespace

TEST(card_container_forms, RecordsIdsAndSizes) {
    EXPECT_EQ(cardfs_public_key_id(3, 1), 0x4103);
    EXPECT_EQ(cardfs_private_key_id(3, 1), 0x4203);
    EXPECT_EQ(cardfs_public_key_id(7, 2), 0x4407);
    EXPECT_EQ(cardfs_private_key_id(7, 2), 0x4507);
    char name[8];
    cardfs_cert_file_name(3, 2, name);
    EXPECT_STREQ(name, "ksc03");
    cardfs_cert_file_name(0, 1, name);
    EXPECT_STREQ(name, "kxc00");
    for (std::uint32_t bits : {0u, 255u, 384u, 512u, 4096u, 3072u, 1023u})
        EXPECT_EQ(cardfs_key_algorithm(bits), 0u) << bits;
    EXPECT_EQ(cardfs_key_algorithm(521), 0x40001011u);
    EXPECT_EQ(cardfs_key_algorithm(2048), 0x40001001u);
    for (std::int32_t index : {-1, 8, INT_MIN, INT_MAX}) EXPECT_FALSE(cardfs_valid_container(index)) << index;

    // A fresh record, read with the test's decoder.
    bytes record(566);
    cardfs_fresh_cont_info(record.data());
    const auto e = store_layout::cont_record(record, 0);
    EXPECT_EQ(e.tag, 0x636F6E32u);
    for (const auto* half : {&e.signature, &e.exchange}) {
        EXPECT_EQ(half->public_bits, 0xF2u);
        EXPECT_EQ(half->private_bits, 0x6FBu);
        EXPECT_EQ(half->cert_bits, 2u);  // modifiable, not trusted
    }

    // A map record: 39 units at most, the name widened.
    cardfs_cmap_record r{};
    std::memset(r.name, 'n', 39);
    r.flags = 1;
    r.signature_bits = 2048;
    r.exchange_bits = 521;
    bytes map(86);
    ASSERT_EQ(cardfs_encode_cmap_record(r, map.data()), 0);
    const auto m = store_layout::cmap_record(map, 0);
    EXPECT_EQ(m.name, std::string(39, 'n'));
    EXPECT_EQ(m.name_utf16[78], 0);
    EXPECT_EQ(m.name_utf16[77], 0);
    EXPECT_EQ(m.name_utf16[76], 'n');
    EXPECT_EQ(m.signature_bits, 2048);
    EXPECT_EQ(m.exchange_bits, 521);
    cardfs_cmap_record back{};
    ASSERT_EQ(cardfs_decode_cmap_record(map.data(), map.size(), &back), 0);
    EXPECT_STREQ(back.name, r.name);

    cardfs_cont_info_record info{};
    ASSERT_EQ(cardfs_decode_cont_info(record.data(), record.size(), &info), 0);
    record[68] = 65;  // an id length past its field
    EXPECT_EQ(cardfs_decode_cont_info(record.data(), record.size(), &info), cardfs_store_corrupt);
    EXPECT_EQ(cardfs_decode_cont_info(record.data(), 565, &info), cardfs_store_corrupt);
}

TEST_F(card_containers_test, GeneratedKeysAreInTheMapAndSignaturesVerify) {
    create(0, "cont_0123456789abcdef0123");
    ASSERT_EQ(cardfs_generate_key_pair(h_, 0, cardfs_spec_signature, 2048), 0);
    ASSERT_EQ(cardfs_generate_key_pair(h_, 0, cardfs_spec_exchange, 256), 0);
    const auto m = cmap(0);
    EXPECT_EQ(m.name, "cont_0123456789abcdef0123");
    EXPECT_EQ(m.flags & 1, 1);
    EXPECT_EQ(m.signature_bits, 2048);
    EXPECT_EQ(m.exchange_bits, 256);
    const auto files = store_layout::files_of(vt_);
    EXPECT_EQ(files.at("3f00/2000/4000/4400").access, (std::vector<int>{255, 17, 17}));
    EXPECT_EQ(files.at("3f00/2000/4000/4500").access, (std::vector<int>{0, 17, 17}));

    const bytes rsa = public_key(0, cardfs_spec_signature);
    ASSERT_EQ(rsa.size(), 264u);
    std::uint32_t bits = 0;
    std::memcpy(&bits, rsa.data(), 4);
    EXPECT_EQ(bits, 2048u);
    const bytes ec = public_key(0, cardfs_spec_exchange);
    ASSERT_EQ(ec.size(), 144u);

    const bytes message = pattern(700, 1);
    const bytes digest = sha256(message);
    bytes digest_info = sha256_digest_info;
    digest_info.insert(digest_info.end(), digest.begin(), digest.end());
    const bytes by_hash_id = sign(0, cardfs_spec_signature, sha_256, digest);
    const bytes by_caller = sign(0, cardfs_spec_signature, 0, digest_info);
    EXPECT_TRUE(rsa_verifies(rsa, digest, by_hash_id));
    EXPECT_EQ(by_caller, by_hash_id);
    const bytes ecdsa = sign(0, cardfs_spec_exchange, 0, digest);
    EXPECT_TRUE(ecdsa_verifies(MBEDTLS_ECP_DP_SECP256R1, ec, digest, ecdsa));
    bytes bad = ecdsa;
    bad[5] ^= 1;
    EXPECT_FALSE(ecdsa_verifies(MBEDTLS_ECP_DP_SECP256R1, ec, digest, bad));

#ifndef _WIN32
    openssl_tool tool;
    tool.put("message", message);
    public_pem(tool, "rsa.pem", rsa, MBEDTLS_ECP_DP_NONE);
    public_pem(tool, "ec.pem", ec, MBEDTLS_ECP_DP_SECP256R1);
    tool.put("rsa.sig", by_caller);
    tool.put("ec.sig", der_signature(ecdsa));
    EXPECT_EQ(tool.run("dgst -sha256 -verify rsa.pem -signature rsa.sig message"), 0);
    EXPECT_EQ(tool.run("dgst -sha256 -verify ec.pem -signature ec.sig message"), 0);
    tool.put("other", pattern(700, 2));
    EXPECT_NE(tool.run("dgst -sha256 -verify ec.pem -signature ec.sig other"), 0);
#endif
}

TEST_F(card_containers_test, ImportedRsaKeySignsAsSoftwareDoes) {
    rsa_key key;
    create(1, "imported");
    vt_.clear_log();
    ASSERT_EQ(cardfs_import_key_pair(h_, 1, cardfs_spec_exchange, 2048, key.private_block.data(),
                                     key.public_block.data()),
              0);
    EXPECT_EQ(cmap(1).exchange_bits, 2048);
    // The private block never travels in the clear.
    const std::string d_hex = to_hex(key.private_block.data() + 4, 256);
    for (const auto& c : vt_.commands()) EXPECT_EQ(c.find(d_hex), std::string::npos);

    EXPECT_EQ(public_key(1, cardfs_spec_exchange), key.public_block);
    const bytes message = pattern(333, 9);
    const bytes digest = sha256(message);
    const bytes card = sign(1, cardfs_spec_exchange, sha_256, digest);
    bytes software(256);
    ASSERT_EQ(mbedtls_rsa_pkcs1_sign(&key.rsa, nullptr, nullptr, MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA256, 32,
                                     digest.data(), software.data()),
              0);
    EXPECT_EQ(card, software);
#ifndef _WIN32
    openssl_tool tool;
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    ASSERT_EQ(mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)), 0);
    ASSERT_EQ(mbedtls_rsa_copy(mbedtls_pk_rsa(pk), &key.rsa), 0);
    ASSERT_EQ(tool.put_pem("key.pem", &pk, true), 0);
    mbedtls_pk_free(&pk);
    tool.put("message", message);
    ASSERT_EQ(tool.run("dgst -sha256 -sign key.pem -out openssl.sig message"), 0);
    EXPECT_EQ(card, tool.get("openssl.sig"));
#endif
}

TEST_F(card_containers_test, EcImportsAreEnteredInTheMapAndSign) {
    ec_key p521(MBEDTLS_ECP_DP_SECP521R1, 521, "p-521");
    ec_key p256(MBEDTLS_ECP_DP_SECP256R1, 256, "p-256");
    create(2, "ec");
    vt_.clear_log();
    ASSERT_EQ(cardfs_import_key_pair(h_, 2, cardfs_spec_signature, 521, p521.private_block.data(),
                                     p521.public_block.data()),
              0);
    std::size_t pub = 0, pri = 0;
    for (const auto& c : vt_.commands()) {
        if (c.rfind("80820100", 0) == 0) {
            ++pub;
            EXPECT_EQ(c.substr(8, 2), "98");  // 152 bytes
            EXPECT_EQ(c.size(), 10u + 2 * 152u);
            EXPECT_EQ(c.substr(10 + 12, 4), "0300");  // the option bytes
        }
        if (c.rfind("80830001", 0) == 0) {
            ++pri;
            EXPECT_EQ(c.substr(8, 2), "5a");  // 10 + 80 bytes
            EXPECT_EQ(c.substr(10, 8), "45024402");  // private id, then public id
        }
    }
    EXPECT_EQ(pub, 1u);
    EXPECT_EQ(pri, 1u);

    // A P-256 private key alone: the card fills the public key file from it.
    ASSERT_EQ(cardfs_import_ec_private_key(h_, 2, cardfs_spec_exchange, p256.private_block.data()), 0);

    cardfs_container_tables tables{};
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.count, 1);
    cardfs_cmap_record r{};
    ASSERT_EQ(cardfs_decode_cmap_record(tables.cmap + 2 * 86, 86, &r), 0);
    EXPECT_EQ(r.signature_bits, 521);
    EXPECT_EQ(r.exchange_bits, 256);

    const bytes digest = sha256(pattern(90, 4));
    const bytes block521 = public_key(2, cardfs_spec_signature);
    EXPECT_EQ(block521, p521.public_block);
    EXPECT_TRUE(ecdsa_verifies(MBEDTLS_ECP_DP_SECP521R1, block521, digest, sign(2, cardfs_spec_signature, 0, digest)));
    const bytes block256 = public_key(2, cardfs_spec_exchange);
    EXPECT_EQ(block256, p256.public_block);
    EXPECT_TRUE(ecdsa_verifies(MBEDTLS_ECP_DP_SECP256R1, block256, digest, sign(2, cardfs_spec_exchange, 0, digest)));
}

TEST_F(card_containers_test, BadPlacesAndSizesAreRefusedWithNothingSent) {
    create(0, "a");
    ec_key p256(MBEDTLS_ECP_DP_SECP256R1, 256, "bad sizes");
    vt_.clear_log();
    bytes block(2048);
    std::int32_t length = static_cast<std::int32_t>(block.size());
    std::uint32_t got = 0;
    for (std::int32_t index : {8, -1, INT_MIN, 100}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(cardfs_generate_key_pair(h_, index, 1, 2048), cardfs_bad_container);
        EXPECT_EQ(cardfs_create_container(h_, index, "x"), cardfs_bad_container);
        EXPECT_EQ(cardfs_delete_container_keys(h_, index), cardfs_bad_container);
        EXPECT_EQ(cardfs_free_container(h_, index), cardfs_bad_container);
        EXPECT_EQ(cardfs_clear_key_slot(h_, index, 3), cardfs_bad_container);
        EXPECT_EQ(cardfs_read_cmap_record(h_, index, block.data()), cardfs_bad_container);
        EXPECT_EQ(cardfs_write_cont_info(h_, index, block.data()), cardfs_bad_container);
        EXPECT_EQ(cardfs_read_public_key(h_, index, 1, block.data(), &length), cardfs_bad_container);
        EXPECT_EQ(cardfs_write_cert(h_, index, 2, block.data(), 10), cardfs_bad_container);
        EXPECT_EQ(cardfs_read_cert(h_, index, 2, block.data(), 2048, &got), cardfs_bad_container);
    }
    for (std::int32_t spec : {0, 3, -1}) {
        SCOPED_TRACE(spec);
        EXPECT_EQ(cardfs_generate_key_pair(h_, 0, spec, 2048), cardfs_bad_container);
        EXPECT_EQ(cardfs_delete_cert(h_, 0, spec), cardfs_bad_container);
        EXPECT_EQ(cardfs_update_container_key_info(h_, 0, spec, 256), cardfs_bad_container);
    }
    for (std::uint32_t bits : {0u, 384u, 512u, 4096u, 3072u}) {
        SCOPED_TRACE(bits);
        EXPECT_EQ(cardfs_generate_key_pair(h_, 0, 1, bits), cardfs_bad_key_size);
        EXPECT_EQ(cardfs_import_key_pair(h_, 0, 1, bits, block.data(), block.data()), cardfs_bad_key_size);
        bytes ec = p256.private_block;
        std::memcpy(ec.data(), &bits, 4);
        EXPECT_EQ(cardfs_import_ec_private_key(h_, 0, 1, ec.data()), cardfs_bad_key_size);
    }
    // A block whose size disagrees with the one asked for.
    EXPECT_EQ(cardfs_import_key_pair(h_, 0, 1, 521, p256.private_block.data(), p256.public_block.data()),
              cardfs_bad_argument);
    // Names: 38 bytes at most; 45 are refused.
    EXPECT_EQ(cardfs_create_container(h_, 1, std::string(45, 'c').c_str()), cardfs_bad_argument);
    EXPECT_EQ(cardfs_create_container(h_, 1, std::string(39, 'c').c_str()), cardfs_bad_argument);
    EXPECT_EQ(cardfs_create_container(h_, 1, ""), cardfs_bad_argument);
    EXPECT_EQ(cardfs_write_cert(h_, 0, 2, block.data(), cardfs_cert_max + 1), cardfs_bad_argument);
    EXPECT_TRUE(vt_.commands().empty());

    const std::string longest(38, 'L');
    create(1, longest);
    cardfs_container_tables tables{};
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    cardfs_cmap_record r{};
    ASSERT_EQ(cardfs_decode_cmap_record(tables.cmap + 86, 86, &r), 0);
    EXPECT_EQ(std::string(r.name), longest);
}

TEST_F(card_containers_test, OccupiedSlotsAndRecordsAreNotOverwritten) {
    create(4, "held");
    ASSERT_EQ(cardfs_generate_key_pair(h_, 4, 1, 1024), 0);
    const bytes before = public_key(4, 1);
    vt_.clear_log();
    EXPECT_EQ(cardfs_generate_key_pair(h_, 4, 1, 1024), cardfs_slot_occupied);
    ec_key p256(MBEDTLS_ECP_DP_SECP256R1, 256, "occupied");
    EXPECT_EQ(cardfs_import_ec_private_key(h_, 4, 1, p256.private_block.data()), cardfs_slot_occupied);
    EXPECT_EQ(cardfs_create_container(h_, 4, "other"), cardfs_slot_occupied);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(public_key(4, 1), before);
    EXPECT_EQ(cmap(4).name, "held");

    // Certificate labels of the slot survive clearing its keys.
    const bytes label = from_hex("0b6c6162656c");
    vt_.call("file_write", {{"path", cont_path}, {"offset", 566 * 4 + 351 + 146}, {"data", to_hex(label.data(), 6)}});
    vt_.call("file_write", {{"path", cont_path}, {"offset", 566 * 4 + 136 + 146}, {"data", to_hex(label.data(), 6)}});
    const auto kept = cont(4);
    ASSERT_EQ(cardfs_clear_key_slot(h_, 4, 3), 0);
    const auto cleared = cont(4);
    EXPECT_EQ(cleared.exchange.key_parts, bytes(146, 0));
    EXPECT_EQ(cleared.signature.key_parts, bytes(146, 0));
    EXPECT_EQ(cleared.exchange.cert_part, kept.exchange.cert_part);
    EXPECT_EQ(cleared.signature.cert_part, kept.signature.cert_part);
    EXPECT_EQ(cmap(4).exchange_bits, 0);
    EXPECT_EQ(cmap(4).flags & 1, 1);
    EXPECT_FALSE(key_exists(0x4104));
    EXPECT_FALSE(key_exists(0x4204));
    ASSERT_EQ(cardfs_import_ec_private_key(h_, 4, 1, p256.private_block.data()), 0);
    EXPECT_EQ(cmap(4).exchange_bits, 256);

    // A record counts as free when bit 0 of its flags is clear.
    vt_.call("file_write", {{"path", cmap_path}, {"offset", 80}, {"data", "02"}});
    std::int32_t index = -1;
    ASSERT_EQ(cardfs_find_free_container(h_, &index), 0);
    EXPECT_EQ(index, 0);
    for (std::int32_t i = 0; i < 8; ++i)
        if (i != 4) create(i, "c" + std::to_string(i));
    EXPECT_EQ(cardfs_find_free_container(h_, &index), cardfs_no_free_container);
}

TEST_F(card_containers_test, CertificatesRewrittenToOtherSizesReadBackExactly) {
    create(3, "certs");
    for (std::size_t size : {300u, 1500u, 200u, 200u, 2100u}) {
        SCOPED_TRACE(size);
        const bytes cert = pattern(size, static_cast<unsigned>(size));
        ASSERT_EQ(cardfs_write_cert(h_, 3, cardfs_spec_signature, cert.data(), static_cast<std::uint32_t>(size)), 0);
        const auto f = vt_.call("file_read", {{"path", "3f00/2000/4000/ksc03"}});
        EXPECT_EQ(f["size"].get<std::size_t>(), size);
        EXPECT_EQ(f["access"].get<std::vector<int>>(), (std::vector<int>{255, 17, 0}));
        bytes back(cardfs_cert_max);
        std::uint32_t length = 0;
        ASSERT_EQ(cardfs_read_cert(h_, 3, cardfs_spec_signature, back.data(), cardfs_cert_max, &length), 0);
        back.resize(length);
        EXPECT_EQ(back, cert);
        EXPECT_EQ(cont(3).signature_cert, 1);
        EXPECT_EQ(cont(3).exchange_cert, 0);
    }
    // A buffer too short is told the size and gets nothing.
    bytes small(100, 0xEE);
    std::uint32_t length = 0;
    EXPECT_EQ(cardfs_read_cert(h_, 3, 2, small.data(), 100, &length), cardfs_buffer_too_small);
    EXPECT_EQ(length, 2100u);
    EXPECT_EQ(small, bytes(100, 0xEE));
    ASSERT_EQ(cardfs_read_cert(h_, 3, 2, nullptr, 0, &length), 0);
    EXPECT_EQ(length, 2100u);

    // A write that fails part-way leaves no file to be taken for a certificate.
    const bytes cert = pattern(500, 1);
    vt_.call("fail_next", {{"ins", "45"}, {"sw", "6581"}, {"name", "kxc03"}});
    EXPECT_EQ(cardfs_write_cert(h_, 3, cardfs_spec_exchange, cert.data(), 500), 0x6581);
    EXPECT_FALSE(exists("kxc03"));
    EXPECT_EQ(cont(3).exchange_cert, 0);

    // The delete counts a missing file as done and clears the mark.
    ASSERT_EQ(cardfs_delete_cert(h_, 3, 2), 0);
    EXPECT_FALSE(exists("ksc03"));
    EXPECT_EQ(cont(3).signature_cert, 0);
    ASSERT_EQ(cardfs_write_cert(h_, 3, 2, cert.data(), 500), 0);
    vt_.call("file_delete", {{"path", "3f00/2000/4000/ksc03"}});
    ASSERT_EQ(cardfs_delete_cert(h_, 3, 2), 0);
    EXPECT_EQ(cont(3).signature_cert, 0);
}

TEST_F(card_containers_test, StandaloneCertificatesTakeTheFirstFreeName) {
    char list[128];
    std::uint32_t length = sizeof list;
    ASSERT_EQ(cardfs_list_cert_files(h_, list, &length), 0);
    EXPECT_EQ(length, 0u);
    const bytes cert = pattern(900, 2);
    for (const char* expected : {"cert00", "cert01", "cert02"}) {
        char name[8] = {};
        ASSERT_EQ(cardfs_write_standalone_cert(h_, cert.data(), 900, name), 0);
        EXPECT_STREQ(name, expected);
    }
    EXPECT_EQ(file("3f00/2000/4000/cert02"), cert);
    length = sizeof list;
    ASSERT_EQ(cardfs_list_cert_files(h_, list, &length), 0);
    EXPECT_EQ(std::string(list, length), std::string("cert00\0cert01\0cert02\0", 21));
    ASSERT_EQ(cardfs_delete_file(h_, "cert01"), 0);
    length = 7;
    EXPECT_EQ(cardfs_list_cert_files(h_, list, &length), cardfs_buffer_too_small);
    EXPECT_EQ(length, 14u);
    char name[8] = {};
    ASSERT_EQ(cardfs_write_standalone_cert(h_, cert.data(), 900, name), 0);
    EXPECT_STREQ(name, "cert01");
}

TEST_F(card_containers_test, DeletionClearsTheMapFirstAndLeavesNothingBehind) {
    create(2, "gone");
    ASSERT_EQ(cardfs_generate_key_pair(h_, 2, 1, 256), 0);
    ASSERT_EQ(cardfs_generate_key_pair(h_, 2, 2, 256), 0);
    const bytes cert = pattern(400, 3);
    ASSERT_EQ(cardfs_write_cert(h_, 2, 1, cert.data(), 400), 0);
    ASSERT_EQ(cardfs_write_cert(h_, 2, 2, cert.data(), 400), 0);
    const bytes map_before = file(cmap_path);

    // The map's write fails: nothing changes.
    vt_.call("fail_next", {{"ins", "45"}, {"sw", "6581"}, {"name", "cmapfile"}});
    EXPECT_EQ(cardfs_delete_container_keys(h_, 2), 0x6581);
    EXPECT_EQ(file(cmap_path), map_before);
    for (std::uint16_t id : {0x4102, 0x4202, 0x4402, 0x4502}) EXPECT_TRUE(key_exists(id));

    // A key file's delete fails: the map is already clear, and the next
    // creation in that place starts clean.
    vt_.call("fail_next", {{"ins", "43"}, {"sw", "6581"}});
    vt_.clear_log();
    EXPECT_EQ(cardfs_delete_container_keys(h_, 2), 0x6581);
    const auto commands = vt_.commands();
    std::size_t first_map_write = commands.size(), first_delete = commands.size();
    const std::string cmap_hex = "08636d617066696c65";
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (commands[i].substr(2, 2) == "45" && commands[i].find(cmap_hex) != std::string::npos &&
            first_map_write == commands.size())
            first_map_write = i;
        if (commands[i].substr(2, 2) == "43" && first_delete == commands.size()) first_delete = i;
    }
    EXPECT_LT(first_map_write, first_delete);
    EXPECT_EQ(cmap(2).flags, 0);
    EXPECT_EQ(cmap(2).exchange_bits, 0);
    EXPECT_EQ(cmap(2).signature_bits, 0);

    create(2, "again");
    EXPECT_FALSE(exists("ksc02"));
    EXPECT_FALSE(exists("kxc02"));
    cardfs_container_tables tables{};
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.cont_info[566 * 2 + 134], 0);
    EXPECT_EQ(tables.cont_info[566 * 2 + 135], 0);

    ASSERT_EQ(cardfs_generate_key_pair(h_, 2, 1, 256), 0);
    ASSERT_EQ(cardfs_write_cert(h_, 2, 1, cert.data(), 400), 0);
    ASSERT_EQ(cardfs_delete_container_keys(h_, 2), 0);
    for (std::uint16_t id : {0x4102, 0x4202, 0x4402, 0x4502}) EXPECT_FALSE(key_exists(id));
    EXPECT_FALSE(exists("kxc02"));
    EXPECT_EQ(cont(2).raw, bytes(566, 0));
    EXPECT_EQ(store_layout::cmap_record(file(cmap_path), 2).name_utf16, bytes(80, 0));
}

TEST_F(card_containers_test, LoadReadsWhatIsInUseAndRepairsInMemory) {
    // No container in use: nothing is read past the map, nothing made.
    ASSERT_FALSE(exists("contInfo"));  // a format makes none
    vt_.clear_log();
    cardfs_container_tables tables{};
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.count, 0);
    EXPECT_TRUE(writes().empty());
    EXPECT_FALSE(exists("contInfo"));

    create(0, "first");
    create(5, "sixth");
    ASSERT_TRUE(exists("contInfo"));
    vt_.clear_log();
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.count, 2);
    std::size_t cont_bytes = 0;
    const std::string cont_hex = "08636f6e74496e666f";
    for (const auto& e : vt_.log())
        if (e.command.substr(2, 2) == "44" && e.command.find(cont_hex) != std::string::npos)
            cont_bytes += e.reply.size() / 2 - 2;
    EXPECT_EQ(cont_bytes, 3396u);
    EXPECT_TRUE(writes().empty());

    // A short read of the map changes nothing on the card.
    const bytes map_before = file(cmap_path), cont_before = file(cont_path);
    for (int step = 0; step < 3; ++step) {
        vt_.call("set", {{"short_read", 600}});
        vt_.clear_log();
        std::int32_t status = 0;
        if (step == 0) status = cardfs_load_containers(h_, &tables);
        if (step == 1) status = cardfs_create_container(h_, 3, "late");
        if (step == 2) status = cardfs_generate_key_pair(h_, 5, 1, 256);
        EXPECT_EQ(status, cardfs_short_file) << step;
        EXPECT_TRUE(writes().empty()) << step;
    }
    EXPECT_EQ(file(cmap_path), map_before);
    EXPECT_EQ(file(cont_path), cont_before);

    // Record 0 untagged but not empty: left on the card and reported;
    // record 5 all zero: written back with its defaults.
    vt_.call("file_write", {{"path", cont_path}, {"offset", 0}, {"data", "00000000"}});
    vt_.call("file_write", {{"path", cont_path}, {"offset", 566 * 5}, {"data", std::string(2 * 566, '0')}});
    const bytes damaged = cont(0).raw;
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.untagged, 1);
    EXPECT_EQ(cont(0).raw, damaged);
    EXPECT_EQ(store_layout::cont_record(bytes(tables.cont_info, tables.cont_info + 4528), 0).tag, 0x636F6E32u);
    EXPECT_EQ(cont(5).tag, 0x636F6E32u);
    EXPECT_EQ(cont(5).exchange.private_bits, 0x6FBu);

    // Certificate presence follows the card's file list both ways, in memory:
    // a marked file whose file went is absent; an unmarked file counts once
    // its first byte is written (certificates are written to their start
    // last), so one cut off on its way in stays out.
    ASSERT_EQ(cardfs_write_cert(h_, 5, 1, pattern(50, 1).data(), 50), 0);
    vt_.call("file_delete", {{"path", "3f00/2000/4000/kxc05"}});
    ASSERT_EQ(cardfs_create_file(h_, "ksc05", 10, 255, 17), 0);
    vt_.clear_log();
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.cont_info[566 * 5 + 135], 0);
    EXPECT_EQ(tables.cont_info[566 * 5 + 134], 0);
    EXPECT_TRUE(writes().empty());
    vt_.call("file_write", {{"path", "3f00/2000/4000/ksc05"}, {"offset", 8}, {"data", "3082"}});
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.cont_info[566 * 5 + 134], 0);
    vt_.call("file_write", {{"path", "3f00/2000/4000/ksc05"}, {"offset", 0}, {"data", "30"}});
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.cont_info[566 * 5 + 134], 1);
    EXPECT_TRUE(writes().empty());
}

// A certificate is written from its end to its start, the chunk at offset 0
// last, so a file cut off on its way in keeps a zero first byte; the
// standalone list leaves such a file out as the load does.
TEST_F(card_containers_test, CertificatesAreWrittenToTheirStartLast) {
    create(2, "cut");
    const bytes cert = pattern(2500, 7);  // three chunks
    // No SCOPED_TRACE here: its per-thread stack starts a watcher thread in
    // the Windows GoogleTest, and that thread is what the 32-bit emulator
    // cannot run. The assertions name the file instead.
    for (const std::string name : {"ksc02", "cert00"}) {
        vt_.clear_log();
        char made[8] = {};
        ASSERT_EQ(name == "ksc02" ? cardfs_write_cert(h_, 2, cardfs_spec_signature, cert.data(), 2500)
                                  : cardfs_write_standalone_cert(h_, cert.data(), 2500, made),
                  0)
            << name;
        const std::string name_hex = to_hex(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
        std::vector<unsigned> offsets;
        for (const auto& e : vt_.log()) {
            if (e.command.substr(2, 2) != "45" || e.command.find(name_hex) == std::string::npos) continue;
            const bytes c = from_hex(e.command);
            const std::size_t data = c[4] == 0 ? 7 : 5;  // extended or short Lc
            offsets.push_back(static_cast<unsigned>(c[data + 1] << 8 | c[data + 2]));
        }
        EXPECT_EQ(offsets, (std::vector<unsigned>{1024, 2048, 0})) << name;
        EXPECT_EQ(file("3f00/2000/4000/" + name), cert) << name;
    }
    // A standalone file cut off before its start was written is no
    // certificate; once its first byte is there it is listed.
    ASSERT_EQ(cardfs_create_file(h_, "cert01", 40, 255, 17), 0);
    vt_.call("file_write", {{"path", "3f00/2000/4000/cert01"}, {"offset", 20}, {"data", "0102"}});
    char names[80] = {};
    std::uint32_t length = sizeof names;
    ASSERT_EQ(cardfs_list_cert_files(h_, names, &length), 0);
    EXPECT_EQ(std::string(names, length), std::string("cert00\0", 7));
    vt_.call("file_write", {{"path", "3f00/2000/4000/cert01"}, {"offset", 0}, {"data", "30"}});
    length = sizeof names;
    ASSERT_EQ(cardfs_list_cert_files(h_, names, &length), 0);
    EXPECT_EQ(std::string(names, length), std::string("cert00\0cert01\0", 14));
}

TEST_F(card_containers_test, FailedStepsEnterNothing) {
    ec_key p256(MBEDTLS_ECP_DP_SECP256R1, 256, "failures");
    const struct {
        const char* what;
        const char* ins;
        const char* name;  // of the file the failing command names, or null
    } cases[] = {
        {"create: the info record", "45", "contInfo"},
        {"create: the map record", "45", "cmapfile"},
        {"generate: a key file", "42", nullptr},
        {"generate: the card", "81", nullptr},
        {"import: the public key", "82", nullptr},
        {"import: the key agreement", "12", nullptr},
        {"import: the private key", "83", nullptr},
        {"either: entering the size", "45", "cmapfile"},
    };
    int step = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::int32_t index = step % 8;
        ++step;
        const bytes map_before = file(cmap_path);
        nlohmann::json plan = {{"ins", c.ins}, {"sw", "6581"}};
        if (c.name != nullptr) plan["name"] = c.name;
        const std::string what = c.what;
        if (what.rfind("create", 0) == 0) {
            vt_.call("fail_next", plan);
            EXPECT_EQ(cardfs_create_container(h_, index, "failing"), 0x6581);
            EXPECT_EQ(file(cmap_path), map_before);
            continue;
        }
        create(index, "ok");
        const bytes created = file(cmap_path);
        vt_.call("fail_next", plan);
        std::int32_t status = 0;
        if (what.rfind("generate", 0) == 0 || what.rfind("either", 0) == 0)
            status = cardfs_generate_key_pair(h_, index, 1, 256);
        else
            status = cardfs_import_key_pair(h_, index, 1, 256, p256.private_block.data(), p256.public_block.data());
        EXPECT_EQ(status, 0x6581);
        EXPECT_EQ(file(cmap_path), created);
        EXPECT_EQ(cmap(index).exchange_bits, 0);
        vt_.call("fail_next", {{"clear", true}});
        // The slot is still free for the next attempt.
        ASSERT_EQ(cardfs_import_key_pair(h_, index, 1, 256, p256.private_block.data(), p256.public_block.data()), 0);
        EXPECT_EQ(public_key(index, 1), p256.public_block);
        ASSERT_EQ(cardfs_delete_container_keys(h_, index), 0);
    }
}

TEST_F(card_containers_test, PublicKeyRepliesOfTheWrongLengthAreRefused) {
    create(6, "reply");
    ASSERT_EQ(cardfs_generate_key_pair(h_, 6, 2, 256), 0);
    bytes block(144);
    std::int32_t length = 100;
    EXPECT_EQ(cardfs_read_public_key(h_, 6, 2, block.data(), &length), cardfs_buffer_too_small);
    EXPECT_EQ(length, 144);
    vt_.clear_log();
    length = 144;
    ASSERT_EQ(cardfs_read_public_key(h_, 6, 2, block.data(), &length), 0);
    const auto log = vt_.log();
    ASSERT_EQ(log.size(), 2u);  // the store directory, then the export
    ASSERT_EQ(log[1].command.substr(0, 8), "80840100");
    const std::string reply = log[1].reply;  // algorithm, 00 00, the block, 9000
    for (long cut : {-4L, 4L}) {
        SCOPED_TRACE(cut);
        std::string changed = reply.substr(0, reply.size() - 4);
        if (cut < 0)
            changed.resize(changed.size() - 8);
        else
            changed += "00000000";
        vt_.override_replies({log[0].reply, changed + "9000"});
        bytes out(600, 0xEE);
        length = 600;
        EXPECT_EQ(cardfs_read_public_key(h_, 6, 2, out.data(), &length), 2);
        EXPECT_EQ(length, 600);
        EXPECT_EQ(out, bytes(600, 0xEE));
    }
}

TEST_F(card_containers_test, CardPulledAfterTheMapIsClearedLosesNothingThatCounts) {
    create(2, "pulled");
    ASSERT_EQ(cardfs_generate_key_pair(h_, 2, 2, 256), 0);
    const bytes cert = pattern(300, 8);
    ASSERT_EQ(cardfs_write_cert(h_, 2, 2, cert.data(), 300), 0);
    // The store directory, the map's read, then its write: the card keeps the
    // write and goes before it answers.
    vt_.call("pull_after", {{"apdus", 3}, {"execute", true}});
    EXPECT_NE(cardfs_delete_container_keys(h_, 2), 0);
    vt_.call("insert", {{"wait_ready", true}});
    close_device(h_);
    ASSERT_EQ(open_device(test_support::card_reader, &h_), 0);
    std::int32_t tries = 0;
    ASSERT_EQ(cardfs_verify_pin(h_, cardfs_user_pin, u8(user_pin), user_pin.size(), &tries), 0);

    EXPECT_EQ(cmap(2).flags, 0);
    EXPECT_EQ(cmap(2).signature_bits, 0);
    cardfs_container_tables tables{};
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.count, 0);
    // The place is taken again from clean: no certificate comes back, and a
    // new key replaces the one left in the key files.
    create(2, "again");
    EXPECT_FALSE(exists("ksc02"));
    ASSERT_EQ(cardfs_load_containers(h_, &tables), 0);
    EXPECT_EQ(tables.count, 1);
    EXPECT_EQ(tables.cont_info[566 * 2 + 134], 0);
    ASSERT_EQ(cardfs_generate_key_pair(h_, 2, 2, 256), 0);
    const bytes digest = sha256(pattern(10, 1));
    EXPECT_TRUE(ecdsa_verifies(MBEDTLS_ECP_DP_SECP256R1, public_key(2, 2), digest, sign(2, 2, 0, digest)));
}
