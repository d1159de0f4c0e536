// The RSA contexts on the virtual token through the module's card layer:
// signatures of an imported key equal openssl's byte for byte, those of
// keys made on the card verify with openssl, the card decrypts what
// openssl encrypted, X9.31 round-trips and takes openssl's signatures, and
// a private key refuses work without the user PIN.
#include <gtest/gtest.h>

#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include <cstdint>
#include <memory>
#include <string>

#include "card_commands.h"
#include "card_containers.h"
#include "formatted_token.h"
#include "pkcs11/crypto/rsa_scripted_card.h"
#include "containers/rsa_card_port.h"
#include "rsa_ctx.h"
#include "support/test_keys.h"
#include "token_card.h"

using namespace pkcs11;
using rsa_test::bytes;
using rsa_test::digest_of;
using rsa_test::pattern;
using rsa_test::fixed_key;
using rsa_test::test_rsa_key;

namespace {

struct mechanism_row {
    CK_MECHANISM_TYPE type;
    mbedtls_md_type_t md;
    const char* openssl;
};
const mechanism_row hash_mechanisms[] = {
    {CKM_SHA1_RSA_PKCS, MBEDTLS_MD_SHA1, "sha1"},
    {CKM_SHA256_RSA_PKCS, MBEDTLS_MD_SHA256, "sha256"},
    {CKM_SHA384_RSA_PKCS, MBEDTLS_MD_SHA384, "sha384"},
    {CKM_SHA512_RSA_PKCS, MBEDTLS_MD_SHA512, "sha512"},
};

// A key on the card: its container place and public values.
struct card_key {
    std::int32_t index;
    std::int32_t spec;
    bytes n, e;
};

class card_rsa_test : public formatted_token::test {
protected:
    void SetUp() override {
        formatted_token::test::SetUp();
        port_ = std::make_shared<pkcs11_card_rsa_port>([this](solvantex::card_handle& h) {
            h = h_;
            return 0;
        });
    }

    card_key import(std::int32_t index, const test_rsa_key& key) {
        EXPECT_EQ(solvantex::cardfs_create_container(h_, index, ("imported" + std::to_string(index)).c_str()), 0);
        bytes private_block, public_block;
        key.blocks(private_block, public_block);
        EXPECT_EQ(solvantex::cardfs_import_key_pair(h_, index, solvantex::cardfs_spec_signature,
                                                    static_cast<std::uint32_t>(key.n.size() * 8),
                                                    private_block.data(), public_block.data()),
                  0);
        return {index, solvantex::cardfs_spec_signature, key.n, key.e};
    }
    card_key generate(std::int32_t index, std::uint32_t bits) {
        EXPECT_EQ(solvantex::cardfs_create_container(h_, index, ("made" + std::to_string(index)).c_str()), 0);
        EXPECT_EQ(solvantex::cardfs_generate_key_pair(h_, index, solvantex::cardfs_spec_exchange, bits), 0);
        bytes block(264);
        std::int32_t length = static_cast<std::int32_t>(block.size());
        EXPECT_EQ(solvantex::cardfs_read_public_key(h_, index, solvantex::cardfs_spec_exchange, block.data(),
                                                    &length),
                  0);
        const std::size_t k = bits / 8;
        return {index, solvantex::cardfs_spec_exchange, bytes(block.begin() + 260 - static_cast<long>(k),
                                                              block.begin() + 260),
                rsa_minimal_exponent(block.data() + 260, 4)};
    }

