// The module's default mutex callbacks: one lock shared by every process
// that loads the module, the system-wide named mutex
// "Global\solvanta_pkcs11_mutex" (null DACL on Windows). When that mutex
// cannot be opened, the lock falls back to one that spans this process only,
// so that the module still initialises and its threads stay serialised.
#pragma once

#include <pkcs11_vendor.h>

namespace pkcs11 {

CK_RV default_create_mutex(CK_VOID_PTR_PTR ppMutex);
CK_RV default_destroy_mutex(CK_VOID_PTR pMutex);
CK_RV default_lock_mutex(CK_VOID_PTR pMutex);
CK_RV default_unlock_mutex(CK_VOID_PTR pMutex);

// True when a lock made by default_create_mutex spans processes, false for
// the process-local fallback (or a null lock).
bool default_mutex_spans_processes(CK_VOID_PTR pMutex);

// The name default_create_mutex opens; a test may point it elsewhere (an
// empty name cannot be opened). Not thread-safe: set it before C_Initialize.
const char* default_mutex_name();
void set_default_mutex_name(const char* name);

}  // namespace pkcs11
