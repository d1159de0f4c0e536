// The class verifiers: class x operation x template against the expected
// code, the attributes C_SetAttributeValue may change, and sensitivity.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "objects/object.h"
#include "template_builder.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using objects_test::template_builder;
using pkcs11::access_level;
using pkcs11::pkcs11_object;
using pkcs11::pkcs11_object_ref;

using fill_fn = std::function<void(template_builder&)>;

enum class op { create, copy, generate, unwrap };

struct verifier_row {
    const char* name;
    CK_OBJECT_CLASS c;
    op operation;
    fill_fn caller;  // the caller's template
    CK_RV rv;
    fill_fn source = nullptr;  // copy: the object being copied (besides its class)
};

constexpr CK_RV INC = CKR_TEMPLATE_INCOMPLETE;
constexpr CK_RV INCONS = CKR_TEMPLATE_INCONSISTENT;
constexpr CK_RV OK = CKR_OK;

const bytes p256{0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

void rsa_public(template_builder& t) { t.bytes(CKA_MODULUS, bytes(128, 0xB1)).bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1}); }
void ec_public(template_builder& t) {
    t.ulong(CKA_KEY_TYPE, CKK_EC).bytes(CKA_EC_PARAMS, p256).bytes(CKA_EC_POINT, bytes(67, 4));
}
void rsa_private(template_builder& t) { t.bytes(CKA_MODULUS, bytes(128, 0xB1)).bytes(CKA_PRIVATE_EXPONENT, bytes(128, 3)); }
void ec_private(template_builder& t) {
    t.ulong(CKA_KEY_TYPE, CKK_EC).bytes(CKA_EC_PARAMS, p256).bytes(CKA_VALUE, bytes(32, 9));
}
void aes_key(template_builder& t) { t.ulong(CKA_KEY_TYPE, CKK_AES).bytes(CKA_VALUE, bytes(16, 5)); }
void certificate(template_builder& t) {
    t.ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).bytes(CKA_SUBJECT, {0x30, 0}).bytes(CKA_VALUE, {0x30, 0x03, 1, 2, 3});
}
fill_fn plus(fill_fn base, CK_ATTRIBUTE_TYPE type, bytes value) {
    return [base, type, value](template_builder& t) {
        if (base) base(t);
        t.bytes(type, value);
    };
}
fill_fn only(CK_ATTRIBUTE_TYPE type, bytes value) { return plus(nullptr, type, std::move(value)); }
const fill_fn nothing = [](template_builder&) {};
const bytes T{1};
const bytes F{0};

CK_RV run_row(const verifier_row& r) {
    template_builder object_template;
    object_template.cls(r.c);
    if (r.source) r.source(object_template);
    pkcs11_object_ref object;
    EXPECT_EQ(pkcs11_object::build(1000, CK_UNAVAILABLE_INFORMATION, object_template.data(), object_template.count(),
                                   object),
              static_cast<CK_RV>(CKR_OK));
    if (!object) return CKR_GENERAL_ERROR;
    template_builder caller;
    r.caller(caller);
    const pkcs11::pkcs11_object_verifier& v = object->verifier();
    switch (r.operation) {
        case op::create: return v.check_create(caller.data(), caller.count());
        case op::copy: return v.check_copy(caller.data(), caller.count());
        case op::generate: return v.check_generate(caller.data(), caller.count());
        case op::unwrap: return v.check_unwrap(caller.data(), caller.count());
    }
    return CKR_GENERAL_ERROR;
}

