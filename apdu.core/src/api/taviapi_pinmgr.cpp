#include "api/taviapi_pinmgr.h"

#include "protocol/pin_manager.h"

namespace zervik {

namespace {

using pm = TaviPrototcol_PinManager;

constexpr std::uint8_t challenge_p1 = 0x00;
constexpr std::uint8_t generator_p1 = 0x01;

}  // namespace

taviapi_pinmgr::~taviapi_pinmgr() = default;

std::int32_t taviapi_pinmgr::install_pin(const pin_record_parameters& record, std::uint8_t p1) {
    return keyed<pm>([&](pm& p) { return p.build_install_pin(record, p1); }, status_only);
}

std::int32_t taviapi_pinmgr::random_bytes(std::uint8_t p1, std::int32_t length, std::uint8_t* buffer) {
    if (buffer == nullptr || length < 1) return status_unusable;
    return keyed<pm>([&](pm& p) { return p.build_get_challenge(p1, length); },
                     [&](pm& p) { return p.reply_exact_data(buffer, static_cast<std::size_t>(length)); });
}

std::int32_t taviapi_pinmgr::get_challenge(std::int32_t length, std::uint8_t* buffer) {
    return random_bytes(challenge_p1, length, buffer);
}

std::int32_t taviapi_pinmgr::drbg_gen_random(std::int32_t length, std::uint8_t* buffer) {
    return random_bytes(generator_p1, length, buffer);
}

std::int32_t taviapi_pinmgr::device_auth(std::uint8_t key_reference, const std::uint8_t* cryptogram,
                                         std::int32_t length) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return keyed<pm>([&](pm& p) { return p.build_external_auth(key_reference, cryptogram, n); }, status_only);
}

std::int32_t taviapi_pinmgr::internal_auth(const std::uint8_t* challenge, std::int32_t length, std::uint8_t* response,
                                           std::int32_t* response_length) {
    std::size_t n = 0;
    if (!caller_size(length, &n) || response == nullptr || response_length == nullptr) return status_unusable;
    return keyed<pm>([&](pm& p) { return p.build_internal_auth(challenge, n); },
                     [&](pm& p) { return p.reply_data(response, response_length); });
}

std::int32_t taviapi_pinmgr::verify_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* pin,
                                        std::int32_t length) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return keyed<pm>([&](pm& p) { return p.build_verify_pin(reference, p1, pin, n); }, status_only);
}

std::int32_t taviapi_pinmgr::get_pin_info(std::uint8_t reference, const pin_info_outputs& out) {
    if (out.algorithm == nullptr || out.byte4 == nullptr || out.byte5 == nullptr || out.byte6 == nullptr ||
        out.byte7 == nullptr || out.byte8 == nullptr || out.byte9 == nullptr || out.byte10 == nullptr)
        return status_unusable;
    pin_information info{};
    const std::int32_t status = keyed<pm>([&](pm& p) { return p.build_get_pin_info(reference); },
                                          [&](pm& p) { return p.reply_pin_information(&info); });
    if (status != status_ok) return status;
    *out.algorithm = static_cast<std::int32_t>(info.algorithm);
    *out.byte4 = info.bytes[0];
    *out.byte5 = info.bytes[1];
    *out.byte6 = info.bytes[2];
    *out.byte7 = info.bytes[3];
    *out.byte8 = info.bytes[4];
    *out.byte9 = info.bytes[5];
    *out.byte10 = info.bytes[6];
    return status_ok;
}

std::int32_t taviapi_pinmgr::pin_pair(bool unblock, std::uint8_t reference, std::uint8_t p1, const std::uint8_t* first,
                                      std::int32_t first_length, const std::uint8_t* second,
                                      std::int32_t second_length) {
    std::size_t first_n = 0;
    std::size_t second_n = 0;
    if (!caller_size(first_length, &first_n) || !caller_size(second_length, &second_n)) return status_unusable;
    return keyed<pm>(
        [&](pm& p) {
            return unblock ? p.build_unblock_pin(reference, p1, first, first_n, second, second_n)
                           : p.build_change_pin(reference, p1, first, first_n, second, second_n);
        },
        status_only);
}

std::int32_t taviapi_pinmgr::change_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* old_pin,
                                        std::int32_t old_length, const std::uint8_t* new_pin,
                                        std::int32_t new_length) {
    return pin_pair(false, reference, p1, old_pin, old_length, new_pin, new_length);
}

std::int32_t taviapi_pinmgr::unblock_pin(std::uint8_t reference, std::uint8_t p1, const std::uint8_t* unblock_code,
                                         std::int32_t unblock_length, const std::uint8_t* new_pin,
                                         std::int32_t new_length) {
    return pin_pair(true, reference, p1, unblock_code, unblock_length, new_pin, new_length);
}

std::int32_t taviapi_pinmgr::unload_pin(std::uint8_t reference, const std::uint8_t* data, std::int32_t length) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return keyed<pm>([&](pm& p) { return p.build_unload_pin(reference, data, n); }, status_only);
}

std::int32_t taviapi_pinmgr::clear_secure_state(std::uint8_t p1, std::uint8_t p2) {
    return keyed<pm>([&](pm& p) { return p.build_clear_secure_state(p1, p2); }, status_only);
}

}  // namespace zervik
