// The device list's own singly linked list. A node points at a device but
// never owns it: dropping a node leaves the device alone (the device list
// deletes its devices itself).
#pragma once

#include <cstdint>

namespace zervik {

class device_winscard;

class mk_node {
public:
    explicit mk_node(device_winscard* device) : value(device) {}
    virtual ~mk_node() = default;

    mk_node(const mk_node&) = delete;
    mk_node& operator=(const mk_node&) = delete;

    mk_node* next = nullptr;
    device_winscard* value;
};

class mk_node_list {
public:
    mk_node_list() = default;
    // Frees the nodes, not the devices they point at.
    virtual ~mk_node_list();

    mk_node_list(const mk_node_list&) = delete;
    mk_node_list& operator=(const mk_node_list&) = delete;

    mk_node* head() const { return head_; }
    // Appends a node for value at the tail and returns it.
    mk_node* append(device_winscard* value);
    // Unlinks and frees node; false when it is not in the list.
    bool remove(mk_node* node);
    // The first node that points at value, or null.
    mk_node* find(const device_winscard* value) const;
    std::int32_t size() const;
    // Frees every node.
    void clear();

private:
    mk_node* head_ = nullptr;
};

}  // namespace zervik
