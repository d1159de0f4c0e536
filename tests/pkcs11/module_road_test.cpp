// The main road through the built module as a consumer walks it (natively,
// and the i686 and x86_64 DLLs under Wine through the PC/SC bridge): load,
// initialise, slot list, format, token information, login, a token data
// object written, found and read back, a digest, and a second format that
// takes the object along. Beside it, the layouts of the two function lists
// as a loader reads them: every entry at its byte offset holds the export of
// its name, and on i686 the offsets are the ones the manager library binds.
// RSA-2048 and P-256 pairs generated on the card sign, and the signatures
// verify in the module's software and in mbed TLS from the public key's
// attributes.
// And eight threads with a session each that digest and sign on one token:
// every result is the known answer; the calls per second of the eight and
// of one are printed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include <pkcs11_vendor.h>

#include "loaded_module.h"
#include "support/vtoken_control.h"
#include "support/p256_verify.h"

namespace {

constexpr const char* so_pin = "87654321";
constexpr const char* user_pin = "11112222";

// SHA-256 of "abc" and HMAC-SHA-256 with key "Jefe" over "what do ya want
// for nothing?": the known answers of the hash and HMAC standards.
const CK_BYTE sha256_abc[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
const CK_BYTE hmac_jefe[32] = {0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e, 0x6a, 0x04, 0x24,
                               0x26, 0x08, 0x95, 0x75, 0xc7, 0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27,
                               0x39, 0x83, 0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};

CK_UTF8CHAR_PTR text(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

class module_road : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module_.loaded());
        auto get = reinterpret_cast<CK_C_GetFunctionList>(module_.symbol("C_GetFunctionList"));
        auto get_ext = reinterpret_cast<CK_M_GetExtFunctionList>(module_.symbol("M_GetExtFunctionList"));
        ASSERT_NE(get, nullptr);
        ASSERT_NE(get_ext, nullptr);
        ASSERT_EQ(get(&f_), CKR_OK);
        ASSERT_EQ(get_ext(&x_), CKR_OK);
    }

    // A factory token in slot 0, the module initialised and its slots listed.
    void start_on_factory_token() {
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}});
        ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
        list_slot_zero();
    }
    void list_slot_zero() {
        CK_SLOT_ID slots[4];
        CK_ULONG n = 4;
        ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
        ASSERT_EQ(slots[0], 0u);
    }

    // The pointer a loader finds at a byte offset of a list.
    static void* entry_at(const void* list, std::size_t offset) {
        void* p = nullptr;
        std::memcpy(&p, static_cast<const unsigned char*>(list) + offset, sizeof p);
        return p;
    }

    CK_RV format(CK_SESSION_HANDLE s, const char* label) {
        CK_EXT_FORMAT_PARAMS p{};
        const auto put = [](CK_BYTE* field, const char* value) { std::memcpy(field, value, std::strlen(value)); };
        put(p.label, label);
        put(p.manufacturer, "Tarnely");
        put(p.secondName, "Tarnely");
        put(p.soPin, so_pin);
        put(p.userPin, user_pin);
        p.userRetryLimit = 10;
        p.soRetryLimit = 15;
        p.formatMode = 0xFF;
        return x_->M_FormatToken(s, &p);
    }

    std::vector<CK_OBJECT_HANDLE> find_data(CK_SESSION_HANDLE s) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
        std::vector<CK_OBJECT_HANDLE> found(8);
        CK_ULONG n = 0;
        EXPECT_EQ(f_->C_FindObjectsInit(s, tmpl, 1), CKR_OK);
        EXPECT_EQ(f_->C_FindObjects(s, found.data(), static_cast<CK_ULONG>(found.size()), &n), CKR_OK);
        EXPECT_EQ(f_->C_FindObjectsFinal(s), CKR_OK);
        found.resize(n);
        return found;
    }

    std::vector<CK_BYTE> attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        EXPECT_EQ(f_->C_GetAttributeValue(s, h, &a, 1), CKR_OK);
        std::vector<CK_BYTE> v(a.ulValueLen);
        a.pValue = v.data();
        EXPECT_EQ(f_->C_GetAttributeValue(s, h, &a, 1), CKR_OK);
        v.resize(a.ulValueLen);
        return v;
    }
    // A freshly formatted token with the user logged in on session s.
    void logged_in_on_new_format(CK_SESSION_HANDLE* s) {
        ASSERT_NO_FATAL_FAILURE(start_on_factory_token());
        ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, s), CKR_OK);
        ASSERT_EQ(format(*s, "Keys"), CKR_OK);
        ASSERT_EQ(f_->C_Login(*s, CKU_USER, text(user_pin), 8), CKR_OK);
    }
    // The one key of each class after a reload from the card, both halves
    // under one id.
    void reloaded_pair(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* pub, CK_OBJECT_HANDLE* pri) {
        ASSERT_EQ(x_->M_ReloadObjects(s), CKR_OK);
        const auto publics = find_class(s, CKO_PUBLIC_KEY);
        const auto privates = find_class(s, CKO_PRIVATE_KEY);
        ASSERT_EQ(publics.size(), 1u);
        ASSERT_EQ(privates.size(), 1u);
        *pub = publics[0];
        *pri = privates[0];
        EXPECT_EQ(attribute(s, *pub, CKA_ID), attribute(s, *pri, CKA_ID));
    }
    std::vector<CK_OBJECT_HANDLE> find_class(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
        std::vector<CK_OBJECT_HANDLE> found(8);
        CK_ULONG n = 0;
        EXPECT_EQ(f_->C_FindObjectsInit(s, tmpl, 1), CKR_OK);
        EXPECT_EQ(f_->C_FindObjects(s, found.data(), static_cast<CK_ULONG>(found.size()), &n), CKR_OK);
        EXPECT_EQ(f_->C_FindObjectsFinal(s), CKR_OK);
        found.resize(n);
        return found;
    }

    test_support::vtoken_control vt_;
    pkcs11_test::loaded_module module_;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    CK_EXT_FUNCTION_LIST_PTR x_ = nullptr;
};

