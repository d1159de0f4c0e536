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

// The paths of the two slot tables.
inline const char* const secret_path = "3f00/2000/4000/keyObjects";
inline const char* const data_path = "3f00/2000/4000/ObjFileIdx";

// n bytes that differ from one seed to another.
inline bytes pattern(std::size_t n, unsigned seed) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 7 + seed);
    return b;
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


// ---- key containers -------------------------------------------------------

inline std::uint16_t le16(const bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

// One "cmapfile" record (86 bytes at 86 x i).
struct cmap_entry {
    bytes name_utf16;   // the 80 name bytes as stored
    std::string name;   // the characters up to the first zero unit
    int flags = 0;
    int reserved = 0;
    int signature_bits = 0;
    int exchange_bits = 0;
};
inline cmap_entry cmap_record(const bytes& file, int i) {
    cmap_entry e;
    const std::size_t at = 86 * static_cast<std::size_t>(i);
    e.name_utf16.assign(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + 80));
    for (std::size_t u = 0; u < 40; ++u) {
        const int unit = le16(file, at + 2 * u);
        if (unit == 0) break;
        e.name.push_back(static_cast<char>(unit));
    }
    e.flags = file.at(at + 80);
    e.reserved = file.at(at + 81);
    e.signature_bits = le16(file, at + 82);
    e.exchange_bits = le16(file, at + 84);
    return e;
}

// One half of a "contInfo" record (215 bytes): the words the tests look at.
struct cont_half {
    std::uint32_t public_bits = 0, private_bits = 0, cert_bits = 0;
    bytes key_parts;   // the first 146 bytes
    bytes cert_part;   // the last 69
};
struct cont_entry {
    std::uint32_t tag = 0;
    bytes signature_id, exchange_id;
    int signature_cert = 0, exchange_cert = 0;
    cont_half signature, exchange;
    bytes raw;
};
inline cont_half cont_half_at(const bytes& r, std::size_t at) {
    cont_half h;
    h.public_bits = le32(r, at + 69);
    h.private_bits = le32(r, at + 73 + 69);
    h.cert_bits = le32(r, at + 146 + 65);
    h.key_parts.assign(r.begin() + static_cast<long>(at), r.begin() + static_cast<long>(at + 146));
    h.cert_part.assign(r.begin() + static_cast<long>(at + 146), r.begin() + static_cast<long>(at + 215));
    return h;
}
inline cont_entry cont_record(const bytes& file, int i) {
    cont_entry e;
    const std::size_t at = 566 * static_cast<std::size_t>(i);
    e.raw.assign(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + 566));
    e.tag = le32(e.raw, 0);
    e.signature_id.assign(e.raw.begin() + 4, e.raw.begin() + 4 + e.raw.at(68));
    e.exchange_id.assign(e.raw.begin() + 69, e.raw.begin() + 69 + e.raw.at(133));
    e.signature_cert = e.raw.at(134);
    e.exchange_cert = e.raw.at(135);
    e.signature = cont_half_at(e.raw, 136);
    e.exchange = cont_half_at(e.raw, 351);
    return e;
}

}  // namespace store_layout
