// A backend through which the PC/SC service goes away once, for tests of a
// caller's recovery (solvanta_pcsc_bridge --service-stops-once): the first
// list-readers request is answered SCARD_E_SERVICE_STOPPED and its context
// is released underneath, as winscard answers a context that outlived the
// service; every other request, and every later one, goes to the wrapped
// backend unchanged.
#pragma once

#include <atomic>

#include "backend.h"
#include "wire/wire.h"

namespace pcsc_bridge {

class stopping_backend : public pcsc_backend {
public:
    explicit stopping_backend(pcsc_backend& inner) : inner_(inner) {}

    // True once the stop has been played.
    bool stopped() const { return !armed_.load(); }

    std::uint32_t establish_context(std::uint32_t scope, service_value* context) override {
        return inner_.establish_context(scope, context);
    }
    std::uint32_t release_context(service_value context) override { return inner_.release_context(context); }
    std::uint32_t is_valid_context(service_value context) override { return inner_.is_valid_context(context); }
    std::uint32_t list_readers(service_value context, std::vector<std::uint8_t>* readers) override {
        if (armed_.exchange(false)) {
            (void)inner_.release_context(context);
            return rc::service_stopped;
        }
        return inner_.list_readers(context, readers);
    }
    std::uint32_t connect(service_value context, const std::string& reader, std::uint32_t share_mode,
                          std::uint32_t protocols, service_value* card, std::uint32_t* active_protocol) override {
        return inner_.connect(context, reader, share_mode, protocols, card, active_protocol);
    }
    std::uint32_t reconnect(service_value card, std::uint32_t share_mode, std::uint32_t protocols,
                            std::uint32_t initialization, std::uint32_t* active_protocol) override {
        return inner_.reconnect(card, share_mode, protocols, initialization, active_protocol);
    }
    std::uint32_t disconnect(service_value card, std::uint32_t disposition) override {
        return inner_.disconnect(card, disposition);
    }
    std::uint32_t begin_transaction(service_value card) override { return inner_.begin_transaction(card); }
    std::uint32_t end_transaction(service_value card, std::uint32_t disposition) override {
        return inner_.end_transaction(card, disposition);
    }
    std::uint32_t transmit(service_value card, std::uint32_t protocol, const std::vector<std::uint8_t>& command,
                           std::uint32_t capacity, std::vector<std::uint8_t>* reply,
                           std::uint32_t* reply_protocol) override {
        return inner_.transmit(card, protocol, command, capacity, reply, reply_protocol);
    }
    std::uint32_t status(service_value card, std::string* reader, std::uint32_t* state, std::uint32_t* protocol,
                         std::vector<std::uint8_t>* atr) override {
        return inner_.status(card, reader, state, protocol, atr);
    }
    std::uint32_t get_status_change(service_value context, std::uint32_t timeout_ms,
                                    std::vector<reader_state>* states) override {
        return inner_.get_status_change(context, timeout_ms, states);
    }
    std::uint32_t cancel(service_value context) override { return inner_.cancel(context); }

private:
    pcsc_backend& inner_;
    std::atomic<bool> armed_{true};
};

}  // namespace pcsc_bridge
