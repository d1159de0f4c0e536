// The two constant function lists and the exports that hand them out.
#include "export_shape.h"

namespace {

// Version 2.2 in the list (C_GetInfo reports the interface version 2.40).
const CK_FUNCTION_LIST standard_list = {
    {2, 2},
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo, C_GetTokenInfo,
    C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, C_OpenSession, C_CloseSession,
    C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, C_SetOperationState, C_Login, C_Logout,
    C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue,
    C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,
    C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,
    C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal, C_SignRecoverInit,
    C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover,
    C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey,
    C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus,
    C_CancelFunction, C_WaitForSlotEvent,
};

const CK_EXT_FUNCTION_LIST extension_list = {
    {1, 0},
    M_GetUserInfo, M_GetExtFunctionList, M_UnblockUserPin, M_SetTokenLabel, M_FormatToken, M_CreateContainer,
    M_DeleteContainer, M_EnumContainer, M_GetContainerInfo, M_ReloadObjects, M_RemoteUnblockPin,
    M_GetTokenExtInfo,
};

}  // namespace

extern "C" {

// The caller receives a pointer to a constant table and must not write it.
CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = const_cast<CK_FUNCTION_LIST_PTR>(&standard_list);
    return CKR_OK;
}

CK_RV M_GetExtFunctionList(CK_EXT_FUNCTION_LIST_PTR_PTR ppList) {
    if (ppList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppList = const_cast<CK_EXT_FUNCTION_LIST_PTR>(&extension_list);
    return CKR_OK;
}

}  // extern "C"
