// The manager library's cost on the main road: each row runs one export
// and, interleaved with it in the same run, the same module calls made
// directly through the same function lists. It prints the APDUs each sent
// (counted in the virtual token's log: the library must add none) and the
// medians of both times with the library's share. Built, never run by
// ctest: it needs the card environment and the PC/SC bridge (README).
//
// Rows are a table: a row names the export, the library call, the direct
// calls and what puts the token back after each (untimed), so rows of
// other exports are added by appending to rows().
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

#include "SolvantaMgr.h"
#include "support/bench_timing.h"
#include "support/vtoken_control.h"

namespace {

constexpr const char* module_file = "solvantex_pkcs11.dll";
constexpr const char* so_pin = "87654321";
constexpr const char* pin_a = "11112222";
constexpr const char* pin_b = "33334444";

CK_UTF8CHAR_PTR text(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

// The module as the library bound it, with a session of the bench's own on
// the same token for the direct calls.
struct road {
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_EXT_FUNCTION_LIST_PTR x = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    CK_RV failed = CKR_OK;  // any direct call that failed
    int library_failed = 0;  // any export that failed
};

struct bench_row {
    const char* name;
    std::function<int()> library;
    std::function<CK_RV()> direct;
    std::function<void()> after;  // untimed, after each of the two
};

// The objects the container and file rows read: a container with a
// 1.5 KiB certificate of key spec 1, and a 1 KiB file.
constexpr const char* bench_container = "bench box";
constexpr const char* bench_file = "bench1k";
constexpr std::size_t bench_cert_size = 1536;
constexpr std::size_t bench_file_size = 1024;

CK_BBOOL ck_true = CK_TRUE;

bool make_objects(road& r) {
    std::vector<unsigned char> cert(bench_cert_size, 0x5A);
    cert[0] = 0x30;  // a SEQUENCE of the rest
    cert[1] = 0x82;
    cert[2] = static_cast<unsigned char>((bench_cert_size - 4) >> 8);
    cert[3] = static_cast<unsigned char>((bench_cert_size - 4) & 0xFF);
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_ULONG spec = 1;
    unsigned char subject[] = {0x30, 0x00};
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_TOKEN, &ck_true, 1},
        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
        {CKA_SUBJECT, subject, sizeof subject},
        {CKA_VALUE, cert.data(), static_cast<CK_ULONG>(cert.size())},
        {CKA_VENDOR_KEY_SPEC, &spec, sizeof spec},
        {CKA_VENDOR_CONTAINER_NAME, const_cast<char*>(bench_container),
         static_cast<CK_ULONG>(std::strlen(bench_container))},
    };
    CK_OBJECT_HANDLE h = 0;
    int retries = 0;
    if (token_login(0, pin_a, &retries) != 0) return false;
    bool ok = r.f->C_CreateObject(r.session, tmpl, 7, &h) == CKR_OK;
    std::vector<unsigned char> data(bench_file_size, 0x31);
    ok = ok && token_create_file(0, bench_file, static_cast<int>(std::strlen(bench_file))) == 0 &&
         token_write_file(0, bench_file, data.data(), static_cast<int>(data.size())) == 0;
    return token_logout(0) == 0 && ok;
}

// The first object of a template through the bench's own session, as the
// library searches it.
CK_RV first_of(road& r, CK_ATTRIBUTE* tmpl, CK_ULONG n, CK_OBJECT_HANDLE& h) {
    CK_RV rv = r.f->C_FindObjectsInit(r.session, tmpl, n);
    if (rv != CKR_OK) return rv;
    CK_ULONG found = 0;
    rv = r.f->C_FindObjects(r.session, &h, 1, &found);
    const CK_RV end = r.f->C_FindObjectsFinal(r.session);
    if (rv == CKR_OK && found != 1) rv = CKR_GENERAL_ERROR;
    return rv != CKR_OK ? rv : end;
}

