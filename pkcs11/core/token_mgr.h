// The module's slots: one pkcs11_token per token device of the card layer,
// each with the smallest slot id free when it was made, and the list of
// slot ids whose token arrived or left since C_WaitForSlotEvent last looked.
// Every operation runs under the module's global lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

#include "device_source.h"

namespace pkcs11 {

class pkcs11_token {
public:
    pkcs11_token(std::string device_name, CK_SLOT_ID slot_id);

    const std::string& device_name() const { return device_name_; }
    CK_SLOT_ID slot_id() const { return slot_id_; }

private:
    std::string device_name_;
    CK_SLOT_ID slot_id_;
};

class pkcs11_token_mgr {
public:
    // Slots the module reports when the caller asks for all slots.
    static constexpr CK_ULONG virtual_slot_count = 4;
    static constexpr std::size_t pending_capacity = 8;

    pkcs11_token_mgr();

    std::size_t count() const { return tokens_.size(); }
    pkcs11_token* find(CK_SLOT_ID slot_id) const;

    // Fills an empty list from the device source; the number of tokens.
    // A failed read leaves the list as it was.
    std::size_t enumerate(pkcs11_device_source& devices);
    // After a device event: tokens whose device left are dropped, new
    // devices get tokens, and each such slot id becomes pending.
    int refresh(pkcs11_device_source& devices);
    // The first pending slot id, which stops being pending; false if none.
    bool take_pending(CK_SLOT_ID& slot_id);
    void drop_all();

    // C_GetSlotList after its argument checks.
    CK_RV slot_list(CK_BBOOL token_present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) const;
    // C_GetSlotInfo for any slot id.
    void slot_info(CK_SLOT_ID slot_id, CK_SLOT_INFO& info) const;

private:
    pkcs11_token* find_by_name(const std::string& name) const;
    pkcs11_token& add(const std::string& name);
    void make_pending(CK_SLOT_ID slot_id);

    std::vector<std::unique_ptr<pkcs11_token>> tokens_;
    // Slot ids, free_entry where unused.
    static constexpr std::int64_t free_entry = -1;
    std::array<std::int64_t, pending_capacity> pending_;
};

// A text copied into a fixed field, padded with blanks (never terminated).
void copy_padded(CK_UTF8CHAR* field, std::size_t size, const char* text);

}  // namespace pkcs11
