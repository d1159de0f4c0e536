// The transport base class of the card library: what every device of the
// device list offers to the command layer. device_winscard is the PC/SC
// device; tests derive their own to answer commands without a card.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>

#include "lock/device_locker.h"

namespace zervik {

// Status of a device in the list, set by enumeration.
enum device_state : std::int32_t {
    device_present = 0,
    device_new = 1,
    device_removed = 2,
};

class device_base {
public:
    static constexpr std::uint32_t sm_key_size = 32;

    device_base();
    virtual ~device_base();

    device_base(const device_base&) = delete;
    device_base& operator=(const device_base&) = delete;

    virtual std::int32_t connect() { return -1; }
    virtual std::int32_t disconnect() { return -1; }
    // Sends one command; 0 or a PC/SC code.
    virtual std::int32_t send(const std::uint8_t* command, std::uint32_t length) {
        (void)command;
        (void)length;
        return -1;
    }
    // Copies the kept reply into buffer: 0, or 3 when there is no usable
    // reply or it does not fit *length (the capacity in, the length out).
    virtual std::int32_t receive(std::uint8_t* buffer, std::uint32_t* length) {
        (void)buffer;
        (void)length;
        return -1;
    }
    // send then receive: 0, 1 (sending failed) or 2 (no usable reply).
    virtual std::int32_t transmit(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                                  std::uint32_t* reply_length) {
        (void)command;
        (void)length;
        (void)reply;
        (void)reply_length;
        return -1;
    }
    virtual std::int32_t set_option(std::int32_t value) {
        (void)value;
        return -1;
    }
    virtual const char* name() const { return nullptr; }
    virtual std::int32_t set_state(std::int32_t state) {
        (void)state;
        return 0;
    }
    virtual std::int32_t state() const { return 3; }
    virtual std::int32_t device_type() const { return 0; }
    // Cross-process lock of the reader ("Global\" + name()), waiting up to
    // milliseconds (platform::wait_forever: no limit): lock_done (one more
    // hold of the calling thread), lock_not_open (no name, or the mutex
    // cannot be opened), lock_timed_out or lock_failed.
    virtual std::int32_t lock(std::uint32_t milliseconds);
    // Releases every hold of the calling thread and closes the mutex: 0,
    // also when nothing was held; 2 when the holds are another thread's.
    virtual std::int32_t unlock();
    virtual std::int32_t begin_transaction() { return 0; }
    virtual std::int32_t end_transaction() { return 0; }

    // Secure-messaging keys the channel set-up leaves in the device.
    std::int32_t set_session_keys(const std::uint8_t* encryption_key, const std::uint8_t* mac_key);
    const std::uint8_t* encryption_key() const { return encryption_key_; }
    const std::uint8_t* mac_key() const { return mac_key_; }

    const device_mutex_locker& locker() const { return locker_; }

    // Key-encryption keys agreed with this device's card for loading
    // session keys, by the card's key id. cached_kek copies a kept key and
    // says whether there was one; dropped keys are wiped.
    static constexpr std::uint32_t kek_size = 32;
    bool cached_kek(std::uint8_t id, std::uint8_t* key) const;
    void cache_kek(std::uint8_t id, const std::uint8_t* key);
    void drop_kek(std::uint8_t id);
    void drop_keks();

private:
    device_mutex_locker locker_;
    mutable std::mutex kek_lock_;
    std::map<std::uint8_t, std::array<std::uint8_t, kek_size>> keks_;
    std::uint8_t encryption_key_[sm_key_size] = {};
    std::uint8_t mac_key_[sm_key_size] = {};
};

}  // namespace zervik
