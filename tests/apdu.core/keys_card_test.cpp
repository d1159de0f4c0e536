// End to end: key pairs, configuration, session keys, the card's ciphers,
// hash and MAC against the virtual token. What the card computes is checked
// with mbed TLS on the host, independent of the token (which uses OpenSSL
// through Python) and of the library (which does no RSA or ECDSA). Key
// pairs live in key files (type 0x20 public, 0x30 private) of the current
// DF, in the blocks of solvanta_key_blocks.h.
#include <gtest/gtest.h>

#include <mbedtls/aes.h>
#include <mbedtls/cmac.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/entropy.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ZervikSolvanta.h"
#include "card_fixture.h"
#include "solvanta_key_blocks.h"

using test_support::from_hex;
using test_support::to_hex;

namespace {

using bytes = std::vector<unsigned char>;

constexpr uint32_t rsa_1024 = 0x40001000;
constexpr uint32_t rsa_2048 = 0x40001001;
constexpr uint32_t p_256 = 0x40001010;
constexpr uint32_t sha_256 = 0x40000013;
constexpr uint32_t aes_128 = 0x40002000;
constexpr uint32_t aes_256 = 0x40002020;

bytes pattern(std::size_t n, unsigned seed = 7) {
    bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>((i * 31 + seed) & 0xFF);
    return out;
}

bytes sha256(const bytes& data) {
    bytes out(32);
    mbedtls_sha256_ret(data.data(), data.size(), out.data(), 0);
    return out;
}

// A non-zero filler for PKCS #1 v1.5 padding: the test needs no secrecy.
int test_rng(void*, unsigned char* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(0x5A + i % 7);
    return 0;
}

static_assert(SOLVANTA_RSA_PRIVATE_QINV_OFFSET + SOLVANTA_RSA_PRIVATE_CRT_SIZE == SOLVANTA_RSA_PRIVATE_BLOCK_SIZE,
              "the CRT values end the RSA private block");
static_assert(SOLVANTA_RSA_PRIVATE_BLOCK_SIZE % 8 == 0 && SOLVANTA_EC_PRIVATE_BLOCK_SIZE % 8 == 0,
              "private blocks wrap without padding");

class rsa_public {
public:
    // The exported block: bits (host order, as the export gives it), the
    // modulus and the exponent right-aligned in their fields.
    explicit rsa_public(const bytes& blob) {
        mbedtls_rsa_init(&rsa_, MBEDTLS_RSA_PKCS_V15, 0);
        EXPECT_EQ(blob.size(), static_cast<std::size_t>(SOLVANTA_RSA_PUBLIC_BLOCK_SIZE));
        EXPECT_EQ(mbedtls_rsa_import_raw(&rsa_, blob.data() + SOLVANTA_RSA_PUBLIC_N_OFFSET, SOLVANTA_RSA_PUBLIC_N_SIZE,
                                         nullptr, 0, nullptr, 0, nullptr, 0,
                                         blob.data() + SOLVANTA_RSA_PUBLIC_E_OFFSET, SOLVANTA_RSA_PUBLIC_E_SIZE),
                  0);
        EXPECT_EQ(mbedtls_rsa_complete(&rsa_), 0);
    }
    ~rsa_public() { mbedtls_rsa_free(&rsa_); }
    bool verifies(const bytes& digest, const bytes& signature) {
        return signature.size() == mbedtls_rsa_get_len(&rsa_) &&
               mbedtls_rsa_pkcs1_verify(&rsa_, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32,
                                        digest.data(), signature.data()) == 0;
    }
    bytes encrypt(const bytes& message) {
        bytes out(mbedtls_rsa_get_len(&rsa_));
        EXPECT_EQ(mbedtls_rsa_pkcs1_encrypt(&rsa_, test_rng, nullptr, MBEDTLS_RSA_PUBLIC, message.size(),
                                            message.data(), out.data()),
                  0);
        return out;
    }

private:
    mbedtls_rsa_context rsa_;
};

class keys_card_test : public test_support::card_test {
protected:
    void SetUp() override {
        card_test::SetUp();
        handle_ = connect();
    }

