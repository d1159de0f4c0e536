// The RSA contexts against a card made of software (rsa_scripted_card.h):
// the X9.31 block rules, the size and class checks, the card's statuses
// and replies as the contexts report them, and every mechanism's
// signatures checked by mbed TLS with the test key.
#include <gtest/gtest.h>

#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include <cstring>
#include <memory>

#include "rsa_ctx.h"
#include "rsa_scripted_card.h"

using namespace pkcs11;
using rsa_test::bytes;
using rsa_test::digest_of;
using rsa_test::pattern;
using rsa_test::fixed_key;
using rsa_test::scripted_card;
using rsa_test::test_rsa_key;

namespace {

class rsa_ctx_test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key1024_ = new test_rsa_key(1024, "rsa ctx 1024");
        key2048_ = new test_rsa_key(2048, "rsa ctx 2048");
    }
    static void TearDownTestSuite() {
        delete key1024_;
        delete key2048_;
    }

    test_rsa_key& key(std::size_t bits) { return bits == 1024 ? *key1024_ : *key2048_; }

    std::unique_ptr<pkcs11_hardware_rsa_ctx> make(CK_MECHANISM_TYPE type, CK_OBJECT_CLASS c,
                                                  std::size_t bits = 1024, fixed_key** source = nullptr) {
        if (!card_ || card_bits_ != bits) {
            card_ = std::make_shared<scripted_card>(key(bits));
            card_bits_ = bits;
        }
        auto k = std::make_unique<fixed_key>(c, key(bits).n, key(bits).e);
        if (source != nullptr) *source = k.get();
        const CK_MECHANISM m{type, nullptr, 0};
        return make_hardware_rsa_ctx(choose_key_ctx(type, nullptr).ctx_class, m, card_, std::move(k));
    }

    bytes sign(CK_MECHANISM_TYPE type, const bytes& data, std::size_t bits = 1024, CK_RV expect = CKR_OK) {
        auto ctx = make(type, CKO_PRIVATE_KEY, bits);
        EXPECT_EQ(ctx->sign_init({}), CKR_OK);
        bytes sig(bits / 8);
        CK_ULONG n = sig.size();
        EXPECT_EQ(ctx->sign(data.data(), data.size(), sig.data(), &n), expect);
        if (expect != CKR_OK) return {};
        EXPECT_EQ(n, bits / 8);
        return sig;
    }
    CK_RV verify(CK_MECHANISM_TYPE type, const bytes& data, const bytes& sig, std::size_t bits = 1024) {
        auto ctx = make(type, CKO_PUBLIC_KEY, bits);
        EXPECT_EQ(ctx->verify_init({}), CKR_OK);
        return ctx->verify(data.data(), data.size(), sig.data(), sig.size());
    }

    static test_rsa_key* key1024_;
    static test_rsa_key* key2048_;
    std::shared_ptr<scripted_card> card_;
    std::size_t card_bits_ = 0;
};

test_rsa_key* rsa_ctx_test::key1024_ = nullptr;
test_rsa_key* rsa_ctx_test::key2048_ = nullptr;

}  // namespace

// ---- X9.31 blocks ----------------------------------------------------

TEST(x931_block, ShaOneDigestFillsTheBlockWithItsIdentifierAndTrailer) {
    const bytes digest = pattern(20, 3);
    bytes block(128);
    ASSERT_EQ(x931_encode(algo_sha1, digest.data(), digest.size(), block.data(), block.size()), CKR_OK);
    bytes expected{0x6B};
    expected.insert(expected.end(), 104, 0xBB);
    expected.push_back(0xBA);
    expected.insert(expected.end(), digest.begin(), digest.end());
    expected.push_back(0x33);
    expected.push_back(0xCC);
    EXPECT_EQ(block, expected);
}

