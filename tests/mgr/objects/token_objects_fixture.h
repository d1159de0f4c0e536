// The manager library on the virtual token under Wine: a formatted token
// with its user PIN, the library bound to the tree's module DLL, token 0
// connected and logged in, and the module's own function lists for the
// checks the library's exports cannot make. Fixture files (made natively
// by the test driver with openssl) come from SOLVANTA_MGR_FIXTURES.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

#include "SolvantaMgr.h"
#include "support/vtoken_control.h"

namespace mgr_test {

using bytes = std::vector<unsigned char>;

constexpr const char* so_pin = "87654321";
constexpr const char* user_pin = "11112222";
constexpr const char* module_file = "solvantex_pkcs11.dll";

inline std::string fixture_dir() {
    const char* d = std::getenv("SOLVANTA_MGR_FIXTURES");
    return d != nullptr ? d : "";
}
inline std::string fixture(const std::string& name) { return fixture_dir() + "/" + name; }
inline bytes read_fixture(const std::string& name) {
    std::ifstream in(fixture(name), std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::string read_text(const std::string& name) {
    const bytes b = read_fixture(name);
    std::string s(b.begin(), b.end());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}
inline std::string hex(const unsigned char* p, std::size_t n) { return test_support::to_hex(p, n); }
inline std::string hex(const bytes& b) { return hex(b.data(), b.size()); }

class token_objects : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(fixture_dir().empty()) << "SOLVANTA_MGR_FIXTURES names the fixture folder";
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}});
        module_ = LoadLibraryA(module_file);
        ASSERT_NE(module_, nullptr);
        auto get = reinterpret_cast<CK_C_GetFunctionList>(
            reinterpret_cast<void*>(GetProcAddress(module_, "C_GetFunctionList")));
        auto get_ext = reinterpret_cast<CK_M_GetExtFunctionList>(
            reinterpret_cast<void*>(GetProcAddress(module_, "M_GetExtFunctionList")));
        ASSERT_TRUE(get != nullptr && get_ext != nullptr);
        ASSERT_EQ(get(&f_), CKR_OK);
        ASSERT_EQ(get_ext(&x_), CKR_OK);
        format();
        ASSERT_EQ(init_pkcs11(module_file), 0);
        unsigned long slots[4];
        unsigned long n = 4;
        ASSERT_EQ(token_find(slots, &n), 0);
        ASSERT_EQ(n, 1u);
        ASSERT_EQ(token_connect(0), 0);
        int retries = -1;
        ASSERT_EQ(token_login(0, user_pin, &retries), 0);
        // The module is initialised by the library now: the test's own
        // session for direct checks.
        ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s_), CKR_OK);
    }
    void TearDown() override {
        if (f_ != nullptr && s_ != 0) (void)f_->C_CloseSession(s_);
        (void)uninit_pkcs11();
        if (module_ != nullptr) FreeLibrary(module_);
        // The driver's native consumers read what a case left on the token.
        const char* keep = std::getenv("SOLVANTA_MGR_KEEP_TOKEN");
        if (keep == nullptr || std::strcmp(keep, "1") != 0) vt_.fresh_card();
    }

    // The factory token formatted with the test PINs, through the module.
    void format() {
        ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
        CK_SLOT_ID slots[4];
        CK_ULONG n = 4;
        ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
        CK_UTF8CHAR label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "Objects", 7);
        ASSERT_EQ(f_->C_InitToken(0, text(so_pin), 8, label), CKR_OK);
        CK_SESSION_HANDLE s = 0;
        ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
        ASSERT_EQ(f_->C_Login(s, CKU_SO, text(so_pin), 8), CKR_OK);
        ASSERT_EQ(f_->C_InitPIN(s, text(user_pin), 8), CKR_OK);
        ASSERT_EQ(f_->C_CloseSession(s), CKR_OK);
        ASSERT_EQ(f_->C_Finalize(nullptr), CKR_OK);
    }

    static CK_UTF8CHAR_PTR text(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

    // The module's objects that match, through the test's own session.
    std::vector<CK_OBJECT_HANDLE> find(std::vector<CK_ATTRIBUTE> tmpl) {
        std::vector<CK_OBJECT_HANDLE> out;
        if (f_->C_FindObjectsInit(s_, tmpl.data(), static_cast<CK_ULONG>(tmpl.size())) != CKR_OK) return out;
        CK_OBJECT_HANDLE h[64];
        CK_ULONG n = 0;
        if (f_->C_FindObjects(s_, h, 64, &n) == CKR_OK) out.assign(h, h + n);
        (void)f_->C_FindObjectsFinal(s_);
        return out;
    }
    bytes attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f_->C_GetAttributeValue(s_, h, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
            return bytes();
        bytes v(a.ulValueLen);
        a.pValue = v.data();
        if (f_->C_GetAttributeValue(s_, h, &a, 1) != CKR_OK) return bytes();
        v.resize(a.ulValueLen);
        return v;
    }
    // The objects of a class in a container, of one key spec.
    std::vector<CK_OBJECT_HANDLE> in_container(CK_OBJECT_CLASS cls, const char* name, CK_ULONG spec) {
        return find({{CKA_CLASS, &cls, sizeof cls},
                     {CKA_VENDOR_CONTAINER_NAME, const_cast<char*>(name), static_cast<CK_ULONG>(std::strlen(name))},
                     {CKA_VENDOR_KEY_SPEC, &spec, sizeof spec}});
    }
    // The PKCS #12 entry with that subject (the platform may leave some of
    // a file's certificates out, so entries are looked up by subject).
    int pkcs12_entry(const std::string& subject) {
        for (int i = 0; i < 8; ++i) {
            char s[260], is[260];
            int kind = -1;
            if (pkcs12_file_get_certinfo(i, s, is, &kind) != 0) return -1;
            if (subject == s) return i;
        }
        return -1;
    }
    // The entries of a list, for failure messages.
    static std::string listing(int(SOLVANTAMGR_CALL* info)(int, char*, char*, int*)) {
        std::string out;
        for (int i = 0; i < 8; ++i) {
            char s[260], is[260];
            int kind = -1;
            if (info(i, s, is, &kind) != 0) break;
            out += "\n  [" + std::to_string(i) + "] " + hex(reinterpret_cast<unsigned char*>(s), std::strlen(s)) +
                   " / " + is + " / " + std::to_string(kind);
        }
        return out;
    }
    static std::string pkcs12_listing() { return listing(pkcs12_file_get_certinfo); }
    static std::string p7b_listing() { return listing(p7b_file_get_certinfo); }
    int p7b_entry(const std::string& subject) {
        for (int i = 0; i < 8; ++i) {
            char s[260], is[260];
            int kind = -1;
            if (p7b_file_get_certinfo(i, s, is, &kind) != 0) return -1;
            if (subject == s) return i;
        }
        return -1;
    }
    int standalone_count() {
        unsigned long handles[64];
        int count = -1;
        EXPECT_EQ(token_find_standalone_certs(0, handles, &count), 0);
        return count;
    }

    test_support::vtoken_control vt_;
    HMODULE module_ = nullptr;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    CK_EXT_FUNCTION_LIST_PTR x_ = nullptr;
    CK_SESSION_HANDLE s_ = 0;
};

}  // namespace mgr_test
