// The function-list fields the manager library calls, where it reads them:
// compiled with the library's headers and packing, and found in the module
// DLL the tree builds. In the i686 tree the byte offsets are the fixed
// numbers of the 32-bit lists (the standard list packed to 1 byte, the
// extension list naturally aligned); in the x86_64 tree the same fields sit
// at the version slot plus 8 bytes per entry.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "binding.h"

namespace {

struct bound_field {
    std::size_t offset32;  // in the i686 build
    std::size_t index;     // entry number after the version
    std::size_t offset;    // as this build compiles it
    const char* name;
};

#define STANDARD(off32, index, field) {off32, index, offsetof(CK_FUNCTION_LIST, field), #field}
#define EXTENSION(off32, index, field) {off32, index, offsetof(CK_EXT_FUNCTION_LIST, field), #field}

const bound_field standard_fields[] = {
    STANDARD(2, 0, C_Initialize),         STANDARD(6, 1, C_Finalize),         STANDARD(18, 4, C_GetSlotList),
    STANDARD(26, 6, C_GetTokenInfo),      STANDARD(42, 10, C_InitPIN),        STANDARD(46, 11, C_SetPIN),
    STANDARD(50, 12, C_OpenSession),      STANDARD(54, 13, C_CloseSession),   STANDARD(62, 15, C_GetSessionInfo),
    STANDARD(74, 18, C_Login),            STANDARD(78, 19, C_Logout),         STANDARD(82, 20, C_CreateObject),
    STANDARD(90, 22, C_DestroyObject),    STANDARD(98, 24, C_GetAttributeValue),
    STANDARD(102, 25, C_SetAttributeValue), STANDARD(106, 26, C_FindObjectsInit),
    STANDARD(110, 27, C_FindObjects),     STANDARD(114, 28, C_FindObjectsFinal),
    STANDARD(254, 63, C_SeedRandom),      STANDARD(258, 64, C_GenerateRandom),
    STANDARD(270, 67, C_WaitForSlotEvent),
};

const bound_field extension_fields[] = {
    EXTENSION(4, 0, M_GetUserInfo),       EXTENSION(8, 1, M_GetExtFunctionList), EXTENSION(12, 2, M_UnblockUserPin),
    EXTENSION(16, 3, M_SetTokenLabel),    EXTENSION(20, 4, M_FormatToken),       EXTENSION(24, 5, M_CreateContainer),
    EXTENSION(28, 6, M_DeleteContainer),  EXTENSION(32, 7, M_EnumContainer),     EXTENSION(36, 8, M_GetContainerInfo),
    EXTENSION(40, 9, M_ReloadObjects),    EXTENSION(44, 10, M_RemoteUnblockPin), EXTENSION(48, 11, M_GetTokenExtInfo),
};

void* entry_at(const void* list, std::size_t offset) {
    void* p = nullptr;
    std::memcpy(&p, static_cast<const unsigned char*>(list) + offset, sizeof p);
    return p;
}

class mgr_list_offsets : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA("solvantex_pkcs11.dll");
        ASSERT_NE(module_, nullptr);
        auto get = reinterpret_cast<CK_C_GetFunctionList>(symbol("C_GetFunctionList"));
        auto get_ext = reinterpret_cast<CK_M_GetExtFunctionList>(symbol("M_GetExtFunctionList"));
        ASSERT_NE(get, nullptr);
        ASSERT_NE(get_ext, nullptr);
        ASSERT_EQ(get(&f_), CKR_OK);
        ASSERT_EQ(get_ext(&x_), CKR_OK);
    }
    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    void* symbol(const char* name) const { return reinterpret_cast<void*>(GetProcAddress(module_, name)); }

    HMODULE module_ = nullptr;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    CK_EXT_FUNCTION_LIST_PTR x_ = nullptr;
};

TEST_F(mgr_list_offsets, TheStandardListsFieldsHoldTheModulesExports) {
    // Packed: the 2-byte version, then the pointers.
    for (const bound_field& b : standard_fields) {
        EXPECT_EQ(b.offset, sizeof(CK_VERSION) + b.index * sizeof(void*)) << b.name;
        if (sizeof(void*) == 4) {
            EXPECT_EQ(b.offset, b.offset32) << b.name;
        }
        EXPECT_EQ(entry_at(f_, b.offset), symbol(b.name)) << b.name;
    }
    EXPECT_EQ(sizeof(CK_FUNCTION_LIST), sizeof(CK_VERSION) + 68 * sizeof(void*));
}

TEST_F(mgr_list_offsets, TheExtensionListsFieldsHoldTheModulesExports) {
    // Naturally aligned: the version in a pointer-sized slot.
    for (const bound_field& b : extension_fields) {
        EXPECT_EQ(b.offset, (b.index + 1) * sizeof(void*)) << b.name;
        if (sizeof(void*) == 4) {
            EXPECT_EQ(b.offset, b.offset32) << b.name;
        }
        EXPECT_EQ(entry_at(x_, b.offset), symbol(b.name)) << b.name;
    }
    EXPECT_EQ(sizeof(CK_EXT_FUNCTION_LIST), 13 * sizeof(void*));
    EXPECT_EQ(x_->version.major, 1);
    EXPECT_EQ(x_->version.minor, 0);
}

}  // namespace
