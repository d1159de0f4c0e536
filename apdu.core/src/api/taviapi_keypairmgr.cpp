#include "api/taviapi_keypairmgr.h"

#include "protocol/asym_manager.h"

namespace zervik {

namespace {

using asym = TaviPrototcol_AsymManager;

bool outputs_present(const taviapi_keypairmgr::export_outputs& out) {
    return out.header != nullptr && out.byte4 != nullptr && out.byte5 != nullptr && out.buffer != nullptr &&
           out.length != nullptr;
}

// The exported-key reply into the caller's outputs.
std::int32_t parse_export(asym& p, const taviapi_keypairmgr::export_outputs& out, bool reversed) {
    exported_key_header header{};
    const std::int32_t status = reversed ? p.reply_exported_key_reversed(&header, out.buffer, out.length)
                                         : p.reply_exported_key(&header, out.buffer, out.length);
    if (status != status_ok) return status;
    *out.header = static_cast<std::int32_t>(header.value);
    *out.byte4 = header.byte4;
    *out.byte5 = header.byte5;
    return status_ok;
}

// Counted replies whose header the export drops.
std::int32_t parse_payload(asym& p, std::uint8_t* buffer, std::int32_t* length) {
    return p.reply_counted_data(nullptr, buffer, length);
}

}  // namespace

taviapi_keypairmgr::~taviapi_keypairmgr() = default;

std::int32_t taviapi_keypairmgr::asym_gen_keypair(std::uint16_t public_key, std::uint16_t private_key,
                                                  std::uint32_t algorithm, std::int32_t parameter1,
                                                  std::int32_t parameter2) {
    return keyed<asym>(
        [&](asym& p) {
            return p.build_gen_keypair(public_key, private_key, algorithm, low_byte(parameter1),
                                       low_byte(parameter2));
        },
        status_only);
}

std::int32_t taviapi_keypairmgr::asym_wrap_import_pub(std::int32_t wrap_key, std::uint16_t key,
                                                      std::uint32_t algorithm, std::int32_t parameter1,
                                                      std::int32_t parameter2, const std::uint8_t* data,
                                                      std::int32_t length) {
    return keyed<asym>(
        [&](asym& p) {
            return p.build_wrap_import_pub(low_byte(wrap_key), key, algorithm, low_byte(parameter1),
                                           low_byte(parameter2), data, length);
        },
        status_only);
}

std::int32_t taviapi_keypairmgr::asym_import_pub(std::uint16_t key, std::uint32_t algorithm,
                                                 std::int32_t parameter1, std::int32_t parameter2,
                                                 const std::uint8_t* data, std::int32_t length) {
    return keyed<asym>(
        [&](asym& p) {
            return p.build_import_pub(key, algorithm, low_byte(parameter1), low_byte(parameter2), data, length);
        },
        status_only);
}

std::int32_t taviapi_keypairmgr::asym_wrap_import_pri(std::int32_t wrap_key, std::uint16_t public_key,
                                                      std::uint16_t private_key, std::uint32_t algorithm,
                                                      std::int32_t parameter1, std::int32_t parameter2,
                                                      const std::uint8_t* data, std::int32_t length) {
    return keyed<asym>(
        [&](asym& p) {
            return p.build_import_pri(low_byte(wrap_key), public_key, private_key, algorithm, low_byte(parameter1),
                                      low_byte(parameter2), data, length);
        },
        status_only);
}

std::int32_t taviapi_keypairmgr::asym_wrap_export_pub(std::int32_t wrap_key, std::uint16_t key,
                                                      const export_outputs& out) {
    if (!outputs_present(out)) return status_unusable;
    return keyed<asym>([&](asym& p) { return p.build_wrap_export_pub(low_byte(wrap_key), key); },
                       [&](asym& p) { return parse_export(p, out, false); });
}

std::int32_t taviapi_keypairmgr::asym_export_pub(std::uint16_t key, const export_outputs& out) {
    if (!outputs_present(out)) return status_unusable;
    return keyed<asym>([&](asym& p) { return p.build_export_pub(key); },
                       [&](asym& p) { return parse_export(p, out, true); });
}

std::int32_t taviapi_keypairmgr::asym_wrap_export_pri(std::int32_t wrap_key, std::uint16_t key,
                                                      const export_outputs& out) {
    if (!outputs_present(out)) return status_unusable;
    return keyed<asym>([&](asym& p) { return p.build_wrap_export_pri(low_byte(wrap_key), key); },
                       [&](asym& p) { return parse_export(p, out, false); });
}

std::int32_t taviapi_keypairmgr::asym_import_session_key(std::int32_t session_key, std::uint16_t key,
                                                         std::uint32_t key_type, const std::uint8_t* data,
                                                         std::int32_t length) {
    return keyed<asym>(
        [&](asym& p) { return p.build_import_session_key(low_byte(session_key), key, key_type, data, length); },
        status_only);
}

std::int32_t taviapi_keypairmgr::asym_export_session_key(std::int32_t session_key, std::uint16_t key,
                                                         std::uint32_t* header, std::uint8_t* buffer,
                                                         std::int32_t* length) {
    if (header == nullptr || buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<asym>([&](asym& p) { return p.build_export_session_key(low_byte(session_key), key); },
                       [&](asym& p) { return p.reply_counted_data(header, buffer, length); });
}

std::int32_t taviapi_keypairmgr::asym_sign_hash(std::uint16_t key, std::uint8_t* buffer, std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<asym>([&](asym& p) { return p.build_sign_hash(key); },
                       [&](asym& p) { return parse_payload(p, buffer, length); });
}

std::int32_t taviapi_keypairmgr::asym_sign(std::uint16_t key, std::uint32_t algorithm, const std::uint8_t* data,
                                           std::int32_t data_length, std::uint8_t* buffer, std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<asym>([&](asym& p) { return p.build_sign(key, algorithm, data, data_length); },
                       [&](asym& p) { return parse_payload(p, buffer, length); });
}

std::int32_t taviapi_keypairmgr::asym_verify_hash(std::uint16_t key, const std::uint8_t* signature,
                                                  std::int32_t signature_length) {
    return keyed<asym>([&](asym& p) { return p.build_verify_hash(key, signature, signature_length); },
                       status_only);
}

std::int32_t taviapi_keypairmgr::asym_verify(std::uint16_t key, const std::uint8_t* data, std::int32_t data_length,
                                             std::uint32_t algorithm, const std::uint8_t* signature,
                                             std::int32_t signature_length) {
    return keyed<asym>(
        [&](asym& p) { return p.build_verify(key, algorithm, signature, signature_length, data, data_length); },
        status_only);
}

std::int32_t taviapi_keypairmgr::asym_public_encryption(std::uint16_t key, const std::uint8_t* data,
                                                        std::int32_t data_length, std::uint8_t* buffer,
                                                        std::int32_t* length) {
    return operation(false, asym::public_side, key, data, data_length, buffer, length);
}

std::int32_t taviapi_keypairmgr::asym_private_decryption(std::uint16_t key, const std::uint8_t* data,
                                                         std::int32_t data_length, std::uint8_t* buffer,
                                                         std::int32_t* length) {
    return operation(false, asym::private_side, key, data, data_length, buffer, length);
}

std::int32_t taviapi_keypairmgr::asym_public_operation(std::uint16_t key, const std::uint8_t* data,
                                                       std::int32_t data_length, std::uint8_t* buffer,
                                                       std::int32_t* length) {
    return operation(true, asym::public_side, key, data, data_length, buffer, length);
}

std::int32_t taviapi_keypairmgr::asym_private_operation(std::uint16_t key, const std::uint8_t* data,
                                                        std::int32_t data_length, std::uint8_t* buffer,
                                                        std::int32_t* length) {
    return operation(true, asym::private_side, key, data, data_length, buffer, length);
}

std::int32_t taviapi_keypairmgr::operation(bool raw, std::uint8_t side, std::uint16_t key,
                                           const std::uint8_t* data, std::int32_t data_length,
                                           std::uint8_t* buffer, std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    const auto key_side = static_cast<asym::key_side>(side);
    return keyed<asym>(
        [&](asym& p) {
            return raw ? p.build_key_operation(key_side, key, data, data_length)
                       : p.build_en_decrypt(key_side, key, data, data_length);
        },
        [&](asym& p) { return parse_payload(p, buffer, length); });
}

}  // namespace zervik
