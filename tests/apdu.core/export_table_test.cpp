// The export table of the built library: exactly the 120 Zervik_* names,
// undecorated. On Windows the PE export directory of ZervikSolvanta.dll is
// read as loaded; natively each name must resolve in libZervikSolvanta.so
// (whose version script exports Zervik_* only).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

const char* const all_exports[] = {
    // Devices, transport, secure channel, device management.
    "Zervik_EnumDev", "Zervik_WaitforDevEvent", "Zervik_CancelWait", "Zervik_ConnectDev", "Zervik_SetDevHandle",
    "Zervik_AddDevHandle", "Zervik_UpdateDevHandle", "Zervik_RemoveDevice", "Zervik_DisconnectDev",
    "Zervik_DeviceIO", "Zervik_BeginTransaction", "Zervik_EndTransaction", "Zervik_UseSecureChannel",
    "Zervik_SecureMessageGenEphemeral", "Zervik_SecureMessageKDF", "Zervik_SetupSecureMessageChannel",
    "Zervik_GetFSMaxSpace", "Zervik_GetChipID", "Zervik_FormatDevice", "Zervik_GetHealthStatus",
    "Zervik_ChangeWorkingMode", "Zervik_HealthCheck", "Zervik_DRBGReseed",
    // PINs and files.
    "Zervik_InstallPin", "Zervik_GetChallenge", "Zervik_DRBGGenRandom", "Zervik_DeviceAuth", "Zervik_InternalAuth",
    "Zervik_VerifyPin", "Zervik_GetPinInfo", "Zervik_ChangePin", "Zervik_UnblockPin", "Zervik_UnloadPin",
    "Zervik_ClearSecureState", "Zervik_SelectFileById", "Zervik_SelectFileById2", "Zervik_SelectChildDFById",
    "Zervik_SelectEFById", "Zervik_SelectParentDF", "Zervik_SelectDFByName", "Zervik_SelectEFByName",
    "Zervik_SelectDFByPathFromMF", "Zervik_SelectDFByPathFromDF", "Zervik_CreateDF", "Zervik_CreateEF",
    "Zervik_DeleteCurrentFile", "Zervik_DeleteFileById", "Zervik_DeleteFileByName", "Zervik_ReadBinary",
    "Zervik_ReadBinarySid", "Zervik_ReadBinaryName", "Zervik_UpdateBinary", "Zervik_UpdateBinarySid",
    "Zervik_UpdateBinaryName", "Zervik_AppendRecord", "Zervik_AppendRecordSid", "Zervik_AppendRecordName",
    "Zervik_ReadRecordLength", "Zervik_ReadRecordLengthSid", "Zervik_ReadRecordLengthName", "Zervik_ReadRecord",
    "Zervik_ReadRecordSid", "Zervik_ReadRecordName", "Zervik_UpdateRecord", "Zervik_UpdateRecordSid",
    "Zervik_UpdateRecordName", "Zervik_GetData", "Zervik_PutData",
    // Key pairs.
    "Zervik_AsymGenKeypair", "Zervik_AsymWrapImportPub", "Zervik_AsymImportPub", "Zervik_AsymWrapImportPri",
    "Zervik_AsymWrapExportPub", "Zervik_AsymExportPub", "Zervik_AsymWrapExportPri", "Zervik_AsymImportSessionKey",
    "Zervik_AsymExportSessionKey", "Zervik_AsymSignHash", "Zervik_AsymSign", "Zervik_AsymVerifyHash",
    "Zervik_AsymVerify", "Zervik_AsymPublicEncryption", "Zervik_AsymPrivateDecryption",
    "Zervik_AsymPublicOperation", "Zervik_AsymPrivateOperation",
    // Configuration.
    "Zervik_ConfigureVIDPID", "Zervik_ConfigureReader", "Zervik_ConfigureCDInquiry", "Zervik_ConfigureVendor",
    "Zervik_GetVIDPID", "Zervik_GetReader", "Zervik_GetCDInquiry", "Zervik_GetUSBVendor",
    // Session keys and symmetric ciphers.
    "Zervik_SessionKASGenerateEphemeral", "Zervik_SessionKDF", "Zervik_GenSessionKey", "Zervik_CreateSessionKey",
    "Zervik_GetSessionKeyInfo", "Zervik_DestroySessionKey", "Zervik_DestroyAllSessionKeys",
    "Zervik_SymImportSessionKey", "Zervik_SymExportSessionKey", "Zervik_SymCryptInit", "Zervik_SymEncryptUpdate",
    "Zervik_SymEncryptFinal", "Zervik_SymDecryptUpdate", "Zervik_SymDecryptFinal", "Zervik_KASSessionKey",
    "Zervik_KASSessionKeyFast", "Zervik_SetSessionKey",
    // Hash, MAC and the host-side key wrap.
    "Zervik_HashInit", "Zervik_HashUpdate", "Zervik_HashFinal", "Zervik_MacInit", "Zervik_MacUpdate",
    "Zervik_MacFinal", "Zervik_Hash", "Zervik_Mac", "Zervik_SoftAESKeyWrap", "Zervik_SoftAESKeyUnwrap",
};

std::set<std::string> expected_names() { return {std::begin(all_exports), std::end(all_exports)}; }

}  // namespace

TEST(export_table, ListsTheHundredAndTwentyNames) { EXPECT_EQ(expected_names().size(), 120u); }

#ifdef _WIN32
TEST(export_table, HoldsExactlyTheNamesUndecorated) {
    HMODULE module = LoadLibraryA("ZervikSolvanta.dll");
    ASSERT_NE(module, nullptr);
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) found.insert(reinterpret_cast<const char*>(base + names[i]));
    EXPECT_EQ(found.size(), 120u);
    EXPECT_EQ(found, expected_names());
    for (const std::string& name : found) EXPECT_EQ(name.find('@'), std::string::npos) << name;
    FreeLibrary(module);
}
#else
TEST(export_table, HoldsExactlyTheNamesUndecorated) {
    void* module = dlopen("libZervikSolvanta.so", RTLD_NOW);
    ASSERT_NE(module, nullptr) << dlerror();
    for (const std::string& name : expected_names()) EXPECT_NE(dlsym(module, name.c_str()), nullptr) << name;
    dlclose(module);
}
#endif
