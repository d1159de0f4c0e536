// The object calls of the module core on the card layer, against the
// virtual token: the access table of every session level against every
// object kind, the lifetimes of session and token objects (session close,
// logout, format, reload), the search across calls while objects leave,
// and the two calls the operations use (key lookup, new objects).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "card_device.h"
#include "card_device_source.h"
#include "pkcs11/objects/template_builder.h"
#include "pkcs11/module_fixture.h"
#include "support/vtoken_control.h"
#include "token_objects.h"
#include "token_pins.h"

using objects_test::template_builder;
using pkcs11::access_level;
using pkcs11::object_kind;

namespace {

constexpr const char* so_pin = "87654321";
CK_UTF8CHAR_PTR utf8(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

struct kind_spec {
    object_kind kind;
    bool token;
    bool is_private;
    const char* name;
};
const kind_spec kinds[] = {
    {object_kind::session_public, false, false, "session public"},
    {object_kind::session_private, false, true, "session private"},
    {object_kind::token_public, true, false, "token public"},
    {object_kind::token_private, true, true, "token private"},
};

class token_objects : public pkcs11_test::module_test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}});
        module_test::SetUp();
        solvantex::restart_token_device_event();
        core().set_device_source(std::make_unique<solvantex::card_device_source>());
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        CK_ULONG count = 1;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot_, &count), CKR_OK);
        ASSERT_EQ(count, 1u);
        // A label is 32 blank-padded bytes.
        ASSERT_EQ(C_InitToken(slot_, utf8(so_pin), 8, utf8("Objects                         ")), CKR_OK);
    }
    void TearDown() override {
        module_test::TearDown();
        core().set_device_source(std::make_unique<pkcs11::pkcs11_no_devices>());
    }

    CK_SESSION_HANDLE open(bool read_write) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(C_OpenSession(slot_, CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0), nullptr, nullptr, &h),
                  CKR_OK);
        return h;
    }
    CK_RV login_user(CK_SESSION_HANDLE s) {
        return C_Login(s, CKU_USER, utf8(pkcs11::default_user_pin), std::strlen(pkcs11::default_user_pin));
    }

    static template_builder data(const std::string& label, bool token, bool is_private, const std::string& value = "v") {
        template_builder t;
        t.ulong(CKA_CLASS, CKO_DATA).boolean(CKA_TOKEN, token).boolean(CKA_PRIVATE, is_private);
        t.text(CKA_LABEL, label).text(CKA_VALUE, value);
        return t;
    }
    static template_builder only_class(CK_OBJECT_CLASS c) {
        template_builder t;
        t.ulong(CKA_CLASS, c);
        return t;
    }
    static template_builder token_only() {
        template_builder t;
        t.boolean(CKA_TOKEN, true);
        return t;
    }
    CK_RV create(CK_SESSION_HANDLE s, template_builder&& t, CK_OBJECT_HANDLE* out = nullptr) {
        CK_OBJECT_HANDLE h = 0;
        const CK_RV rv = C_CreateObject(s, t.data(), t.count(), &h);
        if (out != nullptr) *out = h;
        return rv;
    }
    // Every handle a session finds for a template, in steps of two.
    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, template_builder&& t = {}) {
        std::vector<CK_OBJECT_HANDLE> all;
        EXPECT_EQ(C_FindObjectsInit(s, t.data(), t.count()), CKR_OK);
        for (int round = 0; round < 100; ++round) {
            CK_OBJECT_HANDLE h[2];
            CK_ULONG n = 0;
            EXPECT_EQ(C_FindObjects(s, h, 2, &n), CKR_OK);
            if (n == 0) break;
            all.insert(all.end(), h, h + n);
        }
        EXPECT_EQ(C_FindObjectsFinal(s), CKR_OK);
        return all;
    }
    // C_GetAttributeValue of the label: its code.
    CK_RV probe(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h) {
        char buffer[80] = {};
        CK_ATTRIBUTE a{CKA_LABEL, buffer, sizeof buffer};
        return C_GetAttributeValue(s, h, &a, 1);
    }
    std::string label(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h) {
        char buffer[80] = {};
        CK_ATTRIBUTE a{CKA_LABEL, buffer, sizeof buffer};
        if (C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return "?";
        return std::string(buffer, a.ulValueLen);
    }
    // The listed object of that label, whatever any session sees.
    CK_OBJECT_HANDLE listed(const std::string& text) {
        pkcs11::Pkcs11Core::lock_scope lock(core());
        pkcs11::pkcs11_token* token = core().tokens().find(slot_);
        const pkcs11::pkcs11_object_mgr& list = token->objects().list();
        for (std::size_t i = 0; i < list.count(); ++i) {
            const pkcs11::pkcs11_attribute* a = list.at(i)->attributes().find(CKA_LABEL);
            if (a != nullptr && std::string(a->value.begin(), a->value.end()) == text) return list.at(i)->handle();
        }
        return 0;
    }
    std::size_t listed_count() {
        pkcs11::Pkcs11Core::lock_scope lock(core());
        return core().tokens().find(slot_)->objects().list().count();
    }

    test_support::vtoken_control vt_;
    CK_SLOT_ID slot_ = 0;
};

