// The bridge's PC/SC service: pcsc-lite against the machine's pcscd.
#pragma once

#include "backend.h"

namespace pcsc_bridge {

class pcsclite_backend final : public pcsc_backend {
public:
    std::uint32_t establish_context(std::uint32_t scope, service_value* context) override;
    std::uint32_t release_context(service_value context) override;
    std::uint32_t is_valid_context(service_value context) override;
    std::uint32_t list_readers(service_value context, std::vector<std::uint8_t>* readers) override;
    std::uint32_t connect(service_value context, const std::string& reader, std::uint32_t share_mode,
                          std::uint32_t protocols, service_value* card, std::uint32_t* active_protocol) override;
    std::uint32_t reconnect(service_value card, std::uint32_t share_mode, std::uint32_t protocols,
                            std::uint32_t initialization, std::uint32_t* active_protocol) override;
    std::uint32_t disconnect(service_value card, std::uint32_t disposition) override;
    std::uint32_t begin_transaction(service_value card) override;
    std::uint32_t end_transaction(service_value card, std::uint32_t disposition) override;
    std::uint32_t transmit(service_value card, std::uint32_t protocol, const std::vector<std::uint8_t>& command,
                           std::uint32_t capacity, std::vector<std::uint8_t>* reply,
                           std::uint32_t* reply_protocol) override;
    std::uint32_t status(service_value card, std::string* reader, std::uint32_t* state, std::uint32_t* protocol,
                         std::vector<std::uint8_t>* atr) override;
    std::uint32_t get_status_change(service_value context, std::uint32_t timeout_ms,
                                    std::vector<reader_state>* states) override;
    std::uint32_t cancel(service_value context) override;
};

}  // namespace pcsc_bridge