    bytes export_pub(unsigned short key, int* header = nullptr) {
        int h = 0, b4 = 0, b5 = 0;
        bytes blob(600);
        int length = static_cast<int>(blob.size());
        EXPECT_EQ(Zervik_AsymExportPub(handle_, key, &h, &b4, &b5, blob.data(), &length), 0);
        blob.resize(static_cast<std::size_t>(length));
        if (header != nullptr) *header = h;
        return blob;
    }

    // The key files of a pair in the current DF, empty.
    void key_files(unsigned short public_key, unsigned short private_key) {
        const unsigned char open = 255, user = 17, never = 0;
        ASSERT_EQ(Zervik_CreateEF(handle_, 0x20, public_key, 0, 0, 0, "", &open, &user, &user), 0);
        ASSERT_EQ(Zervik_CreateEF(handle_, 0x30, private_key, 0, 0, 0, "", &never, &user, &user), 0);
    }

    // The card does not hash: it signs the SHA-256 digest it is given.
    bytes sign(unsigned short key, const bytes& digest) {
        bytes signature(600);
        int length = static_cast<int>(signature.size());
        EXPECT_EQ(Zervik_AsymSign(handle_, key, sha_256, digest.data(), static_cast<int>(digest.size()),
                                  signature.data(), &length),
                  0);
        signature.resize(static_cast<std::size_t>(length));
        return signature;
    }

    // A session key as the token holds it.
    std::string card_session_key(int reference) {
        const auto dump = vt_.call("dump");
        const auto& keys = dump["volatile"]["family_state"]["session_keys"];
        const std::string ref = std::to_string(reference);
        if (!keys.contains(ref)) return {};
        return keys[ref]["key"].get<std::string>();
    }

