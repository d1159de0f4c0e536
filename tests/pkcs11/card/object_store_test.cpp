// The object stores on a formatted virtual token: token data objects and
// secret keys stored, read back by a store that starts afresh (as after a
// reconnect), rewritten, refused when a field does not fit, and left out
// of the card when a step fails. What lies on the card is read with the
// test's own decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../objects/template_builder.h"
#include "card_tables.h"
#include "formatted_token.h"
#include "objects/object_store.h"
#include "store_layout.h"

using namespace pkcs11;
using objects_test::template_builder;
using store_layout::bytes;
using store_layout::data_path;
using store_layout::pattern;
using store_layout::secret_path;

namespace {


bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes attribute(const pkcs11_object& o, CK_ATTRIBUTE_TYPE type) {
    const pkcs11_attribute* a = o.attributes().find(static_cast<std::uint32_t>(type));
    return a != nullptr ? a->value : bytes{0xEE, 0xEE};
}

std::uint32_t number(const pkcs11_object& o, CK_ATTRIBUTE_TYPE type) {
    std::uint32_t v = 0xFFFFFFFFu;
    (void)o.attributes().get_u32(static_cast<std::uint32_t>(type), v);
    return v;
}

class object_store_test : public formatted_token::test {
protected:
    void SetUp() override {
        formatted_token::test::SetUp();
        card_.device = [this](solvantex::card_handle& h) {
            h = h_;
            return 0;
        };
        card_.failure = [](std::int32_t) { return static_cast<CK_RV>(CKR_DEVICE_ERROR); };
    }

    // A store and list as a token has them after a (re)connection.
    struct fresh {
        explicit fresh(const pkcs11_store_card& card) : store(card) {}
        pkcs11_object_store store;
        pkcs11_object_mgr list;
    };

    pkcs11_object_ref data_object(const std::string& label, const bytes& value, bool is_private = false) {
        template_builder t;
        t.ulong(CKA_CLASS, CKO_DATA).boolean(CKA_TOKEN, true).boolean(CKA_PRIVATE, is_private).text(CKA_LABEL, label);
        t.text(CKA_APPLICATION, "app").bytes(CKA_VALUE, value);
        pkcs11_object_ref o;
        EXPECT_EQ(pkcs11_object::build(0, CK_UNAVAILABLE_INFORMATION, t.data(), t.count(), o), CKR_OK);
        return o;
    }
    pkcs11_object_ref secret_key(const std::string& label, const bytes& value, template_builder&& extra = {}) {
        template_builder& t = extra;
        t.ulong(CKA_CLASS, CKO_SECRET_KEY).boolean(CKA_TOKEN, true).text(CKA_LABEL, label);
        t.ulong(CKA_KEY_TYPE, CKK_AES).bytes(CKA_VALUE, value).bytes(CKA_ID, {0x42});
        pkcs11_object_ref o;
        EXPECT_EQ(pkcs11_object::build(0, CK_UNAVAILABLE_INFORMATION, t.data(), t.count(), o), CKR_OK);
        return o;
    }
    // The single listed object after a fresh load.
    pkcs11_object_ref reloaded(fresh& f) {
        EXPECT_EQ(f.store.load_all(f.list), CKR_OK);
        EXPECT_EQ(f.list.count(), 1u);
        return f.list.count() == 1 ? f.list.at(0) : pkcs11_object_ref();
    }
    // Sets attributes through the store as C_SetAttributeValue does.
    CK_RV set(pkcs11_object_store& store, pkcs11_object& o, template_builder& t) {
        return o.set_attribute_values(access_level::rw_user, CKS_RW_USER_FUNCTIONS, t.data(), t.count(),
                                      [&](const pkcs11_object& obj, pkcs11_attribute_mgr& updated) {
                                          return store.update(obj, updated);
                                      });
    }

    pkcs11_store_card card_;
};

}  // namespace

