// Placeholders until this room of the library is built.
#include "SolvantaMgr.h"

extern "C" {
int SOLVANTAMGR_CALL container_addcert_to_store(const char* /*container*/, const char* /*provider*/, unsigned long /*key_spec*/, const unsigned char* /*der*/, unsigned long /*der_length*/) { return 1; }
int SOLVANTAMGR_CALL remove_all_certs_from_store(const char* /*provider*/) { return 1; }
int SOLVANTAMGR_CALL token_add_allcerts_to_msstore(const char* /*provider*/) { return 1; }
int SOLVANTAMGR_CALL token_add_allcerts_to_msstore2(const char* /*provider*/, const char* /*reader*/) { return 1; }
int SOLVANTAMGR_CALL token_remove_allcerts_from_msstore(const char* /*provider*/) { return 1; }
int SOLVANTAMGR_CALL helper_add_root_cert_to_store(const wchar_t* /*store*/, const unsigned char* /*der*/, unsigned long /*der_length*/) { return 1; }
int SOLVANTAMGR_CALL helper_find_cert_in_store(const char* /*store*/, const wchar_t* /*subject*/, const wchar_t* /*issuer*/) { return 1; }
int SOLVANTAMGR_CALL helper_show_cert_ui(void* /*owner*/, const unsigned char* /*der*/, unsigned long /*der_length*/) { return 1; }
int SOLVANTAMGR_CALL helper_get_cert_info(const unsigned char* /*der*/, unsigned long /*der_length*/, wchar_t* /*subject*/, wchar_t* /*issuer*/, int* /*version*/, char* /*serial*/, CertDate* /*not_before*/, CertDate* /*not_after*/) { return 1; }
int SOLVANTAMGR_CALL helper_get_cert_info2(const unsigned char* /*der*/, unsigned long /*der_length*/, wchar_t* /*subject*/, wchar_t* /*issuer*/, int* /*version*/, char* /*serial*/, CertDate* /*not_before*/, CertDate* /*not_after*/, int* /*ca_kind*/) { return 1; }
int SOLVANTAMGR_CALL helper_gen_csr(const char* /*pin*/, const char* /*container*/, unsigned long /*key_spec*/, const char* /*provider*/, const char* /*subject*/, char* /*base64*/, int* /*length*/) { return 1; }
}
