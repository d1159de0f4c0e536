// Status integers of the card library. Every manager method and every card
// command export returns one of these, or the card's status word SW1SW2 as a
// positive integer (0x6A82, 0x6982, ...), or a PC/SC code where an export
// hands back the device's own result (connect, transactions).
#pragma once

#include <cstdint>

namespace zervik {

enum status_code : std::int32_t {
    // The card answered 9000 and every output was written.
    status_ok = 0,
    // Several causes share this value and a caller cannot tell them apart:
    // a bad device handle, a command that could not be wrapped for secure
    // messaging, a command the device could not send, and a reply of the
    // "code 1" forms (symmetric data, configuration reads) that does not fit.
    status_failed = 1,
    // The command could not be built or serialised (bad input, nothing
    // sent), or the device got no usable reply.
    status_unusable = 2,
    // 9000, but the reply data is too short for its form or does not fit the
    // caller's buffer; nothing was written.
    status_reply_mismatch = 3,
    // 9000 to a select command whose file information cannot be read.
    status_bad_file_information = 4,
    // The reply failed the secure-messaging check or carried no status word.
    status_sm_reply = 0x8005,
};

constexpr std::int32_t sw_success = 0x9000;

}  // namespace zervik
