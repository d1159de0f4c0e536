// Objects: building from templates with the class defaults, kinds, the
// C_GetAttributeValue and C_SetAttributeValue boundary, create, copy and
// generation checks, references and the byte form of a whole object.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "objects/object.h"
#include "objects/object_mgr.h"
#include "template_builder.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using objects_test::le32;
using objects_test::template_builder;
using pkcs11::access_level;
using pkcs11::object_kind;
using pkcs11::pkcs11_object;
using pkcs11::pkcs11_object_ref;

constexpr CK_SESSION_HANDLE session = 1000;
constexpr CK_OBJECT_CLASS any_class = CK_UNAVAILABLE_INFORMATION;

pkcs11_object_ref build(template_builder& t, CK_OBJECT_CLASS c = any_class) {
    pkcs11_object_ref o;
    EXPECT_EQ(pkcs11_object::build(session, c, t.data(), t.count(), o), static_cast<CK_RV>(CKR_OK));
    return o;
}

bytes value_of(const pkcs11_object& o, CK_ATTRIBUTE_TYPE type) {
    const auto* r = o.attributes().find(static_cast<std::uint32_t>(type));
    return r ? r->value : bytes{0xDE, 0xAD};
}

std::vector<CK_ATTRIBUTE_TYPE> types_of(const pkcs11_object& o) {
    std::vector<CK_ATTRIBUTE_TYPE> t;
    for (const auto& r : o.attributes().records()) t.push_back(r.type);
    return t;
}

const bytes F{0};
const bytes T{1};
const bytes minus_one = le32(0xFFFFFFFFu);

TEST(ObjectDefaults, EveryClassGetsItsDefaultsInOrder) {
    struct row {
        CK_OBJECT_CLASS c;
        std::vector<CK_ATTRIBUTE_TYPE> types;  // after CKA_CLASS
    };
    const row rows[] = {
        {CKO_DATA,
         {CKA_TOKEN, CKA_LABEL, CKA_PRIVATE, CKA_MODIFIABLE, CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE,
          CKA_VALUE_LEN, CKA_VENDOR_STORE_INDEX}},
        {CKO_CERTIFICATE, {CKA_TOKEN, CKA_LABEL, CKA_PRIVATE, CKA_MODIFIABLE, CKA_TRUSTED}},
        {CKO_PUBLIC_KEY,
         {CKA_TOKEN, CKA_LABEL, CKA_PRIVATE, CKA_MODIFIABLE, CKA_KEY_TYPE, CKA_SUBJECT, CKA_START_DATE, CKA_END_DATE,
          CKA_DERIVE, CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP, CKA_TRUSTED, CKA_LOCAL,
          CKA_KEY_GEN_MECHANISM}},
        {CKO_PRIVATE_KEY,
         {CKA_TOKEN, CKA_LABEL, CKA_PRIVATE, CKA_MODIFIABLE, CKA_KEY_TYPE, CKA_START_DATE, CKA_END_DATE, CKA_DERIVE,
          CKA_SUBJECT, CKA_SENSITIVE, CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER, CKA_UNWRAP, CKA_EXTRACTABLE,
          CKA_WRAP_WITH_TRUSTED, CKA_ALWAYS_AUTHENTICATE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_LOCAL,
          CKA_KEY_GEN_MECHANISM}},
        {CKO_SECRET_KEY,
         {CKA_TOKEN, CKA_LABEL, CKA_PRIVATE, CKA_MODIFIABLE, CKA_ID, CKA_START_DATE, CKA_END_DATE, CKA_DERIVE,
          CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_WRAP, CKA_UNWRAP, CKA_EXTRACTABLE,
          CKA_TRUSTED, CKA_WRAP_WITH_TRUSTED, CKA_ALWAYS_AUTHENTICATE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE,
          CKA_LOCAL, CKA_KEY_GEN_MECHANISM, CKA_VENDOR_STORE_INDEX, CKA_VENDOR_CARD_KEY_ID}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.c);
        template_builder t;
        t.cls(r.c);
        const pkcs11_object_ref o = build(t);
        ASSERT_TRUE(o);
        std::vector<CK_ATTRIBUTE_TYPE> expected{CKA_CLASS};
        expected.insert(expected.end(), r.types.begin(), r.types.end());
        EXPECT_EQ(types_of(*o), expected);
        EXPECT_EQ(o->object_class(), r.c);
        EXPECT_EQ(value_of(*o, CKA_CLASS), le32(static_cast<std::uint32_t>(r.c)));
        EXPECT_EQ(value_of(*o, CKA_TOKEN), F);
        EXPECT_EQ(value_of(*o, CKA_MODIFIABLE), T);
        // Only the security officer marks objects trusted: never by default.
        if (o->attributes().has(CKA_TRUSTED)) {
            EXPECT_EQ(value_of(*o, CKA_TRUSTED), F);
        }
        if (o->attributes().has(CKA_KEY_GEN_MECHANISM)) {
            EXPECT_EQ(value_of(*o, CKA_KEY_GEN_MECHANISM), minus_one);
        }
        if (o->attributes().has(CKA_START_DATE)) {
            EXPECT_EQ(value_of(*o, CKA_START_DATE), bytes(8, 0));
        }
    }
    template_builder t;
    t.cls(CKO_DATA);
    const pkcs11_object_ref data = build(t);
    const std::string label = "A data object";
    EXPECT_EQ(value_of(*data, CKA_LABEL), bytes(label.begin(), label.end()));
    EXPECT_EQ(data->kind(), object_kind::session_public);
    EXPECT_EQ(value_of(*data, CKA_VALUE_LEN), le32(0));
    EXPECT_EQ(value_of(*data, CKA_VENDOR_STORE_INDEX), minus_one);
    EXPECT_TRUE(value_of(*data, CKA_VALUE).empty());
}

