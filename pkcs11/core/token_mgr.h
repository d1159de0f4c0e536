// The module's slots: one pkcs11_token per token device of the card layer,
// each with the smallest slot id free when it was made, and the list of
// slot ids whose token arrived or left since C_WaitForSlotEvent last looked.
// Every operation runs under the module's global lock.
//
// A token has an identity of its own besides its slot id: a device that
// leaves and comes back, or another device that takes a freed slot id, is a
// new token with a new identity. Sessions record the identity of the token
// they were opened on, never just the slot id.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

#include "device_source.h"

namespace pkcs11 {

class pkcs11_token_objects;

// Login states of a token (the user types, and nobody).
constexpr CK_USER_TYPE login_nobody = 2;

class pkcs11_token {
public:
    pkcs11_token(std::string device_name, CK_SLOT_ID slot_id);
    ~pkcs11_token();
    pkcs11_token(const pkcs11_token&) = delete;
    pkcs11_token& operator=(const pkcs11_token&) = delete;

    const std::string& device_name() const { return device_name_; }
    CK_SLOT_ID slot_id() const { return slot_id_; }
    // Unique among all tokens this process ever made.
    std::uint64_t identity() const { return identity_; }

    // The card layer's device handle, opened on first need: 0 with *handle
    // set, or the card layer's failure.
    std::int32_t device(std::uintptr_t* handle);
    // Disconnects the card (an open handle is closed); the next card work
    // opens it again. The token objects go with the connection.
    void disconnect();
    bool connected() const { return handle_ != 0; }

    // Login state: CKU_SO, CKU_USER or login_nobody.
    CK_USER_TYPE login_state() const { return login_; }
    void set_login_state(CK_USER_TYPE state) { login_ = state; }

    // The token information record as the card was last read.
    CK_TOKEN_INFO& info() { return info_; }
    // Set when the full refresh ran on the current connection.
    bool connection_fresh = false;

    // Its object list and card stores.
    pkcs11_token_objects& objects() { return *objects_; }

private:
    std::string device_name_;
    CK_SLOT_ID slot_id_;
    std::uint64_t identity_;
    std::uintptr_t handle_ = 0;
    CK_USER_TYPE login_ = login_nobody;
    CK_TOKEN_INFO info_;
    std::unique_ptr<pkcs11_token_objects> objects_;
};

class pkcs11_token_mgr {
public:
    // Slots the module always reports when the caller asks for all slots.
    static constexpr CK_ULONG virtual_slot_count = 4;
    static constexpr std::size_t pending_capacity = 8;

    pkcs11_token_mgr();

    std::size_t count() const { return tokens_.size(); }
    pkcs11_token* find(CK_SLOT_ID slot_id) const;
    // The token of that slot when it still has that identity.
    pkcs11_token* find(CK_SLOT_ID slot_id, std::uint64_t identity) const;

    // Fills an empty list from the device source; the number of tokens.
    // A failed read leaves the list as it was.
    std::size_t enumerate(pkcs11_device_source& devices);
    // After a device event: tokens whose device left are dropped, new
    // devices get tokens, and each such slot id becomes pending.
    int refresh(pkcs11_device_source& devices);
    // The first pending slot id, which stops being pending; false if none.
    bool take_pending(CK_SLOT_ID& slot_id);
    // Drops every token and forgets the slot ids handed out (finalisation).
    void drop_all();

    // C_GetSlotList after its argument checks: with token_present FALSE the
    // slots 0 to 3 and every slot id above 3 given out since the module was
    // initialised, ascending, so that the list never shrinks and always
    // holds the token slots.
    CK_RV slot_list(CK_BBOOL token_present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) const;
    // C_GetSlotInfo for any slot id.
    void slot_info(CK_SLOT_ID slot_id, CK_SLOT_INFO& info) const;

private:
    pkcs11_token* find_by_name(const std::string& name) const;
    pkcs11_token& add(const std::string& name);
    void make_pending(CK_SLOT_ID slot_id);

    std::vector<std::unique_ptr<pkcs11_token>> tokens_;
    // The highest slot id given out since the last drop_all.
    CK_SLOT_ID highest_slot_ = 0;
    bool any_slot_ = false;
    // Slot ids, free_entry where unused.
    static constexpr std::int64_t free_entry = -1;
    std::array<std::int64_t, pending_capacity> pending_;
};

// A text copied into a fixed field, padded with blanks (never terminated).
void copy_padded(CK_UTF8CHAR* field, std::size_t size, const char* text);

}  // namespace pkcs11
