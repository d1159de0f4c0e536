#include "mgr_wrappers.h"

#include <cstdio>
#include <cstring>

#include "language_strings.h"
#include "token_lists.h"
#include "win_text.h"

namespace mon {

TokenInfoRecord g_token_records[max_token_records];

// The build-time strings of init_pkcs11_ex: empty in this build. The first
// is read as the program runs (volatile), so that the call stays in the
// program and its import table names init_pkcs11_ex, as in a build that
// sets them.
const char* const volatile kBuildString1 = "";
const uint32_t kBuildValue2 = 0;
const uint32_t kBuildValue3 = 0;

namespace {

bool record_index(int index) { return index >= 0 && index < max_token_records; }

std::string date_text(const CertDate& d) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.4d-%.2d-%.2d", d.year, d.month, d.day);
    return buf;
}

// helper_get_cert_info2 on the record's DER; fills the record on success.
int decode(CertRecord& rec) {
    wchar_t subject[257] = {0}, issuer[257] = {0};
    char serial[257] = {0};
    int version = 0, ca_kind = 0;
    CertDate nb = {0, 0, 0}, na = {0, 0, 0};
    int r = helper_get_cert_info2(rec.der, rec.der_length, subject, issuer, &version, serial, &nb, &na, &ca_kind);
    if (r != 0) return r;
    subject[256] = 0;
    issuer[256] = 0;
    serial[256] = 0;
    rec.subject = subject;
    rec.issuer = issuer;
    rec.version = version;
    rec.serial = serial;
    rec.not_before = nb;
    rec.not_after = na;
    rec.not_before_text = date_text(nb);
    rec.not_after_text = date_text(na);
    rec.ca_kind = ca_kind;
    return 0;
}

}  // namespace

void CertRecord::clear() {
    std::memset(der, 0, sizeof der);
    der_length = 0;
    subject.clear();
    issuer.clear();
    version = 0;
    serial.clear();
    not_before_text.clear();
    not_after_text.clear();
    not_before = CertDate{0, 0, 0};
    not_after = CertDate{0, 0, 0};
    key_type = 0;
    key_bits = 0;
    std::memset(modulus, 0, sizeof modulus);
    std::memset(exponent, 0, sizeof exponent);
    ca_kind = 0;
}

int InitManagerLibrary() {
    std::string module = to_ansi(lang::text(lang::PKCS11Name));
    if (kBuildString1[0] != '\0') return init_pkcs11_ex(1, kBuildValue2, kBuildValue3, module.c_str());
    return init_pkcs11(module.c_str());
}

int FindAndConnectTokens(int& count) {
    unsigned long slots[32] = {0};
    unsigned long found = 32;
    int r = token_find(slots, &found);
    if (r != 0 || found == 0) {
        count = 0;
        return 1;
    }
    unsigned long kept = found < static_cast<unsigned long>(max_token_records) ? found : max_token_records;
    for (unsigned long i = 0; i < kept; ++i) r = token_connect(static_cast<int>(i));
    count = static_cast<int>(kept);
    return r;
}

int ReadTokenInfo(int index) {
    if (!record_index(index)) return 1;
    TokenInfoRecord& t = g_token_records[index];
    std::memset(t.serial, 0, sizeof t.serial);
    std::memset(t.label, 0, sizeof t.label);
    std::memset(t.manufacturer, 0, sizeof t.manufacturer);
    std::memset(t.model, 0, sizeof t.model);
    int r = token_get_info(index, t.serial, t.label, t.manufacturer, t.model, &t.max_pin_len, &t.min_pin_len,
                           &t.max_pin2_len, &t.min_pin2_len, &t.total_private_memory, &t.free_private_memory,
                           &t.hardware_version, &t.firmware_version, &t.extension_word, &t.initialised);
    t.serial[32] = t.label[128] = t.manufacturer[64] = t.model[64] = 0;
    return r;
}

int ReadContainerNames(int index) {
    if (!record_index(index)) return 1;
    static char buffer[container_list_size];
    std::memset(buffer, 0, sizeof buffer);
    unsigned long length = container_list_size;
    int r = container_load_all(index, buffer, &length);
    if (r != 0) return r;
    auto names = split_container_names(buffer, sizeof buffer, length);
    TokenInfoRecord& t = g_token_records[index];
    t.container_count = static_cast<int>(names.size());
    for (int i = 0; i < max_record_containers; ++i)
        t.containers[i] = i < t.container_count ? names[static_cast<size_t>(i)] : std::string();
    return 0;
}

int ReadContainerCert(int index, const std::string& container, unsigned long key_spec, CertRecord& rec) {
    rec.clear();
    rec.der_length = cert_buffer_size;
    container_get_pubkey(index, container.c_str(), key_spec, &rec.key_type, &rec.key_bits, rec.modulus,
                         rec.exponent);
    int r = container_get_cert(index, container.c_str(), key_spec, rec.der, &rec.der_length);
    if (r != 0) {
        // No certificate of that key spec: nothing of it stays in the record.
        int key_type = rec.key_type, bits = rec.key_bits;
        rec.clear();
        rec.key_type = key_type;
        rec.key_bits = bits;
        return r;
    }
    if (rec.der_length == 0 || rec.der_length > cert_buffer_size) {
        rec.clear();
        return 1;
    }
    container_get_pubkey(index, container.c_str(), key_spec, &rec.key_type, &rec.key_bits, rec.modulus,
                         rec.exponent);
    return decode(rec);
}

int ReadStandaloneCert(int index, unsigned long handle, CertRecord& rec) {
    rec.clear();
    rec.der_length = cert_buffer_size;
    int r = token_get_cert(index, handle, rec.der, &rec.der_length);
    if (r != 0) return r;
    if (rec.der_length == 0 || rec.der_length > cert_buffer_size) return 1;
    return decode(rec);
}

std::vector<unsigned long> FindStandaloneCerts(int index) {
    unsigned long handles[max_standalone_certs] = {0};
    int count = max_standalone_certs;
    int r = token_find_standalone_certs(index, handles, &count);
    if (r != 0 || count <= 0) return {};
    if (count > max_standalone_certs) count = max_standalone_certs;
    return std::vector<unsigned long>(handles, handles + count);
}

int ReadPinState(int index, PinStateRecord& out) {
    out = PinStateRecord{0, 0, 0, 0, 0, 0};
    return token_get_pin_state(index, 1, &out.retries_left, &out.retry_limit, &out.count_low, &out.final_try,
                               &out.locked, &out.to_be_changed);
}

int AddContainerCertToStore(const std::string& container, const std::string& provider, unsigned long key_spec,
                            const unsigned char* der, unsigned long der_length) {
    return container_addcert_to_store(container.c_str(), provider.c_str(), key_spec, der, der_length);
}

}  // namespace mon
