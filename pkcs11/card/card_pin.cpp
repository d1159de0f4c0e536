#include "card_pin.h"

#include <mbedtls/des.h>
#include <mbedtls/sha256.h>

#include <cstring>

#include "api/taviapi_filemgr.h"
#include "card_call.h"
#include "card_commands.h"
#include "card_store.h"
#include "card_tables.h"
#include "protocol/records.h"
#include "sm/aes.h"
#include "sm/wipe.h"
#include "solvanta_card_config.h"

namespace solvantex {

using namespace zervik;

namespace {

constexpr std::uint32_t pin_algorithm = 0x40002121;
constexpr std::uint32_t key_slot_algorithm = 0x4FFFFFFF;
constexpr std::uint8_t type_pin = 0x82;
constexpr std::uint8_t type_key_slot = 0x84;
constexpr std::uint8_t first_key_slot = 3;
constexpr std::uint8_t last_key_slot = 10;
constexpr std::uint8_t unblock_with_so = 0;
constexpr std::uint8_t unblock_remote = 1;
constexpr std::size_t device_challenge_size = 32;

const std::uint8_t device_key[] = SOLVANTA_DEVICE_KEY;
static_assert(sizeof device_key == 33, "the device key has 32 characters");

bool valid_new_pin(const std::uint8_t* pin, std::size_t length) {
    return pin != nullptr && length >= 1 && length <= cardfs_pin_max;
}

void note_tries(std::int32_t sw, std::int32_t* tries) {
    if (tries != nullptr && cardfs_is_tries_status(sw)) *tries = sw & 0x0F;
}

// GetChallenge of 16 bytes and the PIN's response to it.
std::int32_t challenge_response(card_handle h, const std::uint8_t* pin, std::size_t length,
                                std::uint8_t response[cardfs_pin_response_size]) {
    std::uint8_t challenge[cardfs_pin_response_size] = {};
    const std::int32_t status = card_get_challenge(h, sizeof challenge, challenge);
    if (status != 0) return status;
    return cardfs_pin_response(pin, length, challenge, response);
}

// In one transaction: a fresh secure channel, then the wrapped command;
// tries noted on 63Cx.
template <typename Command>
std::int32_t under_channel(card_handle h, std::int32_t* tries, Command&& command) {
    cardfs_transaction t(h);
    if (t.status() != 0) return t.status();
    std::int32_t status = card_setup_secure_channel(h);
    if (status != 0) return status;
    sm_flag_scope wrapped;
    status = with_manager<module_pinmgr>(h, command);
    note_tries(status, tries);
    return status;
}

// The same with the PIN's response to a fresh challenge for the command.
template <typename Command>
std::int32_t answered_under_channel(card_handle h, const std::uint8_t* pin, std::size_t length, std::int32_t* tries,
                                    Command&& command) {
    return under_channel(h, tries, [&](module_pinmgr& m) -> std::int32_t {
        // GetChallenge always goes plain, also inside the wrapped scope.
        std::uint8_t response[cardfs_pin_response_size] = {};
        const std::int32_t status = challenge_response(h, pin, length, response);
        return status != 0 ? status : command(m, response);
    });
}

std::int32_t install_pin(card_handle h, std::uint8_t reference, std::uint32_t algorithm, std::uint8_t type,
                         std::uint8_t limit, const std::uint8_t* value, std::size_t length, std::uint8_t option1,
                         std::uint8_t option2) {
    const std::uint8_t access = cardfs_access_any;
    pin_record_parameters record{};
    record.reference = reference;
    record.algorithm = algorithm;
    record.try_limit = limit;
    record.pin = value;
    record.pin_length = length;
    record.first = &access;
    record.second = &access;
    record.third = option1;
    record.fourth = option2;
    record.type = type;
    return with_manager<module_pinmgr>(h, [&](module_pinmgr& m) { return m.install_pin(record, 0); });
}

// A 32-byte field of the card information as a C string.
void field_string(const std::uint8_t* info, std::size_t at, std::size_t width, char* out) {
    std::memcpy(out, info + at, width);
    out[width] = '\0';
}

}  // namespace

std::int32_t cardfs_pin_response(const std::uint8_t* pin, std::size_t pin_length, const std::uint8_t* challenge,
                                 std::uint8_t* response) {
    if (pin == nullptr || pin_length == 0 || challenge == nullptr || response == nullptr) return status_failed;
    wiped_bytes<32> secret;
    std::uint8_t* digest = secret.data();
    if (mbedtls_sha256_ret(pin, pin_length < cardfs_pin_max ? pin_length : cardfs_pin_max, digest, 0) != 0)
        return status_failed;
    mbedtls_des3_context des;
    mbedtls_des3_init(&des);
    std::uint8_t iv[8] = {};
    std::uint8_t block[cardfs_pin_response_size];
    std::memcpy(block, challenge, sizeof block);
    int failed = mbedtls_des3_set3key_enc(&des, digest);
    if (failed == 0) failed = mbedtls_des3_crypt_cbc(&des, MBEDTLS_DES_ENCRYPT, sizeof block, iv, block, response);
    mbedtls_des3_free(&des);
    return failed == 0 ? 0 : status_failed;
}

std::int32_t cardfs_device_cryptogram(const std::uint8_t* key, const std::uint8_t* challenge,
                                      std::uint8_t* cryptogram) {
    if (key == nullptr || challenge == nullptr || cryptogram == nullptr) return status_failed;
    aes_schedule schedule;
    if (aes_set_key(schedule, key, 32) != 0) return status_failed;
    return aes_crypt(schedule, aes_mode_encrypt, aes_type_256_ecb, challenge, cryptogram, device_challenge_size,
                     nullptr) == 0
               ? 0
               : status_failed;
}

std::int32_t cardfs_verify_pin(card_handle h, std::uint8_t reference, const std::uint8_t* pin,
                               std::size_t pin_length, std::int32_t* tries) {
    if (pin == nullptr || pin_length == 0) return cardfs_bad_argument;
    cardfs_transaction t(h);
    if (t.status() != 0) return t.status();
    std::uint8_t response[cardfs_pin_response_size];
    std::int32_t status = challenge_response(h, pin, pin_length, response);
    if (status != 0) return status;
    status = with_manager<module_pinmgr>(
        h, [&](module_pinmgr& m) { return m.verify_pin(reference, 0, response, sizeof response); });
    note_tries(status, tries);
    return status;
}

std::int32_t cardfs_change_pin(card_handle h, std::uint8_t reference, const std::uint8_t* old_pin,
                               std::size_t old_length, const std::uint8_t* new_pin, std::size_t new_length,
                               std::int32_t* tries) {
    if (old_pin == nullptr || old_length == 0 || !valid_new_pin(new_pin, new_length)) return cardfs_bad_argument;
    return answered_under_channel(h, old_pin, old_length, tries, [&](module_pinmgr& m, const std::uint8_t* response) {
        return m.change_pin(reference, 0, response, cardfs_pin_response_size, new_pin,
                            static_cast<std::int32_t>(new_length));
    });
}

std::int32_t cardfs_unblock_pin(card_handle h, const std::uint8_t* so_pin, std::size_t so_length,
                                const std::uint8_t* new_pin, std::size_t new_length, std::int32_t* tries) {
    if (so_pin == nullptr || so_length == 0 || !valid_new_pin(new_pin, new_length)) return cardfs_bad_argument;
    return answered_under_channel(h, so_pin, so_length, tries, [&](module_pinmgr& m, const std::uint8_t* response) {
        return m.unblock_pin(cardfs_user_pin, unblock_with_so, response, cardfs_pin_response_size, new_pin,
                             static_cast<std::int32_t>(new_length));
    });
}

std::int32_t cardfs_init_user_pin(card_handle h, const std::uint8_t* new_pin, std::size_t new_length) {
    if (!valid_new_pin(new_pin, new_length)) return cardfs_bad_argument;
    return under_channel(h, nullptr, [&](module_pinmgr& m) {
        return m.unload_pin(cardfs_user_pin, new_pin, static_cast<std::int32_t>(new_length));
    });
}

std::int32_t cardfs_remote_unblock_pin(card_handle h, const std::uint8_t* code, std::size_t code_length,
                                       const std::uint8_t* new_pin, std::size_t new_length, std::int32_t* tries) {
    if (code == nullptr || code_length != cardfs_remote_code_size || !valid_new_pin(new_pin, new_length))
        return cardfs_bad_argument;
    return under_channel(h, tries, [&](module_pinmgr& m) {
        return m.unblock_pin(cardfs_user_pin, unblock_remote, code, static_cast<std::int32_t>(code_length), new_pin,
                             static_cast<std::int32_t>(new_length));
    });
}

std::int32_t cardfs_get_pin_info(card_handle h, std::uint8_t reference, std::int32_t* tries_left,
                                 std::int32_t* to_be_changed) {
    if (tries_left == nullptr || to_be_changed == nullptr) return cardfs_bad_argument;
    std::int32_t algorithm = 0, byte4 = 0, byte5 = 0, byte8 = 0, byte9 = 0, byte10 = 0;
    std::uint8_t byte6 = 0, byte7 = 0;
    const pin_info_outputs out{&algorithm, &byte4, &byte5, &byte6, &byte7, &byte8, &byte9, &byte10};
    const std::int32_t status =
        with_manager<module_pinmgr>(h, [&](module_pinmgr& m) { return m.get_pin_info(reference, out); });
    if (status != 0) return status;
    *tries_left = byte5;
    *to_be_changed = byte10;
    return 0;
}

std::int32_t cardfs_device_auth(card_handle h, std::uint8_t key_reference) {
    cardfs_transaction t(h);
    if (t.status() != 0) return t.status();
    std::uint8_t challenge[device_challenge_size] = {};
    std::int32_t status = card_get_challenge(h, sizeof challenge, challenge);
    if (status != 0) return status;
    std::uint8_t cryptogram[device_challenge_size];
    status = cardfs_device_cryptogram(device_key, challenge, cryptogram);
    if (status != 0) return status;
    return with_manager<module_pinmgr>(
        h, [&](module_pinmgr& m) { return m.device_auth(key_reference, cryptogram, sizeof cryptogram); });
}

std::int32_t cardfs_set_label(card_handle h, const char* label, std::size_t length) {
    if (label == nullptr || length > cardfs_label_max) return cardfs_bad_argument;
    return card_put_data(h, 0x0101, reinterpret_cast<const std::uint8_t*>(label), static_cast<std::int32_t>(length));
}

std::int32_t cardfs_get_memory_info(card_handle h, std::uint32_t* total, std::uint32_t* free_space,
                                    std::uint16_t* last) {
    if (total == nullptr || free_space == nullptr || last == nullptr) return cardfs_bad_argument;
    std::uint8_t b[10];
    const std::int32_t status = cardfs_get_data(h, 0x0103, b, sizeof b);
    if (status != 0) return status;
    *total = static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
             static_cast<std::uint32_t>(b[2]) << 8 | b[3];
    *free_space = static_cast<std::uint32_t>(b[4]) << 24 | static_cast<std::uint32_t>(b[5]) << 16 |
                  static_cast<std::uint32_t>(b[6]) << 8 | b[7];
    *last = static_cast<std::uint16_t>(b[8] << 8 | b[9]);
    return 0;
}

std::int32_t cardfs_get_working_mode(card_handle h, std::uint8_t* mode) {
    if (mode == nullptr) return cardfs_bad_argument;
    std::uint8_t b[4];
    const std::int32_t status = cardfs_get_data(h, 0x0104, b, sizeof b);
    if (status == 0) *mode = b[0];
    return status;
}

std::int32_t cardfs_get_challenge8(card_handle h, std::uint8_t* out, std::size_t length) {
    if (out == nullptr && length != 0) return cardfs_bad_argument;
    for (std::size_t done = 0; done < length;) {
        const std::size_t n = length - done < cardfs_chunk_size ? length - done : cardfs_chunk_size;
        const std::int32_t status = with_manager<module_pinmgr>(
            h, [&](module_pinmgr& m) { return m.drbg_gen_random(static_cast<std::int32_t>(n), out + done); });
        if (status != 0) return status;
        done += n;
    }
    return 0;
}

std::int32_t cardfs_create_root(card_handle h, const cardfs_format_parameters& p) {
    std::int32_t status = cardfs_create_dir(h, cardfs_root_id, cardfs_root_name, cardfs_access_user,
                                            cardfs_access_user);
    if (status != 0) return status;
    sm_flag_scope wrapped;
    status = install_pin(h, cardfs_so_pin, pin_algorithm, type_pin, p.so_limit, p.so_pin, p.so_length, 0, 16);
    if (status != 0) return status;
    status = install_pin(h, cardfs_user_pin, pin_algorithm, type_pin, p.user_limit, p.user_pin, p.user_length, 1, 1);
    if (status != 0) return status;
    static const std::uint8_t empty[cardfs_pin_max] = {};
    for (std::uint8_t reference = first_key_slot; reference <= last_key_slot; ++reference)
        install_pin(h, reference, key_slot_algorithm, type_key_slot, 0, empty, sizeof empty, 0, 0);
    return 0;
}

std::int32_t cardfs_create_file_set(card_handle h, const std::uint8_t* so_pin, std::size_t so_length,
                                    const char* serial) {
    if (serial == nullptr) return cardfs_bad_argument;
    std::int32_t tries = 0;
    std::int32_t status = cardfs_verify_pin(h, cardfs_so_pin, so_pin, so_length, &tries);
    if (status != 0) return status;
    const struct {
        std::uint16_t id;
        const char* name;
        std::uint8_t write_access;
    } fixed[] = {{cardfs_cardid_id, cardfs_cardid_name, cardfs_access_so},
                 {cardfs_cardcf_id, cardfs_cardcf_name, cardfs_access_user},
                 {cardfs_cardapps_id, cardfs_cardapps_name, cardfs_access_so}};
    for (const auto& f : fixed) {
        status = cardfs_create_file_ex(h, f.id, f.name, 0, cardfs_access_any, f.write_access, 0,
                                       cardfs_fixed_file_size);
        if (status != 0) return status;
    }
    std::uint8_t apps[8] = {'m', 's', 'c', 'p', 0, 0, 0, 0};
    std::uint8_t id[cardfs_fixed_file_size] = {};
    std::memcpy(id, serial, ::strnlen(serial, sizeof id));
    const std::uint8_t zeros[cardfs_fixed_file_size] = {};
    status = cardfs_write_here(h, cardfs_cardapps_name, 0, apps, sizeof apps, 1);
    if (status == 0) status = cardfs_write_here(h, cardfs_cardid_name, 0, id, sizeof id, 1);
    if (status == 0) status = cardfs_write_here(h, cardfs_cardcf_name, 0, zeros, sizeof zeros, 1);
    if (status != 0) return status;
    status = cardfs_create_dir(h, cardfs_app_dir_id, cardfs_app_dir_name, cardfs_access_any, cardfs_access_any);
    if (status != 0) return status;
    status = cardfs_create_file_ex(h, cardfs_cmapfile_id, cardfs_cmapfile_name, 0, cardfs_access_any,
                                   cardfs_access_user, 0, cardfs_cmapfile_size);
    if (status != 0) return status;
    const std::uint8_t map[cardfs_cmapfile_size] = {};
    return cardfs_write_here(h, cardfs_cmapfile_name, 0, map, sizeof map, 1);
}

std::int32_t cardfs_format_token(card_handle h, const cardfs_format_parameters& p, std::int32_t* cd_warning) {
    if (p.card_info == nullptr || p.so_pin == nullptr || p.so_length == 0 || p.so_length > cardfs_pin_max ||
        p.user_pin == nullptr || p.user_length == 0 || p.user_length > cardfs_pin_max)
        return cardfs_bad_argument;
    if (cd_warning != nullptr) *cd_warning = 0;
    cardfs_transaction t(h);
    if (t.status() != 0) return t.status();

    const std::int32_t status = [&]() -> std::int32_t {
        char serial[17];
        field_string(p.card_info, 96, 16, serial);

        std::uint8_t state[4] = {};
        std::int32_t result = cardfs_get_data(h, 0x0109, state, sizeof state);
        if (result != 0) return result;
        const bool formatted = (state[0] | state[1] | state[2] | state[3]) != 0;
        if (formatted) {
            result = cardfs_device_auth(h, cardfs_device_key_reference);
            if (result == 0) result = card_setup_secure_channel(h);
            if (result != 0) return result;
            std::uint8_t id[cardfs_fixed_file_size] = {};
            bool kept = false;
            if (cardfs_select_root(h) == 0 &&
                cardfs_read_fixed_here(h, cardfs_cardid_name, 0, sizeof id, id) == 0) {
                for (std::uint8_t b : id) kept = kept || b != 0;
            }
            if (kept) {
                std::memcpy(serial, id, sizeof id);
                serial[16] = '\0';
            }
        }

        char manufacturer[33], second_name[33], label[33];
        field_string(p.card_info, 0, 32, manufacturer);
        field_string(p.card_info, 32, 32, second_name);
        field_string(p.card_info, 64, 32, label);
        const module_format_parameters format{manufacturer, second_name, label, serial, p.working_mode};
        {
            sm_flag_scope wrapped(formatted ? 1 : 0);
            result = card_format_device(h, format);
        }
        if (result != 0) return result;

        std::uint8_t info[TaviProtocol_Base::file_information_size] = {};
        result = with_manager<module_manager<taviapi_filemgr>>(
            h, [&](taviapi_filemgr& m) { return m.select_file_by_id(cardfs_mf_id, info); });
        if (result == 0) result = cardfs_device_auth(h, cardfs_device_key_reference);
        // The root's PINs go wrapped: the channel is set up before them.
        if (result == 0) result = card_setup_secure_channel(h);
        if (result == 0) result = cardfs_create_root(h, p);
        if (result == 0) result = cardfs_create_file_set(h, p.so_pin, p.so_length, serial);
        // The store tables come before the CD switch, so a token whose
        // switch fails can still hold objects.
        if (result == 0) result = cardfs_create_secret_object_file(h);
        if (result == 0) result = cardfs_create_data_object_index(h);
        if (result != 0) return result;

        if (p.cd_switch <= 1) {
            const std::int32_t cd = card_enable_cd(h, p.cd_switch == 0 ? 1 : 0);
            if (cd != 0 && cd_warning != nullptr) *cd_warning = cd;
        }
        return 0;
    }();

    // Nobody is logged in after a format, whatever happened.
    with_manager<module_pinmgr>(h, [](module_pinmgr& m) { return m.clear_secure_state(0, 0); });
    cardfs_select_app_dir(h);
    return status;
}

}  // namespace solvantex
