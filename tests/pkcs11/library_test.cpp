// The built module as a consumer loads it: it exports exactly the standard
// functions and the vendor extension, its function lists hold those same
// functions, and the lists have the layout the manager library reads.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

#include "loaded_module.h"

namespace {

std::vector<std::string> export_names() {
    std::vector<std::string> names;
    std::stringstream in(SOLVANTEX_PKCS11_EXPORT_NAMES);
    std::string name;
    while (std::getline(in, name, ',')) names.push_back(name);
    return names;
}

constexpr std::size_t standard_functions = 68;

class pkcs11_library : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(module_.loaded()); }
    void* symbol(const std::string& name) const { return module_.symbol(name.c_str()); }

    pkcs11_test::loaded_module module_;
};

// The offset of the n-th function of a list whose version takes
// version_slot bytes.
std::size_t entry_offset(std::size_t version_slot, std::size_t n) { return version_slot + n * sizeof(void*); }

}  // namespace

TEST_F(pkcs11_library, ListsHoldTheExportedFunctions) {
    const std::vector<std::string> names = export_names();
    ASSERT_EQ(names.size(), standard_functions + 12);
    for (const std::string& name : names) EXPECT_NE(symbol(name), nullptr) << name;

    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(symbol("C_GetFunctionList"));
    auto get_ext = reinterpret_cast<CK_M_GetExtFunctionList>(symbol("M_GetExtFunctionList"));
    ASSERT_NE(get_list, nullptr);
    ASSERT_NE(get_ext, nullptr);
    CK_FUNCTION_LIST_PTR list = nullptr;
    CK_EXT_FUNCTION_LIST_PTR ext = nullptr;
    ASSERT_EQ(get_list(&list), CKR_OK);
    ASSERT_EQ(get_ext(&ext), CKR_OK);
    // Entry n of each list is the export of that name: the names are in
    // list order, the standard ones first.
    const auto* entries = reinterpret_cast<const unsigned char*>(list) + offsetof(CK_FUNCTION_LIST, C_Initialize);
    for (std::size_t i = 0; i < standard_functions; ++i) {
        void* entry;
        std::memcpy(&entry, entries + i * sizeof(void*), sizeof entry);
        EXPECT_EQ(entry, symbol(names[i])) << names[i];
    }
    const auto* ext_entries = reinterpret_cast<const unsigned char*>(ext) + offsetof(CK_EXT_FUNCTION_LIST, M_GetUserInfo);
    for (std::size_t i = standard_functions; i < names.size(); ++i) {
        void* entry;
        std::memcpy(&entry, ext_entries + (i - standard_functions) * sizeof(void*), sizeof entry);
        EXPECT_EQ(entry, symbol(names[i])) << names[i];
    }
    // A whole round through the loaded module.
    auto* initialize = list->C_Initialize;
    ASSERT_EQ(initialize(nullptr), CKR_OK);
    CK_INFO info;
    EXPECT_EQ(list->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    EXPECT_EQ(list->C_Finalize(nullptr), CKR_OK);
}

TEST(pkcs11_list_layout, FirstAndLastEntries) {
#ifdef _WIN32
    // Packed to one byte: the pointers follow the 2-byte version.
    const std::size_t version_slot = sizeof(CK_VERSION);
#else
    const std::size_t version_slot = (sizeof(CK_VERSION) + alignof(void*) - 1) / alignof(void*) * alignof(void*);
#endif
    EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_Initialize), entry_offset(version_slot, 0));
    EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_Finalize), entry_offset(version_slot, 1));
    EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_WaitForSlotEvent), entry_offset(version_slot, standard_functions - 1));
    EXPECT_EQ(sizeof(CK_FUNCTION_LIST), entry_offset(version_slot, standard_functions));
    // The extension list has natural alignment on every build.
    EXPECT_EQ(offsetof(CK_EXT_FUNCTION_LIST, M_GetUserInfo), sizeof(void*));
    EXPECT_EQ(offsetof(CK_EXT_FUNCTION_LIST, M_GetTokenExtInfo), 12 * sizeof(void*));
}