TEST_F(object_store_test, DataObjectStoredThenReadBackOnceAfterAFreshLoad) {
    const bytes value = pattern(300, 1);
    {
        fresh f(card_);
        pkcs11_object_ref o = data_object("f1", value, true);
        ASSERT_EQ(f.store.store_new(*o), CKR_OK);
        EXPECT_EQ(number(*o, CKA_VENDOR_STORE_INDEX), 0u);
        EXPECT_EQ(attribute(*o, CKA_VENDOR_STORE_NAME), text("pri00"));
        EXPECT_EQ(number(*o, CKA_VALUE_LEN), 300u);
    }
    const auto table = store_layout::data_table(file(data_path));
    ASSERT_EQ(table.used, std::vector<int>{0});
    EXPECT_EQ(store_layout::data_value_length(table.records[0]), 300u);
    EXPECT_EQ(file("3f00/2000/4000/pri00"), value);

    fresh f(card_);
    vt_.clear_log();
    pkcs11_object_ref o = reloaded(f);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->object_class(), static_cast<CK_OBJECT_CLASS>(CKO_DATA));
    EXPECT_EQ(attribute(*o, CKA_LABEL), text("f1"));
    EXPECT_EQ(attribute(*o, CKA_APPLICATION), text("app"));
    EXPECT_TRUE(o->attributes().is_true(CKA_TOKEN));
    EXPECT_TRUE(o->attributes().is_true(CKA_PRIVATE));
    EXPECT_FALSE(o->attributes().has(CKA_VALUE));  // read on demand
    vt_.clear_log();
    ASSERT_EQ(f.store.read_values(*o), CKR_OK);
    EXPECT_EQ(attribute(*o, CKA_VALUE), value);
    const std::size_t reads = commands_of({"44"}).size();
    EXPECT_GE(reads, 1u);
    ASSERT_EQ(f.store.read_values(*o), CKR_OK);
    EXPECT_EQ(commands_of({"44"}).size(), reads) << "the value is read once";

    // A second load lists nothing twice, and the stores, once loaded, are
    // not read again until they are forgotten.
    vt_.clear_log();
    ASSERT_EQ(f.store.load_all(f.list), CKR_OK);
    EXPECT_TRUE(vt_.commands().empty());
    f.store.forget();
    ASSERT_EQ(f.store.load_all(f.list), CKR_OK);
    EXPECT_EQ(f.list.count(), 1u);
}

TEST_F(object_store_test, DataValueRewrittenShorterThenLongerReadsBackExactly) {
    fresh f(card_);
    pkcs11_object_ref o = data_object("PINLimit", pattern(512, 0));
    ASSERT_EQ(f.store.store_new(*o), CKR_OK);
    ASSERT_TRUE(f.list.append(o));
    for (const bytes& value : {pattern(100, 7), pattern(600, 9), bytes{}, pattern(5, 3)}) {
        template_builder t;
        t.bytes(CKA_VALUE, value);
        ASSERT_EQ(set(f.store, *o, t), CKR_OK);
        EXPECT_EQ(number(*o, CKA_VALUE_LEN), value.size());
        fresh again(card_);
        pkcs11_object_ref back = reloaded(again);
        ASSERT_TRUE(back);
        ASSERT_EQ(again.store.read_values(*back), CKR_OK);
        EXPECT_EQ(attribute(*back, CKA_VALUE), value) << value.size() << " bytes";
        EXPECT_EQ(attribute(*back, CKA_VENDOR_STORE_NAME), attribute(*o, CKA_VENDOR_STORE_NAME));
        const auto table = store_layout::data_table(file(data_path));
        EXPECT_EQ(table.used.size(), 1u);
    }
}

