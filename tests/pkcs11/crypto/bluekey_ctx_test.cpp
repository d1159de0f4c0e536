// The card-symmetric context over a scripted card: what it sends when, the
// card types it picks, the key checks, and that a short buffer or a card
// failure sends nothing more.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bluekey_ctx.h"

namespace {

using pkcs11::pkcs11_bluekey_symetric_ctx;
using pkcs11::pkcs11_card_key;
using bytes = std::vector<std::uint8_t>;

// A card that echoes each Update's bytes (one byte changed, so output is
// told from input) and records every command as text.
struct script {
    std::vector<std::string> sent;
    std::int32_t fail_at = -1;  // the command index that fails with 0x6A80
    std::int32_t step(std::string what) {
        sent.push_back(std::move(what));
        return static_cast<std::int32_t>(sent.size()) - 1 == fail_at ? 0x6A80 : 0;
    }
};

class scripted_port final : public pkcs11::pkcs11_card_cipher_port {
public:
    explicit scripted_port(script& s) : s_(s) {}
    std::int32_t load_saved(std::uint32_t algorithm, std::uint8_t saved) override {
        return s_.step("load " + hex(algorithm) + " " + std::to_string(saved));
    }
    std::int32_t import_key(std::uint32_t algorithm, const std::uint8_t*, std::int32_t length) override {
        return s_.step("import " + hex(algorithm) + " " + std::to_string(length));
    }
    std::int32_t crypt_init(std::uint8_t padding, const std::uint8_t*, std::int32_t iv_length) override {
        return s_.step("init " + std::to_string(padding) + " " + std::to_string(iv_length));
    }
    std::int32_t update(bool encrypt, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                        std::int32_t* out_length) override {
        return echo(encrypt ? "eu " : "du ", in, length, out, out_length, length);
    }
    std::int32_t final(bool encrypt, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                       std::int32_t* out_length) override {
        // Encryption with padding adds a block; decryption strips one byte.
        const std::int32_t n = encrypt ? (*out_length) : (length > 0 ? length - 1 : 0);
        return echo(encrypt ? "ef " : "df ", in, length, out, out_length, n);
    }

private:
    static std::string hex(std::uint32_t v) {
        char b[16];
        std::snprintf(b, sizeof b, "%08x", static_cast<unsigned>(v));
        return b;
    }
    std::int32_t echo(const char* name, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                      std::int32_t* out_length, std::int32_t n) {
        const std::int32_t rv = s_.step(name + std::to_string(length));
        if (rv != 0) return rv;
        if (n > *out_length) return 3;
        for (std::int32_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((i < length ? in[i] : 0) ^ 0x01);
        *out_length = n;
        return 0;
    }
    script& s_;
};

pkcs11_card_key imported_key() {
    pkcs11_card_key k;
    k.object_class = CKO_SECRET_KEY;
    return k;
}

pkcs11_card_key saved_key(std::uint32_t id, std::uint32_t value_len = 32) {
    pkcs11_card_key k;
    k.object_class = CKO_SECRET_KEY;
    k.local = true;
    k.has_card_key_id = true;
    k.card_key_id = id;
    k.value_len = value_len;
    return k;
}

struct fixture {
    script s;
    std::unique_ptr<pkcs11_bluekey_symetric_ctx> ctx;
    bytes value = bytes(16, 7);
    std::uint8_t iv[16] = {};
    fixture(CK_MECHANISM_TYPE type, const pkcs11_card_key& key) {
        CK_MECHANISM m{type, type == CKM_AES_ECB ? nullptr : iv, type == CKM_AES_ECB ? 0u : 16u};
        ctx.reset(new pkcs11_bluekey_symetric_ctx(m, key, std::make_unique<scripted_port>(s)));
    }
    CK_RV init() { return ctx->encrypt_init({value.data(), value.size()}); }
    std::vector<std::string> after_init() const { return {s.sent.begin() + 2, s.sent.end()}; }
};

TEST(bluekey_ctx_test, KeysAreBroughtInByTheirKindAndLength) {
    struct row {
        CK_MECHANISM_TYPE mechanism;
        pkcs11_card_key key;
        std::size_t value_length;
        std::vector<std::string> sent;
    };
    const row rows[] = {
        {CKM_AES_ECB, imported_key(), 16, {"import 40002000 16", "init 0 0"}},
        {CKM_AES_CBC, imported_key(), 24, {"import 40002011 24", "init 0 16"}},
        {CKM_AES_CBC_PAD, imported_key(), 32, {"import 40002021 32", "init 1 16"}},
        {CKM_AES_CBC_PAD, saved_key(0, 24), 0, {"load 40002011 3", "init 1 16"}},
        {CKM_AES_ECB, saved_key(15, 0), 0, {"load 40002000 18", "init 0 0"}},
    };
    for (const row& r : rows) {
        fixture f(r.mechanism, r.key);
        f.value.assign(r.value_length, 1);
        EXPECT_EQ(f.init(), CKR_OK);
        EXPECT_EQ(f.s.sent, r.sent);
    }
}

TEST(bluekey_ctx_test, KeyRefusalsSendNothing) {
    struct row {
        pkcs11_card_key key;
        std::size_t value_length;
        CK_RV rv;
    };
    pkcs11_card_key no_id = saved_key(0);
    no_id.has_card_key_id = false;
    pkcs11_card_key not_secret = imported_key();
    not_secret.object_class = CKO_PUBLIC_KEY;
    const row rows[] = {
        {no_id, 0, CKR_ATTRIBUTE_TYPE_INVALID},
        {saved_key(0xFFFFFFFFu), 0, CKR_ATTRIBUTE_TYPE_INVALID},
        {saved_key(16), 0, CKR_ATTRIBUTE_VALUE_INVALID},
        {saved_key(0, 20), 0, CKR_KEY_SIZE_RANGE},
        {imported_key(), 20, CKR_KEY_SIZE_RANGE},
        {imported_key(), 65, CKR_BUFFER_TOO_SMALL},
        {not_secret, 16, CKR_KEY_FUNCTION_NOT_PERMITTED},
    };
    for (const row& r : rows) {
        fixture f(CKM_AES_CBC, r.key);
        f.value.assign(r.value_length, 1);
        EXPECT_EQ(f.init(), r.rv);
        EXPECT_TRUE(f.s.sent.empty());
    }
    fixture f(CKM_AES_CBC, imported_key());
    EXPECT_EQ(f.ctx->encrypt_init({}), CKR_ATTRIBUTE_TYPE_INVALID);
}

TEST(bluekey_ctx_test, EncryptUpdatesSendWholeBlocksInChunks) {
    struct row {
        std::vector<std::size_t> pieces;
        std::vector<std::string> sent;
        std::vector<CK_ULONG> outputs;
    };
    const row rows[] = {
        {{16}, {"ef 16"}, {0}},
        {{1040}, {"eu 1024", "ef 16"}, {1024}},
        {{1060}, {"eu 1024", "eu 32", "ef 4"}, {1056}},
        {{10, 10, 2048}, {"eu 16", "eu 1024", "eu 1024", "ef 4"}, {0, 16, 2048}},
    };
    for (const row& r : rows) {
        fixture f(CKM_AES_CBC_PAD, imported_key());
        ASSERT_EQ(f.init(), CKR_OK);
        bytes in(4096, 0x10), out(4096);
        for (std::size_t i = 0; i < r.pieces.size(); ++i) {
            CK_ULONG n = 4096;
            ASSERT_EQ(f.ctx->encrypt_update(in.data(), static_cast<CK_ULONG>(r.pieces[i]), out.data(), &n), CKR_OK);
            EXPECT_EQ(n, r.outputs[i]);
        }
        CK_ULONG n = 4096;
        ASSERT_EQ(f.ctx->encrypt_final(out.data(), &n), CKR_OK);
        EXPECT_EQ(f.after_init(), r.sent);
    }
}

TEST(bluekey_ctx_test, DecryptionHoldsTheLastBlockBack) {
    fixture f(CKM_AES_CBC_PAD, imported_key());
    ASSERT_EQ(f.ctx->decrypt_init({f.value.data(), 16}), CKR_OK);
    bytes in(4096, 0x20), out(4096);
    CK_ULONG n = 4096;
    ASSERT_EQ(f.ctx->decrypt_update(in.data(), 16, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    n = 4096;
    ASSERT_EQ(f.ctx->decrypt_update(in.data(), 1024, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 1024u);
    // The Final size query answers at most the held-back block.
    n = 0;
    ASSERT_EQ(f.ctx->decrypt_final(nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 16u);
    n = 4096;
    ASSERT_EQ(f.ctx->decrypt_final(out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 15u);
    EXPECT_EQ(f.after_init(), (std::vector<std::string>{"du 1024", "df 16"}));

    fixture g(CKM_AES_CBC_PAD, imported_key());
    ASSERT_EQ(g.ctx->decrypt_init({g.value.data(), 16}), CKR_OK);
    n = 4096;
    ASSERT_EQ(g.ctx->decrypt(in.data(), 2048, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 2047u);
    EXPECT_EQ(g.after_init(), (std::vector<std::string>{"du 1024", "df 1024"}));

    // Without padding the card must give back every byte.
    fixture h(CKM_AES_CBC, imported_key());
    ASSERT_EQ(h.ctx->decrypt_init({h.value.data(), 16}), CKR_OK);
    n = 4096;
    EXPECT_EQ(h.ctx->decrypt(in.data(), 32, out.data(), &n), CKR_DEVICE_ERROR);
}

TEST(bluekey_ctx_test, ShortBuffersGetTheExactLengthAndNothingIsSent) {
    fixture f(CKM_AES_CBC_PAD, imported_key());
    ASSERT_EQ(f.init(), CKR_OK);
    bytes in(2048, 1), out(2048);
    CK_ULONG n = 1055;
    EXPECT_EQ(f.ctx->encrypt_update(in.data(), 1060, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 1056u);
    EXPECT_TRUE(f.after_init().empty());
    n = 1056;
    ASSERT_EQ(f.ctx->encrypt_update(in.data(), 1060, out.data(), &n), CKR_OK);
    // 4 bytes held: one padded block. After another 12, a whole block is
    // held and Final gives two.
    n = 0;
    ASSERT_EQ(f.ctx->encrypt_final(nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 16u);
    n = 16;
    ASSERT_EQ(f.ctx->encrypt_update(in.data(), 12, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    n = 31;
    EXPECT_EQ(f.ctx->encrypt_final(out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32u);
    n = 32;
    ASSERT_EQ(f.ctx->encrypt_final(out.data(), &n), CKR_OK);
    EXPECT_EQ(f.after_init(), (std::vector<std::string>{"eu 1024", "eu 32", "ef 16"}));

    fixture g(CKM_AES_ECB, imported_key());
    ASSERT_EQ(g.init(), CKR_OK);
    n = 2047;
    EXPECT_EQ(g.ctx->encrypt(in.data(), 2048, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 2048u);
    EXPECT_TRUE(g.after_init().empty());
    EXPECT_TRUE(g.ctx->active());
}

TEST(bluekey_ctx_test, ACardFailureEndsTheStepAndSendsNothingMore) {
    fixture f(CKM_AES_ECB, imported_key());
    f.s.fail_at = 3;  // the second Update
    ASSERT_EQ(f.init(), CKR_OK);
    bytes in(3072, 1), out(3072);
    CK_ULONG n = 3072;
    EXPECT_EQ(f.ctx->encrypt(in.data(), 3072, out.data(), &n), 0x6A80u);
    EXPECT_EQ(f.after_init(), (std::vector<std::string>{"eu 1024", "eu 1024"}));
    EXPECT_TRUE(f.ctx->finished());

    // Padding the card finds bad is data that does not decrypt.
    fixture p(CKM_AES_CBC_PAD, imported_key());
    p.s.fail_at = 2;
    ASSERT_EQ(p.ctx->decrypt_init({p.value.data(), 16}), CKR_OK);
    n = 3072;
    EXPECT_EQ(p.ctx->decrypt(in.data(), 32, out.data(), &n), CKR_ENCRYPTED_DATA_INVALID);

    fixture g(CKM_AES_CBC, imported_key());
    g.s.fail_at = 0;
    EXPECT_EQ(g.init(), 0x6A80u);
    EXPECT_EQ(g.s.sent.size(), 1u);
}

}  // namespace