TEST(ObjectVerifiers, ClassOperationAttributeTable) {
    const fill_fn rsa_pub = rsa_public;
    const fill_fn ec_pub = ec_public;
    const fill_fn rsa_priv = rsa_private;
    const fill_fn ec_priv = ec_private;
    const fill_fn aes = aes_key;
    const fill_fn cert = certificate;
    const fill_fn sensitive_source = [](template_builder& t) {
        t.boolean(CKA_SENSITIVE, true).boolean(CKA_EXTRACTABLE, false).boolean(CKA_LOCAL, false);
    };
    const fill_fn ec_gen = only(CKA_EC_PARAMS, p256);
    const verifier_row rows[] = {
        // certificates
        {"cert create complete", CKO_CERTIFICATE, op::create, cert, OK},
        {"cert create without CKA_SUBJECT", CKO_CERTIFICATE, op::create,
         [](template_builder& t) { t.ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).bytes(CKA_VALUE, {1}); }, INC},
        {"cert create without CKA_VALUE", CKO_CERTIFICATE, op::create,
         [](template_builder& t) { t.ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).bytes(CKA_SUBJECT, {1}); }, INC},
        {"cert create without CKA_CERTIFICATE_TYPE", CKO_CERTIFICATE, op::create,
         [](template_builder& t) { t.bytes(CKA_SUBJECT, {1}).bytes(CKA_VALUE, {1}); }, INC},
        {"cert copy takes anything", CKO_CERTIFICATE, op::copy, only(CKA_TRUSTED, T), OK},
        {"cert generate takes anything", CKO_CERTIFICATE, op::generate, only(CKA_LOCAL, T), OK},
        {"cert unwrap takes anything", CKO_CERTIFICATE, op::unwrap, nothing, OK},
        // data objects
        {"data create", CKO_DATA, op::create, only(CKA_VALUE, {1, 2}), OK},
        {"data create with CKA_LOCAL", CKO_DATA, op::create, only(CKA_LOCAL, F), INCONS},
        {"data copy with CKA_LOCAL", CKO_DATA, op::copy, only(CKA_LOCAL, T), OK},
        {"data generate", CKO_DATA, op::generate, only(CKA_LOCAL, T), OK},
        {"data unwrap", CKO_DATA, op::unwrap, nothing, OK},
        // public keys
        {"rsa public create", CKO_PUBLIC_KEY, op::create, rsa_pub, OK},
        {"rsa public create without exponent", CKO_PUBLIC_KEY, op::create,
         only(CKA_MODULUS, bytes(128, 1)), INC},
        {"rsa public create with CKA_MODULUS_BITS", CKO_PUBLIC_KEY, op::create,
         plus(rsa_pub, CKA_MODULUS_BITS, {0, 4, 0, 0}), INCONS},
        {"rsa public create with CKA_TRUSTED TRUE", CKO_PUBLIC_KEY, op::create, plus(rsa_pub, CKA_TRUSTED, T),
         INCONS},
        {"rsa public create with CKA_TRUSTED FALSE", CKO_PUBLIC_KEY, op::create, plus(rsa_pub, CKA_TRUSTED, F), OK},
        {"rsa public create with CKA_LOCAL", CKO_PUBLIC_KEY, op::create, plus(rsa_pub, CKA_LOCAL, F), INCONS},
        {"rsa public create with CKA_KEY_GEN_MECHANISM", CKO_PUBLIC_KEY, op::create,
         plus(rsa_pub, CKA_KEY_GEN_MECHANISM, {0, 0, 0, 0}), INCONS},
        {"rsa public create with CKA_ALWAYS_SENSITIVE", CKO_PUBLIC_KEY, op::create,
         plus(rsa_pub, CKA_ALWAYS_SENSITIVE, F), INCONS},
        {"ec public create", CKO_PUBLIC_KEY, op::create, ec_pub, OK},
        {"ec public create by CKA_EC_PARAMS alone, no point", CKO_PUBLIC_KEY, op::create, ec_gen, INC},
        {"ec public create with CKA_NEVER_EXTRACTABLE", CKO_PUBLIC_KEY, op::create,
         plus(ec_pub, CKA_NEVER_EXTRACTABLE, F), INCONS},
        {"ec public create with CKA_TRUSTED TRUE", CKO_PUBLIC_KEY, op::create, plus(ec_pub, CKA_TRUSTED, T), INCONS},
        {"public copy, CKA_LOCAL changed", CKO_PUBLIC_KEY, op::copy, only(CKA_LOCAL, T), INCONS,
         only(CKA_LOCAL, F)},
        {"public copy, CKA_LOCAL kept", CKO_PUBLIC_KEY, op::copy, only(CKA_LOCAL, F), OK, only(CKA_LOCAL, F)},
        {"public copy with CKA_TRUSTED TRUE", CKO_PUBLIC_KEY, op::copy, only(CKA_TRUSTED, T), INCONS},
        {"public copy, CKA_NEVER_EXTRACTABLE changed", CKO_PUBLIC_KEY, op::copy, only(CKA_NEVER_EXTRACTABLE, T),
         INCONS, only(CKA_NEVER_EXTRACTABLE, F)},
        {"public copy, a two-byte CKA_LOCAL is not compared", CKO_PUBLIC_KEY, op::copy, only(CKA_LOCAL, {1, 1}), OK,
         only(CKA_LOCAL, F)},
        {"rsa public generate", CKO_PUBLIC_KEY, op::generate, only(CKA_MODULUS_BITS, {0, 8, 0, 0}), OK},
        {"rsa public generate without bits", CKO_PUBLIC_KEY, op::generate, nothing, INC},
        {"rsa public generate with CKA_TRUSTED TRUE", CKO_PUBLIC_KEY, op::generate,
         plus(only(CKA_MODULUS_BITS, {0, 8, 0, 0}), CKA_TRUSTED, T), INCONS},
        {"rsa public generate with CKA_KEY_GEN_MECHANISM", CKO_PUBLIC_KEY, op::generate,
         plus(only(CKA_MODULUS_BITS, {0, 8, 0, 0}), CKA_KEY_GEN_MECHANISM, {0, 0, 0, 0}), INCONS},
        {"ec public generate", CKO_PUBLIC_KEY, op::generate, ec_gen, OK},
        {"ec public generate with CKA_EC_POINT", CKO_PUBLIC_KEY, op::generate,
         plus(ec_gen, CKA_EC_POINT, bytes(67, 4)), INCONS},
        {"ec public generate with CKA_LOCAL", CKO_PUBLIC_KEY, op::generate, plus(ec_gen, CKA_LOCAL, T), INCONS},
        {"public unwrap", CKO_PUBLIC_KEY, op::unwrap, only(CKA_KEY_TYPE, {0, 0, 0, 0}), OK},
        {"public unwrap without key type", CKO_PUBLIC_KEY, op::unwrap, nothing, INC},
        {"public unwrap with CKA_LOCAL", CKO_PUBLIC_KEY, op::unwrap,
         plus(only(CKA_KEY_TYPE, {0, 0, 0, 0}), CKA_LOCAL, F), INCONS},
        {"public unwrap with CKA_TRUSTED TRUE", CKO_PUBLIC_KEY, op::unwrap,
         plus(only(CKA_KEY_TYPE, {0, 0, 0, 0}), CKA_TRUSTED, T), INCONS},
        // secret keys
        {"secret create", CKO_SECRET_KEY, op::create, aes, OK},
        {"secret create without CKA_VALUE", CKO_SECRET_KEY, op::create, only(CKA_KEY_TYPE, {0x1f}), INC},
        {"secret create without CKA_KEY_TYPE", CKO_SECRET_KEY, op::create, only(CKA_VALUE, bytes(16, 1)), INC},
        {"secret create with CKA_VALUE_LEN", CKO_SECRET_KEY, op::create, plus(aes, CKA_VALUE_LEN, {16, 0, 0, 0}),
         INCONS},
        {"secret create with CKA_TRUSTED TRUE", CKO_SECRET_KEY, op::create, plus(aes, CKA_TRUSTED, T), INCONS},
        {"secret create with CKA_NEVER_EXTRACTABLE", CKO_SECRET_KEY, op::create,
         plus(aes, CKA_NEVER_EXTRACTABLE, T), INCONS},
        {"secret copy of a sensitive key to not sensitive", CKO_SECRET_KEY, op::copy, only(CKA_SENSITIVE, F),
         INCONS, sensitive_source},
        {"secret copy keeping it sensitive", CKO_SECRET_KEY, op::copy, only(CKA_SENSITIVE, T), OK,
         sensitive_source},
        {"secret copy of an unextractable key to extractable", CKO_SECRET_KEY, op::copy,
         only(CKA_EXTRACTABLE, T), INCONS, sensitive_source},
        {"secret copy, CKA_ALWAYS_SENSITIVE changed", CKO_SECRET_KEY, op::copy, only(CKA_ALWAYS_SENSITIVE, T),
         INCONS},
        {"secret copy with CKA_TRUSTED TRUE", CKO_SECRET_KEY, op::copy, only(CKA_TRUSTED, T), INCONS},
        {"secret generate", CKO_SECRET_KEY, op::generate, only(CKA_VALUE_LEN, {16, 0, 0, 0}), OK},
        {"secret generate with CKA_VALUE", CKO_SECRET_KEY, op::generate, only(CKA_VALUE, bytes(16, 1)), INCONS},
        {"secret generate with CKA_TRUSTED TRUE", CKO_SECRET_KEY, op::generate, only(CKA_TRUSTED, T), INCONS},
        {"secret unwrap", CKO_SECRET_KEY, op::unwrap, only(CKA_KEY_TYPE, {0x1f}), OK},
        {"secret unwrap without key type", CKO_SECRET_KEY, op::unwrap, nothing, INC},
        {"secret unwrap with CKA_VALUE", CKO_SECRET_KEY, op::unwrap,
         plus(only(CKA_KEY_TYPE, {0x1f}), CKA_VALUE, {1}), INCONS},
        // private keys
        {"rsa private create", CKO_PRIVATE_KEY, op::create, rsa_priv, OK},
        {"rsa private create without private exponent", CKO_PRIVATE_KEY, op::create,
         only(CKA_MODULUS, bytes(128, 1)), INC},
        {"rsa private create with CKA_LOCAL", CKO_PRIVATE_KEY, op::create, plus(rsa_priv, CKA_LOCAL, F), INCONS},
        {"private keys have no trusted rule", CKO_PRIVATE_KEY, op::create, plus(rsa_priv, CKA_TRUSTED, T), OK},
        {"ec private create", CKO_PRIVATE_KEY, op::create, ec_priv, OK},
        {"ec private create without value", CKO_PRIVATE_KEY, op::create,
         [](template_builder& t) { t.ulong(CKA_KEY_TYPE, CKK_EC).bytes(CKA_EC_PARAMS, p256); }, INC},
        {"private copy to not sensitive", CKO_PRIVATE_KEY, op::copy, only(CKA_SENSITIVE, F), INCONS},
        {"private copy to extractable", CKO_PRIVATE_KEY, op::copy, only(CKA_EXTRACTABLE, T), INCONS},
        {"private copy, CKA_LOCAL changed", CKO_PRIVATE_KEY, op::copy, only(CKA_LOCAL, T), INCONS},
        {"private copy with a label", CKO_PRIVATE_KEY, op::copy, only(CKA_LABEL, {'x'}), OK},
        {"rsa private generate", CKO_PRIVATE_KEY, op::generate, only(CKA_LABEL, {'k'}), OK},
        {"rsa private generate with CKA_MODULUS", CKO_PRIVATE_KEY, op::generate, only(CKA_MODULUS, {1}), INCONS},
        {"rsa private generate with CKA_COEFFICIENT", CKO_PRIVATE_KEY, op::generate, only(CKA_COEFFICIENT, {1}),
         INCONS},
        {"ec private generate with CKA_EC_PARAMS", CKO_PRIVATE_KEY, op::generate, ec_gen, INCONS},
        {"private unwrap rsa", CKO_PRIVATE_KEY, op::unwrap, only(CKA_KEY_TYPE, {0, 0, 0, 0}), OK},
        {"private unwrap without key type", CKO_PRIVATE_KEY, op::unwrap, nothing, INC},
        {"private unwrap rsa with a private exponent", CKO_PRIVATE_KEY, op::unwrap,
         plus(only(CKA_KEY_TYPE, {0, 0, 0, 0}), CKA_PRIVATE_EXPONENT, {1}), INCONS},
        {"private unwrap ec with CKA_EC_PARAMS", CKO_PRIVATE_KEY, op::unwrap,
         plus(only(CKA_KEY_TYPE, {3, 0, 0, 0}), CKA_EC_PARAMS, p256), INCONS},
        {"private unwrap ec with CKA_KEY_GEN_MECHANISM", CKO_PRIVATE_KEY, op::unwrap,
         plus(only(CKA_KEY_TYPE, {3, 0, 0, 0}), CKA_KEY_GEN_MECHANISM, {0, 0, 0, 0}), INCONS},
    };
    for (const verifier_row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(run_row(r), r.rv);
    }
}