TEST(x931_block, EncodingRefusesWhatTheDecoderCannotReadBack) {
    bytes block(128);
    const bytes data = pattern(128, 1);
    EXPECT_EQ(x931_encode(0, data.data(), 128, block.data(), 128), CKR_DATA_INVALID);  // m = 0
    EXPECT_EQ(x931_encode(0, data.data(), 127, block.data(), 128), CKR_DATA_INVALID);  // m = 1
    EXPECT_EQ(x931_encode(0, data.data(), 125, block.data(), 128), CKR_DATA_INVALID);  // m = 3
    EXPECT_EQ(x931_encode(algo_sha1, data.data(), 124, block.data(), 128), CKR_DATA_INVALID);
    ASSERT_EQ(x931_encode(0, data.data(), 126, block.data(), 128), CKR_OK);  // m = 2
    EXPECT_EQ(block[0], 0x6A);
    EXPECT_EQ(block[127], 0xCC);
    std::size_t at = 0, n = 0;
    ASSERT_EQ(x931_decode(block.data(), 128, at, n), CKR_OK);
    EXPECT_EQ(at, 1u);
    EXPECT_EQ(n, 126u);
}

TEST(x931_block, MalformedBlocksAreRefused) {
    struct row {
        const char* what;
        bytes head;
    } rows[] = {
        {"no 0xBB before 0xBA", {0x6B, 0xBA}},
        {"another header", {0x6C, 0xBB, 0xBA}},
        {"no 0xBA", {0x6B, 0xBB, 0xBB, 0x00}},
    };
    for (const row& r : rows) {
        bytes block(128, 0xBB);
        std::copy(r.head.begin(), r.head.end(), block.begin());
        block[127] = 0xCC;
        std::size_t at = 0, n = 0;
        EXPECT_EQ(x931_decode(block.data(), block.size(), at, n), CKR_DATA_INVALID) << r.what;
    }
    bytes no_trailer(128, 0xBB);
    no_trailer[0] = 0x6B;
    no_trailer[10] = 0xBA;
    std::size_t at = 0, n = 0;
    EXPECT_EQ(x931_decode(no_trailer.data(), 128, at, n), CKR_DATA_INVALID);
}

// ---- key facts ---------------------------------------------------------

