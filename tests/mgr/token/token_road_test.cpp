// The manager library on the real road, under Wine: SolvantaMgr.dll loads
// the tree's solvantex_pkcs11.dll of the same bitness, which reaches the
// virtual token through the PC/SC bridge, pcscd and vpcd. Each test starts
// on a token formatted through the library with known PINs; what the
// library reports is held against the module's own answers, read in the
// same test through the module's function lists.
#include <gtest/gtest.h>

#include <windows.h>

#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <pkcs11_vendor.h>

#include "SolvantaMgr.h"
#include "support/vtoken_control.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* module_file = "solvantex_pkcs11.dll";
constexpr const char* so_pin = "87654321";
constexpr const char* user_pin = "11112222";
constexpr const char* admin_key = "0123456789ABCDEFGHIJKLMN";
constexpr int second_token_port = 40471;

CK_EXT_FORMAT_PARAMS format_record(const char* label, const char* so, const char* user) {
    CK_EXT_FORMAT_PARAMS p;
    std::memset(&p, 0, sizeof p);
    const auto put = [](uint8_t* field, const char* value) { std::memcpy(field, value, std::strlen(value) < 32 ? std::strlen(value) : 32); };
    put(p.label, label);
    put(p.manufacturer, "Tarnely");
    put(p.secondName, "Tarnely");
    put(p.soPin, so);
    put(p.userPin, user);
    p.userRetryLimit = 10;
    p.soRetryLimit = 15;
    p.formatMode = 0xFF;
    return p;
}

struct pin_state {
    uint32_t left = 0, limit = 0;
    int count_low = 0, final_try = 0, locked = 0, to_be_changed = 0;
};

class mgr_road : public ::testing::Test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}});
        (void)uninit_pkcs11();
        ASSERT_EQ(init_pkcs11(module_file), 0);
        unsigned long ids[32] = {};
        unsigned long count = 32;
        ASSERT_EQ(token_find(ids, &count), 0);
        ASSERT_EQ(count, 1u);
        ASSERT_EQ(token_connect(0), 0);
        CK_EXT_FORMAT_PARAMS p = format_record("Manager", so_pin, user_pin);
        ASSERT_EQ(token_format(0, &p), 0);
        // The module as the library bound it, for the answers to compare.
        module_ = GetModuleHandleA(module_file);
        ASSERT_NE(module_, nullptr);
        auto get = reinterpret_cast<CK_C_GetFunctionList>(
            reinterpret_cast<void*>(GetProcAddress(module_, "C_GetFunctionList")));
        auto get_ext = reinterpret_cast<CK_M_GetExtFunctionList>(
            reinterpret_cast<void*>(GetProcAddress(module_, "M_GetExtFunctionList")));
        ASSERT_NE(get, nullptr);
        ASSERT_NE(get_ext, nullptr);
        ASSERT_EQ(get(&f_), CKR_OK);
        ASSERT_EQ(get_ext(&x_), CKR_OK);
    }
    void TearDown() override {
        (void)uninit_pkcs11();
        vt_.fresh_card();
    }

    pin_state user_state() {
        pin_state s;
        EXPECT_EQ(token_get_pin_state(0, CKU_USER, &s.left, &s.limit, &s.count_low, &s.final_try, &s.locked,
                                      &s.to_be_changed),
                  0);
        return s;
    }
    // Wrong user PINs until the card reports the PIN locked (bounded).
    void block_user_pin() {
        int retries = -1;
        for (int i = 0; i < 12 && user_state().locked == 0; ++i) EXPECT_EQ(token_login(0, "00000000", &retries), 1);
        ASSERT_EQ(user_state().locked, 1);
        EXPECT_EQ(token_login(0, user_pin, &retries), 1) << "blocked";
    }
    int login(const char* pin) {
        int retries = -1;
        return token_login(0, pin, &retries);
    }

    test_support::vtoken_control vt_;
    HMODULE module_ = nullptr;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    CK_EXT_FUNCTION_LIST_PTR x_ = nullptr;
};