    std::size_t count_commands(const std::string& prefix) {
        std::size_t n = 0;
        for (const auto& c : vt_.commands()) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    ZERVIK_HANDLE handle_ = nullptr;
};

TEST_F(keys_card_test, RsaKeyPairSignsDecryptsAndRoundTrips) {
    key_files(0x0011, 0x0111);
    ASSERT_EQ(Zervik_AsymGenKeypair(handle_, 0x0011, 0x0111, rsa_2048, 0x105, 0x06), 0);
    int header = 0;
    const bytes blob = export_pub(0x0011, &header);
    EXPECT_EQ(header, static_cast<int>(rsa_2048));
    uint32_t bits = 0;
    std::memcpy(&bits, blob.data(), 4);
    EXPECT_EQ(bits, 2048u);  // host order
    rsa_public pub(blob);

    const bytes data = pattern(1500);
    const bytes digest_value = sha256(data);
    const bytes signature = sign(0x0111, digest_value);
    EXPECT_TRUE(pub.verifies(digest_value, signature));
    EXPECT_EQ(Zervik_AsymVerify(handle_, 0x0011, digest_value.data(), 32, sha_256, signature.data(),
                                static_cast<int>(signature.size())),
              0);
    bytes bad = signature;
    bad[10] ^= 1;
    EXPECT_EQ(Zervik_AsymVerify(handle_, 0x0011, digest_value.data(), 32, sha_256, bad.data(),
                                static_cast<int>(bad.size())),
              0x6300);

    // The card's current digest, signed and verified without sending it.
    unsigned char digest[64];
    int digest_length = sizeof digest;
    ASSERT_EQ(Zervik_Hash(handle_, sha_256, data.data(), static_cast<int>(data.size()), digest, &digest_length), 0);
    bytes hash_signature(256);
    int length = 256;
    ASSERT_EQ(Zervik_AsymSignHash(handle_, 0x0111, hash_signature.data(), &length), 0);
    EXPECT_TRUE(pub.verifies(sha256(data), hash_signature));
    EXPECT_EQ(Zervik_AsymVerifyHash(handle_, 0x0011, hash_signature.data(), length), 0);

    // Encrypted on the host, decrypted by the card.
    const bytes secret = pattern(40, 3);
    const bytes ciphertext = pub.encrypt(secret);
    bytes plain(256);
    length = 256;
    ASSERT_EQ(Zervik_AsymPrivateDecryption(handle_, 0x0111, ciphertext.data(), static_cast<int>(ciphertext.size()),
                                           plain.data(), &length),
              0);
    plain.resize(static_cast<std::size_t>(length));
    EXPECT_EQ(plain, secret);

    // The raw operations invert each other.
    bytes value = pattern(256, 9);
    value[0] = 0x01;
    bytes once(256), twice(256);
    length = 256;
    ASSERT_EQ(Zervik_AsymPublicOperation(handle_, 0x0011, value.data(), 256, once.data(), &length), 0);
    length = 256;
    ASSERT_EQ(Zervik_AsymPrivateOperation(handle_, 0x0111, once.data(), 256, twice.data(), &length), 0);
    EXPECT_EQ(twice, value);

    // The exported block imports unchanged into another public key file,
    // and exports the same again.
    key_files(0x0022, 0x0122);
    ASSERT_EQ(Zervik_AsymImportPub(handle_, 0x0022, rsa_2048, 1, 2, blob.data(), static_cast<int>(blob.size())), 0);
    EXPECT_EQ(export_pub(0x0022), blob);
    EXPECT_EQ(Zervik_AsymVerify(handle_, 0x0022, digest_value.data(), 32, sha_256, signature.data(),
                                static_cast<int>(signature.size())),
              0);
}

// A private key built on the host in the shared block layout, wrapped
// under a session key and imported: the card's signature equals mbed TLS's
// (PKCS #1 v1.5 is deterministic).
TEST_F(keys_card_test, ImportedRsaKeySignsAsTheHostDoes) {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_rsa_context rsa;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    ASSERT_EQ(mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0), 0);
    ASSERT_EQ(mbedtls_rsa_gen_key(&rsa, mbedtls_ctr_drbg_random, &drbg, 1024, 65537), 0);

    auto field = [](bytes& block, int offset, int size, const mbedtls_mpi& value) {
        ASSERT_EQ(mbedtls_mpi_write_binary(&value, block.data() + offset, static_cast<size_t>(size)), 0);
    };
    bytes pub(SOLVANTA_RSA_PUBLIC_BLOCK_SIZE), pri(SOLVANTA_RSA_PRIVATE_BLOCK_SIZE);
    const uint32_t bits = 1024;
    std::memcpy(pub.data(), &bits, 4);  // host order: the library turns it
    pri[2] = 0x04;                      // big-endian: the block goes wrapped, as it is
    field(pub, SOLVANTA_RSA_PUBLIC_N_OFFSET, SOLVANTA_RSA_PUBLIC_N_SIZE, rsa.N);
    field(pub, SOLVANTA_RSA_PUBLIC_E_OFFSET, SOLVANTA_RSA_PUBLIC_E_SIZE, rsa.E);
    field(pri, SOLVANTA_RSA_PRIVATE_D_OFFSET, SOLVANTA_RSA_PRIVATE_D_SIZE, rsa.D);
    field(pri, SOLVANTA_RSA_PRIVATE_E_OFFSET, SOLVANTA_RSA_PRIVATE_E_SIZE, rsa.E);
    field(pri, SOLVANTA_RSA_PRIVATE_P_OFFSET, SOLVANTA_RSA_PRIVATE_CRT_SIZE, rsa.P);
    field(pri, SOLVANTA_RSA_PRIVATE_Q_OFFSET, SOLVANTA_RSA_PRIVATE_CRT_SIZE, rsa.Q);
    field(pri, SOLVANTA_RSA_PRIVATE_DP_OFFSET, SOLVANTA_RSA_PRIVATE_CRT_SIZE, rsa.DP);
    field(pri, SOLVANTA_RSA_PRIVATE_DQ_OFFSET, SOLVANTA_RSA_PRIVATE_CRT_SIZE, rsa.DQ);
    field(pri, SOLVANTA_RSA_PRIVATE_QINV_OFFSET, SOLVANTA_RSA_PRIVATE_CRT_SIZE, rsa.QP);

