// The response to a remote PIN-unblock challenge: the challenge encrypted
// with three-key triple DES in CBC mode under a zero IV, no padding. The key
// is the first 24 bytes of the administrator's key string, copied with
// strncpy semantics into 32 zero bytes (so a short string leaves the later
// DES keys zero; bytes 24 to 31 are never used).
#ifndef SOLVANTA_MGR_UNBLOCK_CODE_H
#define SOLVANTA_MGR_UNBLOCK_CODE_H

#include <cstddef>

namespace mgr {

// 0 and length bytes of response; 1 for a null pointer (also with length 0)
// or a length that is not a multiple of 8 (nothing written). Length 0 writes
// nothing.
int unblock_response(const unsigned char* challenge, size_t length, const char* key, unsigned char* response);

}  // namespace mgr

#endif  // SOLVANTA_MGR_UNBLOCK_CODE_H