std::string field(const void* p, std::size_t n) { return std::string(static_cast<const char*>(p), n); }

TEST_F(mgr_road, InitOnceFindOneTokenAndItsInfoAsTheModuleGivesIt) {
    EXPECT_EQ(init_pkcs11(module_file), 0);
    EXPECT_EQ(GetModuleHandleA(module_file), module_) << "no second load";

    char serial[16], label[64], maker[32], model[16];
    int v[11];
    ASSERT_EQ(token_get_info_ex(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                                &v[7], &v[8], &v[9], &v[10]),
              0);
    CK_TOKEN_INFO info;
    ASSERT_EQ(f_->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(field(serial, 16), field(info.serialNumber, 16));
    EXPECT_EQ(field(serial, 16), "SV00000000000001");
    EXPECT_EQ(field(label, 32), field(info.label, 32));
    EXPECT_EQ(field(label, 32), "Manager" + std::string(25, ' '));
    EXPECT_EQ(field(label + 32, 32), std::string(32, '\0'));
    EXPECT_EQ(field(maker, 32), field(info.manufacturerID, 32));
    EXPECT_EQ(field(model, 16), field(info.model, 16));
    EXPECT_EQ(v[0], 32);
    EXPECT_EQ(v[1], 6);
    EXPECT_EQ(v[2], 32);
    EXPECT_EQ(v[3], 6);
    EXPECT_EQ(static_cast<CK_ULONG>(v[4]), info.ulTotalPrivateMemory);
    EXPECT_EQ(static_cast<CK_ULONG>(v[5]), info.ulFreePrivateMemory);
    EXPECT_EQ(v[6], info.hardwareVersion.major * 256 + info.hardwareVersion.minor);
    EXPECT_EQ(v[7], info.firmwareVersion.major * 256 + info.firmwareVersion.minor);
    CK_EXT_TOKEN_INFO ext{};
    ASSERT_EQ(x_->M_GetTokenExtInfo(0, &ext), CKR_OK);
    EXPECT_EQ(v[8], ext.versionData[0] * 256 + ext.versionData[1]);
    EXPECT_EQ(v[9], 1) << "initialised";
    EXPECT_EQ(v[10], static_cast<int>(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH));

    int w[10];
    ASSERT_EQ(token_get_info(0, serial, label, maker, model, &w[0], &w[1], &w[2], &w[3], &w[4], &w[5], &w[6], &w[7],
                             &w[8], &w[9]),
              0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(w[i], v[i]) << i;
}

TEST_F(mgr_road, LoginWrongThenRightAndLogoutGivesTheModulesValue) {
    int retries = -1;
    EXPECT_EQ(token_login(0, "99999999", &retries), 1);
    const pin_state s = user_state();
    EXPECT_EQ(retries, static_cast<int>(s.left));
    EXPECT_EQ(s.left, 9u);
    EXPECT_EQ(s.limit, 10u);
    EXPECT_EQ(s.count_low, 1);
    EXPECT_EQ(token_login(0, user_pin, &retries), 0);
    EXPECT_EQ(retries, 0);
    EXPECT_EQ(user_state().left, 10u) << "a right PIN restores the tries";
    EXPECT_EQ(token_logout(0), 0);
    EXPECT_EQ(token_logout(0), static_cast<int>(CKR_USER_NOT_LOGGED_IN));
}

TEST_F(mgr_road, ChangeSetAndTheSessionKindsThatRefuse) {
    ASSERT_EQ(token_change_upin(0, user_pin, "22223333"), 0);
    EXPECT_EQ(login("22223333"), 0);
    EXPECT_EQ(token_logout(0), 0);
    EXPECT_EQ(login(user_pin), 1);
    ASSERT_EQ(token_change_upin(0, "22223333", user_pin), 0);
    EXPECT_EQ(login(user_pin), 0);

    // An SO session refuses the user PIN change; a user session the SO's.
    EXPECT_EQ(token_change_sopin(0, so_pin, "12121212"), 1);
    int retries = -1;
    ASSERT_EQ(token_login_so(0, so_pin, &retries), 0);
    EXPECT_EQ(token_change_upin(0, user_pin, "33334444"), 1);
    ASSERT_EQ(token_change_sopin(0, so_pin, "12121212"), 0);
    EXPECT_EQ(token_logout(0), 0);
    EXPECT_EQ(login(user_pin), 0) << "the user PIN is unchanged";
    EXPECT_EQ(token_login_so(0, "12121212", &retries), 0) << "the SO PIN is the new one";

    // token_set_upin with the SO PIN, from a user session as well.
    ASSERT_EQ(login(user_pin), 0);
    ASSERT_EQ(token_set_upin(0, "12121212", "55556666"), 0);
    EXPECT_EQ(login("55556666"), 0);
    EXPECT_EQ(token_set_upin(0, so_pin, "77778888"), 1) << "the old SO PIN";
    EXPECT_EQ(login("55556666"), 0);
}

TEST_F(mgr_road, SoPinStateChallengesAndASecondConnect) {
    int retries = -1;
    EXPECT_EQ(token_login_so(0, "00000000", &retries), 1);
    pin_state so;
    ASSERT_EQ(token_get_pin_state(0, CKU_SO, &so.left, &so.limit, &so.count_low, &so.final_try, &so.locked,
                                  &so.to_be_changed),
              0);
    EXPECT_EQ(so.limit, 15u);
    EXPECT_EQ(static_cast<uint32_t>(retries), so.left);
    EXPECT_EQ(so.left, 14u);
    EXPECT_EQ(token_login_so(0, so_pin, &retries), 0);
    EXPECT_EQ(token_logout(0), 0);

    unsigned char a[16] = {}, b[16] = {}, c[24] = {};
    ASSERT_EQ(token_get_challenge(0, a), 0);
    ASSERT_EQ(token_get_challenge(0, b), 0);
    EXPECT_NE(std::memcmp(a, b, 16), 0) << "a fresh challenge each time";
    ASSERT_EQ(token_get_challenge_ex(0, c, 24), 0);

    // A second connect closes the first session: a session of our own
    // brackets the handle the library held.
    CK_SESSION_HANDLE own = 0;
    ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &own), CKR_OK);
    ASSERT_EQ(token_connect(0), 0);
    CK_SESSION_INFO info;
    EXPECT_EQ(f_->C_GetSessionInfo(own + 1, &info), CKR_OK) << "the new session";
    EXPECT_EQ(f_->C_GetSessionInfo(own - 1, &info), CKR_SESSION_HANDLE_INVALID) << "the one before, closed";
    EXPECT_EQ(f_->C_CloseSession(own), CKR_OK);
    EXPECT_EQ(login(user_pin), 0) << "the new session works";
    EXPECT_EQ(token_disconnect(0), 0);
    EXPECT_EQ(login(user_pin), 1) << "not connected";
}

