#include "token_mgr.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "card_device.h"
#include "token_objects.h"

namespace pkcs11 {

namespace {

std::atomic<std::uint64_t> token_identities{1};

// Unknown memory figures: "unavailable" in the caller's CK_ULONG.
constexpr CK_ULONG memory_unknown = CK_UNAVAILABLE_INFORMATION;

void initial_info(CK_TOKEN_INFO& info) {
    std::memset(&info, 0, sizeof info);
    copy_padded(info.label, sizeof info.label, "Zervik Solvanta");
    copy_padded(info.manufacturerID, sizeof info.manufacturerID, "Tarnely");
    copy_padded(info.model, sizeof info.model, "E");
    copy_padded(info.serialNumber, sizeof info.serialNumber, "");
    info.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_DUAL_CRYPTO_OPERATIONS;
    info.ulMaxPinLen = 32;
    info.ulMinPinLen = 6;
    info.ulTotalPublicMemory = info.ulFreePublicMemory = memory_unknown;
    info.ulTotalPrivateMemory = info.ulFreePrivateMemory = memory_unknown;
    info.hardwareVersion = {1, 0};
    info.firmwareVersion = {1, 0};
}

}  // namespace

void copy_padded(CK_UTF8CHAR* field, std::size_t size, const char* text) {
    const std::size_t n = std::min(std::strlen(text), size);
    std::memset(field, ' ', size);
    std::memcpy(field, text, n);
}

pkcs11_token::pkcs11_token(std::string device_name, CK_SLOT_ID slot_id)
    : device_name_(std::move(device_name)),
      slot_id_(slot_id),
      identity_(token_identities.fetch_add(1)),
      objects_(new pkcs11_token_objects(*this)) {
    initial_info(info_);
}

pkcs11_token::~pkcs11_token() { disconnect(); }

std::int32_t pkcs11_token::device(std::uintptr_t* handle) {
    if (handle_ == 0 || solvantex::device_of(handle_) == nullptr) {
        // A connection that was lost: what was read over it is stale.
        if (handle_ != 0) objects_->drop_token_objects();
        handle_ = 0;
        connection_fresh = false;
        solvantex::card_handle opened = 0;
        const std::int32_t status = solvantex::open_device(device_name_.c_str(), &opened);
        if (status != 0) return status;
        handle_ = opened;
    }
    *handle = handle_;
    return 0;
}

void pkcs11_token::disconnect() {
    if (handle_ != 0) objects_->drop_token_objects();
    if (handle_ != 0) (void)solvantex::close_device(handle_);
    handle_ = 0;
    connection_fresh = false;
}

pkcs11_token_mgr::pkcs11_token_mgr() { pending_.fill(free_entry); }

pkcs11_token* pkcs11_token_mgr::find(CK_SLOT_ID slot_id) const {
    for (const auto& t : tokens_)
        if (t->slot_id() == slot_id) return t.get();
    return nullptr;
}

pkcs11_token* pkcs11_token_mgr::find(CK_SLOT_ID slot_id, std::uint64_t identity) const {
    pkcs11_token* token = find(slot_id);
    return token != nullptr && token->identity() == identity ? token : nullptr;
}

pkcs11_token* pkcs11_token_mgr::find_by_name(const std::string& name) const {
    for (const auto& t : tokens_)
        if (t->device_name() == name) return t.get();
    return nullptr;
}

pkcs11_token& pkcs11_token_mgr::add(const std::string& name) {
    CK_SLOT_ID slot = 0;
    while (find(slot) != nullptr) ++slot;
    tokens_.push_back(std::make_unique<pkcs11_token>(name, slot));
    if (!any_slot_ || slot > highest_slot_) highest_slot_ = slot;
    any_slot_ = true;
    return *tokens_.back();
}

std::size_t pkcs11_token_mgr::enumerate(pkcs11_device_source& devices) {
    std::vector<std::string> names;
    if (devices.list_devices(names) != 0) return tokens_.size();
    for (const std::string& name : names)
        if (find_by_name(name) == nullptr) add(name);
    pending_.fill(free_entry);
    return tokens_.size();
}

int pkcs11_token_mgr::refresh(pkcs11_device_source& devices) {
    std::vector<std::string> names;
    const int rc = devices.list_devices(names);
    if (rc != 0) return rc;
    for (auto it = tokens_.begin(); it != tokens_.end();) {
        if (std::find(names.begin(), names.end(), (*it)->device_name()) == names.end()) {
            make_pending((*it)->slot_id());
            it = tokens_.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& name : names)
        if (find_by_name(name) == nullptr) make_pending(add(name).slot_id());
    return 0;
}

void pkcs11_token_mgr::make_pending(CK_SLOT_ID slot_id) {
    const auto id = static_cast<std::int64_t>(slot_id);
    for (auto& entry : pending_) {
        if (entry == free_entry || entry == id) {
            entry = id;
            return;
        }
    }
    // All entries hold other slots: this event is dropped.
}

bool pkcs11_token_mgr::take_pending(CK_SLOT_ID& slot_id) {
    for (auto& entry : pending_) {
        if (entry != free_entry) {
            slot_id = static_cast<CK_SLOT_ID>(entry);
            entry = free_entry;
            return true;
        }
    }
    return false;
}

void pkcs11_token_mgr::drop_all() {
    tokens_.clear();
    highest_slot_ = 0;
    any_slot_ = false;
    pending_.fill(free_entry);
}

CK_RV pkcs11_token_mgr::slot_list(CK_BBOOL token_present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) const {
    if (token_present != CK_FALSE) {
        const auto n = static_cast<CK_ULONG>(tokens_.size());
        if (list == nullptr) {
            *count = n;
            return CKR_OK;
        }
        const CK_ULONG room = *count;
        *count = n;
        if (room < n) return CKR_BUFFER_TOO_SMALL;
        for (CK_ULONG i = 0; i < n; ++i) list[i] = tokens_[i]->slot_id();
        return CKR_OK;
    }
    // Every slot id from 0 up to the highest one handed out (at least 3):
    // ids are the smallest free ones, so every id below the highest was
    // handed out as well.
    const CK_ULONG n = any_slot_ && highest_slot_ >= virtual_slot_count ? highest_slot_ + 1 : virtual_slot_count;
    if (list == nullptr) {
        *count = n;
        return CKR_OK;
    }
    const CK_ULONG room = *count;
    *count = n;
    if (room < n) return CKR_BUFFER_TOO_SMALL;
    for (CK_ULONG i = 0; i < n; ++i) list[i] = i;
    return CKR_OK;
}

void pkcs11_token_mgr::slot_info(CK_SLOT_ID slot_id, CK_SLOT_INFO& info) const {
    char description[sizeof info.slotDescription + 1];
    std::snprintf(description, sizeof description, "Virtual Slot %lu", static_cast<unsigned long>(slot_id));
    copy_padded(info.slotDescription, sizeof info.slotDescription, description);
    copy_padded(info.manufacturerID, sizeof info.manufacturerID, "");
    info.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    if (find(slot_id) != nullptr) info.flags |= CKF_TOKEN_PRESENT;
    info.hardwareVersion = {1, 0};
    info.firmwareVersion = {1, 0};
}

}  // namespace pkcs11
