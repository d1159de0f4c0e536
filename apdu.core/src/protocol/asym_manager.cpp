#include "protocol/asym_manager.h"

#include <cstring>

#include "apdu/apdu_command.h"
#include "protocol/command_data.h"

namespace zervik {

namespace {

constexpr class_rule flag = class_rule::follows_flag;

constexpr command_form gen_keypair_form{"AsymGenKeypair", apdu_case4_auto, 0x80, flag, 0x81, 0x00, 0x00, 0};
constexpr command_form wrap_import_pub_form{"AsymWrapImportPub", apdu_case3_auto, 0x80, flag, 0x82, 0x00, 0x00, 0};
constexpr command_form import_pub_form{"AsymImportPub", apdu_case3_auto, 0x80, flag, 0x82, 0x01, 0x00, 0};
constexpr command_form import_pri_form{"AsymImportPri", apdu_case3_auto, 0x80, flag, 0x83, 0x00, 0x00, 0};
constexpr command_form wrap_export_pub_form{"AsymWrapExportPub", apdu_case4_auto, 0x80, flag, 0x84, 0x00, 0x00, 0};
constexpr command_form export_pub_form{"AsymExportPub", apdu_case4_auto, 0x80, flag, 0x84, 0x01, 0x00, 0};
constexpr command_form wrap_export_pri_form{"AsymWrapExportPri", apdu_case4_auto, 0x80, flag, 0x8B, 0x00, 0x00, 0};
constexpr command_form import_session_key_form{"AsymImportSessionKey", apdu_case3_auto, 0x80, flag, 0x85, 0x00,
                                               0x00, 0};
constexpr command_form export_session_key_form{"AsymExportSessionKey", apdu_case4_auto, 0x80, flag, 0x86, 0x00,
                                               0x00, 0};
constexpr command_form sign_hash_form{"AsymSign", apdu_case4_auto, 0x80, flag, 0x89, 0x00, 0x00, 0};
constexpr command_form sign_form{"AsymSign", apdu_case4_auto, 0x80, flag, 0x89, 0x01, 0x00, 0};
constexpr command_form verify_hash_form{"AsymVerifySign", apdu_case4_auto, 0x80, flag, 0x8A, 0x00, 0x00, 0};
constexpr command_form verify_form{"AsymVerifySign", apdu_case3_auto, 0x80, flag, 0x8A, 0x01, 0x00, 0};
constexpr command_form en_decrypt_form{"AsymEnDecrypt", apdu_case4_auto, 0x80, flag, 0x87, 0x00, 0x00, 0};
constexpr command_form key_operation_form{"AsymKeyOperation", apdu_case4_auto, 0x80, flag, 0x88, 0x00, 0x00, 0};

bool signature_length_fits(std::int32_t length) { return length >= 0 && length <= 0xFFFF; }

}  // namespace

TaviPrototcol_AsymManager::~TaviPrototcol_AsymManager() = default;

std::int32_t TaviPrototcol_AsymManager::build_gen_keypair(std::uint16_t public_key, std::uint16_t private_key,
                                                          std::uint32_t algorithm, std::uint8_t parameter1,
                                                          std::uint8_t parameter2) {
    command_data d(large_work_area);
    d.u16(public_key).u16(private_key).u32(algorithm).u8(parameter1).u8(parameter2);
    return build_with(*this, gen_keypair_form, d);
}

std::int32_t TaviPrototcol_AsymManager::build_wrap_import_pub(std::uint8_t wrap_key, std::uint16_t key,
                                                              std::uint32_t algorithm, std::uint8_t parameter1,
                                                              std::uint8_t parameter2, const std::uint8_t* data,
                                                              std::int32_t length) {
    command_data d(large_work_area);
    d.u16(key).u32(algorithm).u8(parameter1).u8(parameter2).caller_bytes(data, length);
    return build_with(*this, wrap_import_pub_form.with_p2(wrap_key), d);
}

std::int32_t TaviPrototcol_AsymManager::build_import_pub(std::uint16_t key, std::uint32_t algorithm,
                                                         std::uint8_t parameter1, std::uint8_t parameter2,
                                                         const std::uint8_t* data, std::int32_t length) {
    if (data == nullptr || length < 4) return status_unusable;
    std::uint32_t first;
    std::memcpy(&first, data, sizeof first);
    command_data d(large_work_area);
    d.u16(key).u32(algorithm).u8(parameter1).u8(parameter2).u32(first).caller_bytes(data + 4, length - 4);
    return build_with(*this, import_pub_form, d);
}

std::int32_t TaviPrototcol_AsymManager::build_import_pri(std::uint8_t wrap_key, std::uint16_t public_key,
                                                         std::uint16_t private_key, std::uint32_t algorithm,
                                                         std::uint8_t parameter1, std::uint8_t parameter2,
                                                         const std::uint8_t* data, std::int32_t length) {
    command_data d(large_work_area);
    d.u16(public_key).u16(private_key).u32(algorithm).u8(parameter1).u8(parameter2).caller_bytes(data, length);
    return build_with(*this, import_pri_form.with_p2(wrap_key), d);
}

std::int32_t TaviPrototcol_AsymManager::build_wrap_export_pub(std::uint8_t wrap_key, std::uint16_t key) {
    command_data d(large_work_area);
    d.u16(key);
    return build_with(*this, wrap_export_pub_form.with_p2(wrap_key), d);
}

std::int32_t TaviPrototcol_AsymManager::build_export_pub(std::uint16_t key) {
    command_data d(large_work_area);
    d.u16(key);
    return build_with(*this, export_pub_form, d);
}

std::int32_t TaviPrototcol_AsymManager::build_wrap_export_pri(std::uint8_t wrap_key, std::uint16_t key) {
    command_data d(large_work_area);
    d.u16(key);
    return build_with(*this, wrap_export_pri_form.with_p2(wrap_key), d);
}

std::int32_t TaviPrototcol_AsymManager::build_import_session_key(std::uint8_t session_key, std::uint16_t key,
                                                                 std::uint32_t key_type, const std::uint8_t* data,
                                                                 std::int32_t length) {
    command_data d(large_work_area);
    d.u16(key).u32(key_type).caller_bytes(data, length);
    return build_with(*this, import_session_key_form.with_p2(session_key), d);
}

std::int32_t TaviPrototcol_AsymManager::build_export_session_key(std::uint8_t session_key, std::uint16_t key) {
    command_data d(large_work_area);
    d.u16(key);
    return build_with(*this, export_session_key_form.with_p2(session_key), d);
}

std::int32_t TaviPrototcol_AsymManager::build_sign_hash(std::uint16_t key) {
    command_data d(large_work_area);
    d.u16(key).zeros(4);
    return build_with(*this, sign_hash_form, d);
}

std::int32_t TaviPrototcol_AsymManager::build_sign(std::uint16_t key, std::uint32_t algorithm,
                                                   const std::uint8_t* data, std::int32_t length) {
    command_data d(large_work_area);
    d.u16(key).u32(algorithm).caller_bytes(data, length);
    return build_with(*this, sign_form, d);
}

std::int32_t TaviPrototcol_AsymManager::build_verify_hash(std::uint16_t key, const std::uint8_t* signature,
                                                          std::int32_t signature_length) {
    if (!signature_length_fits(signature_length)) return status_unusable;
    command_data d(large_work_area);
    d.u16(key).zeros(4).u16(static_cast<std::uint16_t>(signature_length)).caller_bytes(signature, signature_length);
    return build_with(*this, verify_hash_form, d);
}

std::int32_t TaviPrototcol_AsymManager::build_verify(std::uint16_t key, std::uint32_t algorithm,
                                                     const std::uint8_t* signature, std::int32_t signature_length,
                                                     const std::uint8_t* data, std::int32_t length) {
    if (!signature_length_fits(signature_length)) return status_unusable;
    command_data d(large_work_area);
    d.u16(key)
        .u32(algorithm)
        .u16(static_cast<std::uint16_t>(signature_length))
        .caller_bytes(signature, signature_length)
        .caller_bytes(data, length);
    return build_with(*this, verify_form, d);
}

std::int32_t TaviPrototcol_AsymManager::build_en_decrypt(key_side side, std::uint16_t key, const std::uint8_t* data,
                                                         std::int32_t length) {
    command_data d(large_work_area);
    d.u16(key).caller_bytes(data, length);
    return build_with(*this, en_decrypt_form.with_p1(side), d);
}

std::int32_t TaviPrototcol_AsymManager::build_key_operation(key_side side, std::uint16_t key,
                                                            const std::uint8_t* data, std::int32_t length) {
    command_data d(large_work_area);
    d.u16(key).caller_bytes(data, length);
    return build_with(*this, key_operation_form.with_p1(side), d);
}

}  // namespace zervik