    const bytes kek = pattern(32, 0x61);
    ASSERT_EQ(Zervik_CreateSessionKey(handle_, 0x03, aes_256, kek.data(), 32), 0);
    // The library's host-side wrap; the token unwraps on its own.
    bytes wrapped(pri.size() + 8);
    unsigned short wrapped_length = static_cast<unsigned short>(wrapped.size());
    ASSERT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 32, pri.data(), static_cast<int>(pri.size()), wrapped.data(),
                                    &wrapped_length),
              0);

    key_files(0x4400, 0x4500);
    ASSERT_EQ(Zervik_AsymImportPub(handle_, 0x4400, rsa_1024, 3, 0, pub.data(), static_cast<int>(pub.size())), 0);
    // The card takes the private key file's id first.
    ASSERT_EQ(Zervik_AsymWrapImportPri(handle_, 0x03, 0x4500, 0x4400, rsa_1024, 3, 0, wrapped.data(),
                                       static_cast<int>(wrapped_length)),
              0);
    EXPECT_EQ(export_pub(0x4400), pub);

    const bytes digest_value = sha256(pattern(100));
    bytes expected(128);
    ASSERT_EQ(mbedtls_rsa_pkcs1_sign(&rsa, nullptr, nullptr, MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA256, 32,
                                     digest_value.data(), expected.data()),
              0);
    EXPECT_EQ(sign(0x4500, digest_value), expected);

    // A key that is not the public file's is refused.
    pri[SOLVANTA_RSA_PRIVATE_P_OFFSET + SOLVANTA_RSA_PRIVATE_CRT_SIZE - 1] ^= 2;
    wrapped_length = static_cast<unsigned short>(wrapped.size());
    ASSERT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 32, pri.data(), static_cast<int>(pri.size()), wrapped.data(),
                                    &wrapped_length),
              0);
    EXPECT_EQ(Zervik_AsymWrapImportPri(handle_, 0x03, 0x4500, 0x4400, rsa_1024, 3, 0, wrapped.data(),
                                       static_cast<int>(wrapped_length)),
              0x6A80);

    mbedtls_rsa_free(&rsa);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
}

TEST_F(keys_card_test, EcSignatureVerifiesOnTheHost) {
    key_files(0x0012, 0x0112);
    ASSERT_EQ(Zervik_AsymGenKeypair(handle_, 0x0012, 0x0112, p_256, 0, 0), 0);
    const bytes blob = export_pub(0x0012);
    ASSERT_EQ(blob.size(), static_cast<std::size_t>(SOLVANTA_EC_PUBLIC_BLOCK_SIZE));
    const bytes data = pattern(777);
    const bytes digest = sha256(data);
    const bytes signature = sign(0x0112, digest);
    ASSERT_EQ(signature.size(), 64u);

    mbedtls_ecp_group group;
    mbedtls_ecp_point q;
    mbedtls_mpi r, s;
    mbedtls_ecp_group_init(&group);
    mbedtls_ecp_point_init(&q);
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    ASSERT_EQ(mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_SECP256R1), 0);
    // X and Y are right-aligned in their 68-byte fields.
    const auto x = blob.begin() + SOLVANTA_EC_PUBLIC_X_OFFSET + SOLVANTA_EC_COORDINATE_SIZE - 32;
    const auto y = blob.begin() + SOLVANTA_EC_PUBLIC_Y_OFFSET + SOLVANTA_EC_COORDINATE_SIZE - 32;
    EXPECT_TRUE(std::all_of(blob.begin() + SOLVANTA_EC_PUBLIC_X_OFFSET, x, [](unsigned char b) { return b == 0; }));
    bytes point{0x04};
    point.insert(point.end(), x, x + 32);
    point.insert(point.end(), y, y + 32);
    ASSERT_EQ(mbedtls_ecp_point_read_binary(&group, &q, point.data(), point.size()), 0);
    mbedtls_mpi_read_binary(&r, signature.data(), 32);
    mbedtls_mpi_read_binary(&s, signature.data() + 32, 32);
    EXPECT_EQ(mbedtls_ecdsa_verify(&group, digest.data(), 32, &q, &r, &s), 0);
    mbedtls_mpi_free(&r);
    mbedtls_mpi_free(&s);
    mbedtls_ecp_point_free(&q);
    mbedtls_ecp_group_free(&group);

    EXPECT_EQ(Zervik_AsymVerify(handle_, 0x0012, digest.data(), 32, sha_256, signature.data(), 64), 0);
}

