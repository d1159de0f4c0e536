// The key-pair manager: one method per Zervik_Asym* export. Every command
// follows the secure-channel flag. In/out lengths hold the capacity on entry
// and the byte count on success; null outputs are refused (2, nothing sent).
#pragma once

#include <cstdint>

#include "api/taviapi_base.h"

namespace zervik {

class taviapi_keypairmgr : public taviapi_base {
public:
    using taviapi_base::taviapi_base;
    ~taviapi_keypairmgr() override;

    // The header of an exported key, and its bytes 4 and 5.
    struct export_outputs {
        std::int32_t* header;
        std::int32_t* byte4;
        std::int32_t* byte5;
        std::uint8_t* buffer;
        std::int32_t* length;
    };

    std::int32_t asym_gen_keypair(std::uint16_t public_key, std::uint16_t private_key, std::uint32_t algorithm,
                                  std::int32_t parameter1, std::int32_t parameter2);
    std::int32_t asym_wrap_import_pub(std::int32_t wrap_key, std::uint16_t key, std::uint32_t algorithm,
                                      std::int32_t parameter1, std::int32_t parameter2, const std::uint8_t* data,
                                      std::int32_t length);
    std::int32_t asym_import_pub(std::uint16_t key, std::uint32_t algorithm, std::int32_t parameter1,
                                 std::int32_t parameter2, const std::uint8_t* data, std::int32_t length);
    std::int32_t asym_wrap_import_pri(std::int32_t wrap_key, std::uint16_t public_key, std::uint16_t private_key,
                                      std::uint32_t algorithm, std::int32_t parameter1, std::int32_t parameter2,
                                      const std::uint8_t* data, std::int32_t length);
    std::int32_t asym_wrap_export_pub(std::int32_t wrap_key, std::uint16_t key, const export_outputs& out);
    // The first four bytes of the key come back in host order.
    std::int32_t asym_export_pub(std::uint16_t key, const export_outputs& out);
    std::int32_t asym_wrap_export_pri(std::int32_t wrap_key, std::uint16_t key, const export_outputs& out);
    std::int32_t asym_import_session_key(std::int32_t session_key, std::uint16_t key, std::uint32_t key_type,
                                         const std::uint8_t* data, std::int32_t length);
    std::int32_t asym_export_session_key(std::int32_t session_key, std::uint16_t key, std::uint32_t* header,
                                         std::uint8_t* buffer, std::int32_t* length);
    std::int32_t asym_sign_hash(std::uint16_t key, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t asym_sign(std::uint16_t key, std::uint32_t algorithm, const std::uint8_t* data,
                           std::int32_t data_length, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t asym_verify_hash(std::uint16_t key, const std::uint8_t* signature, std::int32_t signature_length);
    std::int32_t asym_verify(std::uint16_t key, const std::uint8_t* data, std::int32_t data_length,
                             std::uint32_t algorithm, const std::uint8_t* signature, std::int32_t signature_length);
    std::int32_t asym_public_encryption(std::uint16_t key, const std::uint8_t* data, std::int32_t data_length,
                                        std::uint8_t* buffer, std::int32_t* length);
    std::int32_t asym_private_decryption(std::uint16_t key, const std::uint8_t* data, std::int32_t data_length,
                                         std::uint8_t* buffer, std::int32_t* length);
    std::int32_t asym_public_operation(std::uint16_t key, const std::uint8_t* data, std::int32_t data_length,
                                       std::uint8_t* buffer, std::int32_t* length);
    std::int32_t asym_private_operation(std::uint16_t key, const std::uint8_t* data, std::int32_t data_length,
                                        std::uint8_t* buffer, std::int32_t* length);

private:
    // The en/decryption (raw false) or raw operation under one side of a key
    // pair (P1: 00 private, 01 public), the payload into the buffer.
    std::int32_t operation(bool raw, std::uint8_t side, std::uint16_t key, const std::uint8_t* data,
                           std::int32_t data_length, std::uint8_t* buffer, std::int32_t* length);
};

}  // namespace zervik
