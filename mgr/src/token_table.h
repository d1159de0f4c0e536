// The token table behind binding.h, for the token, session and PIN
// exports: the 32 records, the count found, and the calls that change them.
#ifndef SOLVANTA_MGR_TOKEN_TABLE_H
#define SOLVANTA_MGR_TOKEN_TABLE_H

#include <cstdint>

#include "binding.h"

namespace mgr {

struct token_record {
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    unsigned char serial[16] = {};
    char label[64] = {};
    char manufacturer[32] = {};
    char model[16] = {};
    int max_pin = 0;
    int min_pin = 0;
    uint32_t total_private_memory = 0;
    uint32_t free_private_memory = 0;
    int firmware_version = 0;
    int hardware_version = 0;
    uint32_t extension_word = 0;
    int connected = 0;
    int initialised = 0;
    int max_pin2 = 0;
    int min_pin2 = 0;
    int protected_path = 0;
};

// The record of a valid index (0..count-1) while a module is bound, else
// nullptr.
token_record* record_at(int index);

// Replaces the found slots: the first n records take ids[i] (n at most
// max_tokens); their sessions and flags stay.
void set_found_slots(const CK_SLOT_ID* ids, int n);
// Sets the count to 0 (a failed search).
void clear_found_slots();

// The token refresh: token information and the extension word read into
// the record. 0, or 1 when either module call fails.
int refresh_record(const token_ref& t, token_record* r);

}  // namespace mgr

#endif  // SOLVANTA_MGR_TOKEN_TABLE_H