    std::unique_ptr<pkcs11_hardware_rsa_ctx> make(CK_MECHANISM_TYPE type, CK_OBJECT_CLASS c, const card_key& key) {
        auto source =
            std::make_unique<fixed_key>(c, key.n, key.e, solvantex::cardfs_private_key_id(key.index, key.spec));
        const CK_MECHANISM m{type, nullptr, 0};
        return make_hardware_rsa_ctx(choose_key_ctx(type, nullptr).ctx_class, m, port_, std::move(source));
    }
    bytes sign(CK_MECHANISM_TYPE type, const card_key& key, const bytes& data, CK_RV expect = CKR_OK) {
        auto ctx = make(type, CKO_PRIVATE_KEY, key);
        EXPECT_EQ(ctx->sign_init({}), CKR_OK);
        bytes sig(key.n.size());
        CK_ULONG n = sig.size();
        EXPECT_EQ(ctx->sign(data.data(), data.size(), sig.data(), &n), expect);
        return expect == CKR_OK ? sig : bytes();
    }
    CK_RV verify(CK_MECHANISM_TYPE type, const card_key& key, const bytes& data, const bytes& sig) {
        auto ctx = make(type, CKO_PUBLIC_KEY, key);
        EXPECT_EQ(ctx->verify_init({}), CKR_OK);
        return ctx->verify(data.data(), data.size(), sig.data(), sig.size());
    }
    CK_RV decrypt(CK_MECHANISM_TYPE type, const card_key& key, const bytes& cipher, bytes& plain) {
        auto ctx = make(type, CKO_PRIVATE_KEY, key);
        EXPECT_EQ(ctx->decrypt_init({}), CKR_OK);
        plain.assign(key.n.size(), 0);
        CK_ULONG n = plain.size();
        const CK_RV rv = ctx->decrypt(cipher.data(), cipher.size(), plain.data(), &n);
        plain.resize(rv == CKR_OK ? n : 0);
        return rv;
    }

    static test_rsa_key& imported_key() {
        static test_rsa_key key(2048, "card rsa import");
        return key;
    }

    std::shared_ptr<pkcs11_card_rsa_port> port_;
};

}  // namespace

TEST_F(card_rsa_test, ImportedKeySignsAsOpensslDoes) {
    test_rsa_key& key = imported_key();
    const card_key on_card = import(0, key);
    const bytes message = pattern(1000, 3);
    const bytes short_data = pattern(51, 5);  // openssl takes no more than a hash's worth
    bytes raw_block = pattern(256, 9);
    raw_block[0] = 0;
#ifndef _WIN32
    test_support::openssl_tool tool;
    bytes pem;
    ASSERT_EQ(key.pem(true, pem), 0);
    tool.put("key.pem", pem);
    tool.put("message", message);
    tool.put("short", short_data);
    tool.put("raw", raw_block);
#endif
    for (const mechanism_row& r : hash_mechanisms) {
        const bytes card = sign(r.type, on_card, message);
        const bytes digest = digest_of(r.md, message);
        bytes software(256);
        ASSERT_EQ(mbedtls_rsa_pkcs1_sign(&key.rsa, nullptr, nullptr, MBEDTLS_RSA_PRIVATE,
                                         r.md, static_cast<unsigned>(digest.size()), digest.data(),
                                         software.data()),
                  0);
        EXPECT_EQ(card, software) << r.openssl;
        EXPECT_EQ(verify(r.type, on_card, message, card), CKR_OK) << r.openssl;
#ifndef _WIN32
        ASSERT_EQ(tool.run(std::string("dgst -") + r.openssl + " -sign key.pem -out sig message"), 0);
        EXPECT_EQ(card, tool.get("sig")) << r.openssl;
#endif
    }
    const bytes pkcs = sign(CKM_RSA_PKCS, on_card, short_data);
    const bytes raw = sign(CKM_RSA_X_509, on_card, raw_block);
    EXPECT_EQ(verify(CKM_RSA_PKCS, on_card, short_data, pkcs), CKR_OK);
    EXPECT_EQ(verify(CKM_RSA_X_509, on_card, raw_block, raw), CKR_OK);
#ifndef _WIN32
    ASSERT_EQ(tool.run("pkeyutl -sign -inkey key.pem -pkeyopt rsa_padding_mode:pkcs1 -in short -out pkcs.sig"), 0);
    EXPECT_EQ(pkcs, tool.get("pkcs.sig"));
    // openssl's raw private operation (its signing takes no more than a hash).
    ASSERT_EQ(tool.run("pkeyutl -decrypt -inkey key.pem -pkeyopt rsa_padding_mode:none -in raw -out raw.sig"), 0);
    EXPECT_EQ(raw, tool.get("raw.sig"));
#endif
}

