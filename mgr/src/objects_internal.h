// The object routines behind the container, certificate and file exports,
// shared with the file-import exports.
#ifndef SOLVANTA_MGR_OBJECTS_INTERNAL_H
#define SOLVANTA_MGR_OBJECTS_INTERNAL_H

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "binding.h"
#include "guard.h"

namespace mgr {

// Result codes of the certificate and key paths.
constexpr int cert_not_decoded = static_cast<int>(0x80090020);  // NTE_FAIL
constexpr int key_not_matching = static_cast<int>(0x80090016);  // NTE_BAD_KEYSET
constexpr int cert_not_created = static_cast<int>(0x8009002D);  // NTE_INTERNAL_ERROR
constexpr std::size_t container_name_out = 64;  // the callers' container-name buffers

// The first object that matches the template, or 0 (none, or a failing
// search).
CK_OBJECT_HANDLE first_object(const token_ref& t, CK_ATTRIBUTE* tmpl, CK_ULONG count);

// The certificate's RSA modulus, big-endian, into buffer (capacity
// *length in, its length out). 0; 2 over 2048 bits; 3 no verify-only
// context; 4 the public key cannot be imported; 7 nor exported; 8 the
// buffer is too small.
int certificate_modulus(PCCERT_CONTEXT cert, std::uint8_t* buffer, DWORD* length);

// The DER INTEGER of a serial number as CryptoAPI keeps it (little-endian
// content bytes).
std::vector<std::uint8_t> serial_der(const CRYPT_INTEGER_BLOB& serial);

// The certificate of a container's key pair of that key spec: its key's modulus
// must be the certificate's (key_not_matching otherwise, nothing created);
// an earlier certificate of the key is replaced (and made again when the
// new one cannot be created: cert_not_created). 0, cert_not_decoded,
// key_not_matching, cert_not_created or the CK_RV of removing the earlier
// certificate.
int store_container_certificate(const token_ref& t, const char* name, CK_ULONG spec, const std::uint8_t* der,
                                std::size_t length);

// A certificate outside containers: 0 or cert_not_decoded.
int store_standalone_certificate(const token_ref& t, const std::uint8_t* der, std::size_t length);

// A key pair from a PRIVATEKEYBLOB into the named container. Key spec 0 takes
// the key spec from the blob's algorithm id (0xA400 exchange, 0x2400 signature;
// any other: 2). 0 and the key spec used in *used_spec; 2 over 2048 bits or an
// unreadable blob; else the module's CK_RV (a public key created before
// the private key failed is destroyed again).
int import_key_pair(const token_ref& t, const char* name, CK_ULONG spec, const std::uint8_t* blob,
                    std::size_t length, CK_ULONG* used_spec);

// The container whose public key has the certificate's modulus: the name
// (at most 63 bytes and a NUL) and its key spec. 0, cert_not_decoded or
// key_not_matching.
int find_certificate_container(const token_ref& t, const std::uint8_t* der, std::size_t length,
                               char* name, CK_ULONG* spec);

}  // namespace mgr

#endif  // SOLVANTA_MGR_OBJECTS_INTERNAL_H