struct named_offset {
    std::size_t offset;
    const char* name;
};

}  // namespace

TEST_F(module_road, EveryListEntrySitsWhereALoaderReadsIt) {
    // The standard list: the version, then the entries in the standard's
    // order, packed on Windows and naturally aligned elsewhere.
#ifdef _WIN32
    const std::size_t first = sizeof(CK_VERSION);
#else
    const std::size_t first = sizeof(void*);
#endif
    const char* const standard[] = {"C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList", "C_GetSlotList"};
    for (std::size_t i = 0; i < sizeof standard / sizeof *standard; ++i)
        EXPECT_EQ(entry_at(f_, first + i * sizeof(void*)), module_.symbol(standard[i])) << standard[i];
    EXPECT_EQ(entry_at(f_, first + 67 * sizeof(void*)), module_.symbol("C_WaitForSlotEvent"));
    EXPECT_EQ(sizeof(CK_FUNCTION_LIST), first + 68 * sizeof(void*));

    // The vendor list: the version in a pointer-sized slot, then twelve.
    const char* const vendor[] = {"M_GetUserInfo",     "M_GetExtFunctionList", "M_UnblockUserPin", "M_SetTokenLabel",
                                  "M_FormatToken",     "M_CreateContainer",    "M_DeleteContainer", "M_EnumContainer",
                                  "M_GetContainerInfo", "M_ReloadObjects",     "M_RemoteUnblockPin",
                                  "M_GetTokenExtInfo"};
    for (std::size_t i = 0; i < sizeof vendor / sizeof *vendor; ++i)
        EXPECT_EQ(entry_at(x_, (i + 1) * sizeof(void*)), module_.symbol(vendor[i])) << vendor[i];

    if (sizeof(void*) != 4) return;
    // i686: the byte offsets the manager library binds, as numbers.
    const named_offset bound[] = {
        {2, "C_Initialize"},         {6, "C_Finalize"},         {18, "C_GetSlotList"},
        {26, "C_GetTokenInfo"},      {42, "C_InitPIN"},         {46, "C_SetPIN"},
        {50, "C_OpenSession"},       {54, "C_CloseSession"},    {62, "C_GetSessionInfo"},
        {74, "C_Login"},             {78, "C_Logout"},          {82, "C_CreateObject"},
        {90, "C_DestroyObject"},     {98, "C_GetAttributeValue"}, {102, "C_SetAttributeValue"},
        {106, "C_FindObjectsInit"},  {110, "C_FindObjects"},    {114, "C_FindObjectsFinal"},
        {254, "C_SeedRandom"},       {258, "C_GenerateRandom"}, {270, "C_WaitForSlotEvent"},
    };
    for (const named_offset& b : bound) EXPECT_EQ(entry_at(f_, b.offset), module_.symbol(b.name)) << b.name;
    const named_offset bound_ext[] = {
        {4, "M_GetUserInfo"},      {8, "M_GetExtFunctionList"}, {12, "M_UnblockUserPin"}, {16, "M_SetTokenLabel"},
        {20, "M_FormatToken"},     {24, "M_CreateContainer"},   {28, "M_DeleteContainer"}, {32, "M_EnumContainer"},
        {36, "M_GetContainerInfo"}, {40, "M_ReloadObjects"},    {44, "M_RemoteUnblockPin"}, {48, "M_GetTokenExtInfo"},
    };
    for (const named_offset& b : bound_ext) EXPECT_EQ(entry_at(x_, b.offset), module_.symbol(b.name)) << b.name;
    EXPECT_EQ(sizeof(CK_EXT_FUNCTION_LIST), 52u);
}

