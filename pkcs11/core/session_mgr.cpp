#include "session_mgr.h"

#include <atomic>
#include <cstdint>
#include <utility>

namespace pkcs11 {

namespace {
// Outside the module state: a child made by fork() keeps counting on.
std::atomic<std::uint32_t> session_counter{1000};
}  // namespace

CK_SESSION_HANDLE next_session_handle() { return session_counter.fetch_add(1); }

CK_SESSION_HANDLE pkcs11_session_mgr::add(CK_SLOT_ID slot_id, std::uint64_t token) {
    pkcs11_session s;
    s.handle = next_session_handle();
    s.slot_id = slot_id;
    s.token = token;
    const CK_SESSION_HANDLE handle = s.handle;
    sessions_.emplace(handle, std::move(s));
    return handle;
}

pkcs11_session* pkcs11_session_mgr::find(CK_SESSION_HANDLE handle) {
    auto it = sessions_.find(handle);
    return it == sessions_.end() ? nullptr : &it->second;
}

bool pkcs11_session_mgr::close(CK_SESSION_HANDLE handle) { return sessions_.erase(handle) != 0; }

void pkcs11_session_mgr::close_slot(CK_SLOT_ID slot_id) {
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.slot_id == slot_id ? sessions_.erase(it) : std::next(it);
}

std::vector<pkcs11_session*> pkcs11_session_mgr::of_slot(CK_SLOT_ID slot_id) {
    std::vector<pkcs11_session*> found;
    for (auto& entry : sessions_)
        if (entry.second.slot_id == slot_id) found.push_back(&entry.second);
    return found;
}

std::vector<pkcs11_session*> pkcs11_session_mgr::of_token(std::uint64_t token) {
    std::vector<pkcs11_session*> found;
    for (auto& entry : sessions_)
        if (entry.second.token == token) found.push_back(&entry.second);
    return found;
}

void pkcs11_session_mgr::close_all() { sessions_.clear(); }

}  // namespace pkcs11