// The class defaults (CKA_LOCAL, CKA_TRUSTED, CKA_KEY_GEN_MECHANISM, ...) are
// on the object but never in the caller's template: creation succeeds.
TEST(ObjectVerifiers, DefaultsDoNotCountAsTheCallersAttributes) {
    template_builder pub;
    pub.cls(CKO_PUBLIC_KEY);
    rsa_public(pub);
    pkcs11_object_ref o;
    ASSERT_EQ(pkcs11_object::create(1000, access_level::rw_user, pub.data(), pub.count(), o), CKR_OK);
    EXPECT_TRUE(o->attributes().has(CKA_TRUSTED));
    EXPECT_TRUE(o->attributes().has(CKA_LOCAL));
    template_builder secret;
    secret.cls(CKO_SECRET_KEY);
    aes_key(secret);
    ASSERT_EQ(pkcs11_object::create(1000, access_level::rw_user, secret.data(), secret.count(), o), CKR_OK);
    template_builder gen;
    gen.ulong(CKA_VALUE_LEN, 16);
    ASSERT_EQ(pkcs11_object::for_generation(1000, access_level::rw_user, CKO_SECRET_KEY, CKM_AES_KEY_GEN, gen.data(),
                                            gen.count(), o),
              CKR_OK);
}

struct set_row {
    const char* name;
    CK_OBJECT_CLASS c;
    fill_fn held;
    CK_STATE state;
    CK_ATTRIBUTE_TYPE type;
    bytes value;
    bool allowed;
};

