// The attributes of a certificate object that come from its DER bytes, and
// the DER forms they take.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "objects/object.h"

namespace pkcs11 {

// An INTEGER's content as its DER encoding: tag 02, the length, the
// content. Empty content gives an empty result.
std::vector<std::uint8_t> der_integer(const std::uint8_t* content, std::size_t length);

// A parsed certificate's values as the object takes them.
struct certificate_facts {
    std::string label;  // the subject's common name, else its first attribute
    std::vector<std::uint8_t> serial_number;  // the DER INTEGER
    std::vector<std::uint8_t> subject;        // the DER names
    std::vector<std::uint8_t> issuer;
    CK_DATE start_date;
    CK_DATE end_date;
};

// false when the bytes are no X.509 certificate.
bool parse_certificate(const std::uint8_t* der, std::size_t length, certificate_facts& facts);

// Sets CKA_LABEL (only on an object without a label or with an empty one),
// CKA_SERIAL_NUMBER, CKA_SUBJECT, CKA_ISSUER, CKA_START_DATE and
// CKA_END_DATE from the certificate. Bytes that are no certificate set
// nothing and give CKR_OK; CKR_HOST_MEMORY.
CK_RV set_certificate_attributes(pkcs11_object& object, const std::uint8_t* der, std::size_t length);

}  // namespace pkcs11
