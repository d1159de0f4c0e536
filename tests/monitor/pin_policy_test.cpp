// The PIN policy check over the token's "PINLimit" document, and the PIN
// dialog's window-less text rules.
#include <gtest/gtest.h>

#include <string>

#include "pin_policy.h"

namespace {

using mon::CheckPinPolicy;

const char kTwoEntries[] =
    R"({"PINLimit":[{"ID":0,"retry":10,"MaxLen":32,"MinLen":6},)"
    R"({"ID":1,"retry":10,"MaxLen":16,"MinLen":6,"Uppercase":1,"Lowercase":1,"Numeral":1,"SpecialChar":1}]})";

struct policy_case {
    const char* name;
    std::string pin;
    int type;
    std::string doc;
    int expected;
};

class PinPolicy : public ::testing::TestWithParam<policy_case> {};

TEST_P(PinPolicy, Result) {
    const policy_case& c = GetParam();
    EXPECT_EQ(c.expected, CheckPinPolicy(c.pin, c.type, c.doc)) << c.name;
}

const policy_case kCases[] = {
    // Entry selection.
    {"first entry ID 0 skipped for the second", "abcdef", 1, kTwoEntries, 13},
    {"the second entry is met", "Abc1#xyz", 1, kTwoEntries, 0},
    {"type 0 takes the first entry", "abcdef", 0, kTwoEntries, 0},
    {"type 2 treated as 1", "abcdef", 2, kTwoEntries, 13},
    {"type 7 treated as 1", "Abc1#xyz", 7, kTwoEntries, 0},
    {"first entry matching the type is used", "abcdef", 1,
     R"({"PINLimit":[{"ID":1,"MaxLen":32,"MinLen":6},{"ID":0,"MinLen":20}]})", 0},
    {"a one-entry array for another user: no rule", "ab", 1, R"({"PINLimit":[{"ID":0,"MinLen":20}]})", 0},
    {"an empty array: no rule", "ab", 1, R"({"PINLimit":[]})", 0},
    // Rule order.
    {"upper case before digits", "abcdefgh", 1,
     R"({"PINLimit":[{"ID":1,"MaxLen":32,"MinLen":6,"Uppercase":1,"Numeral":1}]})", 13},
    {"length before the minimum", "12345678", 1, R"({"PINLimit":[{"ID":1,"MaxLen":6,"MinLen":8}]})", 11},
    {"shorter than MinLen", "Ab1#", 1, kTwoEntries, 12},
    {"too few lower case", "ABCDEF1#", 1, kTwoEntries, 14},
    {"digits (16) before special (15)", "ABCdefgh", 1, kTwoEntries, 16},
    {"special last", "ABCdef12", 1, kTwoEntries, 15},
    {"counts above one", "Aa1#bbbb", 1,
     R"({"PINLimit":[{"ID":1,"MaxLen":32,"MinLen":6,"Uppercase":2}]})", 13},
    {"bytes above 0x7F are special", "Abc1\xE9xyz", 1, kTwoEntries, 0},
    // MaxLen.
    {"missing MaxLen sets no maximum", "abcdefghijklmnopqrstuvwxyz", 1, R"({"PINLimit":[{"ID":1,"MinLen":6}]})", 0},
    {"MaxLen 0 sets no maximum", "abcdefghij", 1, R"({"PINLimit":[{"ID":1,"MaxLen":0,"MinLen":6}]})", 0},
    {"negative MaxLen sets no maximum", "abcdefghij", 1, R"({"PINLimit":[{"ID":1,"MaxLen":-3,"MinLen":6}]})", 0},
    // Documents.
    {"invalid JSON", "abcdef", 1, R"({"PINLimit":[{"ID":1,"MaxLen":6)", 1},
    {"unquoted member names", "abcdef", 1, R"({PINLimit:[{"ID":1}]})", 1},
    {"trailing comma", "abcdef", 1, R"({"PINLimit":[{"ID":1},]})", 1},
    {"empty document", "abcdef", 1, "", 1},
    {"no PINLimit", "abcdef", 1, R"({"Other":[]})", 2},
    {"PINLimit an object", "abcdef", 1, R"({"PINLimit":{"ID":1,"MinLen":20}})", 2},
    {"PINLimit a number", "abcdef", 1, R"({"PINLimit":5})", 2},
    {"a document that is an array", "abcdef", 1, R"([{"ID":1}])", 2},
    // Members of other types.
    {"string member reads 0", "ab", 1, R"({"PINLimit":[{"ID":1,"MaxLen":"16","MinLen":"8"}]})", 0},
    {"string ID does not match", "abcdef", 1,
     R"({"PINLimit":[{"ID":"1","MinLen":1},{"ID":1,"MinLen":20}]})", 12},
    {"float members truncated", "abcdefg", 1, R"({"PINLimit":[{"ID":1.9,"MaxLen":6.9,"MinLen":1}]})", 11},
    {"float member below", "abcdef", 1, R"({"PINLimit":[{"ID":1,"MaxLen":16,"MinLen":6.7}]})", 0},
    {"null, bool, array and object members read 0", "ab", 1,
     R"({"PINLimit":[{"ID":1,"MaxLen":null,"MinLen":true,"Uppercase":[1],"Numeral":{"a":1}}]})", 0},
    {"an entry that is not an object", "ab", 1, R"({"PINLimit":[1,2]})", 0},
    {"huge numbers", "abcdef", 1, R"({"PINLimit":[{"ID":1,"MaxLen":1e300,"MinLen":18446744073709551615}]})", 12},
    {"duplicate members: the last counts", "abcdef", 1, R"({"PINLimit":[{"ID":1,"MinLen":20,"MinLen":6}]})", 0},
    {"duplicate PINLimit: the last counts", "abcdef", 1,
     R"({"PINLimit":[{"ID":1,"MinLen":20}],"PINLimit":[{"ID":1,"MinLen":6}]})", 0},
};

INSTANTIATE_TEST_SUITE_P(Table, PinPolicy, ::testing::ValuesIn(kCases));

TEST(PinPolicyBuffer, ReadUpToTheFirstNul) {
    std::string doc = R"({"PINLimit":[{"ID":1,"MinLen":8}]})";
    std::string buf = doc + std::string(1024 - doc.size(), '\0');
    EXPECT_EQ(12, CheckPinPolicy("abcdef", 1, buf.data(), buf.size()));
    EXPECT_EQ(0, CheckPinPolicy("abcdefgh", 1, buf.data(), buf.size()));
}

TEST(PinPolicyBuffer, AFull1024ByteDocumentWithoutNul) {
    // A valid document padded with blanks to exactly 1024 bytes, then bytes
    // past the bound that would break it: only the 1024 count.
    std::string doc = R"({"PINLimit":[{"ID":1,"MinLen":8}]})";
    std::string full = doc + std::string(1024 - doc.size(), ' ');
    ASSERT_EQ(1024u, full.size());
    std::string longer = full + "garbage}";
    EXPECT_EQ(12, CheckPinPolicy("abcdef", 1, full.data(), full.size()));
    EXPECT_EQ(12, CheckPinPolicy("abcdef", 1, longer.data(), longer.size()));
    // A document cut by the bound is invalid.
    std::string cut = std::string(1020, ' ') + doc;
    EXPECT_EQ(1, CheckPinPolicy("abcdef", 1, cut.data(), cut.size()));
}

TEST(PinPolicyBuffer, NullDocument) { EXPECT_EQ(1, CheckPinPolicy("abcdef", 1, nullptr, 10)); }

TEST(PinTexts, FirstIntFormatter) {
    struct row {
        std::u16string format;
        int value;
        std::u16string expected;
    } rows[] = {
        {u"Wrong PIN, %d tries left", 9, u"Wrong PIN, 9 tries left"},
        {u"%d", -1, u"-1"},
        {u"%d and %d", 3, u"3 and %d"},
        {u"%s left %d", 2, u"%s left 2"},
        {u"100%% sure: %d", 5, u"100% sure: 5"},
        {u"no number", 5, u"no number"},
        {u"trailing %", 5, u"trailing %"},
        {u"%x %n %d", 1, u"%x %n 1"},
        {u"原口令不正确,您还有%d次重试机会", 7, u"原口令不正确,您还有7次重试机会"},
    };
    for (const row& r : rows) EXPECT_EQ(r.expected, mon::format_first_int(r.format, r.value));
}

TEST(PinTexts, LengthRange) {
    EXPECT_EQ(u"UPIN_E2(6--32)", mon::format_length_range(u"UPIN_E2", 6, 32));
    EXPECT_EQ(u"(0--0)", mon::format_length_range(u"", 0, 0));
}

TEST(PinTexts, OkAndEnterRules) {
    // old, new, confirmation -> OK enabled
    struct row {
        int o, n, c;
        bool ok, enter;
    } rows[] = {
        {3, 10, 10, false, false}, {4, 4, 4, true, true},  {4, 3, 4, false, false},
        {4, 4, 3, false, true},    {24, 24, 24, true, true}, {0, 0, 0, false, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(r.ok, mon::pin_ok_enabled(r.o, r.n, r.c)) << r.o << " " << r.n << " " << r.c;
        EXPECT_EQ(r.enter, mon::pin_enter_clicks(r.o, r.n)) << r.o << " " << r.n;
    }
}

TEST(PinTexts, EveryCharacterButControls) {
    struct row {
        char16_t c;
        bool typable;
    } rows[] = {{u' ', true},  {u'~', true},  {u'A', true},  {u'\u00e9', true}, {u'\u4e2d', true},
                {u'\ud55c', true}, {0x1F, false}, {0x7F, false}, {0x80, false},   {0x9F, false},
                {0xA0, true}};
    for (const row& r : rows) EXPECT_EQ(r.typable, mon::pin_char_typable(r.c)) << static_cast<unsigned>(r.c);
}

}  // namespace
