// The module's profile of the card command core: what the PKCS #11 module's
// card commands do differently from the card library's. Everything else
// (APDU object, protocol frame, command tables, secure messaging, key
// agreement) is the core's own.
//
// - The module's secure-messaging flag: one process-wide value, 0 or 1,
//   copied into every manager the card layer builds.
// - 64 bytes of OtherInfo in both key agreements (the library sends 68).
// - Commands of the module only: SaveSession, LoadSession, EnableDisableCD,
//   the 275-byte FormatDevice record and the list form of GetPINInfo.
// - The card's symmetric steps give 3 for output that does not fit.
// - The key-encryption key of a secret-key import is agreed on every import:
//   the card keeps it in a volatile session slot that a reset, another
//   agreement or a key-pair import overwrites.
//
// Wrapped commands carry no sequence counter and each is encrypted under a
// zero IV: a wrapped command can be replayed and the status words are not
// protected. That is the card's protocol; the host cannot add to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "api/taviapi_configuremgr.h"
#include "api/taviapi_devmgr.h"
#include "api/taviapi_filemgr.h"
#include "api/taviapi_keypairmgr.h"
#include "api/taviapi_pinmgr.h"
#include "api/taviapi_sessionkeymgr.h"
#include "protocol/tavi_protocol_base.h"

namespace solvantex {

// OtherInfo of the module's key agreements: this many zero bytes.
constexpr std::size_t module_other_info_size = 64;
// The session slot the key-encryption key is agreed into, and its type.
constexpr std::uint8_t kek_slot = 1;
constexpr std::uint32_t kek_type = 0x40002021;  // AES-256

// ---- the module's secure-messaging flag ---------------------------------

// The flag as the next manager will copy it: 0 or 1.
std::int32_t module_sm_flag();
// Any non-zero value counts as 1.
void set_module_sm_flag(std::int32_t value);

// Raises (or sets) the flag for the life of the scope and puts back the
// value it found, also when the scope is left by an exception.
class sm_flag_scope {
public:
    explicit sm_flag_scope(std::int32_t value = 1);
    ~sm_flag_scope();
    sm_flag_scope(const sm_flag_scope&) = delete;
    sm_flag_scope& operator=(const sm_flag_scope&) = delete;

private:
    std::int32_t previous_;
};

// A card-library manager that copies the module's flag instead of the
// library's.
template <typename Manager>
class module_manager : public Manager {
public:
    module_manager(zervik::device_base* device, std::int32_t sm_flag) : Manager(device) {
        this->sm_flag_ = sm_flag != 0 ? 1 : 0;
    }
};

// ---- builders of the module's own commands ------------------------------

// FormatDevice record of the module: 275 bytes. Strings are copied up to
// their field less one byte (the rest zero); the serial takes 16 characters.
struct module_format_parameters {
    const char* manufacturer;
    const char* second_name;
    const char* label;
    const char* serial;
    std::uint8_t working_mode;
};
constexpr std::size_t module_format_record_size = 275;
// 0, or 2 for a null string.
std::int32_t build_module_format_record(const module_format_parameters& p,
                                        std::uint8_t record[module_format_record_size]);

class TaviPrototcol_ModuleProfile : public zervik::TaviProtocol_Base {
public:
    using zervik::TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_ModuleProfile() override;

    // SaveSession: session slot into saved slot. LoadSession: saved slot
    // into session slot. Neither carries data.
    std::int32_t build_save_session(std::uint8_t session_slot, std::uint8_t saved_slot);
    std::int32_t build_load_session(std::uint8_t session_slot, std::uint8_t saved_slot);
    std::int32_t build_enable_cd(std::uint8_t on);
};

// GetPINInfo's list form goes out as the library's GetPINInfo with this
// reference (P1 0, P2 3).
constexpr std::uint8_t pin_info_list_reference = 3;

// One entry of GetPINInfo's list: the algorithm id and byte 4.
struct pin_list_entry {
    std::uint32_t algorithm;
    std::uint8_t byte4;
};
constexpr std::size_t pin_info_entry_size = 11;

// The list reply: 11-byte entries, at most capacity of them written to
// entries and the reply's entry count (which may exceed capacity) to *count.
// 0; 3 for a reply that is no whole number of entries (nothing written).
std::int32_t parse_pin_info_list(const zervik::reply_view& reply, pin_list_entry* entries, std::size_t capacity,
                                 std::size_t* count);

// ---- the module's managers ---------------------------------------------

class module_devmgr : public module_manager<zervik::taviapi_devmgr> {
public:
    using module_manager::module_manager;
    // Both SecureMessageKAS steps in plain with the module's OtherInfo; the
    // keys go to the device.
    std::int32_t setup_module_channel();
    std::int32_t format_module_device(const module_format_parameters& parameters);
};

class module_sessionkeymgr : public module_manager<zervik::taviapi_sessionkeymgr> {
public:
    using module_manager::module_manager;
    std::int32_t save_session(std::uint8_t session_slot, std::uint8_t saved_slot);
    std::int32_t load_session(std::uint8_t session_slot, std::uint8_t saved_slot);
    // The cipher steps: 3 when the output does not fit *out_length.
    std::int32_t module_cipher_step(std::uint8_t step, const std::uint8_t* data, std::int32_t length,
                                    std::uint8_t* out, std::int32_t* out_length);
    // SessionKeyKAS into session_slot with the module's OtherInfo; the host's
    // copy of the key to key (capacity *length in, key length out). 1 with
    // nothing sent for an algorithm without a key length.
    std::int32_t agree_session_key(std::uint8_t session_slot, std::uint32_t algorithm, std::uint8_t* key,
                                   std::int32_t* length);
    // A fresh key-encryption key in kek_slot, the caller's key wrapped under
    // it, GenSessionKey and SymImportSessionKey into session_slot: the first
    // failing step's result. 1 with nothing sent for an algorithm without a
    // key length, or a key the wrap cannot take (8 to 248 bytes, whole
    // 8-byte blocks).
    std::int32_t obtain_secret_key(std::uint8_t session_slot, std::uint32_t algorithm, const std::uint8_t* key,
                                   std::int32_t length);
};

class module_pinmgr : public module_manager<zervik::taviapi_pinmgr> {
public:
    using module_manager::module_manager;
    std::int32_t get_pin_info_list(pin_list_entry* entries, std::size_t capacity, std::size_t* count);
};

class module_configuremgr : public module_manager<zervik::taviapi_configuremgr> {
public:
    using module_manager::module_manager;
    // EnableDisableCD; on is 0 or 1.
    std::int32_t enable_cd(std::uint8_t on);
};

}  // namespace solvantex
