#include "cert_files.h"

#include <mbedtls/base64.h>
#include <mbedtls/platform_util.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace mgr {

namespace {

const char begin_marker[] = "-----BEGIN CERTIFICATE-----";
const char end_marker[] = "-----END CERTIFICATE-----";
const char detect_marker[] = "BEGIN CERTIFICATE";

bool contains(const std::uint8_t* data, std::size_t length, const char* what) {
    const std::size_t n = std::strlen(what);
    if (length < n) return false;
    for (std::size_t i = 0; i + n <= length; ++i)
        if (std::memcmp(data + i, what, n) == 0) return true;
    return false;
}

void erase_all(std::string& text, const char* what) {
    const std::size_t n = std::strlen(what);
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, n);
}

}  // namespace

int read_whole_file(const char* path, std::size_t spare, std::vector<std::uint8_t>& out, std::size_t* length) {
    if (path == nullptr || length == nullptr) return 1;
    *length = 0;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return 2;
    if (std::fseek(f, 0, SEEK_END) != 0) {
        std::fclose(f);
        return 3;
    }
    const long size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        return 3;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size) + spare, 0);
    const std::size_t got = size > 0 ? std::fread(bytes.data(), 1, static_cast<std::size_t>(size), f) : 0;
    std::fclose(f);
    if (got != static_cast<std::size_t>(size)) return 2;
    out.swap(bytes);
    *length = static_cast<std::size_t>(size);
    return 0;
}

int pem_decode(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out) {
    if (data == nullptr) length = 0;
    if (!contains(data, length, detect_marker)) {
        out.assign(data, data + length);
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data), length);
    erase_all(text, begin_marker);
    erase_all(text, end_marker);
    std::string body;
    body.reserve(text.size());
    for (char c : text)
        if (c != '\n' && c != '\r' && c != ' ') body.push_back(c);
    const auto* in = reinterpret_cast<const unsigned char*>(body.data());
    std::size_t needed = 0;
    int status = mbedtls_base64_decode(nullptr, 0, &needed, in, body.size());
    if (status != 0 && status != MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL) return 2;
    if (needed == 0) return 1;
    std::vector<std::uint8_t> decoded(needed, 0);
    std::size_t written = 0;
    status = mbedtls_base64_decode(decoded.data(), decoded.size(), &written, in, body.size());
    if (status != 0) return 2;
    if (written == 0) return 1;
    decoded.resize(written);
    out.swap(decoded);
    return 0;
}

std::vector<std::uint8_t> der_integer_from_le(const std::uint8_t* content, std::size_t length) {
    if (content == nullptr) length = 0;
    std::vector<std::uint8_t> out{0x02};
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        std::vector<std::uint8_t> len;
        for (std::size_t v = length; v != 0; v >>= 8) len.insert(len.begin(), static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    for (std::size_t i = length; i > 0; --i) out.push_back(content[i - 1]);
    return out;
}

void wipe(std::vector<std::uint8_t>& bytes) {
    if (!bytes.empty()) mbedtls_platform_zeroize(bytes.data(), bytes.size());
    bytes.clear();
}

}  // namespace mgr
