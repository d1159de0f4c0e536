// The container manager on a formatted virtual token through the card
// layer: key pairs generated into fresh containers sign, imports of the CRT
// and the plain RSA sets sign as software does, certificates join their
// key's container or stand alone, a reload gives the same objects, and the
// vendor functions' work (create, enumerate, info, delete).
#include <gtest/gtest.h>

#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "card_containers.h"
#include "container_fixture.h"
#include "pkcs11/containers/test_certificates.h"
#include "pkcs11/crypto/rsa_scripted_card.h"
#include "rsa_ctx.h"
#include "support/hex_bytes.h"
#include "support/test_keys.h"

using namespace pkcs11;
using rsa_test::bytes;
using rsa_test::test_rsa_key;

namespace {

using container_fixture::attribute;
using container_fixture::text;

bytes mpi(const mbedtls_mpi& v, std::size_t pad = 0) {
    bytes out(mbedtls_mpi_size(&v) + pad, 0);
    mbedtls_mpi_write_binary(&v, out.data(), out.size());
    return out;
}

class container_manager_test : public container_fixture::test {
protected:
    // A key pair generated on the card, listed.
    CK_RV generate(pkcs11_object_ref& pub, pkcs11_object_ref& pri, std::uint32_t bits = 1024,
                   const char* container = nullptr) {
        pub = make(CKO_PUBLIC_KEY);
        pri = make(CKO_PRIVATE_KEY);
        EXPECT_EQ(pub->attributes().set_u32(CKA_MODULUS_BITS, bits), CKR_OK);
        if (container != nullptr) set(*pri, CKA_VENDOR_CONTAINER_NAME, std::string(container));
        const CK_RV rv = manager_->generate_rsa_key_pair(*pub, *pri);
        if (rv == CKR_OK) {
            objects_.append(pub);
            objects_.append(pri);
        }
        return rv;
    }

    bytes sign(const pkcs11_object_ref& key, const bytes& message) {
        const CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
        pkcs11_hardware_shaxrsa_pkcs_ctx ctx(m, manager_->rsa_card(), manager_->rsa_key_source(key));
        EXPECT_EQ(ctx.sign_init({}), CKR_OK);
        bytes sig(256);
        CK_ULONG n = sig.size();
        EXPECT_EQ(ctx.sign(message.data(), message.size(), sig.data(), &n), CKR_OK);
        sig.resize(n);
        return sig;
    }
    CK_RV verify(const pkcs11_object_ref& key, const bytes& message, const bytes& sig) {
        const CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
        pkcs11_hardware_shaxrsa_pkcs_ctx ctx(m, manager_->rsa_card(), manager_->rsa_key_source(key));
        EXPECT_EQ(ctx.verify_init({}), CKR_OK);
        return ctx.verify(message.data(), message.size(), sig.data(), sig.size());
    }

    static test_rsa_key& software_key() {
        static test_rsa_key key(2048, "container import");
        return key;
    }
};

}  // namespace

TEST_F(container_manager_test, TwoGenerationsInARowGiveTwoContainersAndBothKeysSign) {
    pkcs11_object_ref pub1, pri1, pub2, pri2;
    ASSERT_EQ(generate(pub1, pri1, 2048), CKR_OK);
    ASSERT_EQ(generate(pub2, pri2, 2048), CKR_OK);
    const std::string name1 = text(attribute(*pub1, CKA_VENDOR_CONTAINER_NAME));
    const std::string name2 = text(attribute(*pub2, CKA_VENDOR_CONTAINER_NAME));
    EXPECT_NE(name1, name2);
    EXPECT_EQ(name1.size(), 25u);
    EXPECT_EQ(text(attribute(*pri1, CKA_VENDOR_CONTAINER_NAME)), name1);
    EXPECT_NE(attribute(*pub1, CKA_ID), attribute(*pub2, CKA_ID));
    EXPECT_EQ(attribute(*pub1, CKA_ID), attribute(*pri1, CKA_ID));
    EXPECT_EQ(attribute(*pub1, CKA_ID).size(), 32u);
    EXPECT_EQ(attribute(*pub1, CKA_PUBLIC_EXPONENT), (bytes{1, 0, 1}));
    EXPECT_EQ(attribute(*pub1, CKA_MODULUS).size(), 256u);
    EXPECT_EQ(manager_->containers().size(), 2u);
    const bytes message(100, 0x42);
    for (const auto& pair : {std::make_pair(pub1, pri1), std::make_pair(pub2, pri2)}) {
        const bytes sig = sign(pair.second, message);
        ASSERT_EQ(sig.size(), 256u);
        EXPECT_EQ(verify(pair.first, message, sig), CKR_OK);
    }
    EXPECT_NE(verify(pub2, message, sign(pri1, message)), CKR_OK);
}

