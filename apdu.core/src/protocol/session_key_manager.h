// The session-key family of the card command set: session keys by one-byte
// reference (agreement, generation, creation, information, destruction,
// wrapped import and export) and the card's symmetric cipher contexts.
// The key-management forms follow the secure-channel flag; the cipher forms
// (SymCryptInit and the Sym*Update/Final forms) always go plain.
#pragma once

#include <cstdint>

#include "protocol/tavi_protocol_base.h"
#include "sm/kas.h"

namespace zervik {

class TaviPrototcol_SessionKeyManager : public TaviProtocol_Base {
public:
    enum cipher_step : std::uint8_t {
        encrypt_update = 0x64,
        encrypt_final = 0x65,
        decrypt_update = 0x66,
        decrypt_final = 0x67,
    };

    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_SessionKeyManager() override;

    // Agreement, step 1: the card's ephemeral key pair.
    std::int32_t build_kas_gen_ephemeral(std::uint32_t algorithm, std::uint8_t parameter);
    // Agreement, step 2: the card derives the session key of key_type and
    // keeps it under session_key. other_info: other_info_size bytes (at most
    // kas_other_info_max); host_key: card_key_size bytes.
    std::int32_t build_kas_kdf(std::uint32_t first_id, std::uint32_t second_id, std::uint8_t session_key,
                               std::uint32_t key_type, const std::uint8_t* other_info, const std::uint8_t* host_key,
                               std::size_t other_info_size = kas_other_info_size);
    std::int32_t build_gen_session_key(std::uint8_t session_key, std::uint32_t key_type);
    std::int32_t build_create_session_key(std::uint8_t session_key, std::uint32_t key_type, const std::uint8_t* key,
                                          std::int32_t length);
    std::int32_t build_destroy_session_key(std::uint8_t session_key);
    std::int32_t build_destroy_all_session_keys();
    std::int32_t build_get_session_info(std::uint8_t session_key);
    std::int32_t build_sym_import_session_key(std::uint8_t wrap_key, std::uint8_t session_key, std::uint32_t key_type,
                                              const std::uint8_t* wrapped, std::int32_t length);
    std::int32_t build_sym_export_session_key(std::uint8_t wrap_key, std::uint8_t session_key);
    // Without data (length 0) the command has no data field.
    std::int32_t build_sym_crypt_init(std::uint8_t session_key, std::uint8_t mode, const std::uint8_t* data,
                                      std::int32_t length);
    // Update forms need data; a Final without data only asks for the reply.
    std::int32_t build_sym_crypt(cipher_step step, const std::uint8_t* data, std::int32_t length);
};

}  // namespace zervik