// A denial by the module's rule, written out here apart from the module.
CK_RV expected_change(access_level level, const kind_spec& k) {
    const bool read_only = level == access_level::ro_public || level == access_level::ro_user;
    const bool user = level == access_level::ro_user || level == access_level::rw_user;
    if (k.token && read_only) return CKR_SESSION_READ_ONLY;
    if (k.is_private && !user) return CKR_USER_NOT_LOGGED_IN;
    return CKR_OK;
}
CK_RV expected_read(access_level level, const kind_spec& k) {
    const bool user = level == access_level::ro_user || level == access_level::rw_user;
    return k.is_private && !user ? CKR_ATTRIBUTE_SENSITIVE : CKR_OK;
}

}  // namespace

TEST_F(token_objects, AccessTableOfEveryLevelAndKind) {
    struct level_spec {
        access_level level;
        bool read_write;
        CK_USER_TYPE login;  // 2: nobody
        const char* name;
    };
    const level_spec levels[] = {
        {access_level::ro_public, false, 2, "RO public"}, {access_level::rw_public, true, 2, "RW public"},
        {access_level::ro_user, false, CKU_USER, "RO user"}, {access_level::rw_user, true, CKU_USER, "RW user"},
        {access_level::rw_so, true, CKU_SO, "RW SO"},
    };
    const CK_SESSION_HANDLE admin = open(true);
    ASSERT_EQ(login_user(admin), CKR_OK);
    for (const level_spec& l : levels) {
        // Targets of every kind, made by the user.
        (void)C_Logout(admin);
        ASSERT_EQ(login_user(admin), CKR_OK);
        const std::string prefix = std::string(l.name) + "/";
        for (const kind_spec& k : kinds)
            ASSERT_EQ(create(admin, data(prefix + k.name, k.token, k.is_private)), CKR_OK);
        if (l.login != CKU_USER) {
            ASSERT_EQ(C_Logout(admin), CKR_OK);
        }
        if (l.login == CKU_SO) {
            ASSERT_EQ(C_Login(admin, CKU_SO, utf8(so_pin), 8), CKR_OK);
        }
        const CK_SESSION_HANDLE s = open(l.read_write);
        (void)find(s, only_class(CKO_DATA));  // a logout dropped the token's private ones
        for (const kind_spec& k : kinds) {
            SCOPED_TRACE(std::string(l.name) + " on " + k.name);
            const CK_OBJECT_HANDLE target = listed(prefix + k.name);
            ASSERT_NE(target, 0u);
            const CK_RV change = expected_change(l.level, k);
            EXPECT_EQ(create(s, data(prefix + "new " + k.name, k.token, k.is_private)), change) << "create";
            char buffer[64];
            CK_ATTRIBUTE read{CKA_LABEL, buffer, sizeof buffer};
            EXPECT_EQ(C_GetAttributeValue(s, target, &read, 1), expected_read(l.level, k)) << "read";
            template_builder rename;
            rename.text(CKA_LABEL, prefix + k.name);
            EXPECT_EQ(C_SetAttributeValue(s, target, rename.data(), rename.count()), change) << "set";
            CK_OBJECT_HANDLE copy = 0;
            EXPECT_EQ(C_CopyObject(s, target, nullptr, 0, &copy), change) << "copy";
            {
                pkcs11::Pkcs11Core::lock_scope lock(core());
                pkcs11::pkcs11_session* session = core().sessions().find(s);
                pkcs11::pkcs11_token* token = core().tokens().find(slot_);
                pkcs11::pkcs11_object_ref made;
                template_builder t = data(prefix + "made " + k.name, k.token, k.is_private);
                ASSERT_EQ(pkcs11::pkcs11_object::build(s, CK_UNAVAILABLE_INFORMATION, t.data(), t.count(), made),
                          CKR_OK);
                EXPECT_EQ(pkcs11::add_new_object(*session, *token, made), change) << "generate";
            }
            EXPECT_EQ(C_DestroyObject(s, target), change) << "destroy";
        }
        ASSERT_EQ(C_CloseSession(s), CKR_OK);
        if (l.login == CKU_SO) {
            ASSERT_EQ(C_Logout(admin), CKR_OK);
        }
        // What the level made of the token's kinds goes again.
        ASSERT_EQ(login_user(admin), CKR_OK);
        for (CK_OBJECT_HANDLE h : find(admin, token_only()))
            ASSERT_EQ(C_DestroyObject(admin, h), CKR_OK);
    }
}

