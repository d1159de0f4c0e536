// Windows named mutex: the system's own, created with a null DACL so that
// processes of every user and session can open it.
#include <windows.h>

#include <atomic>

#include "platform/named_mutex.h"

namespace platform {

struct named_mutex::state {
    HANDLE handle = nullptr;
    std::atomic<std::int32_t> holds{0};
};

named_mutex::~named_mutex() {
    close();
    delete state_;
}

int named_mutex::open(const char* name) {
    if (is_open()) return 0;
    if (state_ == nullptr) state_ = new state;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return 1;
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) return 2;
    if (name == nullptr || *name == '\0') return 3;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    const std::string object_name = bounded_object_name(name, max_object_name);
    HANDLE handle = CreateMutexA(&attributes, FALSE, object_name.c_str());
    if (handle == nullptr) return 3;
    state_->handle = handle;
    state_->holds = 0;
    return 0;
}

bool named_mutex::is_open() const { return state_ != nullptr && state_->handle != nullptr; }

lock_result named_mutex::lock(std::uint32_t milliseconds) {
    if (!is_open()) return lock_result::failed;
    const lock_result r = classify_wait(WaitForSingleObject(state_->handle, milliseconds));
    if (r == lock_result::acquired) ++state_->holds;
    return r;
}

bool named_mutex::unlock() {
    if (!is_open() || state_->holds.load() <= 0) return false;
    // Fails on a thread that does not own the mutex.
    if (!ReleaseMutex(state_->handle)) return false;
    --state_->holds;
    return true;
}

void named_mutex::close() {
    if (!is_open()) return;
    while (state_->holds.load() > 0 && unlock()) {
    }
    CloseHandle(state_->handle);
    state_->handle = nullptr;
    state_->holds = 0;
}

std::int32_t named_mutex::holds() const { return state_ == nullptr ? 0 : state_->holds.load(); }

}  // namespace platform