TEST_F(keys_card_test, AgreedSessionKeyIsTheCardsKey) {
    for (bool fast : {false, true, true}) {
        unsigned char key[32];
        int length = sizeof key;
        const int result = fast ? Zervik_KASSessionKeyFast(handle_, 0x21, aes_256, key, &length)
                                : Zervik_KASSessionKey(handle_, 0x21, aes_256, key, &length);
        ASSERT_EQ(result, 0) << fast;
        ASSERT_EQ(length, 32);
        EXPECT_EQ(to_hex(key, 32), card_session_key(0x21)) << fast;
    }
    // A buffer too small: 1, nothing written; the card keeps a key.
    unsigned char key[16];
    std::memset(key, 0xEE, sizeof key);
    int length = 15;
    EXPECT_EQ(Zervik_KASSessionKey(handle_, 0x22, aes_128, key, &length), 1);
    EXPECT_EQ(length, 15);
    EXPECT_EQ(key[0], 0xEE);
    EXPECT_EQ(card_session_key(0x22).size(), 32u);
}

TEST_F(keys_card_test, SetSessionKeyAgreesOncePerDeviceAndKek) {
    const bytes key = pattern(16, 0x40);
    auto set_key = [&](int reference) {
        return Zervik_SetSessionKey(handle_, 0x30, reference, aes_128, key.data(), static_cast<int>(key.size()));
    };
    ASSERT_EQ(set_key(0x31), 0);
    EXPECT_EQ(card_session_key(0x31), to_hex(key.data(), key.size()));
    EXPECT_EQ(count_commands("8012"), 2u);

    // The card's cipher under the loaded key matches AES-128-CBC on the host.
    const bytes iv = pattern(16, 0x11);
    const bytes data = pattern(48, 0x22);
    ASSERT_EQ(Zervik_SymCryptInit(handle_, 0x31, 1, iv.data(), 16), 0);
    bytes out(64);
    int length = 64;
    ASSERT_EQ(Zervik_SymEncryptUpdate(handle_, data.data(), 40, out.data(), &length), 0);
    ASSERT_EQ(length, 32);
    bytes rest(64);
    int rest_length = 64;
    ASSERT_EQ(Zervik_SymEncryptFinal(handle_, data.data() + 40, 8, rest.data(), &rest_length), 0);
    ASSERT_EQ(rest_length, 16);
    std::memcpy(out.data() + 32, rest.data(), 16);
    out.resize(48);
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key.data(), 128);
    bytes expected(48);
    bytes chain = iv;
    mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, 48, chain.data(), data.data(), expected.data());
    mbedtls_aes_free(&aes);
    EXPECT_EQ(out, expected);

    // Again on the same device and KEK: no agreement.
    vt_.clear_log();
    ASSERT_EQ(set_key(0x32), 0);
    EXPECT_EQ(count_commands("8012"), 0u);
    EXPECT_EQ(card_session_key(0x32), to_hex(key.data(), key.size()));

    // The card lost the KEK behind the library's back: the import is
    // refused once, then the key is agreed anew.
    int result = 0;
    exchange(handle_, "80150030", result);
    ASSERT_EQ(result, 0);
    vt_.clear_log();
    ASSERT_EQ(set_key(0x33), 0);
    EXPECT_EQ(count_commands("8012"), 2u);
    EXPECT_EQ(count_commands("8061"), 2u);

    // Destroying all session keys, or connecting anew, drops the kept key.
    ASSERT_EQ(Zervik_DestroyAllSessionKeys(handle_), 0);
    vt_.clear_log();
    ASSERT_EQ(set_key(0x34), 0);
    EXPECT_EQ(count_commands("8012"), 2u);
    EXPECT_EQ(count_commands("8061"), 1u);
    ZERVIK_HANDLE again = nullptr;
    ASSERT_EQ(Zervik_ConnectDev(test_support::card_reader, &again), 0);
    ASSERT_EQ(again, handle_);
    vt_.clear_log();
    ASSERT_EQ(set_key(0x35), 0);
    EXPECT_EQ(count_commands("8012"), 2u);
}