TEST_F(module_road, InitialiseFormatLoginWriteFindReadDigestFormat) {
    ASSERT_NO_FATAL_FAILURE(start_on_factory_token());

    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(format(s, "Road"), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(f_->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 32), "Road" + std::string(28, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.serialNumber), 16), "SV00000000000001");
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_INITIALIZED);

    ASSERT_EQ(f_->C_Login(s, CKU_USER, text(user_pin), 8), CKR_OK);
    std::vector<CK_BYTE> value(700);
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<CK_BYTE>(i * 7 + 3);
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "road";
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_TOKEN, &yes, sizeof yes},
                           {CKA_PRIVATE, &yes, sizeof yes},
                           {CKA_LABEL, label, 4},
                           {CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())}};
    CK_OBJECT_HANDLE made = 0;
    ASSERT_EQ(f_->C_CreateObject(s, tmpl, 5, &made), CKR_OK);
    // Read back from the card, not from what the create kept.
    ASSERT_EQ(x_->M_ReloadObjects(s), CKR_OK);

    const auto found = find_data(s);
    ASSERT_EQ(found.size(), 1u);
    std::vector<CK_BYTE> back(1024);
    char back_label[16] = {};
    CK_ATTRIBUTE read[] = {{CKA_VALUE, back.data(), static_cast<CK_ULONG>(back.size())},
                           {CKA_LABEL, back_label, sizeof back_label}};
    ASSERT_EQ(f_->C_GetAttributeValue(s, found[0], read, 2), CKR_OK);
    ASSERT_EQ(read[0].ulValueLen, value.size());
    back.resize(read[0].ulValueLen);
    EXPECT_EQ(back, value);
    EXPECT_EQ(std::string(back_label, read[1].ulValueLen), "road");

    CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    CK_BYTE digest[32];
    CK_ULONG length = sizeof digest;
    char abc[] = "abc";
    ASSERT_EQ(f_->C_DigestInit(s, &sha256), CKR_OK);
    ASSERT_EQ(f_->C_Digest(s, reinterpret_cast<CK_BYTE_PTR>(abc), 3, digest, &length), CKR_OK);
    ASSERT_EQ(length, 32u);
    EXPECT_EQ(std::memcmp(digest, sha256_abc, 32), 0);

    // A second format wipes the store: the object is gone, also after a
    // new initialisation.
    ASSERT_EQ(format(s, "Again"), CKR_OK);
    ASSERT_EQ(f_->C_Login(s, CKU_USER, text(user_pin), 8), CKR_OK);
    EXPECT_TRUE(find_data(s).empty());
    ASSERT_EQ(f_->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
    ASSERT_NO_FATAL_FAILURE(list_slot_zero());
    ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(f_->C_Login(s, CKU_USER, text(user_pin), 8), CKR_OK);
    EXPECT_TRUE(find_data(s).empty());
    ASSERT_EQ(f_->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 32), "Again" + std::string(27, ' '));
    EXPECT_EQ(f_->C_Finalize(nullptr), CKR_OK);
    vt_.fresh_card();
}

