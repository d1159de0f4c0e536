// The current user's "MY" store as the token's certificates use it: an
// entry carries a key-provider property naming the container, the
// provider and the key spec. Shared by the store exports and by anything
// else that registers or removes such entries.
#ifndef SOLVANTA_MGR_CERT_STORE_H
#define SOLVANTA_MGR_CERT_STORE_H

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace mgr {

// Longest container and provider name written into a key-provider
// property, in UTF-16 characters.
constexpr size_t max_key_prov_name = 260;

// Registers the DER certificate in MY with a key-provider property
// (PROV_RSA_FULL, flags 0, no parameters). An existing copy whose property
// differs is deleted through the registry store first, so the new property
// is the one that persists. 0; 2 store not opened; 3 certificate not
// decoded; 4 property not set; 5 not added.
int add_to_my_store(const std::wstring& container, const std::wstring& provider, DWORD key_spec,
                    const BYTE* der, DWORD der_length);

// Deletes every MY entry whose key-provider property names this provider
// (exact, case-sensitive); an entry without a provider name is no match.
// 0; 1 store not opened. *removed (when given) counts the deletions.
int remove_provider_from_my_store(const std::wstring& provider, unsigned* removed = nullptr);

}  // namespace mgr

#endif  // SOLVANTA_MGR_CERT_STORE_H