TEST_F(token_objects, SessionObjectsLeaveWithTheirSessionAndOutliveLogout) {
    const CK_SESSION_HANDLE a = open(true), b = open(true);
    ASSERT_EQ(login_user(a), CKR_OK);
    CK_OBJECT_HANDLE mine = 0, token_object = 0;
    ASSERT_EQ(create(a, data("a's", false, true), &mine), CKR_OK);
    ASSERT_EQ(create(a, data("kept", true, false), &token_object), CKR_OK);
    ASSERT_EQ(C_Logout(b), CKR_OK);
    EXPECT_EQ(probe(a, mine), CKR_ATTRIBUTE_SENSITIVE) << "hidden, not gone";
    ASSERT_EQ(login_user(b), CKR_OK);
    EXPECT_EQ(label(b, mine), "a's");
    ASSERT_EQ(C_CloseSession(a), CKR_OK);
    EXPECT_EQ(probe(b, mine), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(label(b, token_object), "kept");
}

TEST_F(token_objects, LogoutThenLoginListsNothingTwice) {
    const CK_SESSION_HANDLE s = open(true);
    ASSERT_EQ(login_user(s), CKR_OK);
    CK_OBJECT_HANDLE public_data = 0;
    ASSERT_EQ(create(s, data("pub", true, false), &public_data), CKR_OK);
    ASSERT_EQ(create(s, data("pri", true, true)), CKR_OK);
    template_builder key;
    key.ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, CKK_AES).boolean(CKA_TOKEN, true);
    key.text(CKA_LABEL, "key").bytes(CKA_VALUE, std::vector<std::uint8_t>(16, 7));
    ASSERT_EQ(create(s, std::move(key)), CKR_OK);
    const std::vector<CK_OBJECT_HANDLE> before = find(s);
    ASSERT_EQ(before.size(), 3u);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(C_Logout(s), CKR_OK);
        const std::vector<CK_OBJECT_HANDLE> in_public = find(s);
        EXPECT_EQ(in_public.size(), 1u) << "the public data object; private ones are not shown";
        ASSERT_EQ(login_user(s), CKR_OK);
        const std::vector<CK_OBJECT_HANDLE> after = find(s);
        EXPECT_EQ(after.size(), 3u);
        EXPECT_EQ(listed_count(), 3u);
        std::multiset<std::string> labels;
        for (CK_OBJECT_HANDLE h : after) labels.insert(label(s, h));
        EXPECT_EQ(labels, (std::multiset<std::string>{"key", "pri", "pub"}));
        EXPECT_EQ(label(s, public_data), "pub") << "a handle that stayed listed stays valid";
    }
}

