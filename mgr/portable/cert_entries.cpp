#include "cert_entries.h"

#include <cstring>

#include "cert_files.h"

namespace mgr {

cert_entry::~cert_entry() {
    wipe(private_key);
    wipe(public_key);
}

void cert_entry_list::clear() {
    entries_.clear();  // each entry wipes its blobs
    wipe(file_);
}

bool cert_entry_list::add(cert_entry&& entry) {
    if (entries_.size() >= max_cert_entries) return false;
    entries_.push_back(std::move(entry));
    return true;
}

const cert_entry* cert_entry_list::at(int index) const {
    const auto i = static_cast<unsigned>(index);
    if (i >= entries_.size()) return nullptr;
    const cert_entry& e = entries_[i];
    return e.empty() ? nullptr : &e;
}

int cert_entry_list::info(int index, char* subject, char* issuer, int* ca_kind) const {
    const auto i = static_cast<unsigned>(index);
    if (i >= entries_.size() || subject == nullptr || issuer == nullptr || ca_kind == nullptr) return 1;
    const cert_entry& e = entries_[i];
    if (e.empty()) return 2;
    std::memcpy(subject, e.subject, std::strlen(e.subject) + 1);
    std::memcpy(issuer, e.issuer, std::strlen(e.issuer) + 1);
    *ca_kind = e.ca_kind;
    return 0;
}

void copy_name(char (&field)[cert_name_size], const char* name) {
    std::memset(field, 0, sizeof field);
    if (name == nullptr) return;
    std::size_t n = std::strlen(name);
    if (n >= sizeof field) n = sizeof field - 1;
    std::memcpy(field, name, n);
}

}  // namespace mgr