std::vector<bench_row> rows(road& r) {
    static char serial[16], label[64], maker[32], model[16];
    static int v[10];
    static unsigned char challenge[16];
    static uint32_t left, limit;
    static int flags[4];
    return {
        {"token_get_info",
         [] { return token_get_info(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]); },
         [&r] {
             CK_TOKEN_INFO info;
             CK_EXT_TOKEN_INFO ext;
             CK_RV rv = r.f->C_GetTokenInfo(r.slot, &info);
             return rv != CKR_OK ? rv : r.x->M_GetTokenExtInfo(r.slot, &ext);
         },
         [] {}},
        {"token_login",
         [] {
             int retries = 0;
             return token_login(0, pin_a, &retries);
         },
         [&r] {
             CK_SESSION_INFO info;
             CK_RV rv = r.f->C_GetSessionInfo(r.session, &info);
             return rv != CKR_OK ? rv : r.f->C_Login(r.session, CKU_USER, text(pin_a), 8);
         },
         [&r] { r.failed |= r.f->C_Logout(r.session); }},
        {"token_get_pin_state",
         [] { return token_get_pin_state(0, CKU_USER, &left, &limit, &flags[0], &flags[1], &flags[2], &flags[3]); },
         [&r] {
             CK_EXT_USER_INFO info;
             return r.x->M_GetUserInfo(r.slot, CKU_USER, &info);
         },
         [] {}},
        {"token_get_challenge",
         [] { return token_get_challenge(0, challenge); },
         [&r] {
             CK_RV rv = r.f->C_SeedRandom(r.session, nullptr, 0);
             return rv != CKR_OK ? rv : r.f->C_GenerateRandom(r.session, challenge, 16);
         },
         [] {}},
        {"token_change_upin",
         [] { return token_change_upin(0, pin_a, pin_b); },
         [&r] {
             CK_SESSION_INFO info;
             CK_RV rv = r.f->C_GetSessionInfo(r.session, &info);
             return rv != CKR_OK ? rv : r.f->C_SetPIN(r.session, text(pin_a), 8, text(pin_b), 8);
         },
         [&r] { r.failed |= r.f->C_SetPIN(r.session, text(pin_b), 8, text(pin_a), 8); }},
        {"container_load_all",
         [] {
             char names[512] = {};
             unsigned long length = sizeof names;
             return container_load_all(0, names, &length);
         },
         [&r] {
             char names[512] = {};
             CK_ULONG length = sizeof names;
             return r.x->M_EnumContainer(r.session, reinterpret_cast<CK_CHAR_PTR>(names), &length);
         },
         [] {}},
        {"token_read_file 1 KiB",
         [] {
             static unsigned char buffer[4096];
             int length = sizeof buffer;
             return token_read_file(0, bench_file, buffer, &length);
         },
         [&r] {
             static unsigned char buffer[4096];
             CK_OBJECT_CLASS cls = CKO_DATA;
             CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                                    {CKA_TOKEN, &ck_true, 1},
                                    {CKA_LABEL, const_cast<char*>(bench_file),
                                     static_cast<CK_ULONG>(std::strlen(bench_file))}};
             CK_RV rv = r.f->C_FindObjectsInit(r.session, tmpl, 3);
             if (rv != CKR_OK) return rv;
             CK_OBJECT_HANDLE h = 0;
             CK_ULONG n = 0;
             rv = r.f->C_FindObjects(r.session, &h, 1, &n);
             CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
             if (rv == CKR_OK) rv = r.f->C_GetAttributeValue(r.session, h, &value, 1);
             value.pValue = buffer;
             value.ulValueLen = sizeof buffer;
             if (rv == CKR_OK) rv = r.f->C_GetAttributeValue(r.session, h, &value, 1);
             const CK_RV end = r.f->C_FindObjectsFinal(r.session);
             return rv != CKR_OK ? rv : end;
         },
         [] {}},
        {"container_get_cert 1.5 KiB",
         [] {
             static unsigned char buffer[4096];
             unsigned long length = sizeof buffer;
             return container_get_cert(0, bench_container, 1, buffer, &length);
         },
         [&r] {
             static unsigned char buffer[4096];
             CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
             CK_ULONG spec = 1;
             CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                                    {CKA_TOKEN, &ck_true, 1},
                                    {CKA_VENDOR_KEY_SPEC, &spec, sizeof spec},
                                    {CKA_VENDOR_CONTAINER_NAME, const_cast<char*>(bench_container),
                                     static_cast<CK_ULONG>(std::strlen(bench_container))}};
             CK_OBJECT_HANDLE h = 0;
             CK_RV rv = first_of(r, tmpl, 4, h);
             CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
             if (rv == CKR_OK) rv = r.f->C_GetAttributeValue(r.session, h, &value, 1);
             value.pValue = buffer;
             if (rv == CKR_OK) rv = r.f->C_GetAttributeValue(r.session, h, &value, 1);
             return rv;
         },
         [] {}},
    };
}

