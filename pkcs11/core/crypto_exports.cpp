// The cryptographic exports: the mechanism list and information, the Init,
// Update, Final and one-shot calls of encryption, decryption, digesting,
// signing and verification, the dual-function calls and key management.
// Each checks its arguments, takes the global lock once, finds its session
// or slot and runs its work (token_work.h).
#include "export_shape.h"
#include "token_mgr.h"
#include "mechanism_table.h"
#include "containers/rsa_operations.h"
#include "operations/crypto_calls.h"
#include "operations/dispatch.h"
#include "token_work.h"

using namespace pkcs11;

extern "C" {

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pulCount)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_SLOT_ID_INVALID,
                       [&](pkcs11_token&) { return mechanism_list(pMechanismList, pulCount); });
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pInfo)) return CKR_ARGUMENTS_BAD;
        return on_slot(core, slotID, CKR_SLOT_ID_INVALID,
                       [&](pkcs11_token&) { return mechanism_info(type, pInfo); });
    });
}

// Init calls: a mechanism is required.
#define SOLVANTEX_INIT_EXPORT(name, kind)                                                           \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {    \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                                           \
            if (missing(pMechanism)) return CKR_ARGUMENTS_BAD;                                      \
            return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {   \
                return crypto_init(session, token, operation_kind::kind, *pMechanism, hKey);        \
            });                                                                                     \
        });                                                                                         \
    }
SOLVANTEX_INIT_EXPORT(C_EncryptInit, encrypt)
SOLVANTEX_INIT_EXPORT(C_DecryptInit, decrypt)
SOLVANTEX_INIT_EXPORT(C_SignInit, sign)
SOLVANTEX_INIT_EXPORT(C_VerifyInit, verify)
#undef SOLVANTEX_INIT_EXPORT

CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return crypto_init(session, token, operation_kind::digest, *pMechanism, CK_INVALID_HANDLE);
        });
    });
}

// One-shot calls with an output buffer: the input and the output length are
// required; the output buffer may be absent (a size query).
#define SOLVANTEX_ONE_SHOT_EXPORT(name, kind)                                                         \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pIn, CK_ULONG ulInLen, CK_BYTE_PTR pOut,        \
               CK_ULONG_PTR pulOutLen) {                                                              \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                                             \
            if (missing(pIn, ulInLen) || missing(pulOutLen)) return CKR_ARGUMENTS_BAD;                \
            return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token&) {           \
                return operation_one_shot(session, operation_kind::kind, pIn, ulInLen, pOut, pulOutLen); \
            });                                                                                       \
        });                                                                                           \
    }
SOLVANTEX_ONE_SHOT_EXPORT(C_Encrypt, encrypt)
SOLVANTEX_ONE_SHOT_EXPORT(C_Decrypt, decrypt)
SOLVANTEX_ONE_SHOT_EXPORT(C_Digest, digest)
SOLVANTEX_ONE_SHOT_EXPORT(C_Sign, sign)
#undef SOLVANTEX_ONE_SHOT_EXPORT

// Final calls: the output length is required.
#define SOLVANTEX_FINAL_EXPORT(name, kind)                                                   \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {       \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                                    \
            if (missing(pulOutLen)) return CKR_ARGUMENTS_BAD;                                \
            return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token&) {  \
                return operation_final(session, operation_kind::kind, pOut, pulOutLen);      \
            });                                                                              \
        });                                                                                  \
    }
SOLVANTEX_FINAL_EXPORT(C_EncryptFinal, encrypt)
SOLVANTEX_FINAL_EXPORT(C_DecryptFinal, decrypt)
SOLVANTEX_FINAL_EXPORT(C_DigestFinal, digest)
SOLVANTEX_FINAL_EXPORT(C_SignFinal, sign)
#undef SOLVANTEX_FINAL_EXPORT

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                      CK_ULONG_PTR pulEncryptedPartLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pPart, ulPartLen) || missing(pulEncryptedPartLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return encrypt_update(session, token, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
        });
    });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                      CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pEncryptedPart, ulEncryptedPartLen) || missing(pulPartLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return decrypt_update(session, token, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
        });
    });
}

// Update calls without output.
#define SOLVANTEX_UPDATE_EXPORT(name, step)                                                     \
    CK_RV name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {             \
        return in_module([&](Pkcs11Core& core) -> CK_RV {                                       \
            if (missing(pPart, ulPartLen)) return CKR_ARGUMENTS_BAD;                                 \
            return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) { \
                return step(session, token, pPart, ulPartLen);                                  \
            });                                                                                 \
        });                                                                                     \
    }
SOLVANTEX_UPDATE_EXPORT(C_DigestUpdate, digest_update)
SOLVANTEX_UPDATE_EXPORT(C_SignUpdate, sign_update)
SOLVANTEX_UPDATE_EXPORT(C_VerifyUpdate, verify_update)
#undef SOLVANTEX_UPDATE_EXPORT

CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    return in_module([&](Pkcs11Core& core) {
        return on_session(core, hSession,
                          [&](pkcs11_session& session, pkcs11_token& token) { return digest_key(session, token, hKey); });
    });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pData, ulDataLen) || missing(pSignature, ulSignatureLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token&) {
            return operation_verify(session, pData, ulDataLen, pSignature, ulSignatureLen);
        });
    });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pSignature, ulSignatureLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token&) {
            return operation_verify_final(session, pSignature, ulSignatureLen);
        });
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
        if (missing(pIn, ulInLen) || missing(pulOutLen)) return CKR_ARGUMENTS_BAD;
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
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return generate_key(session, token, *pMechanism, pTemplate, ulCount, *phKey);
        });
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
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return generate_key_pair(session, token, *pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                                     pPrivateKeyTemplate, ulPrivateKeyAttributeCount, *phPublicKey, *phPrivateKey);
        });
    });
}

CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pulWrappedKeyLen)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return wrap_key(session, token, *pMechanism, hWrappingKey, hKey, pWrappedKey, pulWrappedKeyLen);
        });
    });
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                  CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                  CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pWrappedKey, ulWrappedKeyLen) || missing(pTemplate, ulAttributeCount) ||
            missing(phKey))
            return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return unwrap_key(session, token, *pMechanism, hUnwrappingKey, pWrappedKey, ulWrappedKeyLen, pTemplate,
                              ulAttributeCount, *phKey);
        });
    });
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return in_module([&](Pkcs11Core& core) -> CK_RV {
        if (missing(pMechanism) || missing(pTemplate, ulAttributeCount) || missing(phKey)) return CKR_ARGUMENTS_BAD;
        return on_session(core, hSession, [&](pkcs11_session& session, pkcs11_token& token) {
            return derive_key(session, token, *pMechanism, hBaseKey, pTemplate, ulAttributeCount, *phKey);
        });
    });
}

}  // extern "C"
