// The library's one list of devices, the readers it is refreshed from, and
// the helpers the exported functions use on it. A device handle given to
// callers is the address of a device_winscard of this list.
//
// The list, its cursor and the devices carry no lock: callers serialise the
// calls that change the list.
#pragma once

#include <cstdint>

#include "platform/pcsc_api.h"
#include "transport/device_winscard.h"
#include "transport/mk_node.h"

namespace zervik {

// Readers kept by one listing, each name NUL-terminated in its own slot.
constexpr std::int32_t max_listed_readers = 32;
struct reader_name_slots {
    char name[max_listed_readers][device_winscard::reader_name_size];
};

// The operations of a device list; every one has a trivial default.
class device_discover {
public:
    virtual ~device_discover() = default;

    // The readers whose name contains filter, into slots: how many.
    virtual std::int32_t list_readers(const char* filter, reader_name_slots& slots);
    // refresh, keeping the reader count: the reader count.
    virtual std::int32_t enumerate(const char* filter);
    // Marks listed devices present or removed and adds new readers.
    virtual std::int32_t refresh(std::int32_t* removed, std::int32_t* added, const char* filter);
    virtual device_winscard* device_at(std::int32_t index);
    virtual std::int32_t device_count();
    virtual device_winscard* first(mk_node*& cursor);
    virtual device_winscard* next(mk_node*& cursor);
    virtual device_winscard* node_device(const mk_node* node);
    // Deletes every device marked removed: 0.
    virtual std::int32_t purge_removed();
    // Always a new device, holding the outside context and card handle.
    virtual device_winscard* add_device(const char* name, platform::pcsc_context context,
                                        platform::pcsc_handle card);
    virtual device_winscard* find_or_create(const char* name);
    // Unlinks node and deletes its device: 0, or 1 for a node not listed.
    virtual std::int32_t remove_device(mk_node* node);
    // Deletes the first device of that name, if one is listed: 0.
    virtual std::int32_t remove_by_name(const char* name);
};

class device_sc_manager : public device_discover {
public:
    static constexpr std::uint32_t filter_size = 1024;

    device_sc_manager();
    // Deletes every device, which releases what each opened itself; during
    // process exit on Windows only the nodes are freed.
    ~device_sc_manager() override;

    std::int32_t list_readers(const char* filter, reader_name_slots& slots) override;
    std::int32_t enumerate(const char* filter) override;
    std::int32_t refresh(std::int32_t* removed, std::int32_t* added, const char* filter) override;
    // As refresh, from readers the caller has listed: the reader count.
    std::int32_t refresh_from(const reader_name_slots& slots, std::int32_t count, std::int32_t* removed,
                              std::int32_t* added);
    device_winscard* device_at(std::int32_t index) override;
    std::int32_t device_count() override;
    device_winscard* first(mk_node*& cursor) override;
    device_winscard* next(mk_node*& cursor) override;
    device_winscard* node_device(const mk_node* node) override;
    std::int32_t purge_removed() override;
    device_winscard* add_device(const char* name, platform::pcsc_context context,
                                platform::pcsc_handle card) override;
    device_winscard* find_or_create(const char* name) override;
    std::int32_t remove_device(mk_node* node) override;
    std::int32_t remove_by_name(const char* name) override;

    const mk_node_list& nodes() const { return list_; }
    std::int32_t reader_count() const { return reader_count_; }
    const char* filter() const { return filter_; }
    // The cursor the exported functions walk the list with.
    mk_node*& cursor() { return cursor_; }

private:
    mk_node* node_named(const char* name) const;
    // Moves the cursor off node, unlinks it and deletes its device.
    void drop(mk_node* node);

    mk_node_list list_;
    std::int32_t reader_count_ = 0;
    char filter_[filter_size] = {};
    mk_node* cursor_ = nullptr;
};

// The library's device list.
device_sc_manager& device_manager();

// Reader names from the PC/SC service that contain filter (every reader
// for an empty filter), at most max_listed_readers; names too long for a
// device are skipped. 0 when the service fails.
std::int32_t list_reader_names(const char* filter, reader_name_slots& slots);
// As list_reader_names, telling a failing service from one without readers:
// 0 with the count in *found (0 when the service has no reader), or the
// service's failure code with *found 0.
std::int32_t list_reader_names_checked(const char* filter, reader_name_slots& slots, std::int32_t* found);

// The first listed device of exactly that name, or null.
device_winscard* find_device_by_name(const char* name);

// Deletes a listed device, moving the list cursor off it first: 0, or 1
// when the device is not listed.
std::int32_t remove_device_from_list(const device_winscard* device);

// 1 for a null handle, 0 for a device of the list, 2 for anything else;
// never looks behind the handle.
std::int32_t check_device_handle(const void* handle);

// The handle as a listed device, or null.
device_winscard* listed_device(const void* handle);

// Called by the DLL entry point when the process is exiting: the list then
// leaves its devices alone at unload.
void note_process_exit();

}  // namespace zervik