TEST(ObjectVerifiers, WhatSetAttributeValueMayChange) {
    const fill_fn sensitive = only(CKA_SENSITIVE, T);
    const fill_fn not_sensitive = only(CKA_SENSITIVE, F);
    const fill_fn extractable = only(CKA_EXTRACTABLE, T);
    const CK_STATE user = CKS_RW_USER_FUNCTIONS;
    const CK_STATE so = CKS_RW_SO_FUNCTIONS;
    const set_row rows[] = {
        {"public CKA_TRUSTED TRUE as SO", CKO_PUBLIC_KEY, nothing, so, CKA_TRUSTED, T, true},
        {"public CKA_TRUSTED TRUE as user", CKO_PUBLIC_KEY, nothing, user, CKA_TRUSTED, T, false},
        {"public CKA_TRUSTED two bytes as user", CKO_PUBLIC_KEY, nothing, user, CKA_TRUSTED, {1, 0}, false},
        {"public CKA_TRUSTED FALSE as user", CKO_PUBLIC_KEY, nothing, user, CKA_TRUSTED, F, true},
        {"secret CKA_TRUSTED TRUE as SO", CKO_SECRET_KEY, nothing, so, CKA_TRUSTED, T, true},
        {"secret CKA_SENSITIVE TRUE to FALSE", CKO_SECRET_KEY, sensitive, user, CKA_SENSITIVE, F, false},
        {"secret CKA_SENSITIVE TRUE stays TRUE", CKO_SECRET_KEY, sensitive, user, CKA_SENSITIVE, T, true},
        {"secret CKA_SENSITIVE FALSE to TRUE", CKO_SECRET_KEY, not_sensitive, user, CKA_SENSITIVE, T, true},
        {"secret CKA_EXTRACTABLE FALSE to TRUE", CKO_SECRET_KEY, nothing, user, CKA_EXTRACTABLE, T, false},
        {"secret CKA_EXTRACTABLE FALSE stays FALSE", CKO_SECRET_KEY, nothing, user, CKA_EXTRACTABLE, F, true},
        {"secret CKA_EXTRACTABLE TRUE to FALSE", CKO_SECRET_KEY, extractable, user, CKA_EXTRACTABLE, F, true},
        {"secret CKA_VALUE", CKO_SECRET_KEY, nothing, user, CKA_VALUE, bytes(16, 1), false},
        {"secret CKA_ENCRYPT", CKO_SECRET_KEY, nothing, user, CKA_ENCRYPT, F, true},
        {"public CKA_NEVER_EXTRACTABLE to TRUE", CKO_PUBLIC_KEY, nothing, user, CKA_NEVER_EXTRACTABLE, T, false},
        {"public CKA_NEVER_EXTRACTABLE to FALSE", CKO_PUBLIC_KEY, nothing, user, CKA_NEVER_EXTRACTABLE, F, true},
        {"public CKA_ALWAYS_SENSITIVE to FALSE", CKO_PUBLIC_KEY, nothing, user, CKA_ALWAYS_SENSITIVE, F, true},
        {"public CKA_SIGN", CKO_PUBLIC_KEY, nothing, user, CKA_SIGN, T, false},
        {"private CKA_SIGN_RECOVER", CKO_PRIVATE_KEY, nothing, user, CKA_SIGN_RECOVER, F, true},
        {"private CKA_ENCRYPT", CKO_PRIVATE_KEY, nothing, user, CKA_ENCRYPT, T, false},
        {"private CKA_SENSITIVE TRUE to FALSE", CKO_PRIVATE_KEY, nothing, user, CKA_SENSITIVE, F, false},
        {"data CKA_VALUE", CKO_DATA, nothing, user, CKA_VALUE, {1, 2, 3}, true},
        {"data CKA_APPLICATION", CKO_DATA, nothing, user, CKA_APPLICATION, {'a'}, true},
        {"data CKA_TOKEN", CKO_DATA, nothing, user, CKA_TOKEN, T, false},
        {"data CKA_PRIVATE", CKO_DATA, nothing, user, CKA_PRIVATE, F, false},
        {"cert CKA_SERIAL_NUMBER", CKO_CERTIFICATE, nothing, user, CKA_SERIAL_NUMBER, {2, 1, 1}, true},
        {"cert CKA_VALUE", CKO_CERTIFICATE, nothing, user, CKA_VALUE, {0x30, 0}, false},
        {"cert CKA_TRUSTED", CKO_CERTIFICATE, nothing, so, CKA_TRUSTED, T, false},
    };
    for (const set_row& r : rows) {
        SCOPED_TRACE(r.name);
        template_builder t;
        t.cls(r.c);
        r.held(t);
        pkcs11_object_ref o;
        ASSERT_EQ(pkcs11_object::build(1000, CK_UNAVAILABLE_INFORMATION, t.data(), t.count(), o), CKR_OK);
        template_builder change;
        change.bytes(r.type, r.value);
        EXPECT_EQ(o->verifier().may_set_all(r.state, change.data(), change.count()), r.allowed);
        // The same through C_SetAttributeValue's object work.
        const CK_RV rv = o->set_attribute_values(access_level::rw_user, r.state, change.data(), change.count(),
                                                 nullptr);
        if (r.allowed) {
            EXPECT_NE(rv, static_cast<CK_RV>(CKR_ATTRIBUTE_READ_ONLY));
        } else {
            EXPECT_EQ(rv, static_cast<CK_RV>(CKR_ATTRIBUTE_READ_ONLY));
        }
    }
}

