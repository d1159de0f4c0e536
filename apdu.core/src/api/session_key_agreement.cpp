// Session-key agreement with the card (P-521 ECDH, SHA-512 derivation) and
// the loading of a caller's key under an agreed key-encryption key.
#include <cstring>
#include <mutex>

#include "api/taviapi_sessionkeymgr.h"
#include "protocol/session_key_manager.h"
#include "sm/aes.h"
#include "sm/kas.h"
#include "sm/wipe.h"

namespace zervik {

static_assert(TaviProtocol_Base::card_key_size == kas_record_size, "key record size");
static_assert(device_base::kek_size == 32, "AES-256 key-encryption key");

namespace {

using session = TaviPrototcol_SessionKeyManager;

constexpr std::uint32_t kek_type = 0x40002021;  // AES-256
constexpr std::size_t wrapped_capacity = 256;

struct host_key_pair {
    wiped_bytes<kas_value_size> private_key;
    std::uint8_t x[kas_value_size];
    std::uint8_t y[kas_value_size];
};

// Whether the card's refusal of SymImportSessionKey says that it no longer
// holds the key-encryption key the host kept: no key under its reference (a
// reset, a reconnect, a destroy), or a key there that does not unwrap the
// data (the reference was reused). The card gives the second answer also for
// a key whose length is not its type's; that cause is known here, and such
// a refusal is returned as it is. Any other refusal has a cause of its own.
bool lost_kek(std::int32_t status, std::uint32_t key_type, std::int32_t key_length) {
    if (status == sw_reference_not_found) return true;
    return status == sw_wrong_data && session_key_length(key_type) == static_cast<std::size_t>(key_length);
}

// The host key pair of the fast agreement: made from the random source on
// first use, then kept for the life of the process.
int fast_key_pair(host_key_pair& out) {
    static std::mutex lock;
    static host_key_pair kept;
    static bool made = false;
    const std::lock_guard<std::mutex> hold(lock);
    if (!made) {
        const int status = kas_generate_keypair(kept.private_key.data(), kept.x, kept.y);
        if (status != 0) return status;
        made = true;
    }
    std::memcpy(out.private_key.data(), kept.private_key.data(), kas_value_size);
    std::memcpy(out.x, kept.x, kas_value_size);
    std::memcpy(out.y, kept.y, kas_value_size);
    return 0;
}

}  // namespace

std::int32_t taviapi_sessionkeymgr::agree(std::int32_t session_key, std::uint32_t key_type, bool fast,
                                          std::uint8_t* buffer, std::int32_t* length, std::size_t other_info_size) {
    if (buffer == nullptr || length == nullptr || other_info_size > kas_other_info_max) return status_unusable;

    std::uint8_t card_key[kas_record_size];
    std::uint32_t card_header = 0;
    std::int32_t status = keyed<session>(
        [](session& p) { return p.build_kas_gen_ephemeral(kas_algorithm_p521, 0); },
        [&](session& p) { return p.reply_session_key_agreement(&card_header, card_key); });
    if (status != status_ok) return status;

    host_key_pair host;
    status = fast ? fast_key_pair(host) : kas_generate_keypair(host.private_key.data(), host.x, host.y);
    if (status != 0) return status;

    if (!still_listed()) return status_failed;
    const std::uint8_t other_info[kas_other_info_max] = {};
    std::uint8_t host_record[kas_record_size];
    kas_host_key_record(host.x, host.y, host_record);
    status = session_kdf(kas_algorithm_p521, kas_algorithm_sha512, session_key, key_type, other_info, host_record,
                         other_info_size);
    if (status != status_ok) return status;

    // The card's record: {bits, X, Y, 0}; X and Y are all that is read.
    wiped_bytes<kas_shared_size> z;
    status = kas_compute_shared(host.private_key.data(), host.x, host.y, card_key + 4, z.data(), z.size());
    if (status != 0) return status;

    const std::size_t key_length = session_key_length(key_type);
    wiped_bytes<64> derived;
    kas_kdf_sha512(z.data(), kas_shared_bits, other_info, other_info_size, derived.data(), key_length);
    if (*length < 0 || static_cast<std::size_t>(*length) < key_length) return status_failed;
    if (key_length != 0) std::memcpy(buffer, derived.data(), key_length);
    *length = static_cast<std::int32_t>(key_length);
    return status_ok;
}

std::int32_t taviapi_sessionkeymgr::kas_session_key(std::int32_t session_key, std::uint32_t key_type,
                                                    std::uint8_t* buffer, std::int32_t* length,
                                                    std::size_t other_info_size) {
    return agree(session_key, key_type, false, buffer, length, other_info_size);
}

std::int32_t taviapi_sessionkeymgr::kas_session_key_fast(std::int32_t session_key, std::uint32_t key_type,
                                                         std::uint8_t* buffer, std::int32_t* length,
                                                         std::size_t other_info_size) {
    return agree(session_key, key_type, true, buffer, length, other_info_size);
}

std::int32_t taviapi_sessionkeymgr::load_wrapped(const std::uint8_t* kek, std::uint8_t kek_id, std::int32_t session_key,
                                                 std::uint32_t key_type, const std::uint8_t* key, std::int32_t length,
                                                 bool* kek_lost) {
    *kek_lost = false;
    std::uint8_t wrapped[wrapped_capacity];
    std::uint16_t wrapped_length = sizeof wrapped;
    std::int32_t status =
        aes_key_wrap(kek, device_base::kek_size, key, static_cast<std::size_t>(length), wrapped, &wrapped_length);
    if (status != 0) return status;
    if (!still_listed()) return status_failed;
    status = gen_session_key(session_key, key_type);
    if (status != status_ok) return status;
    if (!still_listed()) return status_failed;
    status = sym_import_session_key(kek_id, session_key, key_type, wrapped, wrapped_length);
    *kek_lost = lost_kek(status, key_type, length);
    return status;
}

std::int32_t taviapi_sessionkeymgr::set_session_key(std::int32_t kek_id, std::int32_t session_key,
                                                    std::uint32_t key_type, const std::uint8_t* key,
                                                    std::int32_t length, std::size_t other_info_size) {
    if (device_ == nullptr) return status_failed;
    // What the key wrap refuses is refused before anything is sent.
    if (key == nullptr || length < 8 || length % 8 != 0 || length > static_cast<std::int32_t>(wrapped_capacity - 8))
        return status_failed;
    const auto id = static_cast<std::uint8_t>(kek_id);

    wiped_bytes<device_base::kek_size> kek;
    bool fresh = false;
    for (;;) {
        if (!device_->cached_kek(id, kek.data())) {
            std::int32_t kek_length = kek.size();
            const std::int32_t status = kas_session_key(id, kek_type, kek.data(), &kek_length, other_info_size);
            if (status != status_ok) return status;
            if (!still_listed()) return status_failed;
            device_->cache_kek(id, kek.data());
            fresh = true;
        }
        bool kek_lost = false;
        const std::int32_t status = load_wrapped(kek.data(), id, session_key, key_type, key, length, &kek_lost);
        if (!kek_lost || fresh) return status;
        // The card no longer holds the kept key: agree once more.
        if (!still_listed()) return status_failed;
        device_->drop_kek(id);
    }
}

}  // namespace zervik
