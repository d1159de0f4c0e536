// The finder over a token's object list: matching by template, visibility,
// resuming across calls, on-demand value reads, and objects leaving the list
// during a search.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "objects/object_finder.h"
#include "template_builder.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using handles = std::vector<CK_OBJECT_HANDLE>;
using objects_test::template_builder;
using pkcs11::access_level;
using pkcs11::pkcs11_object;
using pkcs11::pkcs11_object_finder;
using pkcs11::pkcs11_object_ref;

// The card as the finder reaches it: the values of token objects, read once.
class scripted_reader : public pkcs11::pkcs11_object_value_reader {
public:
    CK_RV read_values(pkcs11_object& object) override {
        if (object.values_loaded()) return CKR_OK;
        ++reads[object.handle()];
        if (on_read) on_read();
        if (failing.count(object.handle())) return CKR_DEVICE_ERROR;
        auto it = card.find(object.handle());
        if (it != card.end()) {
            const CK_RV rv = object.attributes().set(CKA_VALUE, it->second.data(), it->second.size());
            if (rv != CKR_OK) return rv;
        }
        object.set_values_loaded(true);
        return CKR_OK;
    }
    std::map<CK_OBJECT_HANDLE, bytes> card;
    std::map<CK_OBJECT_HANDLE, int> reads;
    std::set<CK_OBJECT_HANDLE> failing;
    std::function<void()> on_read;
};

class ObjectFinder : public testing::Test {
protected:
    CK_OBJECT_HANDLE add(template_builder& t) {
        pkcs11_object_ref o;
        EXPECT_EQ(pkcs11_object::build(1000, CK_UNAVAILABLE_INFORMATION, t.data(), t.count(), o),
                  static_cast<CK_RV>(CKR_OK));
        EXPECT_NE(list.append(o), 0u);
        return o->handle();
    }

    void SetUp() override {
        template_builder t1;
        t1.cls(CKO_DATA).text(CKA_LABEL, "alpha").bytes(CKA_ID, {1}).bytes(CKA_VALUE, {1, 2, 3});
        alpha = add(t1);
        template_builder t2;
        t2.cls(CKO_DATA).text(CKA_LABEL, "beta").boolean(CKA_PRIVATE, true).bytes(CKA_VALUE, {4});
        beta = add(t2);
        template_builder t3;  // stored label with its NUL; value on the card only
        t3.cls(CKO_DATA).bytes(CKA_LABEL, {'g', 'a', 'm', 'm', 'a', 0}).boolean(CKA_TOKEN, true);
        gamma = add(t3);
        reader.card[gamma] = {1, 2, 3};
        template_builder t4;
        t4.cls(CKO_SECRET_KEY)
            .text(CKA_LABEL, "key1")
            .bytes(CKA_ID, {'k', '1'})
            .boolean(CKA_TOKEN, true)
            .bytes(CKA_KEY_TYPE, {static_cast<std::uint8_t>(CKK_AES)})
            .bytes(CKA_VALUE, bytes(16, 0x11));
        key = add(t4);
        template_builder t5;
        t5.cls(CKO_PUBLIC_KEY)
            .text(CKA_LABEL, "pub")
            .bytes(CKA_ID, {'k', '1'})
            .boolean(CKA_TOKEN, true)
            .bytes(CKA_MODULUS, {9, 9, 9})
            .bytes(CKA_VALUE, {1, 2, 3});
        pub = add(t5);
        template_builder t6;
        t6.cls(CKO_DATA).text(CKA_LABEL, "empty");
        empty = add(t6);
    }

    handles search(template_builder& t, access_level level = access_level::rw_user) {
        pkcs11_object_finder finder(list, &reader);
        EXPECT_EQ(finder.init(t.data(), t.count()), static_cast<CK_RV>(CKR_OK));
        handles out(100);
        CK_ULONG n = 0;
        EXPECT_EQ(finder.find(level, out.data(), static_cast<CK_ULONG>(out.size()), &n),
                  static_cast<CK_RV>(CKR_OK));
        out.resize(n);
        return out;
    }

