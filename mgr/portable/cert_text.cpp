#include "cert_text.h"

#include <mbedtls/asn1write.h>

#include <cstdio>

namespace mgr {

void serial_text(const std::uint8_t* little_endian, std::size_t length, char* out) {
    if (out == nullptr) return;
    out[0] = '\0';
    if (little_endian == nullptr) return;
    const std::size_t shown = length < max_serial_text_bytes ? length : max_serial_text_bytes;
    char* at = out;
    for (std::size_t i = 0; i < shown; ++i) {
        std::snprintf(at, 4, "%02x ", little_endian[length - 1 - i]);
        at += 3;
    }
}

std::vector<std::uint8_t> request_info_der(const std::uint8_t* name, std::size_t name_length,
                                           const std::uint8_t* key_info, std::size_t key_info_length) {
    if (name == nullptr || key_info == nullptr || name_length == 0 || key_info_length == 0) return {};
    // mbed TLS writes DER backwards from the end of the buffer.
    std::vector<std::uint8_t> buffer(name_length + key_info_length + 32);
    unsigned char* const start = buffer.data();
    unsigned char* p = start + buffer.size();
    int len = 0;
    auto add = [&](int r) {
        if (r < 0) return false;
        len += r;
        return true;
    };
    const bool ok = add(mbedtls_asn1_write_len(&p, start, 0)) &&
                    add(mbedtls_asn1_write_tag(&p, start, MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED)) &&
                    add(mbedtls_asn1_write_raw_buffer(&p, start, key_info, key_info_length)) &&
                    add(mbedtls_asn1_write_raw_buffer(&p, start, name, name_length)) &&
                    add(mbedtls_asn1_write_int(&p, start, 0)) &&
                    add(mbedtls_asn1_write_len(&p, start, static_cast<std::size_t>(len))) &&
                    add(mbedtls_asn1_write_tag(&p, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE));
    if (!ok) return {};
    return std::vector<std::uint8_t>(p, start + buffer.size());
}

}  // namespace mgr
