// libFuzzer target over the container-name list the manager library gives
// and the product id of a USB device path. The first two bytes give the
// length the library reports; the rest is the buffer. Invariants beside no
// crash and no read past the buffer or past the reported length:
//  - at most 65 names, none empty, none with a byte below 0x20 other than
//    the blank, together no longer than the bytes read;
//  - below 65 names, the names one after the other are the bytes read with
//    every byte below 0x20 but the blank taken out;
//  - the names written again, each ended by a NUL, split into themselves;
//  - the product id is at most four hexadecimal digits' worth, and a path
//    built with "PID_%04X" (either case) of an id gives that id back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "token_lists.h"
#include "ustring.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void container_list(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return;
    const unsigned long reported = static_cast<unsigned long>(data[0]) << 8 | data[1];
    // The buffer is a copy of exactly the remaining bytes, so ASan sees any
    // read past it.
    const std::vector<char> buffer(data + 2, data + size);
    const std::size_t read = std::min<std::size_t>({reported, buffer.size(), mon::container_list_size});
    const auto names = mon::split_container_names(buffer.empty() ? nullptr : buffer.data(), buffer.size(), reported);
    require(names.size() <= mon::max_container_names);
    std::string joined, kept;
    std::size_t total = 0;
    for (const std::string& n : names) {
        require(!n.empty());
        for (unsigned char c : n) require(c >= 0x20);
        total += n.size();
        joined += n;
    }
    require(total <= read);
    for (std::size_t i = 0; i < read; ++i) {
        const unsigned char c = static_cast<unsigned char>(buffer[i]);
        if (c >= 0x20) kept.push_back(static_cast<char>(c));
    }
    if (names.size() < mon::max_container_names) {
        require(joined == kept);
    } else {
        require(kept.compare(0, joined.size(), joined) == 0);
    }
    std::string again;
    for (const std::string& n : names) again += n + '\0';
    require(mon::split_container_names(again.data(), again.size(), static_cast<unsigned long>(again.size())) == names);
    require(mon::split_container_names(nullptr, 16, 16).empty());
}

void product_id(const std::uint8_t* data, std::size_t size) {
    const mon::ustring path = mon::from_utf8(std::string(reinterpret_cast<const char*>(data), size));
    const std::uint32_t id = mon::product_id_of(path);
    require(id <= 0xFFFF);
    if (id == 0) require(mon::watched_product(0));

    const std::uint32_t want = size >= 2 ? (static_cast<std::uint32_t>(data[0]) << 8 | data[1]) : 0x0165;
    char text[80];
    std::snprintf(text, sizeof text, (want & 1) ? "\\\\?\\USB#VID_1A2B&pid_%04x#5&1&0#{a5dcbf10}" :
                                                  "\\\\?\\USB#VID_1A2B&PID_%04X#5&1&0#{a5dcbf10}", want);
    require(mon::product_id_of(mon::from_utf8(text)) == want);
    // With the fuzz text after it, the first PID_ still wins.
    require(mon::product_id_of(mon::from_utf8(text) + path) == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    container_list(data, size);
    product_id(data, size);
    return 0;
}
