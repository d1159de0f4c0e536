#include "protocol/session_key_manager.h"

#include "apdu/apdu_command.h"
#include "protocol/command_data.h"

namespace zervik {

namespace {

constexpr class_rule flag = class_rule::follows_flag;
constexpr class_rule fixed = class_rule::fixed;

constexpr command_form kas_gen_ephemeral_form{"SessionKeyKAS", apdu_case4_auto, 0x80, flag, 0x12, 0x00, 0x00, 0};
constexpr command_form kas_kdf_form{"SessionKeyKAS", apdu_case4_auto, 0x80, flag, 0x12, 0x01, 0x00, 0};
constexpr command_form gen_session_key_form{"GenSessionKey", apdu_case3_auto, 0x80, flag, 0x13, 0x00, 0x00, 0};
constexpr command_form create_session_key_form{"CreateSessionKey", apdu_case3_auto, 0x80, flag, 0x14, 0x00, 0x00, 0};
constexpr command_form destroy_session_key_form{"DestroySessionKey", apdu_case1, 0x80, flag, 0x15, 0x00, 0x00, 0};
constexpr command_form destroy_all_form{"DestroySessionKey", apdu_case1, 0x80, flag, 0x15, 0x01, 0x00, 0};
constexpr command_form get_session_info_form{"GetSessionInfo", apdu_case2_auto, 0x80, flag, 0x17, 0x00, 0x00, 0};
constexpr command_form sym_import_form{"SymImportSessionKey", apdu_case3_auto, 0x80, flag, 0x61, 0x00, 0x00, 0};
constexpr command_form sym_export_form{"SymExportSessionKey", apdu_case2_auto, 0x80, flag, 0x62, 0x00, 0x00, 0};
constexpr command_form sym_crypt_init_form{"SymCryptInit", apdu_case3_auto, 0x80, fixed, 0x63, 0x00, 0x00, 0};

const char* cipher_label(TaviPrototcol_SessionKeyManager::cipher_step step) {
    switch (step) {
        case TaviPrototcol_SessionKeyManager::encrypt_update: return "SymEncryptUpdate";
        case TaviPrototcol_SessionKeyManager::encrypt_final: return "SymEncryptFinal";
        case TaviPrototcol_SessionKeyManager::decrypt_update: return "SymDecryptUpdate";
        case TaviPrototcol_SessionKeyManager::decrypt_final: return "SymDecryptFinal";
    }
    return "";
}

}  // namespace

TaviPrototcol_SessionKeyManager::~TaviPrototcol_SessionKeyManager() = default;

std::int32_t TaviPrototcol_SessionKeyManager::build_kas_gen_ephemeral(std::uint32_t algorithm,
                                                                      std::uint8_t parameter) {
    command_data d(small_work_area);
    d.u32(algorithm).u8(parameter);
    return build_with(*this, kas_gen_ephemeral_form, d);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_kas_kdf(std::uint32_t first_id, std::uint32_t second_id,
                                                            std::uint8_t session_key, std::uint32_t key_type,
                                                            const std::uint8_t* other_info,
                                                            const std::uint8_t* host_key, std::size_t other_info_size) {
    if (other_info == nullptr || host_key == nullptr || other_info_size > kas_other_info_max) return status_unusable;
    command_data d(small_work_area);
    d.u32(first_id).u32(second_id).u32(key_type);
    d.bytes(other_info, other_info_size).bytes(host_key, card_key_size);
    return build_with(*this, kas_kdf_form.with_p2(session_key), d);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_gen_session_key(std::uint8_t session_key,
                                                                    std::uint32_t key_type) {
    command_data d(small_work_area);
    d.u32(key_type);
    return build_with(*this, gen_session_key_form.with_p2(session_key), d);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_create_session_key(std::uint8_t session_key,
                                                                       std::uint32_t key_type,
                                                                       const std::uint8_t* key,
                                                                       std::int32_t length) {
    command_data d(small_work_area);
    d.u32(key_type).caller_bytes(key, length);
    return build_with(*this, create_session_key_form.with_p2(session_key), d);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_destroy_session_key(std::uint8_t session_key) {
    return build(destroy_session_key_form.with_p2(session_key), nullptr, 0);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_destroy_all_session_keys() {
    return build(destroy_all_form, nullptr, 0);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_get_session_info(std::uint8_t session_key) {
    return build(get_session_info_form.with_p2(session_key), nullptr, 0);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_sym_import_session_key(std::uint8_t wrap_key,
                                                                           std::uint8_t session_key,
                                                                           std::uint32_t key_type,
                                                                           const std::uint8_t* wrapped,
                                                                           std::int32_t length) {
    command_data d(small_work_area);
    d.u32(key_type).caller_bytes(wrapped, length);
    return build_with(*this, sym_import_form.with_p1(wrap_key).with_p2(session_key), d);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_sym_export_session_key(std::uint8_t wrap_key,
                                                                           std::uint8_t session_key) {
    return build(sym_export_form.with_p1(wrap_key).with_p2(session_key), nullptr, 0);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_sym_crypt_init(std::uint8_t session_key, std::uint8_t mode,
                                                                   const std::uint8_t* data, std::int32_t length) {
    command_data d(small_work_area);
    d.caller_bytes(data, length);
    command_form form = sym_crypt_init_form.with_p1(mode).with_p2(session_key);
    if (d.ok() && d.empty()) form.case_code = apdu_case1;
    return build_with(*this, form, d);
}

std::int32_t TaviPrototcol_SessionKeyManager::build_sym_crypt(cipher_step step, const std::uint8_t* data,
                                                              std::int32_t length) {
    command_data d(small_work_area);
    d.caller_bytes(data, length);
    const bool final_step = step == encrypt_final || step == decrypt_final;
    const std::int32_t case_code = (final_step && d.ok() && d.empty()) ? apdu_case2_auto : apdu_case4_auto;
    const command_form form{cipher_label(step), case_code, 0x80, fixed, step, 0x00, 0x00, 0};
    return build_with(*this, form, d);
}

}  // namespace zervik
