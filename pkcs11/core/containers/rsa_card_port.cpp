#include "containers/rsa_card_port.h"

#include <limits>

#include "card_commands.h"
#include "card_store.h"

namespace pkcs11 {

namespace {
// The card layer's "reply does not fit" (its local code 3).
constexpr std::int32_t unusable = 3;
}  // namespace

template <typename Command>
std::int32_t pkcs11_card_rsa_port::run(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                                       std::size_t* out_len, Command&& command) {
    constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (out == nullptr || out_len == nullptr || (data == nullptr && length != 0) || length > limit ||
        *out_len > limit)
        return unusable;
    solvantex::card_handle h = 0;
    std::int32_t status = device_ ? device_(h) : 1;
    if (status != 0) return status;
    std::int32_t n = static_cast<std::int32_t>(*out_len);
    // The key files lie in "mscp": selected first, in one transaction.
    status = solvantex::cardfs_in_app_dir(h, [&] { return command(h, static_cast<std::int32_t>(length), &n); });
    if (status == 0) *out_len = n < 0 ? 0 : static_cast<std::size_t>(n);
    return status;
}

std::int32_t pkcs11_card_rsa_port::sign(std::uint16_t key_id, std::uint32_t hash_id, const std::uint8_t* data,
                                        std::size_t length, std::uint8_t* out, std::size_t* out_len) {
    return run(data, length, out, out_len, [&](solvantex::card_handle h, std::int32_t n, std::int32_t* got) {
        return solvantex::card_asym_sign(h, key_id, hash_id, data, n, out, got);
    });
}

std::int32_t pkcs11_card_rsa_port::decrypt(std::uint16_t key_id, const std::uint8_t* data, std::size_t length,
                                           std::uint8_t* out, std::size_t* out_len) {
    return run(data, length, out, out_len, [&](solvantex::card_handle h, std::int32_t n, std::int32_t* got) {
        return solvantex::card_asym_decrypt(h, key_id, data, n, out, got);
    });
}

std::int32_t pkcs11_card_rsa_port::private_operation(std::uint16_t key_id, const std::uint8_t* data,
                                                     std::size_t length, std::uint8_t* out, std::size_t* out_len) {
    return run(data, length, out, out_len, [&](solvantex::card_handle h, std::int32_t n, std::int32_t* got) {
        return solvantex::card_asym_private_operation(h, key_id, data, n, out, got);
    });
}

}  // namespace pkcs11
