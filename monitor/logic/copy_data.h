// The records the manager application sends the monitor (WM_COPYDATA): the
// text a record's bytes carry and the command that text names. Window-less,
// so the same code reads the records on Windows and in the native tests.
#ifndef SOLVANTEX_MON_COPY_DATA_H
#define SOLVANTEX_MON_COPY_DATA_H

#include <cstddef>
#include <cstdint>

#include "ustring.h"

namespace mon {

enum class copy_data_action {
    ignored,   // no data: nothing is done
    message,   // kind 1: a progress text (or a message key's name) shown as a balloon
    reg_cert,  // "RegCert": the certificates are registered again
    update,    // "Update": the wait for an update stops
    balloon,   // any other text: shown as a balloon
};

struct copy_data_command {
    copy_data_action action = copy_data_action::ignored;
    ustring text;
};

// The text of a record's bytes: at most size / 2 UTF-16 units in the
// platform's byte order (a trailing odd byte belongs to none), up to the
// first NUL among them. Empty for no data or fewer than two bytes. The data
// need not be aligned.
ustring copy_data_text(const void* data, std::size_t size);

// What a record of that kind (dwData), data (lpData) and size (cbData)
// asks. A record without data (no pointer or no bytes) is ignored. Kind 1
// is a message whatever its text; for every other kind "RegCert" and
// "Update" are compared in any letter case, and any other text (an empty
// one too) is a balloon.
copy_data_command read_copy_data(std::uintptr_t kind, const void* data, std::size_t size);

}  // namespace mon

#endif
