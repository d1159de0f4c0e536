// The stand-in winscard.dll's link to the bridge: one TCP connection per
// process, shared by all threads. Requests carry ids, so a thread blocked in
// a status-change wait never holds up another thread's transmit or the
// cancel that ends the wait. No thread of its own: whichever caller is
// waiting reads the next reply and hands it to its owner.
#pragma once

#include <cstdint>
#include <vector>

#include "wire/wire.h"

namespace pcsc_bridge {

class bridge_call {
public:
    explicit bridge_call(op operation);
    // The request's arguments go here, in the order PROTOCOL.md gives.
    wire_writer& args() { return request_; }
    // Sends the request and waits for the reply; the reply's outputs are
    // then read from reply(). Returns the PC/SC result: the bridge's, or
    // SCARD_E_NO_SERVICE when it cannot be reached, SCARD_E_SERVICE_STOPPED
    // when the connection broke on the way.
    std::uint32_t run();
    wire_reader& reply() { return reply_; }
    // After reading every output: the result, or SCARD_F_INTERNAL_ERROR when
    // a successful reply did not have the expected shape.
    std::uint32_t result() const;

private:
    std::uint32_t id_;
    op operation_;
    wire_writer request_;
    std::vector<std::uint8_t> body_;
    wire_reader reply_{nullptr, 0};
    std::uint32_t rv_ = rc::internal_error;
    bool transported_ = false;
};

}  // namespace pcsc_bridge