TEST_F(container_manager_test, GenerationRefusesOtherSizesFullCardsAndOccupiedSlots) {
    pkcs11_object_ref pub, pri;
    for (std::uint32_t bits : {512u, 1536u, 4096u}) EXPECT_EQ(generate(pub, pri, bits), CKR_KEY_SIZE_RANGE) << bits;
    EXPECT_TRUE(manager_->containers().empty());

    ASSERT_EQ(generate(pub, pri, 1024, "held"), CKR_OK);
    const bytes modulus = attribute(*pub, CKA_MODULUS);
    pkcs11_object_ref pub2, pri2;
    EXPECT_EQ(generate(pub2, pri2, 1024, "held"), CKR_TEMPLATE_INCONSISTENT);
    // The first key is still there and signs.
    pkcs11_object_mgr fresh;
    pkcs11_container_manager reader(device(), fresh);
    std::size_t count = 0;
    ASSERT_EQ(reader.load_all(count), CKR_OK);
    auto keys = of(fresh, CKO_PUBLIC_KEY, "held");
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_EQ(reader.read_values(*keys[0]), CKR_OK);
    EXPECT_EQ(attribute(*keys[0], CKA_MODULUS), modulus);
    const bytes message(10, 1);
    EXPECT_EQ(verify(pub, message, sign(pri, message)), CKR_OK);

    for (int i = 1; i < 8; ++i) ASSERT_EQ(manager_->create_container("c" + std::to_string(i)), CKR_OK);
    EXPECT_EQ(manager_->create_container("ninth"), CKR_DEVICE_MEMORY);
    EXPECT_EQ(generate(pub2, pri2), CKR_DEVICE_MEMORY);
    EXPECT_EQ(manager_->containers().size(), 8u);
}

