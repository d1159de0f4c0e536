// Placeholders until this room of the library is built.
#include "SolvantaMgr.h"

extern "C" {
int SOLVANTAMGR_CALL container_load_all(int /*index*/, char* /*buffer*/, unsigned long* /*length*/) { return 1; }
int SOLVANTAMGR_CALL container_create_new(int /*index*/, const char* /*name*/) { return 1; }
int SOLVANTAMGR_CALL container_delete(int /*index*/, const char* /*name*/) { return 1; }
int SOLVANTAMGR_CALL container_get_cert(int /*index*/, const char* /*name*/, unsigned long /*key_spec*/, unsigned char* /*buffer*/, unsigned long* /*length*/) { return 1; }
int SOLVANTAMGR_CALL container_get_pubkey(int /*index*/, const char* /*name*/, unsigned long /*key_spec*/, int* /*key_type*/, int* /*bits*/, unsigned char* /*modulus*/, unsigned char* /*exponent*/) { return 1; }
int SOLVANTAMGR_CALL container_get_prikey(int /*index*/, const char* /*name*/, unsigned long /*key_spec*/, int* /*key_type*/, int* /*bits*/) { return 1; }
int SOLVANTAMGR_CALL container_delete_cert(int /*index*/, const char* /*name*/, unsigned long /*key_spec*/) { return 1; }
int SOLVANTAMGR_CALL token_find_standalone_certs(int /*index*/, unsigned long* /*handles*/, int* /*count*/) { return 1; }
int SOLVANTAMGR_CALL token_get_cert(int /*index*/, unsigned long /*handle*/, unsigned char* /*buffer*/, unsigned long* /*length*/) { return 1; }
int SOLVANTAMGR_CALL token_delete_cert(int /*index*/, unsigned long /*handle*/) { return 1; }
int SOLVANTAMGR_CALL token_create_file(int /*index*/, const char* /*name*/, int /*name_length*/) { return 1; }
int SOLVANTAMGR_CALL token_read_file(int /*index*/, const char* /*name*/, unsigned char* /*buffer*/, int* /*length*/) { return 1; }
int SOLVANTAMGR_CALL token_write_file(int /*index*/, const char* /*name*/, const unsigned char* /*data*/, int /*length*/) { return 1; }
int SOLVANTAMGR_CALL token_get_first_dataobject_value(int /*index*/, const char* /*application*/, const char* /*label*/, unsigned char* /*buffer*/, int* /*length*/) { return 1; }
int SOLVANTAMGR_CALL p7b_file_parse(const char* /*path*/, int* /*count*/) { return 1; }
int SOLVANTAMGR_CALL p7b_file_get_certinfo(int /*entry*/, char* /*subject*/, char* /*issuer*/, int* /*ca_kind*/) { return 1; }
int SOLVANTAMGR_CALL p7b_import_certificate(int /*index*/, int /*entry*/) { return 1; }
int SOLVANTAMGR_CALL pkcs12_file_parse(const char* /*path*/, const char* /*password*/, int* /*count*/) { return 1; }
int SOLVANTAMGR_CALL pkcs12_file_get_certinfo(int /*entry*/, char* /*subject*/, char* /*issuer*/, int* /*ca_kind*/) { return 1; }
int SOLVANTAMGR_CALL pkcs12_import_certificate(int /*index*/, const char* /*container*/, unsigned long /*key_spec*/, int /*entry*/) { return 1; }
int SOLVANTAMGR_CALL pkcs12_import_certificate_csp(const char* /*provider*/, const char* /*pin*/, const char* /*container*/, unsigned long /*key_spec*/, int /*entry*/) { return 1; }
int SOLVANTAMGR_CALL x509_get_PublicKey(const char* /*path*/, unsigned char* /*modulus*/, unsigned long* /*length*/) { return 1; }
int SOLVANTAMGR_CALL x509_import_certificate(int /*index*/, const char* /*path*/) { return 1; }
int SOLVANTAMGR_CALL x509_import_certificate_data(int /*index*/, const unsigned char* /*data*/, unsigned long /*length*/) { return 1; }
int SOLVANTAMGR_CALL x509_import_container_certificate(int /*index*/, const char* /*container*/, unsigned long /*key_spec*/, const char* /*path*/) { return 1; }
int SOLVANTAMGR_CALL x509_import_container_certificate_data(int /*index*/, const char* /*container*/, unsigned long /*key_spec*/, const unsigned char* /*data*/, unsigned long /*length*/) { return 1; }
int SOLVANTAMGR_CALL x509_get_certificate_container(int /*index*/, const unsigned char* /*data*/, unsigned long /*length*/, char* /*container*/, unsigned long* /*key_spec*/) { return 1; }
}
