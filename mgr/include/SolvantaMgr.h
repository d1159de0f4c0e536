/* SolvantaMgr: the token manager library for manager programs.
 *
 * The library loads a PKCS #11 module with the vendor extension at run time
 * (init_pkcs11) and names tokens by their index in its table of 32 records,
 * filled by token_find. Every export returns an int status, 0 for success;
 * token exports give 1 for a bad index, a token that is not connected, or no
 * bound module. Strings are 8-bit and NUL-terminated unless declared as
 * wchar_t (UTF-16, towards the certificate store). Buffers belong to the
 * caller.
 *
 * Every export uses the __stdcall convention and is exported under its bare
 * name (no @N decoration).
 */
#ifndef SOLVANTA_MGR_H
#define SOLVANTA_MGR_H

#include <stdint.h>
#include <wchar.h>

#ifdef _WIN32
#define SOLVANTAMGR_CALL __stdcall
#else
#define SOLVANTAMGR_CALL
#endif

/* The DLL exports through its .def file (bare names); a native build of
   the portable parts keeps these visible. */
#if defined(SOLVANTAMGR_BUILD) && !defined(_WIN32)
#define SOLVANTAMGR_API __attribute__((visibility("default")))
#else
#define SOLVANTAMGR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The module's token format record (164 bytes, pkcs11_vendor.h). */
struct CK_EXT_FORMAT_PARAMS;

/* A calendar date in local time. */
typedef struct CertDate {
    int year;
    int month;
    int day;
} CertDate;

/* ---- Module binding and the token table ---------------------------------- */

/* 0 bound and initialised; 3 the module could not be loaded, bound or
   initialised (nothing stays loaded then, and a later call tries again). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL init_pkcs11(const char* module_file);
/* As init_pkcs11; the three leading arguments are ignored. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL init_pkcs11_ex(uint32_t reserved1, uint32_t reserved2, uint32_t reserved3,
                                                    const char* module_file);
/* Closes every session, finalises and unloads the module; the token count
   becomes 0. Always 0. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL uninit_pkcs11(void);

/* ---- Tokens, sessions and PINs -------------------------------------------- */

/* *count is the capacity of slot_ids on entry (at most 32 records are
   kept); 1 with the needed count when the array is too small. A null
   slot_ids asks for the count: 0 and the count, the tokens kept as by a
   full search. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_find(unsigned long* slot_ids, unsigned long* count);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_waitfor_event(unsigned long* slot_id);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_connect(int index);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_disconnect(int index);
/* serial 16 bytes, label 64, manufacturer 32, model 16; then max PIN, min
   PIN, second max, second min, total and free private memory, hardware and
   firmware version, extension word, initialised flag. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_get_info(int index, char* serial, char* label, char* manufacturer,
                                                    char* model, int* max_pin, int* min_pin, int* max_pin2,
                                                    int* min_pin2, int* total_private_memory,
                                                    int* free_private_memory, int* hardware_version,
                                                    int* firmware_version, int* extension_word,
                                                    int* initialised);
/* As token_get_info, plus the protected-authentication-path flag (0 or 256). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_get_info_ex(int index, char* serial, char* label, char* manufacturer,
                                                       char* model, int* max_pin, int* min_pin, int* max_pin2,
                                                       int* min_pin2, int* total_private_memory,
                                                       int* free_private_memory, int* hardware_version,
                                                       int* firmware_version, int* extension_word,
                                                       int* initialised, int* protected_path);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_login(int index, const char* pin, int* retries);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_login_so(int index, const char* so_pin, int* retries);
/* The module's CK_RV of C_Logout. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_logout(int index);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_change_upin(int index, const char* old_pin, const char* new_pin);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_change_sopin(int index, const char* old_so_pin, const char* new_so_pin);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_set_upin(int index, const char* so_pin, const char* new_pin);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_get_pin_state(int index, unsigned long user_type, uint32_t* retries_left,
                                                         uint32_t* retry_limit, int* count_low, int* final_try,
                                                         int* locked, int* to_be_changed);
/* auth_data: the SO PIN as NUL-terminated text, at most 32 bytes read;
   auth_length is not used. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_unlock_upin(int index, const unsigned char* auth_data,
                                                       unsigned long auth_length, const char* new_pin);
/* 1 for a response longer than 255 bytes (one card command's data),
   before anything is sent. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_remote_unlock_upin(int index, const unsigned char* response,
                                                              unsigned long response_length, const char* new_pin);
/* 2 for a label of more than 64 characters. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_set_label(int index, const char* label);
/* challenge: 16 bytes. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_get_challenge(int index, unsigned char* challenge);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_get_challenge_ex(int index, unsigned char* buffer, unsigned long length);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_format(int index, struct CK_EXT_FORMAT_PARAMS* params);
/* The module's result of M_ReloadObjects. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_reload_all_objects(int index);

/* ---- Containers, certificates, files and data objects --------------------- */

