// Status integers of the card library. Every manager method and every card
// command export returns one of these, or the card's status word SW1SW2 as a
// positive integer (0x6A82, 0x6982, ...), or a PC/SC code where an export
// hands back the device's own result (connect, transactions).
#pragma once

#include <cstdint>

#include "zervik_status.h"

namespace zervik {

enum status_code : std::int32_t {
    // The card answered 9000 and every output was written.
    status_ok = ZERVIK_OK,
    // Several causes share this value and a caller cannot tell them apart:
    // a bad device handle, a command that could not be wrapped for secure
    // messaging, a command the device could not send, and a reply of the
    // "code 1" forms (symmetric data, configuration reads) that does not fit.
    status_failed = ZERVIK_ERR_DEVICE,
    // The command could not be built or serialised (bad input, nothing
    // sent), or the device got no usable reply.
    status_unusable = ZERVIK_ERR_REPLY,
    // 9000, but the reply data is too short for its form or does not fit the
    // caller's buffer; nothing was written.
    status_reply_mismatch = ZERVIK_ERR_SIZE,
    // 9000 to a select command whose file information cannot be read.
    status_bad_file_information = ZERVIK_ERR_FILE_INFO,
    // The reply failed the secure-messaging check or carried no status word.
    status_sm_reply = ZERVIK_ERR_SECURE_MESSAGING,
};

constexpr std::int32_t sw_success = 0x9000;
// Card refusals the library tells apart.
constexpr std::int32_t sw_wrong_data = 0x6A80;           // data the card cannot take
constexpr std::int32_t sw_reference_not_found = 0x6A88;  // nothing under that reference
constexpr std::int32_t sw_file_not_found = 0x6A82;       // no such file
constexpr std::int32_t sw_file_exists = 0x6A89;          // a file with that id or name exists
constexpr std::int32_t sw_security_not_satisfied = 0x6982;  // an access condition (a PIN) not met
constexpr std::int32_t sw_not_enough_memory = 0x6A84;       // the card's file system is full

}  // namespace zervik
