// The asymmetric family of the card command set: key pairs by 16-bit id,
// their import and export (plain or wrapped under a session key), session
// keys under a key pair, signatures, encryption and the raw key operations.
// Every form follows the secure-channel flag.
#pragma once

#include <cstdint>

#include "protocol/tavi_protocol_base.h"

namespace zervik {

class TaviPrototcol_AsymManager : public TaviProtocol_Base {
public:
    // P1 of AsymEnDecrypt and AsymKeyOperation.
    enum key_side : std::uint8_t { private_side = 0x00, public_side = 0x01 };

    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_AsymManager() override;

    std::int32_t build_gen_keypair(std::uint16_t public_key, std::uint16_t private_key, std::uint32_t algorithm,
                                   std::uint8_t parameter1, std::uint8_t parameter2);
    std::int32_t build_wrap_import_pub(std::uint8_t wrap_key, std::uint16_t key, std::uint32_t algorithm,
                                       std::uint8_t parameter1, std::uint8_t parameter2, const std::uint8_t* data,
                                       std::int32_t length);
    // The key's first four bytes, a u32 in host order, go out big-endian: a
    // key of fewer than four bytes is refused (2).
    std::int32_t build_import_pub(std::uint16_t key, std::uint32_t algorithm, std::uint8_t parameter1,
                                  std::uint8_t parameter2, const std::uint8_t* data, std::int32_t length);
    std::int32_t build_import_pri(std::uint8_t wrap_key, std::uint16_t public_key, std::uint16_t private_key,
                                  std::uint32_t algorithm, std::uint8_t parameter1, std::uint8_t parameter2,
                                  const std::uint8_t* data, std::int32_t length);
    std::int32_t build_wrap_export_pub(std::uint8_t wrap_key, std::uint16_t key);
    std::int32_t build_export_pub(std::uint16_t key);
    std::int32_t build_wrap_export_pri(std::uint8_t wrap_key, std::uint16_t key);
    std::int32_t build_import_session_key(std::uint8_t session_key, std::uint16_t key, std::uint32_t key_type,
                                          const std::uint8_t* data, std::int32_t length);
    std::int32_t build_export_session_key(std::uint8_t session_key, std::uint16_t key);
    // Signs the card's current digest (the last DigestFinal).
    std::int32_t build_sign_hash(std::uint16_t key);
    std::int32_t build_sign(std::uint16_t key, std::uint32_t algorithm, const std::uint8_t* data, std::int32_t length);
    std::int32_t build_verify_hash(std::uint16_t key, const std::uint8_t* signature, std::int32_t signature_length);
    // Data order on the wire: key, algorithm, signature length, signature,
    // data.
    std::int32_t build_verify(std::uint16_t key, std::uint32_t algorithm, const std::uint8_t* signature,
                              std::int32_t signature_length, const std::uint8_t* data, std::int32_t length);
    std::int32_t build_en_decrypt(key_side side, std::uint16_t key, const std::uint8_t* data, std::int32_t length);
    std::int32_t build_key_operation(key_side side, std::uint16_t key, const std::uint8_t* data,
                                     std::int32_t length);
};

}  // namespace zervik