TEST(ObjectDefaults, TemplateValuesReplaceDefaultsAndRepeatsReplaceEarlierOnes) {
    template_builder t;
    t.text(CKA_LABEL, "first").cls(CKO_DATA).boolean(CKA_TOKEN, true).text(CKA_LABEL, "second");
    const pkcs11_object_ref o = build(t);
    const auto types = types_of(*o);
    EXPECT_EQ(types[0], CKA_CLASS);
    EXPECT_EQ(types[1], CKA_LABEL);
    EXPECT_EQ(types[2], CKA_TOKEN);
    EXPECT_EQ(value_of(*o, CKA_LABEL), (bytes{'s', 'e', 'c', 'o', 'n', 'd'}));
    EXPECT_EQ(o->kind(), object_kind::token_public);
}

TEST(ObjectKind, Table) {
    struct row {
        const char* name;
        bytes token;  // empty vector: absent
        bytes priv;
        object_kind kind;
    };
    const bytes absent;
    const row rows[] = {
        {"both absent", absent, absent, object_kind::session_public},
        {"token 0", F, absent, object_kind::session_public},
        {"token 1", T, absent, object_kind::token_public},
        {"private 1", absent, T, object_kind::session_private},
        {"token 1 private 1", T, T, object_kind::token_private},
        {"token 1 private 0", T, F, object_kind::token_public},
        {"token 0xFF private 0x80", {0xFF}, {0x80}, object_kind::token_private},
        {"two-byte token is not TRUE", {1, 0}, T, object_kind::session_private},
        {"two-byte private is not TRUE", T, {1, 1}, object_kind::token_public},
        {"both two bytes", {1, 1}, {1, 1}, object_kind::session_public},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        pkcs11_object_ref o;
        ASSERT_EQ(pkcs11_object::make_bare(session, CKO_DATA, o), CKR_OK);
        if (!r.token.empty()) {
            ASSERT_EQ(o->attributes().set(CKA_TOKEN, r.token.data(), r.token.size()), CKR_OK);
        }
        if (!r.priv.empty()) {
            ASSERT_EQ(o->attributes().set(CKA_PRIVATE, r.priv.data(), r.priv.size()), CKR_OK);
        }
        EXPECT_EQ(o->kind(), r.kind);
    }
}