    pkcs11::pkcs11_object_mgr list;
    scripted_reader reader;
    CK_OBJECT_HANDLE alpha = 0, beta = 0, gamma = 0, key = 0, pub = 0, empty = 0;
};

TEST_F(ObjectFinder, Templates) {
    struct row {
        const char* name;
        std::function<void(template_builder&)> fill;
        handles expected;
    };
    const bytes abc{1, 2, 3};
    const row rows[] = {
        {"empty template", [](template_builder&) {}, {alpha, beta, gamma, key, pub, empty}},
        {"class", [](template_builder& t) { t.cls(CKO_DATA); }, {alpha, beta, gamma, empty}},
        {"4-byte class", [](template_builder& t) { t.bytes(CKA_CLASS, {4, 0, 0, 0}); }, {key}},
        {"class and id", [](template_builder& t) { t.cls(CKO_PUBLIC_KEY).bytes(CKA_ID, {'k', '1'}); }, {pub}},
        {"id", [](template_builder& t) { t.bytes(CKA_ID, {'k', '1'}); }, {key, pub}},
        {"1-byte key type", [](template_builder& t) { t.bytes(CKA_KEY_TYPE, {0x1f}); }, {key}},
        {"label", [](template_builder& t) { t.text(CKA_LABEL, "alpha"); }, {alpha}},
        {"label with its NUL against one stored without",
         [](template_builder& t) { t.bytes(CKA_LABEL, {'a', 'l', 'p', 'h', 'a', 0}); }, {}},
        {"label stored with NUL", [](template_builder& t) { t.text(CKA_LABEL, "gamma"); }, {gamma}},
        {"label prefix", [](template_builder& t) { t.text(CKA_LABEL, "alph"); }, {}},
        {"value, read from the card for token objects",
         [abc](template_builder& t) { t.bytes(CKA_VALUE, abc); }, {alpha, gamma, pub}},
        {"value and modulus: both must match",
         [abc](template_builder& t) { t.bytes(CKA_VALUE, abc).bytes(CKA_MODULUS, {9, 9, 9}); }, {pub}},
        {"modulus and value in the other order",
         [abc](template_builder& t) { t.bytes(CKA_MODULUS, {9, 9, 9}).bytes(CKA_VALUE, abc); }, {pub}},
        {"modulus and a value it does not have",
         [](template_builder& t) { t.bytes(CKA_MODULUS, {9, 9, 9}).bytes(CKA_VALUE, {7}); }, {}},
        {"empty value matches only empty values",
         [](template_builder& t) { t.bytes(CKA_VALUE, {}); }, {empty}},
        {"class and empty value", [](template_builder& t) { t.cls(CKO_DATA).bytes(CKA_VALUE, {}); }, {empty}},
        {"an attribute nobody has", [](template_builder& t) { t.bytes(CKA_SERIAL_NUMBER, {1}); }, {}},
        {"repeated label: the later holds",
         [](template_builder& t) { t.text(CKA_LABEL, "alpha").text(CKA_LABEL, "beta"); }, {beta}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        template_builder t;
        r.fill(t);
        EXPECT_EQ(search(t), r.expected);
    }
    // The token data object's value was read once, however many searches.
    EXPECT_EQ(reader.reads[gamma], 1);
}

TEST_F(ObjectFinder, PrivateObjectsOnlyForTheUser) {
    template_builder t;
    for (access_level level : {access_level::ro_public, access_level::rw_public, access_level::rw_so})
        EXPECT_EQ(search(t, level), (handles{alpha, gamma, pub, empty}));
    for (access_level level : {access_level::ro_user, access_level::rw_user})
        EXPECT_EQ(search(t, level), (handles{alpha, beta, gamma, key, pub, empty}));
}

TEST_F(ObjectFinder, AFailingValueReadIsANonMatchNotAnError) {
    reader.failing.insert(gamma);
    template_builder t;
    t.bytes(CKA_VALUE, {1, 2, 3});
    EXPECT_EQ(search(t), (handles{alpha, pub}));
}

TEST_F(ObjectFinder, ASearchResumesAcrossCalls) {
    for (int i = 0; i < 3; ++i) {
        template_builder t;
        t.cls(CKO_SECRET_KEY).text(CKA_LABEL, "key1");
        add(t);
    }
    pkcs11_object_finder finder(list, &reader);
    template_builder t;
    t.cls(CKO_SECRET_KEY);
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    std::vector<CK_ULONG> counts;
    handles all;
    for (int call = 0; call < 5; ++call) {
        CK_OBJECT_HANDLE out[2] = {0, 0};
        CK_ULONG n = 99;
        ASSERT_EQ(finder.find(access_level::rw_user, out, 2, &n), CKR_OK);
        counts.push_back(n);
        all.insert(all.end(), out, out + n);
    }
    EXPECT_EQ(counts, (std::vector<CK_ULONG>{2, 2, 0, 0, 0}));
    EXPECT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0], key);
    EXPECT_EQ(std::set<CK_OBJECT_HANDLE>(all.begin(), all.end()).size(), 4u);

    // 5 hits in steps of 2: 2, 2, 1, then 0.
    template_builder more;
    more.cls(CKO_SECRET_KEY);
    add(more);
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    counts.clear();
    for (int call = 0; call < 4; ++call) {
        CK_OBJECT_HANDLE out[2];
        CK_ULONG n = 0;
        ASSERT_EQ(finder.find(access_level::rw_user, out, 2, &n), CKR_OK);
        counts.push_back(n);
    }
    EXPECT_EQ(counts, (std::vector<CK_ULONG>{2, 2, 1, 0}));
}