struct figure {
    std::size_t library_apdus = 0, direct_apdus = 0;
    double library_us = 0, direct_us = 0;
};

figure measure(test_support::vtoken_control& vt, road& r, const bench_row& row, int rounds) {
    figure out;
    // Once each untimed (a first call may load what later ones reuse),
    // counted once each, then timed round by round, interleaved.
    r.library_failed |= row.library();
    row.after();
    r.failed |= row.direct();
    row.after();
    vt.clear_log();
    r.library_failed |= row.library();
    out.library_apdus = vt.commands().size();
    row.after();
    vt.clear_log();
    r.failed |= row.direct();
    out.direct_apdus = vt.commands().size();
    row.after();
    std::vector<double> lib, direct;
    for (int i = 0; i < rounds; ++i) {
        int rc = 0;
        lib.push_back(test_support::time_us([&] { rc = row.library(); }));
        r.library_failed |= rc;
        row.after();
        CK_RV rv = CKR_OK;
        direct.push_back(test_support::time_us([&] { rv = row.direct(); }));
        r.failed |= rv;
        row.after();
    }
    out.library_us = test_support::median(lib);
    out.direct_us = test_support::median(direct);
    return out;
}

bool start(test_support::vtoken_control& vt, road& r) {
    vt.fresh_card();
    vt.call("preset", {{"name", "factory"}});
    if (init_pkcs11(module_file) != 0) return false;
    unsigned long ids[32];
    unsigned long count = 32;
    if (token_find(ids, &count) != 0 || count != 1 || token_connect(0) != 0) return false;
    CK_EXT_FORMAT_PARAMS p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.label, "Bench", 5);
    std::memcpy(p.manufacturer, "Tarnely", 7);
    std::memcpy(p.secondName, "Tarnely", 7);
    std::memcpy(p.soPin, so_pin, 8);
    std::memcpy(p.userPin, pin_a, 8);
    p.userRetryLimit = 10;
    p.soRetryLimit = 15;
    p.formatMode = 0xFF;
    if (token_format(0, &p) != 0) return false;
    HMODULE module = GetModuleHandleA(module_file);
    auto get = reinterpret_cast<CK_C_GetFunctionList>(reinterpret_cast<void*>(GetProcAddress(module, "C_GetFunctionList")));
    auto get_ext = reinterpret_cast<CK_M_GetExtFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(module, "M_GetExtFunctionList")));
    if (get == nullptr || get_ext == nullptr || get(&r.f) != CKR_OK || get_ext(&r.x) != CKR_OK) return false;
    r.slot = ids[0];
    return r.f->C_OpenSession(r.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &r.session) == CKR_OK &&
           make_objects(r);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: mgr_bench [rounds]\n");
        return 2;
    }
    test_support::vtoken_control vt;
    road r;
    if (!start(vt, r)) {
        std::fprintf(stderr, "no formatted token through the library\n");
        (void)uninit_pkcs11();
        return 1;
    }
    std::printf("%-26s %8s %8s %12s %12s %8s\n", "export", "APDUs", "direct", "library us", "direct us", "share");
    bool extra_apdus = false;
    for (const bench_row& row : rows(r)) {
        const figure f = measure(vt, r, row, rounds);
        const double share = f.direct_us > 0 ? (f.library_us - f.direct_us) / f.direct_us * 100.0 : 0;
        const bool extra = f.library_apdus != f.direct_apdus;
        extra_apdus |= extra;
        std::printf("%-26s %8zu %8zu %12.1f %12.1f %7.1f%%%s\n", row.name, f.library_apdus, f.direct_apdus,
                    f.library_us, f.direct_us, share, extra ? "  EXTRA APDUS" : "");
    }
    (void)r.f->C_CloseSession(r.session);
    (void)uninit_pkcs11();
    vt.fresh_card();
    if (r.failed != CKR_OK || r.library_failed != 0) {
        std::fprintf(stderr, "a call failed (direct 0x%lx, library %d)\n", static_cast<unsigned long>(r.failed),
                     r.library_failed);
        return 1;
    }
    return extra_apdus ? 1 : 0;
}
