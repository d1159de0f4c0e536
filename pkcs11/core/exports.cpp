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
            // not yet taken).
            find_tokens_if_none(core);
            return core.tokens().slot_list(tokenPresent, pSlotList, pulCount);
        });
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return locked(core, [&] {
            // The slot shows the token C_OpenSession on it would find.
            find_tokens_if_none(core);
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