// Only the token's refusals that say it lost the kept key-encryption key
// start a new agreement: its reference taken by another key gives 6A80 for
// a key that fits its type, and the key is agreed anew; a key whose length
// is not its type's gives 6A80 as well, which comes back at once.
TEST_F(keys_card_test, SetSessionKeyAgreesAgainOnlyForALostKek) {
    const bytes key = pattern(16, 0x40);
    ASSERT_EQ(Zervik_SetSessionKey(handle_, 0x30, 0x31, aes_128, key.data(), 16), 0);

    // The KEK's reference now holds another AES-256 key.
    int result = 0;
    exchange(handle_,
             "8013003004"
             "40002020",
             result);
    ASSERT_EQ(result, 0);
    vt_.clear_log();
    ASSERT_EQ(Zervik_SetSessionKey(handle_, 0x30, 0x32, aes_128, key.data(), 16), 0);
    EXPECT_EQ(count_commands("8012"), 2u);
    EXPECT_EQ(count_commands("8061"), 2u);
    EXPECT_EQ(card_session_key(0x32), to_hex(key.data(), key.size()));

    // A 16-byte key said to be AES-256: the token refuses it, nothing is
    // agreed, and the kept key still serves the next call.
    vt_.clear_log();
    EXPECT_EQ(Zervik_SetSessionKey(handle_, 0x30, 0x33, aes_256, key.data(), 16), 0x6A80);
    EXPECT_EQ(count_commands("8012"), 0u);
    EXPECT_EQ(count_commands("8061"), 1u);
    vt_.clear_log();
    ASSERT_EQ(Zervik_SetSessionKey(handle_, 0x30, 0x34, aes_128, key.data(), 16), 0);
    EXPECT_EQ(count_commands("8012"), 0u);
}

TEST_F(keys_card_test, HashChunksAndMatchesTheHost) {
    struct row {
        std::size_t length;
        std::size_t updates;
        std::string final_prefix;  // the DigestFinal command's first bytes
    };
    for (const row& r : {row{2048, 2, "8053000000"}, row{1000, 0, "80530000" "0003e8"},
                         row{1024, 1, "8053000000"}}) {
        const bytes data = pattern(r.length);
        vt_.clear_log();
        unsigned char digest[64];
        int length = sizeof digest;
        ASSERT_EQ(Zervik_Hash(handle_, sha_256, data.data(), static_cast<int>(r.length), digest, &length), 0);
        EXPECT_EQ(bytes(digest, digest + length), sha256(data)) << r.length;
        const auto commands = vt_.commands();
        ASSERT_EQ(commands.size(), r.updates + 2) << r.length;
        EXPECT_EQ(commands.front(), "8051000004" "40000013");
        for (std::size_t i = 1; i <= r.updates; ++i) EXPECT_EQ(commands[i].substr(0, 14), "80520000000400");
        EXPECT_EQ(commands.back().substr(0, r.final_prefix.size()), r.final_prefix) << r.length;
    }
    // A failed Update: no Final.
    vt_.clear_log();
    vt_.override_replies({"9000", "6581"});
    const bytes data = pattern(3000);
    unsigned char digest[64];
    int length = sizeof digest;
    EXPECT_EQ(Zervik_Hash(handle_, sha_256, data.data(), 3000, digest, &length), 0x6581);
    EXPECT_EQ(vt_.commands().size(), 2u);
    EXPECT_EQ(Zervik_Hash(handle_, 0x12345678, data.data(), 10, digest, &length), 0x6A80);
}

