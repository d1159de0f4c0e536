// The 68 standard exports. Each checks its arguments, takes the global lock
// once, finds its session or slot and runs its work (token_work.h).
#include <cstring>

#include "export_shape.h"
#include "token_info.h"
#include "token_mgr.h"
#include "token_objects.h"
#include "token_pins.h"
#include "token_sessions.h"
#include "token_work.h"

using namespace pkcs11;

namespace {

// Every pointer that is dereferenced, or comes with a non-zero count, must
// be given.
bool missing(const void* pointer) { return pointer == nullptr; }
bool missing(const void* pointer, CK_ULONG count) { return pointer == nullptr && count != 0; }

CK_RV function_not_supported(Pkcs11Core& core) {
    return locked(core, [] { return CKR_FUNCTION_NOT_SUPPORTED; });
}

CK_RV function_not_parallel(Pkcs11Core& core) {
    return locked(core, [] { return CKR_FUNCTION_NOT_PARALLEL; });
}

}  // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    return guarded([&] { return Pkcs11Core::instance().initialize(pInitArgs); });
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    return guarded([&] { return Pkcs11Core::instance().finalize(pReserved); });
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return locked(core, [&] {
            std::memset(pInfo, 0, sizeof *pInfo);
            pInfo->cryptokiVersion = {2, 40};
            copy_padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Tarnely Technology");
            pInfo->flags = 0;
            copy_padded(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "Tarnely PKCS11# Library");
            pInfo->libraryVersion = {2, 0};
            return CKR_OK;
        });
    });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pulCount)) return CKR_ARGUMENTS_BAD;
        return locked(core, [&] {
            // Once the monitor runs it keeps the list (and the slot events
            // not yet taken); before, an empty list is read afresh.
            if (core.tokens().count() == 0 && !core.monitor_watching() && core.tokens().enumerate(core.devices()) != 0)
                core.ensure_monitor();
            return core.tokens().slot_list(tokenPresent, pSlotList, pulCount);
        });
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return locked(core, [&] {
            core.tokens().slot_info(slotID, *pInfo);
            return CKR_OK;
        });
    });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_DEVICE_REMOVED,
                       [&](pkcs11_token& token) { return get_token_info(token, *pInfo); });
    });
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR /*pReserved*/) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (flags != 0 && flags != CKF_DONT_BLOCK) return CKR_ARGUMENTS_BAD;
        if (missing(pSlot)) return CKR_ARGUMENTS_BAD;
        CK_SLOT_ID slot = 0;
        const CK_RV rv = core.wait_for_slot_event(flags, slot);
        if (rv == CKR_OK) *pSlot = slot;
        return rv;
    });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR /*pMechanismList*/, CK_ULONG_PTR pulCount) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pulCount)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_SLOT_ID_INVALID, token_work);
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE /*type*/, CK_MECHANISM_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_SLOT_ID_INVALID, token_work);
    });
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pPin) || missing(pLabel)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_SLOT_ID_INVALID, [&](pkcs11_token& token) {
            return init_token(core.sessions(), token, pPin, ulPinLen, pLabel);
        });
    });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pPin, ulPinLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) -> CK_RV {
            if (session.state != CKS_RW_SO_FUNCTIONS) return CKR_USER_NOT_LOGGED_IN;
            return init_pin(token, pPin, ulPinLen);
        });
    });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return set_pin(core.sessions(), session, token, pOldPin, ulOldLen, pNewPin, ulNewLen);
        });
    });
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR /*pApplication*/, CK_NOTIFY /*Notify*/,
                    CK_SESSION_HANDLE_PTR phSession) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        if (missing(phSession)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_SLOT_ID_INVALID, [&](pkcs11_token& token) {
            CK_SESSION_HANDLE handle = 0;
            const CK_RV rv = open_session(core.sessions(), token, flags, handle);
            if (rv == CKR_OK) *phSession = handle;
            return rv;
        });
    });
}

// A session whose token has left closes with 0 like any other.
CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return in_module([&](Pkcs11Core& core) {
        return locked(core, [&] { return close_session(core.sessions(), core.tokens(), hSession); });
    });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return in_module([&](Pkcs11Core& core) {
        return locked(core, [&] {
            close_slot_sessions(core.sessions(), core.tokens(), slotID);
            return CKR_OK;
        });
    });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return session_info(session, token, *pInfo);
        });
    });
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return in_module(function_not_supported); }

CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return in_module(function_not_supported);
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (userType > CKU_CONTEXT_SPECIFIC) return CKR_USER_TYPE_INVALID;
        if (missing(pPin, ulPinLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return login(core.sessions(), token, userType, pPin, ulPinLen);
        });
    });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return logout(core.sessions(), session, token);
        });
    });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pTemplate, ulCount) || missing(phObject)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return create_object(session, token, pTemplate, ulCount, *phObject);
        });
    });
}

CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pTemplate, ulCount) || missing(phNewObject)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return copy_object(session, token, hObject, pTemplate, ulCount, *phNewObject);
        });
    });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return destroy_object(session, token, hObject);
        });
    });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pulSize)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return get_object_size(session, token, hObject, *pulSize);
        });
    });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pTemplate)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return get_attribute_value(session, token, hObject, pTemplate, ulCount);
        });
    });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pTemplate)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return set_attribute_value(session, token, hObject, pTemplate, ulCount);
        });
    });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pTemplate, ulCount)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return find_objects_init(session, token, pTemplate, ulCount);
        });
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(phObject, ulMaxObjectCount) || missing(pulObjectCount)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token&) {
            return find_objects(session, phObject, ulMaxObjectCount, pulObjectCount);
        });
    });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    // Ends the session's search if there is one; 0 also for an unknown
    // session.
    return in_module([&](Pkcs11Core& core) {
        return locked(core, [&] {
            pkcs11_session* session = core.sessions().find(hSession);
            if (session != nullptr) find_objects_final(*session);
            return CKR_OK;
        });
    });
}

// Init calls: a mechanism is required.
#define SOLVANTEX_INIT_EXPORT(name)                                                    \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE) { \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                              \
            if (missing(pMechanism)) return CKR_ARGUMENTS_BAD;                         \
            return on_session(core, hSession, session_work);                           \
        });                                                                            \
    }
SOLVANTEX_INIT_EXPORT(C_EncryptInit)
SOLVANTEX_INIT_EXPORT(C_DecryptInit)
SOLVANTEX_INIT_EXPORT(C_SignInit)
SOLVANTEX_INIT_EXPORT(C_VerifyInit)
#undef SOLVANTEX_INIT_EXPORT

CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

// One-shot calls with an output buffer: the input and the output length are
// required; the output buffer may be absent (a size query).
#define SOLVANTEX_ONE_SHOT_EXPORT(name)                                                             \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pIn, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR pulOutLen) { \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                                           \
            if (missing(pIn) || missing(pulOutLen)) return CKR_ARGUMENTS_BAD;                       \
            return on_session(core, hSession, session_work);                                        \
        });                                                                                         \
    }
SOLVANTEX_ONE_SHOT_EXPORT(C_Encrypt)
SOLVANTEX_ONE_SHOT_EXPORT(C_Decrypt)
SOLVANTEX_ONE_SHOT_EXPORT(C_Digest)
SOLVANTEX_ONE_SHOT_EXPORT(C_Sign)
#undef SOLVANTEX_ONE_SHOT_EXPORT

// Final calls: the output length is required.
#define SOLVANTEX_FINAL_EXPORT(name)                                                 \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG_PTR pulOutLen) {    \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                            \
            if (missing(pulOutLen)) return CKR_ARGUMENTS_BAD;                        \
            return on_session(core, hSession, session_work);                         \
        });                                                                          \
    }
SOLVANTEX_FINAL_EXPORT(C_EncryptFinal)
SOLVANTEX_FINAL_EXPORT(C_DecryptFinal)
SOLVANTEX_FINAL_EXPORT(C_DigestFinal)
SOLVANTEX_FINAL_EXPORT(C_SignFinal)
#undef SOLVANTEX_FINAL_EXPORT

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                      CK_ULONG_PTR pulEncryptedPartLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pPart) || missing(pulEncryptedPartLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return encrypt_update(session, token, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
        });
    });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                      CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pEncryptedPart) || missing(pulPartLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return decrypt_update(session, token, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
        });
    });
}

