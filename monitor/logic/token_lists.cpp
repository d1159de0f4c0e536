#include "token_lists.h"

namespace mon {

std::vector<std::string> split_container_names(const char* buffer, std::size_t buffer_size,
                                               unsigned long length) {
    std::vector<std::string> names;
    if (!buffer) return names;
    std::size_t n = length < container_list_size ? length : container_list_size;
    if (n > buffer_size) n = buffer_size;
    std::string cur;
    for (std::size_t i = 0; i <= n; ++i) {
        unsigned char c = i < n ? static_cast<unsigned char>(buffer[i]) : 0;
        if (c > 0x20) {
            cur.push_back(static_cast<char>(c));
            continue;
        }
        if (c == ' ') {
            // A blank inside a name belongs to it; at a name's start or end
            // it is kept as well, as the list gives it.
            cur.push_back(' ');
            continue;
        }
        if (!cur.empty()) {
            if (names.size() < max_container_names) names.push_back(cur);
            cur.clear();
        }
    }
    return names;
}

std::uint32_t product_id_of(const ustring& path) {
    ustring up(path);
    for (auto& c : up)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    auto at = up.find(u"PID_");
    if (at == ustring::npos) return 0;
    ustring hex = up.substr(at + 4, 4);
    if (hex.empty()) return 0;
    std::uint32_t v = 0;
    for (char16_t c : hex) {
        int d;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
        else return 0;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

bool watched_product(std::uint32_t id) { return id == 0 || id == 0x0165 || id == 0x0166 || id == 0xF703; }

}  // namespace mon
