// The attribute list: the stored-form rule, the equal-value rule of
// searches, and the byte form the token keeps objects in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "objects/attribute_mgr.h"
#include "template_builder.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using objects_test::le32;
using pkcs11::pkcs11_attribute_mgr;

bytes blob_of(const pkcs11_attribute_mgr& a) {
    std::size_t n = 0;
    EXPECT_EQ(a.serialise(nullptr, n), static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
    bytes out(n);
    EXPECT_EQ(a.serialise(out.data(), n), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(n, out.size());
    return out;
}

bytes record(std::uint32_t type, const bytes& value) {
    bytes r = le32(type);
    const bytes n = le32(static_cast<std::uint32_t>(value.size()));
    r.insert(r.end(), n.begin(), n.end());
    r.insert(r.end(), value.begin(), value.end());
    return r;
}

TEST(AttributeMgr, FixedWidthValuesAreStoredInFourBytesWhateverTheCallerGives) {
    pkcs11_attribute_mgr a;
    const std::uint8_t one_byte = CKK_AES;  // 0x1f
    ASSERT_EQ(a.set(CKA_KEY_TYPE, &one_byte, 1), CKR_OK);
    const std::uint8_t eight[8] = {0x10, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
    ASSERT_EQ(a.set(CKA_VALUE_LEN, eight, sizeof eight), CKR_OK);
    ASSERT_EQ(a.set(CKA_VENDOR_STORE_INDEX, eight, 2), CKR_OK);
    EXPECT_EQ(a.find(CKA_KEY_TYPE)->value, (bytes{0x1f, 0, 0, 0}));
    EXPECT_EQ(a.find(CKA_VALUE_LEN)->value, (bytes{0x10, 0, 0, 0}));
    EXPECT_EQ(a.find(CKA_VENDOR_STORE_INDEX)->value, (bytes{0x10, 0, 0, 0}));
    // Other types keep what they were given.
    ASSERT_EQ(a.set(CKA_LABEL, eight, 3), CKR_OK);
    EXPECT_EQ(a.find(CKA_LABEL)->value.size(), 3u);
    // The byte form writes length 4 for the 1-byte key type.
    const bytes blob = blob_of(a);
    EXPECT_EQ(bytes(blob.begin(), blob.begin() + 12), record(CKA_KEY_TYPE, {0x1f, 0, 0, 0}));
}

TEST(AttributeMgr, ReplacingAValueKeepsItsPlace) {
    pkcs11_attribute_mgr a;
    ASSERT_EQ(a.set(CKA_LABEL, "one", 3), CKR_OK);
    ASSERT_EQ(a.set_bool(CKA_TOKEN, true), CKR_OK);
    ASSERT_EQ(a.set(CKA_LABEL, "second", 6), CKR_OK);
    ASSERT_EQ(a.count(), 2u);
    EXPECT_EQ(a.records()[0].type, CKA_LABEL);
    EXPECT_EQ(a.records()[0].value, (bytes{'s', 'e', 'c', 'o', 'n', 'd'}));
    EXPECT_EQ(a.set(CKA_LABEL, nullptr, 4), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
    EXPECT_EQ(a.records()[0].value.size(), 6u);
}

TEST(AttributeMgr, GetGivesLengthsValuesAndTheFailureCodes) {
    pkcs11_attribute_mgr a;
    ASSERT_EQ(a.set(CKA_ID, "abcdef", 6), CKR_OK);
    CK_ULONG n = 0;
    EXPECT_EQ(a.get(CKA_ID, nullptr, n), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(n, 6u);
    std::uint8_t buffer[8] = {};
    n = 5;
    EXPECT_EQ(a.get(CKA_ID, buffer, n), static_cast<CK_RV>(CKR_BUFFER_TOO_SMALL));
    EXPECT_EQ(n, CK_UNAVAILABLE_INFORMATION);
    n = sizeof buffer;
    EXPECT_EQ(a.get(CKA_ID, buffer, n), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(buffer[5], 'f');
    n = sizeof buffer;
    EXPECT_EQ(a.get(CKA_LABEL, buffer, n), static_cast<CK_RV>(CKR_ATTRIBUTE_TYPE_INVALID));
    EXPECT_EQ(n, CK_UNAVAILABLE_INFORMATION);
}

// Every kind of value the module keeps survives the byte form exactly,
// in order, and the form is the documented one byte for byte.
TEST(AttributeBlob, EveryAttributeTypeRoundTrips) {
    pkcs11_attribute_mgr a;
    const std::uint8_t date[8] = {'2', '0', '2', '6', '1', '2', '1', '0'};
    bytes big(4096);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_EQ(a.set_u32(CKA_CLASS, CKO_SECRET_KEY), CKR_OK);              // fixed width
    ASSERT_EQ(a.set_bool(CKA_TOKEN, true), CKR_OK);                       // boolean
    ASSERT_EQ(a.set(CKA_LABEL, "key\0", 4), CKR_OK);                      // text with its NUL
    ASSERT_EQ(a.set(CKA_APPLICATION, nullptr, 0), CKR_OK);                // empty
    ASSERT_EQ(a.set(CKA_START_DATE, date, sizeof date), CKR_OK);          // date
    ASSERT_EQ(a.set(CKA_VALUE, big.data(), big.size()), CKR_OK);          // long byte string
    ASSERT_EQ(a.set_u32(CKA_KEY_GEN_MECHANISM, 0xFFFFFFFFu), CKR_OK);     // -1
    ASSERT_EQ(a.set_u32(CKA_VENDOR_KEY_SPEC, 1), CKR_OK);                 // vendor numbers
    ASSERT_EQ(a.set_u32(CKA_VENDOR_STORE_INDEX, 63), CKR_OK);
    ASSERT_EQ(a.set_u32(CKA_VENDOR_CARD_KEY_ID, 15), CKR_OK);
    ASSERT_EQ(a.set(CKA_VENDOR_CONTAINER_NAME, "cont_0011", 9), CKR_OK);  // vendor string
    ASSERT_EQ(a.set(CKA_VENDOR_STORE_NAME, "pub07", 5), CKR_OK);
    ASSERT_EQ(a.set(0xFFFFFFFFu, "\x01", 1), CKR_OK);                     // highest type

    const bytes blob = blob_of(a);
    ASSERT_EQ(blob.size(), a.blob_size());
    bytes expected;
    for (const auto& r : a.records()) {
        const bytes one = record(r.type, r.value);
        expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(blob, expected);
    EXPECT_EQ(bytes(blob.begin(), blob.begin() + 12), (bytes{0, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0}));

    pkcs11_attribute_mgr back;
    std::size_t n = blob.size();
    ASSERT_EQ(back.load(blob.data(), n), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(n, blob.size());
    ASSERT_EQ(back.count(), a.count());
    for (std::size_t i = 0; i < a.count(); ++i) {
        EXPECT_EQ(back.records()[i].type, a.records()[i].type) << i;
        EXPECT_EQ(back.records()[i].value, a.records()[i].value) << i;
    }
    EXPECT_EQ(blob_of(back), blob);
}

TEST(AttributeBlob, AnEmptyListIsAnEmptyForm) {
    pkcs11_attribute_mgr a;
    std::size_t n = 0;
    std::uint8_t unused = 0;
    EXPECT_EQ(a.serialise(&unused, n), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(n, 0u);
    n = 0;
    EXPECT_EQ(a.load(nullptr, n), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(a.count(), 0u);
}

TEST(AttributeBlob, AShortOutputBufferGivesTheNeededLength) {
    pkcs11_attribute_mgr a;
    ASSERT_EQ(a.set(CKA_LABEL, "abc", 3), CKR_OK);
    bytes out(10, 0xEE);
    std::size_t n = out.size();
    EXPECT_EQ(a.serialise(out.data(), n), static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
    EXPECT_EQ(n, 11u);
    EXPECT_EQ(out, bytes(10, 0xEE));  // nothing written
}

struct bad_form {
    const char* name;
    bytes data;
    std::size_t records_kept;  // complete records before the bad one
};

// Malformed forms are refused with CKR_DATA_LEN_RANGE without reading past
// the data (AddressSanitizer watches the exact-size copies).
TEST(AttributeBlob, MalformedFormsAreRefusedWithoutOverRead) {
    const bytes good = record(CKA_LABEL, {'o', 'k'});
    auto after_good = [&](const bytes& tail) {
        bytes b = good;
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    const bad_form cases[] = {
        {"one byte", {0x03}, 0},
        {"seven bytes of header", {3, 0, 0, 0, 0, 0, 0}, 0},
        {"header after a record cut short", after_good({3, 0, 0}), 1},
        {"length one past the end", {0x02, 1, 0, 0, 4, 0, 0, 0, 1, 2, 3}, 0},
        {"length 0xFFFFFFF9 (wraps with the header)", {3, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF, 'x'}, 0},
        {"length 0xFFFFFFFF", after_good({3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), 1},
        {"length 0x80000000", {3, 0, 0, 0, 0, 0, 0, 0x80, 1, 2, 3, 4}, 0},
    };
    for (const bad_form& c : cases) {
        SCOPED_TRACE(c.name);
        // An exact-size heap copy: any read past the end is an ASan report.
        std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[c.data.size()]);
        std::copy(c.data.begin(), c.data.end(), data.get());
        pkcs11_attribute_mgr a;
        std::size_t n = c.data.size();
        EXPECT_EQ(a.load(data.get(), n), static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
        EXPECT_EQ(n, c.data.size());
        EXPECT_EQ(a.count(), c.records_kept);
    }
}

TEST(AttributeBlob, ZeroLengthRecordsAndFixedWidthRecordsOfOtherWidthsLoad) {
    bytes b = record(CKA_APPLICATION, {});
    const bytes wide = record(CKA_CLASS, {3, 0, 0, 0, 9, 9, 9, 9});  // 8-byte class
    const bytes narrow = record(CKA_KEY_TYPE, {0x1f});                // 1-byte key type
    b.insert(b.end(), wide.begin(), wide.end());
    b.insert(b.end(), narrow.begin(), narrow.end());
    pkcs11_attribute_mgr a;
    std::size_t n = b.size();
    ASSERT_EQ(a.load(b.data(), n), static_cast<CK_RV>(CKR_OK));
    ASSERT_EQ(a.count(), 3u);
    EXPECT_TRUE(a.find(CKA_APPLICATION)->value.empty());
    EXPECT_EQ(a.find(CKA_CLASS)->value, (bytes{3, 0, 0, 0}));
    EXPECT_EQ(a.find(CKA_KEY_TYPE)->value, (bytes{0x1f, 0, 0, 0}));
}

struct equal_case {
    const char* name;
    CK_ATTRIBUTE_TYPE stored_type;
    bytes stored;
    CK_ATTRIBUTE_TYPE template_type;
    bytes value;
    bool equal;
};

TEST(AttributeEqualValue, Table) {
    const bytes abc{'a', 'b', 'c'};
    const bytes abc0{'a', 'b', 'c', 0};
    const bytes abcd{'a', 'b', 'c', 'd'};
    const equal_case cases[] = {
        {"1-byte key type matches its stored value", CKA_KEY_TYPE, {0x1f}, CKA_KEY_TYPE, {0x1f}, true},
        {"8-byte key type matches", CKA_KEY_TYPE, {0x1f}, CKA_KEY_TYPE, {0x1f, 0, 0, 0, 0, 0, 0, 0}, true},
        {"2-byte value is zero-extended, not over-read", CKA_CLASS, {3, 1}, CKA_CLASS, {3, 1}, true},
        {"other key type", CKA_KEY_TYPE, {0x1f}, CKA_KEY_TYPE, {0x10}, false},
        {"an empty fixed-width template value matches nothing", CKA_VALUE_LEN, {0}, CKA_VALUE_LEN, {}, false},
        {"other type", CKA_ID, abc, CKA_LABEL, abc, false},
        {"stored label with NUL, template without", CKA_LABEL, abc0, CKA_LABEL, abc, true},
        {"stored label without NUL, template with", CKA_LABEL, abc, CKA_LABEL, abc0, false},
        {"equal labels", CKA_LABEL, abc, CKA_LABEL, abc, true},
        {"longer stored label without NUL", CKA_LABEL, abcd, CKA_LABEL, abc, false},
        {"longer template label without NUL", CKA_LABEL, abc, CKA_LABEL, abcd, false},
        {"application NUL tolerance", CKA_APPLICATION, abc0, CKA_APPLICATION, abc, true},
        {"no tolerance for CKA_ID", CKA_ID, abc0, CKA_ID, abc, false},
        {"byte strings exactly", CKA_ID, abc, CKA_ID, abc, true},
        {"empty matches empty", CKA_VALUE, {}, CKA_VALUE, {}, true},
        {"empty matches nothing else", CKA_VALUE, abc, CKA_VALUE, {}, false},
        {"a lone NUL label matches an empty one", CKA_LABEL, {0}, CKA_LABEL, {}, true},
    };
    for (const equal_case& c : cases) {
        SCOPED_TRACE(c.name);
        pkcs11_attribute_mgr a;
        ASSERT_EQ(a.set(static_cast<std::uint32_t>(c.stored_type), c.stored.data(), c.stored.size()), CKR_OK);
        // Exact-size copy of the template value, so an over-read shows.
        std::unique_ptr<std::uint8_t[]> t(new std::uint8_t[c.value.size()]);
        std::copy(c.value.begin(), c.value.end(), t.get());
        EXPECT_EQ(pkcs11::attribute_equal_value(a.records()[0], c.template_type, c.value.empty() ? nullptr : t.get(),
                                                c.value.size()),
                  c.equal);
    }
}

}  // namespace
