// What the token calls cost: for each call, the commands it sends (counted
// in the virtual token's log) beside the budget it is held to, and the
// median time per call against the bare round trips of the same commands
// sent with SCardTransmit on a connection of our own. The module's own time
// is the difference.
// Needs the card environment (tests/harness/card_env.py start); the token
// is formatted by the run.
//
//   token_calls_bench [calls-per-figure]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

#include "card_device.h"
#include "card_device_source.h"
#include "pkcs11_core.h"
#include "support/bare_card.h"
#include "support/bench_timing.h"
#include "support/vtoken_control.h"

namespace {


using test_support::median;
using test_support::time_us;


using test_support::bare_card;

struct figure {
    const char* name;
    int budget;
    std::function<CK_RV()> call;
    std::function<void()> after;  // puts the state back between calls
    std::function<void()> before = {};  // the state the figure starts from (optional)
};

// A whole search: Init, every handle in one call, Final.
CK_RV search_all(CK_SESSION_HANDLE s, CK_ULONG* found) {
    CK_OBJECT_HANDLE handles[64];
    CK_RV rv = C_FindObjectsInit(s, nullptr, 0);
    if (rv == CKR_OK) rv = C_FindObjects(s, handles, 64, found);
    const CK_RV final_rv = C_FindObjectsFinal(s);
    return rv != CKR_OK ? rv : final_rv;
}

// The token's objects of the object figures: 8 data objects (half of them
// private) of 200 bytes and 4 AES keys.
bool fill_token(CK_SESSION_HANDLE s) {
    for (int i = 0; i < 12; ++i) {
        const bool is_data = i < 8;
        CK_OBJECT_CLASS cls = is_data ? CKO_DATA : CKO_SECRET_KEY;
        CK_KEY_TYPE key_type = CKK_AES;
        CK_BBOOL yes = CK_TRUE, is_private = (i % 2 == 1) ? CK_TRUE : CK_FALSE;
        std::string label = (is_data ? "data" : "key") + std::to_string(i);
        std::vector<CK_BYTE> value(is_data ? 200 : 16, static_cast<CK_BYTE>(i));
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls},
                                       {CKA_TOKEN, &yes, 1},
                                       {CKA_PRIVATE, &is_private, 1},
                                       {CKA_LABEL, &label[0], static_cast<CK_ULONG>(label.size())},
                                       {CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())}};
        if (!is_data) t.push_back({CKA_KEY_TYPE, &key_type, sizeof key_type});
        CK_OBJECT_HANDLE h = 0;
        if (C_CreateObject(s, t.data(), static_cast<CK_ULONG>(t.size()), &h) != CKR_OK) return false;
    }
    return true;
}

