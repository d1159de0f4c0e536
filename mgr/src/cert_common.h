// Certificate helpers shared by the store, information and import exports.
#ifndef SOLVANTA_MGR_CERT_COMMON_H
#define SOLVANTA_MGR_CERT_COMMON_H

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "guard.h"

namespace mgr {

// 0 end entity, 1 CA issued by itself, 2 CA issued by another. The basic
// constraints extension (2.5.29.19) decides when present (undecodable:
// unknown); else the legacy one (2.5.29.10) by its subject-type bits (0x80
// CA, 0x40 end entity). An unknown kind is 1 for a self-issued certificate
// and 0 otherwise. Issuer and subject are compared as encoded names.
int cert_ca_kind(PCCERT_CONTEXT cert);

// The thread's last error as a result code, never 0: a failure that left no
// error reads as NTE_FAIL.
int last_error_or_fail();

// An 8-bit string in the ANSI code page as UTF-16 (a null pointer reads "").
std::wstring ansi_to_wide(const char* text);

}  // namespace mgr

#endif  // SOLVANTA_MGR_CERT_COMMON_H
