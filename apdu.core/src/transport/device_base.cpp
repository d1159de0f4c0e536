#include "transport/device_base.h"

#include <mbedtls/platform_util.h>

#include <cstring>

namespace zervik {

device_base::device_base() = default;

namespace {

void wipe(std::array<std::uint8_t, device_base::kek_size>& key) { mbedtls_platform_zeroize(key.data(), key.size()); }

}  // namespace

device_base::~device_base() {
    drop_keks();
    mbedtls_platform_zeroize(encryption_key_, sizeof encryption_key_);
    mbedtls_platform_zeroize(mac_key_, sizeof mac_key_);
}

std::int32_t device_base::lock(std::uint32_t milliseconds) {
    if (locker_.open(name()) != 0) return lock_not_open;
    return locker_.lock(milliseconds);
}

std::int32_t device_base::unlock() {
    if (locker_.unlock() != 0) return 2;
    return locker_.close() == 0 ? 0 : 2;
}

std::int32_t device_base::set_session_keys(const std::uint8_t* encryption_key, const std::uint8_t* mac_key) {
    if (encryption_key != nullptr) std::memcpy(encryption_key_, encryption_key, sm_key_size);
    if (mac_key != nullptr) std::memcpy(mac_key_, mac_key, sm_key_size);
    return 0;
}

bool device_base::cached_kek(std::uint8_t id, std::uint8_t* key) const {
    const std::lock_guard<std::mutex> hold(kek_lock_);
    const auto found = keks_.find(id);
    if (found == keks_.end()) return false;
    std::memcpy(key, found->second.data(), kek_size);
    return true;
}

void device_base::cache_kek(std::uint8_t id, const std::uint8_t* key) {
    const std::lock_guard<std::mutex> hold(kek_lock_);
    std::memcpy(keks_[id].data(), key, kek_size);
}

void device_base::drop_kek(std::uint8_t id) {
    const std::lock_guard<std::mutex> hold(kek_lock_);
    const auto found = keks_.find(id);
    if (found == keks_.end()) return;
    wipe(found->second);
    keks_.erase(found);
}

void device_base::drop_keks() {
    const std::lock_guard<std::mutex> hold(kek_lock_);
    for (auto& entry : keks_) wipe(entry.second);
    keks_.clear();
}

}  // namespace zervik
