// The session-key manager: session keys on the card and the card's
// symmetric cipher contexts, one method per export; the key agreement and
// the loading of a caller's key run several commands
// (session_key_agreement.cpp).
#pragma once

#include <cstdint>

#include "api/taviapi_base.h"
#include "sm/kas.h"

namespace zervik {

class taviapi_sessionkeymgr : public taviapi_base {
public:
    static constexpr std::uint32_t max_session_info_reply = 32;

    using taviapi_base::taviapi_base;
    ~taviapi_sessionkeymgr() override;

    // card_key: 144 bytes out.
    std::int32_t session_kas_generate_ephemeral(std::uint32_t algorithm, std::int32_t parameter,
                                                std::uint8_t* card_key);
    // other_info: other_info_size bytes (the library's 68 by default, at
    // most kas_other_info_max); host_key: 144 bytes.
    std::int32_t session_kdf(std::uint32_t first_id, std::uint32_t second_id, std::int32_t session_key,
                             std::uint32_t key_type, const std::uint8_t* other_info, const std::uint8_t* host_key,
                             std::size_t other_info_size = kas_other_info_size);
    std::int32_t gen_session_key(std::int32_t session_key, std::uint32_t key_type);
    std::int32_t create_session_key(std::int32_t session_key, std::uint32_t key_type, const std::uint8_t* key,
                                    std::int32_t length);
    // The first 4 reply bytes, big-endian; 3 for a reply shorter than 4 or
    // longer than 32 bytes.
    std::int32_t get_session_key_info(std::int32_t session_key, std::int32_t* info);
    std::int32_t destroy_session_key(std::int32_t session_key);
    std::int32_t destroy_all_session_keys();
    std::int32_t sym_import_session_key(std::int32_t wrap_key, std::int32_t session_key, std::uint32_t key_type,
                                        const std::uint8_t* wrapped, std::int32_t length);
    // 1 when the reply is shorter than its 4-byte header or the wrapped key
    // does not fit.
    std::int32_t sym_export_session_key(std::int32_t wrap_key, std::int32_t session_key, std::uint32_t* header,
                                        std::uint8_t* buffer, std::int32_t* length);
    std::int32_t sym_crypt_init(std::int32_t session_key, std::int32_t mode, const std::uint8_t* data,
                                std::int32_t length);
    // The cipher steps: 1 when the output does not fit; a Final without data
    // (length 0) only collects what the card still holds.
    std::int32_t sym_encrypt_update(const std::uint8_t* data, std::int32_t length, std::uint8_t* out,
                                    std::int32_t* out_length);
    std::int32_t sym_encrypt_final(const std::uint8_t* data, std::int32_t length, std::uint8_t* out,
                                   std::int32_t* out_length);
    std::int32_t sym_decrypt_update(const std::uint8_t* data, std::int32_t length, std::uint8_t* out,
                                    std::int32_t* out_length);
    std::int32_t sym_decrypt_final(const std::uint8_t* data, std::int32_t length, std::uint8_t* out,
                                   std::int32_t* out_length);

    // The agreement with the card: the card derives the session key of
    // key_type and keeps it under session_key; the host's copy goes to
    // buffer (1 when *length is below the type's key length; the card keeps
    // its key). The plain form makes a fresh host key pair; the fast form
    // uses one key pair made once per process. Both sides derive with
    // other_info_size zero bytes of OtherInfo (2 when it is longer than
    // kas_other_info_max).
    std::int32_t kas_session_key(std::int32_t session_key, std::uint32_t key_type, std::uint8_t* buffer,
                                 std::int32_t* length, std::size_t other_info_size = kas_other_info_size);
    std::int32_t kas_session_key_fast(std::int32_t session_key, std::uint32_t key_type, std::uint8_t* buffer,
                                      std::int32_t* length, std::size_t other_info_size = kas_other_info_size);
    // Loads the caller's key (a multiple of 8 bytes, 8 to 248) as
    // session_key of key_type: wrapped under an AES-256 key-encryption key
    // agreed under kek_id, then GenSessionKey and SymImportSessionKey. The
    // device keeps the agreed key per kek_id and reuses it; when the card's
    // refusal of the import under a kept key says that it lost that key (no
    // key under kek_id, or one that does not unwrap a key of the right
    // length), the key is agreed once more. Other refusals are returned.
    // The key-encryption key is agreed with other_info_size bytes of
    // OtherInfo.
    std::int32_t set_session_key(std::int32_t kek_id, std::int32_t session_key, std::uint32_t key_type,
                                 const std::uint8_t* key, std::int32_t length,
                                 std::size_t other_info_size = kas_other_info_size);

private:
    std::int32_t agree(std::int32_t session_key, std::uint32_t key_type, bool fast, std::uint8_t* buffer,
                       std::int32_t* length, std::size_t other_info_size);
    std::int32_t load_wrapped(const std::uint8_t* kek, std::uint8_t kek_id, std::int32_t session_key,
                              std::uint32_t key_type, const std::uint8_t* key, std::int32_t length, bool* kek_lost);
    std::int32_t cipher_step(std::uint8_t step, const std::uint8_t* data, std::int32_t length, std::uint8_t* out,
                             std::int32_t* out_length);
};

}  // namespace zervik