SOLVANTAMGR_API int SOLVANTAMGR_CALL container_load_all(int index, char* buffer, unsigned long* length);
SOLVANTAMGR_API int SOLVANTAMGR_CALL container_create_new(int index, const char* name);
SOLVANTAMGR_API int SOLVANTAMGR_CALL container_delete(int index, const char* name);
SOLVANTAMGR_API int SOLVANTAMGR_CALL container_get_cert(int index, const char* name, unsigned long key_spec,
                                                        unsigned char* buffer, unsigned long* length);
/* modulus: 256 bytes; exponent: 4 bytes. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL container_get_pubkey(int index, const char* name, unsigned long key_spec,
                                                          int* key_type, int* bits, unsigned char* modulus,
                                                          unsigned char* exponent);
SOLVANTAMGR_API int SOLVANTAMGR_CALL container_get_prikey(int index, const char* name, unsigned long key_spec,
                                                          int* key_type, int* bits);
/* Destroys every object of the container with that key spec: the
   certificate and the key pair of that spec go together. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL container_delete_cert(int index, const char* name, unsigned long key_spec);
/* handles: 64 entries. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_find_standalone_certs(int index, unsigned long* handles, int* count);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_get_cert(int index, unsigned long handle, unsigned char* buffer,
                                                    unsigned long* length);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_delete_cert(int index, unsigned long handle);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_create_file(int index, const char* name, int name_length);
/* *length positive on entry: the capacity of buffer; zero or negative:
   4096 bytes. A null buffer asks for the file's length (0 and *length). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_read_file(int index, const char* name, unsigned char* buffer,
                                                     int* length);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_write_file(int index, const char* name, const unsigned char* data,
                                                      int length);
/* *length positive on entry: the capacity of buffer; zero or negative:
   1024 bytes. 2 with the needed *length when the value is longer; a null
   buffer asks for the value's length (0 and *length). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_get_first_dataobject_value(int index, const char* application,
                                                                      const char* label, unsigned char* buffer,
                                                                      int* length);

/* ---- Certificate store, certificate information and requests -------------- */

SOLVANTAMGR_API int SOLVANTAMGR_CALL container_addcert_to_store(const char* container, const char* provider,
                                                                unsigned long key_spec, const unsigned char* der,
                                                                unsigned long der_length);
SOLVANTAMGR_API int SOLVANTAMGR_CALL remove_all_certs_from_store(const char* provider);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_add_allcerts_to_msstore(const char* provider);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_add_allcerts_to_msstore2(const char* provider, const char* reader);
SOLVANTAMGR_API int SOLVANTAMGR_CALL token_remove_allcerts_from_msstore(const char* provider);
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_add_root_cert_to_store(const wchar_t* store, const unsigned char* der,
                                                                   unsigned long der_length);
