// Certificate values as the store exports give them out: the serial
// number's text, and the information of a certificate request to be signed.
#ifndef SOLVANTA_MGR_CERT_TEXT_H
#define SOLVANTA_MGR_CERT_TEXT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mgr {

// At most this many serial bytes are shown: three characters each and the
// NUL fill 256 characters.
constexpr std::size_t max_serial_text_bytes = 85;

// The serial number's bytes, given least significant first, most
// significant first as "%02x " each into out (so the text ends with a
// blank), NUL-terminated; at most max_serial_text_bytes bytes (the most
// significant ones) are shown. A null out writes nothing.
void serial_text(const std::uint8_t* little_endian, std::size_t length, char* out);

// CertificationRequestInfo: SEQUENCE { INTEGER 0, the encoded name, the
// encoded public key info, [0] no attributes }. Empty when an input is
// missing.
std::vector<std::uint8_t> request_info_der(const std::uint8_t* name, std::size_t name_length,
                                           const std::uint8_t* key_info, std::size_t key_info_length);

}  // namespace mgr

#endif  // SOLVANTA_MGR_CERT_TEXT_H
