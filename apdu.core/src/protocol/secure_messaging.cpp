// The AES codec is not in this library yet. Until it is, a command that
// asks for secure messaging is refused (the builder reports 1 and nothing is
// sent), so no protected command ever travels in plain; and no reply can be
// unwrapped, because no command was wrapped.
#include "protocol/secure_messaging.h"

namespace zervik {

std::int32_t sm_wrap(ApduCommand& command, const std::uint8_t* encryption_key, const std::uint8_t* mac_key) {
    (void)command;
    (void)encryption_key;
    (void)mac_key;
    return sm_wrap_failed;
}

std::int32_t sm_unwrap(std::uint8_t* data, std::uint32_t length, std::uint32_t* plain_length,
                       const std::uint8_t* encryption_key, const std::uint8_t* mac_key) {
    (void)data;
    (void)length;
    (void)plain_length;
    (void)encryption_key;
    (void)mac_key;
    return sm_bad_mac;
}

}  // namespace zervik
