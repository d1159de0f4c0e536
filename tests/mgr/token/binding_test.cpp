// The manager library's binding, token table and token exports against the
// fake module (tests/mgr/fake_module): the rows the real module cannot
// produce, with every call the library makes counted and recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SolvantaMgr.h"
#include "../fake_module/fake_state.h"

namespace {

using fake_module::call_id;

constexpr const char* fake_dll = "fake_pkcs11.dll";
constexpr const char* fake_noext_dll = "fake_pkcs11_noext.dll";

class mgr_binding : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(fake_.get(), nullptr);
        (void)uninit_pkcs11();
        fake_.reset();
    }
    void TearDown() override { (void)uninit_pkcs11(); }

    int calls(call_id id) const { return fake_->calls[id]; }
    std::vector<int> log() const { return std::vector<int>(fake_->log, fake_->log + fake_->log_length); }
    void clear_log() {
        fake_->log_length = 0;
        std::memset(fake_->calls, 0, sizeof fake_->calls);
    }
    std::string last_bytes() const {
        return std::string(reinterpret_cast<const char*>(fake_->last_bytes), fake_->last_length);
    }
    std::string last_new_bytes() const {
        return std::string(reinterpret_cast<const char*>(fake_->last_new_bytes), fake_->last_new_length);
    }

    // Bound, n tokens found, token 0 connected.
    void connect_first(int n = 1) {
        fake_->slot_count = n;
        ASSERT_EQ(init_pkcs11(fake_dll), 0);
        unsigned long ids[32] = {};
        unsigned long count = 32;
        ASSERT_EQ(token_find(ids, &count), 0);
        ASSERT_EQ(count, static_cast<unsigned long>(n));
        ASSERT_EQ(token_connect(0), 0);
        session_ = fake_->next_session - 1;
        clear_log();
    }

    fake_module::state_owner fake_;
    CK_SESSION_HANDLE session_ = 0;
};

// ---- binding -------------------------------------------------------------------

struct binding_row {
    const char* name;
    const char* dll;
    std::function<void(fake_module::state*)> setup;
    int result;
    bool stays_loaded;
};

TEST_F(mgr_binding, EveryBindingFailureGivesThreeAndUnloads) {
    const binding_row rows[] = {
        {"no such file", "no_such_module.dll", [](fake_module::state*) {}, 3, false},
        {"no extension getter", fake_noext_dll, [](fake_module::state*) {}, 3, false},
        {"C_GetFunctionList fails", fake_dll, [](fake_module::state* s) { s->get_function_list_rv = CKR_GENERAL_ERROR; }, 3, false},
        {"M_GetExtFunctionList fails", fake_dll, [](fake_module::state* s) { s->get_ext_function_list_rv = CKR_GENERAL_ERROR; }, 3, false},
        {"C_Initialize fails", fake_dll, [](fake_module::state* s) { s->initialize_rv = CKR_GENERAL_ERROR; }, 3, false},
        {"already initialised", fake_dll, [](fake_module::state* s) { s->initialize_rv = CKR_CRYPTOKI_ALREADY_INITIALIZED; }, 0, true},
        {"plain", fake_dll, [](fake_module::state*) {}, 0, true},
    };
    for (const binding_row& row : rows) {
        (void)uninit_pkcs11();
        fake_.reset();
        row.setup(fake_.get());
        EXPECT_EQ(init_pkcs11(row.dll), row.result) << row.name;
        EXPECT_EQ(fake_->loads - fake_->unloads, row.stays_loaded ? 1 : 0) << row.name;
        unsigned long ids[4];
        unsigned long count = 4;
        EXPECT_EQ(token_find(ids, &count), row.stays_loaded ? 0 : 1) << row.name << ": the lists are bound or cleared";
        // A failed binding is tried again in full.
        if (row.result != 0 && std::strcmp(row.dll, fake_dll) == 0) {
            const int loads = fake_->loads;
            EXPECT_EQ(init_pkcs11(row.dll), 3) << row.name;
            EXPECT_EQ(fake_->loads, loads + 1) << row.name << ": loaded again";
            EXPECT_EQ(fake_->loads, fake_->unloads) << row.name;
        }
    }
}

