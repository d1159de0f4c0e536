// The card's hash and MAC families (class 80, never with secure messaging):
// a context opened by Init, fed by Update and closed by Final, which may
// carry the last data and answers with the digest or the MAC.
#pragma once

#include <cstdint>

#include "protocol/tavi_protocol_base.h"

namespace zervik {

class TaviPrototcol_HashManager : public TaviProtocol_Base {
public:
    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_HashManager() override;

    std::int32_t build_digest_init(std::uint32_t algorithm);
    std::int32_t build_digest_update(const std::uint8_t* data, std::int32_t length);
    // Without data (length 0) the command only asks for the digest.
    std::int32_t build_digest_final(const std::uint8_t* data, std::int32_t length);
};

class TaviPrototcol_MacManager : public TaviProtocol_Base {
public:
    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_MacManager() override;

    std::int32_t build_mac_init(std::uint8_t session_key);
    std::int32_t build_mac_update(const std::uint8_t* data, std::int32_t length);
    std::int32_t build_mac_final(const std::uint8_t* data, std::int32_t length);
};

}  // namespace zervik
