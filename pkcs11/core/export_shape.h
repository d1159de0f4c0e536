// The shapes every export of the module takes: no exception leaves an
// export; an export outside C_Initialize..C_Finalize answers
// CKR_CRYPTOKI_NOT_INITIALIZED; argument checks run before the lock; the
// global lock is taken exactly once around the work (so that a caller's
// non-recursive mutex is never taken twice), and a failing lock runs no work.
#pragma once

#include <new>

#include "pkcs11_core.h"

namespace pkcs11 {

template <class F>
CK_RV guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// body(core) inside an entered call.
template <class F>
CK_RV in_module(F&& body) noexcept {
    return guarded([&]() -> CK_RV {
        Pkcs11Core::call call(Pkcs11Core::instance());
        if (!call.entered()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        return body(call.core());
    });
}

// work() under the global lock.
template <class F>
CK_RV locked(Pkcs11Core& core, F&& work) {
    Pkcs11Core::lock_scope lock(core);
    if (!lock.held()) return CKR_GENERAL_ERROR;
    return work();
}

// Every pointer that is dereferenced, or comes with a non-zero count, must
// be given.
inline bool missing(const void* pointer) { return pointer == nullptr; }
inline bool missing(const void* pointer, CK_ULONG count) { return pointer == nullptr && count != 0; }

// An export the module does not serve, still under the lock's rules.
inline CK_RV function_not_supported(Pkcs11Core& core) {
    return locked(core, [] { return CKR_FUNCTION_NOT_SUPPORTED; });
}

// Session shape: work(session, token) under the lock, for a known session
// whose token is still present (a session of a token that left, also when a
// new token took its slot id, answers CKR_DEVICE_REMOVED).
template <class F>
CK_RV on_session(Pkcs11Core& core, CK_SESSION_HANDLE hSession, F&& work) {
    return locked(core, [&]() -> CK_RV {
        pkcs11_session* session = core.sessions().find(hSession);
        if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
        pkcs11_token* token = core.tokens().find(session->slot_id, session->token);
        if (token == nullptr) return CKR_DEVICE_REMOVED;
        return work(*session, *token);
    });
}

// Until the monitor runs, an empty token list is read afresh from the
// devices, and the monitor starts once a token is found. Called under the
// lock.
inline void find_tokens_if_none(Pkcs11Core& core) {
    if (core.tokens().count() == 0 && !core.monitor_watching() && core.tokens().enumerate(core.devices()) != 0)
        core.ensure_monitor();
}

// Slot shape: work(token) under the lock for a slot that holds a token;
// missing is the export's code for one that does not. A caller that knows
// its slot id from an earlier initialisation need not list the slots first.
template <class F>
CK_RV on_slot(Pkcs11Core& core, CK_SLOT_ID slotID, CK_RV missing, F&& work) {
    return locked(core, [&]() -> CK_RV {
        find_tokens_if_none(core);
        pkcs11_token* token = core.tokens().find(slotID);
        if (token == nullptr) return missing;
        return work(*token);
    });
}

}  // namespace pkcs11
