// EC key pairs in the token's containers on a formatted virtual token:
// generated on the card for both curves, signing on the card through the
// ECDSA context and verified by mbed TLS called directly, found again by a
// fresh load, and imported from values made by mbed TLS (private scalar,
// raw and DER-wrapped points, in either order).
#include <gtest/gtest.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/entropy.h>
#include <mbedtls/sha256.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "container_fixture.h"
#include "ecdsa_ctx.h"

using namespace pkcs11;

namespace {

using bytes = std::vector<std::uint8_t>;

const bytes oid_p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const bytes oid_p384 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
const bytes oid_p521 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};

struct curve_case {
    std::uint32_t bits;
    const bytes* params;
    mbedtls_ecp_group_id group;
};
const curve_case curves[] = {{256, &oid_p256, MBEDTLS_ECP_DP_SECP256R1}, {521, &oid_p521, MBEDTLS_ECP_DP_SECP521R1}};

using container_fixture::attribute;
using container_fixture::text;

bytes sha256(const bytes& m) {
    bytes out(32);
    mbedtls_sha256_ret(m.data(), m.size(), out.data(), 0);
    return out;
}

// A software EC key made by mbed TLS.
struct soft_ec_key {
    explicit soft_ec_key(mbedtls_ecp_group_id group) {
        mbedtls_ecp_keypair_init(&key);
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        EXPECT_EQ(mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0), 0);
        EXPECT_EQ(mbedtls_ecp_gen_key(group, &key, mbedtls_ctr_drbg_random, &drbg), 0);
    }
    ~soft_ec_key() {
        mbedtls_ecp_keypair_free(&key);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    bytes scalar() const {
        bytes d(mbedtls_mpi_size(&key.d));
        mbedtls_mpi_write_binary(&key.d, d.data(), d.size());
        return d;
    }
    bytes point() const {
        bytes p(133);
        std::size_t n = 0;
        mbedtls_ecp_point_write_binary(&key.grp, &key.Q, MBEDTLS_ECP_PF_UNCOMPRESSED, &n, p.data(), p.size());
        p.resize(n);
        return p;
    }
    // Verifies r || s over the hash with mbed TLS directly.
    bool verifies(const bytes& hash, const bytes& signature) const {
        const std::size_t d = signature.size() / 2;
        mbedtls_mpi r, s;
        mbedtls_mpi_init(&r);
        mbedtls_mpi_init(&s);
        mbedtls_mpi_read_binary(&r, signature.data(), d);
        mbedtls_mpi_read_binary(&s, signature.data() + d, d);
        mbedtls_ecp_group grp;
        mbedtls_ecp_group_init(&grp);
        mbedtls_ecp_group_load(&grp, key.grp.id);
        const int ret = mbedtls_ecdsa_verify(&grp, hash.data(), hash.size(), &key.Q, &r, &s);
        mbedtls_ecp_group_free(&grp);
        mbedtls_mpi_free(&r);
        mbedtls_mpi_free(&s);
        return ret == 0;
    }
    mbedtls_ecp_keypair key;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
};

// The point wrapped in a DER OCTET STRING.
bytes wrapped(const bytes& point) {
    bytes out{0x04};
    if (point.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(point.size()));
    out.insert(out.end(), point.begin(), point.end());
    return out;
}

class container_ec_test : public container_fixture::test {
protected:
    // A token EC key object.
    static pkcs11_object_ref make(CK_OBJECT_CLASS c) {
        pkcs11_object_ref o = container_fixture::test::make(c);
        EXPECT_EQ(o->attributes().set_u32(CKA_KEY_TYPE, CKK_EC), CKR_OK);
        return o;
    }

    CK_RV generate(pkcs11_object_ref& pub, pkcs11_object_ref& pri, const bytes* params) {
        pub = make(CKO_PUBLIC_KEY);
        pri = make(CKO_PRIVATE_KEY);
        if (params != nullptr) set(*pub, CKA_EC_PARAMS, *params);
        const CK_RV rv = manager_->generate_ec_key_pair(*pub, *pri);
        if (rv == CKR_OK) {
            objects_.append(pub);
            objects_.append(pri);
        }
        return rv;
    }

    // An ECDSA_SHA256 signature of the private key through the context and
    // the card: exactly 2d bytes into a buffer of exactly that size.
    bytes sign(pkcs11_container_manager& manager, const pkcs11_object_ref& pri, const bytes& message) {
        pkcs11_ec_key key;
        key.object_class = CKO_PRIVATE_KEY;
        key.has_params = true;
        key.params = attribute(*pri, CKA_EC_PARAMS);
        const CK_MECHANISM m{CKM_ECDSA_SHA256, nullptr, 0};
        pkcs11_hardware_ecdsa_ctx ctx(m, key, manager.ecdsa_signer(pri));
        EXPECT_EQ(ctx.sign_init({}), CKR_OK);
        CK_ULONG n = 0;
        EXPECT_EQ(ctx.sign(message.data(), message.size(), nullptr, &n), CKR_OK);
        bytes sig(n);
        EXPECT_EQ(ctx.sign(message.data(), message.size(), sig.data(), &n), CKR_OK);
        sig.resize(n);
        return sig;
    }
    // Verification in software through the context on a public key object.
    CK_RV verify(const pkcs11_object& pub, const bytes& message, const bytes& sig) {
        pkcs11_ec_key key;
        key.object_class = CKO_PUBLIC_KEY;
        key.has_params = key.has_point = true;
        key.params = attribute(pub, CKA_EC_PARAMS);
        key.point = attribute(pub, CKA_EC_POINT);
        const CK_MECHANISM m{CKM_ECDSA_SHA256, nullptr, 0};
        pkcs11_hardware_ecdsa_ctx ctx(m, key, nullptr);
        EXPECT_EQ(ctx.verify_init({}), CKR_OK);
        return ctx.verify(message.data(), message.size(), sig.data(), sig.size());
    }

};

}  // namespace

