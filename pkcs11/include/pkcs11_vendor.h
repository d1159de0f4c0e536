// The module's vendor extension on top of the standard PKCS #11 header:
// vendor attributes and return values, the extension records and the
// extension function list with its M_* functions.
//
// The standard header packs its structures to 1 byte on Windows; the
// records here keep fixed-width fields so that they have one layout on
// every build, and the extension function list is declared after the
// header's pack region, with natural alignment (its version sits in a
// pointer-sized slot).
#ifndef SOLVANTEX_PKCS11_VENDOR_H
#define SOLVANTEX_PKCS11_VENDOR_H

#include <stdint.h>

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Vendor object attributes. */
#define CKA_VENDOR_CONTAINER_NAME 0x80000066UL
#define CKA_VENDOR_KEY_SPEC 0x80000067UL
#define CKA_VENDOR_STORE_INDEX 0x8000006eUL
#define CKA_VENDOR_STORE_NAME 0x8000006fUL
#define CKA_VENDOR_CARD_KEY_ID 0x80000079UL

/* Vendor return values. */
#define CKR_VENDOR_CONTAINER_NOT_FOUND 0x800003E8UL
#define CKR_VENDOR_CONTAINER_EXISTS 0x800003E9UL

/* The attribute under the name the module's documents use. */
#ifndef CKA_SUBPRIME_BITS
#define CKA_SUBPRIME_BITS CKA_SUB_PRIME_BITS
#endif

/* RC2 mechanism parameters, which the standard header leaves out: the
   effective key bits, and for CBC the initialisation vector. Packed as the
   standard's own structures are on each build. */
#ifdef _WIN32
#pragma pack(push, 1)
#endif
typedef CK_ULONG CK_RC2_PARAMS;
typedef CK_RC2_PARAMS* CK_RC2_PARAMS_PTR;
typedef struct CK_RC2_CBC_PARAMS {
    CK_ULONG ulEffectiveBits;
    CK_BYTE iv[8];
} CK_RC2_CBC_PARAMS;
typedef CK_RC2_CBC_PARAMS* CK_RC2_CBC_PARAMS_PTR;
#ifdef _WIN32
#pragma pack(pop)
#endif

/* Token format parameters of M_FormatToken (and C_InitToken's defaults). */
typedef struct CK_EXT_FORMAT_PARAMS {
    uint8_t label[32];        /* NUL-padded */
    uint8_t manufacturer[32]; /* NUL-padded */
    uint8_t secondName[32];   /* NUL-padded */
    uint8_t soPin[32];        /* NUL-terminated within the field */
    uint8_t userPin[32];      /* NUL-terminated within the field */
    uint8_t userRetryLimit;
    uint8_t soRetryLimit;
    uint8_t formatMode;       /* 0 or 1; 2 and above: the card's stored mode */
    uint8_t extra;
} CK_EXT_FORMAT_PARAMS;
typedef CK_EXT_FORMAT_PARAMS* CK_EXT_FORMAT_PARAMS_PTR;

/* PIN state of M_GetUserInfo. */
typedef struct CK_EXT_USER_INFO {
    uint32_t retriesLeft;
    uint32_t retryLimit;
    uint8_t countLow;
    uint8_t finalTry;
    uint8_t locked;
    uint8_t toBeChanged;
} CK_EXT_USER_INFO;
typedef CK_EXT_USER_INFO* CK_EXT_USER_INFO_PTR;

/* Extra token information of M_GetTokenExtInfo: bytes 4 and 5 of the
   card's version data object, in that order. */
typedef struct CK_EXT_TOKEN_INFO {
    uint8_t versionData[2];
} CK_EXT_TOKEN_INFO;
typedef CK_EXT_TOKEN_INFO* CK_EXT_TOKEN_INFO_PTR;

struct CK_EXT_FUNCTION_LIST;
typedef struct CK_EXT_FUNCTION_LIST CK_EXT_FUNCTION_LIST;
typedef CK_EXT_FUNCTION_LIST* CK_EXT_FUNCTION_LIST_PTR;
typedef CK_EXT_FUNCTION_LIST_PTR* CK_EXT_FUNCTION_LIST_PTR_PTR;

/* The extension functions, in the order of the extension list. Each has a
   pointer type CK_M_<name>. */
