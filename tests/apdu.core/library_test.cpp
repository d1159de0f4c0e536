// The built library as an outside application sees it: linked through its
// import library (on Windows the __stdcall names resolve through the
// decorated import symbols), and loaded by undecorated name at run time.
// Needs no card: no reader is reached.
#include <gtest/gtest.h>

#include <string>

#include "ZervikSolvanta.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

const char* const exported[] = {
    "Zervik_EnumDev",       "Zervik_ConnectDev",       "Zervik_SetDevHandle",   "Zervik_AddDevHandle",
    "Zervik_UpdateDevHandle", "Zervik_RemoveDevice",   "Zervik_DisconnectDev",  "Zervik_DeviceIO",
    "Zervik_BeginTransaction", "Zervik_EndTransaction", "Zervik_UseSecureChannel", "Zervik_GetFSMaxSpace",
    "Zervik_GetChipID",     "Zervik_FormatDevice",     "Zervik_GetHealthStatus", "Zervik_ChangeWorkingMode",
    "Zervik_HealthCheck",   "Zervik_DRBGReseed",       "Zervik_SecureMessageGenEphemeral",
    "Zervik_SecureMessageKDF", "Zervik_SetupSecureMessageChannel", "Zervik_SoftAESKeyWrap",
    "Zervik_SoftAESKeyUnwrap",
};

class library : public ::testing::Test {
protected:
#ifdef _WIN32
    void SetUp() override { module_ = LoadLibraryA("ZervikSolvanta.dll"); }
    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    void* symbol(const char* name) { return reinterpret_cast<void*>(GetProcAddress(module_, name)); }
    HMODULE module_ = nullptr;
#else
    void SetUp() override { module_ = dlopen("libZervikSolvanta.so", RTLD_NOW | RTLD_NOLOAD); }
    void TearDown() override {
        if (module_ != nullptr) dlclose(module_);
    }
    void* symbol(const char* name) { return dlsym(module_, name); }
    void* module_ = nullptr;
#endif
};

TEST_F(library, ExportsAreFoundByTheirPlainNames) {
    ASSERT_NE(module_, nullptr);
    for (const char* name : exported) EXPECT_NE(symbol(name), nullptr) << name;
#ifdef _WIN32
    EXPECT_EQ(symbol("_Zervik_EnumDev@12"), nullptr);
    EXPECT_EQ(symbol("Zervik_EnumDev@12"), nullptr);
#endif
    // Nothing of the implementation is visible.
    EXPECT_EQ(symbol("_ZN6zervik14device_managerEv"), nullptr);
    EXPECT_EQ(symbol("DllMain"), nullptr);
}

TEST_F(library, CallsThroughLoadedPointersKeepTheStack) {
    ASSERT_NE(module_, nullptr);
    using enum_dev = int(ZERVIK_CALL*)(const char*, char*, int*);
    using device_io = int(ZERVIK_CALL*)(ZERVIK_HANDLE, const unsigned char*, int, unsigned char*, int*);
    using connect_dev = int(ZERVIK_CALL*)(const char*, ZERVIK_HANDLE*);
    auto enum_devices = reinterpret_cast<enum_dev>(symbol("Zervik_EnumDev"));
    auto io = reinterpret_cast<device_io>(symbol("Zervik_DeviceIO"));
    auto connect = reinterpret_cast<connect_dev>(symbol("Zervik_ConnectDev"));
    ASSERT_TRUE(enum_devices && io && connect);
    // Many calls: a convention mismatch would have worn the stack away.
    for (int i = 0; i < 1000; ++i) {
        int length = 4;
        ASSERT_EQ(enum_devices(nullptr, nullptr, &length), 2);
        unsigned char reply[4];
        ASSERT_EQ(io(nullptr, reply, 4, reply, &length), 1);
        ZERVIK_HANDLE handle = nullptr;
        ASSERT_EQ(connect(std::string(300, 'n').c_str(), &handle), static_cast<int>(SCARD_E_UNKNOWN_READER));
    }
}

TEST(library_import, CallsThroughTheImportLibrary) {
    int length = 0;
    EXPECT_EQ(Zervik_EnumDev("", nullptr, nullptr), 2);
    EXPECT_EQ(Zervik_UseSecureChannel(0), 0);
    EXPECT_EQ(Zervik_RemoveDevice(&length), 1);
    ZERVIK_HANDLE handle = nullptr;
    EXPECT_EQ(Zervik_SetDevHandle(nullptr, 0, 0, &handle), 2);
    int space = 0;
    EXPECT_EQ(Zervik_GetFSMaxSpace(nullptr, &space), 1);
    unsigned char key[32] = {};
    EXPECT_EQ(Zervik_FormatDevice(nullptr, "a", "b", "c", "d", 1, 2, "", 3, key, 4, 5, key, 6, 7, key, 8), 1);
    unsigned char record[144] = {};
    EXPECT_EQ(Zervik_SecureMessageGenEphemeral(nullptr, 0x40001011, 0, record), 1);
    EXPECT_EQ(Zervik_SecureMessageKDF(nullptr, 0x40001011, 0x40000015, key, record), 1);
    EXPECT_EQ(Zervik_SetupSecureMessageChannel(nullptr), 1);
    unsigned char wrapped[40];
    unsigned short wrapped_length = sizeof wrapped;
    ASSERT_EQ(Zervik_SoftAESKeyWrap(key, 32, key, 32, wrapped, &wrapped_length), 0);
    unsigned char plain[32];
    unsigned short plain_length = sizeof plain;
    EXPECT_EQ(Zervik_SoftAESKeyUnwrap(key, 32, wrapped, wrapped_length, plain, &plain_length), 0);
    EXPECT_EQ(plain_length, 32);
}

}  // namespace