TEST_F(container_ec_test, GeneratedPairsSignOnTheCardAndComeBackAfterALoad) {
    const bytes message(77, 0x3C);
    for (const curve_case& c : curves) {
        SCOPED_TRACE(c.bits);
        pkcs11_object_ref pub, pri;
        ASSERT_EQ(generate(pub, pri, c.params), CKR_OK);
        const std::size_t d = ec_coordinate_length(c.bits);
        const bytes point = attribute(*pub, CKA_EC_POINT);
        ASSERT_EQ(point.size(), 2 * d + 1);
        EXPECT_EQ(point[0], 0x04);
        EXPECT_EQ(attribute(*pri, CKA_EC_POINT), point);
        EXPECT_EQ(attribute(*pri, CKA_EC_PARAMS), *c.params);
        const std::string name = text(attribute(*pub, CKA_VENDOR_CONTAINER_NAME));
        EXPECT_EQ(name.size(), 25u);
        EXPECT_EQ(text(attribute(*pri, CKA_VENDOR_CONTAINER_NAME)), name);
        EXPECT_EQ(attribute(*pub, CKA_ID), attribute(*pri, CKA_ID));

        const bytes sig = sign(*manager_, pri, message);
        ASSERT_EQ(sig.size(), 2 * d);
        EXPECT_EQ(verify(*pub, message, sig), CKR_OK);
        // mbed TLS on the point as the object gives it.
        soft_ec_key reader(c.group);
        ASSERT_EQ(mbedtls_ecp_point_read_binary(&reader.key.grp, &reader.key.Q, point.data(), point.size()), 0);
        EXPECT_TRUE(reader.verifies(sha256(message), sig));

        // A fresh load finds the pair with its curve; the point comes from
        // the card and the loaded private key signs.
        pkcs11_object_mgr fresh;
        pkcs11_container_manager loader(device(), fresh);
        std::size_t count = 0;
        ASSERT_EQ(loader.load_all(count), CKR_OK);
        auto pubs = of(fresh, CKO_PUBLIC_KEY, name), pris = of(fresh, CKO_PRIVATE_KEY, name);
        ASSERT_EQ(pubs.size(), 1u);
        ASSERT_EQ(pris.size(), 1u);
        EXPECT_EQ(attribute(*pris[0], CKA_EC_PARAMS), *c.params);
        EXPECT_EQ(attribute(*pubs[0], CKA_ID), attribute(*pub, CKA_ID));
        ASSERT_EQ(loader.read_values(*pubs[0]), CKR_OK);
        EXPECT_EQ(attribute(*pubs[0], CKA_EC_POINT), point);
        EXPECT_EQ(verify(*pub, message, sign(loader, pris[0], message)), CKR_OK);
    }
    EXPECT_EQ(manager_->containers().size(), 2u);
}

