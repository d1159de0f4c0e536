#include "global_lock.h"

#include <mutex>
#include <new>
#include <string>

#include "platform/named_mutex.h"

namespace pkcs11 {

namespace {

constexpr const char* standard_name = "Global\\solvanta_pkcs11_mutex";

std::string& mutex_name() {
    static std::string name = standard_name;
    return name;
}

struct default_mutex {
    platform::named_mutex named;
    std::recursive_mutex local;  // used only when named could not be opened
    bool spans_processes = false;
};

}  // namespace

const char* default_mutex_name() { return mutex_name().c_str(); }
void set_default_mutex_name(const char* name) { mutex_name() = name == nullptr ? standard_name : name; }

CK_RV default_create_mutex(CK_VOID_PTR_PTR ppMutex) {
    if (ppMutex == nullptr) return CKR_ARGUMENTS_BAD;
    auto* m = new (std::nothrow) default_mutex;
    if (m == nullptr) return CKR_HOST_MEMORY;
    m->spans_processes = m->named.open(mutex_name().c_str()) == 0;
    *ppMutex = m;
    return CKR_OK;
}

CK_RV default_destroy_mutex(CK_VOID_PTR pMutex) {
    delete static_cast<default_mutex*>(pMutex);
    return CKR_OK;
}

CK_RV default_lock_mutex(CK_VOID_PTR pMutex) {
    auto* m = static_cast<default_mutex*>(pMutex);
    if (m == nullptr) return CKR_OK;
    if (!m->spans_processes) {
        m->local.lock();
        return CKR_OK;
    }
    // A holder that died leaves the mutex to the next waiter: acquired.
    return m->named.lock(platform::wait_forever) == platform::lock_result::acquired ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV default_unlock_mutex(CK_VOID_PTR pMutex) {
    auto* m = static_cast<default_mutex*>(pMutex);
    if (m == nullptr) return CKR_OK;
    if (!m->spans_processes) {
        m->local.unlock();
        return CKR_OK;
    }
    return m->named.unlock() ? CKR_OK : CKR_MUTEX_NOT_LOCKED;
}

bool default_mutex_spans_processes(CK_VOID_PTR pMutex) {
    auto* m = static_cast<default_mutex*>(pMutex);
    return m != nullptr && m->spans_processes;
}

}  // namespace pkcs11