TEST_F(object_store_test, LabelChangeOfAnUnreadObjectKeepsItsValue) {
    const bytes value = pattern(40, 2);
    {
        fresh f(card_);
        ASSERT_EQ(f.store.store_new(*data_object("old", value)), CKR_OK);
    }
    fresh f(card_);
    pkcs11_object_ref o = reloaded(f);
    ASSERT_TRUE(o);
    template_builder t;
    t.text(CKA_LABEL, "new");
    ASSERT_EQ(set(f.store, *o, t), CKR_OK);
    EXPECT_EQ(attribute(*o, CKA_VALUE), value);
    fresh again(card_);
    pkcs11_object_ref back = reloaded(again);
    ASSERT_TRUE(back);
    EXPECT_EQ(attribute(*back, CKA_LABEL), text("new"));
    ASSERT_EQ(again.store.read_values(*back), CKR_OK);
    EXPECT_EQ(attribute(*back, CKA_VALUE), value);
}

TEST_F(object_store_test, FieldsThatDoNotFitAreRefusedAndLabelsCut) {
    struct row {
        CK_OBJECT_CLASS object_class;
        CK_ATTRIBUTE_TYPE type;
        std::size_t length;
        CK_RV expected;
    };
    const row rows[] = {
        {CKO_DATA, CKA_APPLICATION, 63, CKR_OK},
        {CKO_DATA, CKA_APPLICATION, 64, CKR_ATTRIBUTE_VALUE_INVALID},
        {CKO_DATA, CKA_OBJECT_ID, 32, CKR_OK},
        {CKO_DATA, CKA_OBJECT_ID, 33, CKR_ATTRIBUTE_VALUE_INVALID},
        {CKO_SECRET_KEY, CKA_ID, 64, CKR_OK},
        {CKO_SECRET_KEY, CKA_ID, 65, CKR_ATTRIBUTE_VALUE_INVALID},
        {CKO_SECRET_KEY, CKA_VALUE, 32, CKR_OK},
        {CKO_SECRET_KEY, CKA_VALUE, 33, CKR_ATTRIBUTE_VALUE_INVALID},
    };
    for (const row& r : rows) {
        fresh f(card_);
        pkcs11_object_ref o =
            r.object_class == CKO_DATA ? data_object("d", pattern(4, 1)) : secret_key("k", pattern(16, 1));
        ASSERT_EQ(o->attributes().set(static_cast<std::uint32_t>(r.type), pattern(r.length, 5).data(), r.length),
                  CKR_OK);
        vt_.clear_log();
        EXPECT_EQ(f.store.store_new(*o), r.expected) << std::hex << r.type << " of " << std::dec << r.length;
        if (r.expected != CKR_OK) {
            EXPECT_TRUE(commands_of({"45", "42"}).empty()) << "nothing is sent";
            continue;
        }
        fresh again(card_);
        pkcs11_object_ref back = reloaded(again);
        ASSERT_TRUE(back);
        ASSERT_EQ(again.store.read_values(*back), CKR_OK);
        EXPECT_EQ(attribute(*back, r.type), pattern(r.length, 5));
        ASSERT_EQ(again.store.destroy(*back), CKR_OK);
    }
    fresh f(card_);
    const std::string long_label(80, 'L');
    ASSERT_EQ(f.store.store_new(*data_object(long_label, pattern(3, 3))), CKR_OK);
    fresh again(card_);
    pkcs11_object_ref back = reloaded(again);
    ASSERT_TRUE(back);
    EXPECT_EQ(attribute(*back, CKA_LABEL), text(long_label.substr(0, 63)));
}

TEST_F(object_store_test, AFailedValueWriteLeavesNoObjectOnTheCard) {
    fresh f(card_);
    vt_.call("fail_next", {{"ins", "45"}, {"sw", "6581"}});
    EXPECT_EQ(f.store.store_new(*data_object("f", pattern(50, 1))), static_cast<CK_RV>(CKR_DEVICE_ERROR));
    EXPECT_TRUE(store_layout::data_table(file(data_path)).used.empty());
    fresh again(card_);
    ASSERT_EQ(again.store.load_all(again.list), CKR_OK);
    EXPECT_EQ(again.list.count(), 0u);
    // The slot is free for the next one.
    ASSERT_EQ(f.store.store_new(*data_object("g", pattern(50, 1))), CKR_OK);
    EXPECT_EQ(store_layout::data_table(file(data_path)).used, std::vector<int>{0});
}

