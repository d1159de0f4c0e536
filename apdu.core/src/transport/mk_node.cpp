#include "transport/mk_node.h"

namespace zervik {

mk_node_list::~mk_node_list() {
    clear();
}

mk_node* mk_node_list::append(device_winscard* value) {
    auto* node = new mk_node(value);
    mk_node** link = &head_;
    while (*link != nullptr) link = &(*link)->next;
    *link = node;
    return node;
}

bool mk_node_list::remove(mk_node* node) {
    for (mk_node** link = &head_; *link != nullptr; link = &(*link)->next) {
        if (*link == node) {
            *link = node->next;
            delete node;
            return true;
        }
    }
    return false;
}

mk_node* mk_node_list::find(const device_winscard* value) const {
    for (mk_node* n = head_; n != nullptr; n = n->next)
        if (n->value == value) return n;
    return nullptr;
}

std::int32_t mk_node_list::size() const {
    std::int32_t count = 0;
    for (mk_node* n = head_; n != nullptr; n = n->next) ++count;
    return count;
}

void mk_node_list::clear() {
    while (head_ != nullptr) {
        mk_node* next = head_->next;
        delete head_;
        head_ = next;
    }
}

}  // namespace zervik