TEST_F(keys_card_test, MacIsTheAesCmac) {
    const bytes key = pattern(16, 0x55);
    ASSERT_EQ(Zervik_CreateSessionKey(handle_, 0x40, aes_128, key.data(), 16), 0);
    const bytes data = pattern(2500);
    unsigned char mac[16];
    int length = sizeof mac;
    ASSERT_EQ(Zervik_Mac(handle_, 0x40, data.data(), static_cast<int>(data.size()), mac, &length), 0);
    ASSERT_EQ(length, 16);
    unsigned char expected[16];
    ASSERT_EQ(mbedtls_cipher_cmac(mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_AES_128_ECB), key.data(), 128,
                                  data.data(), data.size(), expected),
              0);
    EXPECT_EQ(to_hex(mac, 16), to_hex(expected, 16));
    int info = 0;
    ASSERT_EQ(Zervik_GetSessionKeyInfo(handle_, 0x40, &info), 0);
    EXPECT_EQ(static_cast<uint32_t>(info), aes_128);
}

TEST_F(keys_card_test, ConfigurationRoundTrips) {
    ASSERT_EQ(Zervik_ConfigureVIDPID(handle_, 0x1234, 0xABCD), 0);
    EXPECT_EQ(vt_.commands().back(), "f010000004" "1234abcd");
    unsigned short vid = 0, pid = 0;
    ASSERT_EQ(Zervik_GetVIDPID(handle_, &vid, &pid), 0);
    EXPECT_EQ(vid, 0x1234);
    EXPECT_EQ(pid, 0xABCD);

    const std::string name = "My Reader";
    ASSERT_EQ(Zervik_ConfigureReader(handle_, reinterpret_cast<const unsigned char*>(name.data()),
                                     static_cast<int>(name.size())),
              0);
    unsigned char buffer[64];
    int length = sizeof buffer;
    ASSERT_EQ(Zervik_GetReader(handle_, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), name);
    length = 3;
    EXPECT_EQ(Zervik_GetReader(handle_, buffer, &length), 1);
    EXPECT_EQ(length, 3);

    ASSERT_EQ(Zervik_ConfigureCDInquiry(handle_, "ABCDEFGHIJ", "x"), 0);
    length = sizeof buffer;
    ASSERT_EQ(Zervik_GetCDInquiry(handle_, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)),
              "ABCDEFGHx" + std::string(15, ' '));
    EXPECT_EQ(Zervik_ConfigureCDInquiry(handle_, nullptr, "x"), 2);

    const std::string vendor = "Vendor Ltd";
    ASSERT_EQ(Zervik_ConfigureVendor(handle_, reinterpret_cast<const unsigned char*>(vendor.data()),
                                     static_cast<int>(vendor.size())),
              0);
    length = sizeof buffer;
    ASSERT_EQ(Zervik_GetUSBVendor(handle_, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), vendor);

    // The values are the card's own, kept across a new connection.
    ZERVIK_HANDLE again = nullptr;
    ASSERT_EQ(Zervik_ConnectDev(test_support::card_reader, &again), 0);
    vid = pid = 0;
    ASSERT_EQ(Zervik_GetVIDPID(again, &vid, &pid), 0);
    EXPECT_EQ(vid, 0x1234);
}

}  // namespace