TEST(ObjectVerifiers, Sensitivity) {
    struct row {
        const char* name;
        CK_OBJECT_CLASS c;
        fill_fn held;
        bool sensitive;
    };
    const row rows[] = {
        {"data object", CKO_DATA, nothing, false},
        {"certificate", CKO_CERTIFICATE, nothing, false},
        {"public key", CKO_PUBLIC_KEY, nothing, false},
        {"private key by default", CKO_PRIVATE_KEY, nothing, true},
        {"secret key by default (not extractable)", CKO_SECRET_KEY, nothing, true},
        {"extractable, not sensitive secret key", CKO_SECRET_KEY,
         [](template_builder& t) { t.boolean(CKA_EXTRACTABLE, true).boolean(CKA_SENSITIVE, false); }, false},
        {"extractable but sensitive secret key", CKO_SECRET_KEY,
         [](template_builder& t) { t.boolean(CKA_EXTRACTABLE, true).boolean(CKA_SENSITIVE, true); }, true},
        {"two-byte CKA_EXTRACTABLE is not TRUE", CKO_SECRET_KEY, only(CKA_EXTRACTABLE, {1, 1}), true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        template_builder t;
        t.cls(r.c);
        r.held(t);
        pkcs11_object_ref o;
        ASSERT_EQ(pkcs11_object::build(1000, CK_UNAVAILABLE_INFORMATION, t.data(), t.count(), o), CKR_OK);
        EXPECT_EQ(o->verifier().is_sensitive(), r.sensitive);
    }
}

}  // namespace
