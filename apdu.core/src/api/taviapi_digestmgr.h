// The card's hash and MAC managers: Init, Update and Final one command each,
// and the one-shot forms that open the context, feed the data in 1024-byte
// chunks and close it with the remainder. A failed step ends a one-shot call
// at once (no Final follows a failed Update); the handle is checked again
// before every command.
#pragma once

#include <cstdint>

#include "api/taviapi_base.h"

namespace zervik {

constexpr std::int32_t card_chunk_size = 1024;

class taviapi_hashmgr : public taviapi_base {
public:
    using taviapi_base::taviapi_base;
    ~taviapi_hashmgr() override;

    std::int32_t hash_init(std::uint32_t algorithm);
    std::int32_t hash_update(const std::uint8_t* data, std::int32_t length);
    std::int32_t hash_final(const std::uint8_t* data, std::int32_t length, std::uint8_t* digest,
                            std::int32_t* digest_length);
    std::int32_t hash(std::uint32_t algorithm, const std::uint8_t* data, std::int32_t length, std::uint8_t* digest,
                      std::int32_t* digest_length);
};

class taviapi_macmgr : public taviapi_base {
public:
    using taviapi_base::taviapi_base;
    ~taviapi_macmgr() override;

    std::int32_t mac_init(std::int32_t session_key);
    std::int32_t mac_update(const std::uint8_t* data, std::int32_t length);
    std::int32_t mac_final(const std::uint8_t* data, std::int32_t length, std::uint8_t* mac, std::int32_t* mac_length);
    std::int32_t mac(std::int32_t session_key, const std::uint8_t* data, std::int32_t length, std::uint8_t* mac,
                     std::int32_t* mac_length);
};

}  // namespace zervik
