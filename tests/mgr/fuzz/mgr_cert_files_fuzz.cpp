// libFuzzer target over the certificate file forms the import exports read:
// the PEM form of certificates, the serial number as a DER INTEGER and as
// text, and the entry list a parsed file fills. The first byte picks the
// piece; the rest is its input. Besides no crash and no over-read:
//  - PEM: the output never exceeds the input; bytes without the marker come
//    out as they are; any bytes written as PEM (base64 in lines between the
//    markers) decode back to themselves.
//  - serial: the DER integer's header names the content length (short or
//    long form) and the content is the input reversed; the text shows at
//    most 85 bytes, three characters each, most significant first.
//  - entry list: at most 8 entries; an index out of range or an empty entry
//    is refused; names are cut to 259 bytes and always ended.
#include <mbedtls/base64.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cert_entries.h"
#include "cert_files.h"
#include "cert_text.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool has_marker(const std::uint8_t* data, std::size_t size) {
    static const char marker[] = "BEGIN CERTIFICATE";
    const std::size_t n = sizeof marker - 1;
    for (std::size_t i = 0; i + n <= size; ++i)
        if (std::memcmp(data + i, marker, n) == 0) return true;
    return false;
}

void pem(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> out{0xEE};
    const int status = mgr::pem_decode(data, size, out);
    require(status == 0 || status == 1 || status == 2);
    if (!has_marker(data, size)) {
        require(status == 0 && out == std::vector<std::uint8_t>(data, data + size));
    } else if (status == 0) {
        require(!out.empty() && out.size() <= size);
    } else {
        require(out == std::vector<std::uint8_t>{0xEE});  // a refusal leaves the output alone
    }

    // The bytes as a PEM certificate: 64 characters a line, CR LF or LF.
    if (size == 0) return;
    std::size_t b64_len = 0;
    mbedtls_base64_encode(nullptr, 0, &b64_len, data, size);
    std::vector<unsigned char> b64(b64_len);
    require(mbedtls_base64_encode(b64.data(), b64.size(), &b64_len, data, size) == 0);
    const char* eol = (data[0] & 1) ? "\r\n" : "\n";
    std::string text = std::string("-----BEGIN CERTIFICATE-----") + eol;
    for (std::size_t i = 0; i < b64_len; i += 64) {
        text.append(reinterpret_cast<const char*>(b64.data()) + i, b64_len - i < 64 ? b64_len - i : 64);
        text += eol;
    }
    text += std::string("-----END CERTIFICATE-----") + eol;
    std::vector<std::uint8_t> back;
    require(mgr::pem_decode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), back) == 0);
    require(back == std::vector<std::uint8_t>(data, data + size));
}

void serial(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> der = mgr::der_integer_from_le(data, size);
    require(der.size() >= 2 && der[0] == 0x02);
    std::size_t length = 0, header = 2;
    if (der[1] < 0x80) {
        length = der[1];
    } else {
        const std::size_t count = der[1] & 0x7F;
        require(count >= 1 && count <= sizeof(std::size_t) && der.size() >= 2 + count);
        require(der[2] != 0);  // minimal long form
        for (std::size_t i = 0; i < count; ++i) length = length << 8 | der[2 + i];
        require(length >= 0x80);
        header = 2 + count;
    }
    require(length == size && der.size() == header + size);
    for (std::size_t i = 0; i < size; ++i) require(der[header + i] == data[size - 1 - i]);

    char text[256 + 8];
    std::memset(text, 'X', sizeof text);
    mgr::serial_text(data, size, text);
    const std::size_t shown = size < mgr::max_serial_text_bytes ? size : mgr::max_serial_text_bytes;
    require(std::strlen(text) == 3 * shown && 3 * shown < 256);
    for (std::size_t i = 0; i < shown; ++i) {
        char expect[4];
        std::snprintf(expect, sizeof expect, "%02x ", data[size - 1 - i]);
        require(std::memcmp(text + 3 * i, expect, 3) == 0);
    }
    mgr::serial_text(data, size, nullptr);  // writes nothing, no crash
}

// The input as a script of entries: each a length byte, then that many bytes
// split between the subject (first half, NUL-free part) and the DER.
void entries(const std::uint8_t* data, std::size_t size) {
    mgr::cert_entry_list list;
    list.file().assign(data, data + size);
    std::size_t added = 0, pos = 0;
    std::vector<bool> empty;
    while (pos < size) {
        const std::size_t n = data[pos++];
        const std::size_t take = n < size - pos ? n : size - pos;
        const std::uint8_t* piece = data + pos;
        pos += take;
        mgr::cert_entry e;
        std::string name(reinterpret_cast<const char*>(piece), take / 2);
        if (n & 1) name.append(300, 'n');  // past the field: cut
        mgr::copy_name(e.subject, name.c_str());
        mgr::copy_name(e.issuer, (n & 2) ? nullptr : name.c_str());
        e.der.assign(piece + take / 2, piece + take);
        e.private_key.assign(piece, piece + take);
        e.ca_kind = n % 3;
        const bool was_empty = e.empty();
        const bool ok = list.add(std::move(e));
        require(ok == (added < mgr::max_cert_entries));
        if (ok) {
            ++added;
            empty.push_back(was_empty);
        }
    }
    require(list.count() == static_cast<int>(added) && added <= mgr::max_cert_entries);
    for (int i = -2; i < list.count() + 2; ++i) {
        char subject[mgr::cert_name_size + 1], issuer[mgr::cert_name_size + 1];
        std::memset(subject, 'X', sizeof subject);
        std::memset(issuer, 'X', sizeof issuer);
        int kind = -1;
        const int status = list.info(i, subject, issuer, &kind);
        const bool in_range = i >= 0 && i < list.count();
        if (!in_range) {
            require(status == 1 && list.at(i) == nullptr);
            continue;
        }
        if (empty[static_cast<std::size_t>(i)]) {
            require(status == 2 && list.at(i) == nullptr);
            continue;
        }
        require(status == 0 && list.at(i) != nullptr);
        require(std::strlen(subject) < mgr::cert_name_size && std::strlen(issuer) < mgr::cert_name_size);
        require(std::strcmp(subject, list.at(i)->subject) == 0 && kind >= 0 && kind <= 2);
        require(list.info(i, nullptr, issuer, &kind) == 1 && list.info(i, subject, issuer, nullptr) == 1);
    }
    list.clear();
    require(list.count() == 0 && list.file().empty() && list.at(0) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        pem(data, 0);
        serial(nullptr, 0);
        return 0;
    }
    const std::uint8_t* rest = data + 1;
    const std::size_t n = size - 1;
    switch (data[0] % 3) {
        case 0: pem(rest, n); break;
        case 1: serial(rest, n); break;
        default: entries(rest, n); break;
    }
    return 0;
}
