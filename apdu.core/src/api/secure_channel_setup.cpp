// The secure-channel set-up of the device family: an ephemeral P-521
// agreement with the card, then the SHA-512 derivation of the two channel
// keys, which the device keeps.
#include "api/taviapi_devmgr.h"
#include "protocol/device_manager.h"
#include "sm/kas.h"
#include "sm/secure_messaging.h"
#include "sm/wipe.h"

namespace zervik {

static_assert(TaviPrototcol_DeviceManager::card_key_size == kas_record_size, "key record size");
static_assert(device_base::sm_key_size == sm_key_length, "channel key size");

std::int32_t taviapi_devmgr::setup_secure_channel(std::size_t other_info_size) {
    if (device_ == nullptr) return status_failed;
    if (other_info_size > kas_other_info_max) return status_unusable;

    std::uint8_t card_key[kas_record_size];
    std::int32_t status = secure_message_gen_ephemeral(kas_algorithm_p521, 0, card_key);
    if (status != status_ok) return status;

    wiped_bytes<kas_value_size> host_private;
    std::uint8_t host_x[kas_value_size];
    std::uint8_t host_y[kas_value_size];
    status = kas_generate_keypair(host_private.data(), host_x, host_y);
    if (status != 0) return status;

    // The card's record: {bits, X, Y, 0}; X and Y are all that is read.
    wiped_bytes<kas_shared_size> z;
    status = kas_compute_shared(host_private.data(), host_x, host_y, card_key + 4, z.data(), z.size());
    if (status != 0) return status;

    const std::uint8_t other_info[kas_other_info_max] = {};
    wiped_bytes<2 * sm_key_length> derived;
    kas_kdf_sha512(z.data(), kas_shared_bits, other_info, other_info_size, derived.data(), derived.size());

    // Another thread may have removed the device while the first step ran:
    // look again before the device is used for the second step, and before
    // its keys are written.
    if (!still_listed()) return status_failed;
    std::uint8_t host_record[kas_record_size];
    kas_host_key_record(host_x, host_y, host_record);
    status = secure_message_kdf(kas_algorithm_p521, kas_algorithm_sha512, other_info, host_record, other_info_size);
    if (status != status_ok) return status;
    if (!still_listed()) return status_failed;

    // MAC key = bytes 0-31, encryption key = bytes 32-63.
    device_->set_session_keys(derived.data() + sm_key_length, derived.data());
    return status_ok;
}

}  // namespace zervik