TEST_F(mgr_binding, InitialiseAsksForOsLockingAndASecondCallLoadsNothing) {
    ASSERT_EQ(init_pkcs11(fake_dll), 0);
    EXPECT_FALSE(fake_->initialize_args_null);
    EXPECT_EQ(fake_->initialize_flags, static_cast<CK_FLAGS>(CKF_OS_LOCKING_OK));
    EXPECT_EQ(init_pkcs11(fake_dll), 0);
    EXPECT_EQ(init_pkcs11_ex(1, 2, 3, "anything else.dll"), 0);
    EXPECT_EQ(fake_->loads, 1);
    EXPECT_EQ(calls(fake_module::call_get_function_list), 1);
    EXPECT_EQ(calls(fake_module::call_initialize), 1);
    EXPECT_EQ(uninit_pkcs11(), 0);
    EXPECT_EQ(calls(fake_module::call_finalize), 1);
    EXPECT_EQ(fake_->unloads, 1);
    EXPECT_EQ(init_pkcs11_ex(0, 0, 0, fake_dll), 0) << "after an unload a new binding is made";
    EXPECT_EQ(fake_->loads, 2);
    EXPECT_EQ(init_pkcs11(nullptr), 0) << "bound already";
    (void)uninit_pkcs11();
    EXPECT_EQ(init_pkcs11(nullptr), 3);
}

// Every token export, called on index 0 with harmless arguments.
struct token_export {
    const char* name;
    std::function<int(int)> call;
};

std::vector<token_export> every_token_export() {
    static char text[64], serial[16], label[64], maker[32], model[16];
    static int ints[16];
    static uint32_t u32[2];
    static unsigned char bytes[32];
    static CK_EXT_FORMAT_PARAMS params;
    return {
        {"token_connect", [](int i) { return token_connect(i); }},
        {"token_disconnect", [](int i) { return token_disconnect(i); }},
        {"token_get_info", [](int i) { return token_get_info(i, serial, label, maker, model, &ints[0], &ints[1], &ints[2], &ints[3], &ints[4], &ints[5], &ints[6], &ints[7], &ints[8], &ints[9]); }},
        {"token_get_info_ex", [](int i) { return token_get_info_ex(i, serial, label, maker, model, &ints[0], &ints[1], &ints[2], &ints[3], &ints[4], &ints[5], &ints[6], &ints[7], &ints[8], &ints[9], &ints[10]); }},
        {"token_login", [](int i) { return token_login(i, "11112222", &ints[0]); }},
        {"token_login_so", [](int i) { return token_login_so(i, "11112222", &ints[0]); }},
        {"token_logout", [](int i) { return token_logout(i); }},
        {"token_change_upin", [](int i) { return token_change_upin(i, "11112222", "22223333"); }},
        {"token_change_sopin", [](int i) { return token_change_sopin(i, "11112222", "22223333"); }},
        {"token_set_upin", [](int i) { return token_set_upin(i, "11112222", "22223333"); }},
        {"token_get_pin_state", [](int i) { return token_get_pin_state(i, CKU_USER, &u32[0], &u32[1], &ints[0], &ints[1], &ints[2], &ints[3]); }},
        {"token_unlock_upin", [](int i) { return token_unlock_upin(i, bytes, 8, "22223333"); }},
        {"token_remote_unlock_upin", [](int i) { return token_remote_unlock_upin(i, bytes, 16, "22223333"); }},
        {"token_set_label", [](int i) { return token_set_label(i, "label"); }},
        {"token_get_challenge", [](int i) { return token_get_challenge(i, bytes); }},
        {"token_get_challenge_ex", [](int i) { return token_get_challenge_ex(i, bytes, 8); }},
        {"token_format", [](int i) { return token_format(i, &params); }},
        {"token_reload_all_objects", [](int i) { return token_reload_all_objects(i); }},
        {"token_find", [](int) { unsigned long ids[4]; unsigned long n = 4; return token_find(ids, &n); }},
        {"token_waitfor_event", [](int) { unsigned long slot = 0; return token_waitfor_event(&slot); }},
        {"container_load_all", [](int i) { unsigned long n = sizeof text; return container_load_all(i, text, &n); }},
        {"token_read_file", [](int i) { int n = 32; return token_read_file(i, "PINLimit", bytes, &n); }},
    };
}

TEST_F(mgr_binding, WithNothingBoundEveryTokenExportGivesOne) {
    for (const token_export& e : every_token_export()) EXPECT_EQ(e.call(0), 1) << e.name << " before init";
    connect_first(2);
    ASSERT_EQ(token_connect(1), 0);
    ASSERT_EQ(uninit_pkcs11(), 0);
    clear_log();
    for (const token_export& e : every_token_export()) EXPECT_EQ(e.call(0), 1) << e.name << " after uninit";
    for (const token_export& e : every_token_export()) EXPECT_EQ(e.call(1), 1) << e.name << " after uninit";
    EXPECT_EQ(fake_->log_length, 0) << "nothing reaches the unloaded module";
    // Bound again: the count is 0 until the next search.
    ASSERT_EQ(init_pkcs11(fake_dll), 0);
    EXPECT_EQ(token_connect(0), 1);
    EXPECT_EQ(uninit_pkcs11(), 0);
    EXPECT_EQ(uninit_pkcs11(), 0) << "twice is harmless";
}

