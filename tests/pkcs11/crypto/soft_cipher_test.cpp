// The software cipher contexts: known answers through the contexts, the
// multi-part state machines against the one-shots, the size rules, padding,
// parameter and key checks.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "mechanism_table.h"
#include "soft_cipher_ctx.h"
#include "support/hex_bytes.h"

namespace {

using pkcs11::pkcs11_key_ctx;
using test_support::bytes;
using test_support::hex;
using test_support::hex_of;

struct ctx_fixture {
    std::unique_ptr<pkcs11_key_ctx> ctx;
    CK_RV init_rv = CKR_GENERAL_ERROR;
};

// A software context for the mechanism, initialised with the key and the
// parameter (read only during the Init, as the session layer does).
ctx_fixture make_ctx(CK_MECHANISM_TYPE type, const bytes& key, const void* param = nullptr, CK_ULONG param_len = 0,
                     bool encrypt = true) {
    CK_MECHANISM m{type, const_cast<void*>(param), param_len};
    ctx_fixture f;
    f.ctx = pkcs11::make_soft_key_ctx(pkcs11::choose_key_ctx(type, nullptr).ctx_class, m);
    if (!f.ctx) return f;
    // An empty value is still a value: never hand over a null pointer for it.
    static const CK_BYTE empty = 0;
    const pkcs11::pkcs11_key_value value{key.empty() ? &empty : key.data(), key.size()};
    f.init_rv = encrypt ? f.ctx->encrypt_init(value) : f.ctx->decrypt_init(value);
    return f;
}

ctx_fixture make_ctx(CK_MECHANISM_TYPE type, const bytes& key, const bytes& iv, bool encrypt = true) {
    return make_ctx(type, key, iv.empty() ? nullptr : iv.data(), static_cast<CK_ULONG>(iv.size()), encrypt);
}

// One-shot: a size query, then the call into exactly that many bytes.
CK_RV one_shot(pkcs11_key_ctx& ctx, bool encrypt, const bytes& in, bytes& out) {
    CK_ULONG length = 0;
    CK_RV rv = encrypt ? ctx.encrypt(in.data(), static_cast<CK_ULONG>(in.size()), nullptr, &length)
                       : ctx.decrypt(in.data(), static_cast<CK_ULONG>(in.size()), nullptr, &length);
    if (rv != CKR_OK) return rv;
    out.assign(length, 0xEE);
    const CK_ULONG queried = length;
    rv = encrypt ? ctx.encrypt(in.data(), static_cast<CK_ULONG>(in.size()), out.data(), &length)
                 : ctx.decrypt(in.data(), static_cast<CK_ULONG>(in.size()), out.data(), &length);
    EXPECT_EQ(length, queried) << "the size query is exact";
    out.resize(length);
    return rv;
}

// Multi-part over the pieces that the split points cut; every Update and
// the Final are asked their size first and given exactly that.
CK_RV multi_part(pkcs11_key_ctx& ctx, bool encrypt, const bytes& in, const std::vector<std::size_t>& splits,
                 bytes& out) {
    out.clear();
    std::size_t from = 0;
    std::vector<std::size_t> ends = splits;
    ends.push_back(in.size());
    for (std::size_t end : ends) {
        const CK_BYTE* piece = in.data() + from;
        const auto piece_len = static_cast<CK_ULONG>(end - from);
        CK_ULONG length = 0;
        CK_RV rv = encrypt ? ctx.encrypt_update(piece, piece_len, nullptr, &length)
                           : ctx.decrypt_update(piece, piece_len, nullptr, &length);
        if (rv != CKR_OK) return rv;
        bytes part(length + 1, 0xEE);
        const CK_ULONG queried = length;
        rv = encrypt ? ctx.encrypt_update(piece, piece_len, part.data(), &length)
                     : ctx.decrypt_update(piece, piece_len, part.data(), &length);
        if (rv != CKR_OK) return rv;
        EXPECT_EQ(length, queried);
        out.insert(out.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(length));
        from = end;
    }
    CK_ULONG length = 0;
    CK_RV rv = encrypt ? ctx.encrypt_final(nullptr, &length) : ctx.decrypt_final(nullptr, &length);
    if (rv != CKR_OK) return rv;
    bytes last(length + 1, 0xEE);
    const CK_ULONG queried = length;
    rv = encrypt ? ctx.encrypt_final(last.data(), &length) : ctx.decrypt_final(last.data(), &length);
    if (rv != CKR_OK) return rv;
    EXPECT_EQ(length, queried);
    out.insert(out.end(), last.begin(), last.begin() + static_cast<std::ptrdiff_t>(length));
    return CKR_OK;
}

bytes counting_bytes(std::size_t n) {
    bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return out;
}

// ---- known answers --------------------------------------------------------

struct kat_case {
    CK_MECHANISM_TYPE type;
    const char* key;
    const char* iv;
    const char* plain;
    const char* cipher;
};

const kat_case kat_cases[] = {
    // FIPS 81
    {CKM_DES_ECB, "0123456789abcdef", "", "4e6f772069732074", "3fa40e8a984d4815"},
    // SP 800-67: "The qufck brown fox jump"
    {CKM_DES3_ECB, "0123456789abcdef23456789abcdef01456789abcdef0123", "",
     "5468652071756663 6b2062726f776e20 666f78206a756d70", "a826fd8ce53b855f cce21c8112256fe6 68d5c05dd9b6b900"},
    // A 16-byte value is two-key 3DES: K1, K2, K1.
    {CKM_DES3_ECB, "0123456789abcdef23456789abcdef01", "", "4e6f772069732074", "b7835779ee26acb7"},
    // FIPS-197 C.1
    {CKM_AES_ECB, "000102030405060708090a0b0c0d0e0f", "", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    // SP 800-38A F.2.1
    {CKM_AES_CBC, "2b7e151628aed2a6abf7158809cf4f3c", "000102030405060708090a0b0c0d0e0f",
     "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
     "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    // RFC 2268, without a parameter: 1024 effective bits.
    {CKM_RC2_ECB, "88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", "", "0000000000000000",
     nullptr},
    // RFC 6229
    {CKM_RC4, "0102030405", "", "00000000000000000000000000000000", "b2396305f03dc027ccc3524a0a1118a8"},
};

TEST(SoftCipher, KnownAnswersThroughTheContexts) {
    for (const kat_case& c : kat_cases) {
        if (c.cipher == nullptr) continue;
        SCOPED_TRACE(c.key);
        bytes out;
        auto enc = make_ctx(c.type, hex(c.key), hex(c.iv));
        ASSERT_EQ(enc.init_rv, CKR_OK);
        ASSERT_EQ(one_shot(*enc.ctx, true, hex(c.plain), out), CKR_OK);
        EXPECT_EQ(hex_of(out), hex_of(hex(c.cipher)));
        auto dec = make_ctx(c.type, hex(c.key), hex(c.iv), false);
        ASSERT_EQ(dec.init_rv, CKR_OK);
        ASSERT_EQ(one_shot(*dec.ctx, false, hex(c.cipher), out), CKR_OK);
        EXPECT_EQ(hex_of(out), hex_of(hex(c.plain)));
    }
}

TEST(SoftCipher, Rc2ParametersCarryTheEffectiveBits) {
    // RFC 2268: key 00..00, 63 effective bits.
    CK_RC2_PARAMS bits = 63;
    auto f = make_ctx(CKM_RC2_ECB, hex("0000000000000000"), &bits, sizeof bits);
    ASSERT_EQ(f.init_rv, CKR_OK);
    bytes out;
    ASSERT_EQ(one_shot(*f.ctx, true, hex("0000000000000000"), out), CKR_OK);
    EXPECT_EQ(hex_of(out), "ebb773f993278eff");

    // CBC: the first block is ECB of plaintext XOR IV at the same bits.
    CK_RC2_CBC_PARAMS cbc{64, {1, 2, 3, 4, 5, 6, 7, 8}};
    auto g = make_ctx(CKM_RC2_CBC, hex("88bca90e90875a"), &cbc, sizeof cbc);
    ASSERT_EQ(g.init_rv, CKR_OK);
    ASSERT_EQ(one_shot(*g.ctx, true, hex("0102030405060708"), out), CKR_OK);
    EXPECT_EQ(hex_of(out), "6ccf4308974c267f");
}

// ---- multi-part against one-shot ------------------------------------------

struct split_case {
    CK_MECHANISM_TYPE type;
    std::size_t key_length;
    std::size_t iv_length;
    std::size_t data_length;
    std::vector<std::size_t> splits;
};

const split_case split_cases[] = {
    {CKM_DES_ECB, 8, 0, 40, {3, 11, 11, 24}},
    {CKM_DES_CBC, 8, 8, 64, {1, 9, 30, 63}},
    {CKM_DES_CBC_PAD, 8, 8, 45, {7, 8, 20}},
    {CKM_DES_CBC_PAD, 8, 8, 48, {8, 16, 40}},
    {CKM_DES3_ECB, 24, 0, 32, {5, 21}},
    {CKM_DES3_CBC, 16, 8, 56, {13, 14, 50}},
    {CKM_DES3_CBC_PAD, 24, 8, 0, {}},
    {CKM_DES3_CBC_PAD, 24, 8, 23, {1, 2, 3, 22}},
    {CKM_AES_ECB, 16, 0, 96, {15, 17, 64}},
    {CKM_AES_CBC, 24, 16, 80, {1, 47, 48, 79}},
    {CKM_AES_CBC_PAD, 32, 16, 33, {16, 17, 32}},
    {CKM_AES_CBC_PAD, 16, 16, 64, {31, 48}},
    {CKM_AES_CBC_PAD, 16, 16, 5, {}},
    {CKM_RC2_ECB, 16, 0, 24, {4, 12}},
    {CKM_RC2_CBC, 5, sizeof(CK_RC2_CBC_PARAMS), 40, {9, 31}},
    {CKM_RC4, 13, 0, 100, {1, 50, 51}},
};

TEST(SoftCipher, MultiPartWithSplitsEqualsOneShotBothWays) {
    for (const split_case& c : split_cases) {
        SCOPED_TRACE(testing::Message() << "mechanism 0x" << std::hex << c.type << std::dec << " length "
                                        << c.data_length);
        const bytes key = counting_bytes(c.key_length);
        bytes iv = counting_bytes(c.iv_length);
        if (c.type == CKM_RC2_CBC) {
            CK_RC2_CBC_PARAMS p{40, {9, 8, 7, 6, 5, 4, 3, 2}};
            std::memcpy(iv.data(), &p, sizeof p);
        }
        const bytes plain = counting_bytes(c.data_length);
        bytes whole;
        bytes parts;
        auto e1 = make_ctx(c.type, key, iv);
        ASSERT_EQ(e1.init_rv, CKR_OK);
        ASSERT_EQ(one_shot(*e1.ctx, true, plain, whole), CKR_OK);
        auto e2 = make_ctx(c.type, key, iv);
        ASSERT_EQ(multi_part(*e2.ctx, true, plain, c.splits, parts), CKR_OK);
        EXPECT_EQ(hex_of(parts), hex_of(whole));

        // Decrypt the ciphertext with the same split points.
        bytes back;
        auto d1 = make_ctx(c.type, key, iv, false);
        ASSERT_EQ(multi_part(*d1.ctx, false, whole, c.splits, back), CKR_OK);
        EXPECT_EQ(hex_of(back), hex_of(plain));
        auto d2 = make_ctx(c.type, key, iv, false);
        ASSERT_EQ(one_shot(*d2.ctx, false, whole, back), CKR_OK);
        EXPECT_EQ(hex_of(back), hex_of(plain));
    }
}

TEST(SoftCipher, InPlaceMultiPartWithCarriedBytesMatches) {
    const bytes key = counting_bytes(16);
    const bytes iv = counting_bytes(16);
    const bytes plain = counting_bytes(100);
    bytes expected;
    auto ref = make_ctx(CKM_AES_CBC_PAD, key, iv);
    ASSERT_EQ(one_shot(*ref.ctx, true, plain, expected), CKR_OK);

    // Each piece is encrypted inside its own buffer, while bytes of the
    // previous piece are still waiting in the context.
    auto f = make_ctx(CKM_AES_CBC_PAD, key, iv);
    bytes got;
    std::size_t from = 0;
    for (std::size_t end : {7u, 40u, 41u, 100u}) {
        bytes buffer(plain.begin() + static_cast<std::ptrdiff_t>(from), plain.begin() + static_cast<std::ptrdiff_t>(end));
        buffer.resize(buffer.size() + 16);
        CK_ULONG length = static_cast<CK_ULONG>(buffer.size());
        ASSERT_EQ(f.ctx->encrypt_update(buffer.data(), static_cast<CK_ULONG>(end - from), buffer.data(), &length),
                  CKR_OK);
        got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
        from = end;
    }
    bytes last(16);
    CK_ULONG length = 16;
    ASSERT_EQ(f.ctx->encrypt_final(last.data(), &length), CKR_OK);
    got.insert(got.end(), last.begin(), last.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(hex_of(got), hex_of(expected));

    // One-shot decryption in place.
    auto d = make_ctx(CKM_AES_CBC_PAD, key, iv, false);
    bytes buffer = expected;
    length = static_cast<CK_ULONG>(buffer.size());
    ASSERT_EQ(d.ctx->decrypt(buffer.data(), length, buffer.data(), &length), CKR_OK);
    buffer.resize(length);
    EXPECT_EQ(buffer, plain);
}

// ---- the size rules -------------------------------------------------------

TEST(SoftCipher, ShortBufferGivesTheLengthAndConsumesNothing) {
    const bytes key = counting_bytes(8);
    auto f = make_ctx(CKM_DES_ECB, key);
    const bytes data = counting_bytes(21);
    bytes out(16);
    CK_ULONG length = 15;
    EXPECT_EQ(f.ctx->encrypt_update(data.data(), 21, out.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u);
    length = 0;
    EXPECT_EQ(f.ctx->encrypt_update(data.data(), 21, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 16u);
    // The same call with room: the refused and queried calls took nothing.
    length = 16;
    ASSERT_EQ(f.ctx->encrypt_update(data.data(), 21, out.data(), &length), CKR_OK);
    ASSERT_EQ(length, 16u);
    auto ref = make_ctx(CKM_DES_ECB, key);
    bytes expected;
    ASSERT_EQ(one_shot(*ref.ctx, true, bytes(data.begin(), data.begin() + 16), expected), CKR_OK);
    EXPECT_EQ(hex_of(out), hex_of(expected));
    // Five bytes are left: Final refuses them.
    length = 8;
    EXPECT_EQ(f.ctx->encrypt_final(out.data(), &length), CKR_DATA_LEN_RANGE);
}

TEST(SoftCipher, FiveAndFiveBytesThroughDesEcb) {
    auto f = make_ctx(CKM_DES_ECB, counting_bytes(8));
    const bytes data = counting_bytes(12);
    bytes out(16);
    CK_ULONG length = 16;
    ASSERT_EQ(f.ctx->encrypt_update(data.data(), 5, out.data(), &length), CKR_OK);
    EXPECT_EQ(length, 0u);
    length = 16;
    ASSERT_EQ(f.ctx->encrypt_update(data.data() + 5, 5, out.data(), &length), CKR_OK);
    EXPECT_EQ(length, 8u);
    length = 16;
    EXPECT_EQ(f.ctx->encrypt_final(out.data(), &length), CKR_DATA_LEN_RANGE);
    EXPECT_FALSE(f.ctx->active());
}

TEST(SoftCipher, PaddedLengths) {
    const bytes key = counting_bytes(24);
    const bytes iv = counting_bytes(8);
    bytes out;
    auto f = make_ctx(CKM_DES3_CBC_PAD, key, iv);
    ASSERT_EQ(one_shot(*f.ctx, true, counting_bytes(16), out), CKR_OK);
    EXPECT_EQ(out.size(), 24u);
    // No data: one block of eight 0x08 bytes.
    auto g = make_ctx(CKM_DES3_CBC_PAD, key, iv);
    ASSERT_EQ(one_shot(*g.ctx, true, bytes(), out), CKR_OK);
    bytes block(8, 0x08);
    for (int i = 0; i < 8; ++i) block[i] ^= iv[i];
    auto ecb = make_ctx(CKM_DES3_ECB, key);
    bytes expected;
    ASSERT_EQ(one_shot(*ecb.ctx, true, block, expected), CKR_OK);
    EXPECT_EQ(hex_of(out), hex_of(expected));
}

TEST(SoftCipher, CbcPadDecryptionHoldsBackTheLastBlock) {
    const bytes key = counting_bytes(8);
    const bytes iv = counting_bytes(8);
    const bytes plain = counting_bytes(5);
    bytes cipher;
    auto e = make_ctx(CKM_DES_CBC_PAD, key, iv);
    ASSERT_EQ(one_shot(*e.ctx, true, plain, cipher), CKR_OK);
    ASSERT_EQ(cipher.size(), 8u);

    auto d = make_ctx(CKM_DES_CBC_PAD, key, iv, false);
    bytes out(16);
    CK_ULONG length = 0;
    ASSERT_EQ(d.ctx->decrypt_update(cipher.data(), 8, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 0u);
    length = 16;
    ASSERT_EQ(d.ctx->decrypt_update(cipher.data(), 8, out.data(), &length), CKR_OK);
    EXPECT_EQ(length, 0u);
    // Final knows the exact length before it writes.
    length = 0;
    ASSERT_EQ(d.ctx->decrypt_final(nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 5u);
    length = 4;
    ASSERT_EQ(d.ctx->decrypt_final(out.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    length = 5;
    ASSERT_EQ(d.ctx->decrypt_final(out.data(), &length), CKR_OK);
    out.resize(length);
    EXPECT_EQ(out, plain);
}

TEST(SoftCipher, OneShotLengthsAreExact) {
    bytes out;
    // 3DES ECB of 16 bytes needs 16.
    auto f = make_ctx(CKM_DES3_ECB, counting_bytes(24));
    CK_ULONG length = 0;
    ASSERT_EQ(f.ctx->encrypt(counting_bytes(16).data(), 16, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 16u);
    // AES ECB of 15 bytes: not whole blocks.
    auto g = make_ctx(CKM_AES_ECB, counting_bytes(16));
    EXPECT_EQ(one_shot(*g.ctx, true, counting_bytes(15), out), CKR_DATA_LEN_RANGE);
    auto h = make_ctx(CKM_RC2_CBC, counting_bytes(16), nullptr, sizeof(CK_RC2_CBC_PARAMS));
    ASSERT_EQ(h.init_rv, CKR_OK);
    EXPECT_EQ(one_shot(*h.ctx, true, counting_bytes(9), out), CKR_DATA_LEN_RANGE);
    // A padded one-shot decryption asks exactly the plaintext length.
    auto e = make_ctx(CKM_AES_CBC_PAD, counting_bytes(16), counting_bytes(16));
    bytes cipher;
    ASSERT_EQ(one_shot(*e.ctx, true, counting_bytes(37), cipher), CKR_OK);
    auto d = make_ctx(CKM_AES_CBC_PAD, counting_bytes(16), counting_bytes(16), false);
    length = 0;
    ASSERT_EQ(d.ctx->decrypt(cipher.data(), static_cast<CK_ULONG>(cipher.size()), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 37u);
}

TEST(SoftCipher, AesCbcWithoutParameterUsesAZeroIv) {
    const bytes key = counting_bytes(16);
    const bytes plain = counting_bytes(32);
    bytes with_zero;
    bytes without;
    auto a = make_ctx(CKM_AES_CBC, key, bytes(16, 0));
    ASSERT_EQ(one_shot(*a.ctx, true, plain, with_zero), CKR_OK);
    auto b = make_ctx(CKM_AES_CBC, key, nullptr, 0);
    ASSERT_EQ(b.init_rv, CKR_OK);
    ASSERT_EQ(one_shot(*b.ctx, true, plain, without), CKR_OK);
    EXPECT_EQ(hex_of(without), hex_of(with_zero));
}

// ---- padding checks -------------------------------------------------------

TEST(SoftCipher, BadPaddingIsRefused) {
    const bytes key = counting_bytes(16);
    const bytes iv = counting_bytes(16);
    const char* const last_blocks[] = {
        "000102030405060708090a0b0c0d0e00",  // 0
        "000102030405060708090a0b0c0d0e11",  // above the block
        "00010203040506070809040404030404",  // bytes differ
        "101010101010101010101010101010ff",  // 0xff
        "0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0e",  // 14 in a run of 15
    };
    for (const char* last : last_blocks) {
        SCOPED_TRACE(last);
        // Encrypt the block as it stands, without padding.
        bytes cipher;
        auto e = make_ctx(CKM_AES_CBC, key, iv);
        ASSERT_EQ(one_shot(*e.ctx, true, hex(last), cipher), CKR_OK);
        auto d = make_ctx(CKM_AES_CBC_PAD, key, iv, false);
        bytes out(32);
        CK_ULONG length = 32;
        EXPECT_EQ(d.ctx->decrypt(cipher.data(), 16, out.data(), &length), CKR_ENCRYPTED_DATA_INVALID);
        auto m = make_ctx(CKM_AES_CBC_PAD, key, iv, false);
        length = 32;
        ASSERT_EQ(m.ctx->decrypt_update(cipher.data(), 16, out.data(), &length), CKR_OK);
        length = 32;
        EXPECT_EQ(m.ctx->decrypt_final(out.data(), &length), CKR_ENCRYPTED_DATA_INVALID);
        EXPECT_FALSE(m.ctx->active());
    }
    // A whole block of padding is valid and leaves nothing.
    bytes cipher;
    auto e = make_ctx(CKM_AES_CBC, key, iv);
    ASSERT_EQ(one_shot(*e.ctx, true, bytes(16, 0x10), cipher), CKR_OK);
    auto d = make_ctx(CKM_AES_CBC_PAD, key, iv, false);
    bytes out;
    ASSERT_EQ(one_shot(*d.ctx, false, cipher, out), CKR_OK);
    EXPECT_TRUE(out.empty());
}

TEST(SoftCipher, NoDataAtPaddedDecryptFinal) {
    auto d = make_ctx(CKM_DES_CBC_PAD, counting_bytes(8), counting_bytes(8), false);
    CK_ULONG length = 8;
    bytes out(8);
    EXPECT_EQ(d.ctx->decrypt_final(out.data(), &length), CKR_ENCRYPTED_DATA_LEN_RANGE);
    auto e = make_ctx(CKM_AES_CBC_PAD, counting_bytes(16), counting_bytes(16), false);
    EXPECT_EQ(one_shot(*e.ctx, false, bytes(), out), CKR_ENCRYPTED_DATA_LEN_RANGE);
}

// ---- Init checks ----------------------------------------------------------

struct init_case {
    CK_MECHANISM_TYPE type;
    std::size_t key_length;
    std::size_t param_length;  // 0: no parameter
    CK_RV expected;
};

const init_case init_cases[] = {
    {CKM_DES_ECB, 8, 0, CKR_OK},
    {CKM_DES_ECB, 7, 0, CKR_KEY_SIZE_RANGE},
    {CKM_DES_ECB, 16, 0, CKR_KEY_SIZE_RANGE},
    {CKM_DES_CBC, 8, 0, CKR_MECHANISM_PARAM_INVALID},
    {CKM_DES_CBC, 8, 7, CKR_MECHANISM_PARAM_INVALID},
    {CKM_DES_CBC_PAD, 8, 0, CKR_MECHANISM_PARAM_INVALID},
    {CKM_DES_CBC_PAD, 8, 8, CKR_OK},
    {CKM_DES3_ECB, 8, 0, CKR_KEY_SIZE_RANGE},
    {CKM_DES3_ECB, 16, 0, CKR_OK},
    {CKM_DES3_ECB, 20, 0, CKR_KEY_SIZE_RANGE},
    {CKM_DES3_ECB, 24, 0, CKR_OK},
    {CKM_DES3_CBC, 24, 0, CKR_MECHANISM_PARAM_INVALID},
    {CKM_DES3_CBC_PAD, 24, 4, CKR_MECHANISM_PARAM_INVALID},
    {CKM_AES_ECB, 17, 0, CKR_KEY_SIZE_RANGE},
    {CKM_AES_ECB, 0, 0, CKR_KEY_SIZE_RANGE},
    {CKM_AES_CBC, 24, 0, CKR_OK},
    {CKM_AES_CBC, 32, 8, CKR_MECHANISM_PARAM_INVALID},
    {CKM_AES_CBC_PAD, 32, 16, CKR_OK},
    {CKM_RC2_ECB, 0, 0, CKR_KEY_SIZE_RANGE},
    {CKM_RC2_ECB, 129, 0, CKR_KEY_SIZE_RANGE},
    {CKM_RC2_ECB, 128, 0, CKR_OK},
    {CKM_RC2_ECB, 1, sizeof(CK_RC2_PARAMS), CKR_OK},
    {CKM_RC2_ECB, 1, 2, CKR_MECHANISM_PARAM_INVALID},
    {CKM_RC2_CBC, 8, 4, CKR_MECHANISM_PARAM_INVALID},
    {CKM_RC2_CBC, 8, sizeof(CK_RC2_CBC_PARAMS) + 1, CKR_MECHANISM_PARAM_INVALID},
    {CKM_RC2_CBC, 8, sizeof(CK_RC2_CBC_PARAMS), CKR_OK},
    {CKM_RC4, 0, 0, CKR_KEY_SIZE_RANGE},
    {CKM_RC4, 257, 0, CKR_KEY_SIZE_RANGE},
    {CKM_RC4, 256, 0, CKR_OK},
    {CKM_RC4, 1, 0, CKR_OK},
};

TEST(SoftCipher, InitChecksKeysAndParameters) {
    for (const init_case& c : init_cases) {
        SCOPED_TRACE(testing::Message() << "mechanism 0x" << std::hex << c.type << std::dec << " key "
                                        << c.key_length << " param " << c.param_length);
        const bytes key = counting_bytes(c.key_length);
        const bytes param(c.param_length, 0);
        auto f = make_ctx(c.type, key, c.param_length ? param.data() : nullptr, static_cast<CK_ULONG>(c.param_length));
        ASSERT_TRUE(f.ctx);
        EXPECT_EQ(f.init_rv, c.expected);
        EXPECT_EQ(f.ctx->active(), c.expected == CKR_OK);
    }
}

TEST(SoftCipher, MissingKeyValueAndForeignMechanism) {
    CK_MECHANISM m{CKM_AES_ECB, nullptr, 0};
    pkcs11::pkcs11_soft_aes_ctx aes(m);
    EXPECT_EQ(aes.encrypt_init(pkcs11::pkcs11_key_value{}), CKR_ATTRIBUTE_TYPE_INVALID);
    const bytes key = counting_bytes(8);
    CK_MECHANISM gen{CKM_DES_KEY_GEN, nullptr, 0};
    pkcs11::pkcs11_soft_des_ctx des(gen);
    EXPECT_EQ(des.encrypt_init({key.data(), key.size()}), CKR_MECHANISM_INVALID);
    CK_MECHANISM rc4gen{CKM_RC4_KEY_GEN, nullptr, 0};
    pkcs11::pkcs11_soft_rc4_ctx rc4(rc4gen);
    EXPECT_EQ(rc4.encrypt_init({key.data(), key.size()}), CKR_MECHANISM_INVALID);
}

TEST(SoftCipher, StepsOutsideAnOperation) {
    CK_MECHANISM m{CKM_AES_ECB, nullptr, 0};
    pkcs11::pkcs11_soft_aes_ctx aes(m);
    bytes out(16);
    CK_ULONG length = 16;
    EXPECT_EQ(aes.encrypt_update(out.data(), 16, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(aes.encrypt_final(out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    auto f = make_ctx(CKM_AES_ECB, counting_bytes(16));
    length = 16;
    ASSERT_EQ(f.ctx->encrypt_final(out.data(), &length), CKR_OK);
    EXPECT_EQ(f.ctx->encrypt_update(out.data(), 16, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    // A one-shot after an Update is refused.
    auto g = make_ctx(CKM_AES_ECB, counting_bytes(16));
    length = 16;
    ASSERT_EQ(g.ctx->encrypt_update(out.data(), 3, out.data(), &length), CKR_OK);
    length = 16;
    EXPECT_EQ(g.ctx->encrypt(out.data(), 13, out.data(), &length), CKR_OPERATION_ACTIVE);
}

TEST(SoftCipher, LengthsBeyondTheAddressSpaceAreRefused) {
    // Three bytes wait in the context; then a length that cannot be added.
    const CK_ULONG huge = std::numeric_limits<CK_ULONG>::max();
    bytes data(8);
    auto f = make_ctx(CKM_DES_ECB, counting_bytes(8));
    CK_ULONG length = 8;
    ASSERT_EQ(f.ctx->encrypt_update(data.data(), 5, data.data(), &length), CKR_OK);
    length = 0;
    EXPECT_EQ(f.ctx->encrypt_update(data.data(), huge, nullptr, &length), CKR_HOST_MEMORY);
    auto g = make_ctx(CKM_AES_CBC_PAD, counting_bytes(16), counting_bytes(16));
    length = 0;
    EXPECT_EQ(g.ctx->encrypt(data.data(), huge, nullptr, &length), CKR_HOST_MEMORY);
}

TEST(SoftCipher, Rc4StreamSizesAndShortBuffers) {
    const bytes key = hex("0102030405");
    auto f = make_ctx(CKM_RC4, key);
    bytes out(16);
    CK_ULONG length = 15;
    EXPECT_EQ(f.ctx->encrypt_update(bytes(16).data(), 16, out.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u);
    // Nothing of the key stream was used by the refused call.
    length = 16;
    ASSERT_EQ(f.ctx->encrypt_update(bytes(16).data(), 16, out.data(), &length), CKR_OK);
    EXPECT_EQ(hex_of(out), "b2396305f03dc027ccc3524a0a1118a8");
    length = 0;
    ASSERT_EQ(f.ctx->encrypt_final(nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(f.ctx->active());
    ASSERT_EQ(f.ctx->encrypt_final(out.data(), &length), CKR_OK);
    EXPECT_FALSE(f.ctx->active());
}

}  // namespace