#if defined(_WIN32) && !defined(_WIN64)
// The byte offsets at which the 32-bit manager library calls the lists.
TEST(pkcs11_list_layout, OffsetsTheManagerLibraryReads) {
    struct {
        std::size_t offset;
        std::size_t actual;
        const char* name;
    } const standard[] = {
        {2, offsetof(CK_FUNCTION_LIST, C_Initialize), "C_Initialize"},
        {6, offsetof(CK_FUNCTION_LIST, C_Finalize), "C_Finalize"},
        {18, offsetof(CK_FUNCTION_LIST, C_GetSlotList), "C_GetSlotList"},
        {26, offsetof(CK_FUNCTION_LIST, C_GetTokenInfo), "C_GetTokenInfo"},
        {42, offsetof(CK_FUNCTION_LIST, C_InitPIN), "C_InitPIN"},
        {46, offsetof(CK_FUNCTION_LIST, C_SetPIN), "C_SetPIN"},
        {50, offsetof(CK_FUNCTION_LIST, C_OpenSession), "C_OpenSession"},
        {54, offsetof(CK_FUNCTION_LIST, C_CloseSession), "C_CloseSession"},
        {62, offsetof(CK_FUNCTION_LIST, C_GetSessionInfo), "C_GetSessionInfo"},
        {74, offsetof(CK_FUNCTION_LIST, C_Login), "C_Login"},
        {78, offsetof(CK_FUNCTION_LIST, C_Logout), "C_Logout"},
        {82, offsetof(CK_FUNCTION_LIST, C_CreateObject), "C_CreateObject"},
        {90, offsetof(CK_FUNCTION_LIST, C_DestroyObject), "C_DestroyObject"},
        {98, offsetof(CK_FUNCTION_LIST, C_GetAttributeValue), "C_GetAttributeValue"},
        {102, offsetof(CK_FUNCTION_LIST, C_SetAttributeValue), "C_SetAttributeValue"},
        {106, offsetof(CK_FUNCTION_LIST, C_FindObjectsInit), "C_FindObjectsInit"},
        {110, offsetof(CK_FUNCTION_LIST, C_FindObjects), "C_FindObjects"},
        {114, offsetof(CK_FUNCTION_LIST, C_FindObjectsFinal), "C_FindObjectsFinal"},
        {254, offsetof(CK_FUNCTION_LIST, C_SeedRandom), "C_SeedRandom"},
        {258, offsetof(CK_FUNCTION_LIST, C_GenerateRandom), "C_GenerateRandom"},
        {270, offsetof(CK_FUNCTION_LIST, C_WaitForSlotEvent), "C_WaitForSlotEvent"},
        {4, offsetof(CK_EXT_FUNCTION_LIST, M_GetUserInfo), "M_GetUserInfo"},
        {8, offsetof(CK_EXT_FUNCTION_LIST, M_GetExtFunctionList), "M_GetExtFunctionList"},
        {12, offsetof(CK_EXT_FUNCTION_LIST, M_UnblockUserPin), "M_UnblockUserPin"},
        {16, offsetof(CK_EXT_FUNCTION_LIST, M_SetTokenLabel), "M_SetTokenLabel"},
        {20, offsetof(CK_EXT_FUNCTION_LIST, M_FormatToken), "M_FormatToken"},
        {24, offsetof(CK_EXT_FUNCTION_LIST, M_CreateContainer), "M_CreateContainer"},
        {28, offsetof(CK_EXT_FUNCTION_LIST, M_DeleteContainer), "M_DeleteContainer"},
        {32, offsetof(CK_EXT_FUNCTION_LIST, M_EnumContainer), "M_EnumContainer"},
        {36, offsetof(CK_EXT_FUNCTION_LIST, M_GetContainerInfo), "M_GetContainerInfo"},
        {40, offsetof(CK_EXT_FUNCTION_LIST, M_ReloadObjects), "M_ReloadObjects"},
        {44, offsetof(CK_EXT_FUNCTION_LIST, M_RemoteUnblockPin), "M_RemoteUnblockPin"},
        {48, offsetof(CK_EXT_FUNCTION_LIST, M_GetTokenExtInfo), "M_GetTokenExtInfo"},
    };
    for (const auto& e : standard) EXPECT_EQ(e.actual, e.offset) << e.name;
}
#endif

#ifdef _WIN32
// The DLL's export directory names exactly the module's functions.
TEST_F(pkcs11_library, ExportTableHoldsOnlyTheModuleFunctions) {
    const auto* base = static_cast<const unsigned char*>(module_.handle());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* name_rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> exported;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        exported.insert(reinterpret_cast<const char*>(base + name_rvas[i]));
    const std::vector<std::string> names = export_names();
    EXPECT_EQ(exported, std::set<std::string>(names.begin(), names.end()));
    EXPECT_EQ(exports->NumberOfFunctions, names.size());
}
#endif
