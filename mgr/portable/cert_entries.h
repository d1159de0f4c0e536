// The certificate lists that the import exports keep between calls: a
// manager program parses a file, shows its entries and imports the ones it
// chooses. Key blobs in entries are wiped when the list is emptied and when
// it goes away.
#ifndef SOLVANTA_MGR_CERT_ENTRIES_H
#define SOLVANTA_MGR_CERT_ENTRIES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mgr {

constexpr std::size_t cert_name_size = 260;
constexpr std::size_t max_cert_entries = 8;

struct cert_entry {
    char subject[cert_name_size] = {};  // simple display names, NUL-terminated
    char issuer[cert_name_size] = {};
    std::vector<std::uint8_t> der;
    std::uint32_t key_spec = 0;             // of the private key (PKCS #12)
    std::vector<std::uint8_t> private_key;  // PRIVATEKEYBLOB (PKCS #12 end entities)
    std::vector<std::uint8_t> public_key;   // PUBLICKEYBLOB (P7B and single certificates)
    int ca_kind = 0;                        // 0 end entity, 1 self-issued CA, 2 CA issued by another

    cert_entry() = default;
    cert_entry(cert_entry&&) = default;
    cert_entry& operator=(cert_entry&&) = default;
    cert_entry(const cert_entry&) = delete;
    cert_entry& operator=(const cert_entry&) = delete;
    ~cert_entry();
    bool empty() const { return der.empty(); }
};

class cert_entry_list {
public:
    cert_entry_list() = default;
    ~cert_entry_list() { clear(); }
    cert_entry_list(const cert_entry_list&) = delete;
    cert_entry_list& operator=(const cert_entry_list&) = delete;

    // Drops every entry (wiping its key blobs) and the file's bytes.
    void clear();
    // False once the list holds max_cert_entries: later certificates of a
    // file are left out.
    bool add(cert_entry&& entry);
    int count() const { return static_cast<int>(entries_.size()); }
    // The entry, or null for an index at or past the count (compared
    // unsigned, so a negative index is out of range too) or an empty entry.
    const cert_entry* at(int index) const;
    // 0 and the names (NUL-terminated, at most 260 bytes each) and the CA
    // kind; 1 index out of range or a null output; 2 empty entry.
    int info(int index, char* subject, char* issuer, int* ca_kind) const;

    std::vector<std::uint8_t>& file() { return file_; }

private:
    std::vector<std::uint8_t> file_;
    std::vector<cert_entry> entries_;
};

// Copies a NUL-terminated name into a 260-byte field, cut to fit.
void copy_name(char (&field)[cert_name_size], const char* name);

}  // namespace mgr

#endif  // SOLVANTA_MGR_CERT_ENTRIES_H
