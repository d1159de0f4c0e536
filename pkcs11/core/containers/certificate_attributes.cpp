#include "containers/certificate_attributes.h"

#include <mbedtls/oid.h>
#include <mbedtls/x509_crt.h>

#include <cstring>

namespace pkcs11 {

namespace {

// Decimal digits of v, most significant first, into n characters.
void put_digits(CK_CHAR* out, std::size_t n, int v) {
    unsigned u = v < 0 ? 0u : static_cast<unsigned>(v);
    for (std::size_t i = n; i-- > 0; u /= 10) out[i] = static_cast<CK_CHAR>('0' + u % 10);
}

void set_date(CK_DATE& date, const mbedtls_x509_time& t) {
    put_digits(date.year, 4, t.year);
    put_digits(date.month, 2, t.mon);
    put_digits(date.day, 2, t.day);
}

std::string common_name(const mbedtls_x509_name* name) {
    const mbedtls_x509_name* first = nullptr;
    for (const mbedtls_x509_name* n = name; n != nullptr; n = n->next) {
        if (n->oid.p == nullptr) continue;
        if (first == nullptr) first = n;
        if (MBEDTLS_OID_CMP(MBEDTLS_OID_AT_CN, &n->oid) == 0)
            return std::string(reinterpret_cast<const char*>(n->val.p), n->val.len);
    }
    return first == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(first->val.p), first->val.len);
}

}  // namespace

std::vector<std::uint8_t> der_integer(const std::uint8_t* content, std::size_t length) {
    std::vector<std::uint8_t> out;
    if (content == nullptr || length == 0) return out;
    out.push_back(0x02);
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        std::uint8_t digits[sizeof(std::size_t)];
        std::size_t n = 0;
        for (std::size_t v = length; v != 0; v >>= 8) digits[n++] = static_cast<std::uint8_t>(v);
        out.push_back(static_cast<std::uint8_t>(0x80 | n));
        while (n > 0) out.push_back(digits[--n]);
    }
    out.insert(out.end(), content, content + length);
    return out;
}

bool parse_certificate(const std::uint8_t* der, std::size_t length, certificate_facts& facts) {
    if (der == nullptr || length == 0) return false;
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    const bool parsed = mbedtls_x509_crt_parse_der(&crt, der, length) == 0;
    if (parsed) {
        facts.label = common_name(&crt.subject);
        facts.serial_number = der_integer(crt.serial.p, crt.serial.len);
        facts.subject.assign(crt.subject_raw.p, crt.subject_raw.p + crt.subject_raw.len);
        facts.issuer.assign(crt.issuer_raw.p, crt.issuer_raw.p + crt.issuer_raw.len);
        set_date(facts.start_date, crt.valid_from);
        set_date(facts.end_date, crt.valid_to);
    }
    mbedtls_x509_crt_free(&crt);
    return parsed;
}

CK_RV set_certificate_attributes(pkcs11_object& object, const std::uint8_t* der, std::size_t length) {
    certificate_facts facts;
    if (!parse_certificate(der, length, facts)) return CKR_OK;
    pkcs11_attribute_mgr& a = object.attributes();
    const pkcs11_attribute* label = a.find(CKA_LABEL);
    CK_RV rv = CKR_OK;
    if (label == nullptr || label->value.empty()) rv = a.set(CKA_LABEL, facts.label.data(), facts.label.size());
    if (rv == CKR_OK) rv = a.set(CKA_SERIAL_NUMBER, facts.serial_number.data(), facts.serial_number.size());
    if (rv == CKR_OK) rv = a.set(CKA_SUBJECT, facts.subject.data(), facts.subject.size());
    if (rv == CKR_OK) rv = a.set(CKA_ISSUER, facts.issuer.data(), facts.issuer.size());
    if (rv == CKR_OK) rv = a.set(CKA_START_DATE, &facts.start_date, sizeof facts.start_date);
    if (rv == CKR_OK) rv = a.set(CKA_END_DATE, &facts.end_date, sizeof facts.end_date);
    return rv;
}

}  // namespace pkcs11