TEST_F(module_road, GenerateRsaPairSignAndVerifyInSoftware) {
    CK_SESSION_HANDLE s = 0;
    ASSERT_NO_FATAL_FAILURE(logged_in_on_new_format(&s));
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = 2048;
    CK_ATTRIBUTE public_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                  {CKA_MODULUS_BITS, &bits, sizeof bits},
                                  {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE private_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                   {CKA_PRIVATE, &yes, sizeof yes},
                                   {CKA_SIGN, &yes, sizeof yes}};
    CK_MECHANISM generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pub = 0, pri = 0;
    ASSERT_EQ(f_->C_GenerateKeyPair(s, &generate, public_tmpl, 3, private_tmpl, 3, &pub, &pri), CKR_OK);

    ASSERT_NO_FATAL_FAILURE(reloaded_pair(s, &pub, &pri));
    const auto modulus = attribute(s, pub, CKA_MODULUS);
    const auto exponent = attribute(s, pub, CKA_PUBLIC_EXPONENT);
    ASSERT_EQ(modulus.size(), 256u);

    char message[] = "abc";
    CK_MECHANISM sha256_rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
    std::vector<CK_BYTE> signature(256);
    CK_ULONG length = static_cast<CK_ULONG>(signature.size());
    ASSERT_EQ(f_->C_SignInit(s, &sha256_rsa, pri), CKR_OK);
    ASSERT_EQ(f_->C_Sign(s, reinterpret_cast<CK_BYTE_PTR>(message), 3, signature.data(), &length), CKR_OK);
    ASSERT_EQ(length, 256u);

    // The module's software verification, and mbed TLS over the same bytes.
    ASSERT_EQ(f_->C_VerifyInit(s, &sha256_rsa, pub), CKR_OK);
    EXPECT_EQ(f_->C_Verify(s, reinterpret_cast<CK_BYTE_PTR>(message), 3, signature.data(), 256), CKR_OK);
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    ASSERT_EQ(mbedtls_rsa_import_raw(&rsa, modulus.data(), modulus.size(), nullptr, 0, nullptr, 0, nullptr, 0,
                                     exponent.data(), exponent.size()),
              0);
    ASSERT_EQ(mbedtls_rsa_complete(&rsa), 0);
    EXPECT_EQ(mbedtls_rsa_pkcs1_verify(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32,
                                       sha256_abc, signature.data()),
              0);
    mbedtls_rsa_free(&rsa);

    // A signature with one bit changed does not verify.
    signature[100] ^= 0x01;
    ASSERT_EQ(f_->C_VerifyInit(s, &sha256_rsa, pub), CKR_OK);
    EXPECT_EQ(f_->C_Verify(s, reinterpret_cast<CK_BYTE_PTR>(message), 3, signature.data(), 256),
              CKR_SIGNATURE_INVALID);
    EXPECT_EQ(f_->C_Finalize(nullptr), CKR_OK);
    vt_.fresh_card();
}

