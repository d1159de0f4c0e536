// The monitor's calls into the manager library: 8-bit strings, fixed
// buffer sizes, and the per-token records the results are unpacked into.
#ifndef SOLVANTEX_MON_MGR_WRAPPERS_H
#define SOLVANTEX_MON_MGR_WRAPPERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "SolvantaMgr.h"

namespace mon {

constexpr int max_token_records = 17;
constexpr int max_record_containers = 65;
constexpr unsigned long cert_buffer_size = 16384;
constexpr int max_standalone_certs = 64;

struct TokenInfoRecord {
    char serial[33];
    char label[129];
    char manufacturer[65];
    char model[65];
    int max_pin_len;
    int min_pin_len;
    int max_pin2_len;
    int min_pin2_len;
    int total_private_memory;
    int free_private_memory;
    int hardware_version;
    int firmware_version;
    int extension_word;
    int initialised;
    int container_count;
    std::string containers[max_record_containers];
};

// One per token index; tokens beyond the 17th are not kept.
extern TokenInfoRecord g_token_records[max_token_records];

struct PinStateRecord {
    uint32_t retries_left;
    uint32_t retry_limit;
    int count_low;
    int final_try;
    int locked;
    int to_be_changed;
};

struct CertRecord {
    unsigned char der[cert_buffer_size];
    unsigned long der_length;
    std::wstring subject;
    std::wstring issuer;
    int version;
    std::string serial;
    std::string not_before_text;
    std::string not_after_text;
    CertDate not_before;
    CertDate not_after;
    int key_type;
    int key_bits;
    unsigned char modulus[256];
    unsigned char exponent[4];
    int ca_kind;
    void clear();
};

// init_pkcs11 (or init_pkcs11_ex when the first build-time string is set)
// with the language string PKCS11Name; the library's result.
int InitManagerLibrary();
// token_find into 32 slots, then token_connect for each token kept (at most
// 17); count := the tokens kept. 1 with count 0 when none; else the last
// token_connect's result.
int FindAndConnectTokens(int& count);
// token_get_info into the token's record; 1 for an index outside the records.
int ReadTokenInfo(int index);
// container_load_all into 8192 bytes; the names (at most 65) into the record.
int ReadContainerNames(int index);
// 0 only when a certificate of that key spec was read and decoded; the record
// is cleared first.
int ReadContainerCert(int index, const std::string& container, unsigned long key_spec, CertRecord& rec);
int ReadStandaloneCert(int index, unsigned long handle, CertRecord& rec);
// token_find_standalone_certs with room for 64; the handles found (none on
// failure, at most 64).
std::vector<unsigned long> FindStandaloneCerts(int index);
int ReadPinState(int index, PinStateRecord& out);
int AddContainerCertToStore(const std::string& container, const std::string& provider, unsigned long key_spec,
                            const unsigned char* der, unsigned long der_length);

}  // namespace mon

#endif