TEST_F(ObjectFinder, APureCountAdvancesLikeAnyCall) {
    pkcs11_object_finder finder(list, &reader);
    template_builder t;
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    CK_ULONG n = 0;
    ASSERT_EQ(finder.find(access_level::rw_user, nullptr, 0, &n), CKR_OK);
    EXPECT_EQ(n, 6u);
    CK_OBJECT_HANDLE out[8];
    ASSERT_EQ(finder.find(access_level::rw_user, out, 8, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    // A maximum of 0 with an array gives nothing and keeps the position.
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    ASSERT_EQ(finder.find(access_level::rw_user, out, 0, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(finder.find(access_level::rw_user, out, 1, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(out[0], alpha);
    EXPECT_EQ(finder.find(access_level::rw_user, out, 1, nullptr), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
}

TEST_F(ObjectFinder, DestroyingTheNextObjectEndsTheSearchSafely) {
    pkcs11_object_finder finder(list, &reader);
    template_builder t;
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    CK_OBJECT_HANDLE out[8];
    CK_ULONG n = 0;
    ASSERT_EQ(finder.find(access_level::rw_user, out, 2, &n), CKR_OK);
    ASSERT_EQ(n, 2u);
    // gamma is next: destroy it (the list drops its last reference, so the
    // object is freed; AddressSanitizer watches the later calls).
    ASSERT_TRUE(list.remove(gamma));
    for (int call = 0; call < 2; ++call) {
        ASSERT_EQ(finder.find(access_level::rw_user, out, 8, &n), CKR_OK);
        EXPECT_EQ(n, 0u);
    }
    EXPECT_TRUE(finder.active());
    finder.final();
    EXPECT_EQ(finder.find(access_level::rw_user, out, 8, &n), static_cast<CK_RV>(CKR_OPERATION_NOT_INITIALIZED));
}

// A logout in another session drops private data objects, certificates and
// keys from the list while this search is open: the search carries on from
// its remembered object.
TEST_F(ObjectFinder, ObjectsLeavingBeforeThePositionDoNotDisturbTheSearch) {
    template_builder last;
    last.cls(CKO_DATA).text(CKA_LABEL, "last");
    const CK_OBJECT_HANDLE last_handle = add(last);
    pkcs11_object_finder finder(list, &reader);
    template_builder t;
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    CK_OBJECT_HANDLE out[8];
    CK_ULONG n = 0;
    ASSERT_EQ(finder.find(access_level::rw_user, out, 5, &n), CKR_OK);
    ASSERT_EQ(n, 5u);  // alpha .. pub; empty is next
    EXPECT_EQ(list.remove_private_data_objects(), 1u);
    EXPECT_EQ(list.remove_certificates_and_keys(), 1u);
    ASSERT_EQ(finder.find(access_level::rw_user, out, 8, &n), CKR_OK);
    EXPECT_EQ(handles(out, out + n), (handles{empty, last_handle}));
}

// The card goes away while the finder reads an object's value, and the
// token drops its objects: the finder's own reference keeps the object it is
// matching alive, and the search ends.
TEST_F(ObjectFinder, TheListEmptiedDuringAValueReadEndsTheSearchSafely) {
    reader.on_read = [this] { list.remove_token_objects(); };
    pkcs11_object_finder finder(list, &reader);
    template_builder t;
    t.bytes(CKA_VALUE, {1, 2, 3});
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    CK_OBJECT_HANDLE out[8];
    CK_ULONG n = 0;
    ASSERT_EQ(finder.find(access_level::rw_user, out, 8, &n), CKR_OK);
    // alpha before the read; gamma left the list during its own read (it
    // stayed valid on the finder's reference) and is no hit.
    EXPECT_EQ(handles(out, out + n), (handles{alpha}));
    ASSERT_EQ(finder.find(access_level::rw_user, out, 8, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(list.count(), 3u);
}

TEST_F(ObjectFinder, InitChecksTheTemplate) {
    pkcs11_object_finder finder(list, &reader);
    CK_ULONG n = 0;
    CK_OBJECT_HANDLE out[1];
    EXPECT_EQ(finder.find(access_level::rw_user, out, 1, &n), static_cast<CK_RV>(CKR_OPERATION_NOT_INITIALIZED));
    template_builder bad;
    bad.raw(CKA_LABEL, nullptr, 5);
    EXPECT_EQ(finder.init(bad.data(), bad.count()), static_cast<CK_RV>(CKR_ATTRIBUTE_VALUE_INVALID));
    EXPECT_FALSE(finder.active());
    EXPECT_EQ(finder.init(nullptr, 1), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
    std::uint8_t v = 0;
    template_builder huge;
    huge.raw(CKA_VALUE, &v, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(finder.init(huge.data(), huge.count()), static_cast<CK_RV>(CKR_ATTRIBUTE_VALUE_INVALID));
    // A second init replaces the first search.
    template_builder a;
    a.text(CKA_LABEL, "alpha");
    template_builder b;
    b.text(CKA_LABEL, "beta");
    ASSERT_EQ(finder.init(a.data(), a.count()), CKR_OK);
    ASSERT_EQ(finder.init(b.data(), b.count()), CKR_OK);
    ASSERT_EQ(finder.find(access_level::rw_user, out, 1, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(out[0], beta);
}

TEST_F(ObjectFinder, InternalSearchesSeeEverythingUpToSixtyFour) {
    for (int i = 0; i < 70; ++i) {
        template_builder t;
        t.cls(CKO_DATA).bytes(CKA_ID, {'k', '1'}).boolean(CKA_PRIVATE, true);
        add(t);
    }
    pkcs11_object_finder finder(list, &reader);
    template_builder t;
    t.bytes(CKA_ID, {'k', '1'});
    ASSERT_EQ(finder.init(t.data(), t.count()), CKR_OK);
    handles found;
    ASSERT_EQ(finder.find_internal(found), CKR_OK);
    ASSERT_EQ(found.size(), pkcs11_object_finder::internal_limit);
    EXPECT_EQ(found[0], key);
    EXPECT_EQ(found[1], pub);
}

}  // namespace
