// The RSA contexts' card over the module's card layer: each command runs on
// the device that `device` gives (the token's, opened when needed), with
// the store directory selected first in the same transaction.
#pragma once

#include <cstdint>
#include <functional>

#include "card_device.h"
#include "rsa_ctx.h"

namespace pkcs11 {

class pkcs11_card_rsa_port final : public pkcs11_rsa_card {
public:
    // Gives 0 and the device's handle, or the status that stands for it.
    using device_fn = std::function<std::int32_t(solvantex::card_handle&)>;

    explicit pkcs11_card_rsa_port(device_fn device) : device_(std::move(device)) {}

    std::int32_t sign(std::uint16_t key_id, std::uint32_t hash_id, const std::uint8_t* data, std::size_t length,
                      std::uint8_t* out, std::size_t* out_len) override;
    std::int32_t decrypt(std::uint16_t key_id, const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                         std::size_t* out_len) override;
    std::int32_t private_operation(std::uint16_t key_id, const std::uint8_t* data, std::size_t length,
                                   std::uint8_t* out, std::size_t* out_len) override;

private:
    template <typename Command>
    std::int32_t run(const std::uint8_t* data, std::size_t length, std::uint8_t* out, std::size_t* out_len,
                     Command&& command);

    device_fn device_;
};

}  // namespace pkcs11