#define SOLVANTEX_DECLARE_EXT(name, args) \
    typedef CK_RV (*CK_##name) args;      \
    CK_RV name args

SOLVANTEX_DECLARE_EXT(M_GetUserInfo, (CK_SLOT_ID slotID, CK_USER_TYPE userType, CK_EXT_USER_INFO_PTR pInfo));
SOLVANTEX_DECLARE_EXT(M_GetExtFunctionList, (CK_EXT_FUNCTION_LIST_PTR_PTR ppList));
SOLVANTEX_DECLARE_EXT(M_UnblockUserPin, (CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pSoPin, CK_ULONG ulSoPinLen,
                                         CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen));
SOLVANTEX_DECLARE_EXT(M_SetTokenLabel, (CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pLabel));
SOLVANTEX_DECLARE_EXT(M_FormatToken, (CK_SESSION_HANDLE hSession, CK_EXT_FORMAT_PARAMS_PTR pParams));
SOLVANTEX_DECLARE_EXT(M_CreateContainer, (CK_SESSION_HANDLE hSession, CK_CHAR_PTR pName));
SOLVANTEX_DECLARE_EXT(M_DeleteContainer, (CK_SESSION_HANDLE hSession, CK_CHAR_PTR pName));
SOLVANTEX_DECLARE_EXT(M_EnumContainer, (CK_SESSION_HANDLE hSession, CK_CHAR_PTR pBuffer, CK_ULONG_PTR pulLen));
SOLVANTEX_DECLARE_EXT(M_GetContainerInfo, (CK_SESSION_HANDLE hSession, CK_CHAR_PTR pName, CK_VOID_PTR pReserved,
                                           int32_t* pSignKeyBits, int32_t* pExchangeKeyBits,
                                           CK_BYTE_PTR pSignCertPresent, CK_BYTE_PTR pExchangeCertPresent));
SOLVANTEX_DECLARE_EXT(M_ReloadObjects, (CK_SESSION_HANDLE hSession));
SOLVANTEX_DECLARE_EXT(M_RemoteUnblockPin, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pCode, CK_ULONG ulCodeLen,
                                           CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen));
SOLVANTEX_DECLARE_EXT(M_GetTokenExtInfo, (CK_SLOT_ID slotID, CK_EXT_TOKEN_INFO_PTR pInfo));

#undef SOLVANTEX_DECLARE_EXT

/* Natural alignment: the version in a slot of pointer size. */
struct CK_EXT_FUNCTION_LIST {
    CK_VERSION version;
    CK_M_GetUserInfo M_GetUserInfo;
    CK_M_GetExtFunctionList M_GetExtFunctionList;
    CK_M_UnblockUserPin M_UnblockUserPin;
    CK_M_SetTokenLabel M_SetTokenLabel;
    CK_M_FormatToken M_FormatToken;
    CK_M_CreateContainer M_CreateContainer;
    CK_M_DeleteContainer M_DeleteContainer;
    CK_M_EnumContainer M_EnumContainer;
    CK_M_GetContainerInfo M_GetContainerInfo;
    CK_M_ReloadObjects M_ReloadObjects;
    CK_M_RemoteUnblockPin M_RemoteUnblockPin;
    CK_M_GetTokenExtInfo M_GetTokenExtInfo;
};

#ifdef __cplusplus
}  // extern "C"

#include <cstddef>

static_assert(sizeof(CK_EXT_FORMAT_PARAMS) == 164, "CK_EXT_FORMAT_PARAMS is 164 bytes on every build");
static_assert(offsetof(CK_EXT_FORMAT_PARAMS, userRetryLimit) == 160, "four bytes follow the five fields");
static_assert(sizeof(CK_EXT_USER_INFO) == 12, "CK_EXT_USER_INFO is 12 bytes on every build");
static_assert(sizeof(CK_EXT_TOKEN_INFO) == 2, "CK_EXT_TOKEN_INFO is 2 bytes on every build");
static_assert(sizeof(CK_RC2_CBC_PARAMS) == sizeof(CK_ULONG) + 8, "CK_RC2_CBC_PARAMS has no padding");
static_assert(offsetof(CK_EXT_FUNCTION_LIST, M_GetUserInfo) == sizeof(void*),
              "the extension list's version takes a pointer-sized slot");
static_assert(sizeof(CK_EXT_FUNCTION_LIST) == 13 * sizeof(void*), "version slot and 12 pointers");
#endif

#endif  // SOLVANTEX_PKCS11_VENDOR_H
