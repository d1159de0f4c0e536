// The test's own reading of the token's file system and store tables, from
// the virtual token's state dump: written apart from the module's decoders,
// so that the two cannot agree on a mistake.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/vtoken_control.h"

namespace store_layout {

using bytes = std::vector<unsigned char>;

// The PINs the tests format their tokens with.
inline const std::string so_pin = "12345678";
inline const std::string user_pin = "87654321";

inline const std::uint8_t* u8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

struct file_entry {
    std::string kind;  // "df" or "ef"
    int id = 0;
    std::string name;
    std::vector<int> access;
    int size = -1;  // EFs only
    bytes data;
};

// path ("3f00/2000/4000/...") -> file, every file of the token.
inline std::map<std::string, file_entry> files_of(test_support::vtoken_control& vt) {
    std::map<std::string, file_entry> out;
    const auto fs = vt.call("dump")["state"]["fs"];
    for (auto it = fs.begin(); it != fs.end(); ++it) {
        const auto& f = it.value();
        file_entry e;
        e.kind = f["kind"].get<std::string>();
        e.id = f["id"].get<int>();
        const bytes name = test_support::from_hex(f["name"].get<std::string>());
        e.name.assign(name.begin(), name.end());
        e.access = f["access"].get<std::vector<int>>();
        if (f.contains("size")) e.size = f["size"].get<int>();
        if (f.contains("data")) e.data = test_support::from_hex(f["data"].get<std::string>());
        out[it.key()] = e;
    }
    return out;
}

inline std::uint32_t le32(const bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16) |
           static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}

// One slot table as it lies on the card: tag, the used slots of the bitmap
// (slot 0 is the top bit of the first byte), and each slot's record bytes.
struct table {
    std::string tag;
    std::vector<int> used;
    std::vector<bytes> records;
};

inline table read_table(const bytes& file, std::size_t bitmap_bytes, std::size_t header, std::size_t record,
                        int slots) {
    table t;
    t.tag.assign(file.begin(), file.begin() + 4);
    for (int i = 0; i < slots; ++i) {
        if (file.at(4 + i / 8) & (0x80 >> (i % 8))) t.used.push_back(i);
        t.records.emplace_back(file.begin() + static_cast<long>(header + record * i),
                               file.begin() + static_cast<long>(header + record * (i + 1)));
    }
    (void)bitmap_bytes;
    return t;
}
inline table secret_table(const bytes& file) { return read_table(file, 2, 16, 187, 16); }
inline table data_table(const bytes& file) { return read_table(file, 8, 36, 185, 64); }

// Data-object record fields the tests look at.
inline std::uint32_t data_value_length(const bytes& record) { return le32(record, 172); }
inline std::string data_file_name(const bytes& record) {
    std::string s(record.begin() + 177, record.begin() + 185);
    return s.substr(0, s.find('\0'));
}
inline std::uint32_t in_use(const bytes& record) { return le32(record, 0); }

}  // namespace store_layout
