// PINs, device authentication and the token format.
//
// A PIN never reaches the card in a check: the card sends a 16-byte
// challenge and the host answers with 3DES-EDE-CBC (zero IV) of it under
// the first 24 bytes of SHA-256 of the PIN (its first 32 bytes). PIN values
// travel only inside wrapped commands. Every sequence of commands (challenge
// and check, channel and wrapped command, the whole format) runs inside one
// PC/SC transaction, so another process cannot take the challenge or the
// channel in between.
//
// Results: 0, 1 (not a listed device, or sending failed), the core's codes,
// a card status word, or cardfs_bad_argument for input refused before any
// command. "tries" outputs are written only when the card answers 63Cx.
//
// Every token the module formats gets the same build-time device key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card_device.h"

namespace solvantex {

constexpr std::uint8_t cardfs_so_pin = 1;
constexpr std::uint8_t cardfs_user_pin = 2;
constexpr std::uint8_t cardfs_device_key_reference = 1;
constexpr std::size_t cardfs_pin_response_size = 16;
constexpr std::size_t cardfs_pin_max = 32;
constexpr std::size_t cardfs_remote_code_size = 16;
constexpr std::size_t cardfs_card_info_size = 128;
constexpr std::size_t cardfs_label_max = 32;

// The card's tries-left status: 63C0 to 63CF.
inline bool cardfs_is_tries_status(std::int32_t sw) { return (sw & 0xFFF0) == 0x63C0; }

// The response to a 16-byte challenge: 0, or 1 for a null buffer or a PIN
// that is not 1 byte or more.
std::int32_t cardfs_pin_response(const std::uint8_t* pin, std::size_t pin_length, const std::uint8_t* challenge,
                                 std::uint8_t* response);
// AES-256-ECB of a 32-byte challenge under a 32-byte key.
std::int32_t cardfs_device_cryptogram(const std::uint8_t* key, const std::uint8_t* challenge,
                                      std::uint8_t* cryptogram);

std::int32_t cardfs_verify_pin(card_handle h, std::uint8_t reference, const std::uint8_t* pin,
                               std::size_t pin_length, std::int32_t* tries);
// Under a fresh secure channel. New PINs are 1 to 32 bytes.
std::int32_t cardfs_change_pin(card_handle h, std::uint8_t reference, const std::uint8_t* old_pin,
                               std::size_t old_length, const std::uint8_t* new_pin, std::size_t new_length,
                               std::int32_t* tries);
// Unblocks the user PIN with the SO PIN (tries: the SO PIN's).
std::int32_t cardfs_unblock_pin(card_handle h, const std::uint8_t* so_pin, std::size_t so_length,
                                const std::uint8_t* new_pin, std::size_t new_length, std::int32_t* tries);
// Sets the user PIN (the SO PIN verified before).
std::int32_t cardfs_init_user_pin(card_handle h, const std::uint8_t* new_pin, std::size_t new_length);
// Unblocks the user PIN with the administrator's 16-byte response to the
// card's pending challenge.
std::int32_t cardfs_remote_unblock_pin(card_handle h, const std::uint8_t* code, std::size_t code_length,
                                       const std::uint8_t* new_pin, std::size_t new_length, std::int32_t* tries);
// GetPINInfo: the tries left and the "to be changed" byte.
std::int32_t cardfs_get_pin_info(card_handle h, std::uint8_t reference, std::int32_t* tries_left,
                                 std::int32_t* to_be_changed);
// ExternalAuth with the build's device key.
std::int32_t cardfs_device_auth(card_handle h, std::uint8_t key_reference);
// The token label (at most 32 bytes) by PubData 0101.
std::int32_t cardfs_set_label(card_handle h, const char* label, std::size_t length);
// GetData 0103: total and free space (at least 10 reply bytes).
std::int32_t cardfs_get_memory_info(card_handle h, std::uint32_t* total, std::uint32_t* free_space,
                                    std::uint16_t* last);
// GetData 0104: the working mode, the first byte of a little-endian word.
std::int32_t cardfs_get_working_mode(card_handle h, std::uint8_t* mode);
// Card random bytes (GetChallenge P1 1), in chunks of at most 1024.
std::int32_t cardfs_get_challenge8(card_handle h, std::uint8_t* out, std::size_t length);

struct cardfs_format_parameters {
    const std::uint8_t* card_info;  // 128 bytes as GetData 0101 gives them
    std::uint8_t working_mode;
    const std::uint8_t* so_pin;
    std::size_t so_length;  // 1 to 32
    std::uint8_t so_limit;
    const std::uint8_t* user_pin;
    std::size_t user_length;  // 1 to 32
    std::uint8_t user_limit;
    std::uint8_t cd_switch;  // 0 enable, 1 disable, other: leave
};
// Formats the token and lays down the root, the PINs, the fixed files and
// the store tables. A failed CD switch after them is reported in
// *cd_warning (the format stands). The card's security state is cleared at
// the end either way.
std::int32_t cardfs_format_token(card_handle h, const cardfs_format_parameters& p, std::int32_t* cd_warning);
// The steps of the format, each in the current state of the card.
std::int32_t cardfs_create_root(card_handle h, const cardfs_format_parameters& p);
std::int32_t cardfs_create_file_set(card_handle h, const std::uint8_t* so_pin, std::size_t so_length,
                                    const char* serial);

}  // namespace solvantex