TEST_F(object_store_test, SecretKeysKeepSensitiveAndTheSeventeenthFindsNoRoom) {
    fresh f(card_);
    template_builder flags;
    flags.boolean(CKA_SENSITIVE, true).boolean(CKA_EXTRACTABLE, true).boolean(CKA_LOCAL, false);
    pkcs11_object_ref key = secret_key("k0", pattern(16, 4), std::move(flags));
    ASSERT_EQ(f.store.store_new(*key), CKR_OK);
    EXPECT_EQ(number(*key, CKA_VENDOR_CARD_KEY_ID), 0u);
    const auto table = store_layout::secret_table(file(secret_path));
    ASSERT_EQ(table.used, std::vector<int>{0});
    EXPECT_EQ(store_layout::le32(table.records[0], 179) & 0x10u, 0x10u) << "CKA_SENSITIVE in bit 4";

    for (int i = 1; i < 16; ++i) ASSERT_EQ(f.store.store_new(*secret_key("k" + std::to_string(i), pattern(8, i))), CKR_OK);
    EXPECT_EQ(f.store.store_new(*secret_key("k16", pattern(8, 16))), static_cast<CK_RV>(CKR_DEVICE_MEMORY));

    fresh again(card_);
    ASSERT_EQ(again.store.load_all(again.list), CKR_OK);
    ASSERT_EQ(again.list.count(), 16u);
    pkcs11_object_ref back = again.list.at(0);
    EXPECT_EQ(attribute(*back, CKA_LABEL), text("k0"));
    EXPECT_EQ(attribute(*back, CKA_VALUE), pattern(16, 4));
    EXPECT_EQ(number(*back, CKA_KEY_TYPE), static_cast<std::uint32_t>(CKK_AES));
    EXPECT_TRUE(back->attributes().is_true(CKA_SENSITIVE));
    EXPECT_TRUE(back->verifier().is_sensitive());
    EXPECT_FALSE(again.list.at(1)->attributes().is_true(CKA_SENSITIVE));
    // Loaded again: nothing twice.
    again.store.forget();
    ASSERT_EQ(again.store.load_all(again.list), CKR_OK);
    EXPECT_EQ(again.list.count(), 16u);
}

TEST_F(object_store_test, SecretKeyRewrittenInPlaceAndDestroyed) {
    fresh f(card_);
    pkcs11_object_ref key = secret_key("before", pattern(24, 4));
    ASSERT_EQ(f.store.store_new(*key), CKR_OK);
    template_builder t;
    t.text(CKA_LABEL, "after").boolean(CKA_ENCRYPT, false);
    ASSERT_EQ(set(f.store, *key, t), CKR_OK);
    {
        fresh again(card_);
        pkcs11_object_ref back = reloaded(again);
        ASSERT_TRUE(back);
        EXPECT_EQ(attribute(*back, CKA_LABEL), text("after"));
        EXPECT_TRUE(back->attributes().is_false(CKA_ENCRYPT));
        EXPECT_EQ(attribute(*back, CKA_VALUE), pattern(24, 4));
    }
    // A failed rewrite leaves the object as it was.
    vt_.call("fail_next", {{"ins", "45"}, {"sw", "6581"}});
    template_builder u;
    u.text(CKA_LABEL, "lost");
    EXPECT_EQ(set(f.store, *key, u), static_cast<CK_RV>(CKR_DEVICE_ERROR));
    EXPECT_EQ(attribute(*key, CKA_LABEL), text("after"));
    ASSERT_EQ(f.store.destroy(*key), CKR_OK);
    EXPECT_TRUE(store_layout::secret_table(file(secret_path)).used.empty());
}