TEST_F(container_ec_test, GenerationRefusesMissingAndUnknownCurvesBeforeAnythingIsMade) {
    const struct {
        const bytes* params;
        CK_RV rv;
    } cases[] = {{nullptr, CKR_ATTRIBUTE_TYPE_INVALID}, {&oid_p384, CKR_ATTRIBUTE_VALUE_INVALID}};
    for (const auto& c : cases) {
        pkcs11_object_ref pub, pri;
        EXPECT_EQ(generate(pub, pri, c.params), c.rv);
        EXPECT_FALSE(pub->attributes().has(CKA_VENDOR_CONTAINER_NAME));
    }
    EXPECT_TRUE(manager_->containers().empty());
    pkcs11_object_mgr fresh;
    pkcs11_container_manager loader(device(), fresh);
    std::size_t count = 0;
    ASSERT_EQ(loader.load_all(count), CKR_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(container_ec_test, ImportedKeysSignAndTheirPointsMustAgree) {
    const bytes message(40, 0x5A);
    for (const curve_case& c : curves) {
        SCOPED_TRACE(c.bits);
        soft_ec_key soft(c.group);
        // The private key alone: the card derives its public key.
        auto pri = make(CKO_PRIVATE_KEY);
        set(*pri, CKA_EC_PARAMS, *c.params);
        set(*pri, CKA_ID, bytes{'k', static_cast<std::uint8_t>(c.bits)});
        set(*pri, CKA_VALUE, soft.scalar());
        ASSERT_EQ(manager_->store_private_key(*pri), CKR_OK);
        objects_.append(pri);
        EXPECT_FALSE(pri->attributes().has(CKA_VALUE));
        ASSERT_EQ(manager_->read_values(*pri), CKR_OK);
        EXPECT_EQ(attribute(*pri, CKA_EC_POINT), soft.point());
        const bytes sig = sign(*manager_, pri, message);
        EXPECT_TRUE(soft.verifies(sha256(message), sig));

        // Its public key joins it, raw or DER-wrapped; another point is refused.
        for (const bytes& point : {soft.point(), wrapped(soft.point())}) {
            auto pub = make(CKO_PUBLIC_KEY);
            set(*pub, CKA_EC_PARAMS, *c.params);
            set(*pub, CKA_ID, attribute(*pri, CKA_ID));
            set(*pub, CKA_EC_POINT, point);
            EXPECT_EQ(manager_->store_public_key(*pub), CKR_OK);
            EXPECT_EQ(attribute(*pub, CKA_VENDOR_CONTAINER_NAME), attribute(*pri, CKA_VENDOR_CONTAINER_NAME));
            EXPECT_EQ(verify(*pub, message, sig), CKR_OK);
        }
        soft_ec_key other(c.group);
        auto stranger = make(CKO_PUBLIC_KEY);
        set(*stranger, CKA_EC_PARAMS, *c.params);
        set(*stranger, CKA_ID, attribute(*pri, CKA_ID));
        set(*stranger, CKA_EC_POINT, other.point());
        EXPECT_EQ(manager_->store_public_key(*stranger), CKR_TEMPLATE_INCONSISTENT);
    }
}

TEST_F(container_ec_test, APublicKeyImportedFirstTakesOnlyItsOwnPrivateKey) {
    soft_ec_key soft(MBEDTLS_ECP_DP_SECP256R1), other(MBEDTLS_ECP_DP_SECP256R1);
    auto pub = make(CKO_PUBLIC_KEY);
    set(*pub, CKA_EC_PARAMS, oid_p256);
    set(*pub, CKA_ID, bytes{'p'});
    set(*pub, CKA_EC_POINT, wrapped(soft.point()));
    ASSERT_EQ(manager_->store_public_key(*pub), CKR_OK);
    objects_.append(pub);

    const auto private_key = [&](const soft_ec_key& k) {
        auto pri = make(CKO_PRIVATE_KEY);
        set(*pri, CKA_EC_PARAMS, oid_p256);
        set(*pri, CKA_ID, bytes{'p'});
        set(*pri, CKA_VALUE, k.scalar());
        return pri;
    };
    auto wrong = private_key(other);
    EXPECT_EQ(manager_->store_private_key(*wrong), CKR_TEMPLATE_INCONSISTENT);
    auto pri = private_key(soft);
    ASSERT_EQ(manager_->store_private_key(*pri), CKR_OK);
    objects_.append(pri);
    const bytes message{'o', 'r', 'd', 'e', 'r'};
    EXPECT_TRUE(soft.verifies(sha256(message), sign(*manager_, pri, message)));
}

TEST_F(container_ec_test, ImportRefusesValuesOutsideTheCurve) {
    soft_ec_key soft(MBEDTLS_ECP_DP_SECP256R1);
    // The order of P-256: not a private key, nor is zero or a 33-byte value.
    const bytes order = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                         0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};
    bytes too_long = soft.scalar();
    too_long.insert(too_long.begin(), 0x01);
    for (const bytes& value : {order, bytes(32, 0), too_long}) {
        auto pri = make(CKO_PRIVATE_KEY);
        set(*pri, CKA_EC_PARAMS, oid_p256);
        set(*pri, CKA_ID, bytes{'x'});
        set(*pri, CKA_VALUE, value);
        EXPECT_EQ(manager_->store_private_key(*pri), CKR_ATTRIBUTE_VALUE_INVALID);
    }
    bytes off_curve = soft.point();
    off_curve.back() ^= 1;
    bytes compressed = soft.point();
    compressed[0] = 0x02;
    bytes short_point = soft.point();
    short_point.pop_back();
    for (const bytes& point : {off_curve, compressed, short_point}) {
        auto pub = make(CKO_PUBLIC_KEY);
        set(*pub, CKA_EC_PARAMS, oid_p256);
        set(*pub, CKA_ID, bytes{'y'});
        set(*pub, CKA_EC_POINT, point);
        EXPECT_EQ(manager_->store_public_key(*pub), CKR_ATTRIBUTE_VALUE_INVALID);
    }
    auto p384 = make(CKO_PRIVATE_KEY);
    set(*p384, CKA_EC_PARAMS, oid_p384);
    set(*p384, CKA_ID, bytes{'z'});
    set(*p384, CKA_VALUE, soft.scalar());
    EXPECT_EQ(manager_->store_private_key(*p384), CKR_ATTRIBUTE_VALUE_INVALID);
}