TEST_F(mgr_binding, IndexesOutsideTheCountAreRefused) {
    ASSERT_EQ(init_pkcs11(fake_dll), 0);
    EXPECT_EQ(token_connect(0), 1) << "before token_find";
    connect_first(2);
    for (int bad : {2, 32, -1, -2147483647 - 1, 2147483647})
        for (const token_export& e : every_token_export()) {
            if (std::strcmp(e.name, "token_find") == 0 || std::strcmp(e.name, "token_waitfor_event") == 0) continue;
            if (std::strncmp(e.name, "token_", 6) != 0) continue;  // other rooms' exports
            EXPECT_EQ(e.call(bad), 1) << e.name << " index " << bad;
        }
    EXPECT_EQ(calls(fake_module::call_open_session), 0);
    EXPECT_EQ(calls(fake_module::call_close_session), 0);
    // Index 1 is valid but not connected: only connect and disconnect pass.
    for (const token_export& e : every_token_export()) {
        const std::string name = e.name;
        if (name == "token_connect" || name == "token_disconnect" || name == "token_find" ||
            name == "token_waitfor_event" || name.compare(0, 6, "token_") != 0)
            continue;
        EXPECT_EQ(e.call(1), 1) << name << " on a token not connected";
    }
    EXPECT_EQ(token_disconnect(1), 0);
}

TEST_F(mgr_binding, UninitClosesTheSessionsOfBothTokensAndFinalises) {
    connect_first(2);
    ASSERT_EQ(token_connect(1), 0);
    const CK_SESSION_HANDLE second = fake_->next_session - 1;
    clear_log();
    EXPECT_EQ(uninit_pkcs11(), 0);
    ASSERT_EQ(fake_->closed_count, 2);
    EXPECT_EQ(fake_->closed[0], session_);
    EXPECT_EQ(fake_->closed[1], second);
    const std::vector<int> expected = {fake_module::call_close_session, fake_module::call_close_session,
                                       fake_module::call_finalize};
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(fake_->loads, fake_->unloads);
}

// ---- token_find ------------------------------------------------------------------

TEST_F(mgr_binding, FindCountsFirstKeepsAtMost32AndRespectsTheCallersCapacity) {
    ASSERT_EQ(init_pkcs11(fake_dll), 0);
    fake_->slot_count = 40;
    unsigned long ids[33];
    std::memset(ids, 0xEE, sizeof ids);
    unsigned long count = 33;
    ASSERT_EQ(token_find(ids, &count), 0);
    EXPECT_EQ(count, 32u);
    EXPECT_EQ(ids[0], 100u);
    EXPECT_EQ(ids[31], 131u);
    EXPECT_EQ(ids[32], 0xEEEEEEEEu) << "nothing written past 32";
    EXPECT_EQ(token_connect(31), 0);
    EXPECT_EQ(fake_->last_slot, 131u);
    EXPECT_EQ(token_connect(32), 1);

    // A caller array smaller than the tokens found: 1, the needed count,
    // nothing written, no token usable.
    fake_->slot_count = 3;
    std::memset(ids, 0xEE, sizeof ids);
    count = 2;
    EXPECT_EQ(token_find(ids, &count), 1);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(ids[0], 0xEEEEEEEEu);
    EXPECT_EQ(token_connect(0), 1);

    // No token: 0 with a count of 0.
    fake_->slot_count = 0;
    count = 32;
    EXPECT_EQ(token_find(ids, &count), 0);
    EXPECT_EQ(count, 0u);

    // A failed listing leaves no token.
    fake_->slot_count = 2;
    count = 32;
    ASSERT_EQ(token_find(ids, &count), 0);
    fake_->get_slot_list_rv = CKR_DEVICE_ERROR;
    count = 32;
    EXPECT_EQ(token_find(ids, &count), 1);
    EXPECT_EQ(token_connect(0), 1);

    EXPECT_EQ(token_find(ids, nullptr), 1);
    fake_->get_slot_list_rv = CKR_OK;
}