TEST(ObjectBuild, BadTemplatesAreRefusedBeforeAnyRead) {
    struct row {
        const char* name;
        template_builder t;
        CK_RV create;  // pkcs11_object::create in a RW user session
    };
    std::deque<row> rows;
    auto add = [&rows](const char* name, CK_RV rv) -> template_builder& {
        rows.push_back(row{name, template_builder(), rv});
        return rows.back().t;
    };
    add("null value with a length", CKR_ATTRIBUTE_VALUE_INVALID).cls(CKO_DATA).raw(CKA_LABEL, nullptr, 5);
    static std::uint8_t some[4] = {1, 2, 3, 4};
    add("length CK_UNAVAILABLE_INFORMATION", CKR_ATTRIBUTE_VALUE_INVALID)
        .cls(CKO_DATA)
        .raw(CKA_VALUE, some, CK_UNAVAILABLE_INFORMATION);
    add("length over the limit", CKR_ATTRIBUTE_VALUE_INVALID)
        .cls(CKO_DATA)
        .raw(CKA_VALUE, some, pkcs11::max_attribute_value_length + 1);
    add("no class", CKR_TEMPLATE_INCONSISTENT).text(CKA_LABEL, "x");
    add("a class the module does not keep", CKR_TEMPLATE_INCONSISTENT).cls(CKO_MECHANISM);
    add("two classes", CKR_TEMPLATE_INCONSISTENT).cls(CKO_DATA).cls(CKO_SECRET_KEY);
    add("a 3-byte class", CKR_TEMPLATE_INCONSISTENT).bytes(CKA_CLASS, {0, 0, 0});
    add("a 4-byte class", CKR_OK).bytes(CKA_CLASS, le32(CKO_DATA));
    add("a native CK_ULONG class", CKR_OK).cls(CKO_DATA);
    add("null value without a length", CKR_OK).cls(CKO_DATA).raw(CKA_APPLICATION, nullptr, 0);
    if (sizeof(CK_ULONG) > 4) {
        // A type beyond 32 bits must not alias CKA_LABEL (3).
        add("type beyond 32 bits", CKR_ATTRIBUTE_TYPE_INVALID)
            .cls(CKO_DATA)
            .text(static_cast<CK_ATTRIBUTE_TYPE>((static_cast<std::uint64_t>(1) << 32) | CKA_LABEL), "x");
    }
    for (row& r : rows) {
        SCOPED_TRACE(r.name);
        pkcs11_object_ref o;
        EXPECT_EQ(pkcs11_object::create(session, access_level::rw_user, r.t.data(), r.t.count(), o), r.create);
        EXPECT_EQ(static_cast<bool>(o), r.create == CKR_OK);
    }
    pkcs11_object_ref o;
    EXPECT_EQ(pkcs11_object::create(session, access_level::rw_user, nullptr, 2, o),
              static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
}

TEST(ObjectCreate, AccessAndVerifierCodes) {
    struct row {
        const char* name;
        access_level level;
        bool token;
        bool priv;
        CK_RV rv;
    };
    const row rows[] = {
        {"session public in RO public", access_level::ro_public, false, false, CKR_OK},
        {"token object in RO user", access_level::ro_user, true, false, CKR_SESSION_READ_ONLY},
        {"private object in RW public", access_level::rw_public, false, true, CKR_USER_NOT_LOGGED_IN},
        {"token private in RW user", access_level::rw_user, true, true, CKR_OK},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        template_builder t;
        t.cls(CKO_DATA).boolean(CKA_TOKEN, r.token).boolean(CKA_PRIVATE, r.priv);
        pkcs11_object_ref o;
        EXPECT_EQ(pkcs11_object::create(session, r.level, t.data(), t.count(), o), r.rv);
    }
    // The verifier's code comes through after access.
    template_builder t;
    t.cls(CKO_DATA).boolean(CKA_LOCAL, false);
    pkcs11_object_ref o;
    EXPECT_EQ(pkcs11_object::create(session, access_level::rw_user, t.data(), t.count(), o),
              static_cast<CK_RV>(CKR_TEMPLATE_INCONSISTENT));
}

// A sensitive private key with a few values to read.
pkcs11_object_ref sensitive_key() {
    template_builder t;
    t.cls(CKO_PRIVATE_KEY)
        .text(CKA_LABEL, "key label")
        .bytes(CKA_MODULUS, bytes(128, 0xC3))
        .bytes(CKA_PRIVATE_EXPONENT, bytes(128, 0x5A))
        .bytes(CKA_VALUE, {1, 2, 3});
    return build(t);
}

TEST(GetAttributeValue, EveryEntryIsProcessedAndTheLastFailureIsReturned) {
    const pkcs11_object_ref key = sensitive_key();
    ASSERT_TRUE(key->verifier().is_sensitive());
    std::uint8_t label[4];
    std::uint8_t cls[sizeof(CK_ULONG)];
    std::memset(cls, 0xAA, sizeof cls);
    std::uint8_t modulus[200];
    std::uint8_t value[16];
    std::uint8_t exponent[200];
    CK_ATTRIBUTE entries[] = {
        {CKA_VALUE, value, sizeof value},                     // sensitive
        {CKA_CLASS, cls, sizeof cls},                         // filled, widened
        {CKA_ID, nullptr, 0},                                 // absent
        {CKA_LABEL, label, sizeof label},                     // short
        {CKA_MODULUS, nullptr, 0},                            // size query
        {CKA_MODULUS, modulus, sizeof modulus},               // filled
        {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent},    // sensitive
    };
    EXPECT_EQ(key->get_attribute_values(access_level::rw_user, entries, 7),
              static_cast<CK_RV>(CKR_ATTRIBUTE_SENSITIVE));
    EXPECT_EQ(entries[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(entries[1].ulValueLen, sizeof(CK_ULONG));
    CK_ULONG c = 0;
    std::memcpy(&c, cls, sizeof c);
    EXPECT_EQ(c, static_cast<CK_ULONG>(CKO_PRIVATE_KEY));
    EXPECT_EQ(entries[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(entries[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(entries[4].ulValueLen, 128u);
    EXPECT_EQ(entries[5].ulValueLen, 128u);
    EXPECT_EQ(modulus[127], 0xC3);
    EXPECT_EQ(entries[6].ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // The code of the last failing entry, whichever it is.
    struct order {
        CK_ATTRIBUTE_TYPE last;
        CK_ULONG length;
        CK_RV rv;
    };
    const order orders[] = {
        {CKA_ID, 10, CKR_ATTRIBUTE_TYPE_INVALID},
        {CKA_LABEL, 2, CKR_BUFFER_TOO_SMALL},
        {CKA_VALUE, 10, CKR_ATTRIBUTE_SENSITIVE},
        {CKA_LABEL, 9, CKR_ATTRIBUTE_SENSITIVE},  // the last entry succeeds
    };
    for (const order& o : orders) {
        std::uint8_t a[16];
        std::uint8_t b[16];
        CK_ATTRIBUTE two[] = {{CKA_VALUE, a, sizeof a}, {o.last, b, o.length}};
        EXPECT_EQ(key->get_attribute_values(access_level::rw_user, two, 2), o.rv) << o.last;
    }
}

TEST(GetAttributeValue, NumbersComeAsTheCallersCkUlongInSizeQueriesToo) {
    template_builder t;
    t.cls(CKO_SECRET_KEY).bytes(CKA_KEY_TYPE, {static_cast<std::uint8_t>(CKK_AES)}).bytes(CKA_VALUE, bytes(16, 7));
    const pkcs11_object_ref key = build(t);
    const CK_ATTRIBUTE_TYPE numbers[] = {CKA_CLASS, CKA_KEY_TYPE, CKA_KEY_GEN_MECHANISM, CKA_VENDOR_STORE_INDEX,
                                         CKA_VENDOR_CARD_KEY_ID};
    // A stored -1 is "unavailable" in the caller's CK_ULONG, all ones in
    // every bit of it.
    const CK_ULONG expected[] = {CKO_SECRET_KEY, CKK_AES, CK_UNAVAILABLE_INFORMATION, CK_UNAVAILABLE_INFORMATION,
                                 CK_UNAVAILABLE_INFORMATION};
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(numbers[i]);
        CK_ATTRIBUTE query{numbers[i], nullptr, 0};
        ASSERT_EQ(key->get_attribute_values(access_level::rw_user, &query, 1), CKR_OK);
        EXPECT_EQ(query.ulValueLen, sizeof(CK_ULONG));
        CK_ULONG v;
        std::memset(&v, 0xAA, sizeof v);
        CK_ATTRIBUTE get{numbers[i], &v, sizeof v};
        ASSERT_EQ(key->get_attribute_values(access_level::rw_user, &get, 1), CKR_OK);
        EXPECT_EQ(get.ulValueLen, sizeof(CK_ULONG));
        EXPECT_EQ(v, expected[i]);
        if (sizeof(CK_ULONG) > 4) {
            std::uint32_t narrow = 0;
            CK_ATTRIBUTE short_buffer{numbers[i], &narrow, sizeof narrow};
            EXPECT_EQ(key->get_attribute_values(access_level::rw_user, &short_buffer, 1),
                      static_cast<CK_RV>(CKR_BUFFER_TOO_SMALL));
            EXPECT_EQ(short_buffer.ulValueLen, CK_UNAVAILABLE_INFORMATION);
        }
    }
}

// A caller's -1 is kept as the same four bytes the token has always stored,
// comes back as the caller's -1 after a trip through the byte form, and only
// all ones is taken for "unavailable": the numbers around it are zero-extended.
TEST(GetAttributeValue, AStoredMinusOneIsUnavailableAfterTheByteFormToo) {
    struct row {
        const char* name;
        CK_ULONG given;
        bytes stored;
        CK_ULONG read;
    };
    const row rows[] = {
        {"unavailable", CK_UNAVAILABLE_INFORMATION, {0xFF, 0xFF, 0xFF, 0xFF}, CK_UNAVAILABLE_INFORMATION},
        {"one below", 0xFFFFFFFEu, {0xFE, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFEu},
        {"top bit only", 0x80000000u, {0x00, 0x00, 0x00, 0x80}, 0x80000000u},
        {"a mechanism", CKM_AES_KEY_GEN, le32(CKM_AES_KEY_GEN), CKM_AES_KEY_GEN},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        template_builder t;
        t.cls(CKO_SECRET_KEY).bytes(CKA_VALUE, bytes(16, 7)).ulong(CKA_KEY_GEN_MECHANISM, r.given);
        const pkcs11_object_ref key = build(t);
        EXPECT_EQ(value_of(*key, CKA_KEY_GEN_MECHANISM), r.stored);

        std::size_t n = 0;
        ASSERT_EQ(key->serialise(nullptr, n), static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
        bytes blob(n);
        ASSERT_EQ(key->serialise(blob.data(), n), CKR_OK);
        // The record in the byte form: type, length 4, the stored bytes.
        bytes record = le32(CKA_KEY_GEN_MECHANISM);
        const bytes four = le32(4);
        record.insert(record.end(), four.begin(), four.end());
        record.insert(record.end(), r.stored.begin(), r.stored.end());
        EXPECT_NE(std::search(blob.begin(), blob.end(), record.begin(), record.end()), blob.end());

        pkcs11_object_ref back;
        ASSERT_EQ(pkcs11_object::from_blob(0, blob.data(), blob.size(), back), CKR_OK);
        for (const pkcs11_object* o : {&*key, &*back}) {
            CK_ULONG v = 0;
            CK_ATTRIBUTE get{CKA_KEY_GEN_MECHANISM, &v, sizeof v};
            ASSERT_EQ(o->get_attribute_values(access_level::rw_user, &get, 1), CKR_OK);
            EXPECT_EQ(v, r.read);
        }
    }
}

TEST(GetAttributeValue, APrivateObjectInAPublicSessionGivesSensitiveForTheWholeCall) {
    template_builder t;
    t.cls(CKO_DATA).boolean(CKA_PRIVATE, true).bytes(CKA_VALUE, {1});
    const pkcs11_object_ref o = build(t);
    std::uint8_t label[64];
    CK_ATTRIBUTE entries[] = {{CKA_LABEL, label, sizeof label}, {CKA_VALUE, nullptr, 0}};
    for (access_level level : {access_level::ro_public, access_level::rw_public, access_level::rw_so}) {
        entries[0].ulValueLen = sizeof label;
        entries[1].ulValueLen = 0;
        EXPECT_EQ(o->get_attribute_values(level, entries, 2), static_cast<CK_RV>(CKR_ATTRIBUTE_SENSITIVE));
        EXPECT_EQ(entries[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
        EXPECT_EQ(entries[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    }
    entries[0].ulValueLen = sizeof label;
    EXPECT_EQ(o->get_attribute_values(access_level::ro_user, entries, 2), CKR_OK);
    EXPECT_EQ(entries[1].ulValueLen, 1u);
    EXPECT_EQ(o->get_attribute_values(access_level::ro_user, nullptr, 1), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
}

TEST(ObjectSize, CountsTheLengthsCallersSee) {
    pkcs11_object_ref o;
    ASSERT_EQ(pkcs11_object::make_bare(session, CKO_DATA, o), CKR_OK);
    ASSERT_EQ(o->attributes().set_bool(CKA_TOKEN, false), CKR_OK);
    ASSERT_EQ(o->attributes().set(CKA_LABEL, "thirteen char", 13), CKR_OK);
    // 4 + 1 + 13 and three headers on a 4-byte CK_ULONG; CKA_CLASS is 8 on LP64.
    EXPECT_EQ(o->object_size(), sizeof(CK_ULONG) + 1 + 13 + 24);
    std::size_t n = 0;
    EXPECT_EQ(o->serialise(nullptr, n), static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
    EXPECT_EQ(n, 42u);  // the stored form is the same on every build
}

struct store_spy {
    CK_RV result = CKR_OK;
    int calls = 0;
    bytes seen_label;
    pkcs11_object::store_fn fn() {
        return [this](const pkcs11_object&, const pkcs11::pkcs11_attribute_mgr& updated) {
            ++calls;
            const auto* l = updated.find(CKA_LABEL);
            seen_label = l ? l->value : bytes{};
            return result;
        };
    }
};

TEST(SetAttributeValue, ChangesAreCommittedOnlyAfterTheStoreSucceeds) {
    template_builder t;
    t.cls(CKO_DATA).boolean(CKA_TOKEN, true).text(CKA_LABEL, "old");
    const pkcs11_object_ref o = build(t);
    template_builder change;
    change.text(CKA_LABEL, "new").bytes(CKA_VALUE, {9, 9});
    store_spy spy;
    spy.result = CKR_DEVICE_ERROR;
    EXPECT_EQ(o->set_attribute_values(access_level::rw_user, CKS_RW_USER_FUNCTIONS, change.data(), change.count(),
                                      spy.fn()),
              static_cast<CK_RV>(CKR_DEVICE_ERROR));
    EXPECT_EQ(spy.seen_label, (bytes{'n', 'e', 'w'}));
    EXPECT_EQ(value_of(*o, CKA_LABEL), (bytes{'o', 'l', 'd'}));
    EXPECT_TRUE(value_of(*o, CKA_VALUE).empty());
    spy.result = CKR_OK;
    EXPECT_EQ(o->set_attribute_values(access_level::rw_user, CKS_RW_USER_FUNCTIONS, change.data(), change.count(),
                                      spy.fn()),
              CKR_OK);
    EXPECT_EQ(value_of(*o, CKA_LABEL), (bytes{'n', 'e', 'w'}));
    EXPECT_EQ(value_of(*o, CKA_VALUE), (bytes{9, 9}));
    EXPECT_EQ(spy.calls, 2);
}

TEST(SetAttributeValue, RefusalCodes) {
    struct row {
        const char* name;
        CK_OBJECT_CLASS c;
        bool modifiable;
        access_level level;
        CK_ATTRIBUTE_TYPE type;
        CK_RV rv;
    };
    const row rows[] = {
        {"not modifiable", CKO_DATA, false, access_level::rw_user, CKA_LABEL, CKR_ATTRIBUTE_READ_ONLY},
        {"a type the class keeps", CKO_DATA, true, access_level::rw_user, CKA_CLASS, CKR_ATTRIBUTE_READ_ONLY},
        {"token object in a RO session", CKO_DATA, true, access_level::ro_user, CKA_LABEL, CKR_SESSION_READ_ONLY},
        {"secret value of a sensitive key", CKO_SECRET_KEY, true, access_level::rw_user, CKA_VALUE,
         CKR_ATTRIBUTE_READ_ONLY},  // the secret-key class never changes CKA_VALUE
        {"allowed", CKO_DATA, true, access_level::rw_user, CKA_APPLICATION, CKR_OK},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        template_builder t;
        t.cls(r.c).boolean(CKA_TOKEN, true).boolean(CKA_MODIFIABLE, r.modifiable).boolean(CKA_PRIVATE, false);
        const pkcs11_object_ref o = build(t);
        template_builder change;
        change.bytes(r.type, {1});
        EXPECT_EQ(o->set_attribute_values(r.level, CKS_RW_USER_FUNCTIONS, change.data(), change.count(), nullptr),
                  r.rv);
    }
    // A data object marked sensitive by hand: its value is refused with
    // CKR_INFORMATION_SENSITIVE.
    template_builder t;
    t.cls(CKO_DATA).boolean(CKA_SENSITIVE, true);
    const pkcs11_object_ref o = build(t);
    template_builder change;
    change.bytes(CKA_VALUE, {1});
    EXPECT_EQ(o->set_attribute_values(access_level::rw_user, CKS_RW_USER_FUNCTIONS, change.data(), change.count(),
                                      nullptr),
              static_cast<CK_RV>(CKR_INFORMATION_SENSITIVE));
    template_builder bad;
    bad.raw(CKA_LABEL, nullptr, 5);
    EXPECT_EQ(o->set_attribute_values(access_level::rw_user, CKS_RW_USER_FUNCTIONS, bad.data(), bad.count(),
                                      nullptr),
              static_cast<CK_RV>(CKR_ATTRIBUTE_VALUE_INVALID));
}

TEST(CopyObject, TheResultingObjectIsCheckedToo) {
    template_builder t;
    t.cls(CKO_DATA).text(CKA_LABEL, "source").bytes(CKA_VALUE, {1, 2});
    const pkcs11_object_ref source = build(t);
    struct row {
        const char* name;
        access_level level;
        template_builder t;
        CK_RV rv;
    };
    std::deque<row> rows;
    auto add = [&rows](const char* name, access_level level, CK_RV rv) -> template_builder& {
        rows.push_back(row{name, level, template_builder(), rv});
        return rows.back().t;
    };
    add("session copy in RO public", access_level::ro_public, CKR_OK).text(CKA_LABEL, "copy");
    add("to a token object from a RO session", access_level::ro_public, CKR_SESSION_READ_ONLY)
        .boolean(CKA_TOKEN, true);
    add("to a private object from a public session", access_level::rw_public, CKR_USER_NOT_LOGGED_IN)
        .boolean(CKA_PRIVATE, true);
    add("to another class", access_level::rw_user, CKR_ATTRIBUTE_READ_ONLY).cls(CKO_SECRET_KEY);
    add("to another class after its own", access_level::rw_user, CKR_ATTRIBUTE_READ_ONLY)
        .cls(CKO_DATA)
        .cls(CKO_CERTIFICATE);
    add("its own class again", access_level::rw_user, CKR_OK).text(CKA_LABEL, "copy").cls(CKO_DATA);
    add("null value with a length", access_level::rw_user, CKR_ATTRIBUTE_VALUE_INVALID).raw(CKA_LABEL, nullptr, 1);
    for (row& r : rows) {
        SCOPED_TRACE(r.name);
        pkcs11_object_ref copy;
        EXPECT_EQ(source->copy_for(session + 1, r.level, r.t.data(), r.t.count(), copy), r.rv);
        if (r.rv != CKR_OK) continue;
        ASSERT_TRUE(copy);
        EXPECT_GT(copy->handle(), source->handle());
        EXPECT_EQ(copy->session(), session + 1);
        EXPECT_EQ(value_of(*copy, CKA_LABEL), (bytes{'c', 'o', 'p', 'y'}));
        EXPECT_EQ(value_of(*copy, CKA_VALUE), (bytes{1, 2}));
        EXPECT_EQ(types_of(*copy), types_of(*source));
    }
}

TEST(Generation, AdditionsChecksAndSensitivity) {
    template_builder pub;
    pub.ulong(CKA_MODULUS_BITS, 2048).bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1});
    pkcs11_object_ref o;
    ASSERT_EQ(pkcs11_object::for_generation(session, access_level::rw_user, CKO_PUBLIC_KEY, CKM_RSA_PKCS_KEY_PAIR_GEN,
                                            pub.data(), pub.count(), o),
              CKR_OK);
    EXPECT_EQ(value_of(*o, CKA_KEY_TYPE), le32(CKK_RSA));
    EXPECT_EQ(value_of(*o, CKA_LOCAL), T);
    EXPECT_EQ(value_of(*o, CKA_KEY_GEN_MECHANISM), le32(CKM_RSA_PKCS_KEY_PAIR_GEN));
    EXPECT_FALSE(o->attributes().has(CKA_NEVER_EXTRACTABLE));
    CK_ULONG bits = 0;
    EXPECT_EQ(o->rsa_modulus_bits(bits), CKR_OK);
    EXPECT_EQ(bits, 2048u);

    template_builder ec;
    ec.bytes(CKA_EC_PARAMS, {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07});
    ASSERT_EQ(pkcs11_object::for_generation(session, access_level::rw_user, CKO_PUBLIC_KEY, CKM_EC_KEY_PAIR_GEN,
                                            ec.data(), ec.count(), o),
              CKR_OK);
    EXPECT_EQ(value_of(*o, CKA_KEY_TYPE), le32(CKK_EC));
    EXPECT_EQ(value_of(*o, CKA_ENCRYPT), F);
    EXPECT_EQ(value_of(*o, CKA_WRAP), F);

    template_builder secret;
    secret.boolean(CKA_EXTRACTABLE, true).boolean(CKA_SENSITIVE, false).ulong(CKA_VALUE_LEN, 16);
    ASSERT_EQ(pkcs11_object::for_generation(session, access_level::rw_user, CKO_SECRET_KEY, CKM_AES_KEY_GEN,
                                            secret.data(), secret.count(), o),
              CKR_OK);
    EXPECT_EQ(value_of(*o, CKA_ALWAYS_SENSITIVE), T);
    EXPECT_EQ(value_of(*o, CKA_NEVER_EXTRACTABLE), T);
    ASSERT_EQ(o->complete_sensitivity(), CKR_OK);
    EXPECT_EQ(value_of(*o, CKA_ALWAYS_SENSITIVE), F);
    EXPECT_EQ(value_of(*o, CKA_NEVER_EXTRACTABLE), F);

    template_builder with_value;
    with_value.bytes(CKA_VALUE, bytes(16, 1));
    EXPECT_EQ(pkcs11_object::for_generation(session, access_level::rw_user, CKO_SECRET_KEY, CKM_AES_KEY_GEN,
                                            with_value.data(), with_value.count(), o),
              static_cast<CK_RV>(CKR_TEMPLATE_INCONSISTENT));
    template_builder other_class;
    other_class.cls(CKO_DATA);
    EXPECT_EQ(pkcs11_object::for_generation(session, access_level::rw_user, CKO_SECRET_KEY, CKM_AES_KEY_GEN,
                                            other_class.data(), other_class.count(), o),
              static_cast<CK_RV>(CKR_TEMPLATE_INCONSISTENT));
    template_builder token;
    token.boolean(CKA_TOKEN, true);
    EXPECT_EQ(pkcs11_object::for_generation(session, access_level::ro_user, CKO_SECRET_KEY, CKM_AES_KEY_GEN,
                                            token.data(), token.count(), o),
              static_cast<CK_RV>(CKR_SESSION_READ_ONLY));
}

TEST(Generation, RsaModulusBits) {
    struct row {
        const char* name;
        template_builder t;
        CK_RV rv;
        CK_ULONG bits;
    };
    std::deque<row> rows;
    auto add = [&rows](const char* name, CK_RV rv, CK_ULONG bits) -> template_builder& {
        rows.push_back(row{name, template_builder(), rv, bits});
        return rows.back().t;
    };
    add("1024 bits", CKR_OK, 1024).ulong(CKA_MODULUS_BITS, 1024);
    add("4096 bits", CKR_KEY_SIZE_RANGE, 0).ulong(CKA_MODULUS_BITS, 4096);
    add("a 256-byte modulus", CKR_OK, 2048).bytes(CKA_MODULUS, bytes(256, 0xF1));
    add("a 100-byte modulus", CKR_KEY_SIZE_RANGE, 0).bytes(CKA_MODULUS, bytes(100, 0xF1));
    add("neither", CKR_ATTRIBUTE_TYPE_INVALID, 0);
    for (row& r : rows) {
        SCOPED_TRACE(r.name);
        r.t.cls(CKO_PUBLIC_KEY);
        const pkcs11_object_ref o = build(r.t);
        CK_ULONG bits = 0;
        EXPECT_EQ(o->rsa_modulus_bits(bits), r.rv);
        EXPECT_EQ(bits, r.bits);
    }
}

TEST(ObjectBlob, AWholeObjectRoundTrips) {
    const pkcs11_object_ref key = sensitive_key();
    std::size_t n = 0;
    ASSERT_EQ(key->serialise(nullptr, n), static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
    bytes blob(n);
    ASSERT_EQ(key->serialise(blob.data(), n), CKR_OK);
    pkcs11_object_ref back;
    ASSERT_EQ(pkcs11_object::from_blob(0, blob.data(), blob.size(), back), CKR_OK);
    EXPECT_EQ(back->object_class(), static_cast<CK_OBJECT_CLASS>(CKO_PRIVATE_KEY));
    EXPECT_NE(back->handle(), key->handle());
    EXPECT_EQ(types_of(*back), types_of(*key));
    EXPECT_EQ(value_of(*back, CKA_MODULUS), bytes(128, 0xC3));
    EXPECT_TRUE(back->verifier().is_sensitive());

    pkcs11::pkcs11_attribute_mgr no_class;
    ASSERT_EQ(no_class.set(CKA_LABEL, "x", 1), CKR_OK);
    bytes b(no_class.blob_size());
    n = b.size();
    ASSERT_EQ(no_class.serialise(b.data(), n), CKR_OK);
    EXPECT_EQ(pkcs11_object::from_blob(0, b.data(), b.size(), back), static_cast<CK_RV>(CKR_ATTRIBUTE_TYPE_INVALID));
    EXPECT_EQ(pkcs11_object::from_blob(0, b.data(), b.size() - 1, back), static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
}

TEST(ObjectReferences, AnObjectOutlivesItsListWhileSomebodyHoldsIt) {
    pkcs11::pkcs11_object_mgr list;
    template_builder t;
    t.cls(CKO_SECRET_KEY).bytes(CKA_VALUE, bytes(16, 0x42));
    pkcs11_object_ref held = build(t);
    const CK_OBJECT_HANDLE h = held->handle();
    ASSERT_EQ(list.append(held), 1u);
    EXPECT_EQ(list.append(held), 0u);  // listed once only
    EXPECT_EQ(held->references(), 2u);
    EXPECT_TRUE(held->listed());
    ASSERT_TRUE(list.remove(h));
    EXPECT_FALSE(list.remove(h));
    EXPECT_FALSE(list.find(h));
    // Still valid: AddressSanitizer would catch a read of freed memory.
    EXPECT_FALSE(held->listed());
    EXPECT_EQ(held->references(), 1u);
    EXPECT_EQ(value_of(*held, CKA_VALUE), bytes(16, 0x42));
    held.reset();
}

TEST(ObjectList, RemovalWalks) {
    pkcs11::pkcs11_object_mgr list;
    struct spec {
        CK_OBJECT_CLASS c;
        bool token;
        bool priv;
        CK_SESSION_HANDLE s;
    };
    const spec specs[] = {
        {CKO_DATA, false, false, 1000},        {CKO_DATA, false, true, 1001},   {CKO_DATA, true, true, 0},
        {CKO_DATA, true, false, 0},            {CKO_CERTIFICATE, true, false, 0}, {CKO_PUBLIC_KEY, true, false, 0},
        {CKO_PRIVATE_KEY, true, true, 0},      {CKO_SECRET_KEY, true, true, 0}, {CKO_SECRET_KEY, false, true, 1000},
    };
    auto fill = [&] {
        list.clear();
        for (const spec& s : specs) {
            template_builder t;
            t.cls(s.c).boolean(CKA_TOKEN, s.token).boolean(CKA_PRIVATE, s.priv);
            pkcs11_object_ref o;
            ASSERT_EQ(pkcs11_object::build(s.s, any_class, t.data(), t.count(), o), CKR_OK);
            list.append(o);
        }
    };
    fill();
    const CK_OBJECT_HANDLE first = list.at(0)->handle();
    EXPECT_EQ(list.remove_session_objects(1000), 2u);
    EXPECT_EQ(list.count(), 7u);
    EXPECT_EQ(list.index_of(first), list.count());
    fill();
    EXPECT_EQ(list.remove_private_data_objects(), 2u);
    fill();
    EXPECT_EQ(list.remove_certificates_and_keys(), 3u);
    // The kept ones stay in their order.
    EXPECT_EQ(list.at(3)->object_class(), static_cast<CK_OBJECT_CLASS>(CKO_DATA));
    EXPECT_EQ(list.at(4)->object_class(), static_cast<CK_OBJECT_CLASS>(CKO_SECRET_KEY));
    EXPECT_LT(list.at(0)->handle(), list.at(1)->handle());
    fill();
    EXPECT_EQ(list.remove_token_objects(), 6u);
    EXPECT_EQ(list.count(), 3u);
    for (std::size_t i = 0; i < list.count(); ++i) EXPECT_FALSE(list.at(i)->is_token_object());
}

}  // namespace
