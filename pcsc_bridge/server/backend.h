// What the bridge asks of the PC/SC service, in winscard's terms: 32-bit
// result codes, winscard's protocol numbers and SCardStatus states. The
// service's own context and card values are opaque 64-bit numbers that
// never leave the bridge. pcsclite_backend is the real one; tests give the
// server a scripted one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pcsc_bridge {

using service_value = std::uint64_t;

struct reader_state {
    std::string reader;
    std::uint32_t current_state = 0;
    std::uint32_t event_state = 0;
    std::vector<std::uint8_t> atr;
};

class pcsc_backend {
public:
    virtual ~pcsc_backend() = default;
    virtual std::uint32_t establish_context(std::uint32_t scope, service_value* context) = 0;
    virtual std::uint32_t release_context(service_value context) = 0;
    virtual std::uint32_t is_valid_context(service_value context) = 0;
    // The whole reader multi-string, its final NUL included.
    virtual std::uint32_t list_readers(service_value context, std::vector<std::uint8_t>* readers) = 0;
    virtual std::uint32_t connect(service_value context, const std::string& reader, std::uint32_t share_mode,
                                  std::uint32_t protocols, service_value* card, std::uint32_t* active_protocol) = 0;
    virtual std::uint32_t reconnect(service_value card, std::uint32_t share_mode, std::uint32_t protocols,
                                    std::uint32_t initialization, std::uint32_t* active_protocol) = 0;
    virtual std::uint32_t disconnect(service_value card, std::uint32_t disposition) = 0;
    virtual std::uint32_t begin_transaction(service_value card) = 0;
    virtual std::uint32_t end_transaction(service_value card, std::uint32_t disposition) = 0;
    // `capacity` is the caller's receive buffer size (at most max_apdu).
    virtual std::uint32_t transmit(service_value card, std::uint32_t protocol, const std::vector<std::uint8_t>& command,
                                   std::uint32_t capacity, std::vector<std::uint8_t>* reply,
                                   std::uint32_t* reply_protocol) = 0;
    virtual std::uint32_t status(service_value card, std::string* reader, std::uint32_t* state,
                                 std::uint32_t* protocol, std::vector<std::uint8_t>* atr) = 0;
    // Event states and ATRs are written back into `states` whatever the result.
    virtual std::uint32_t get_status_change(service_value context, std::uint32_t timeout_ms,
                                            std::vector<reader_state>* states) = 0;
    virtual std::uint32_t cancel(service_value context) = 0;
};

}  // namespace pcsc_bridge
