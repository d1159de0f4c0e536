#include "card_commands.h"

#include "card_call.h"

#include "protocol/session_key_manager.h"
#include "protocol/status.h"

namespace solvantex {

using namespace zervik;

namespace {

using session = TaviPrototcol_SessionKeyManager;

}  // namespace

std::int32_t card_setup_secure_channel(card_handle h) {
    return with_manager<module_devmgr>(h, [](module_devmgr& m) { return m.setup_module_channel(); });
}

std::int32_t card_get_challenge(card_handle h, std::int32_t length, std::uint8_t* out) {
    return with_manager<module_pinmgr>(h, [&](module_pinmgr& m) { return m.get_challenge(length, out); });
}

std::int32_t card_delete_file_by_id(card_handle h, std::uint16_t file_id) {
    return with_manager<module_manager<taviapi_filemgr>>(
        h, [&](taviapi_filemgr& m) { return m.delete_file_by_id(file_id); });
}

std::int32_t card_update_binary(card_handle h, const char* name, std::uint16_t offset, const std::uint8_t* data,
                                std::int32_t length, std::uint8_t mode) {
    return with_manager<module_manager<taviapi_filemgr>>(
        h, [&](taviapi_filemgr& m) { return m.update_binary_name(name, offset, data, length, mode); });
}

std::int32_t card_gen_session_key(card_handle h, std::uint8_t session_slot, std::uint32_t algorithm) {
    return with_manager<module_sessionkeymgr>(
        h, [&](module_sessionkeymgr& m) { return m.gen_session_key(session_slot, algorithm); });
}

std::int32_t card_load_session(card_handle h, std::uint8_t session_slot, std::uint8_t saved_slot) {
    return with_manager<module_sessionkeymgr>(
        h, [&](module_sessionkeymgr& m) { return m.load_session(session_slot, saved_slot); });
}

std::int32_t card_save_session(card_handle h, std::uint8_t session_slot, std::uint8_t saved_slot) {
    return with_manager<module_sessionkeymgr>(
        h, [&](module_sessionkeymgr& m) { return m.save_session(session_slot, saved_slot); });
}

std::int32_t card_sym_crypt_init(card_handle h, std::uint8_t session_slot, std::uint8_t p1,
                                 const std::uint8_t* data, std::int32_t length) {
    return with_manager<module_sessionkeymgr>(
        h, [&](module_sessionkeymgr& m) { return m.sym_crypt_init(session_slot, p1, data, length); });
}

std::int32_t card_sym_encrypt_update(card_handle h, const std::uint8_t* data, std::int32_t length,
                                     std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_sessionkeymgr>(h, [&](module_sessionkeymgr& m) {
        return m.module_cipher_step(session::encrypt_update, data, length, out, out_length);
    });
}

std::int32_t card_sym_encrypt_final(card_handle h, const std::uint8_t* data, std::int32_t length,
                                    std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_sessionkeymgr>(h, [&](module_sessionkeymgr& m) {
        return m.module_cipher_step(session::encrypt_final, data, length, out, out_length);
    });
}

std::int32_t card_sym_decrypt_update(card_handle h, const std::uint8_t* data, std::int32_t length,
                                     std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_sessionkeymgr>(h, [&](module_sessionkeymgr& m) {
        return m.module_cipher_step(session::decrypt_update, data, length, out, out_length);
    });
}

std::int32_t card_sym_decrypt_final(card_handle h, const std::uint8_t* data, std::int32_t length,
                                    std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_sessionkeymgr>(h, [&](module_sessionkeymgr& m) {
        return m.module_cipher_step(session::decrypt_final, data, length, out, out_length);
    });
}

std::int32_t card_gen_key_pair(card_handle h, std::uint16_t public_id, std::uint32_t algorithm,
                               std::uint16_t private_id, std::uint16_t options) {
    return with_manager<module_manager<taviapi_keypairmgr>>(h, [&](taviapi_keypairmgr& m) {
        return m.asym_gen_keypair(public_id, private_id, algorithm, options >> 8, options & 0xFF);
    });
}

std::int32_t card_import_public_key(card_handle h, std::uint16_t key_id, std::uint32_t algorithm,
                                    const std::uint8_t* data, std::int32_t length) {
    return with_manager<module_manager<taviapi_keypairmgr>>(
        h, [&](taviapi_keypairmgr& m) { return m.asym_import_pub(key_id, algorithm, 3, 0, data, length); });
}

std::int32_t card_import_private_key(card_handle h, std::uint16_t private_id, std::uint16_t public_id,
                                     std::uint32_t algorithm, std::uint8_t session_reference,
                                     const std::uint8_t* wrapped, std::int32_t length) {
    return with_manager<module_manager<taviapi_keypairmgr>>(h, [&](taviapi_keypairmgr& m) {
        return m.asym_wrap_import_pri(kek_slot, private_id, public_id, algorithm, session_reference, 0, wrapped,
                                      length);
    });
}

std::int32_t card_export_public_key(card_handle h, std::uint16_t key_id, std::uint32_t* algorithm, std::uint8_t* out,
                                    std::int32_t* length) {
    if (algorithm == nullptr) return status_unusable;
    return with_manager<module_manager<taviapi_keypairmgr>>(h, [&](taviapi_keypairmgr& m) {
        std::int32_t header = 0, byte4 = 0, byte5 = 0;
        const std::int32_t status = m.asym_export_pub(key_id, {&header, &byte4, &byte5, out, length});
        if (status == 0) *algorithm = static_cast<std::uint32_t>(header);
        return status;
    });
}

std::int32_t card_asym_sign(card_handle h, std::uint16_t key_id, std::uint32_t algorithm, const std::uint8_t* data,
                            std::int32_t length, std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_manager<taviapi_keypairmgr>>(
        h, [&](taviapi_keypairmgr& m) { return m.asym_sign(key_id, algorithm, data, length, out, out_length); });
}

std::int32_t card_asym_decrypt(card_handle h, std::uint16_t key_id, const std::uint8_t* data, std::int32_t length,
                               std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_manager<taviapi_keypairmgr>>(h, [&](taviapi_keypairmgr& m) {
        return m.asym_private_decryption(key_id, data, length, out, out_length);
    });
}

std::int32_t card_asym_private_operation(card_handle h, std::uint16_t key_id, const std::uint8_t* data,
                                         std::int32_t length, std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_manager<taviapi_keypairmgr>>(h, [&](taviapi_keypairmgr& m) {
        return m.asym_private_operation(key_id, data, length, out, out_length);
    });
}

std::int32_t card_enable_cd(card_handle h, std::uint8_t on) {
    return with_manager<module_configuremgr>(h, [&](module_configuremgr& m) { return m.enable_cd(on); });
}

std::int32_t card_get_health(card_handle h, std::uint64_t* status) {
    return with_manager<module_devmgr>(h, [&](module_devmgr& m) { return m.get_health_status(status); });
}

std::int32_t card_get_data(card_handle h, std::uint16_t tag, std::uint8_t* out, std::int32_t* out_length) {
    return with_manager<module_manager<taviapi_filemgr>>(
        h, [&](taviapi_filemgr& m) { return m.get_data(tag, out, out_length); });
}

std::int32_t card_put_data(card_handle h, std::uint16_t tag, const std::uint8_t* data, std::int32_t length) {
    return with_manager<module_manager<taviapi_filemgr>>(
        h, [&](taviapi_filemgr& m) { return m.put_data(tag, data, length); });
}

std::int32_t card_get_pin_info_ex(card_handle h, pin_list_entry* entries, std::size_t capacity,
                                  std::size_t* count) {
    return with_manager<module_pinmgr>(
        h, [&](module_pinmgr& m) { return m.get_pin_info_list(entries, capacity, count); });
}

std::int32_t card_format_device(card_handle h, const module_format_parameters& parameters) {
    return with_manager<module_devmgr>(h, [&](module_devmgr& m) { return m.format_module_device(parameters); });
}

std::int32_t card_agree_session_key(card_handle h, std::uint8_t session_slot, std::uint32_t algorithm,
                                    std::uint8_t* key, std::int32_t* length) {
    return with_manager<module_sessionkeymgr>(
        h, [&](module_sessionkeymgr& m) { return m.agree_session_key(session_slot, algorithm, key, length); });
}

std::int32_t card_obtain_secret_key(card_handle h, std::uint8_t session_slot, std::uint32_t algorithm,
                                    const std::uint8_t* key, std::int32_t length) {
    return with_manager<module_sessionkeymgr>(
        h, [&](module_sessionkeymgr& m) { return m.obtain_secret_key(session_slot, algorithm, key, length); });
}

}  // namespace solvantex
