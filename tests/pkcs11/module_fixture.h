// Shared pieces of the module's tests: a fixture that leaves the module
// finalised around each test on a lock name of its own process, and a
// session planted in the session list (no token is ever present without
// the card layer, so C_OpenSession cannot make one).
#pragma once

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <pkcs11_vendor.h>

#include "global_lock.h"
#include "pkcs11_core.h"

namespace pkcs11_test {

inline std::string own_lock_name() {
#ifdef _WIN32
    const unsigned long pid = static_cast<unsigned long>(_getpid());
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return "Global\\solvanta_pkcs11_test_" + std::to_string(pid);
}

class module_test : public ::testing::Test {
protected:
    void SetUp() override {
        (void)C_Finalize(nullptr);
        pkcs11::set_default_mutex_name(own_lock_name().c_str());
        ASSERT_EQ(C_GetFunctionList(&f), CKR_OK);
    }
    void TearDown() override {
        (void)C_Finalize(nullptr);
        pkcs11::set_default_mutex_name(nullptr);
    }

    static pkcs11::Pkcs11Core& core() { return pkcs11::Pkcs11Core::instance(); }

    // A session on a slot that holds no token.
    static CK_SESSION_HANDLE plant_session(CK_SLOT_ID slot = 0) {
        pkcs11::Pkcs11Core::lock_scope lock(core());
        return core().sessions().add(slot);
    }

    CK_FUNCTION_LIST_PTR f = nullptr;
};

}  // namespace pkcs11_test
