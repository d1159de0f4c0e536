// What the file-import exports share: their two lists and the making of
// an entry from a certificate.
#ifndef SOLVANTA_MGR_IMPORT_COMMON_H
#define SOLVANTA_MGR_IMPORT_COMMON_H

#include <windows.h>
#include <wincrypt.h>

#include "cert_entries.h"

namespace mgr {

constexpr std::size_t file_spare = 8;   // zero bytes after a read file
constexpr std::size_t data_spare = 32;  // after a caller's bytes

cert_entry_list& p7b_list();
cert_entry_list& pkcs12_list();

// Subject and issuer (simple display names), the DER copy and the CA kind.
// 0; 1 no subject; 2 no issuer.
int entry_names(PCCERT_CONTEXT cert, cert_entry& out);

// An entry of a P7B or single certificate: names, DER, CA kind and the
// certificate's PUBLICKEYBLOB (left empty when its key cannot be
// imported). 0; 1 or 2 as entry_names; 3 no verify-only context.
int entry_from_certificate(PCCERT_CONTEXT cert, cert_entry& out);

}  // namespace mgr

#endif  // SOLVANTA_MGR_IMPORT_COMMON_H
