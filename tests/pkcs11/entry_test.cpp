// The module's entry: C_Initialize and C_Finalize with every choice of
// callbacks, the function lists, CK_INFO, the answers without a token, the
// argument checks of every export and the lock discipline of each call.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "export_calls.h"
#include "module_fixture.h"

using pkcs11_test::all_export_calls;
using pkcs11_test::export_call;
using pkcs11_test::module_test;

namespace {

// Caller mutex callbacks that record what the module does with them. The
// mutex is not recursive: taking it again while held is recorded as a fault
// (a real non-recursive mutex would deadlock there).
struct recorded_mutex {
    std::atomic<int> depth{0};
    std::atomic<int> locks{0};
    std::atomic<int> unlocks{0};
    std::atomic<bool> reentered{false};
};
recorded_mutex* recorder = nullptr;
std::atomic<int> creates{0};
std::atomic<int> destroys{0};
CK_RV create_result = CKR_OK;
CK_RV lock_result = CKR_OK;

CK_RV rec_create(CK_VOID_PTR_PTR pp) {
    ++creates;
    if (create_result != CKR_OK) return create_result;
    recorder = new recorded_mutex;
    *pp = recorder;
    return CKR_OK;
}
CK_RV rec_destroy(CK_VOID_PTR p) {
    ++destroys;
    EXPECT_EQ(p, recorder);
    delete static_cast<recorded_mutex*>(p);
    recorder = nullptr;
    return CKR_OK;
}
CK_RV rec_lock(CK_VOID_PTR p) {
    auto* m = static_cast<recorded_mutex*>(p);
    if (lock_result != CKR_OK) return lock_result;
    if (m->depth.fetch_add(1) != 0) m->reentered = true;
    ++m->locks;
    return CKR_OK;
}
CK_RV rec_unlock(CK_VOID_PTR p) {
    auto* m = static_cast<recorded_mutex*>(p);
    --m->depth;
    ++m->unlocks;
    return CKR_OK;
}

class pkcs11_entry : public module_test {
protected:
    void SetUp() override {
        module_test::SetUp();
        creates = 0;
        destroys = 0;
        create_result = CKR_OK;
        lock_result = CKR_OK;
        ASSERT_EQ(M_GetExtFunctionList(&x), CKR_OK);
    }
    void TearDown() override {
        lock_result = CKR_OK;
        module_test::TearDown();
    }
    CK_EXT_FUNCTION_LIST_PTR x = nullptr;
};

std::string text(const CK_UTF8CHAR* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), size);
}

}  // namespace

