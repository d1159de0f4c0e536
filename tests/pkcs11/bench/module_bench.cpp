// What the module's calls cost, one row per operation. A row that talks to
// the card shows the commands the call sent (counted in the virtual token's
// log) beside the budget it is held to, and the median time of the call
// against the bare round trips of the same commands sent with SCardTransmit
// on a connection of our own, in the same run. A row of software work shows
// the call against the same mbed TLS work called directly. The module's own
// share is the difference, in per cent of the bare figure.
// Needs the card environment (tests/harness/card_env.py run); the token is
// formatted by the run.
//
//   module_bench [calls-per-figure]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include <pkcs11_vendor.h>

#include "card_device_source.h"
#include "pkcs11_core.h"
#include "support/apdu_bench.h"
#include "support/p256_verify.h"

namespace {

using test_support::apdu_figure;
using bytes = std::vector<CK_BYTE>;

constexpr const char* so_pin = "87654321";
constexpr const char* user_pin = "11112222";
// DER OID of secp256r1, the CKA_EC_PARAMS of P-256 keys.
const bytes oid_p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

CK_UTF8CHAR_PTR text(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

bool check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) std::fprintf(stderr, "%s: 0x%lx\n", what, static_cast<unsigned long>(rv));
    return rv == CKR_OK;
}

// A whole search: Init, every handle in one call, Final.
CK_RV search_all(CK_SESSION_HANDLE s, CK_ULONG* found) {
    CK_OBJECT_HANDLE handles[64];
    CK_RV rv = C_FindObjectsInit(s, nullptr, 0);
    if (rv == CKR_OK) rv = C_FindObjects(s, handles, 64, found);
    const CK_RV final_rv = C_FindObjectsFinal(s);
    return rv != CKR_OK ? rv : final_rv;
}

// The token's objects of the object rows: 8 data objects (half of them
// private) of 200 bytes and 4 AES keys.
bool fill_token(CK_SESSION_HANDLE s) {
    for (int i = 0; i < 12; ++i) {
        const bool is_data = i < 8;
        CK_OBJECT_CLASS cls = is_data ? CKO_DATA : CKO_SECRET_KEY;
        CK_KEY_TYPE key_type = CKK_AES;
        CK_BBOOL yes = CK_TRUE, is_private = (i % 2 == 1) ? CK_TRUE : CK_FALSE;
        std::string label = (is_data ? "data" : "key") + std::to_string(i);
        bytes value(is_data ? 200 : 16, static_cast<CK_BYTE>(i));
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls},
                                       {CKA_TOKEN, &yes, 1},
                                       {CKA_PRIVATE, &is_private, 1},
                                       {CKA_LABEL, &label[0], static_cast<CK_ULONG>(label.size())},
                                       {CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())}};
        if (!is_data) t.push_back({CKA_KEY_TYPE, &key_type, sizeof key_type});
        CK_OBJECT_HANDLE h = 0;
        if (!check(C_CreateObject(s, t.data(), static_cast<CK_ULONG>(t.size()), &h), "C_CreateObject")) return false;
    }
    return true;
}

// The handle of the one object of the class labelled so (a reload gives
// the objects new handles).
CK_OBJECT_HANDLE labelled(CK_SESSION_HANDLE s, const char* label, CK_OBJECT_CLASS cls = CKO_DATA) {
    CK_ATTRIBUTE t[] = {{CKA_LABEL, const_cast<char*>(label), static_cast<CK_ULONG>(std::strlen(label))},
                        {CKA_CLASS, &cls, sizeof cls}};
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG n = 0;
    C_FindObjectsInit(s, t, 2);
    C_FindObjects(s, &h, 1, &n);
    C_FindObjectsFinal(s);
    return h;
}

