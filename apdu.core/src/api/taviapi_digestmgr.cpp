#include "api/taviapi_digestmgr.h"

#include "protocol/digest_manager.h"

namespace zervik {

namespace {

// Init, the whole chunks, then Final with the rest (none when the length is
// a multiple of the chunk size).
template <class Check, class Init, class Update, class Final>
std::int32_t one_shot(Check&& still_listed, const std::uint8_t* data, std::int32_t length, Init&& init,
                      Update&& update, Final&& final_step) {
    if (length < 0 || (data == nullptr && length != 0)) return status_unusable;
    std::int32_t status = init();
    if (status != status_ok) return status;
    const std::int32_t chunks = length / card_chunk_size;
    for (std::int32_t k = 0; k < chunks; ++k) {
        if (!still_listed()) return status_failed;
        status = update(data + static_cast<std::size_t>(k) * card_chunk_size, card_chunk_size);
        if (status != status_ok) return status;
    }
    if (!still_listed()) return status_failed;
    const std::int32_t rest = length % card_chunk_size;
    return final_step(rest == 0 ? nullptr : data + static_cast<std::size_t>(chunks) * card_chunk_size, rest);
}

}  // namespace

taviapi_hashmgr::~taviapi_hashmgr() = default;

using hash_protocol = TaviPrototcol_HashManager;
using mac_protocol = TaviPrototcol_MacManager;

std::int32_t taviapi_hashmgr::hash_init(std::uint32_t algorithm) {
    return keyed<hash_protocol>([&](hash_protocol& p) { return p.build_digest_init(algorithm); },
                                [](hash_protocol& p) { return p.reply_status(); });
}

std::int32_t taviapi_hashmgr::hash_update(const std::uint8_t* data, std::int32_t length) {
    return keyed<hash_protocol>([&](hash_protocol& p) { return p.build_digest_update(data, length); },
                                [](hash_protocol& p) { return p.reply_status(); });
}

std::int32_t taviapi_hashmgr::hash_final(const std::uint8_t* data, std::int32_t length, std::uint8_t* digest,
                                         std::int32_t* digest_length) {
    if (digest == nullptr || digest_length == nullptr) return status_unusable;
    return keyed<hash_protocol>([&](hash_protocol& p) { return p.build_digest_final(data, length); },
                                [&](hash_protocol& p) { return p.reply_data(digest, digest_length); });
}

std::int32_t taviapi_hashmgr::hash(std::uint32_t algorithm, const std::uint8_t* data, std::int32_t length,
                                   std::uint8_t* digest, std::int32_t* digest_length) {
    if (digest == nullptr || digest_length == nullptr) return status_unusable;
    return one_shot(
        [this] { return still_listed(); }, data, length, [&] { return hash_init(algorithm); },
        [&](const std::uint8_t* chunk, std::int32_t n) { return hash_update(chunk, n); },
        [&](const std::uint8_t* rest, std::int32_t n) { return hash_final(rest, n, digest, digest_length); });
}

taviapi_macmgr::~taviapi_macmgr() = default;

std::int32_t taviapi_macmgr::mac_init(std::int32_t session_key) {
    return keyed<mac_protocol>(
        [&](mac_protocol& p) { return p.build_mac_init(static_cast<std::uint8_t>(session_key)); },
        [](mac_protocol& p) { return p.reply_status(); });
}

std::int32_t taviapi_macmgr::mac_update(const std::uint8_t* data, std::int32_t length) {
    return keyed<mac_protocol>([&](mac_protocol& p) { return p.build_mac_update(data, length); },
                               [](mac_protocol& p) { return p.reply_status(); });
}

std::int32_t taviapi_macmgr::mac_final(const std::uint8_t* data, std::int32_t length, std::uint8_t* mac,
                                       std::int32_t* mac_length) {
    if (mac == nullptr || mac_length == nullptr) return status_unusable;
    return keyed<mac_protocol>([&](mac_protocol& p) { return p.build_mac_final(data, length); },
                               [&](mac_protocol& p) { return p.reply_data(mac, mac_length); });
}

std::int32_t taviapi_macmgr::mac(std::int32_t session_key, const std::uint8_t* data, std::int32_t length,
                                 std::uint8_t* mac, std::int32_t* mac_length) {
    if (mac == nullptr || mac_length == nullptr) return status_unusable;
    return one_shot(
        [this] { return still_listed(); }, data, length, [&] { return mac_init(session_key); },
        [&](const std::uint8_t* chunk, std::int32_t n) { return mac_update(chunk, n); },
        [&](const std::uint8_t* rest, std::int32_t n) { return mac_final(rest, n, mac, mac_length); });
}

}  // namespace zervik