TEST(rsa_key_facts, ModulusBitsLeaveLeadingZerosOut) {
    bytes n(129, 0xC5);
    n[0] = 0;
    std::uint32_t bits = 0;
    EXPECT_EQ(rsa_bits_of_modulus(n.data(), n.size(), bits), CKR_OK);
    EXPECT_EQ(bits, 1024u);
    bytes n2048(257, 0x91);
    n2048[0] = 0;
    EXPECT_EQ(rsa_bits_of_modulus(n2048.data(), n2048.size(), bits), CKR_OK);
    EXPECT_EQ(bits, 2048u);
    const bytes n1536(192, 0x80);
    EXPECT_EQ(rsa_bits_of_modulus(n1536.data(), n1536.size(), bits), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(rsa_bits_of_modulus(nullptr, 0, bits), CKR_ATTRIBUTE_TYPE_INVALID);
}

TEST(rsa_key_facts, ExponentTakesItsMinimalForm) {
    const std::uint8_t f4[4] = {0, 1, 0, 1};
    EXPECT_EQ(rsa_minimal_exponent(f4, 4), (bytes{1, 0, 1}));
    const std::uint8_t wide[4] = {0x01, 0x00, 0x00, 0x01};
    EXPECT_EQ(rsa_minimal_exponent(wide, 4), (bytes{1, 0, 0, 1}));
    const std::uint8_t three[4] = {0, 0, 0, 3};
    EXPECT_EQ(rsa_minimal_exponent(three, 4), (bytes{3}));
}

TEST(rsa_key_facts, CardStatusesBecomeReturnValues) {
    EXPECT_EQ(rsa_card_rv(0, CKR_DATA_INVALID), CKR_OK);
    EXPECT_EQ(rsa_card_rv(1, CKR_DATA_INVALID), CKR_DEVICE_REMOVED);
    EXPECT_EQ(rsa_card_rv(0x6982, CKR_DATA_INVALID), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(rsa_card_rv(0x6A80, CKR_ENCRYPTED_DATA_INVALID), CKR_ENCRYPTED_DATA_INVALID);
    for (std::int32_t s : {2, 3, 0x8005, 0x9000, 0x6A82, 0x6A88, 0x6700, static_cast<std::int32_t>(0x80100030u)})
        EXPECT_EQ(rsa_card_rv(s, CKR_DATA_INVALID), CKR_DEVICE_ERROR) << std::hex << s;
}

// ---- signatures ---------------------------------------------------------

TEST_F(rsa_ctx_test, EveryMechanismSignsWhatMbedTlsVerifies) {
    const bytes message = pattern(300, 5);
    struct row {
        CK_MECHANISM_TYPE type;
        mbedtls_md_type_t md;
        std::uint32_t hash_id;
    } rows[] = {
        {CKM_MD5_RSA_PKCS, MBEDTLS_MD_MD5, algo_md5},         {CKM_SHA1_RSA_PKCS, MBEDTLS_MD_SHA1, algo_sha1},
        {CKM_SHA256_RSA_PKCS, MBEDTLS_MD_SHA256, algo_sha256}, {CKM_SHA384_RSA_PKCS, MBEDTLS_MD_SHA384, algo_sha384},
        {CKM_SHA512_RSA_PKCS, MBEDTLS_MD_SHA512, algo_sha512},
    };
    for (std::size_t bits : {1024u, 2048u}) {
        for (const row& r : rows) {
            const bytes sig = sign(r.type, message, bits);
            ASSERT_EQ(sig.size(), bits / 8);
            EXPECT_EQ(card_->last_hash_id, r.hash_id);
            const bytes digest = digest_of(r.md, message);
            EXPECT_EQ(mbedtls_rsa_pkcs1_verify(&key(bits).rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, r.md,
                                               static_cast<unsigned>(digest.size()), digest.data(), sig.data()),
                      0)
                << r.type;
            EXPECT_EQ(verify(r.type, message, sig, bits), CKR_OK) << r.type;
        }
    }
}

TEST_F(rsa_ctx_test, PkcsSignatureTakesAtMostKMinusElevenBytes) {
    const bytes sig = sign(CKM_RSA_PKCS, pattern(117, 1));
    EXPECT_EQ(sig.size(), 128u);
    EXPECT_EQ(card_->last_hash_id, 0u);
    EXPECT_EQ(verify(CKM_RSA_PKCS, pattern(117, 1), sig), CKR_OK);
    sign(CKM_RSA_PKCS, pattern(118, 1), 1024, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(card_->signs, 1);
    // More than a modulus of data is refused as it arrives.
    auto ctx = make(CKM_RSA_PKCS, CKO_PRIVATE_KEY);
    ASSERT_EQ(ctx->sign_init({}), CKR_OK);
    const bytes chunk = pattern(200, 2);
    EXPECT_EQ(ctx->sign_update(chunk.data(), chunk.size()), CKR_OK);
    EXPECT_EQ(ctx->sign_update(chunk.data(), 57), CKR_DATA_LEN_RANGE);
    EXPECT_TRUE(ctx->finished());
}

TEST_F(rsa_ctx_test, SizeQueryAndShortBufferKeepTheOperationAndSendNothing) {
    auto ctx = make(CKM_SHA256_RSA_PKCS, CKO_PRIVATE_KEY);
    ASSERT_EQ(ctx->sign_init({}), CKR_OK);
    const bytes message = pattern(99, 4);
    CK_ULONG n = 0;
    ASSERT_EQ(ctx->sign(message.data(), message.size(), nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 128u);
    bytes sig(128);
    n = 127;
    ASSERT_EQ(ctx->sign(message.data(), message.size(), sig.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 128u);
    EXPECT_EQ(card_->signs, 0);
    EXPECT_TRUE(ctx->active());
    n = 128;
    ASSERT_EQ(ctx->sign(message.data(), message.size(), sig.data(), &n), CKR_OK);
    EXPECT_EQ(card_->signs, 1);
    // The data went in once.
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, message, sig), CKR_OK);
}

TEST_F(rsa_ctx_test, MultiPartSignatureEqualsTheOneShot) {
    const bytes message = pattern(250, 8);
    for (CK_MECHANISM_TYPE type : {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_RSA_X9_31, CKM_SHA1_RSA_X9_31}) {
        const bool hashed = type == CKM_SHA1_RSA_PKCS || type == CKM_SHA1_RSA_X9_31;
        const bytes data = hashed ? message : bytes(message.begin(), message.begin() + 100);
        const bytes one_shot = sign(type, data);
        auto ctx = make(type, CKO_PRIVATE_KEY);
        ASSERT_EQ(ctx->sign_init({}), CKR_OK);
        const std::size_t cut = data.size() / 3;
        ASSERT_EQ(ctx->sign_update(data.data(), cut), CKR_OK);
        ASSERT_EQ(ctx->sign_update(data.data() + cut, data.size() - cut), CKR_OK);
        bytes sig(128);
        CK_ULONG n = sig.size();
        ASSERT_EQ(ctx->sign_final(sig.data(), &n), CKR_OK);
        EXPECT_EQ(sig, one_shot) << type;
        EXPECT_TRUE(ctx->finished());
    }
}

TEST_F(rsa_ctx_test, TheCardsSignatureMustBeExactlyKBytes) {
    for (int skew : {-1, 1, 128}) {
        auto ctx = make(CKM_SHA256_RSA_PKCS, CKO_PRIVATE_KEY, 1024);
        ASSERT_EQ(ctx->sign_init({}), CKR_OK);
        card_->reply_skew = skew;
        bytes out(512, 0xEE);
        CK_ULONG n = 128;
        const bytes message = pattern(10, 1);
        EXPECT_EQ(ctx->sign(message.data(), message.size(), out.data(), &n), CKR_DEVICE_ERROR) << skew;
        // Nothing of the card's reply reached the caller.
        EXPECT_EQ(out, bytes(512, 0xEE));
    }
}

TEST_F(rsa_ctx_test, CardStatusesReachTheCallerAsReturnValues) {
    struct row {
        std::int32_t status;
        CK_RV rv;
    } rows[] = {{0x6982, CKR_USER_NOT_LOGGED_IN},
                {1, CKR_DEVICE_REMOVED},
                {0x6A88, CKR_DEVICE_ERROR},
                {0x9000, CKR_DEVICE_ERROR}};
    const bytes message = pattern(20, 1);
    for (const row& r : rows) {
        auto ctx = make(CKM_SHA1_RSA_PKCS, CKO_PRIVATE_KEY);
        ASSERT_EQ(ctx->sign_init({}), CKR_OK);
        card_->next_status = r.status;
        bytes sig(128);
        CK_ULONG n = 128;
        EXPECT_EQ(ctx->sign(message.data(), message.size(), sig.data(), &n), r.rv) << std::hex << r.status;
        EXPECT_TRUE(ctx->finished());
    }
    // A key outside a usable container slot: the source's code.
    fixed_key* source = nullptr;
    auto ctx = make(CKM_RSA_PKCS, CKO_PRIVATE_KEY, 1024, &source);
    source->id_rv = CKR_VENDOR_CONTAINER_NOT_FOUND;
    ASSERT_EQ(ctx->sign_init({}), CKR_OK);
    bytes sig(128);
    CK_ULONG n = 128;
    EXPECT_EQ(ctx->sign(message.data(), message.size(), sig.data(), &n), CKR_VENDOR_CONTAINER_NOT_FOUND);
}

TEST_F(rsa_ctx_test, KeySizesOtherThan1024And2048AreRefusedAtTheFinal) {
    fixed_key* source = nullptr;
    auto ctx = make(CKM_RSA_PKCS, CKO_PRIVATE_KEY, 1024, &source);
    source->bits_override = 1536;
    ASSERT_EQ(ctx->sign_init({}), CKR_OK);
    const bytes data = pattern(20, 1);
    ASSERT_EQ(ctx->sign_update(data.data(), data.size()), CKR_OK);
    bytes sig(256);
    CK_ULONG n = sig.size();
    EXPECT_EQ(ctx->sign_final(sig.data(), &n), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(card_->signs, 0);
}

// ---- verification ----------------------------------------------------------

TEST_F(rsa_ctx_test, EveryVerificationFailureIsSignatureInvalid) {
    const bytes message = pattern(64, 9);
    for (CK_MECHANISM_TYPE type : {CKM_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_RSA_X9_31,
                                   CKM_SHA1_RSA_X9_31, CKM_RSA_X_509}) {
        const bytes data = type == CKM_RSA_X_509 ? [] {
            bytes d = pattern(128, 2);
            d[0] = 0;
            return d;
        }()
                                                 : message;
        const bytes sig = sign(type, data);
        ASSERT_EQ(verify(type, data, sig), CKR_OK) << type;
        for (std::size_t at : {0u, 64u, 127u}) {
            bytes bad = sig;
            bad[at] ^= 0x01;
            EXPECT_EQ(verify(type, data, bad), CKR_SIGNATURE_INVALID) << type << " byte " << at;
        }
        bytes other = data;
        other[5] ^= 0x80;
        EXPECT_EQ(verify(type, other, sig), CKR_SIGNATURE_INVALID) << type;
        // A signature not below the modulus.
        EXPECT_EQ(verify(type, data, bytes(128, 0xFF)), CKR_SIGNATURE_INVALID) << type;
        EXPECT_EQ(verify(type, data, bytes(128, 0x00)), CKR_SIGNATURE_INVALID) << type;
        // The wrong length is its own code.
        EXPECT_EQ(verify(type, data, bytes(sig.begin(), sig.end() - 1)), CKR_SIGNATURE_LEN_RANGE) << type;
    }
}

TEST_F(rsa_ctx_test, VerificationReadsThePublicValuesOnceAndNeverTheCard) {
    const bytes message = pattern(40, 1);
    const bytes sig = sign(CKM_SHA256_RSA_PKCS, message);
    fixed_key* source = nullptr;
    auto ctx = make(CKM_SHA256_RSA_PKCS, CKO_PUBLIC_KEY, 1024, &source);
    const int card_commands = card_->signs + card_->decrypts + card_->raws;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ctx->verify_init({}), CKR_OK);
        EXPECT_EQ(ctx->verify(message.data(), message.size(), sig.data(), sig.size()), CKR_OK);
    }
    EXPECT_EQ(source->own_reads, 1);
    EXPECT_EQ(card_->signs + card_->decrypts + card_->raws, card_commands);
}

// ---- X9.31 ------------------------------------------------------------------

TEST_F(rsa_ctx_test, X931RoundTripsForEveryDataLengthUpToKMinusFour) {
    for (std::size_t bits : {1024u, 2048u}) {
        const std::size_t k = bits / 8;
        for (std::size_t length = k - 4; length >= 1; --length) {
            const bytes data = pattern(length, static_cast<unsigned>(length));
            const bytes sig = sign(CKM_RSA_X9_31, data, bits);
            ASSERT_EQ(verify(CKM_RSA_X9_31, data, sig, bits), CKR_OK) << bits << " " << length;
        }
        // k - 3 leaves room for a header the decoder would refuse; k - 2 fits 6A.
        sign(CKM_RSA_X9_31, pattern(k - 3, 1), bits, CKR_DATA_INVALID);
        const bytes sig = sign(CKM_RSA_X9_31, pattern(k - 2, 1), bits);
        EXPECT_EQ(verify(CKM_RSA_X9_31, pattern(k - 2, 1), sig, bits), CKR_OK);
        sign(CKM_RSA_X9_31, pattern(k - 1, 1), bits, CKR_DATA_INVALID);
    }
}

TEST_F(rsa_ctx_test, X931SignatureGivenAsNMinusSVerifies) {
    const bytes data = pattern(30, 6);
    const bytes sig = sign(CKM_RSA_X9_31, data);
    // n - s, the other representative a signer may give.
    mbedtls_mpi n, s, t;
    mbedtls_mpi_init(&n);
    mbedtls_mpi_init(&s);
    mbedtls_mpi_init(&t);
    ASSERT_EQ(mbedtls_mpi_read_binary(&n, key(1024).n.data(), 128), 0);
    ASSERT_EQ(mbedtls_mpi_read_binary(&s, sig.data(), 128), 0);
    ASSERT_EQ(mbedtls_mpi_sub_mpi(&t, &n, &s), 0);
    bytes other(128);
    ASSERT_EQ(mbedtls_mpi_write_binary(&t, other.data(), 128), 0);
    mbedtls_mpi_free(&n);
    mbedtls_mpi_free(&s);
    mbedtls_mpi_free(&t);
    EXPECT_EQ(verify(CKM_RSA_X9_31, data, sig), CKR_OK);
    EXPECT_EQ(verify(CKM_RSA_X9_31, data, other), CKR_OK);
}

TEST_F(rsa_ctx_test, ShaX931BlockCarriesTheDigestAndItsIdentifier) {
    const bytes message = pattern(77, 7);
    const bytes sig = sign(CKM_SHA1_RSA_X9_31, message);
    bytes block(128);
    ASSERT_EQ(mbedtls_rsa_public(&key(1024).rsa, sig.data(), block.data()), 0);
    if ((block[127] & 0x0F) != 0x0C) GTEST_SKIP() << "the card gave n - s";
    const bytes digest = digest_of(MBEDTLS_MD_SHA1, message);
    bytes expected(128);
    ASSERT_EQ(x931_encode(algo_sha1, digest.data(), digest.size(), expected.data(), 128), CKR_OK);
    EXPECT_EQ(block, expected);
}

// ---- encryption and decryption ---------------------------------------------

TEST_F(rsa_ctx_test, EncryptionIsRandomAndTheCardDecryptsIt) {
    const bytes plain = pattern(100, 3);
    auto enc = make(CKM_RSA_PKCS, CKO_PUBLIC_KEY);
    bytes c1(128), c2(128);
    CK_ULONG n = 128;
    ASSERT_EQ(enc->encrypt_init({}), CKR_OK);
    ASSERT_EQ(enc->encrypt(plain.data(), plain.size(), c1.data(), &n), CKR_OK);
    ASSERT_EQ(enc->encrypt_init({}), CKR_OK);
    ASSERT_EQ(enc->encrypt(plain.data(), plain.size(), c2.data(), &n), CKR_OK);
    EXPECT_NE(c1, c2);

    auto dec = make(CKM_RSA_PKCS, CKO_PRIVATE_KEY);
    ASSERT_EQ(dec->decrypt_init({}), CKR_OK);
    bytes out(128);
    n = 128;
    ASSERT_EQ(dec->decrypt(c1.data(), c1.size(), out.data(), &n), CKR_OK);
    out.resize(n);
    EXPECT_EQ(out, plain);

    ASSERT_EQ(enc->encrypt_init({}), CKR_OK);
    const bytes too_long = pattern(118, 1);
    EXPECT_EQ(enc->encrypt(too_long.data(), too_long.size(), c1.data(), &n), CKR_DATA_LEN_RANGE);
}

TEST_F(rsa_ctx_test, ShortDecryptBufferGivesKAndKeepsTheOperation) {
    const bytes plain = pattern(50, 3);
    bytes cipher(128);
    test_support::test_drbg drbg("encrypt");
    ASSERT_EQ(mbedtls_rsa_pkcs1_encrypt(&key(1024).rsa, mbedtls_ctr_drbg_random, drbg.get(), MBEDTLS_RSA_PUBLIC,
                                        plain.size(), plain.data(), cipher.data()),
              0);
    auto dec = make(CKM_RSA_PKCS, CKO_PRIVATE_KEY);
    ASSERT_EQ(dec->decrypt_init({}), CKR_OK);
    bytes out(128);
    CK_ULONG n = 117;
    EXPECT_EQ(dec->decrypt(cipher.data(), cipher.size(), out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 128u);
    EXPECT_TRUE(dec->active());
    EXPECT_EQ(card_->decrypts, 0);
    n = 128;
    ASSERT_EQ(dec->decrypt(cipher.data(), cipher.size(), out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 50u);
    EXPECT_EQ(card_->decrypts, 1);

    // A block the card cannot unpad, and a wrong input length.
    ASSERT_EQ(dec->decrypt_init({}), CKR_OK);
    n = 128;
    EXPECT_EQ(dec->decrypt(bytes(128, 0x01).data(), 128, out.data(), &n), CKR_ENCRYPTED_DATA_INVALID);
    ASSERT_EQ(dec->decrypt_init({}), CKR_OK);
    EXPECT_EQ(dec->decrypt(cipher.data(), 127, out.data(), &n), CKR_DATA_LEN_RANGE);
}

TEST_F(rsa_ctx_test, RawOperationsRoundTrip) {
    bytes block = pattern(128, 4);
    block[0] = 0x00;
    auto enc = make(CKM_RSA_X_509, CKO_PUBLIC_KEY);
    ASSERT_EQ(enc->encrypt_init({}), CKR_OK);
    bytes cipher(128);
    CK_ULONG n = 128;
    ASSERT_EQ(enc->encrypt(block.data(), block.size(), cipher.data(), &n), CKR_OK);
    auto dec = make(CKM_RSA_X_509, CKO_PRIVATE_KEY);
    ASSERT_EQ(dec->decrypt_init({}), CKR_OK);
    bytes out(128);
    n = 128;
    ASSERT_EQ(dec->decrypt(cipher.data(), cipher.size(), out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 128u);
    EXPECT_EQ(out, block);
    // A raw signature of fewer than k bytes.
    auto s = make(CKM_RSA_X_509, CKO_PRIVATE_KEY);
    ASSERT_EQ(s->sign_init({}), CKR_OK);
    n = 128;
    EXPECT_EQ(s->sign(block.data(), 100, out.data(), &n), CKR_SIGNATURE_LEN_RANGE);
    // A value not below the modulus.
    ASSERT_EQ(enc->encrypt_init({}), CKR_OK);
    EXPECT_EQ(enc->encrypt(bytes(128, 0xFF).data(), 128, cipher.data(), &n), CKR_DATA_INVALID);
}

// ---- key classes and unsupported operations ---------------------------

TEST_F(rsa_ctx_test, TheMechanismTableGivesEachRsaMechanismItsContext) {
    for (CK_MECHANISM_TYPE type : {CKM_RSA_PKCS, CKM_RSA_X_509, CKM_MD5_RSA_PKCS, CKM_SHA1_RSA_PKCS,
                                   CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_RSA_X9_31,
                                   CKM_SHA1_RSA_X9_31})
        EXPECT_NE(make(type, CKO_PRIVATE_KEY), nullptr) << type;
    const CK_MECHANISM aes{CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(make_hardware_rsa_ctx(choose_key_ctx(CKM_AES_ECB, nullptr).ctx_class, aes, card_, nullptr), nullptr);
}

TEST_F(rsa_ctx_test, EveryContextChecksTheKeyClass) {
    for (CK_MECHANISM_TYPE type :
         {CKM_RSA_PKCS, CKM_RSA_X_509, CKM_SHA256_RSA_PKCS, CKM_RSA_X9_31, CKM_SHA1_RSA_X9_31}) {
        EXPECT_EQ(make(type, CKO_PUBLIC_KEY)->sign_init({}), CKR_TEMPLATE_INCONSISTENT) << type;
        EXPECT_EQ(make(type, CKO_PRIVATE_KEY)->verify_init({}), CKR_TEMPLATE_INCONSISTENT) << type;
        EXPECT_EQ(make(type, CKO_SECRET_KEY)->sign_init({}), CKR_TEMPLATE_INCONSISTENT) << type;
    }
    for (CK_MECHANISM_TYPE type : {CKM_RSA_PKCS, CKM_RSA_X_509}) {
        EXPECT_EQ(make(type, CKO_PRIVATE_KEY)->encrypt_init({}), CKR_TEMPLATE_INCONSISTENT) << type;
        EXPECT_EQ(make(type, CKO_PUBLIC_KEY)->decrypt_init({}), CKR_TEMPLATE_INCONSISTENT) << type;
    }
}

TEST_F(rsa_ctx_test, OperationsAContextDoesNotOfferAreMechanismInvalid) {
    for (CK_MECHANISM_TYPE type : {CKM_SHA256_RSA_PKCS, CKM_RSA_X9_31, CKM_SHA1_RSA_X9_31}) {
        EXPECT_EQ(make(type, CKO_PUBLIC_KEY)->encrypt_init({}), CKR_MECHANISM_INVALID) << type;
        EXPECT_EQ(make(type, CKO_PRIVATE_KEY)->decrypt_init({}), CKR_MECHANISM_INVALID) << type;
    }
    auto ctx = make(CKM_RSA_PKCS, CKO_PUBLIC_KEY);
    ASSERT_EQ(ctx->encrypt_init({}), CKR_OK);
    CK_ULONG n = 0;
    EXPECT_EQ(ctx->encrypt_update(nullptr, 0, nullptr, &n), CKR_MECHANISM_INVALID);
    EXPECT_TRUE(ctx->finished());
    // The X9.31 hash context takes no MD5.
    const CK_MECHANISM md5{CKM_MD5_RSA_PKCS, nullptr, 0};
    pkcs11_hardware_rsa_sha_x931_ctx x931_md5(
        md5, card_, std::make_unique<fixed_key>(CKO_PRIVATE_KEY, key(1024).n, key(1024).e));
    EXPECT_EQ(x931_md5.sign_init({}), CKR_MECHANISM_INVALID);
}