// An AES-256 key with the value 3i+1 at byte i; "host" on the token, "soft"
// in the session.
CK_RV make_aes_key(CK_SESSION_HANDLE s, bool on_token, CK_OBJECT_HANDLE* key) {
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_AES;
    CK_BBOOL yes = CK_TRUE, token = on_token ? CK_TRUE : CK_FALSE;
    char label[] = "host";
    if (!on_token) std::memcpy(label, "soft", 4);
    CK_BYTE value[32];
    for (int i = 0; i < 32; ++i) value[i] = static_cast<CK_BYTE>(i * 3 + 1);
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type},
                           {CKA_TOKEN, &token, sizeof token}, {CKA_ENCRYPT, &yes, sizeof yes},
                           {CKA_VALUE, value, sizeof value}, {CKA_LABEL, label, 4}};
    return C_CreateObject(s, tmpl, 6, key);
}

// An AES-256 token key generated on the card, its value never on the host.
CK_RV generate_aes_key(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* key) {
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG length = 32;
    char label[] = "card";
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_ENCRYPT, &yes, sizeof yes},
                           {CKA_VALUE_LEN, &length, sizeof length}, {CKA_LABEL, label, 4}};
    CK_MECHANISM m{CKM_AES_KEY_GEN, nullptr, 0};
    return C_GenerateKey(s, &m, tmpl, 4, key);
}

// An RSA-2048 pair generated on the card.
CK_RV make_rsa_pair(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* pub, CK_OBJECT_HANDLE* pri) {
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = 2048;
    char label[] = "rsa";
    CK_ATTRIBUTE public_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                  {CKA_LABEL, label, 3},
                                  {CKA_MODULUS_BITS, &bits, sizeof bits},
                                  {CKA_VERIFY, &yes, sizeof yes},
                                  {CKA_ENCRYPT, &yes, sizeof yes}};
    CK_ATTRIBUTE private_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                   {CKA_LABEL, label, 3},
                                   {CKA_PRIVATE, &yes, sizeof yes},
                                   {CKA_SIGN, &yes, sizeof yes},
                                   {CKA_DECRYPT, &yes, sizeof yes}};
    CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    return C_GenerateKeyPair(s, &m, public_tmpl, 5, private_tmpl, 5, pub, pri);
}

// A value of an object's attribute.
bytes attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return {};
    bytes v(a.ulValueLen);
    a.pValue = v.data();
    if (C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return {};
    return v;
}