TEST_F(pkcs11_entry, InitializeArgumentsChooseTheLock) {
    enum class lock_kind { none, module_default, caller };
    struct {
        const char* what;
        bool args;
        unsigned callbacks;  // bits: create, destroy, lock, unlock
        CK_FLAGS flags;
        bool reserved;
        CK_RV expected;
        lock_kind lock;
    } const cases[] = {
        {"no arguments", false, 0x0, 0, false, CKR_OK, lock_kind::module_default},
        {"no callbacks", true, 0x0, 0, false, CKR_OK, lock_kind::module_default},
        {"OS locking", true, 0x0, CKF_OS_LOCKING_OK, false, CKR_OK, lock_kind::module_default},
        {"one callback", true, 0x1, 0, false, CKR_ARGUMENTS_BAD, lock_kind::none},
        {"one callback, OS locking", true, 0x4, CKF_OS_LOCKING_OK, false, CKR_ARGUMENTS_BAD, lock_kind::none},
        {"two callbacks", true, 0x3, 0, false, CKR_ARGUMENTS_BAD, lock_kind::none},
        {"two callbacks, OS locking", true, 0xC, CKF_OS_LOCKING_OK, false, CKR_ARGUMENTS_BAD, lock_kind::none},
        {"three callbacks", true, 0x7, 0, false, CKR_ARGUMENTS_BAD, lock_kind::none},
        {"three callbacks, OS locking", true, 0xE, CKF_OS_LOCKING_OK, false, CKR_ARGUMENTS_BAD, lock_kind::none},
        {"four callbacks", true, 0xF, 0, false, CKR_OK, lock_kind::caller},
        {"four callbacks, OS locking", true, 0xF, CKF_OS_LOCKING_OK, false, CKR_OK, lock_kind::caller},
        {"pReserved", true, 0x0, 0, true, CKR_ARGUMENTS_BAD, lock_kind::none},
        {"pReserved, four callbacks", true, 0xF, 0, true, CKR_ARGUMENTS_BAD, lock_kind::none},
    };
    int reserved = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CK_C_INITIALIZE_ARGS a{};
        if (c.callbacks & 1) a.CreateMutex = rec_create;
        if (c.callbacks & 2) a.DestroyMutex = rec_destroy;
        if (c.callbacks & 4) a.LockMutex = rec_lock;
        if (c.callbacks & 8) a.UnlockMutex = rec_unlock;
        a.flags = c.flags;
        a.pReserved = c.reserved ? &reserved : nullptr;
        creates = 0;
        EXPECT_EQ(C_Initialize(c.args ? &a : nullptr), c.expected);
        CK_INFO info;
        switch (c.lock) {
        case lock_kind::none:
            EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
            EXPECT_EQ(creates, 0);
            break;
        case lock_kind::module_default:
            EXPECT_EQ(core().callbacks().create, &pkcs11::default_create_mutex);
            EXPECT_TRUE(pkcs11::default_mutex_spans_processes(core().global_mutex()));
            EXPECT_EQ(creates, 0);
            break;
        case lock_kind::caller:
            EXPECT_EQ(creates, 1);
            ASSERT_EQ(core().global_mutex(), recorder);
            EXPECT_EQ(C_GetInfo(&info), CKR_OK);
            EXPECT_EQ(recorder->locks, 1);
            EXPECT_EQ(recorder->unlocks, 1);
            break;
        }
        destroys = 0;
        EXPECT_EQ(C_Finalize(nullptr), c.lock == lock_kind::none ? CKR_CRYPTOKI_NOT_INITIALIZED : CKR_OK);
        EXPECT_EQ(destroys, c.lock == lock_kind::caller ? 1 : 0);
    }
}

TEST_F(pkcs11_entry, InitializeTwiceFinalizeAndAgain) {
    int reserved = 0;
    EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_INFO info;
    EXPECT_EQ(C_GetInfo(&info), CKR_OK);
}

TEST_F(pkcs11_entry, CallerCreateFailureLeavesTheModuleUninitialised) {
    CK_C_INITIALIZE_ARGS a{rec_create, rec_destroy, rec_lock, rec_unlock, CKF_OS_LOCKING_OK, nullptr};
    create_result = CKR_CANT_LOCK;
    EXPECT_EQ(C_Initialize(&a), CKR_CANT_LOCK);
    CK_INFO info;
    EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    create_result = CKR_OK;
    EXPECT_EQ(C_Initialize(&a), CKR_OK);
}

TEST_F(pkcs11_entry, DefaultLockFallsBackToTheProcessWhenTheNamedOneCannotBeMade) {
    EXPECT_STREQ(pkcs11::default_mutex_name(), pkcs11_test::own_lock_name().c_str());
    pkcs11::set_default_mutex_name(nullptr);
    EXPECT_STREQ(pkcs11::default_mutex_name(), "Global\\solvanta_pkcs11_mutex");
    pkcs11::set_default_mutex_name("");  // no such mutex can be made
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_NE(core().global_mutex(), nullptr);
    EXPECT_FALSE(pkcs11::default_mutex_spans_processes(core().global_mutex()));

    // The fallback still serialises the threads of the process.
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                pkcs11::Pkcs11Core::lock_scope lock(core());
                ASSERT_TRUE(lock.held());
                if (inside.fetch_add(1) != 0) overlap = true;
                std::this_thread::yield();
                --inside;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap);
}

