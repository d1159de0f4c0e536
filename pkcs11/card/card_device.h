// The module's devices: the token readers (every reader whose name contains
// "Solvanta"), opening and closing them, and the wait for a token's arrival
// or removal that the slot monitor blocks in.
//
// A device handle is an id the card layer gives out, never the device's
// address: when a device is purged or closed its id dies with it, so a stale
// handle is refused even when a new device later takes the same address.
//
// Everything but the event wait and its cancel runs under the module's global
// lock; the card layer takes no lock of its own around the device list.
#pragma once

#include <cstdint>

#include "transport/device_winscard.h"

namespace solvantex {

using card_handle = std::uintptr_t;  // 0 is no device

// The reader-name word of the module's tokens (case-sensitive substring).
constexpr const char* token_reader_word = "Solvanta";

// Events of the wait.
constexpr std::int32_t token_arrived = 1;
constexpr std::int32_t token_removed = 2;
constexpr std::int32_t token_wait_cancelled = 3;

// The token readers as a double-NUL multi-string. *length: the capacity in;
// the bytes written out (0 with no reader, the buffer then holding an empty
// multi-string as far as it has room). Returns 0; 2 when the buffer is too
// short or null (*length := the bytes needed, nothing written); 1 for a null
// length; or the PC/SC service's failure code, with the device list left as
// it was (a service without readers is no failure).
std::int32_t list_devices(char* buffer, std::uint32_t* length);

// Connects the reader of that name (found in the device list, or added):
// 0 with *handle set and the module's secure-messaging flag cleared; 1 for a
// null or empty name or a null handle; else the connect result (the device
// stays listed, the flag unchanged).
std::int32_t open_device(const char* name, card_handle* handle);

// Disconnects the device, then unlinks and deletes it: 0, or 1 when the
// handle is not a device of the list.
std::int32_t close_device(card_handle handle);

// The listed device of a handle, or null.
zervik::device_winscard* device_of(card_handle handle);

// Blocks until a token arrives (1) or leaves (2) or the wait is cancelled
// (3): 0 with *event set; 1 for a null event or when no wait can be set up.
// A watch that ends by itself (a PC/SC failure) does not end the wait: it is
// started again. A cancel is sticky: a wait that starts after it returns 3
// at once, until restart_token_device_event.
std::int32_t wait_token_device_event(void* unused, std::int32_t* event);

// Cancels: stops and deletes the notifier and ends every wait with 3, now
// and later. No thread is killed; returns once no wait is left inside, or
// after a bound.
void cancel_token_device_event();

// Lets waits block again after a cancel (a new initialisation).
void restart_token_device_event();

}  // namespace solvantex