/* 1 found, 0 not found, -1 the store does not exist. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_find_cert_in_store(const char* store, const wchar_t* subject,
                                                               const wchar_t* issuer);
/* owner: the owner window (HWND). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_show_cert_ui(void* owner, const unsigned char* der,
                                                         unsigned long der_length);
/* subject, issuer: 256 characters each; serial: 3 characters per byte and
   a NUL (at most 256 bytes). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_get_cert_info(const unsigned char* der, unsigned long der_length,
                                                          wchar_t* subject, wchar_t* issuer, int* version,
                                                          char* serial, CertDate* not_before, CertDate* not_after);
/* As helper_get_cert_info, plus the CA kind: 0 end entity, 1 CA issued by
   itself, 2 CA issued by another. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_get_cert_info2(const unsigned char* der, unsigned long der_length,
                                                           wchar_t* subject, wchar_t* issuer, int* version,
                                                           char* serial, CertDate* not_before, CertDate* not_after,
                                                           int* ca_kind);
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_gen_csr(const char* pin, const char* container, unsigned long key_spec,
                                                    const char* provider, const char* subject, char* base64,
                                                    int* length);

/* ---- PKCS #12, P7B and X.509 import --------------------------------------- */

/* Every parse empties its list first (count 0), so a failed parse leaves
   no entry of an earlier file. A list keeps the first 8 certificates. Only
   "BEGIN CERTIFICATE" PEM markers are recognised. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL p7b_file_parse(const char* path, int* count);
/* subject, issuer: 260 bytes each. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL p7b_file_get_certinfo(int entry, char* subject, char* issuer, int* ca_kind);
SOLVANTAMGR_API int SOLVANTAMGR_CALL p7b_import_certificate(int index, int entry);
SOLVANTAMGR_API int SOLVANTAMGR_CALL pkcs12_file_parse(const char* path, const char* password, int* count);
SOLVANTAMGR_API int SOLVANTAMGR_CALL pkcs12_file_get_certinfo(int entry, char* subject, char* issuer,
                                                              int* ca_kind);
/* An end entity goes into the container (key pair, then certificate); a CA
   goes outside containers whatever container is named. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL pkcs12_import_certificate(int index, const char* container,
                                                               unsigned long key_spec, int entry);
SOLVANTAMGR_API int SOLVANTAMGR_CALL pkcs12_import_certificate_csp(const char* provider, const char* pin,
                                                                   const char* container, unsigned long key_spec,
                                                                   int entry);
SOLVANTAMGR_API int SOLVANTAMGR_CALL x509_get_PublicKey(const char* path, unsigned char* modulus,
                                                        unsigned long* length);
SOLVANTAMGR_API int SOLVANTAMGR_CALL x509_import_certificate(int index, const char* path);
SOLVANTAMGR_API int SOLVANTAMGR_CALL x509_import_certificate_data(int index, const unsigned char* data,
                                                                  unsigned long length);
SOLVANTAMGR_API int SOLVANTAMGR_CALL x509_import_container_certificate(int index, const char* container,
                                                                       unsigned long key_spec, const char* path);
SOLVANTAMGR_API int SOLVANTAMGR_CALL x509_import_container_certificate_data(int index, const char* container,
                                                                            unsigned long key_spec,
                                                                            const unsigned char* data,
                                                                            unsigned long length);
/* container: 64 bytes (at most 63 name bytes and a NUL are written). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL x509_get_certificate_container(int index, const unsigned char* data,
                                                                    unsigned long length, char* container,
                                                                    unsigned long* key_spec);

/* ---- Remote unblock code and reader list ---------------------------------- */

/* challenge and response: 16 bytes. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_generate_unblock_code(const unsigned char* challenge, const char* key,
                                                                  unsigned char* response);
/* 1 when length is not a multiple of 8. */
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_generate_unblock_code2(const unsigned char* challenge,
                                                                   unsigned long length, const char* key,
                                                                   unsigned char* response);
/* *length positive on entry: the capacity of readers in characters. A null
   readers asks for the length (0 and *length, the final NUL included). */
SOLVANTAMGR_API int SOLVANTAMGR_CALL helper_list_readers(char* readers, int* length);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* SOLVANTA_MGR_H */