// Update calls without output.
#define SOLVANTEX_UPDATE_EXPORT(name, step)                                                     \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {             \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                                       \
            if (missing(pPart)) return CKR_ARGUMENTS_BAD;                                       \
            return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) { \
                return step(session, token, pPart, ulPartLen);                                  \
            });                                                                                 \
        });                                                                                     \
    }
SOLVANTEX_UPDATE_EXPORT(C_DigestUpdate, digest_update)
SOLVANTEX_UPDATE_EXPORT(C_SignUpdate, sign_update)
SOLVANTEX_UPDATE_EXPORT(C_VerifyUpdate, verify_update)
#undef SOLVANTEX_UPDATE_EXPORT

CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE /*hKey*/) {
    return in_module([&](Pkcs11Core& core) { return on_session(core, hSession, session_work); });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG /*ulDataLen*/, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pData) || missing(pSignature, ulSignatureLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pSignature, ulSignatureLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return in_module(function_not_supported);
}

CK_RV C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return in_module([&](Pkcs11Core& core) {
        return locked(core, [&] {
            return core.sessions().find(hSession) != nullptr ? CKR_FUNCTION_NOT_SUPPORTED
                                                             : CKR_SESSION_HANDLE_INVALID;
        });
    });
}

CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return in_module(function_not_supported);
}

CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return in_module(function_not_supported);
}

}  // extern "C"

// Dual-function calls: both steps under one hold of the lock. The second
// step runs over the plain data when the first succeeded with output (not a
// size query).
namespace {

using first_step = CK_RV (*)(pkcs11_session&, pkcs11_token&, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
using second_step = CK_RV (*)(pkcs11_session&, pkcs11_token&, CK_BYTE_PTR, CK_ULONG);

// first (encrypt or decrypt update) from in to out, then second (digest,
// sign or verify update) over the plain data: the input when encrypting,
// the output when decrypting.
CK_RV dual_update(first_step first, second_step second, bool plain_is_output, CK_SESSION_HANDLE hSession,
                  CK_BYTE_PTR pIn, CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pIn) || missing(pulOutLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            CK_RV rv = first(session, token, pIn, ulInLen, pOut, pulOutLen);
            if (rv == CKR_OK && pOut != nullptr)
                rv = plain_is_output ? second(session, token, pOut, *pulOutLen) : second(session, token, pIn, ulInLen);
            return rv;
        });
    });
}

}  // namespace

extern "C" {

CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                            CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return dual_update(encrypt_update, digest_update, false, hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                          CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return dual_update(encrypt_update, sign_update, false, hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                            CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return dual_update(decrypt_update, digest_update, true, hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

// Also here a size query (no output) verifies nothing.
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                            CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return dual_update(decrypt_update, verify_update, true, hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                    CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pTemplate, ulCount) || missing(phKey)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                        CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                        CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                        CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pPublicKeyTemplate, ulPublicKeyAttributeCount) ||
            missing(pPrivateKeyTemplate, ulPrivateKeyAttributeCount) || missing(phPublicKey) ||
            missing(phPrivateKey))
            return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE /*hWrappingKey*/,
                CK_OBJECT_HANDLE /*hKey*/, CK_BYTE_PTR /*pWrappedKey*/, CK_ULONG_PTR pulWrappedKeyLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pulWrappedKeyLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE /*hUnwrappingKey*/,
                  CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                  CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pWrappedKey, ulWrappedKeyLen) || missing(pTemplate, ulAttributeCount) ||
            missing(phKey))
            return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE /*hBaseKey*/,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pTemplate, ulAttributeCount) || missing(phKey)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, session_work);
    });
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR /*pSeed*/, CK_ULONG /*ulSeedLen*/) {
    // The seed is ignored.
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession, [](pkcs11_session&, pkcs11_token&) { return CKR_OK; });
    });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pRandomData, ulRandomLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return generate_random(token, pRandomData, ulRandomLen);
        });
    });
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) { return in_module(function_not_parallel); }

CK_RV C_CancelFunction(CK_SESSION_HANDLE) { return in_module(function_not_parallel); }

}  // extern "C"