// A P-256 pair generated on the card.
CK_RV make_ec_pair(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* pub, CK_OBJECT_HANDLE* pri) {
    CK_BBOOL yes = CK_TRUE;
    char label[] = "ec";
    bytes params = oid_p256;
    CK_ATTRIBUTE public_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                  {CKA_LABEL, label, 2},
                                  {CKA_EC_PARAMS, params.data(), static_cast<CK_ULONG>(params.size())},
                                  {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE private_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                   {CKA_LABEL, label, 2},
                                   {CKA_PRIVATE, &yes, sizeof yes},
                                   {CKA_SIGN, &yes, sizeof yes}};
    CK_MECHANISM m{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    return C_GenerateKeyPair(s, &m, public_tmpl, 4, private_tmpl, 4, pub, pri);
}

void print_row(const char* name, int budget, const apdu_figure& f, const char* against) {
    if (budget >= 0)
        std::printf("%-30s %6zu %6d %12.1f %12.1f", name, f.apdus, budget, f.module_us, f.bare_us);
    else
        std::printf("%-30s %6s %6s %12.1f %12.1f", name, "-", "-", f.module_us, f.bare_us);
    if (f.bare_us > 0)
        std::printf(" %8.1f%%", f.added());
    else
        std::printf(" %9s", "-");
    std::printf("  %s%s\n", against, budget >= 0 && static_cast<int>(f.apdus) > budget ? "  OVER BUDGET" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    test_support::vtoken_control vt;
    vt.fresh_card();
    vt.call("preset", {{"name", "factory"}});
    pkcs11::Pkcs11Core::instance().set_device_source(std::make_unique<solvantex::card_device_source>());
    if (!check(C_Initialize(nullptr), "C_Initialize")) return 1;
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    if (C_GetSlotList(CK_TRUE, &slot, &n) != CKR_OK || n != 1) {
        std::fprintf(stderr, "no token: is the card environment running?\n");
        return 1;
    }
    CK_UTF8CHAR label[32];
    std::fill(label, label + 32, ' ');
    if (!check(C_InitToken(slot, text(so_pin), 8, label), "C_InitToken")) return 1;
    CK_SESSION_HANDLE s = 0;
    C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    C_Login(s, CKU_SO, text(so_pin), 8);
    C_InitPIN(s, text(user_pin), 8);
    C_Logout(s);
    CK_TOKEN_INFO info;
    C_GetTokenInfo(slot, &info);  // the full read of a new connection
    if (!check(C_Login(s, CKU_USER, text(user_pin), 8), "C_Login") || !fill_token(s)) return 1;

    // The keys of the crypto rows.
    CK_OBJECT_HANDLE rsa_public = 0, rsa_private = 0, card_aes = 0, host_aes = 0, soft_aes = 0, ec_public = 0,
                     ec_private = 0;
    if (!check(make_rsa_pair(s, &rsa_public, &rsa_private), "RSA-2048 pair") ||
        !check(generate_aes_key(s, &card_aes), "token AES key") ||
        !check(make_aes_key(s, true, &host_aes), "token AES key of a known value") ||
        !check(make_aes_key(s, false, &soft_aes), "session AES key"))
        return 1;
    const bytes modulus = attribute(s, rsa_public, CKA_MODULUS);
    const bytes exponent = attribute(s, rsa_public, CKA_PUBLIC_EXPONENT);
    const bytes hash(32, 0x5A);
    if (!check(make_ec_pair(s, &ec_public, &ec_private), "P-256 pair")) return 1;
    bytes ec_point = attribute(s, ec_public, CKA_EC_POINT);  // 04 41 04 || X || Y
    if (ec_point.size() == 67) ec_point.erase(ec_point.begin(), ec_point.begin() + 2);
    bytes ec_signature(64);

    bytes message(1000, 0x5A), rsa_signature(256), cipher(256), plain(256);
    CK_MECHANISM sha256_rsa{CKM_SHA256_RSA_PKCS, nullptr, 0}, rsa_pkcs{CKM_RSA_PKCS, nullptr, 0};
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0}, sha256{CKM_SHA256, nullptr, 0};
    CK_BYTE iv[16] = {};
    CK_MECHANISM aes_cbc{CKM_AES_CBC, iv, sizeof iv};
    CK_ULONG out = 256;
    if (!check(C_EncryptInit(s, &rsa_pkcs, rsa_public), "C_EncryptInit RSA") ||
        !check(C_Encrypt(s, message.data(), 100, cipher.data(), &out), "C_Encrypt RSA"))
        return 1;
    const bytes card_data(16 * 1024, 0x33), soft_data(64 * 1024, 0x33);
    bytes card_out(card_data.size()), soft_out(soft_data.size()), digest(32);
    C_Logout(s);

    CK_BYTE random[32];
    CK_SESSION_HANDLE opened = 0;
    CK_ULONG found = 0;
    CK_BYTE value[256];
    CK_OBJECT_HANDLE data_handle = 0;
    const auto relogin = [&] {
        C_Logout(s);
        C_Login(s, CKU_USER, text(user_pin), 8);
    };
    const auto reload = [&] {
        M_ReloadObjects(s);
        data_handle = labelled(s, "data0");
    };
    const auto nothing = [] {};
    const auto find_keys = [&] {
        rsa_private = labelled(s, "rsa", CKO_PRIVATE_KEY);
        rsa_public = labelled(s, "rsa", CKO_PUBLIC_KEY);
        card_aes = labelled(s, "card", CKO_SECRET_KEY);
        host_aes = labelled(s, "host", CKO_SECRET_KEY);
        soft_aes = labelled(s, "soft", CKO_SECRET_KEY);
        ec_public = labelled(s, "ec", CKO_PUBLIC_KEY);
        ec_private = labelled(s, "ec", CKO_PRIVATE_KEY);
    };

    const auto card_encrypt = [&](CK_OBJECT_HANDLE key) {
        CK_ULONG length = static_cast<CK_ULONG>(card_out.size());
        CK_RV rv = C_EncryptInit(s, &aes_cbc, key);
        return rv != CKR_OK ? rv
                            : C_Encrypt(s, const_cast<CK_BYTE*>(card_data.data()),
                                        static_cast<CK_ULONG>(card_data.size()), card_out.data(), &length);
    };

    struct card_row {
        const char* name;
        int budget;
        std::function<CK_RV()> call;
        std::function<void()> after;   // puts the state back between calls
        std::function<void()> before;  // the state the row starts from
    };
    const card_row card_rows[] = {
        {"C_GetTokenInfo", 2, [&] { return C_GetTokenInfo(slot, &info); }, nothing, nothing},
        {"C_OpenSession", 0, [&] { return C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &opened); },
         [&] { C_CloseSession(opened); }, nothing},
        {"C_Login (user)", 2, [&] { return C_Login(s, CKU_USER, text(user_pin), 8); }, [&] { C_Logout(s); },
         nothing},
        {"C_Logout", 1, [&] { return C_Logout(s); }, [&] { C_Login(s, CKU_USER, text(user_pin), 8); },
         [&] { C_Login(s, CKU_USER, text(user_pin), 8); }},
        {"C_GenerateRandom(32)", 3, [&] { return C_GenerateRandom(s, random, 32); }, nothing, nothing},
        // Both tables read once after the login, then nothing: for each a
        // select and the header, then the records in reads of up to 1024
        // bytes (the records of both tables pass 1024 bytes here: two reads
        // each); the containers' map, their records (two reads) and the file
        // list behind a third select.
        {"find all, first after login", 13, [&] { return search_all(s, &found); }, relogin, relogin},
        {"find all, loaded token", 0, [&] { return search_all(s, &found); }, nothing, relogin},
        // The value file of one data object, read once: a select and one
        // read.
        {"read a data value", 2,
         [&] {
             CK_ATTRIBUTE a{CKA_VALUE, value, sizeof value};
             return C_GetAttributeValue(s, data_handle, &a, 1);
         },
         reload, reload},
        {"RSA-2048 sign SHA256-PKCS", 2,
         [&] {
             CK_ULONG length = 256;
             CK_RV rv = C_SignInit(s, &sha256_rsa, rsa_private);
             return rv != CKR_OK ? rv : C_Sign(s, message.data(), 1000, rsa_signature.data(), &length);
         },
         nothing, find_keys},
        {"RSA-2048 decrypt PKCS", 2,
         [&] {
             CK_ULONG length = 256;
             CK_RV rv = C_DecryptInit(s, &rsa_pkcs, rsa_private);
             return rv != CKR_OK ? rv : C_Decrypt(s, cipher.data(), 256, plain.data(), &length);
         },
         nothing, nothing},
        {"P-256 sign ECDSA", 2,
         [&] {
             CK_ULONG length = 64;
             CK_RV rv = C_SignInit(s, &ecdsa, ec_private);
             return rv != CKR_OK ? rv
                                 : C_Sign(s, const_cast<CK_BYTE*>(hash.data()), 32, ec_signature.data(), &length);
         },
         nothing, nothing},
        // The key made ready (loaded from its saved place, or carried in
        // under a key agreed for the call), the IV, the data in chunks of
        // 1024 bytes, the end.
        {"AES-256-CBC 16 KiB, card key", 20, [&] { return card_encrypt(card_aes); }, nothing, nothing},
        {"AES-256-CBC 16 KiB, host key", 22, [&] { return card_encrypt(host_aes); }, nothing, nothing},
    };

    test_support::bare_card bare;
    if (!bare.open()) return 1;
    std::printf("%d calls per row; times are medians in microseconds\n", rounds);
    std::printf("%-30s %6s %6s %12s %12s %9s  %s\n", "operation", "APDUs", "budget", "module us", "bare us", "added",
                "bare is");
    for (const card_row& r : card_rows) {
        r.before();
        apdu_figure f;
        // A replayed login is refused and costs a try; the call puts it
        // right, so login rows settle after each replay.
        if (!test_support::measure_card_call(r.name, vt, bare, rounds, true, r.call, r.after, f)) return 1;
        print_row(r.name, r.budget, f, "the same APDUs");
    }

    // Software work against mbed TLS called directly.
    CK_RV failed = CKR_OK;
    int direct_failed = 0;
    CK_BYTE aes_key[32];
    for (int i = 0; i < 32; ++i) aes_key[i] = static_cast<CK_BYTE>(i * 3 + 1);
    struct soft_row {
        const char* name;
        std::function<void()> ours;
        std::function<void()> direct;
        const char* against;
    };
    const soft_row soft_rows[] = {
        {"RSA-2048 verify SHA256-PKCS",
         [&] {
             failed |= C_VerifyInit(s, &sha256_rsa, rsa_public);
             failed |= C_Verify(s, message.data(), 1000, rsa_signature.data(), 256);
         },
         [&] {
             mbedtls_rsa_context rsa;
             mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
             direct_failed |= mbedtls_rsa_import_raw(&rsa, modulus.data(), modulus.size(), nullptr, 0, nullptr, 0,
                                                     nullptr, 0, exponent.data(), exponent.size());
             direct_failed |= mbedtls_rsa_complete(&rsa);
             std::uint8_t d[32];
             direct_failed |= mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), message.data(),
                                         message.size(), d);
             direct_failed |= mbedtls_rsa_pkcs1_verify(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                                       MBEDTLS_MD_SHA256, 32, d, rsa_signature.data());
             mbedtls_rsa_free(&rsa);
         },
         "mbed TLS, key from its bytes"},
        {"P-256 verify ECDSA",
         [&] {
             failed |= C_VerifyInit(s, &ecdsa, ec_public);
             failed |= C_Verify(s, const_cast<CK_BYTE*>(hash.data()), 32, ec_signature.data(), 64);
         },
         [&] {
             direct_failed |= test_support::p256_verify_direct(ec_point.data(), ec_point.size(), hash.data(), 32,
                                                               ec_signature.data());
         },
         "mbed TLS, key from its bytes"},
        {"AES-256-CBC 64 KiB, software",
         [&] {
             CK_ULONG length = static_cast<CK_ULONG>(soft_out.size());
             failed |= C_EncryptInit(s, &aes_cbc, soft_aes);
             failed |= C_Encrypt(s, const_cast<CK_BYTE*>(soft_data.data()), static_cast<CK_ULONG>(soft_data.size()),
                                 soft_out.data(), &length);
         },
         [&] {
             unsigned char chain[16] = {};
             mbedtls_aes_context aes;
             mbedtls_aes_init(&aes);
             direct_failed |= mbedtls_aes_setkey_enc(&aes, aes_key, 256);
             direct_failed |= mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, soft_data.size(), chain,
                                                    soft_data.data(), soft_out.data());
             mbedtls_aes_free(&aes);
         },
         "mbed TLS"},
        {"SHA-256 digest 64 KiB",
         [&] {
             CK_ULONG length = 32;
             failed |= C_DigestInit(s, &sha256);
             failed |= C_Digest(s, const_cast<CK_BYTE*>(soft_data.data()), static_cast<CK_ULONG>(soft_data.size()),
                                digest.data(), &length);
         },
         [&] {
             direct_failed |= mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), soft_data.data(),
                                         soft_data.size(), digest.data());
         },
         "mbed TLS"},
    };
    for (const soft_row& r : soft_rows) {
        r.ours();
        r.direct();
        apdu_figure f;
        vt.clear_log();
        r.ours();
        f.apdus = vt.commands().size();
        test_support::measure_interleaved(rounds * 10, r.ours, r.direct, f.module_us, f.bare_us);
        print_row(r.name, 0, f, r.against);
    }
    C_CloseSession(s);
    C_Finalize(nullptr);
    if (failed != CKR_OK || direct_failed != 0) {
        std::fprintf(stderr, "a software call failed (module 0x%lx, mbed TLS %d)\n",
                     static_cast<unsigned long>(failed), direct_failed);
        return 1;
    }
    return 0;
}