TEST_F(container_manager_test, AReloadGivesTheSameObjects) {
    pkcs11_object_ref pub, pri;
    ASSERT_EQ(generate(pub, pri), CKR_OK);
    set(*pri, CKA_LABEL, std::string("my key"));
    ASSERT_EQ(manager_->store_private_key(*pri), CKR_OK);
    auto cert = make(CKO_CERTIFICATE);
    set(*cert, CKA_VALUE, test_support::hex(test_certificates::with_common_name));
    set(*cert, CKA_ID, attribute(*pub, CKA_ID));
    set(*cert, CKA_LABEL, std::string("my cert"));
    ASSERT_EQ(manager_->store_certificate(*cert), CKR_OK);
    const std::string name = text(attribute(*pub, CKA_VENDOR_CONTAINER_NAME));
    EXPECT_EQ(text(attribute(*cert, CKA_VENDOR_CONTAINER_NAME)), name);

    pkcs11_object_mgr fresh;
    pkcs11_container_manager reader(device(), fresh);
    std::size_t count = 0;
    ASSERT_EQ(reader.load_all(count), CKR_OK);
    EXPECT_EQ(count, 1u);
    auto pubs = of(fresh, CKO_PUBLIC_KEY, name), pris = of(fresh, CKO_PRIVATE_KEY, name),
         certs = of(fresh, CKO_CERTIFICATE, name);
    ASSERT_EQ(pubs.size(), 1u);
    ASSERT_EQ(pris.size(), 1u);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(attribute(*pris[0], CKA_ID), attribute(*pri, CKA_ID));
    EXPECT_EQ(text(attribute(*pris[0], CKA_LABEL)), "my key");
    EXPECT_EQ(pris[0]->key_spec(), 2u);
    EXPECT_EQ(text(attribute(*certs[0], CKA_LABEL)), "my cert");
    EXPECT_TRUE(pris[0]->attributes().is_true(CKA_SIGN));
    std::uint32_t bits = 0;
    EXPECT_TRUE(pubs[0]->attributes().get_u32(CKA_MODULUS_BITS, bits));
    EXPECT_EQ(bits, 1024u);

    // Values come on demand: the same public values, the certificate's bytes
    // and its label kept.
    ASSERT_EQ(reader.read_values(*pris[0]), CKR_OK);
    EXPECT_EQ(attribute(*pris[0], CKA_MODULUS), attribute(*pub, CKA_MODULUS));
    EXPECT_EQ(attribute(*pris[0], CKA_PUBLIC_EXPONENT), (bytes{1, 0, 1}));
    EXPECT_EQ(attribute(*pris[0], CKA_SUBJECT), test_support::hex(test_certificates::with_common_name_subject));
    ASSERT_EQ(reader.read_values(*certs[0]), CKR_OK);
    EXPECT_EQ(attribute(*certs[0], CKA_VALUE), test_support::hex(test_certificates::with_common_name));
    EXPECT_EQ(text(attribute(*certs[0], CKA_LABEL)), "my cert");
    EXPECT_EQ(attribute(*certs[0], CKA_SERIAL_NUMBER), test_support::hex("02 03 00 80 ff"));

    // A second load adds nothing.
    const std::size_t listed = fresh.count();
    ASSERT_EQ(reader.load_all(count), CKR_OK);
    EXPECT_EQ(fresh.count(), listed);
    // A reload keeps session objects and gives the token's again.
    pkcs11_object_ref session_key;
    ASSERT_EQ(pkcs11_object::make_bare(7, CKO_PUBLIC_KEY, session_key), CKR_OK);
    ASSERT_EQ(fresh.append(session_key), listed + 1);
    ASSERT_EQ(reader.reload(), CKR_OK);
    EXPECT_EQ(fresh.count(), listed + 1);
    EXPECT_TRUE(fresh.find(session_key->handle()));
    EXPECT_FALSE(fresh.find(certs[0]->handle()));
    certs = of(fresh, CKO_CERTIFICATE, name);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(text(attribute(*certs[0], CKA_LABEL)), "my cert");
}

TEST_F(container_manager_test, ImportedCrtAndPlainKeysSignAsSoftwareDoes) {
    test_rsa_key& key = software_key();
    const bytes message(333, 0x17);
    bytes digest(32);
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), message.data(), message.size(), digest.data());
    bytes expected(256);
    ASSERT_EQ(mbedtls_rsa_pkcs1_sign(&key.rsa, nullptr, nullptr, MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA256, 32,
                                     digest.data(), expected.data()),
              0);
    for (bool crt : {true, false}) {
        auto pri = make(CKO_PRIVATE_KEY);
        ASSERT_EQ(pri->attributes().set_u32(CKA_KEY_TYPE, CKK_RSA), CKR_OK);
        set(*pri, CKA_ID, std::string(crt ? "crt" : "plain"));
        // Values with a leading zero byte, as DER sources give them.
        set(*pri, CKA_MODULUS, mpi(key.rsa.N, 1));
        set(*pri, CKA_PUBLIC_EXPONENT, mpi(key.rsa.E));
        set(*pri, CKA_PRIVATE_EXPONENT, mpi(key.rsa.D));
        if (crt) {
            set(*pri, CKA_PRIME_1, mpi(key.rsa.P, 1));
            set(*pri, CKA_PRIME_2, mpi(key.rsa.Q));
            set(*pri, CKA_EXPONENT_1, mpi(key.rsa.DP));
            set(*pri, CKA_EXPONENT_2, mpi(key.rsa.DQ));
            set(*pri, CKA_COEFFICIENT, mpi(key.rsa.QP));
        }
        ASSERT_EQ(manager_->store_private_key(*pri), CKR_OK) << crt;
        EXPECT_FALSE(pri->attributes().has(CKA_PRIVATE_EXPONENT));
        EXPECT_FALSE(pri->attributes().has(CKA_PRIME_1));
        objects_.append(pri);
        EXPECT_EQ(sign(pri, message), expected) << crt;
    }
