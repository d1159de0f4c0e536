// The API managers: one object per export call, holding the device and the
// secure-channel flag as they were when the call began, and the frame every
// single-command method runs: build, transmit, check and parse.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

#include "protocol/byte_order.h"
#include "protocol/status.h"
#include "protocol/tavi_protocol_base.h"
#include "transport/device_base.h"

namespace zervik {

// Non-zero: the command forms that follow the flag go out wrapped. Set by
// the secure-channel export, cleared by a successful connect; every manager
// takes a copy when it is made.
extern std::atomic<std::int32_t> use_secure_channel;

// A caller's length as a byte count; false for a negative length.
inline bool caller_size(std::int32_t length, std::size_t* size) {
    if (length < 0) return false;
    *size = static_cast<std::size_t>(length);
    return true;
}

// The parse step of a command whose reply is its status word alone.
inline constexpr auto status_only = [](TaviProtocol_Base& p) { return p.reply_status(); };

class taviapi_base {
public:
    // The device must be one the export has checked against the device list.
    explicit taviapi_base(device_base* device);
    virtual ~taviapi_base();

    taviapi_base(const taviapi_base&) = delete;
    taviapi_base& operator=(const taviapi_base&) = delete;

    // Methods that send several commands ask this before each one whether
    // the caller's handle is still a device of the list (the export sets
    // it; without it the device counts as listed).
    void set_handle_check(std::function<bool()> check) { handle_check_ = std::move(check); }

protected:
    bool still_listed() const { return !handle_check_ || handle_check_(); }

    // Sends the built command and places the reply in the protocol object:
    // 0, 1 (sending failed) or 2 (no usable reply).
    std::int32_t exchange(TaviProtocol_Base& protocol);

    // One command: the builder's failure is returned with nothing sent, then
    // the transmit's, then the parser's result.
    template <typename Build, typename Parse>
    std::int32_t run(TaviProtocol_Base& protocol, Build&& build, Parse&& parse) {
        std::int32_t status = build();
        if (status != status_ok) return status;
        status = exchange(protocol);
        if (status != status_ok) return status;
        return parse();
    }

    // One command on a keyed protocol object of the family (the device's
    // keys, the manager's copy of the secure-channel flag): build(p), then
    // the exchange, then parse(p).
    template <typename Protocol, typename Build, typename Parse>
    std::int32_t keyed(Build&& build, Parse&& parse) {
        if (device_ == nullptr) return status_failed;
        Protocol p(*device_, sm_flag_);
        return run(
            p, [&] { return build(p); }, [&] { return parse(p); });
    }

    device_base* device_;
    std::int32_t sm_flag_;

private:
    std::function<bool()> handle_check_;
};

}  // namespace zervik