// The handle of the data object "data0".
CK_OBJECT_HANDLE data0(CK_SESSION_HANDLE s) {
    char label[] = "data0";
    CK_ATTRIBUTE t{CKA_LABEL, label, 5};
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG n = 0;
    C_FindObjectsInit(s, &t, 1);
    C_FindObjects(s, &h, 1, &n);
    C_FindObjectsFinal(s);
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    test_support::vtoken_control vt;
    vt.fresh_card();
    vt.call("preset", {{"name", "factory"}});
    pkcs11::Pkcs11Core::instance().set_device_source(std::make_unique<solvantex::card_device_source>());
    if (C_Initialize(nullptr) != CKR_OK) return 1;
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    if (C_GetSlotList(CK_TRUE, &slot, &n) != CKR_OK || n != 1) {
        std::fprintf(stderr, "no token: is the card environment running?\n");
        return 1;
    }
    CK_UTF8CHAR so[] = "87654321";
    CK_UTF8CHAR user[] = "11112222";
    CK_UTF8CHAR label[32];
    std::fill(label, label + 32, ' ');
    if (C_InitToken(slot, so, 8, label) != CKR_OK) return 1;
    CK_SESSION_HANDLE s = 0;
    C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    C_Login(s, CKU_SO, so, 8);
    C_InitPIN(s, user, 8);
    C_Logout(s);
    CK_TOKEN_INFO info;
    C_GetTokenInfo(slot, &info);  // the full read of a new connection
    CK_BYTE random[32];
    CK_SESSION_HANDLE opened = 0;
    C_Login(s, CKU_USER, user, 8);
    if (!fill_token(s)) {
        std::fprintf(stderr, "the token's objects could not be made\n");
        return 1;
    }
    C_Logout(s);
    CK_ULONG found = 0;
    CK_BYTE value[256];
    CK_OBJECT_HANDLE data_handle = 0;
    const auto relogin = [&] {
        C_Logout(s);
        C_Login(s, CKU_USER, user, 8);
    };
    const auto reload = [&] {
        M_ReloadObjects(s);
        data_handle = data0(s);
    };

    const figure figures[] = {
        {"C_GetTokenInfo", 2, [&] { return C_GetTokenInfo(slot, &info); }, [] {}},
        {"C_OpenSession", 0, [&] { return C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &opened); },
         [&] { C_CloseSession(opened); }},
        {"C_Login (user)", 2, [&] { return C_Login(s, CKU_USER, user, 8); }, [&] { C_Logout(s); }},
        {"C_Logout", 1, [&] { return C_Logout(s); }, [&] { C_Login(s, CKU_USER, user, 8); }},
        {"C_GenerateRandom(32)", 3, [&] { return C_GenerateRandom(s, random, 32); }, [] {}},
        // Both tables read once after the login, then nothing: for each a
        // select and the header, then the records in reads of up to 1024
        // bytes (8 x 185 bytes of data records in two, 4 x 187 of keys in
        // one).
        {"search, first after login", 7, [&] { return search_all(s, &found); }, relogin, relogin},
        {"search, later", 0, [&] { return search_all(s, &found); }, [] {}, relogin},
        // The value file of one data object, read once: a select and one
        // read.
        {"C_GetAttributeValue value", 2,
         [&] {
             CK_ATTRIBUTE a{CKA_VALUE, value, sizeof value};
             return C_GetAttributeValue(s, data_handle, &a, 1);
         },
         reload, reload},
    };
    bare_card bare;
    if (!bare.open()) return 1;
    std::printf("%-26s %6s %6s %12s %12s %9s\n", "call", "APDUs", "budget", "module us", "bare us", "added");
    for (const figure& f : figures) {
        if (std::string(f.name) == "C_Logout") C_Login(s, CKU_USER, user, 8);
        if (f.before) f.before();
        std::vector<double> module_us, bare_us;
        std::vector<std::vector<unsigned char>> apdus;
        std::size_t count = 0;
        for (int r = 0; r < rounds; ++r) {
            vt.clear_log();
            CK_RV rv = CKR_OK;
            module_us.push_back(time_us([&] { rv = f.call(); }));
            if (rv != CKR_OK) {
                std::fprintf(stderr, "%s: 0x%lx\n", f.name, static_cast<unsigned long>(rv));
                return 1;
            }
            const auto commands = vt.commands();
            count = commands.size();
            apdus.clear();
            for (const auto& c : commands) apdus.push_back(test_support::from_hex(c));
            f.after();
            bare_us.push_back(time_us([&] { bare.send(apdus); }));
            // The replayed commands may leave the card elsewhere (a stale
            // PIN response costs a try): the call itself puts it right.
            (void)f.call();
            f.after();
        }
        const double m = median(module_us), b = median(bare_us);
        std::printf("%-26s %6zu %6d %12.1f %12.1f", f.name, count, f.budget, m, b);
        if (count > 0)
            std::printf(" %8.1f%%\n", (m - b) / b * 100.0);
        else
            std::printf(" %9s\n", "-");
    }
    C_CloseSession(s);
    C_Finalize(nullptr);
    return 0;
}