TEST_F(token_objects, FormatAndReloadDropTokenObjectsOnly) {
    const CK_SESSION_HANDLE a = open(true), b = open(true);
    ASSERT_EQ(login_user(a), CKR_OK);
    CK_OBJECT_HANDLE session_object = 0, token_object = 0;
    ASSERT_EQ(create(b, data("session", false, false), &session_object), CKR_OK);
    ASSERT_EQ(create(a, data("token", true, false), &token_object), CKR_OK);

    ASSERT_EQ(M_ReloadObjects(a), CKR_OK);
    EXPECT_EQ(label(b, session_object), "session");
    EXPECT_EQ(probe(a, token_object), CKR_OBJECT_HANDLE_INVALID) << "listed again anew";
    const CK_OBJECT_HANDLE reloaded = listed("token");
    ASSERT_NE(reloaded, 0u);
    EXPECT_EQ(listed_count(), 2u);

    // A lost connection: what was read over it goes, session objects stay.
    {
        pkcs11::Pkcs11Core::lock_scope lock(core());
        core().tokens().find(slot_)->disconnect();
    }
    EXPECT_EQ(probe(a, reloaded), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(label(b, session_object), "session");
    EXPECT_EQ(find(a, token_only()).size(), 1u) << "read again over the new connection";

    CK_EXT_FORMAT_PARAMS p{};
    std::memcpy(p.label, "Again", 5);
    std::memcpy(p.soPin, so_pin, 8);
    std::memcpy(p.userPin, pkcs11::default_user_pin, std::strlen(pkcs11::default_user_pin));
    p.userRetryLimit = 10;
    p.soRetryLimit = 15;
    p.formatMode = 0;
    ASSERT_EQ(M_FormatToken(a, &p), CKR_OK);
    EXPECT_EQ(label(b, session_object), "session");
    EXPECT_EQ(probe(b, reloaded), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_TRUE(find(b, token_only()).empty());
}

TEST_F(token_objects, SearchResumesAndSurvivesObjectsLeaving) {
    const CK_SESSION_HANDLE s = open(true), other = open(true);
    ASSERT_EQ(login_user(s), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> made(5);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(create(s, data("o" + std::to_string(i), true, i % 2 == 1), &made[i]), CKR_OK);

    // 2, 2, 1, then nothing.
    ASSERT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE h[2];
    CK_ULONG n = 0;
    std::vector<CK_ULONG> steps;
    do {
        ASSERT_EQ(C_FindObjects(s, h, 2, &n), CKR_OK);
        steps.push_back(n);
    } while (n != 0 && steps.size() < 10);
    EXPECT_EQ(steps, (std::vector<CK_ULONG>{2, 2, 1, 0}));
    ASSERT_EQ(C_FindObjectsFinal(s), CKR_OK);
    EXPECT_EQ(C_FindObjects(s, h, 2, &n), CKR_OPERATION_NOT_INITIALIZED);

    // The object the search visits next is destroyed between two calls.
    ASSERT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    ASSERT_EQ(C_FindObjects(s, h, 1, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    ASSERT_EQ(h[0], made[0]);
    ASSERT_EQ(C_DestroyObject(s, made[1]), CKR_OK);
    ASSERT_EQ(C_FindObjects(s, h, 2, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(C_FindObjectsFinal(s), CKR_OK);

    // A logout in another session drops the private object the search
    // would visit next.
    ASSERT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    ASSERT_EQ(C_FindObjects(s, h, 2, &n), CKR_OK);  // o0, o2; next: o3 (private)
    ASSERT_EQ(n, 2u);
    ASSERT_EQ(C_Logout(other), CKR_OK);
    EXPECT_EQ(C_FindObjects(s, h, 2, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(C_FindObjectsFinal(s), CKR_OK);

    // A template naming the value reads it from the card to match.
    ASSERT_EQ(login_user(s), CKR_OK);
    template_builder by_value;
    by_value.ulong(CKA_CLASS, CKO_DATA).text(CKA_VALUE, "v");
    EXPECT_EQ(find(s, std::move(by_value)).size(), 4u);
    template_builder other_value;
    other_value.text(CKA_VALUE, "w");
    EXPECT_TRUE(find(s, std::move(other_value)).empty());
}

TEST_F(token_objects, KeyLookupFollowsVisibilityAndNewKeysFindNoRoomWhenFull) {
    const CK_SESSION_HANDLE s = open(true), public_session = open(false);
    ASSERT_EQ(login_user(s), CKR_OK);
    pkcs11::Pkcs11Core::lock_scope lock(core());
    pkcs11::pkcs11_session* session = core().sessions().find(s);
    pkcs11::pkcs11_token* token = core().tokens().find(slot_);
    CK_OBJECT_HANDLE first = 0;
    for (int i = 0; i < 17; ++i) {
        template_builder t;
        t.ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, CKK_AES).boolean(CKA_TOKEN, true);
        t.text(CKA_LABEL, "k" + std::to_string(i)).bytes(CKA_VALUE, std::vector<std::uint8_t>(16, 1));
        pkcs11::pkcs11_object_ref key;
        ASSERT_EQ(pkcs11::pkcs11_object::build(s, CK_UNAVAILABLE_INFORMATION, t.data(), t.count(), key), CKR_OK);
        EXPECT_EQ(pkcs11::add_new_object(*session, *token, key), i < 16 ? CKR_OK : CKR_DEVICE_MEMORY) << i;
        if (i == 0) first = key->handle();
    }
    pkcs11::pkcs11_object_ref found;
    ASSERT_EQ(pkcs11::find_session_key(*session, *token, first, found), CKR_OK);
    EXPECT_EQ(found->handle(), first);
    // Secret keys are private by default: a session without the user does
    // not know them.
    session->state = CKS_RW_PUBLIC_SESSION;
    EXPECT_EQ(pkcs11::find_session_key(*session, *token, first, found), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(pkcs11::find_session_key(*core().sessions().find(public_session), *token, 99999, found),
              CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(token_objects, ASearchByClassReadsOnlyThatStore) {
    const CK_SESSION_HANDLE s = open(true);
    ASSERT_EQ(login_user(s), CKR_OK);
    ASSERT_EQ(create(s, data("d", true, false)), CKR_OK);
    ASSERT_EQ(M_ReloadObjects(s), CKR_OK);
    const auto loaded = [this] {
        pkcs11::Pkcs11Core::lock_scope lock(core());
        const pkcs11::pkcs11_object_store& store = core().tokens().find(slot_)->objects().store();
        return std::make_pair(store.data_loaded(), store.secrets_loaded());
    };
    ASSERT_EQ(loaded(), std::make_pair(true, true));
    ASSERT_EQ(C_Logout(s), CKR_OK);
    ASSERT_EQ(login_user(s), CKR_OK);
    ASSERT_EQ(loaded(), std::make_pair(false, false));
    // The class in the caller's CK_ULONG width, as every LP64 caller gives it.
    vt_.clear_log();
    EXPECT_EQ(find(s, only_class(CKO_SECRET_KEY)).size(), 0u);
    EXPECT_EQ(loaded(), std::make_pair(false, true));
    EXPECT_EQ(find(s, only_class(CKO_DATA)).size(), 1u);
    EXPECT_EQ(loaded(), std::make_pair(true, true));
    EXPECT_EQ(find(s, only_class(CKO_CERTIFICATE)).size(), 0u);  // the key containers
    const std::size_t commands = vt_.commands().size();
    EXPECT_EQ(find(s).size(), 1u);
    EXPECT_EQ(vt_.commands().size(), commands) << "every store is read once per login";
}

TEST_F(token_objects, ARemovedTokenTakesItsObjectsAlongAndHeldOnesStayValid) {
    const CK_SESSION_HANDLE s = open(true);
    ASSERT_EQ(login_user(s), CKR_OK);
    CK_OBJECT_HANDLE session_object = 0, token_object = 0;
    ASSERT_EQ(create(s, data("session", false, true), &session_object), CKR_OK);
    ASSERT_EQ(create(s, data("token", true, false, "on the card"), &token_object), CKR_OK);
    // A search in progress and a key held as an operation holds it.
    ASSERT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE h[1];
    CK_ULONG n = 0;
    ASSERT_EQ(C_FindObjects(s, h, 1, &n), CKR_OK);
    pkcs11::pkcs11_object_ref held;
    {
        pkcs11::Pkcs11Core::lock_scope lock(core());
        ASSERT_EQ(pkcs11::find_session_key(*core().sessions().find(s), *core().tokens().find(slot_), session_object,
                                           held),
                  CKR_OK);
    }

    vt_.call("remove");
    CK_SLOT_ID event = 99;
    ASSERT_EQ(C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
    EXPECT_EQ(event, slot_);
    EXPECT_EQ(C_FindObjects(s, h, 1, &n), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_FindObjectsFinal(s), CKR_OK);
    {
        pkcs11::Pkcs11Core::lock_scope lock(core());
        const pkcs11::pkcs11_attribute* a = held->attributes().find(CKA_LABEL);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(std::string(a->value.begin(), a->value.end()), "session") << "the holder's reference keeps it";
        EXPECT_FALSE(held->listed());
        held.reset();
    }
    EXPECT_EQ(C_CloseSession(s), CKR_OK);

    vt_.call("insert", {{"wait_ready", true}});
    ASSERT_EQ(C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
    const CK_SESSION_HANDLE again = open(true);
    ASSERT_EQ(login_user(again), CKR_OK);
    const std::vector<CK_OBJECT_HANDLE> found = find(again);
    ASSERT_EQ(found.size(), 1u) << "the token object, read from the card anew";
    EXPECT_EQ(label(again, found[0]), "token");
    EXPECT_NE(found[0], token_object);

    // The same after a finalisation and a new initialisation.
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 1;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot_, &count), CKR_OK);
    const CK_SESSION_HANDLE third = open(false);
    const std::vector<CK_OBJECT_HANDLE> public_ones = find(third);
    ASSERT_EQ(public_ones.size(), 1u);
    char value[32] = {};
    CK_ATTRIBUTE a{CKA_VALUE, value, sizeof value};
    ASSERT_EQ(C_GetAttributeValue(third, public_ones[0], &a, 1), CKR_OK);
    EXPECT_EQ(std::string(value, a.ulValueLen), "on the card");
}