// A null array asks for the count: 0 and the tokens present (at most 32)
// whatever *count says, and the table holds them as after a full search.
TEST_F(mgr_binding, FindWithANullArrayGivesTheCountAndFillsTheTable) {
    ASSERT_EQ(init_pkcs11(fake_dll), 0);
    struct row {
        int present;
        unsigned long given;
        unsigned long expected;
    };
    const row rows[] = {{2, 0, 2}, {2, 1, 2}, {2, 32, 2}, {0, 5, 0}, {40, 0, 32}, {3, 0xFFFFFFFFul, 3}};
    for (const row& r : rows) {
        fake_->slot_count = r.present;
        unsigned long count = r.given;
        EXPECT_EQ(token_find(nullptr, &count), 0) << r.present << " present, " << r.given << " given";
        EXPECT_EQ(count, r.expected) << r.present << " present, " << r.given << " given";
        if (r.expected == 0) {
            EXPECT_EQ(token_connect(0), 1);
            continue;
        }
        const int last = static_cast<int>(r.expected) - 1;
        EXPECT_EQ(token_connect(last), 0) << r.present;
        EXPECT_EQ(fake_->last_slot, static_cast<CK_SLOT_ID>(100 + last)) << r.present;
        EXPECT_EQ(token_connect(last + 1), 1) << r.present;
    }
    fake_->get_slot_list_rv = CKR_DEVICE_ERROR;
    unsigned long count = 7;
    EXPECT_EQ(token_find(nullptr, &count), 1);
    EXPECT_EQ(token_connect(0), 1);
    EXPECT_EQ(token_find(nullptr, nullptr), 1);
}

TEST_F(mgr_binding, ConnectTwiceClosesTheFirstSessionThenOpensReadWrite) {
    connect_first();
    ASSERT_EQ(token_connect(0), 0);
    const std::vector<int> expected = {fake_module::call_close_session, fake_module::call_open_session};
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(fake_->closed[0], session_);
    // A failed open leaves the token not connected.
    fake_->open_session_rv = CKR_SLOT_ID_INVALID;
    EXPECT_EQ(token_connect(0), 1);
    EXPECT_EQ(token_logout(0), 1);
    EXPECT_EQ(token_disconnect(0), 0);
    unsigned long slot = 0;
    EXPECT_EQ(token_waitfor_event(&slot), 0);
    EXPECT_EQ(slot, 101u);
    EXPECT_EQ(token_waitfor_event(nullptr), 1);
}

// ---- information and PIN state ---------------------------------------------------