TEST_F(module_road, GenerateP256PairSignAndVerifyInSoftware) {
    CK_SESSION_HANDLE s = 0;
    ASSERT_NO_FATAL_FAILURE(logged_in_on_new_format(&s));
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    CK_ATTRIBUTE public_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                  {CKA_EC_PARAMS, p256, sizeof p256},
                                  {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE private_tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                                   {CKA_PRIVATE, &yes, sizeof yes},
                                   {CKA_SIGN, &yes, sizeof yes}};
    CK_MECHANISM generate{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pub = 0, pri = 0;
    ASSERT_EQ(f_->C_GenerateKeyPair(s, &generate, public_tmpl, 3, private_tmpl, 3, &pub, &pri), CKR_OK);
    ASSERT_NO_FATAL_FAILURE(reloaded_pair(s, &pub, &pri));
    EXPECT_EQ(attribute(s, pub, CKA_EC_PARAMS), std::vector<CK_BYTE>(p256, p256 + sizeof p256));
    auto point = attribute(s, pub, CKA_EC_POINT);
    // The uncompressed point, bare or in a DER OCTET STRING.
    if (point.size() == 67 && point[0] == 0x04 && point[1] == 65) point.erase(point.begin(), point.begin() + 2);
    ASSERT_EQ(point.size(), 65u);
    ASSERT_EQ(point[0], 0x04);

    char message[] = "abc";
    CK_MECHANISM ecdsa_sha256{CKM_ECDSA_SHA256, nullptr, 0};
    CK_BYTE signature[64];
    CK_ULONG length = sizeof signature;
    ASSERT_EQ(f_->C_SignInit(s, &ecdsa_sha256, pri), CKR_OK);
    ASSERT_EQ(f_->C_Sign(s, reinterpret_cast<CK_BYTE_PTR>(message), 3, signature, &length), CKR_OK);
    ASSERT_EQ(length, 64u);

    ASSERT_EQ(f_->C_VerifyInit(s, &ecdsa_sha256, pub), CKR_OK);
    EXPECT_EQ(f_->C_Verify(s, reinterpret_cast<CK_BYTE_PTR>(message), 3, signature, 64), CKR_OK);
    EXPECT_EQ(test_support::p256_verify_direct(point.data(), point.size(), sha256_abc, 32, signature), 0);

    signature[10] ^= 0x01;
    ASSERT_EQ(f_->C_VerifyInit(s, &ecdsa_sha256, pub), CKR_OK);
    EXPECT_EQ(f_->C_Verify(s, reinterpret_cast<CK_BYTE_PTR>(message), 3, signature, 64), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(f_->C_Finalize(nullptr), CKR_OK);
    vt_.fresh_card();
}

TEST_F(module_road, EightSessionsDigestAndSignAtOnce) {
    ASSERT_NO_FATAL_FAILURE(start_on_factory_token());
    CK_SESSION_HANDLE owner = 0;
    ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &owner), CKR_OK);
    ASSERT_EQ(format(owner, "Threads"), CKR_OK);
    ASSERT_EQ(f_->C_Login(owner, CKU_USER, text(user_pin), 8), CKR_OK);
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_GENERIC_SECRET;
    CK_BBOOL yes = CK_TRUE;
    char jefe[] = "Jefe";
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_KEY_TYPE, &type, sizeof type},
                           {CKA_SIGN, &yes, sizeof yes},
                           {CKA_VALUE, jefe, 4}};
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(f_->C_CreateObject(owner, tmpl, 4, &key), CKR_OK);

    std::atomic<int> wrong{0};
    const auto work = [&](int calls) {
        CK_SESSION_HANDLE s = 0;
        if (f_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) {
            ++wrong;
            return;
        }
        char abc[] = "abc";
        char text[] = "what do ya want for nothing?";
        CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
        CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
        for (int i = 0; i < calls; ++i) {
            CK_BYTE out[32];
            CK_ULONG length = sizeof out;
            if (f_->C_DigestInit(s, &sha256) != CKR_OK ||
                f_->C_Digest(s, reinterpret_cast<CK_BYTE_PTR>(abc), 3, out, &length) != CKR_OK || length != 32 ||
                std::memcmp(out, sha256_abc, 32) != 0)
                ++wrong;
            length = sizeof out;
            if (f_->C_SignInit(s, &hmac, key) != CKR_OK ||
                f_->C_Sign(s, reinterpret_cast<CK_BYTE_PTR>(text), 28, out, &length) != CKR_OK || length != 32 ||
                std::memcmp(out, hmac_jefe, 32) != 0)
                ++wrong;
        }
        (void)f_->C_CloseSession(s);
    };
    // Calls per second with the given number of threads sharing the work.
    const auto rate = [&](int threads, int total) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) pool.emplace_back(work, total / threads);
        for (std::thread& t : pool) t.join();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        return 2.0 * total / took.count();
    };
    const int total = 8000;
    const double one = rate(1, total);
    const double eight = rate(8, total);
    EXPECT_EQ(wrong.load(), 0);
    std::printf("digest + HMAC calls per second: one thread %.0f, eight threads %.0f (%.2fx)\n", one, eight,
                eight / one);
    // Every call passes the one lock all processes share, so eight threads
    // can at best keep up with one; the figures are printed for the record
    // (speed is judged by the benchmarks, not here).
    EXPECT_EQ(f_->C_Finalize(nullptr), CKR_OK);
    vt_.fresh_card();
}
