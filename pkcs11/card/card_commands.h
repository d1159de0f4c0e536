// The card commands the module core runs, one call each: every one checks
// the device handle first (1 for a handle that is not a listed device,
// nothing sent), builds its manager with the device and the module's
// secure-messaging flag as it stands, and returns the manager's result
// unchanged: 0 for the card's 9000, 1 (command could not be built or
// wrapped, or sending failed), 2 (no usable reply), 3 (a reply that does not
// fit its form or the caller's buffer; nothing written), 0x8005 (a wrapped
// reply that fails its check) or the card's status word.
//
// In/out lengths hold the capacity on entry and the byte count on success.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card_device.h"
#include "card_profile.h"

namespace solvantex {

// A fresh secure channel: both key-agreement steps in plain with the
// module's OtherInfo; the device keeps the channel keys.
std::int32_t card_setup_secure_channel(card_handle h);
// GetChallenge: exactly length bytes.
std::int32_t card_get_challenge(card_handle h, std::int32_t length, std::uint8_t* out);
std::int32_t card_delete_file_by_id(card_handle h, std::uint16_t file_id);
std::int32_t card_update_binary(card_handle h, const char* name, std::uint16_t offset, const std::uint8_t* data,
                                std::int32_t length, std::uint8_t mode);
std::int32_t card_gen_session_key(card_handle h, std::uint8_t session_slot, std::uint32_t algorithm);
// LoadSession: saved slot into session slot.
std::int32_t card_load_session(card_handle h, std::uint8_t session_slot, std::uint8_t saved_slot);
// SaveSession: session slot into saved slot.
std::int32_t card_save_session(card_handle h, std::uint8_t session_slot, std::uint8_t saved_slot);
// SymCryptInit: P2 the session slot, P1 the caller's value (the padding
// flag); data the IV, none for ECB.
std::int32_t card_sym_crypt_init(card_handle h, std::uint8_t session_slot, std::uint8_t p1,
                                 const std::uint8_t* data, std::int32_t length);
std::int32_t card_sym_encrypt_update(card_handle h, const std::uint8_t* data, std::int32_t length,
                                     std::uint8_t* out, std::int32_t* out_length);
std::int32_t card_sym_encrypt_final(card_handle h, const std::uint8_t* data, std::int32_t length,
                                    std::uint8_t* out, std::int32_t* out_length);
std::int32_t card_sym_decrypt_update(card_handle h, const std::uint8_t* data, std::int32_t length,
                                     std::uint8_t* out, std::int32_t* out_length);
std::int32_t card_sym_decrypt_final(card_handle h, const std::uint8_t* data, std::int32_t length,
                                    std::uint8_t* out, std::int32_t* out_length);
// AsymGenKeypair: public id, private id, algorithm, then the two option
// bytes (high byte of options first).
std::int32_t card_gen_key_pair(card_handle h, std::uint16_t public_id, std::uint32_t algorithm,
                               std::uint16_t private_id, std::uint16_t options);
// AsymImportPub: the key record as the key reader gives it (its first u32
// in host order); the option bytes are 3 and 0.
std::int32_t card_import_public_key(card_handle h, std::uint16_t key_id, std::uint32_t algorithm,
                                    const std::uint8_t* data, std::int32_t length);
// AsymImportPri: the wrapped key under the key-encryption key in kek_slot;
// session_reference goes in the data as the card's key-reference byte.
std::int32_t card_import_private_key(card_handle h, std::uint16_t private_id, std::uint16_t public_id,
                                     std::uint32_t algorithm, std::uint8_t session_reference,
                                     const std::uint8_t* wrapped, std::int32_t length);
// AsymExportPub: the algorithm id and the public block, its leading u32 in
// host order (*length: the capacity in, the block's length out).
std::int32_t card_export_public_key(card_handle h, std::uint16_t key_id, std::uint32_t* algorithm, std::uint8_t* out,
                                    std::int32_t* length);
std::int32_t card_asym_sign(card_handle h, std::uint16_t key_id, std::uint32_t algorithm, const std::uint8_t* data,
                            std::int32_t length, std::uint8_t* out, std::int32_t* out_length);
std::int32_t card_asym_decrypt(card_handle h, std::uint16_t key_id, const std::uint8_t* data, std::int32_t length,
                               std::uint8_t* out, std::int32_t* out_length);
// AsymKeyOperation with the private key: the raw RSA operation on k bytes.
std::int32_t card_asym_private_operation(card_handle h, std::uint16_t key_id, const std::uint8_t* data,
                                         std::int32_t length, std::uint8_t* out, std::int32_t* out_length);
// EnableDisableCD: on is 0 or 1.
std::int32_t card_enable_cd(card_handle h, std::uint8_t on);
// GetHealthStatus, always plain: exactly 8 bytes.
std::int32_t card_get_health(card_handle h, std::uint64_t* status);
// GetData of a tag (0x0101 label, 0x0102, 0x0103, 0x0104, 0x0106, 0x0109).
std::int32_t card_get_data(card_handle h, std::uint16_t tag, std::uint8_t* out, std::int32_t* out_length);
// PubData of a tag (0x0101: the token label).
std::int32_t card_put_data(card_handle h, std::uint16_t tag, const std::uint8_t* data, std::int32_t length);
// GetPINInfo's list form: at most capacity entries written, the card's
// entry count in *count.
std::int32_t card_get_pin_info_ex(card_handle h, pin_list_entry* entries, std::size_t capacity,
                                  std::size_t* count);
// FormatDevice with the module's 275-byte record.
std::int32_t card_format_device(card_handle h, const module_format_parameters& parameters);

// SessionKeyKAS into session_slot: the host's copy of the key to key. 1
// with nothing sent for an algorithm without a key length.
std::int32_t card_agree_session_key(card_handle h, std::uint8_t session_slot, std::uint32_t algorithm,
                                    std::uint8_t* key, std::int32_t* length);
// Loads the caller's key into session_slot: a key-encryption key agreed for
// this call, the key wrapped under it (RFC 3394), GenSessionKey and
// SymImportSessionKey. The first failing step's result.
std::int32_t card_obtain_secret_key(card_handle h, std::uint8_t session_slot, std::uint32_t algorithm,
                                    const std::uint8_t* key, std::int32_t length);

}  // namespace solvantex