TEST_F(mgr_binding, InfoReportsTheRecordAndPinLimits32And6WhateverTheTokenSays) {
    fake_->pin_min = 4;
    fake_->pin_max = 16;
    connect_first();
    char serial[17] = {}, label[65], maker[33] = {}, model[17] = {};
    std::memset(label, 'x', sizeof label);
    int v[11];
    std::memset(v, 0x55, sizeof v);
    ASSERT_EQ(token_get_info_ex(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                                &v[7], &v[8], &v[9], &v[10]),
              0);
    EXPECT_EQ(std::string(serial, 16), "FAKE000000000042");
    EXPECT_EQ(std::string(label, 32), "Fake label" + std::string(22, ' '));
    EXPECT_EQ(std::string(label + 32, 32), std::string(32, '\0')) << "NULs after the 32 label bytes";
    EXPECT_EQ(label[64], 'x') << "64 bytes written";
    EXPECT_EQ(std::string(maker, 32), "Fake maker" + std::string(22, ' '));
    EXPECT_EQ(std::string(model, 16), "Fake model      ");
    const int expected[11] = {32, 6, 32, 6, 65536, 40000, 0x203, 0x10B, 0x1234, 1, 256};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(v[i], expected[i]) << "output " << i + 5;
    EXPECT_EQ(fake_->last_slot, 100u);

    std::memset(v, 0x55, sizeof v);
    ASSERT_EQ(token_get_info(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(v[i], expected[i]) << "output " << i + 5;
    EXPECT_EQ(v[10], 0x55555555) << "token_get_info has no 16th output";

    fake_->token_info_rv = CKR_DEVICE_REMOVED;
    EXPECT_EQ(token_get_info(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              2);
    fake_->token_info_rv = CKR_OK;
    fake_->ext_info_rv = CKR_DEVICE_ERROR;
    EXPECT_EQ(token_get_info(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              2);
    fake_->ext_info_rv = CKR_OK;
    EXPECT_EQ(token_get_info(0, nullptr, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              1);
    EXPECT_EQ(token_get_info_ex(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                                &v[7], &v[8], &v[9], nullptr),
              1);
}

TEST_F(mgr_binding, PinStateWidensTheFlagBytes) {
    connect_first();
    uint32_t left = 0, limit = 0;
    int flags[4] = {9, 9, 9, 9};
    ASSERT_EQ(token_get_pin_state(0, CKU_SO, &left, &limit, &flags[0], &flags[1], &flags[2], &flags[3]), 0);
    EXPECT_EQ(left, 7u);
    EXPECT_EQ(limit, 15u);
    EXPECT_EQ(flags[0], 1);
    EXPECT_EQ(flags[1], 0);
    EXPECT_EQ(flags[2], 1);
    EXPECT_EQ(flags[3], 1);
    EXPECT_EQ(fake_->last_user, static_cast<CK_USER_TYPE>(CKU_SO));
    EXPECT_EQ(fake_->last_slot, 100u);
    fake_->user_info_rv = CKR_DEVICE_ERROR;
    EXPECT_EQ(token_get_pin_state(0, CKU_USER, &left, &limit, &flags[0], &flags[1], &flags[2], &flags[3]), 1);
    fake_->user_info_rv = CKR_OK;
    EXPECT_EQ(token_get_pin_state(0, CKU_USER, &left, nullptr, &flags[0], &flags[1], &flags[2], &flags[3]), 1);
}

// ---- logins ----------------------------------------------------------------------

TEST_F(mgr_binding, UserLoginRetriesAndTheSoLoginEndedFirst) {
    connect_first();
    int retries = 99;
    EXPECT_EQ(token_login(0, "99999999", &retries), 1);
    EXPECT_EQ(retries, 7) << "the retries M_GetUserInfo reports";
    EXPECT_EQ(fake_->last_user, static_cast<CK_USER_TYPE>(CKU_USER));
    retries = 99;
    fake_->user_info_rv = CKR_DEVICE_ERROR;
    EXPECT_EQ(token_login(0, "99999999", &retries), 1);
    EXPECT_EQ(retries, 0) << "cleared first";
    fake_->user_info_rv = CKR_OK;

    retries = 99;
    EXPECT_EQ(token_login(0, "11112222", &retries), 0);
    EXPECT_EQ(retries, 0);
    EXPECT_EQ(last_bytes(), "11112222");

    // In an SO session the SO is logged out first.
    fake_->session_state = CKS_RW_SO_FUNCTIONS;
    clear_log();
    EXPECT_EQ(token_login(0, "11112222", &retries), 0);
    const std::vector<int> expected = {fake_module::call_get_session_info, fake_module::call_logout,
                                       fake_module::call_login};
    EXPECT_EQ(log(), expected);

    // A null PIN has length 0; a null retries pointer is refused.
    EXPECT_EQ(token_login(0, nullptr, &retries), 1);
    EXPECT_EQ(fake_->last_length, 0u);
    EXPECT_EQ(token_login(0, "11112222", nullptr), 1);
    fake_->session_info_rv = CKR_SESSION_HANDLE_INVALID;
    clear_log();
    EXPECT_EQ(token_login(0, "11112222", &retries), 1);
    EXPECT_EQ(calls(fake_module::call_login), 0);
}

TEST_F(mgr_binding, SoLoginKeepsTheRetriesOutputAndEndsAUserLoginFirst) {
    connect_first();
    int retries = 99;
    EXPECT_EQ(token_login_so(0, "11112222", &retries), 0);
    EXPECT_EQ(retries, 99) << "not cleared";
    EXPECT_EQ(fake_->last_user, static_cast<CK_USER_TYPE>(CKU_SO));
    EXPECT_EQ(token_login_so(0, "", &retries), 1);
    EXPECT_EQ(retries, 99) << "an empty PIN reads no retries";
    EXPECT_EQ(calls(fake_module::call_get_user_info), 0);
    EXPECT_EQ(token_login_so(0, "00000000", &retries), 1);
    EXPECT_EQ(retries, 7);
    for (CK_STATE state : {CKS_RO_USER_FUNCTIONS, CKS_RW_USER_FUNCTIONS}) {
        fake_->session_state = state;
        clear_log();
        EXPECT_EQ(token_login_so(0, "11112222", &retries), 0);
        EXPECT_EQ(calls(fake_module::call_logout), 1) << state;
    }
    EXPECT_EQ(token_login_so(0, "11112222", nullptr), 1);
}

TEST_F(mgr_binding, LogoutAndReloadGiveTheModulesValue) {
    connect_first();
    fake_->logout_rv = CKR_USER_NOT_LOGGED_IN;
    EXPECT_EQ(token_logout(0), static_cast<int>(CKR_USER_NOT_LOGGED_IN));
    fake_->reload_rv = CKR_DEVICE_REMOVED;
    EXPECT_EQ(token_reload_all_objects(0), static_cast<int>(CKR_DEVICE_REMOVED));
    fake_->reload_rv = CKR_OK;
    EXPECT_EQ(token_reload_all_objects(0), 0);
    EXPECT_EQ(fake_->last_session, session_);
}

// ---- PIN changes, sets and unblocks -------------------------------------------------

TEST_F(mgr_binding, PinChangesAreRefusedInTheWrongKindOfSession) {
    connect_first();
    fake_->session_state = CKS_RW_SO_FUNCTIONS;
    EXPECT_EQ(token_change_upin(0, "11112222", "22223333"), 1);
    EXPECT_EQ(calls(fake_module::call_set_pin), 0);
    EXPECT_EQ(token_change_sopin(0, "11112222", "22223333"), 0);
    EXPECT_EQ(last_bytes(), "11112222");
    EXPECT_EQ(last_new_bytes(), "22223333");

    for (CK_STATE state : {CKS_RW_USER_FUNCTIONS, CKS_RW_PUBLIC_SESSION}) {
        fake_->session_state = state;
        clear_log();
        EXPECT_EQ(token_change_sopin(0, "11112222", "22223333"), 1) << state;
        EXPECT_EQ(calls(fake_module::call_set_pin), 0) << state;
        EXPECT_EQ(token_change_upin(0, "1111222233334444", "987654"), 0) << state;
        EXPECT_EQ(last_bytes(), "1111222233334444");
        EXPECT_EQ(last_new_bytes(), "987654");
    }
    fake_->set_pin_rv = CKR_PIN_INCORRECT;
    EXPECT_EQ(token_change_upin(0, "11112222", "22223333"), 1);
    EXPECT_EQ(token_change_upin(0, nullptr, "22223333"), 1);
    EXPECT_EQ(token_change_upin(0, "11112222", nullptr), 1);
    EXPECT_EQ(token_change_sopin(0, nullptr, nullptr), 1);
}

TEST_F(mgr_binding, SetUserPinLogsTheSoInThenInitialisesThePin) {
    connect_first();
    EXPECT_EQ(token_set_upin(0, "11112222", "55556666"), 0);
    EXPECT_EQ(last_new_bytes(), "55556666");
    EXPECT_EQ(fake_->last_user, static_cast<CK_USER_TYPE>(CKU_SO));
    clear_log();
    EXPECT_EQ(token_set_upin(0, "wrong-so", "55556666"), 1);
    EXPECT_EQ(calls(fake_module::call_init_pin), 0);
    fake_->init_pin_rv = CKR_PIN_LEN_RANGE;
    EXPECT_EQ(token_set_upin(0, "11112222", "55556666"), 1);
    EXPECT_EQ(token_set_upin(0, nullptr, "55556666"), 1);
    EXPECT_EQ(token_set_upin(0, "11112222", nullptr), 1);
}

// The SO PIN goes to the module as NUL-terminated text (at most the module's
// 32 bytes) whatever length comes with it; an unblock code goes with its
// length, and one longer than a card command can carry is refused before
// it is copied, with no call.
TEST_F(mgr_binding, UnblocksTakeTheSoPinAsTextAndRefuseCodesNoCommandCanCarry) {
    connect_first();
    const char so[] = "87654321";
    // The code at the front of a buffer as long as the longest length the
    // library may copy, so that no row reads past it.
    std::vector<unsigned char> code(255);
    for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<unsigned char>(i * 17 + 3);
    const std::string code16(reinterpret_cast<const char*>(code.data()), 16);

    struct row {
        const char* name;
        unsigned long length;
        std::size_t code_sent;  // bytes of the code the module receives
        bool code_refused;
    };
    const row rows[] = {
        {"0", 0, 0, false},
        {"shorter than the PIN or the code", 3, 3, false},
        {"exact", 8, 8, false},
        {"16, the card's code", 16, 16, false},
        {"255, one command's data", 255, 255, false},
        {"256", 256, 0, true},
        {"0x80000000", 0x80000000ul, 0, true},
        {"0xFFFFFFFF", 0xFFFFFFFFul, 0, true},
    };
    for (const row& r : rows) {
        clear_log();
        EXPECT_EQ(token_unlock_upin(0, reinterpret_cast<const unsigned char*>(so), r.length, "44445555"), 0)
            << r.name;
        EXPECT_EQ(calls(fake_module::call_unblock_user_pin), 1) << r.name;
        EXPECT_EQ(last_bytes(), "87654321") << r.name;
        EXPECT_EQ(fake_->last_length, 8u) << r.name;
        EXPECT_EQ(last_new_bytes(), "44445555") << r.name;
        EXPECT_EQ(fake_->last_session, session_) << r.name;

        clear_log();
        fake_->last_length = 12345;
        EXPECT_EQ(token_remote_unlock_upin(0, code.data(), r.length, "666777"), r.code_refused ? 1 : 0) << r.name;
        EXPECT_EQ(calls(fake_module::call_remote_unblock_pin), r.code_refused ? 0 : 1) << r.name;
        if (r.code_refused) continue;
        EXPECT_EQ(fake_->last_length, static_cast<CK_ULONG>(r.code_sent)) << r.name;
        const std::size_t kept = std::min<std::size_t>(r.code_sent, sizeof fake_->last_bytes);
        EXPECT_EQ(std::memcmp(fake_->last_bytes, code.data(), kept), 0) << r.name;
        EXPECT_EQ(last_new_bytes(), "666777") << r.name;
    }

    // An SO PIN that fills the module's 32 bytes without a NUL: the first 32.
    char long_so[40];
    std::memset(long_so, 'S', sizeof long_so);
    long_so[39] = '\0';
    EXPECT_EQ(token_unlock_upin(0, reinterpret_cast<const unsigned char*>(long_so), 39, "44445555"), 0);
    EXPECT_EQ(last_bytes(), std::string(32, 'S'));
    EXPECT_EQ(token_unlock_upin(0, reinterpret_cast<const unsigned char*>(""), 8, "44445555"), 0);
    EXPECT_EQ(fake_->last_length, 0u) << "an empty SO PIN is the module's to refuse";

    clear_log();
    EXPECT_EQ(token_unlock_upin(0, nullptr, 8, "44445555"), 1);
    EXPECT_EQ(token_unlock_upin(0, nullptr, 0, "44445555"), 1);
    EXPECT_EQ(token_unlock_upin(0, reinterpret_cast<const unsigned char*>(so), 8, nullptr), 1);
    EXPECT_EQ(token_remote_unlock_upin(0, nullptr, 16, "666777"), 1);
    EXPECT_EQ(token_remote_unlock_upin(0, code.data(), 16, nullptr), 1);
    EXPECT_EQ(fake_->log_length, 0) << "nothing reaches the module";
    EXPECT_EQ(code16, std::string(reinterpret_cast<const char*>(code.data()), 16)) << "the caller's code untouched";
}

// ---- label, challenge, format ----------------------------------------------------

TEST_F(mgr_binding, LabelsOfMoreThan64CharactersGiveTwoWithoutACall) {
    connect_first();
    const std::string row[] = {"", "Label", std::string(32, 'L'), std::string(64, 'M')};
    for (const std::string& label : row) {
        EXPECT_EQ(token_set_label(0, label.c_str()), 0) << label.size();
        EXPECT_EQ(last_bytes(), label);
    }
    clear_log();
    EXPECT_EQ(token_set_label(0, std::string(65, 'N').c_str()), 2);
    EXPECT_EQ(token_set_label(0, std::string(1000, 'N').c_str()), 2);
    EXPECT_EQ(calls(fake_module::call_set_token_label), 0);
    EXPECT_EQ(token_set_label(0, nullptr), 1);
}

TEST_F(mgr_binding, ChallengeSeedsThenDrawsAndAFailedSeedDrawsNothing) {
    connect_first();
    unsigned char challenge[24];
    std::memset(challenge, 0, sizeof challenge);
    EXPECT_EQ(token_get_challenge(0, challenge), 0);
    EXPECT_EQ(fake_->random_length, 16u);
    EXPECT_EQ(challenge[15], 0xAF);
    EXPECT_EQ(challenge[16], 0);
    EXPECT_EQ(token_get_challenge_ex(0, challenge, 24), 0);
    EXPECT_EQ(fake_->random_length, 24u);
    const std::vector<int> expected = {fake_module::call_seed_random, fake_module::call_generate_random,
                                       fake_module::call_seed_random, fake_module::call_generate_random};
    EXPECT_EQ(log(), expected);
    fake_->seed_rv = CKR_RANDOM_SEED_NOT_SUPPORTED;
    clear_log();
    EXPECT_EQ(token_get_challenge(0, challenge), 1);
    EXPECT_EQ(token_get_challenge_ex(0, challenge, 8), 1);
    EXPECT_EQ(calls(fake_module::call_generate_random), 0);
    EXPECT_EQ(token_get_challenge(0, nullptr), 1);
}

TEST_F(mgr_binding, FormatTakes32CharacterPinsWithoutANulAndStopsAtTheFirstFailure) {
    connect_first();
    CK_EXT_FORMAT_PARAMS params;
    std::memset(&params, 0, sizeof params);
    std::memcpy(params.soPin, "SO-PIN-0123456789abcdef0123456789", 32);
    std::memcpy(params.userPin, "USER-PIN-0123456789abcdef0123456", 32);
    std::strcpy(fake_->good_pin, "SO-PIN-0123456789abcdef012345678");
    ASSERT_EQ(token_format(0, &params), 0);
    EXPECT_EQ(last_bytes(), "SO-PIN-0123456789abcdef012345678");
    EXPECT_EQ(last_new_bytes(), "USER-PIN-0123456789abcdef0123456");
    const std::vector<int> expected = {fake_module::call_format_token, fake_module::call_get_session_info,
                                       fake_module::call_login, fake_module::call_init_pin, fake_module::call_logout};
    EXPECT_EQ(log(), expected);

    struct row {
        const char* name;
        std::function<void(fake_module::state*)> setup;
        int last_call;
    };
    const row failures[] = {
        {"format", [](fake_module::state* s) { s->format_rv = CKR_DEVICE_ERROR; }, fake_module::call_format_token},
        {"SO login", [](fake_module::state* s) { s->good_pin[0] = '#'; }, fake_module::call_get_user_info},
        {"C_InitPIN", [](fake_module::state* s) { s->init_pin_rv = CKR_PIN_LEN_RANGE; }, fake_module::call_init_pin},
    };
    for (const row& r : failures) {
        std::strcpy(fake_->good_pin, "SO-PIN-0123456789abcdef012345678");
        fake_->format_rv = CKR_OK;
        fake_->init_pin_rv = CKR_OK;
        fake_->session_state = CKS_RW_PUBLIC_SESSION;
        r.setup(fake_.get());
        clear_log();
        EXPECT_EQ(token_format(0, &params), 1) << r.name;
        EXPECT_EQ(log().back(), r.last_call) << r.name;
    }
    EXPECT_EQ(token_format(0, nullptr), 1);
}

// ---- the unblock-code exports ------------------------------------------------------

TEST_F(mgr_binding, UnblockCodeExportsGiveTheKnownAnswersAndRefuseNulls) {
    unsigned char challenge[24];
    for (int i = 0; i < 24; ++i) challenge[i] = static_cast<unsigned char>(i);
    unsigned char out[24];
    std::memset(out, 0, sizeof out);
    ASSERT_EQ(helper_generate_unblock_code(challenge, "0123456789ABCDEFGHIJKLMN", out), 0);
    const unsigned char first[8] = {0x52, 0x8a, 0x80, 0x31, 0xc9, 0xe6, 0x8d, 0x00};
    EXPECT_EQ(std::memcmp(out, first, 8), 0);
    EXPECT_EQ(out[16], 0) << "16 bytes only";
    ASSERT_EQ(helper_generate_unblock_code2(challenge, 24, "0123456789ABCDEFGHIJKLMN", out), 0);
    const unsigned char third[8] = {0xb8, 0x18, 0x58, 0xf6, 0xe5, 0x7c, 0xa5, 0xe6};
    EXPECT_EQ(std::memcmp(out + 16, third, 8), 0);
    ASSERT_EQ(helper_generate_unblock_code(challenge, "abc", out), 0);
    const unsigned char abc[4] = {0x3c, 0x1e, 0xb0, 0x81};
    EXPECT_EQ(std::memcmp(out, abc, 4), 0);

    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(helper_generate_unblock_code2(challenge, 12, "abc", out), 1);
    EXPECT_EQ(helper_generate_unblock_code2(challenge, 0, "abc", out), 0);
    EXPECT_EQ(helper_generate_unblock_code(nullptr, "abc", out), 1);
    EXPECT_EQ(helper_generate_unblock_code(challenge, nullptr, out), 1);
    EXPECT_EQ(helper_generate_unblock_code(challenge, "abc", nullptr), 1);
    EXPECT_EQ(helper_generate_unblock_code2(challenge, 16, nullptr, out), 1);
    for (unsigned char c : out) EXPECT_EQ(c, 0x5A);
}

}  // namespace
