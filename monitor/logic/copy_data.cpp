#include "copy_data.h"

#include <cstring>

namespace mon {

namespace {

bool same_ascii_ignoring_case(const ustring& text, const char* word) {
    std::size_t n = std::strlen(word);
    if (text.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

}  // namespace

ustring copy_data_text(const void* data, std::size_t size) {
    ustring text;
    if (!data || size < sizeof(char16_t)) return text;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::size_t units = size / sizeof(char16_t);
    for (std::size_t i = 0; i < units; ++i) {
        char16_t c;
        std::memcpy(&c, bytes + i * sizeof(char16_t), sizeof c);
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

copy_data_command read_copy_data(std::uintptr_t kind, const void* data, std::size_t size) {
    copy_data_command cmd;
    if (!data || size == 0) return cmd;
    cmd.text = copy_data_text(data, size);
    if (kind == 1) cmd.action = copy_data_action::message;
    else if (same_ascii_ignoring_case(cmd.text, "regcert")) cmd.action = copy_data_action::reg_cert;
    else if (same_ascii_ignoring_case(cmd.text, "update")) cmd.action = copy_data_action::update;
    else cmd.action = copy_data_action::balloon;
    return cmd;
}

}  // namespace mon
