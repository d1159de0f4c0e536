#include "api/taviapi_sessionkeymgr.h"

#include "protocol/byte_order.h"
#include "protocol/session_key_manager.h"

namespace zervik {

namespace {

using session = TaviPrototcol_SessionKeyManager;

}  // namespace

taviapi_sessionkeymgr::~taviapi_sessionkeymgr() = default;

std::int32_t taviapi_sessionkeymgr::session_kas_generate_ephemeral(std::uint32_t algorithm, std::int32_t parameter,
                                                                   std::uint8_t* card_key) {
    if (card_key == nullptr) return status_unusable;
    return keyed<session>([&](session& p) { return p.build_kas_gen_ephemeral(algorithm, low_byte(parameter)); },
                          [&](session& p) { return p.reply_card_key(card_key); });
}

std::int32_t taviapi_sessionkeymgr::session_kdf(std::uint32_t first_id, std::uint32_t second_id,
                                                std::int32_t session_key, std::uint32_t key_type,
                                                const std::uint8_t* other_info, const std::uint8_t* host_key,
                                                std::size_t other_info_size) {
    return keyed<session>(
        [&](session& p) {
            return p.build_kas_kdf(first_id, second_id, low_byte(session_key), key_type, other_info, host_key,
                                   other_info_size);
        },
        status_only);
}

std::int32_t taviapi_sessionkeymgr::gen_session_key(std::int32_t session_key, std::uint32_t key_type) {
    return keyed<session>([&](session& p) { return p.build_gen_session_key(low_byte(session_key), key_type); },
                          status_only);
}

std::int32_t taviapi_sessionkeymgr::create_session_key(std::int32_t session_key, std::uint32_t key_type,
                                                       const std::uint8_t* key, std::int32_t length) {
    return keyed<session>(
        [&](session& p) { return p.build_create_session_key(low_byte(session_key), key_type, key, length); },
        status_only);
}

std::int32_t taviapi_sessionkeymgr::get_session_key_info(std::int32_t session_key, std::int32_t* info) {
    if (info == nullptr) return status_unusable;
    return keyed<session>([&](session& p) { return p.build_get_session_info(low_byte(session_key)); },
                          [&](session& p) {
                              reply_view d;
                              const std::int32_t status = p.check_reply(&d);
                              if (status != status_ok) return status;
                              if (d.length < 4 || d.length > max_session_info_reply)
                                  return std::int32_t{status_reply_mismatch};
                              *info = static_cast<std::int32_t>(get_u32(d.data));
                              return std::int32_t{status_ok};
                          });
}

std::int32_t taviapi_sessionkeymgr::destroy_session_key(std::int32_t session_key) {
    if (device_ != nullptr) device_->drop_kek(low_byte(session_key));
    return keyed<session>([&](session& p) { return p.build_destroy_session_key(low_byte(session_key)); },
                          status_only);
}

std::int32_t taviapi_sessionkeymgr::destroy_all_session_keys() {
    if (device_ != nullptr) device_->drop_keks();
    return keyed<session>([](session& p) { return p.build_destroy_all_session_keys(); }, status_only);
}

std::int32_t taviapi_sessionkeymgr::sym_import_session_key(std::int32_t wrap_key, std::int32_t session_key,
                                                           std::uint32_t key_type, const std::uint8_t* wrapped,
                                                           std::int32_t length) {
    return keyed<session>(
        [&](session& p) {
            return p.build_sym_import_session_key(low_byte(wrap_key), low_byte(session_key), key_type, wrapped,
                                                  length);
        },
        status_only);
}

std::int32_t taviapi_sessionkeymgr::sym_export_session_key(std::int32_t wrap_key, std::int32_t session_key,
                                                           std::uint32_t* header, std::uint8_t* buffer,
                                                           std::int32_t* length) {
    if (header == nullptr || buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<session>(
        [&](session& p) { return p.build_sym_export_session_key(low_byte(wrap_key), low_byte(session_key)); },
        [&](session& p) { return p.reply_counted_data_code1(header, buffer, length); });
}

std::int32_t taviapi_sessionkeymgr::sym_crypt_init(std::int32_t session_key, std::int32_t mode,
                                                   const std::uint8_t* data, std::int32_t length) {
    return keyed<session>(
        [&](session& p) { return p.build_sym_crypt_init(low_byte(session_key), low_byte(mode), data, length); },
        status_only);
}

std::int32_t taviapi_sessionkeymgr::cipher_step(std::uint8_t step, const std::uint8_t* data, std::int32_t length,
                                                std::uint8_t* out, std::int32_t* out_length) {
    if (out == nullptr || out_length == nullptr) return status_unusable;
    return keyed<session>(
        [&](session& p) { return p.build_sym_crypt(static_cast<session::cipher_step>(step), data, length); },
        [&](session& p) { return p.reply_data_code1(out, out_length); });
}

std::int32_t taviapi_sessionkeymgr::sym_encrypt_update(const std::uint8_t* data, std::int32_t length,
                                                       std::uint8_t* out, std::int32_t* out_length) {
    return cipher_step(session::encrypt_update, data, length, out, out_length);
}

std::int32_t taviapi_sessionkeymgr::sym_encrypt_final(const std::uint8_t* data, std::int32_t length,
                                                      std::uint8_t* out, std::int32_t* out_length) {
    return cipher_step(session::encrypt_final, data, length, out, out_length);
}

std::int32_t taviapi_sessionkeymgr::sym_decrypt_update(const std::uint8_t* data, std::int32_t length,
                                                       std::uint8_t* out, std::int32_t* out_length) {
    return cipher_step(session::decrypt_update, data, length, out, out_length);
}

std::int32_t taviapi_sessionkeymgr::sym_decrypt_final(const std::uint8_t* data, std::int32_t length,
                                                      std::uint8_t* out, std::int32_t* out_length) {
    return cipher_step(session::decrypt_final, data, length, out, out_length);
}

}  // namespace zervik