TEST_F(card_rsa_test, KeysMadeOnTheCardSignWhatOpensslVerifies) {
    const bytes message = pattern(500, 1);
    for (std::uint32_t bits : {1024u, 2048u}) {
        const card_key key = generate(bits == 1024 ? 1 : 2, bits);
        EXPECT_EQ(key.e, (bytes{1, 0, 1}));
        const bytes sha256 = sign(CKM_SHA256_RSA_PKCS, key, message);
        const bytes pkcs = sign(CKM_RSA_PKCS, key, pattern(40, 2));
        EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, key, message, sha256), CKR_OK);
        bytes tampered = sha256;
        tampered[bits / 16] ^= 0x10;
        EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, key, message, tampered), CKR_SIGNATURE_INVALID);
#ifndef _WIN32
        test_support::openssl_tool tool;
        bytes pem;
        ASSERT_EQ(test_support::rsa_public_pem(key.n, key.e, pem), 0);
        tool.put("pub.pem", pem);
        tool.put("message", message);
        tool.put("sig", sha256);
        tool.put("bad", tampered);
        tool.put("data", pattern(40, 2));
        tool.put("pkcs.sig", pkcs);
        EXPECT_EQ(tool.run("dgst -sha256 -verify pub.pem -signature sig message"), 0) << bits;
        EXPECT_NE(tool.run("dgst -sha256 -verify pub.pem -signature bad message"), 0) << bits;
        EXPECT_EQ(tool.run("pkeyutl -verify -pubin -inkey pub.pem -pkeyopt rsa_padding_mode:pkcs1 -in data "
                           "-sigfile pkcs.sig"),
                  0)
            << bits;
#endif
    }
}

TEST_F(card_rsa_test, TheCardDecryptsWhatWasEncryptedForIt) {
    const card_key key = generate(3, 2048);
    const bytes plain = pattern(200, 7);
    // Encrypted by the context (software, random padding) ...
    auto enc = make(CKM_RSA_PKCS, CKO_PUBLIC_KEY, key);
    ASSERT_EQ(enc->encrypt_init({}), CKR_OK);
    bytes cipher(256);
    CK_ULONG n = cipher.size();
    ASSERT_EQ(enc->encrypt(plain.data(), plain.size(), cipher.data(), &n), CKR_OK);
    bytes out;
    ASSERT_EQ(decrypt(CKM_RSA_PKCS, key, cipher, out), CKR_OK);
    EXPECT_EQ(out, plain);
#ifndef _WIN32
    // ... and by openssl.
    test_support::openssl_tool tool;
    bytes pem;
    ASSERT_EQ(test_support::rsa_public_pem(key.n, key.e, pem), 0);
    tool.put("pub.pem", pem);
    tool.put("plain", plain);
    ASSERT_EQ(tool.run("pkeyutl -encrypt -pubin -inkey pub.pem -pkeyopt rsa_padding_mode:pkcs1 -in plain -out c"), 0);
    ASSERT_EQ(decrypt(CKM_RSA_PKCS, key, tool.get("c"), out), CKR_OK);
    EXPECT_EQ(out, plain);
    bytes block = pattern(256, 4);
    block[0] = 0;
    tool.put("block", block);
    ASSERT_EQ(tool.run("pkeyutl -encrypt -pubin -inkey pub.pem -pkeyopt rsa_padding_mode:none -in block -out rc"), 0);
    ASSERT_EQ(decrypt(CKM_RSA_X_509, key, tool.get("rc"), out), CKR_OK);
    EXPECT_EQ(out, block);
#endif
    // A block that is no PKCS #1 encryption.
    bytes garbage = pattern(256, 1);
    garbage[0] = 0;
    EXPECT_EQ(decrypt(CKM_RSA_PKCS, key, garbage, out), CKR_ENCRYPTED_DATA_INVALID);
}