TEST_F(pkcs11_entry, FunctionListsAndLibraryInformation) {
    EXPECT_EQ(C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(M_GetExtFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->version.major, 2);
    EXPECT_EQ(f->version.minor, 2);
    EXPECT_EQ(f->C_Initialize, &C_Initialize);
    EXPECT_EQ(f->C_GetFunctionList, &C_GetFunctionList);
    EXPECT_EQ(f->C_DecryptVerifyUpdate, &C_DecryptVerifyUpdate);
    EXPECT_EQ(f->C_WaitForSlotEvent, &C_WaitForSlotEvent);
    EXPECT_EQ(x->version.major, 1);
    EXPECT_EQ(x->version.minor, 0);
    // The rest of the version's slot is zero.
    const auto* slot = reinterpret_cast<const unsigned char*>(x);
    for (std::size_t i = sizeof(CK_VERSION); i < offsetof(CK_EXT_FUNCTION_LIST, M_GetUserInfo); ++i)
        EXPECT_EQ(slot[i], 0) << i;
    EXPECT_EQ(x->M_GetUserInfo, &M_GetUserInfo);
    EXPECT_EQ(x->M_GetExtFunctionList, &M_GetExtFunctionList);
    EXPECT_EQ(x->M_GetContainerInfo, &M_GetContainerInfo);
    EXPECT_EQ(x->M_GetTokenExtInfo, &M_GetTokenExtInfo);

    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_INFO info;
    std::memset(&info, 0xAA, sizeof info);
    ASSERT_EQ(C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    EXPECT_EQ(text(info.manufacturerID, 32), "Tarnely Technology              ");
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(text(info.libraryDescription, 32), "Tarnely PKCS11# Library         ");
    EXPECT_EQ(info.libraryVersion.major, 2);
    EXPECT_EQ(info.libraryVersion.minor, 0);
}

TEST_F(pkcs11_entry, EveryExportButThreeAnswersNotInitialisedBeforeAndAfter) {
    const CK_SESSION_HANDLE h = 1000;
    for (int round = 0; round < 2; ++round) {
        for (const export_call& c : all_export_calls(f, x, h, 0)) {
            if (pkcs11_test::answers_uninitialised(c.name)) {
                EXPECT_EQ(c.call(), CKR_OK) << c.name;
            } else {
                EXPECT_EQ(c.call(), CKR_CRYPTOKI_NOT_INITIALIZED) << c.name << " round " << round;
            }
        }
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    }
}

TEST_F(pkcs11_entry, WithoutATokenSessionAndSlotCallsAnswerTheirCodes) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    for (CK_SLOT_ID slot : {CK_SLOT_ID(0), CK_SLOT_ID(3), CK_SLOT_ID(99)}) {
        for (const export_call& c : all_export_calls(f, x, 0xDEAD, slot))
            EXPECT_EQ(c.call(), c.without_token) << c.name << " slot " << slot;
    }
}

TEST_F(pkcs11_entry, SessionWithoutItsTokenAnswersDeviceRemoved) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE h = plant_session(2);
    for (const export_call& c : all_export_calls(f, x, h, 5)) {
        CK_RV expected = c.without_token;
        if (expected == CKR_SESSION_HANDLE_INVALID) expected = CKR_DEVICE_REMOVED;
        // Lock-only calls that find the session.
        if (c.name == "C_SignRecover") expected = CKR_FUNCTION_NOT_SUPPORTED;
        if (c.name == "C_CloseSession") continue;
        EXPECT_EQ(c.call(), expected) << c.name;
    }
    EXPECT_EQ(C_CloseSession(h), CKR_OK);
    EXPECT_EQ(C_CloseSession(h), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(pkcs11_entry, FixedAnswers) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE known = plant_session();
    const CK_SESSION_HANDLE unknown = known + 1000;
    CK_BYTE b[8] = {};
    CK_ULONG n = sizeof b;
    EXPECT_EQ(C_SignRecover(known, b, 8, b, &n), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(C_SignRecover(unknown, b, 8, b, &n), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_VerifyRecover(known, b, 8, b, &n), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(C_VerifyRecover(unknown, nullptr, 0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(C_GetFunctionStatus(unknown), CKR_FUNCTION_NOT_PARALLEL);
    EXPECT_EQ(C_CancelFunction(known), CKR_FUNCTION_NOT_PARALLEL);
    EXPECT_EQ(C_FindObjectsFinal(unknown), CKR_OK);
    EXPECT_EQ(C_CloseAllSessions(12345), CKR_OK);
    // The seed is ignored, but the session must be known.
    EXPECT_EQ(C_SeedRandom(unknown, b, 8), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(pkcs11_entry, SlotListAndSlotInformationWithoutTokens) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_ULONG n = 99;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(core().monitor_running());
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 4u);
    CK_SLOT_ID ids[4] = {9, 9, 9, 9};
    n = 3;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, ids, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(C_GetSlotList(CK_FALSE, ids, &n), CKR_OK);
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(ids[3], 3u);

    CK_SLOT_INFO info;
    ASSERT_EQ(C_GetSlotInfo(99, &info), CKR_OK);
    EXPECT_EQ(text(info.slotDescription, 64), "Virtual Slot 99" + std::string(49, ' '));
    EXPECT_EQ(text(info.manufacturerID, 32), std::string(32, ' '));
    EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    EXPECT_EQ(info.hardwareVersion.major, 1);
    EXPECT_EQ(info.firmwareVersion.minor, 0);
}

TEST_F(pkcs11_entry, ArgumentChecksOfEveryExport) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    // A session whose token is absent: a check that ran after the lookup
    // would answer CKR_DEVICE_REMOVED instead.
    const CK_SESSION_HANDLE h = plant_session();
    CK_BYTE b[16] = {};
    CK_ULONG n = sizeof b;
    CK_MECHANISM m = {CKM_SHA256, nullptr, 0};
    CK_ATTRIBUTE a = {CKA_LABEL, b, 4};
    CK_OBJECT_HANDLE o = 0, o2 = 0;
    CK_SLOT_ID s = 0;
    int32_t i1 = 0, i2 = 0;
    struct {
        const char* what;
        CK_RV rv;
    } const cases[] = {
        {"C_GetInfo info", C_GetInfo(nullptr)},
        {"C_GetSlotList count", C_GetSlotList(CK_TRUE, &s, nullptr)},
        {"C_GetSlotInfo info", C_GetSlotInfo(0, nullptr)},
        {"C_GetTokenInfo info", C_GetTokenInfo(0, nullptr)},
        {"C_WaitForSlotEvent slot", C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr)},
        {"C_WaitForSlotEvent flags 2", C_WaitForSlotEvent(2, &s, nullptr)},
        {"C_WaitForSlotEvent flags 3", C_WaitForSlotEvent(3, &s, nullptr)},
        {"C_GetMechanismList count", C_GetMechanismList(0, nullptr, nullptr)},
        {"C_GetMechanismInfo info", C_GetMechanismInfo(0, CKM_SHA256, nullptr)},
        {"C_InitToken pin", C_InitToken(0, nullptr, 6, b)},
        {"C_InitToken label", C_InitToken(0, b, 6, nullptr)},
        {"C_InitPIN pin", C_InitPIN(h, nullptr, 6)},
        {"C_OpenSession session", C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr)},
        {"C_GetSessionInfo info", C_GetSessionInfo(h, nullptr)},
        {"C_CreateObject template", C_CreateObject(h, nullptr, 1, &o)},
        {"C_CreateObject handle", C_CreateObject(h, &a, 1, nullptr)},
        {"C_CopyObject template", C_CopyObject(h, 1, nullptr, 1, &o)},
        {"C_CopyObject handle", C_CopyObject(h, 1, &a, 1, nullptr)},
        {"C_GetObjectSize size", C_GetObjectSize(h, 1, nullptr)},
        {"C_GetAttributeValue template", C_GetAttributeValue(h, 1, nullptr, 0)},
        {"C_SetAttributeValue template", C_SetAttributeValue(h, 1, nullptr, 0)},
        {"C_FindObjectsInit template", C_FindObjectsInit(h, nullptr, 1)},
        {"C_FindObjects handles", C_FindObjects(h, nullptr, 1, &n)},
        {"C_FindObjects count", C_FindObjects(h, &o, 1, nullptr)},
        {"C_EncryptInit mechanism", C_EncryptInit(h, nullptr, 1)},
        {"C_DecryptInit mechanism", C_DecryptInit(h, nullptr, 1)},
        {"C_SignInit mechanism", C_SignInit(h, nullptr, 1)},
        {"C_VerifyInit mechanism", C_VerifyInit(h, nullptr, 1)},
        {"C_DigestInit mechanism", C_DigestInit(h, nullptr)},
        {"C_Encrypt data", C_Encrypt(h, nullptr, 8, b, &n)},
        {"C_Encrypt length", C_Encrypt(h, b, 8, b, nullptr)},
        {"C_EncryptUpdate part", C_EncryptUpdate(h, nullptr, 8, b, &n)},
        {"C_EncryptUpdate length", C_EncryptUpdate(h, b, 8, b, nullptr)},
        {"C_EncryptFinal length", C_EncryptFinal(h, b, nullptr)},
        {"C_Decrypt data", C_Decrypt(h, nullptr, 8, b, &n)},
        {"C_Decrypt length", C_Decrypt(h, b, 8, b, nullptr)},
        {"C_DecryptUpdate part", C_DecryptUpdate(h, nullptr, 8, b, &n)},
        {"C_DecryptUpdate length", C_DecryptUpdate(h, b, 8, b, nullptr)},
        {"C_DecryptFinal length", C_DecryptFinal(h, b, nullptr)},
        {"C_Digest data", C_Digest(h, nullptr, 8, b, &n)},
        {"C_Digest length", C_Digest(h, b, 8, b, nullptr)},
        {"C_DigestUpdate part", C_DigestUpdate(h, nullptr, 8)},
        {"C_DigestFinal length", C_DigestFinal(h, b, nullptr)},
        {"C_Sign data", C_Sign(h, nullptr, 8, b, &n)},
        {"C_Sign length", C_Sign(h, b, 8, b, nullptr)},
        {"C_SignUpdate part", C_SignUpdate(h, nullptr, 8)},
        {"C_SignFinal length", C_SignFinal(h, b, nullptr)},
        {"C_Verify data", C_Verify(h, nullptr, 8, b, 8)},
        {"C_Verify signature", C_Verify(h, b, 8, nullptr, 8)},
        {"C_VerifyUpdate part", C_VerifyUpdate(h, nullptr, 8)},
        {"C_VerifyFinal signature", C_VerifyFinal(h, nullptr, 8)},
        {"C_DigestEncryptUpdate part", C_DigestEncryptUpdate(h, nullptr, 8, b, &n)},
        {"C_DigestEncryptUpdate length", C_DigestEncryptUpdate(h, b, 8, b, nullptr)},
        {"C_DecryptDigestUpdate part", C_DecryptDigestUpdate(h, nullptr, 8, b, &n)},
        {"C_DecryptDigestUpdate length", C_DecryptDigestUpdate(h, b, 8, b, nullptr)},
        {"C_SignEncryptUpdate part", C_SignEncryptUpdate(h, nullptr, 8, b, &n)},
        {"C_SignEncryptUpdate length", C_SignEncryptUpdate(h, b, 8, b, nullptr)},
        {"C_DecryptVerifyUpdate part", C_DecryptVerifyUpdate(h, nullptr, 8, b, &n)},
        {"C_DecryptVerifyUpdate length", C_DecryptVerifyUpdate(h, b, 8, b, nullptr)},
        {"C_GenerateKey mechanism", C_GenerateKey(h, nullptr, &a, 1, &o)},
        {"C_GenerateKey template", C_GenerateKey(h, &m, nullptr, 1, &o)},
        {"C_GenerateKey handle", C_GenerateKey(h, &m, &a, 1, nullptr)},
        {"C_GenerateKeyPair mechanism", C_GenerateKeyPair(h, nullptr, &a, 1, &a, 1, &o, &o2)},
        {"C_GenerateKeyPair public template", C_GenerateKeyPair(h, &m, nullptr, 1, &a, 1, &o, &o2)},
        {"C_GenerateKeyPair private template", C_GenerateKeyPair(h, &m, &a, 1, nullptr, 1, &o, &o2)},
        {"C_GenerateKeyPair public handle", C_GenerateKeyPair(h, &m, &a, 1, &a, 1, nullptr, &o2)},
        {"C_GenerateKeyPair private handle", C_GenerateKeyPair(h, &m, &a, 1, &a, 1, &o, nullptr)},
        {"C_WrapKey mechanism", C_WrapKey(h, nullptr, 1, 2, b, &n)},
        {"C_WrapKey length", C_WrapKey(h, &m, 1, 2, b, nullptr)},
        {"C_UnwrapKey mechanism", C_UnwrapKey(h, nullptr, 1, b, 8, &a, 1, &o)},
        {"C_UnwrapKey wrapped", C_UnwrapKey(h, &m, 1, nullptr, 8, &a, 1, &o)},
        {"C_UnwrapKey template", C_UnwrapKey(h, &m, 1, b, 8, nullptr, 1, &o)},
        {"C_UnwrapKey handle", C_UnwrapKey(h, &m, 1, b, 8, &a, 1, nullptr)},
        {"C_DeriveKey mechanism", C_DeriveKey(h, nullptr, 1, &a, 1, &o)},
        {"C_DeriveKey template", C_DeriveKey(h, &m, 1, nullptr, 1, &o)},
        {"C_DeriveKey handle", C_DeriveKey(h, &m, 1, &a, 1, nullptr)},
        {"C_GenerateRandom buffer", C_GenerateRandom(h, nullptr, 8)},
        {"M_GetTokenExtInfo record", M_GetTokenExtInfo(0, nullptr)},
        {"M_SetTokenLabel label", M_SetTokenLabel(h, nullptr)},
        {"M_FormatToken record", M_FormatToken(h, nullptr)},
        {"M_CreateContainer name", M_CreateContainer(h, nullptr)},
        {"M_DeleteContainer name", M_DeleteContainer(h, nullptr)},
        {"M_EnumContainer length", M_EnumContainer(h, b, nullptr)},
        {"M_GetContainerInfo name", M_GetContainerInfo(h, nullptr, nullptr, &i1, &i2, b, b)},
        {"M_GetContainerInfo outputs", M_GetContainerInfo(h, b, nullptr, nullptr, &i2, b, b)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.rv, CKR_ARGUMENTS_BAD) << c.what;

    // Codes of the exports' own that are not pointer checks.
    EXPECT_EQ(C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &o), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(C_Login(h, 3, b, 6), CKR_USER_TYPE_INVALID);
    // Empty inputs and size queries are not argument faults.
    EXPECT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_FindObjects(h, nullptr, 0, &n), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_Encrypt(h, b, 8, nullptr, &n), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_GenerateRandom(h, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_Verify(h, b, 8, nullptr, 0), CKR_DEVICE_REMOVED);
    // A missing user-information record is no fault (nothing to fill).
    EXPECT_EQ(M_GetUserInfo(0, CKU_USER, nullptr), CKR_DEVICE_REMOVED);
}

TEST_F(pkcs11_entry, FinalizeClosesAllSessionsAndHandlesAreNeverReused) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE first = plant_session(0);
    const CK_SESSION_HANDLE second = plant_session(1);
    EXPECT_GE(first, 1000u);
    EXPECT_EQ(second, first + 1);
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(core().sessions().count(), 0u);
    CK_SESSION_INFO info;
    EXPECT_EQ(C_GetSessionInfo(first, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_CloseSession(second), CKR_SESSION_HANDLE_INVALID);
    EXPECT_GT(plant_session(0), second);
}

TEST_F(pkcs11_entry, NonRecursiveCallerMutexIsTakenOncePerCall) {
    CK_C_INITIALIZE_ARGS a{rec_create, rec_destroy, rec_lock, rec_unlock, 0, nullptr};
    ASSERT_EQ(C_Initialize(&a), CKR_OK);
    const CK_SESSION_HANDLE h = plant_session();
    recorded_mutex* m = recorder;
    const int before = m->locks;
    // The four dual-function calls, and every other export, on a known
    // session.
    CK_BYTE b[16] = {};
    CK_ULONG n = sizeof b;
    EXPECT_EQ(C_DigestEncryptUpdate(h, b, 8, b, &n), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_DecryptDigestUpdate(h, b, 8, b, &n), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_SignEncryptUpdate(h, b, 8, b, &n), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_DecryptVerifyUpdate(h, b, 8, nullptr, &n), CKR_DEVICE_REMOVED);
    EXPECT_EQ(m->locks - before, 4);
    for (const export_call& c : all_export_calls(f, x, h, 0)) (void)c.call();
    EXPECT_FALSE(m->reentered);
    EXPECT_EQ(m->locks, m->unlocks);
    EXPECT_GE(m->locks, 70);
    EXPECT_EQ(m->depth, 0);
}

TEST_F(pkcs11_entry, FailingLockRunsNoWork) {
    CK_C_INITIALIZE_ARGS a{rec_create, rec_destroy, rec_lock, rec_unlock, 0, nullptr};
    ASSERT_EQ(C_Initialize(&a), CKR_OK);
    const CK_SESSION_HANDLE h = plant_session();
    lock_result = CKR_CANT_LOCK;
    for (const export_call& c : all_export_calls(f, x, h, 0)) {
        if (c.name == "C_GetFunctionList" || c.name == "M_GetExtFunctionList") continue;
        EXPECT_EQ(c.call(), CKR_GENERAL_ERROR) << c.name;
    }
    lock_result = CKR_OK;
    // The session was not closed by the C_CloseSession that failed to lock.
    EXPECT_EQ(C_CloseSession(h), CKR_OK);
    EXPECT_EQ(recorder->unlocks, recorder->locks);
}
