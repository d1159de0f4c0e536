// Digests, HMAC and digest key derivation through the software hash context.
#include <gtest/gtest.h>

#include <string>

#include "soft_hash_ctx.h"
#include "support/hex_bytes.h"

namespace {

using pkcs11::pkcs11_soft_hash_ctx;
using test_support::bytes;
using test_support::hex;
using test_support::hex_of;

CK_MECHANISM mech(CK_MECHANISM_TYPE type) { return CK_MECHANISM{type, nullptr, 0}; }

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

pkcs11::pkcs11_key_value value_of(const bytes& b) { return {b.data(), b.size()}; }

struct digest_case {
    CK_MECHANISM_TYPE type;
    const char* abc;  // digest of "abc"
};

// FIPS 180 and RFC 1321 examples.
const digest_case digest_cases[] = {
    {CKM_MD5, "900150983cd24fb0d6963f7d28e17f72"},
    {CKM_SHA_1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {CKM_SHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {CKM_SHA384,
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {CKM_SHA512,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
};

TEST(SoftHash, DigestsOneShotAndMultiPart) {
    for (const digest_case& c : digest_cases) {
        SCOPED_TRACE(c.abc);
        const bytes abc = text("abc");
        pkcs11_soft_hash_ctx one(mech(c.type));
        ASSERT_EQ(one.digest_init(), CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(one.digest(abc.data(), 3, nullptr, &length), CKR_OK);
        const CK_ULONG size = length;
        EXPECT_EQ(size * 2, std::string(c.abc).size());
        // The size query fed nothing: the real call hashes "abc" once.
        bytes out(size);
        ASSERT_EQ(one.digest(abc.data(), 3, out.data(), &length), CKR_OK);
        EXPECT_EQ(hex_of(out), c.abc);

        pkcs11_soft_hash_ctx parts(mech(c.type));
        ASSERT_EQ(parts.digest_init(), CKR_OK);
        ASSERT_EQ(parts.digest_update(abc.data(), 1), CKR_OK);
        ASSERT_EQ(parts.digest_update(abc.data(), 0), CKR_OK);
        ASSERT_EQ(parts.digest_update(abc.data() + 1, 2), CKR_OK);
        length = size - 1;
        ASSERT_EQ(parts.digest_final(out.data(), &length), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, size);
        ASSERT_EQ(parts.digest_final(out.data(), &length), CKR_OK);
        EXPECT_EQ(hex_of(out), c.abc);
        EXPECT_EQ(parts.digest_update(abc.data(), 1), CKR_OPERATION_NOT_INITIALIZED);
    }
}

TEST(SoftHash, ShortDigestBufferAndWrongUse) {
    pkcs11_soft_hash_ctx sha1(mech(CKM_SHA_1));
    ASSERT_EQ(sha1.digest_init(), CKR_OK);
    bytes out(20);
    CK_ULONG length = 19;
    EXPECT_EQ(sha1.digest(out.data(), 0, out.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u);
    ASSERT_EQ(sha1.digest(nullptr, 0, out.data(), &length), CKR_OK);
    EXPECT_EQ(hex_of(out), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    // A context that never started refuses to finish.
    pkcs11_soft_hash_ctx idle(mech(CKM_SHA256));
    length = 32;
    EXPECT_EQ(idle.digest_final(out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    // Digest, HMAC and derivation mechanisms keep to their own operation.
    pkcs11_soft_hash_ctx hmac(mech(CKM_SHA256_HMAC));
    EXPECT_EQ(hmac.digest_init(), CKR_MECHANISM_INVALID);
    pkcs11_soft_hash_ctx plain(mech(CKM_SHA256));
    const bytes key(16, 1);
    EXPECT_EQ(plain.sign_init(value_of(key)), CKR_MECHANISM_INVALID);
    pkcs11_soft_hash_ctx other(mech(CKM_SHA224));
    EXPECT_EQ(other.digest_init(), CKR_MECHANISM_INVALID);
}

struct hmac_case {
    CK_MECHANISM_TYPE type;
    const char* key;
    const char* data;  // text
    const char* mac;
};

const hmac_case hmac_cases[] = {
    // RFC 2202 test case 1 and 2
    {CKM_MD5_HMAC, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
    {CKM_SHA_1_HMAC, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There",
     "b617318655057264e28bc0b6fb378c8ef146be00"},
    {CKM_MD5_HMAC, "4a656665", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
    {CKM_SHA_1_HMAC, "4a656665", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    // RFC 4231 test cases 1 and 2
    {CKM_SHA256_HMAC, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There",
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {CKM_SHA256_HMAC, "4a656665", "what do ya want for nothing?",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {CKM_SHA384_HMAC, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There",
     "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
    {CKM_SHA512_HMAC, "4a656665", "what do ya want for nothing?",
     "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
     "caeab1a34d4a6b4b636e070a38bce737"},
};

TEST(SoftHash, HmacSignAndVerify) {
    for (const hmac_case& c : hmac_cases) {
        SCOPED_TRACE(c.mac);
        const bytes key = hex(c.key);
        const bytes data = text(c.data);
        const bytes mac = hex(c.mac);
        const auto len = static_cast<CK_ULONG>(data.size());

        pkcs11_soft_hash_ctx one(mech(c.type));
        ASSERT_EQ(one.sign_init(value_of(key)), CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(one.sign(data.data(), len, nullptr, &length), CKR_OK);
        ASSERT_EQ(length, mac.size());
        bytes out(length);
        ASSERT_EQ(one.sign(data.data(), len, out.data(), &length), CKR_OK);
        EXPECT_EQ(hex_of(out), c.mac);

        pkcs11_soft_hash_ctx parts(mech(c.type));
        ASSERT_EQ(parts.sign_init(value_of(key)), CKR_OK);
        ASSERT_EQ(parts.sign_update(data.data(), 3), CKR_OK);
        ASSERT_EQ(parts.sign_update(data.data() + 3, len - 3), CKR_OK);
        ASSERT_EQ(parts.sign_final(out.data(), &length), CKR_OK);
        EXPECT_EQ(hex_of(out), c.mac);

        pkcs11_soft_hash_ctx verify(mech(c.type));
        ASSERT_EQ(verify.verify_init(value_of(key)), CKR_OK);
        EXPECT_EQ(verify.verify(data.data(), len, mac.data(), static_cast<CK_ULONG>(mac.size())), CKR_OK);
    }
}

TEST(SoftHash, HmacVerifyRefusesWrongBytesAndLengths) {
    const bytes key = hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b");
    const bytes data = text("Hi There");
    const bytes mac = hex("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    bytes flipped = mac;
    flipped[31] ^= 1;
    bytes longer = mac;
    longer.push_back(0);
    const bytes cases[] = {flipped, bytes(mac.begin(), mac.end() - 1), longer, bytes()};
    for (const bytes& signature : cases) {
        pkcs11_soft_hash_ctx ctx(mech(CKM_SHA256_HMAC));
        ASSERT_EQ(ctx.verify_init(value_of(key)), CKR_OK);
        ASSERT_EQ(ctx.verify_update(data.data(), static_cast<CK_ULONG>(data.size())), CKR_OK);
        EXPECT_EQ(ctx.verify_final(signature.empty() ? nullptr : signature.data(),
                                   static_cast<CK_ULONG>(signature.size())),
                  CKR_SIGNATURE_INVALID)
            << signature.size();
        EXPECT_FALSE(ctx.active());
    }
    pkcs11_soft_hash_ctx no_key(mech(CKM_SHA256_HMAC));
    EXPECT_EQ(no_key.sign_init(pkcs11::pkcs11_key_value{}), CKR_ATTRIBUTE_TYPE_INVALID);
}

struct derive_case {
    CK_MECHANISM_TYPE type;
    pkcs11::pkcs11_derive_template templ;
    CK_RV expected;
    std::size_t length;
};

const derive_case derive_cases[] = {
    {CKM_SHA1_KEY_DERIVATION, {}, CKR_OK, 20},
    {CKM_SHA1_KEY_DERIVATION, {true, CKK_DES, false, 0}, CKR_OK, 8},
    {CKM_SHA1_KEY_DERIVATION, {true, CKK_DES2, false, 0}, CKR_OK, 16},
    {CKM_SHA1_KEY_DERIVATION, {true, CKK_DES3, false, 0}, CKR_TEMPLATE_INCONSISTENT, 0},
    {CKM_SHA256_KEY_DERIVATION, {true, CKK_DES3, false, 0}, CKR_OK, 24},
    {CKM_SHA1_KEY_DERIVATION, {true, CKK_AES, true, 32}, CKR_OK, 16},
    {CKM_SHA1_KEY_DERIVATION, {false, 0, true, 12}, CKR_OK, 12},
    {CKM_SHA1_KEY_DERIVATION, {false, 0, true, 21}, CKR_TEMPLATE_INCONSISTENT, 0},
    {CKM_SHA1_KEY_DERIVATION, {false, 0, true, 1000}, CKR_TEMPLATE_INCONSISTENT, 0},
    {CKM_MD5_KEY_DERIVATION, {}, CKR_OK, 16},
    {CKM_SHA384_KEY_DERIVATION, {}, CKR_OK, 48},
    {CKM_SHA512_KEY_DERIVATION, {false, 0, true, 64}, CKR_OK, 64},
    {CKM_SHA256, {}, CKR_MECHANISM_INVALID, 0},
};

TEST(SoftHash, DigestKeyDerivation) {
    const bytes base(16, 0x01);
    for (const derive_case& c : derive_cases) {
        SCOPED_TRACE(testing::Message() << "mechanism 0x" << std::hex << c.type << std::dec << " length " << c.length);
        pkcs11_soft_hash_ctx ctx(mech(c.type));
        CK_BYTE value[pkcs11::max_digest_length];
        std::size_t length = 0;
        ASSERT_EQ(ctx.derive_key_value(value_of(base), c.templ, value, &length), c.expected);
        if (c.expected != CKR_OK) continue;
        ASSERT_EQ(length, c.length);
        if (c.type == CKM_SHA1_KEY_DERIVATION) {
            EXPECT_EQ(hex_of(value, length), std::string("345c0e97987b1f4e1be38ee1678a5f1061c2c301").substr(0, 2 * length));
        }
    }
    pkcs11_soft_hash_ctx md5(mech(CKM_MD5_KEY_DERIVATION));
    CK_BYTE value[pkcs11::max_digest_length];
    std::size_t length = 0;
    const bytes big(65, 1);
    EXPECT_EQ(md5.derive_key_value(value_of(big), {}, value, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(md5.derive_key_value(pkcs11::pkcs11_key_value{}, {}, value, &length), CKR_ATTRIBUTE_TYPE_INVALID);
}

}  // namespace