TEST_F(card_rsa_test, X931RoundTripsOnTheCardForEveryDataLength) {
    const card_key key = generate(4, 1024);
    for (std::size_t length = 124; length >= 1; --length) {
        const bytes data = pattern(length, static_cast<unsigned>(length));
        const bytes sig = sign(CKM_RSA_X9_31, key, data);
        ASSERT_EQ(verify(CKM_RSA_X9_31, key, data, sig), CKR_OK) << length;
        if (length % 31 == 0) {
            bytes bad = sig;
            bad[length % 128] ^= 0x04;
            EXPECT_EQ(verify(CKM_RSA_X9_31, key, data, bad), CKR_SIGNATURE_INVALID) << length;
        }
    }
    const bytes message = pattern(300, 2);
    const bytes sig = sign(CKM_SHA1_RSA_X9_31, key, message);
    EXPECT_EQ(verify(CKM_SHA1_RSA_X9_31, key, message, sig), CKR_OK);
}

#ifndef _WIN32
TEST_F(card_rsa_test, OpensslX931SignaturesVerify) {
    const test_rsa_key& key = imported_key();
    const card_key on_card{0, solvantex::cardfs_spec_signature, key.n, key.e};
    test_support::openssl_tool tool;
    bytes pem;
    ASSERT_EQ(key.pem(true, pem), 0);
    tool.put("key.pem", pem);
    for (unsigned seed = 0; seed < 6; ++seed) {
        const bytes message = pattern(100 + seed, seed);
        tool.put("message", message);
        ASSERT_EQ(tool.run("dgst -sha1 -binary -out digest message"), 0);
        ASSERT_EQ(tool.run("pkeyutl -sign -inkey key.pem -pkeyopt digest:sha1 -pkeyopt rsa_padding_mode:x931 "
                           "-in digest -out sig"),
                  0);
        const bytes sig = tool.get("sig");
        EXPECT_EQ(verify(CKM_SHA1_RSA_X9_31, on_card, message, sig), CKR_OK) << seed;
        // The same block read as caller-formed data: the digest and its identifier.
        bytes content = tool.get("digest");
        content.push_back(0x33);
        EXPECT_EQ(verify(CKM_RSA_X9_31, on_card, content, sig), CKR_OK) << seed;
        bytes other = message;
        other[0] ^= 1;
        EXPECT_EQ(verify(CKM_SHA1_RSA_X9_31, on_card, other, sig), CKR_SIGNATURE_INVALID) << seed;
    }
}
#endif

TEST_F(card_rsa_test, PrivateKeyWorkNeedsTheUserPin) {
    const card_key key = generate(5, 1024);
    const bytes message = pattern(50, 1);
    const bytes sig = sign(CKM_SHA256_RSA_PKCS, key, message);
    ASSERT_EQ(card_clear_security_state(h_), 0);
    sign(CKM_SHA256_RSA_PKCS, key, message, CKR_USER_NOT_LOGGED_IN);
    sign(CKM_RSA_X9_31, key, message, CKR_USER_NOT_LOGGED_IN);
    bytes out;
    EXPECT_EQ(decrypt(CKM_RSA_PKCS, key, bytes(128, 0x01), out), CKR_USER_NOT_LOGGED_IN);
    // Public work runs in software, PIN or not.
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, key, message, sig), CKR_OK);
}

TEST_F(card_rsa_test, ASignatureSendsTheSelectionAndTheSignOnly) {
    const card_key key = generate(6, 2048);
    vt_.clear_log();
    sign(CKM_SHA256_RSA_PKCS, key, pattern(64, 1));
    const auto commands = vt_.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].substr(2, 2), "a4");  // SelectFile of the store directory
    EXPECT_EQ(commands[1].substr(2, 2), "89");  // AsymSign
}
