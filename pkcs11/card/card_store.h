// The token's file store: the directory layout a format leaves behind, the
// ids of store files, and reading and writing named files in chunks.
//
//   3F00 MF
//   3F00/2000 "root" (17, 17): "cardid" 2001, "cardcf" 2002, "cardapps" 2003
//   3F00/2000/4000 "mscp" (255, 255): "cmapfile" 4001 and every store file,
//   whose id is the CRC-16/KERMIT of its name.
//
// Every store operation selects 3F00/2000/4000 by path first and runs its
// commands inside one PC/SC transaction, so neither another process nor a
// failure elsewhere can leave it working in the wrong directory.
//
// Results: 0; 1 (not a listed device, or sending failed); the core's 2, 3
// and 4; a card status word; or one of the local codes below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card_device.h"
#include "card_store_forms.h"

namespace solvantex {

// Fixed ids and names of the layout.
constexpr std::uint16_t cardfs_mf_id = 0x3F00;
constexpr std::uint16_t cardfs_root_id = 0x2000;
constexpr std::uint16_t cardfs_cardid_id = 0x2001;
constexpr std::uint16_t cardfs_cardcf_id = 0x2002;
constexpr std::uint16_t cardfs_cardapps_id = 0x2003;
constexpr std::uint16_t cardfs_app_dir_id = 0x4000;
constexpr std::uint16_t cardfs_cmapfile_id = 0x4001;
constexpr const char* cardfs_root_name = "root";
constexpr const char* cardfs_app_dir_name = "mscp";
constexpr const char* cardfs_cardid_name = "cardid";
constexpr const char* cardfs_cardcf_name = "cardcf";
constexpr const char* cardfs_cardapps_name = "cardapps";
constexpr const char* cardfs_cmapfile_name = "cmapfile";
constexpr std::int32_t cardfs_fixed_file_size = 16;
constexpr std::int32_t cardfs_cmapfile_size = 688;
constexpr std::int32_t cardfs_cardcf_used = 6;

// Access bytes the store uses.
constexpr std::uint8_t cardfs_access_any = 255;
constexpr std::uint8_t cardfs_access_so = 16;
constexpr std::uint8_t cardfs_access_user = 17;

// A PC/SC transaction around a sequence of commands. Guards for the same
// device nested on one thread share the outermost transaction. A device
// that cannot begin one leaves status() non-zero; the sequence must then
// not run.
class cardfs_transaction {
public:
    explicit cardfs_transaction(card_handle h);
    ~cardfs_transaction();
    cardfs_transaction(const cardfs_transaction&) = delete;
    cardfs_transaction& operator=(const cardfs_transaction&) = delete;
    std::int32_t status() const { return status_; }

private:
    card_handle handle_;
    bool began_ = false;   // this guard began a transaction
    bool outer_ = false;   // ... and it is the thread's outermost one
    bool nested_ = false;  // inside the outermost one of the same device
    std::int32_t status_ = 0;
};

// SelectFile by path from the MF: 3F00/2000, or 3F00/2000/4000.
std::int32_t cardfs_select_root(card_handle h);
std::int32_t cardfs_select_app_dir(card_handle h);

// Runs body (returning a status) in one transaction, "mscp" selected first.
template <typename Body>
std::int32_t cardfs_in_app_dir(card_handle h, Body&& body) {
    cardfs_transaction t(h);
    if (t.status() != 0) return t.status();
    const std::int32_t selected = cardfs_select_app_dir(h);
    if (selected != 0) return selected;
    return body();
}

// ---- store files (in "mscp", selected first) ----------------------------

// CreateFile of a transparent EF with id = CRC-16 of the name, type 0,
// third access byte 0.
std::int32_t cardfs_create_file(card_handle h, const char* name, std::uint32_t size, std::uint8_t access1,
                                std::uint8_t access2);
// Up to length bytes from offset, in chunks of at most 1024; the read stops
// early at the end of the file. *out_length: the bytes read (the rest of
// out is zero-filled). 0 or the first failing status.
std::int32_t cardfs_read_file(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                              std::uint8_t* out, std::uint32_t* out_length);
// Exactly length bytes from offset: cardfs_short_file when the file gives
// fewer (out zero-filled).
std::int32_t cardfs_read_fixed(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                               std::uint8_t* out);
// Writes in chunks of at most 1024 at offset (mode 0), or from 0 as a new
// content (mode 1). The first failing status; the chunks before it stay.
std::int32_t cardfs_write_file(card_handle h, const char* name, std::uint32_t offset, const std::uint8_t* data,
                               std::uint32_t length);
std::int32_t cardfs_write_new_file(card_handle h, const char* name, const std::uint8_t* data, std::uint32_t length);
// DeleteFile by name; a missing file (6A82) counts as deleted.
std::int32_t cardfs_delete_file(card_handle h, const char* name);
// SelectFile of the EF of that name.
std::int32_t cardfs_select_file_by_name(card_handle h, const char* name, cardfs_file_info* info);

// ---- root files ----------------------------------------------------------

// Sets "cardcf": byte 0 to 1, +1 on the u8 at 1 and the u16 (little-endian)
// at 2 and 4, wrapping. "mscp" is selected again on every way out.
std::int32_t cardfs_bump_cache_freshness(card_handle h);

// GetData of a card data object: exactly length bytes, else
// cardfs_short_file (out zero-filled).
std::int32_t cardfs_get_data(card_handle h, std::uint16_t tag, std::uint8_t* out, std::int32_t length);

// ---- helpers of the layer (no selection of their own) --------------------

// Checks a name (1 to 16 bytes) and an offset + length within 65535.
bool cardfs_valid_name(const char* name);
bool cardfs_valid_range(std::uint32_t offset, std::uint32_t length);
std::int32_t cardfs_read_here(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                              std::uint8_t* out, std::uint32_t* out_length);
std::int32_t cardfs_read_fixed_here(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                                    std::uint8_t* out);
std::int32_t cardfs_write_here(card_handle h, const char* name, std::uint32_t offset, const std::uint8_t* data,
                               std::uint32_t length, std::uint8_t mode);
// CreateFile EF with every field given, in the current directory.
std::int32_t cardfs_create_file_ex(card_handle h, std::uint16_t id, const char* name, std::uint8_t type,
                                   std::uint8_t access1, std::uint8_t access2, std::uint8_t access3,
                                   std::uint32_t size);
std::int32_t cardfs_create_dir(card_handle h, std::uint16_t id, const char* name, std::uint8_t access1,
                               std::uint8_t access2);
std::int32_t cardfs_delete_here(card_handle h, const char* name);

}  // namespace solvantex
