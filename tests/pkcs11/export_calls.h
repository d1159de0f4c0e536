// Every export of the module as a call with well-formed arguments, on a
// session handle and a slot id of the caller's choice, with the code it
// answers while no token is present.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

namespace pkcs11_test {

struct export_call {
    std::string name;
    std::function<CK_RV()> call;
    CK_RV without_token;  // initialised, no token, unknown session
};

inline std::vector<export_call> all_export_calls(CK_FUNCTION_LIST_PTR f, CK_EXT_FUNCTION_LIST_PTR x,
                                                 CK_SESSION_HANDLE h, CK_SLOT_ID slot) {
    // Buffers the calls may write; shared, the calls run one at a time.
    static CK_BYTE buf[256];
    static CK_ULONG len;
    static CK_ULONG ids[16];
    static CK_INFO info;
    static CK_SLOT_INFO slot_info;
    static CK_TOKEN_INFO token_info;
    static CK_MECHANISM_INFO mech_info;
    static CK_SESSION_INFO session_info;
    static CK_MECHANISM mech = {CKM_SHA256, nullptr, 0};
    static CK_ATTRIBUTE attr = {CKA_LABEL, buf, 4};
    static CK_OBJECT_HANDLE obj, obj2;
    static CK_SLOT_ID event_slot;
    static CK_EXT_USER_INFO user_info;
    static CK_EXT_TOKEN_INFO ext_info;
    static CK_EXT_FORMAT_PARAMS format;
    static int32_t bits1, bits2;
    static CK_FUNCTION_LIST_PTR list;
    static CK_EXT_FUNCTION_LIST_PTR ext_list;
    CK_BYTE* pin = buf;
    const CK_RV bad_session = CKR_SESSION_HANDLE_INVALID;
    auto reset_len = [] { len = sizeof buf; };
    return {
        {"C_GetInfo", [=] { return f->C_GetInfo(&info); }, CKR_OK},
        {"C_GetFunctionList", [=] { return f->C_GetFunctionList(&list); }, CKR_OK},
        {"C_GetSlotList", [=] { len = 16; return f->C_GetSlotList(CK_TRUE, ids, &len); }, CKR_OK},
        {"C_GetSlotInfo", [=] { return f->C_GetSlotInfo(slot, &slot_info); }, CKR_OK},
        {"C_GetTokenInfo", [=] { return f->C_GetTokenInfo(slot, &token_info); }, CKR_DEVICE_REMOVED},
        {"C_WaitForSlotEvent", [=] { return f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event_slot, nullptr); },
         CKR_NO_EVENT},
        {"C_GetMechanismList", [=] { len = 16; return f->C_GetMechanismList(slot, ids, &len); }, CKR_SLOT_ID_INVALID},
        {"C_GetMechanismInfo", [=] { return f->C_GetMechanismInfo(slot, CKM_SHA256, &mech_info); },
         CKR_SLOT_ID_INVALID},
        {"C_InitToken", [=] { return f->C_InitToken(slot, pin, 6, buf); }, CKR_SLOT_ID_INVALID},
        {"C_InitPIN", [=] { return f->C_InitPIN(h, pin, 6); }, bad_session},
        {"C_SetPIN", [=] { return f->C_SetPIN(h, pin, 6, pin, 6); }, bad_session},
        {"C_OpenSession",
         [=] { return f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &obj); },
         CKR_SLOT_ID_INVALID},
        {"C_CloseSession", [=] { return f->C_CloseSession(h); }, bad_session},
        {"C_CloseAllSessions", [=] { return f->C_CloseAllSessions(slot); }, CKR_OK},
        {"C_GetSessionInfo", [=] { return f->C_GetSessionInfo(h, &session_info); }, bad_session},
        {"C_GetOperationState", [=] { reset_len(); return f->C_GetOperationState(h, buf, &len); },
         CKR_FUNCTION_NOT_SUPPORTED},
        {"C_SetOperationState", [=] { return f->C_SetOperationState(h, buf, 4, 0, 0); }, CKR_FUNCTION_NOT_SUPPORTED},
        {"C_Login", [=] { return f->C_Login(h, CKU_USER, pin, 6); }, bad_session},
        {"C_Logout", [=] { return f->C_Logout(h); }, bad_session},
        {"C_CreateObject", [=] { return f->C_CreateObject(h, &attr, 1, &obj); }, bad_session},
        {"C_CopyObject", [=] { return f->C_CopyObject(h, 1000, &attr, 1, &obj2); }, bad_session},
        {"C_DestroyObject", [=] { return f->C_DestroyObject(h, 1000); }, bad_session},
        {"C_GetObjectSize", [=] { return f->C_GetObjectSize(h, 1000, &len); }, bad_session},
        {"C_GetAttributeValue", [=] { return f->C_GetAttributeValue(h, 1000, &attr, 1); }, bad_session},
        {"C_SetAttributeValue", [=] { return f->C_SetAttributeValue(h, 1000, &attr, 1); }, bad_session},
        {"C_FindObjectsInit", [=] { return f->C_FindObjectsInit(h, &attr, 1); }, bad_session},
        {"C_FindObjects", [=] { return f->C_FindObjects(h, &obj, 1, &len); }, bad_session},
        {"C_FindObjectsFinal", [=] { return f->C_FindObjectsFinal(h); }, CKR_OK},
        {"C_EncryptInit", [=] { return f->C_EncryptInit(h, &mech, 1000); }, bad_session},
        {"C_Encrypt", [=] { reset_len(); return f->C_Encrypt(h, buf, 16, buf, &len); }, bad_session},
        {"C_EncryptUpdate", [=] { reset_len(); return f->C_EncryptUpdate(h, buf, 16, buf, &len); }, bad_session},
        {"C_EncryptFinal", [=] { reset_len(); return f->C_EncryptFinal(h, buf, &len); }, bad_session},
        {"C_DecryptInit", [=] { return f->C_DecryptInit(h, &mech, 1000); }, bad_session},
        {"C_Decrypt", [=] { reset_len(); return f->C_Decrypt(h, buf, 16, buf, &len); }, bad_session},
        {"C_DecryptUpdate", [=] { reset_len(); return f->C_DecryptUpdate(h, buf, 16, buf, &len); }, bad_session},
        {"C_DecryptFinal", [=] { reset_len(); return f->C_DecryptFinal(h, buf, &len); }, bad_session},
        {"C_DigestInit", [=] { return f->C_DigestInit(h, &mech); }, bad_session},
        {"C_Digest", [=] { reset_len(); return f->C_Digest(h, buf, 16, buf, &len); }, bad_session},
        {"C_DigestUpdate", [=] { return f->C_DigestUpdate(h, buf, 16); }, bad_session},
        {"C_DigestKey", [=] { return f->C_DigestKey(h, 1000); }, bad_session},
        {"C_DigestFinal", [=] { reset_len(); return f->C_DigestFinal(h, buf, &len); }, bad_session},
        {"C_SignInit", [=] { return f->C_SignInit(h, &mech, 1000); }, bad_session},
        {"C_Sign", [=] { reset_len(); return f->C_Sign(h, buf, 16, buf, &len); }, bad_session},
        {"C_SignUpdate", [=] { return f->C_SignUpdate(h, buf, 16); }, bad_session},
        {"C_SignFinal", [=] { reset_len(); return f->C_SignFinal(h, buf, &len); }, bad_session},
        {"C_SignRecoverInit", [=] { return f->C_SignRecoverInit(h, &mech, 1000); }, CKR_FUNCTION_NOT_SUPPORTED},
        {"C_SignRecover", [=] { reset_len(); return f->C_SignRecover(h, buf, 16, buf, &len); }, bad_session},
        {"C_VerifyInit", [=] { return f->C_VerifyInit(h, &mech, 1000); }, bad_session},
        {"C_Verify", [=] { return f->C_Verify(h, buf, 16, buf, 16); }, bad_session},
        {"C_VerifyUpdate", [=] { return f->C_VerifyUpdate(h, buf, 16); }, bad_session},
        {"C_VerifyFinal", [=] { return f->C_VerifyFinal(h, buf, 16); }, bad_session},
        {"C_VerifyRecoverInit", [=] { return f->C_VerifyRecoverInit(h, &mech, 1000); }, CKR_FUNCTION_NOT_SUPPORTED},
        {"C_VerifyRecover", [=] { reset_len(); return f->C_VerifyRecover(h, buf, 16, buf, &len); },
         CKR_FUNCTION_NOT_SUPPORTED},
        {"C_DigestEncryptUpdate", [=] { reset_len(); return f->C_DigestEncryptUpdate(h, buf, 16, buf, &len); },
         bad_session},
        {"C_DecryptDigestUpdate", [=] { reset_len(); return f->C_DecryptDigestUpdate(h, buf, 16, buf, &len); },
         bad_session},
        {"C_SignEncryptUpdate", [=] { reset_len(); return f->C_SignEncryptUpdate(h, buf, 16, buf, &len); },
         bad_session},
        {"C_DecryptVerifyUpdate", [=] { reset_len(); return f->C_DecryptVerifyUpdate(h, buf, 16, buf, &len); },
         bad_session},
        {"C_GenerateKey", [=] { return f->C_GenerateKey(h, &mech, &attr, 1, &obj); }, bad_session},
        {"C_GenerateKeyPair", [=] { return f->C_GenerateKeyPair(h, &mech, &attr, 1, &attr, 1, &obj, &obj2); },
         bad_session},
        {"C_WrapKey", [=] { reset_len(); return f->C_WrapKey(h, &mech, 1000, 1001, buf, &len); }, bad_session},
        {"C_UnwrapKey", [=] { return f->C_UnwrapKey(h, &mech, 1000, buf, 16, &attr, 1, &obj); }, bad_session},
        {"C_DeriveKey", [=] { return f->C_DeriveKey(h, &mech, 1000, &attr, 1, &obj); }, bad_session},
        {"C_SeedRandom", [=] { return f->C_SeedRandom(h, buf, 16); }, bad_session},
        {"C_GenerateRandom", [=] { return f->C_GenerateRandom(h, buf, 16); }, bad_session},
        {"C_GetFunctionStatus", [=] { return f->C_GetFunctionStatus(h); }, CKR_FUNCTION_NOT_PARALLEL},
        {"C_CancelFunction", [=] { return f->C_CancelFunction(h); }, CKR_FUNCTION_NOT_PARALLEL},
        {"M_GetUserInfo", [=] { return x->M_GetUserInfo(slot, CKU_USER, &user_info); }, CKR_DEVICE_REMOVED},
        {"M_GetExtFunctionList", [=] { return x->M_GetExtFunctionList(&ext_list); }, CKR_OK},
        {"M_UnblockUserPin", [=] { return x->M_UnblockUserPin(h, pin, 8, pin, 6); }, bad_session},
        {"M_SetTokenLabel", [=] { return x->M_SetTokenLabel(h, buf); }, bad_session},
        {"M_FormatToken", [=] { return x->M_FormatToken(h, &format); }, bad_session},
        {"M_CreateContainer", [=] { return x->M_CreateContainer(h, buf); }, bad_session},
        {"M_DeleteContainer", [=] { return x->M_DeleteContainer(h, buf); }, bad_session},
        {"M_EnumContainer", [=] { reset_len(); return x->M_EnumContainer(h, buf, &len); }, bad_session},
        {"M_GetContainerInfo",
         [=] { return x->M_GetContainerInfo(h, buf, nullptr, &bits1, &bits2, buf, buf + 1); }, bad_session},
        {"M_ReloadObjects", [=] { return x->M_ReloadObjects(h); }, bad_session},
        {"M_RemoteUnblockPin", [=] { return x->M_RemoteUnblockPin(h, buf, 16, pin, 6); }, bad_session},
        {"M_GetTokenExtInfo", [=] { return x->M_GetTokenExtInfo(slot, &ext_info); }, CKR_DEVICE_REMOVED},
    };
}

// Exports that answer before C_Initialize.
inline bool answers_uninitialised(const std::string& name) {
    return name == "C_GetFunctionList" || name == "M_GetExtFunctionList" || name == "C_Initialize";
}

}  // namespace pkcs11_test