TEST_F(mgr_road, LabelOf32CharactersReadsBackAnd65IsRefused) {
    const std::string label32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    ASSERT_EQ(token_set_label(0, label32.c_str()), 0);
    char serial[16], label[64], maker[32], model[16];
    int v[10];
    ASSERT_EQ(token_get_info(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              0);
    EXPECT_EQ(field(label, 32), label32);
    EXPECT_EQ(token_set_label(0, std::string(65, 'x').c_str()), 2);
    ASSERT_EQ(token_get_info(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              0);
    EXPECT_EQ(field(label, 32), label32) << "nothing written";
}

TEST_F(mgr_road, RemoteUnblockWithTheAdministratorKeyAndUnblockWithTheSoPin) {
    vt_.call("set", {{"admin_key", test_support::to_hex(reinterpret_cast<const unsigned char*>(admin_key), 24)}});
    ASSERT_NO_FATAL_FAILURE(block_user_pin());
    unsigned char challenge[16] = {};
    ASSERT_EQ(token_get_challenge(0, challenge), 0);
    unsigned char response[16] = {};
    ASSERT_EQ(helper_generate_unblock_code(challenge, admin_key, response), 0);
    ASSERT_EQ(token_remote_unlock_upin(0, response, 16, "24682468"), 0);
    EXPECT_EQ(login("24682468"), 0);
    EXPECT_EQ(user_state().locked, 0);
    EXPECT_EQ(token_logout(0), 0);

    // A response to another challenge is refused.
    ASSERT_NO_FATAL_FAILURE(block_user_pin());
    ASSERT_EQ(token_get_challenge(0, challenge), 0);
    challenge[0] ^= 1;
    ASSERT_EQ(helper_generate_unblock_code(challenge, admin_key, response), 0);
    EXPECT_EQ(token_remote_unlock_upin(0, response, 16, "13571357"), 1);
    EXPECT_EQ(login("13571357"), 1);

    // The SO value unblocks as well.
    ASSERT_EQ(token_unlock_upin(0, reinterpret_cast<const unsigned char*>(so_pin), 8, "97539753"), 0);
    EXPECT_EQ(login("97539753"), 0);
}

// Whatever length comes with it, the SO PIN is read as the module reads it
// (NUL-terminated text), so every length unblocks as the exact one does.
TEST_F(mgr_road, UnblockWithTheSoPinForEveryLength) {
    struct row {
        const char* name;
        unsigned long length;
        const char* new_pin;
    };
    const row rows[] = {
        {"0", 0, "20000002"},
        {"shorter than the PIN", 3, "30000003"},
        {"exact", 8, "40000004"},
        {"0xFFFFFFFF", 0xFFFFFFFFul, "50000005"},
        {"0x80000000", 0x80000000ul, "60000006"},
    };
    for (const row& r : rows) {
        ASSERT_NO_FATAL_FAILURE(block_user_pin()) << r.name;
        EXPECT_EQ(token_unlock_upin(0, reinterpret_cast<const unsigned char*>(so_pin), r.length, r.new_pin), 0)
            << r.name;
        const pin_state after = user_state();
        EXPECT_EQ(after.locked, 0) << r.name;
        EXPECT_EQ(after.left, after.limit) << r.name;
        EXPECT_EQ(login(r.new_pin), 0) << r.name;
        EXPECT_EQ(token_logout(0), 0) << r.name;
    }
}

// A code of a length no card command can carry is refused before anything
// reaches the card; lengths the module or the card refuse are refused as
// well; none of them costs a retry. The exact length then unblocks.
TEST_F(mgr_road, RemoteUnblockRefusesEveryLengthButTheExactOneAndCountsNoRetry) {
    vt_.call("set", {{"admin_key", test_support::to_hex(reinterpret_cast<const unsigned char*>(admin_key), 24)}});
    ASSERT_NO_FATAL_FAILURE(block_user_pin());
    uint32_t so_left = 0, so_limit = 0;
    int flags[4] = {};
    ASSERT_EQ(token_get_pin_state(0, CKU_SO, &so_left, &so_limit, &flags[0], &flags[1], &flags[2], &flags[3]), 0);
    const pin_state user_before = user_state();

    // The code sits at the front of a buffer as long as the longest length
    // the library may copy, so that no row reads past it.
    std::vector<unsigned char> code(256, 0);
    unsigned char challenge[16] = {};
    const unsigned long refused[] = {0, 3, 0xFFFFFFFFul, 0x80000000ul};
    for (unsigned long length : refused) {
        ASSERT_EQ(token_get_challenge(0, challenge), 0);
        ASSERT_EQ(helper_generate_unblock_code(challenge, admin_key, code.data()), 0);
        EXPECT_EQ(token_remote_unlock_upin(0, code.data(), length, "35793579"), 1) << length;
        const pin_state user = user_state();
        EXPECT_EQ(user.locked, 1) << length;
        EXPECT_EQ(user.left, user_before.left) << length;
        uint32_t left = 0, limit = 0;
        ASSERT_EQ(token_get_pin_state(0, CKU_SO, &left, &limit, &flags[0], &flags[1], &flags[2], &flags[3]), 0);
        EXPECT_EQ(left, so_left) << length;
        EXPECT_EQ(login("35793579"), 1) << length;
    }
    ASSERT_EQ(token_get_challenge(0, challenge), 0);
    ASSERT_EQ(helper_generate_unblock_code(challenge, admin_key, code.data()), 0);
    EXPECT_EQ(token_remote_unlock_upin(0, code.data(), 16, "35793579"), 0);
    EXPECT_EQ(user_state().locked, 0);
    EXPECT_EQ(login("35793579"), 0);
}

TEST_F(mgr_road, FormatWith32CharacterPinsLeavesBothPinsWorking) {
    const char* so32 = "SO-pin-of-thirty-two-characters!";
    const char* user32 = "user-pin-of-thirty-two-character";
    ASSERT_EQ(std::strlen(so32), 32u);
    ASSERT_EQ(std::strlen(user32), 32u);
    CK_EXT_FORMAT_PARAMS p = format_record("Thirty-two", so32, user32);
    ASSERT_EQ(token_format(0, &p), 0);
    EXPECT_EQ(login(user32), 0);
    EXPECT_EQ(token_logout(0), 0);
    int retries = -1;
    EXPECT_EQ(token_login_so(0, so32, &retries), 0);
    EXPECT_EQ(token_logout(0), 0);
    EXPECT_EQ(login(user_pin), 1) << "the old PIN is gone";
    EXPECT_EQ(token_reload_all_objects(0), 0);

    // A user PIN the module refuses: the format fails before any login.
    CK_EXT_FORMAT_PARAMS bad = format_record("Short", so_pin, "123");
    EXPECT_EQ(token_format(0, &bad), 1);
}

TEST_F(mgr_road, AFormatWhoseInitPinFailsGivesOneOnAFormattedToken) {
    // The card refuses the PIN set of C_InitPIN (the only command with INS
    // 34 on this road): the format and the SO login have run, no logout
    // (ClearSecureState, INS 35) follows, and the result is 1.
    CK_EXT_FORMAT_PARAMS p = format_record("Half done", so_pin, "44446666");
    vt_.call("fail_next", {{"ins", 0x34}, {"sw", "6982"}, {"count", 1}});
    vt_.clear_log();
    EXPECT_EQ(token_format(0, &p), 1);
    const std::vector<std::string> sent = vt_.commands();
    std::size_t refused = sent.size();
    for (std::size_t i = 0; i < sent.size(); ++i)
        if (sent[i].substr(2, 2) == "34") refused = i;
    ASSERT_LT(refused, sent.size()) << "C_InitPIN reached the card";
    for (std::size_t i = refused; i < sent.size(); ++i) EXPECT_NE(sent[i].substr(2, 2), "35") << i;
    vt_.call("fail_next", {{"clear", true}});
    char serial[16], label[64], maker[32], model[16];
    int v[10];
    ASSERT_EQ(token_get_info(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              0);
    EXPECT_EQ(field(label, 9), "Half done");
    EXPECT_EQ(v[9], 1) << "initialised";
    int retries = -1;
    EXPECT_EQ(token_login_so(0, so_pin, &retries), 0) << "the SO PIN of the record";
}

TEST_F(mgr_road, SlotEventsWhenTheCardIsPulledAndInserted) {
    unsigned long slot = 77;
    vt_.call("remove");
    ASSERT_EQ(token_waitfor_event(&slot), 0);
    EXPECT_EQ(slot, 0u);
    vt_.call("insert", {{"wait_ready", true}});
    slot = 77;
    ASSERT_EQ(token_waitfor_event(&slot), 0);
    EXPECT_EQ(slot, 0u);
}

TEST_F(mgr_road, ReaderListHoldsTheBridgesReadersWithADoubleNul) {
    char readers[1024];
    std::memset(readers, 'x', sizeof readers);
    int length = 0;
    ASSERT_EQ(helper_list_readers(readers, &length), 0);
    ASSERT_GT(length, 2);
    ASSERT_LT(length, 1024);
    EXPECT_EQ(readers[length - 1], '\0');
    EXPECT_EQ(readers[length - 2], '\0');
    EXPECT_EQ(readers[length], 'x') << "length characters written";
    std::vector<std::string> names;
    for (const char* p = readers; *p != '\0'; p += std::strlen(p) + 1) names.emplace_back(p);
    EXPECT_NE(std::find(names.begin(), names.end(), test_support::card_reader), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), test_support::empty_reader), names.end());

    // A positive length is the capacity: too small gives the needed length
    // and writes nothing.
    const int needed = length;
    std::memset(readers, 'x', sizeof readers);
    length = needed - 1;
    EXPECT_EQ(helper_list_readers(readers, &length), static_cast<int>(SCARD_E_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, needed);
    EXPECT_EQ(readers[0], 'x');
    length = needed;
    EXPECT_EQ(helper_list_readers(readers, &length), 0);
    EXPECT_EQ(length, needed);
    // A null buffer asks for the length only, whatever *length says.
    for (int given : {0, -1, 1, needed}) {
        length = given;
        EXPECT_EQ(helper_list_readers(nullptr, &length), 0) << given;
        EXPECT_EQ(length, needed) << given;
    }
    EXPECT_EQ(helper_list_readers(readers, nullptr), 1);
    EXPECT_EQ(helper_list_readers(nullptr, nullptr), 1);
}

TEST_F(mgr_road, UninitWithTwoConnectedTokensClosesBothSessions) {
    test_support::vtoken_control second(second_token_port);
    second.call("reset_state");
    second.call("preset", {{"name", "factory"}, {"serial", "SV00000000000002"}});
    second.call("insert", {{"wait_ready", true}});
    unsigned long ids[32];
    unsigned long count = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        count = 32;
        ASSERT_EQ(token_find(ids, &count), 0);
        if (count == 2) break;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(count, 2u);
    // A session of our own brackets the handles the library will take.
    CK_SESSION_HANDLE own = 0;
    ASSERT_EQ(f_->C_OpenSession(ids[1], CKF_SERIAL_SESSION, nullptr, nullptr, &own), CKR_OK);
    ASSERT_EQ(token_connect(0), 0);
    ASSERT_EQ(token_connect(1), 0);
    CK_SESSION_INFO info;
    ASSERT_EQ(f_->C_GetSessionInfo(own + 1, &info), CKR_OK);
    EXPECT_EQ(info.slotID, ids[0]);
    ASSERT_EQ(f_->C_GetSessionInfo(own + 2, &info), CKR_OK);
    EXPECT_EQ(info.slotID, ids[1]);
    ASSERT_EQ(f_->C_CloseSession(own), CKR_OK);

    // Our own reference keeps the module loaded for the check after.
    HMODULE held = LoadLibraryA(module_file);
    ASSERT_EQ(held, module_);
    EXPECT_EQ(uninit_pkcs11(), 0);
    ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(f_->C_GetSessionInfo(own + 1, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f_->C_GetSessionInfo(own + 2, &info), CKR_SESSION_HANDLE_INVALID);
    (void)f_->C_Finalize(nullptr);
    FreeLibrary(held);

    // Nothing bound: every token export gives 1, and nothing crashes.
    int retries = 0;
    unsigned char bytes[16];
    EXPECT_EQ(token_connect(0), 1);
    EXPECT_EQ(token_connect(1), 1);
    EXPECT_EQ(token_login(0, user_pin, &retries), 1);
    EXPECT_EQ(token_logout(1), 1);
    EXPECT_EQ(token_get_challenge(0, bytes), 1);
    EXPECT_EQ(token_reload_all_objects(1), 1);
    count = 32;
    EXPECT_EQ(token_find(ids, &count), 1);
    second.call("remove");
}

}  // namespace
