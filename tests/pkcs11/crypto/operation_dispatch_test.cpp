// The operation dispatch of a session, driven with a scripted context: when
// an operation keeps running and when it ends, which Init meets a running
// operation, the key usage and parameter checks, the key reference a
// context holds, the codes of card contexts at the boundary, and the
// factory by mechanism and key.
#include <gtest/gtest.h>

#include <deque>
#include <memory>

#include "../objects/template_builder.h"
#include "operations/dispatch.h"

using namespace pkcs11;
using objects_test::template_builder;

namespace {

int live_contexts = 0;

// Every operation answers the next scripted code (CKR_OK when none is
// left) and writes nothing.
class scripted_ctx final : public pkcs11_key_ctx {
public:
    scripted_ctx(const CK_MECHANISM& m, std::deque<CK_RV> script, bool card)
        : pkcs11_key_ctx(m), script_(std::move(script)), card_(card) {
        ++live_contexts;
    }
    ~scripted_ctx() override { --live_contexts; }

    CK_RV encrypt_init(const pkcs11_key_value&) override { return next(); }
    CK_RV decrypt_init(const pkcs11_key_value&) override { return next(); }
    CK_RV digest_init() override { return next(); }
    CK_RV sign_init(const pkcs11_key_value&) override { return next(); }
    CK_RV verify_init(const pkcs11_key_value&) override { return next(); }
    CK_RV encrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV decrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV digest_update(const CK_BYTE*, CK_ULONG) override { return next(); }
    CK_RV sign_update(const CK_BYTE*, CK_ULONG) override { return next(); }
    CK_RV verify_update(const CK_BYTE*, CK_ULONG) override { return next(); }
    CK_RV encrypt_final(CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV decrypt_final(CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV digest_final(CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV sign_final(CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV verify_final(const CK_BYTE*, CK_ULONG) override { return next(); }
    CK_RV encrypt(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV decrypt(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV digest(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV sign(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return next(); }
    CK_RV verify(const CK_BYTE*, CK_ULONG, const CK_BYTE*, CK_ULONG) override { return next(); }
    bool card_results() const override { return card_; }

private:
    CK_RV next() {
        if (script_.empty()) return CKR_OK;
        const CK_RV rv = script_.front();
        script_.pop_front();
        return rv;
    }
    std::deque<CK_RV> script_;
    bool card_;
};

// A factory that makes scripted contexts.
key_ctx_factory scripted(std::deque<CK_RV> script = {}, bool card = false) {
    return [script, card](operation_kind, const CK_MECHANISM& m, pkcs11_object*,
                          std::unique_ptr<pkcs11_key_ctx>& out) -> CK_RV {
        out.reset(new scripted_ctx(m, script, card));
        return CKR_OK;
    };
}

pkcs11_object_ref make_key(template_builder& t) {
    pkcs11_object_ref key;
    EXPECT_EQ(pkcs11_object::build(1, CKO_SECRET_KEY, t.data(), t.count(), key), CKR_OK);
    return key;
}

// A session key that may do everything.
pkcs11_object_ref all_purpose_key(CK_KEY_TYPE type = CKK_AES, std::size_t length = 16) {
    template_builder t;
    t.ulong(CKA_KEY_TYPE, type)
        .boolean(CKA_ENCRYPT, true)
        .boolean(CKA_DECRYPT, true)
        .boolean(CKA_SIGN, true)
        .boolean(CKA_VERIFY, true)
        .bytes(CKA_VALUE, std::vector<std::uint8_t>(length, 0x11));
    return make_key(t);
}

const char* name_of(operation_kind k) {
    switch (k) {
        case operation_kind::encrypt: return "encrypt";
        case operation_kind::decrypt: return "decrypt";
        case operation_kind::digest: return "digest";
        case operation_kind::sign: return "sign";
        case operation_kind::verify: return "verify";
    }
    return "?";
}

CK_MECHANISM mechanism_for(operation_kind k) {
    switch (k) {
        case operation_kind::digest: return {CKM_SHA256, nullptr, 0};
        case operation_kind::sign:
        case operation_kind::verify: return {CKM_SHA256_HMAC, nullptr, 0};
        default: return {CKM_AES_ECB, nullptr, 0};
    }
}

pkcs11_operation_slot& slot(pkcs11_session& s, operation_kind k) {
    if (k == operation_kind::digest) return s.digest_op;
    if (k == operation_kind::sign || k == operation_kind::verify) return s.signature_op;
    return s.cipher_op;
}

enum class step { update, final, one_shot };

// One step of a running operation with or without an output buffer.
CK_RV run_step(pkcs11_session& s, operation_kind k, step st, bool with_output) {
    CK_BYTE in[16] = {};
    CK_BYTE out[64] = {};
    CK_ULONG out_len = sizeof out;
    CK_BYTE* o = with_output ? out : nullptr;
    const bool has_output = k == operation_kind::encrypt || k == operation_kind::decrypt;
    switch (st) {
        case step::update:
            return has_output ? operation_update(s, k, in, sizeof in, o, &out_len)
                              : operation_update(s, k, in, sizeof in);
        case step::final:
            return k == operation_kind::verify ? operation_verify_final(s, o, with_output ? 32 : 0)
                                               : operation_final(s, k, o, &out_len);
        case step::one_shot:
            return k == operation_kind::verify ? operation_verify(s, in, sizeof in, o, with_output ? 32 : 0)
                                               : operation_one_shot(s, k, in, sizeof in, o, &out_len);
    }
    return CKR_GENERAL_ERROR;
}

}  // namespace

// The lifetime table, for every kind of operation.
TEST(operation_dispatch, LifetimeOfEveryOperation) {
    struct row {
        step st;
        bool with_output;
        CK_RV scripted_rv;
        bool keeps;
    };
    const row rows[] = {
        {step::final, false, CKR_OK, true},                 // size query
        {step::one_shot, false, CKR_OK, true},              // size query
        {step::final, true, CKR_BUFFER_TOO_SMALL, true},    // short buffer
        {step::one_shot, true, CKR_BUFFER_TOO_SMALL, true}, // short buffer
        {step::final, true, CKR_OK, false},                 // success
        {step::one_shot, true, CKR_OK, false},              // success
        {step::final, true, CKR_DATA_LEN_RANGE, false},     // failure
        {step::one_shot, true, CKR_SIGNATURE_INVALID, false},
        {step::update, true, CKR_OK, true},
        {step::update, true, CKR_BUFFER_TOO_SMALL, true},
        {step::update, true, CKR_DATA_LEN_RANGE, false},    // an Update error ends
        {step::update, true, CKR_HOST_MEMORY, false},
    };
    const operation_kind kinds[] = {operation_kind::encrypt, operation_kind::decrypt, operation_kind::digest,
                                    operation_kind::sign, operation_kind::verify};
    for (operation_kind k : kinds) {
        for (const row& r : rows) {
            SCOPED_TRACE(testing::Message() << name_of(k) << " step " << static_cast<int>(r.st) << " rv 0x"
                                            << std::hex << r.scripted_rv);
            pkcs11_session s;
            pkcs11_object_ref key = k == operation_kind::digest ? pkcs11_object_ref() : all_purpose_key();
            ASSERT_EQ(operation_init(s, k, mechanism_for(k), key, scripted({CKR_OK, r.scripted_rv})), CKR_OK);
            EXPECT_EQ(run_step(s, k, r.st, r.with_output), r.scripted_rv);
            EXPECT_EQ(slot(s, k).running(), r.keeps);
            EXPECT_EQ(live_contexts, r.keeps ? 1 : 0);
            if (r.keeps) {
                // A kept operation completes with the next call.
                EXPECT_EQ(run_step(s, k, step::final, true), CKR_OK);
                EXPECT_FALSE(slot(s, k).running());
            } else {
                EXPECT_EQ(run_step(s, k, step::final, true), CKR_OPERATION_NOT_INITIALIZED);
            }
            EXPECT_EQ(live_contexts, 0);
        }
    }
}

TEST(operation_dispatch, StepsOfAnotherKindFindNoOperation) {
    pkcs11_session s;
    pkcs11_object_ref key = all_purpose_key();
    ASSERT_EQ(operation_init(s, operation_kind::decrypt, mechanism_for(operation_kind::decrypt), key, scripted()),
              CKR_OK);
    EXPECT_EQ(run_step(s, operation_kind::encrypt, step::update, true), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(run_step(s, operation_kind::encrypt, step::one_shot, true), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(run_step(s, operation_kind::digest, step::final, true), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_TRUE(s.cipher_op.running());
    s.cipher_op.end();
}

// The busy table: which Init meets a running operation.
TEST(operation_dispatch, BusyTable) {
    struct row {
        operation_kind running;
        operation_kind starting;
        CK_RV expected;
    };
    const row rows[] = {
        {operation_kind::decrypt, operation_kind::encrypt, CKR_OPERATION_ACTIVE},
        {operation_kind::encrypt, operation_kind::decrypt, CKR_OPERATION_ACTIVE},
        {operation_kind::encrypt, operation_kind::encrypt, CKR_OPERATION_ACTIVE},
        {operation_kind::sign, operation_kind::verify, CKR_OPERATION_ACTIVE},
        {operation_kind::verify, operation_kind::verify, CKR_OPERATION_ACTIVE},
        {operation_kind::digest, operation_kind::digest, CKR_OPERATION_ACTIVE},
        {operation_kind::sign, operation_kind::sign, CKR_OK},    // replaced
        {operation_kind::verify, operation_kind::sign, CKR_OK},  // replaced
        // Separate slots run side by side.
        {operation_kind::encrypt, operation_kind::digest, CKR_OK},
        {operation_kind::digest, operation_kind::sign, CKR_OK},
        {operation_kind::sign, operation_kind::decrypt, CKR_OK},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << name_of(r.running) << " then " << name_of(r.starting));
        pkcs11_session s;
        pkcs11_object_ref key = all_purpose_key();
        ASSERT_EQ(operation_init(s, r.running, mechanism_for(r.running), key, scripted()), CKR_OK);
        EXPECT_EQ(operation_init(s, r.starting, mechanism_for(r.starting), key, scripted()), r.expected);
        const bool same_slot = &slot(s, r.running) == &slot(s, r.starting);
        // A refused Init leaves the running one; a replacement frees it.
        EXPECT_EQ(live_contexts, same_slot ? 1 : 2);
        EXPECT_TRUE(slot(s, r.running).running());
        if (same_slot) {
            EXPECT_TRUE(r.expected == CKR_OK ? slot(s, r.starting).runs(r.starting) : slot(s, r.running).runs(r.running));
        }
        s.cipher_op.end();
        s.signature_op.end();
        s.digest_op.end();
        EXPECT_EQ(live_contexts, 0);
    }
}

TEST(operation_dispatch, KeyUsageAndParameterChecks) {
    struct row {
        const char* what;
        std::vector<std::uint8_t> encrypt_value;  // empty: absent
        CK_MECHANISM mechanism;
        CK_RV expected;
    };
    CK_BYTE short_iv[8] = {};
    const row rows[] = {
        {"usage absent", {}, {CKM_AES_ECB, nullptr, 0}, CKR_ATTRIBUTE_TYPE_INVALID},
        {"usage two bytes", {1, 0}, {CKM_AES_ECB, nullptr, 0}, CKR_KEY_TYPE_INCONSISTENT},
        {"usage FALSE", {0}, {CKM_AES_ECB, nullptr, 0}, CKR_KEY_TYPE_INCONSISTENT},
        {"AES CBC with an 8-byte IV", {1}, {CKM_AES_CBC, short_iv, sizeof short_iv}, CKR_MECHANISM_PARAM_INVALID},
        {"DES CBC with a 7-byte IV", {1}, {CKM_DES_CBC, short_iv, 7}, CKR_MECHANISM_PARAM_INVALID},
        {"good", {1}, {CKM_AES_ECB, nullptr, 0}, CKR_OK},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        template_builder t;
        t.ulong(CKA_KEY_TYPE, CKK_AES).bytes(CKA_VALUE, std::vector<std::uint8_t>(16, 1));
        if (!r.encrypt_value.empty()) t.bytes(CKA_ENCRYPT, r.encrypt_value);
        pkcs11_object_ref key = make_key(t);
        // The class defaults hold one; a key of another store may lack it.
        if (r.encrypt_value.empty()) key->attributes().remove(CKA_ENCRYPT);
        pkcs11_session s;
        EXPECT_EQ(operation_init(s, operation_kind::encrypt, r.mechanism, key, scripted()), r.expected);
        EXPECT_EQ(s.cipher_op.running(), r.expected == CKR_OK);
        s.cipher_op.end();
    }
}

TEST(operation_dispatch, FailedInitLeavesNoOperation) {
    pkcs11_session s;
    pkcs11_object_ref key = all_purpose_key();
    EXPECT_EQ(operation_init(s, operation_kind::encrypt, mechanism_for(operation_kind::encrypt), key,
                             scripted({CKR_KEY_SIZE_RANGE})),
              CKR_KEY_SIZE_RANGE);
    EXPECT_FALSE(s.cipher_op.running());
    EXPECT_EQ(live_contexts, 0);
    EXPECT_EQ(key->references(), 1u);
}

// The context's key stays valid after every other holder let go.
TEST(operation_dispatch, ContextHoldsItsKey) {
    pkcs11_session s;
    pkcs11_object_ref key = all_purpose_key();
    pkcs11_object* raw = key.get();
    ASSERT_EQ(operation_init(s, operation_kind::sign, mechanism_for(operation_kind::sign), key, scripted()), CKR_OK);
    EXPECT_EQ(raw->references(), 2u);
    key.reset();
    EXPECT_EQ(s.signature_op.key.get(), raw);
    EXPECT_EQ(raw->references(), 1u);
    EXPECT_TRUE(raw->attributes().is_true(CKA_SIGN));
    EXPECT_EQ(run_step(s, operation_kind::sign, step::one_shot, true), CKR_OK);
    EXPECT_FALSE(s.signature_op.key);
}

// Card contexts' local codes and status words become CK_RVs; software
// contexts' codes pass as they are.
TEST(operation_dispatch, CardCodesAreMappedAtTheBoundary) {
    struct row {
        CK_RV card_code;
        bool card;
        CK_RV expected;
    };
    const row rows[] = {
        {1, true, CKR_DEVICE_REMOVED},
        {2, true, CKR_DEVICE_ERROR},
        {0x8005, true, CKR_DEVICE_ERROR},
        {0x9000, true, CKR_DEVICE_ERROR},
        {0x6982, true, CKR_USER_NOT_LOGGED_IN},
        {0x6A80, true, CKR_DEVICE_ERROR},
        {0x6A82, true, CKR_DEVICE_ERROR},
        {CKR_SIGNATURE_INVALID, true, CKR_SIGNATURE_INVALID},
        {CKR_HOST_MEMORY, false, CKR_HOST_MEMORY},
        {CKR_ENCRYPTED_DATA_INVALID, false, CKR_ENCRYPTED_DATA_INVALID},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << r.card_code << (r.card ? " card" : " soft"));
        pkcs11_session s;
        pkcs11_object_ref key = all_purpose_key();
        ASSERT_EQ(operation_init(s, operation_kind::decrypt, mechanism_for(operation_kind::decrypt), key,
                                 scripted({CKR_OK, r.card_code}, r.card)),
                  CKR_OK);
        EXPECT_EQ(run_step(s, operation_kind::decrypt, step::one_shot, true), r.expected);
        EXPECT_FALSE(s.cipher_op.running());
        // At Init as well.
        EXPECT_EQ(operation_init(s, operation_kind::decrypt, mechanism_for(operation_kind::decrypt), key,
                                 scripted({r.card_code}, r.card)),
                  r.expected);
    }
}

// The module's factory by mechanism and key.
TEST(operation_dispatch, FactoryByMechanismAndKey) {
    struct row {
        const char* what;
        operation_kind kind;
        CK_MECHANISM_TYPE mechanism;
        bool has_key;
        bool token;
        bool has_type;
        CK_KEY_TYPE type;
        CK_RV expected;
        bool type_after_set;
        CK_KEY_TYPE type_after;
    };
    const row rows[] = {
        {"AES ECB, AES key", operation_kind::encrypt, CKM_AES_ECB, true, false, true, CKK_AES, CKR_OK, true, CKK_AES},
        {"AES CBC, generic secret", operation_kind::encrypt, CKM_AES_CBC, true, false, true, CKK_GENERIC_SECRET,
         CKR_OK, true, CKK_GENERIC_SECRET},
        {"AES ECB, key without type", operation_kind::decrypt, CKM_AES_ECB, true, false, false, 0, CKR_OK, true,
         CKK_AES},
        {"AES ECB, DES key", operation_kind::encrypt, CKM_AES_ECB, true, false, true, CKK_DES,
         CKR_KEY_TYPE_INCONSISTENT, true, CKK_DES},
        {"RSA on an AES key", operation_kind::sign, CKM_RSA_PKCS, true, false, true, CKK_AES,
         CKR_KEY_TYPE_INCONSISTENT, true, CKK_AES},
        {"3DES CBC, two-key 3DES", operation_kind::encrypt, CKM_DES3_CBC, true, false, true, CKK_DES2, CKR_OK, true,
         CKK_DES2},
        {"RC4, token key", operation_kind::encrypt, CKM_RC4, true, true, true, CKK_RC4, CKR_MECHANISM_INVALID, true,
         CKK_RC4},
        {"RC2, session key", operation_kind::encrypt, CKM_RC2_ECB, true, false, true, CKK_RC2, CKR_OK, true, CKK_RC2},
        {"AES, token key (card-held)", operation_kind::encrypt, CKM_AES_ECB, true, true, true, CKK_AES,
         CKR_MECHANISM_INVALID, true, CKK_AES},
        {"HMAC SHA-384", operation_kind::sign, CKM_SHA384_HMAC, true, false, true, CKK_GENERIC_SECRET, CKR_OK, true,
         CKK_GENERIC_SECRET},
        {"SHA-384 digest", operation_kind::digest, CKM_SHA384, false, false, false, 0, CKR_OK, false, 0},
        {"SHA-256 digest", operation_kind::digest, CKM_SHA256, false, false, false, 0, CKR_OK, false, 0},
        {"digest with a cipher", operation_kind::digest, CKM_AES_ECB, false, false, false, 0, CKR_MECHANISM_INVALID,
         false, 0},
        {"sign with a cipher", operation_kind::sign, CKM_AES_ECB, true, false, true, CKK_AES, CKR_MECHANISM_INVALID,
         true, CKK_AES},
        {"encrypt with a digest", operation_kind::encrypt, CKM_SHA256, true, false, true, CKK_AES,
         CKR_MECHANISM_INVALID, true, CKK_AES},
        {"derivation is no digest", operation_kind::digest, CKM_SHA1_KEY_DERIVATION, false, false, false, 0,
         CKR_MECHANISM_INVALID, false, 0},
        {"unknown mechanism", operation_kind::encrypt, 0x12345, true, false, true, CKK_AES, CKR_MECHANISM_INVALID,
         true, CKK_AES},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        pkcs11_object_ref key;
        if (r.has_key) {
            template_builder t;
            t.boolean(CKA_TOKEN, r.token).bytes(CKA_VALUE, std::vector<std::uint8_t>(16, 1));
            if (r.has_type) t.ulong(CKA_KEY_TYPE, r.type);
            key = make_key(t);
        }
        CK_MECHANISM m{r.mechanism, nullptr, 0};
        std::unique_ptr<pkcs11_key_ctx> ctx;
        EXPECT_EQ(make_key_ctx(r.kind, m, key.get(), ctx), r.expected);
        EXPECT_EQ(ctx != nullptr, r.expected == CKR_OK);
        if (key) {
            std::uint32_t type = 0;
            EXPECT_EQ(key->attributes().get_u32(CKA_KEY_TYPE, type), r.type_after_set);
            EXPECT_EQ(type, r.type_after);
        }
    }
}

// The real contexts through the dispatch: a digest with a size query in
// between hashes once; C_DigestKey feeds the key's value.
TEST(operation_dispatch, DigestThroughTheDispatch) {
    pkcs11_session s;
    const CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    ASSERT_EQ(operation_init(s, operation_kind::digest, sha256, pkcs11_object_ref()), CKR_OK);
    CK_BYTE abc[] = {'a', 'b', 'c'};
    CK_ULONG len = 0;
    EXPECT_EQ(operation_one_shot(s, operation_kind::digest, abc, 3, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 32u);
    CK_BYTE out[32];
    EXPECT_EQ(operation_one_shot(s, operation_kind::digest, abc, 3, out, &len), CKR_OK);
    EXPECT_EQ(out[0], 0xba);
    EXPECT_EQ(out[31], 0xad);
    EXPECT_FALSE(s.digest_op.running());

    template_builder t;
    t.bytes(CKA_VALUE, {'a', 'b', 'c'});
    pkcs11_object_ref key = make_key(t);
    ASSERT_EQ(operation_init(s, operation_kind::digest, sha256, pkcs11_object_ref()), CKR_OK);
    EXPECT_EQ(operation_digest_key(s, key), CKR_OK);
    len = sizeof out;
    EXPECT_EQ(operation_final(s, operation_kind::digest, out, &len), CKR_OK);
    EXPECT_EQ(out[0], 0xba);

    template_builder big;
    big.bytes(CKA_VALUE, std::vector<std::uint8_t>(300, 1));
    pkcs11_object_ref big_key = make_key(big);
    ASSERT_EQ(operation_init(s, operation_kind::digest, sha256, pkcs11_object_ref()), CKR_OK);
    EXPECT_EQ(operation_digest_key(s, big_key), CKR_BUFFER_TOO_SMALL);
    template_builder none;
    none.ulong(CKA_KEY_TYPE, CKK_AES);
    EXPECT_EQ(operation_digest_key(s, make_key(none)), CKR_ATTRIBUTE_TYPE_INVALID);
    s.digest_op.end();
    EXPECT_EQ(operation_digest_key(s, key), CKR_OPERATION_NOT_INITIALIZED);
}