#ifndef _WIN32
    test_support::openssl_tool tool;
    bytes pem;
    ASSERT_EQ(key.pem(true, pem), 0);
    tool.put("key.pem", pem);
    tool.put("message", message);
    ASSERT_EQ(tool.run("dgst -sha256 -sign key.pem -out sig message"), 0);
    EXPECT_EQ(tool.get("sig"), expected);
#endif
}

TEST_F(container_manager_test, ImportValuesMustFitTheirFields) {
    test_rsa_key& key = software_key();
    struct row {
        const char* what;
        CK_ATTRIBUTE_TYPE type;
        bytes value;
    } rows[] = {
        {"prime over half the modulus", CKA_PRIME_1, bytes(129, 0x55)},
        {"exponent over 4 bytes", CKA_PUBLIC_EXPONENT, bytes{1, 0, 0, 0, 1}},
        {"private exponent over the modulus", CKA_PRIVATE_EXPONENT, bytes(257, 0x33)},
        {"inconsistent coefficient", CKA_COEFFICIENT, bytes(128, 0x21)},
    };
    for (const row& r : rows) {
        auto pri = make(CKO_PRIVATE_KEY);
        ASSERT_EQ(pri->attributes().set_u32(CKA_KEY_TYPE, CKK_RSA), CKR_OK);
        set(*pri, CKA_ID, std::string("bad"));
        set(*pri, CKA_MODULUS, mpi(key.rsa.N));
        set(*pri, CKA_PUBLIC_EXPONENT, mpi(key.rsa.E));
        set(*pri, CKA_PRIVATE_EXPONENT, mpi(key.rsa.D));
        set(*pri, CKA_PRIME_1, mpi(key.rsa.P));
        set(*pri, CKA_PRIME_2, mpi(key.rsa.Q));
        set(*pri, CKA_EXPONENT_1, mpi(key.rsa.DP));
        set(*pri, CKA_EXPONENT_2, mpi(key.rsa.DQ));
        set(*pri, CKA_COEFFICIENT, mpi(key.rsa.QP));
        set(*pri, r.type, r.value);
        EXPECT_EQ(manager_->store_private_key(*pri), CKR_ATTRIBUTE_VALUE_INVALID) << r.what;
    }
    // Nothing was left behind.
    std::size_t count = 0;
    pkcs11_object_mgr fresh;
    pkcs11_container_manager reader(device(), fresh);
    ASSERT_EQ(reader.load_all(count), CKR_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(container_manager_test, CertificatesJoinTheirKeyOrStandAlone) {
    pkcs11_object_ref pub, pri;
    ASSERT_EQ(generate(pub, pri), CKR_OK);
    const bytes der = test_support::hex(test_certificates::with_common_name);

    auto joined = make(CKO_CERTIFICATE);
    set(*joined, CKA_VALUE, der);
    set(*joined, CKA_ID, attribute(*pri, CKA_ID));
    ASSERT_EQ(manager_->store_certificate(*joined), CKR_OK);
    EXPECT_EQ(attribute(*joined, CKA_VENDOR_CONTAINER_NAME), attribute(*pri, CKA_VENDOR_CONTAINER_NAME));
    EXPECT_EQ(joined->key_spec(), 2u);
    pkcs11_container_info info;
    ASSERT_EQ(manager_->container_info(text(attribute(*pri, CKA_VENDOR_CONTAINER_NAME)), info), CKR_OK);
    EXPECT_EQ(info.signature_bits, 1024u);
    EXPECT_EQ(info.exchange_bits, 0u);
    EXPECT_EQ(info.signature_cert, 1);
    EXPECT_EQ(info.exchange_cert, 0);

    for (const char* expected : {"cert00", "cert01"}) {
        auto alone = make(CKO_CERTIFICATE);
        set(*alone, CKA_VALUE, der);
        ASSERT_EQ(manager_->store_certificate(*alone), CKR_OK);
        EXPECT_EQ(text(attribute(*alone, CKA_VENDOR_STORE_NAME)), expected);
        EXPECT_EQ(alone->key_spec(), 0u);
        EXPECT_FALSE(alone->attributes().has(CKA_VENDOR_CONTAINER_NAME));
    }
    pkcs11_object_mgr fresh;
    pkcs11_container_manager reader(device(), fresh);
    ASSERT_EQ(reader.load_standalone_certificates(), CKR_OK);
    ASSERT_EQ(fresh.count(), 2u);
    ASSERT_EQ(reader.read_values(*fresh.at(1)), CKR_OK);
    EXPECT_EQ(attribute(*fresh.at(1), CKA_VALUE), der);
    EXPECT_EQ(text(attribute(*fresh.at(1), CKA_LABEL)), "Solvanta Test");

    // Over 16384 bytes: refused, nothing written.
    vt_.clear_log();
    auto big = make(CKO_CERTIFICATE);
    set(*big, CKA_VALUE, bytes(17000, 0x30));
    EXPECT_EQ(manager_->store_certificate(*big), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_TRUE(vt_.commands().empty());
}

// A load reads the card's file list once: with a container in use the list
// that marks its certificates also names the standalone ones; without one
// the standalone certificates still come from the card.
TEST_F(container_manager_test, ALoadAsksForTheFileListOnce) {
    const bytes der = test_support::hex(test_certificates::with_common_name);
    auto alone = make(CKO_CERTIFICATE);
    set(*alone, CKA_VALUE, der);
    ASSERT_EQ(manager_->store_certificate(*alone), CKR_OK);
    const auto file_list_requests = [this] {
        int n = 0;
        for (const std::string& c : vt_.commands()) n += c.compare(0, 8, "00ca0106") == 0 ? 1 : 0;
        return n;
    };
    const auto certificates = [](const pkcs11_object_mgr& list) {
        int n = 0;
        for (std::size_t i = 0; i < list.count(); ++i) n += list.at(i)->object_class() == CKO_CERTIFICATE ? 1 : 0;
        return n;
    };
    for (const bool with_container : {false, true}) {
        if (with_container) {
            pkcs11_object_ref pub, pri;
            ASSERT_EQ(generate(pub, pri), CKR_OK);
        }
        pkcs11_object_mgr fresh;
        pkcs11_container_manager reader(device(), fresh);
        vt_.clear_log();
        ASSERT_EQ(reader.load(), CKR_OK);
        EXPECT_EQ(file_list_requests(), 1) << "with a container: " << with_container;
        EXPECT_EQ(certificates(fresh), 1) << "with a container: " << with_container;
        EXPECT_EQ(fresh.count(), with_container ? 3u : 1u);
    }
}

TEST_F(container_manager_test, VendorFunctionsCreateEnumerateAndDelete) {
    ASSERT_EQ(manager_->create_container("a"), CKR_OK);
    ASSERT_EQ(manager_->create_container("bc"), CKR_OK);
    EXPECT_EQ(manager_->create_container("a"), CKR_VENDOR_CONTAINER_EXISTS);
    EXPECT_EQ(manager_->create_container(std::string(39, 'x')), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(manager_->create_container(std::string(38, 'x')), CKR_OK);
    ASSERT_EQ(manager_->delete_container(std::string(38, 'x')), CKR_OK);

    CK_ULONG length = 0;
    ASSERT_EQ(manager_->enumerate(nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 5u);
    char buffer[8];
    std::memset(buffer, 'z', sizeof buffer);
    length = 4;
    EXPECT_EQ(manager_->enumerate(buffer, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(buffer[0], 'z');
    length = sizeof buffer;
    ASSERT_EQ(manager_->enumerate(buffer, &length), CKR_OK);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::string(buffer, 5), std::string("a\0bc\0", 5));

    // A new manager enumerates what the card holds.
    pkcs11_object_mgr fresh;
    pkcs11_container_manager reader(device(), fresh);
    length = 0;
    ASSERT_EQ(reader.enumerate(nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 5u);

    pkcs11_container_info info;
    EXPECT_EQ(manager_->container_info("b", info), CKR_VENDOR_CONTAINER_NOT_FOUND);
    // Deletion matches the whole name.
    ASSERT_EQ(manager_->delete_container("b"), CKR_OK);
    EXPECT_EQ(manager_->containers().size(), 2u);
    const bytes cardcf_before = file("3f00/2000/cardcf");
    ASSERT_EQ(manager_->delete_container("bc"), CKR_OK);
    EXPECT_NE(file("3f00/2000/cardcf"), cardcf_before);
    ASSERT_EQ(manager_->containers().size(), 1u);
    EXPECT_EQ(manager_->containers()[0].name, "a");
}

TEST_F(container_manager_test, DeletingTheLastKeyAndCertificateDeletesTheContainer) {
    pkcs11_object_ref pub, pri;
    ASSERT_EQ(generate(pub, pri), CKR_OK);
    auto cert = make(CKO_CERTIFICATE);
    set(*cert, CKA_VALUE, test_support::hex(test_certificates::without_common_name));
    set(*cert, CKA_ID, attribute(*pri, CKA_ID));
    ASSERT_EQ(manager_->store_certificate(*cert), CKR_OK);
    const std::string name = text(attribute(*pri, CKA_VENDOR_CONTAINER_NAME));

    ASSERT_EQ(manager_->delete_key_pair(*pri), CKR_OK);
    ASSERT_NE(manager_->find(name), nullptr);
    const bytes cardcf_before = file("3f00/2000/cardcf");
    ASSERT_EQ(manager_->delete_certificate(*cert), CKR_OK);
    EXPECT_EQ(manager_->find(name), nullptr);
    EXPECT_NE(file("3f00/2000/cardcf"), cardcf_before);
    std::size_t count = 0;
    pkcs11_object_mgr fresh;
    pkcs11_container_manager reader(device(), fresh);
    ASSERT_EQ(reader.load_all(count), CKR_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(container_manager_test, KeyPairTemplatesShareOneIdAndName) {
    auto pub = make(CKO_PUBLIC_KEY), pri = make(CKO_PRIVATE_KEY);
    set(*pri, CKA_ID, std::string("\x07", 1));
    ASSERT_EQ(manager_->generate_rsa_key_pair(*pub, *pri), CKR_OK);
    EXPECT_EQ(attribute(*pub, CKA_ID), (bytes{0x07}));
    EXPECT_EQ(attribute(*pub, CKA_VENDOR_CONTAINER_NAME), attribute(*pri, CKA_VENDOR_CONTAINER_NAME));
    EXPECT_EQ(pub->key_spec(), 2u);
    std::uint32_t bits = 0;
    EXPECT_TRUE(pub->attributes().get_u32(CKA_MODULUS_BITS, bits));
    EXPECT_EQ(bits, 1024u);  // the size when the template gives none

    auto pub2 = make(CKO_PUBLIC_KEY), pri2 = make(CKO_PRIVATE_KEY);
    set(*pub2, CKA_ID, std::string("a"));
    set(*pri2, CKA_ID, std::string("b"));
    EXPECT_EQ(manager_->generate_rsa_key_pair(*pub2, *pri2), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(manager_->containers().size(), 1u);
}

TEST_F(container_manager_test, KeysStoredWithoutAnIdAreNamedAfterTheirContainer) {
    ASSERT_EQ(solvantex::cardfs_create_container(h_, 3, "bare"), 0);
    ASSERT_EQ(solvantex::cardfs_generate_key_pair(h_, 3, solvantex::cardfs_spec_signature, 1024), 0);
    ASSERT_EQ(solvantex::cardfs_generate_key_pair(h_, 3, solvantex::cardfs_spec_exchange, 1024), 0);
    std::size_t count = 0;
    ASSERT_EQ(manager_->load_all(count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(manager_->containers()[0].index, 3);
    auto keys = of(objects_, CKO_PRIVATE_KEY, "bare");
    ASSERT_EQ(keys.size(), 2u);
    for (const auto& k : keys) EXPECT_EQ(text(attribute(*k, CKA_ID)), k->key_spec() == 2 ? "bareS" : "bare");
    // Both sign with their own key.
    const bytes message(20, 3);
    for (const auto& k : keys) {
        auto pubs = of(objects_, CKO_PUBLIC_KEY, "bare");
        for (const auto& p : pubs) {
            if (p->key_spec() == k->key_spec()) {
                EXPECT_EQ(verify(p, message, sign(k, message)), CKR_OK);
            }
        }
    }
}
