// The vendor extension's exports (M_*).
#include <cstring>
#include <string>

#include "export_shape.h"
#include "token_info.h"
#include "token_objects.h"
#include "token_pins.h"
#include "token_work.h"

using namespace pkcs11;

namespace {

// A container name as the caller gives it: NUL-terminated; only its first
// 257 bytes are looked at (no name is that long).
std::string name_of(CK_CHAR_PTR name) {
    const char* text = reinterpret_cast<const char*>(name);
    return std::string(text, strnlen(text, 257));
}

// The token's containers, loaded first.
template <typename Work>
CK_RV on_containers(pkcs11_token& token, Work&& work) {
    pkcs11_token_objects& objects = token.objects();
    const CK_RV rv = objects.store().load_containers(objects.list());
    return rv != CKR_OK ? rv : work(objects.containers());
}

}  // namespace

extern "C" {

CK_RV M_GetUserInfo(CK_SLOT_ID slotID, CK_USER_TYPE userType, CK_EXT_USER_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) {
        return on_slot(core, slotID, CKR_DEVICE_REMOVED, [&](pkcs11_token& token) {
            // Without a record there is nothing to fill.
            return pInfo == nullptr ? CKR_OK : get_user_info(token, userType, *pInfo);
        });
    });
}

CK_RV M_GetTokenExtInfo(CK_SLOT_ID slotID, CK_EXT_TOKEN_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_DEVICE_REMOVED,
                       [&](pkcs11_token& token) { return get_token_ext_info(token, *pInfo); });
    });
}

CK_RV M_UnblockUserPin(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pSoPin, CK_ULONG ulSoPinLen,
                       CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return unblock_user_pin(token, pSoPin, ulSoPinLen, pNewPin, ulNewLen);
        });
    });
}

CK_RV M_RemoteUnblockPin(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pCode, CK_ULONG ulCodeLen,
                         CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return remote_unblock_pin(token, pCode, ulCodeLen, pNewPin, ulNewLen);
        });
    });
}

// Two parameters: the manager library passes a third (the label's length),
// which is never read.
CK_RV M_SetTokenLabel(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pLabel) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pLabel)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession,
                          [&](pkcs11_session&, pkcs11_token& token) { return set_label(token, pLabel); });
    });
}

CK_RV M_FormatToken(CK_SESSION_HANDLE hSession, CK_EXT_FORMAT_PARAMS_PTR pParams) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pParams)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return format_token(core.sessions(), token, *pParams);
        });
    });
}

CK_RV M_CreateContainer(CK_SESSION_HANDLE hSession, CK_CHAR_PTR pName) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pName)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return on_containers(token, [&](pkcs11_container_manager& c) { return c.create_container(name_of(pName)); });
        });
    });
}

CK_RV M_DeleteContainer(CK_SESSION_HANDLE hSession, CK_CHAR_PTR pName) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pName)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return on_containers(token, [&](pkcs11_container_manager& c) { return c.delete_container(name_of(pName)); });
        });
    });
}

CK_RV M_EnumContainer(CK_SESSION_HANDLE hSession, CK_CHAR_PTR pBuffer, CK_ULONG_PTR pulLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pulLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return on_containers(token, [&](pkcs11_container_manager& c) {
                return c.enumerate(reinterpret_cast<char*>(pBuffer), pulLen);
            });
        });
    });
}

CK_RV M_GetContainerInfo(CK_SESSION_HANDLE hSession, CK_CHAR_PTR pName, CK_VOID_PTR /*pReserved*/,
                         int32_t* pSignKeyBits, int32_t* pExchangeKeyBits, CK_BYTE_PTR pSignCertPresent,
                         CK_BYTE_PTR pExchangeCertPresent) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pName) || missing(pSignKeyBits) || missing(pExchangeKeyBits) || missing(pSignCertPresent) ||
            missing(pExchangeCertPresent))
            return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session&, pkcs11_token& token) {
            return on_containers(token, [&](pkcs11_container_manager& c) {
                pkcs11_container_info info;
                const CK_RV rv = c.container_info(name_of(pName), info);
                if (rv != CKR_OK) return rv;
                *pSignKeyBits = static_cast<int32_t>(info.signature_bits);
                *pExchangeKeyBits = static_cast<int32_t>(info.exchange_bits);
                *pSignCertPresent = info.signature_cert;
                *pExchangeCertPresent = info.exchange_cert;
                return CKR_OK;
            });
        });
    });
}

CK_RV M_ReloadObjects(CK_SESSION_HANDLE hSession) {
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession, [](pkcs11_session&, pkcs11_token& token) { return reload_objects(token); });
    });
}

}  // extern "C"
