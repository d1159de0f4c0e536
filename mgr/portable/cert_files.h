// Certificate files as the import exports read them: the whole file into a
// buffer with spare zero bytes after it, and the PEM form of certificates
// turned into DER.
#ifndef SOLVANTA_MGR_CERT_FILES_H
#define SOLVANTA_MGR_CERT_FILES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mgr {

// Reads the whole file into out, followed by `spare` zero bytes (not
// counted in *length). 0; 1 null path or output; 2 the file cannot be
// opened or read; 3 its size cannot be found.
int read_whole_file(const char* path, std::size_t spare, std::vector<std::uint8_t>& out, std::size_t* length);

// PEM form of certificates. When the bytes contain "BEGIN CERTIFICATE",
// every "-----BEGIN CERTIFICATE-----" and "-----END CERTIFICATE-----"
// marker, line end and blank is taken out and the rest base64-decoded into
// out: 0; 1 it decodes to nothing; 2 it is not base64 (so is a file of
// several certificates: their padding sits in the middle). Without the
// marker the bytes are DER and go to out as they are (0). Only those
// markers are recognised: a "BEGIN PKCS7" file stays as it is.
int pem_decode(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out);

// A DER INTEGER of content bytes given little-endian (as the platform
// keeps a certificate's serial number, sign byte included): tag 02, the
// length in the short form below 128 bytes and in the long form above,
// then the bytes big-endian. No serial is cut.
std::vector<std::uint8_t> der_integer_from_le(const std::uint8_t* content, std::size_t length);

// Overwrites the bytes and empties the vector.
void wipe(std::vector<std::uint8_t>& bytes);

}  // namespace mgr

#endif  // SOLVANTA_MGR_CERT_FILES_H
