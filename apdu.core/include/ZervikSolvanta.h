/*
 * ZervikSolvanta: the token's card command library.
 *
 * Flat C interface for outside applications. Every function returns an int
 * status (0 = success) and never throws.
 *
 * Calling convention: __stdcall on Windows (ZERVIK_CALL), exported by
 * undecorated name ("Zervik_EnumDev", not "_Zervik_EnumDev@12"), so that
 * GetProcAddress finds the plain names; link with the import library
 * ZervikSolvanta.dll.a, or load the DLL and declare function pointers with
 * ZERVIK_CALL. Natively (Linux, libZervikSolvanta.so) the platform's default
 * convention.
 *
 * Status integers
 *   0       success: the card answered 90 00 and every output is written.
 *   1       one of several causes, which the caller cannot tell apart:
 *           - the device handle is null or not a device of the list
 *             (never connected, removed, disconnected);
 *           - the command could not be sent: the PC/SC exchange failed after
 *             its one recovery and retry, or the command was refused before
 *             sending (Zervik_DeviceIO: null command, length below 4 or
 *             above 2048, null reply buffer or length, negative capacity);
 *           - the command could not be wrapped for secure messaging;
 *           - an internal failure (out of memory).
 *   2       the command could not be built (a bad argument: null pointer,
 *           length out of range; nothing is sent); the device got no usable
 *           reply (none, shorter than SW1 SW2, or SW1 = 00, which is no
 *           status word); Zervik_EnumDev: the buffer is too small, the
 *           length then holds the size needed; Zervik_SetDevHandle and
 *           Zervik_AddDevHandle: a null or too long reader name, or a null
 *           handle pointer.
 *   3       the card answered 90 00 but its data is shorter than the command
 *           needs, or does not fit the caller's buffer (nothing written,
 *           neither buffer nor length).
 *   0x8005  the reply failed the secure-messaging check.
 *   other positive values
 *           the card's status word SW1SW2, e.g. 0x6A82 (outputs untouched).
 *   PC/SC codes (0x8010xxxx, negative as int)
 *           passed through by Zervik_ConnectDev, Zervik_BeginTransaction
 *           and Zervik_EndTransaction.
 *
 * Secure messaging: a reply that carries only SW1 SW2 to a wrapped command
 * has no MAC, so its status word (also 90 00) is not authenticated.
 *
 * Reader names are at most 255 characters. Buffers belong to the caller: an
 * in/out length holds the capacity on entry and the bytes written on success.
 *
 * Threads: the device list is not locked. Calls that change it
 * (Zervik_EnumDev, the connect, handle and remove functions) must not run
 * while another thread uses the library; calls on different devices may run
 * at once. Callers that share one card across processes bracket their work
 * with Zervik_BeginTransaction / Zervik_EndTransaction.
 */
#ifndef ZERVIK_SOLVANTA_H
#define ZERVIK_SOLVANTA_H

#include <stdint.h>

/* Status integers with a name of their own (see above). */
#include "zervik_status.h"

#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
#define ZERVIK_CALL __stdcall
/* Exported through ZervikSolvanta.def. */
#define ZERVIK_API
#else
#include <PCSC/winscard.h>
#define ZERVIK_CALL
#if defined(ZERVIK_BUILDING_LIBRARY)
#define ZERVIK_API __attribute__((visibility("default")))
#else
#define ZERVIK_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A device of the library's list; valid until the device is removed. */
typedef void* ZERVIK_HANDLE;

/* ---- Devices and transport ------------------------------------------- */

/* Refreshes the device list from the PC/SC readers whose name contains
 * filter ("" for all) and writes the names of all listed devices as a
 * multi-string ("A\0BC\0\0"). No matching reader: *length = 0, result 0.
 * Capacity *length below the size T needed (a null buffer counts as
 * capacity 0): *length = T, result 2. Else the names are copied, *length = T,
 * result 0. Devices whose readers are gone are deleted (their handles become
 * invalid). A null filter or length: 2, nothing changed. */
ZERVIK_API int ZERVIK_CALL Zervik_EnumDev(const char* filter, char* buffer, int* length);

/* Connects to the reader of exactly that name (the listed device, or a new
 * one) and writes its handle. Connecting a reader twice gives the same
 * handle. A connection the device held, its own or attached, is released
 * first. Result 0, or the PC/SC code (handle not written; a device created
 * for the reader stays listed). A null name or one of 256 characters or more:
 * SCARD_E_UNKNOWN_READER, no device made; a null handle pointer:
 * SCARD_E_INVALID_PARAMETER. Success clears the secure-channel flag. */
ZERVIK_API int ZERVIK_CALL Zervik_ConnectDev(const char* reader_name, ZERVIK_HANDLE* handle);

/* Hands an outside PC/SC context and card handle to the listed device of
 * that name, or to a new one, and writes its handle. The outside handles stay
 * the caller's: the library never releases them, except in
 * Zervik_DisconnectDev and Zervik_ConnectDev. 0; 2 for a bad name or a null
 * handle pointer. */
ZERVIK_API int ZERVIK_CALL Zervik_SetDevHandle(const char* reader_name, SCARDCONTEXT context, SCARDHANDLE card,
                                               ZERVIK_HANDLE* handle);

/* As Zervik_SetDevHandle, but always adds a new device, even when one of
 * that name is listed. 0; 2 for a bad name or a null handle pointer. */
ZERVIK_API int ZERVIK_CALL Zervik_AddDevHandle(const char* reader_name, SCARDCONTEXT context, SCARDHANDLE card,
                                               ZERVIK_HANDLE* handle);

/* Gives the device an outside context and card handle (a connection the
 * library opened for it is released). 0, or 1 for a bad handle. */
ZERVIK_API int ZERVIK_CALL Zervik_UpdateDevHandle(ZERVIK_HANDLE handle, SCARDCONTEXT context, SCARDHANDLE card);

/* Deletes the device; the handle is invalid afterwards (every call with it
 * returns 1). A connection the library opened (Zervik_ConnectDev) is
 * released; outside handles are left to their owner. 0, or 1. */
ZERVIK_API int ZERVIK_CALL Zervik_RemoveDevice(ZERVIK_HANDLE handle);

/* Leaves the card, releases the device's context and card handle (also
 * outside ones handed over by Zervik_SetDevHandle and the like), then deletes
 * the device as Zervik_RemoveDevice. 0, or 1. */
ZERVIK_API int ZERVIK_CALL Zervik_DisconnectDev(ZERVIK_HANDLE handle);

/* Sends the command bytes as they are (4 to 2048 bytes; no secure
 * messaging) and writes the raw reply, data and SW1 SW2, whatever the status
 * word: 6D 00 is result 0. *reply_length is the capacity in, the reply length
 * out. 0; 1 send failed or refused; 2 no usable reply; 3 the reply does not
 * fit (nothing written). */
ZERVIK_API int ZERVIK_CALL Zervik_DeviceIO(ZERVIK_HANDLE handle, const unsigned char* command, int command_length,
                                           unsigned char* reply, int* reply_length);

/* PC/SC transaction on the device's card: another client's transaction
 * waits until this one ends. A card reset by another client is reconnected
 * and the transaction begun once more. 0, 1 (bad handle) or a PC/SC code. */
ZERVIK_API int ZERVIK_CALL Zervik_BeginTransaction(ZERVIK_HANDLE handle);
ZERVIK_API int ZERVIK_CALL Zervik_EndTransaction(ZERVIK_HANDLE handle);

/* Non-zero: later commands of the families that follow the flag go wrapped.
 * Process-wide; Zervik_ConnectDev clears it. Always 0. */
ZERVIK_API int ZERVIK_CALL Zervik_UseSecureChannel(int value);

/* ---- Device events ---------------------------------------------------- */
/* One watch thread per process follows the PC/SC readers (the first 9 of
 * them), started by the first wait; its reports reach every thread that
 * waits, each through a queue of its own, kept from its first wait until a
 * wait of it returns event 3. Events that come between two waits of a
 * thread are kept for its next wait. */

/* Blocks until a card arrives in (*event = 1) or leaves (*event = 2) a
 * reader whose name contains the pattern, or until watching ends
 * (*event = 3: Zervik_CancelWait, an unexpected PC/SC failure, or unload).
 * The pattern is the first comma-separated token of spec, taken whole; a
 * null or empty spec, or one without a token, keeps the pattern of the last
 * spec that had one ("" at first: every reader). A card already present
 * when watching starts is an arrival at once. When the PC/SC service goes
 * away, readers that had a card give a removal, and watching goes on once the
 * service is back. Result 0; 1 for a null event pointer or when the wait
 * cannot be set up. */
ZERVIK_API int ZERVIK_CALL Zervik_WaitforDevEvent(const char* spec, int* event);

/* Stops the watch thread if one runs: every pending wait ends with event 3
 * (also when the thread does not stop within about 2 s; it is then left to
 * end by itself and reports nothing more, and natively the library then
 * stays loaded until the process ends). The next wait starts a new watch
 * thread. Always 0. Natively, unloading the library waits until the watch
 * thread has ended. */
ZERVIK_API int ZERVIK_CALL Zervik_CancelWait(void);

/* ---- Device management ------------------------------------------------ */
/* These commands always go in plain, except Zervik_FormatDevice, which
 * follows the secure-channel flag. A card status word other than 90 00 is
 * returned as it is (e.g. 0x6A82) with no output written. */

/* The card's free file-system space: the first 4 reply bytes, big-endian.
 * 3 for a shorter reply; 2 for a null pointer (nothing sent). */
ZERVIK_API int ZERVIK_CALL Zervik_GetFSMaxSpace(ZERVIK_HANDLE handle, int* space);

/* The chip id as the card gives it; *length is the capacity in, the id's
 * length out. 3 when it does not fit (nothing written); 2 for a null
 * pointer. */
ZERVIK_API int ZERVIK_CALL Zervik_GetChipID(ZERVIK_HANDLE handle, unsigned char* buffer, int* length);

/* Formats the card. string1..string4: zero-terminated, at most 32
 * characters each; blob: zero-terminated, at most 255 characters; key1..key3:
 * 32 bytes each, with their 32-bit ids and a parameter byte. 2 for a null
 * pointer or a string too long (nothing sent); status only. */
ZERVIK_API int ZERVIK_CALL Zervik_FormatDevice(ZERVIK_HANDLE handle, const char* string1, const char* string2,
                                               const char* string3, const char* string4, unsigned int value,
                                               unsigned char byte_value, const char* blob, unsigned int key1_id,
                                               const unsigned char* key1, unsigned char key1_parameter,
                                               unsigned int key2_id, const unsigned char* key2,
                                               unsigned char key2_parameter, unsigned int key3_id,
                                               const unsigned char* key3, unsigned char key3_parameter);

/* The card's 8 health bytes, copied unchanged (byte 0 of the reply is byte 0
 * of *status in memory). 3 for any reply of another length; 2 for a null
 * pointer. */
ZERVIK_API int ZERVIK_CALL Zervik_GetHealthStatus(ZERVIK_HANDLE handle, uint64_t* status);

/* Sets the card's working mode (the low byte of mode); status only. */
ZERVIK_API int ZERVIK_CALL Zervik_ChangeWorkingMode(ZERVIK_HANDLE handle, int mode);

/* Runs the card's self-test; status only. */
ZERVIK_API int ZERVIK_CALL Zervik_HealthCheck(ZERVIK_HANDLE handle);

/* Reseeds the card's random generator; status only. */
ZERVIK_API int ZERVIK_CALL Zervik_DRBGReseed(ZERVIK_HANDLE handle);

/* ---- Secure channel --------------------------------------------------- */

/* Secure messaging: once Zervik_SetupSecureMessageChannel has agreed keys
 * with the card and Zervik_UseSecureChannel has set the flag, the commands
 * that follow the flag carry their data padded, encrypted (AES-256-CBC) and
 * closed by an AES-CMAC, and the card's reply data comes back the same way.
 * Kept as the card requires: the IV is zero for every command (equal
 * commands give equal ciphertexts), Le is outside the MAC, and the status
 * word of a reply is not protected. A reply that fails the check (bad MAC,
 * bad padding, fewer than 16 bytes) gives 0x8005. */

/* Key agreement, step 1 (always plain): the card makes a key pair for the
 * algorithm (0x40001011: P-521) and returns its 144-byte public-key record
 * {key size u32, X 68 bytes, Y 68 bytes, 4 zero bytes} into card_key.
 * parameter: low byte used. 0; 3 when the card's reply is shorter than 148
 * bytes; a card status. */
ZERVIK_API int ZERVIK_CALL Zervik_SecureMessageGenEphemeral(ZERVIK_HANDLE handle, uint32_t algorithm, int parameter,
                                                            unsigned char* card_key);

/* Key agreement, step 2 (always plain): both ids (0x40001011, 0x40000015:
 * SHA-512), 68 bytes of KDF OtherInfo and the host's 144-byte public-key
 * record. A caller using the two steps derives and keeps the keys itself.
 * Status only. */
ZERVIK_API int ZERVIK_CALL Zervik_SecureMessageKDF(ZERVIK_HANDLE handle, uint32_t first_id, uint32_t second_id,
                                                   const unsigned char* other_info, const unsigned char* host_key);

/* Both steps with a fresh host P-521 key pair from the library's random
 * source; SHA-512 derivation from the shared secret and 68 zero bytes of
 * OtherInfo; the device keeps MAC key = bytes 0-31 and encryption key =
 * bytes 32-63. 0; a card status; 3 for a short card key; 2 for a card point
 * that is not on the curve; 1 when the device was removed (by another
 * thread) before the second step or before its keys were kept. On failure
 * the device keeps its previous keys. */
ZERVIK_API int ZERVIK_CALL Zervik_SetupSecureMessageChannel(ZERVIK_HANDLE handle);

/* ---- Host-side AES key wrap (RFC 3394, default IV A6..A6) -------------- */

/* kek_length: 16, 24 or 32 (its low byte is used); key_length: a multiple of
 * 8, at least 8. *output_length: the capacity in, key_length + 8 out. 0, or 1
 * for a bad KEK length, a bad key length, or a short output (then
 * *output_length = the length needed, nothing else written). */
ZERVIK_API int ZERVIK_CALL Zervik_SoftAESKeyWrap(const unsigned char* kek, int kek_length, const unsigned char* key,
                                                 int key_length, unsigned char* output, unsigned short* output_length);

/* The inverse: wrapped_length a multiple of 8, at least 16. 0 with the key
 * and *output_length = wrapped_length - 8; 1 for a bad length or a short
 * output (nothing written), or when the integrity check fails (the output's
 * wrapped_length - 8 bytes are zeroed). */
ZERVIK_API int ZERVIK_CALL Zervik_SoftAESKeyUnwrap(const unsigned char* kek, int kek_length,
                                                   const unsigned char* wrapped, int wrapped_length,
                                                   unsigned char* output, unsigned short* output_length);
/* ---- Key pairs ---------------------------------------------------------- */
/* The commands follow the secure-channel flag. Key ids are the card's 16-bit
 * key identifiers (a key pair has a public and a private id); algorithm ids
 * are the card's (0x40001000 RSA-1024, 0x40001001 RSA-2048, 0x40001010
 * P-256, 0x40001011 P-521; hash ids 0x40000000 MD5, 0x40000011 SHA-1,
 * 0x40000013 SHA-256, 0x40000014 SHA-384, 0x40000015 SHA-512). The two
 * parameter values and session key ids take their low byte. Outputs that do
 * not fit give 3 with nothing written; a null pointer, a negative length or
 * data longer than one command carries give 2 with nothing sent. */

ZERVIK_API int ZERVIK_CALL Zervik_AsymGenKeypair(ZERVIK_HANDLE handle, unsigned short public_key,
                                                 unsigned short private_key, uint32_t algorithm, int parameter1,
                                                 int parameter2);

/* Imports a public key wrapped under the session key wrap_key. */
ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapImportPub(ZERVIK_HANDLE handle, int wrap_key, unsigned short key,
                                                    uint32_t algorithm, int parameter1, int parameter2,
                                                    const unsigned char* key_data, int key_length);

/* Imports a public key blob; its first four bytes are a 32-bit value in host
 * order (sent big-endian), so key_length must be at least 4 (else 2). The
 * blob Zervik_AsymExportPub gives back imports unchanged. */
ZERVIK_API int ZERVIK_CALL Zervik_AsymImportPub(ZERVIK_HANDLE handle, unsigned short key, uint32_t algorithm,
                                                int parameter1, int parameter2, const unsigned char* key_data,
                                                int key_length);

/* Imports a key pair whose private part is wrapped under wrap_key. */
ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapImportPri(ZERVIK_HANDLE handle, int wrap_key, unsigned short public_key,
                                                    unsigned short private_key, uint32_t algorithm, int parameter1,
                                                    int parameter2, const unsigned char* wrapped,
                                                    int wrapped_length);

/* Exports: *header = reply bytes 0-3 (big-endian), *byte4 and *byte5 the next
 * two bytes, the key blob into buffer (*length: capacity in, length out). 3
 * for a reply shorter than 6 bytes or a blob that does not fit. */
ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapExportPub(ZERVIK_HANDLE handle, int wrap_key, unsigned short key,
                                                    int* header, int* byte4, int* byte5, unsigned char* buffer,
                                                    int* length);
/* As above, plain; the blob's first four bytes come back in host order (3
 * for a blob shorter than 4 bytes). */
ZERVIK_API int ZERVIK_CALL Zervik_AsymExportPub(ZERVIK_HANDLE handle, unsigned short key, int* header, int* byte4,
                                                int* byte5, unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_AsymWrapExportPri(ZERVIK_HANDLE handle, int wrap_key, unsigned short key,
                                                    int* header, int* byte4, int* byte5, unsigned char* buffer,
                                                    int* length);

/* A session key encrypted under the key pair: imported as session_key of
 * key_type, or exported (reply header into *header, 3 for a reply shorter
 * than 4 bytes). */
ZERVIK_API int ZERVIK_CALL Zervik_AsymImportSessionKey(ZERVIK_HANDLE handle, int session_key, unsigned short key,
                                                       uint32_t key_type, const unsigned char* encrypted,
                                                       int encrypted_length);
ZERVIK_API int ZERVIK_CALL Zervik_AsymExportSessionKey(ZERVIK_HANDLE handle, int session_key, unsigned short key,
                                                       uint32_t* header, unsigned char* buffer, int* length);

/* Signs the card's current digest (the last hash finished on the card). */
ZERVIK_API int ZERVIK_CALL Zervik_AsymSignHash(ZERVIK_HANDLE handle, unsigned short key, unsigned char* signature,
                                               int* signature_length);
/* Hashes data with the hash id on the card and signs the digest. */
ZERVIK_API int ZERVIK_CALL Zervik_AsymSign(ZERVIK_HANDLE handle, unsigned short key, uint32_t algorithm,
                                           const unsigned char* data, int data_length, unsigned char* signature,
                                           int* signature_length);
/* 0 for a good signature, the card's status word for a bad one. */
ZERVIK_API int ZERVIK_CALL Zervik_AsymVerifyHash(ZERVIK_HANDLE handle, unsigned short key,
                                                 const unsigned char* signature, int signature_length);
ZERVIK_API int ZERVIK_CALL Zervik_AsymVerify(ZERVIK_HANDLE handle, unsigned short key, const unsigned char* data,
                                             int data_length, uint32_t algorithm, const unsigned char* signature,
                                             int signature_length);

/* Public-key encryption, private-key decryption and the raw public and
 * private key operations; the result into output. */
ZERVIK_API int ZERVIK_CALL Zervik_AsymPublicEncryption(ZERVIK_HANDLE handle, unsigned short key,
                                                       const unsigned char* data, int data_length,
                                                       unsigned char* output, int* output_length);
ZERVIK_API int ZERVIK_CALL Zervik_AsymPrivateDecryption(ZERVIK_HANDLE handle, unsigned short key,
                                                        const unsigned char* data, int data_length,
                                                        unsigned char* output, int* output_length);
ZERVIK_API int ZERVIK_CALL Zervik_AsymPublicOperation(ZERVIK_HANDLE handle, unsigned short key,
                                                      const unsigned char* data, int data_length,
                                                      unsigned char* output, int* output_length);
ZERVIK_API int ZERVIK_CALL Zervik_AsymPrivateOperation(ZERVIK_HANDLE handle, unsigned short key,
                                                       const unsigned char* data, int data_length,
                                                       unsigned char* output, int* output_length);

/* ---- Token configuration ------------------------------------------------ */
/* Always plain. The reads give 1 when the value does not fit the caller's
 * buffer and 3 when the card answers with more than any value of the item
 * (32 bytes for the USB ids, 1024 for the texts); nothing written then. */

/* Sent as vendor id, then product id, each big-endian. */
ZERVIK_API int ZERVIK_CALL Zervik_ConfigureVIDPID(ZERVIK_HANDLE handle, unsigned short vendor_id,
                                                  unsigned short product_id);
ZERVIK_API int ZERVIK_CALL Zervik_ConfigureReader(ZERVIK_HANDLE handle, const unsigned char* name, int length);
/* 24 bytes: up to 8 characters of vendor, then up to 16 of product, each
 * padded with spaces. Null strings: 2. */
ZERVIK_API int ZERVIK_CALL Zervik_ConfigureCDInquiry(ZERVIK_HANDLE handle, const char* vendor, const char* product);
ZERVIK_API int ZERVIK_CALL Zervik_ConfigureVendor(ZERVIK_HANDLE handle, const unsigned char* name, int length);
/* Reply bytes 0-1 and 2-3, each read little-endian, as the card answers
 * them; 1 for a reply shorter than 4 bytes. */
ZERVIK_API int ZERVIK_CALL Zervik_GetVIDPID(ZERVIK_HANDLE handle, unsigned short* vendor_id,
                                            unsigned short* product_id);
ZERVIK_API int ZERVIK_CALL Zervik_GetReader(ZERVIK_HANDLE handle, unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_GetCDInquiry(ZERVIK_HANDLE handle, unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_GetUSBVendor(ZERVIK_HANDLE handle, unsigned char* buffer, int* length);

/* ---- Session keys and the card's symmetric ciphers ---------------------- */
/* Session keys live on the card under one-byte references; key types:
 * 0x40002000/01 AES-128, 0x40002010/11 AES-192, 0x40002020/21 AES-256,
 * 0x40002110/11 two-key 3DES, 0x40002120/21 three-key 3DES. The key
 * management commands follow the secure-channel flag; SymCryptInit and the
 * Sym*Update/Final steps always go plain. Data of the session-key commands
 * is at most 1024 bytes (with the key type where one is sent), else 2. */

/* The two agreement steps: the card's 144-byte public-key record (3 for a
 * reply shorter than 148 bytes), then the card derives the key of key_type
 * under session_key from the host's record and 68 bytes of OtherInfo. */
ZERVIK_API int ZERVIK_CALL Zervik_SessionKASGenerateEphemeral(ZERVIK_HANDLE handle, uint32_t algorithm,
                                                              int parameter, unsigned char* card_key);
ZERVIK_API int ZERVIK_CALL Zervik_SessionKDF(ZERVIK_HANDLE handle, uint32_t first_id, uint32_t second_id,
                                             int session_key, uint32_t key_type, const unsigned char* other_info,
                                             const unsigned char* host_key);
/* A random key, or the caller's key bytes (wrapped under the secure channel
 * when the flag is set). */
ZERVIK_API int ZERVIK_CALL Zervik_GenSessionKey(ZERVIK_HANDLE handle, int session_key, uint32_t key_type);
ZERVIK_API int ZERVIK_CALL Zervik_CreateSessionKey(ZERVIK_HANDLE handle, int session_key, uint32_t key_type,
                                                   const unsigned char* key, int key_length);
/* The first 4 bytes of the card's information, big-endian (the key type); 3
 * for a reply shorter than 4 or longer than 32 bytes. */
ZERVIK_API int ZERVIK_CALL Zervik_GetSessionKeyInfo(ZERVIK_HANDLE handle, int session_key, int* info);
ZERVIK_API int ZERVIK_CALL Zervik_DestroySessionKey(ZERVIK_HANDLE handle, int session_key);
ZERVIK_API int ZERVIK_CALL Zervik_DestroyAllSessionKeys(ZERVIK_HANDLE handle);
/* A session key wrapped (RFC 3394) under the session key wrap_key: imported
 * as session_key of key_type, or exported (reply header into *header; 1 for
 * a reply shorter than 4 bytes or a key that does not fit). */
ZERVIK_API int ZERVIK_CALL Zervik_SymImportSessionKey(ZERVIK_HANDLE handle, int wrap_key, int session_key,
                                                      uint32_t key_type, const unsigned char* wrapped,
                                                      int wrapped_length);
ZERVIK_API int ZERVIK_CALL Zervik_SymExportSessionKey(ZERVIK_HANDLE handle, int wrap_key, int session_key,
                                                      uint32_t* header, unsigned char* buffer, int* length);
/* Opens the card's cipher context with session_key; mode and data (an IV,
 * for example) are the card's; length 0: no data. */
ZERVIK_API int ZERVIK_CALL Zervik_SymCryptInit(ZERVIK_HANDLE handle, int session_key, int mode,
                                               const unsigned char* data, int length);
/* Cipher steps: data in (at most 1024 bytes), the card's output into output;
 * 1 when it does not fit. A Final of length 0 sends no data. */
ZERVIK_API int ZERVIK_CALL Zervik_SymEncryptUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                   unsigned char* output, int* output_length);
ZERVIK_API int ZERVIK_CALL Zervik_SymEncryptFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                  unsigned char* output, int* output_length);
ZERVIK_API int ZERVIK_CALL Zervik_SymDecryptUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                   unsigned char* output, int* output_length);
ZERVIK_API int ZERVIK_CALL Zervik_SymDecryptFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                                  unsigned char* output, int* output_length);

/* Session-key agreement: both steps above with a host P-521 key pair, the
 * SHA-512 derivation from the shared secret and 68 zero bytes of OtherInfo.
 * The card keeps the key of key_type under session_key; the host's copy (the
 * type's key length: 16, 24 or 32 bytes; 0 for a type the table lacks) goes
 * to key. 1 when *key_length is smaller (the card keeps its key). The fast
 * form uses one host key pair made once per process instead of a fresh one
 * for each call. */
ZERVIK_API int ZERVIK_CALL Zervik_KASSessionKey(ZERVIK_HANDLE handle, int session_key, uint32_t key_type,
                                                unsigned char* key, int* key_length);
ZERVIK_API int ZERVIK_CALL Zervik_KASSessionKeyFast(ZERVIK_HANDLE handle, int session_key, uint32_t key_type,
                                                    unsigned char* key, int* key_length);
/* Loads the caller's key (8 to 248 bytes, a multiple of 8; else 1 with
 * nothing sent) as session_key of key_type: wrapped (RFC 3394) under an
 * AES-256 key-encryption key agreed with the card under kek_id, then
 * GenSessionKey and SymImportSessionKey. The agreed key is kept for this
 * device and kek_id and reused by later calls; Zervik_ConnectDev,
 * Zervik_DisconnectDev, Zervik_DestroyAllSessionKeys (and
 * Zervik_DestroySessionKey of kek_id) drop it. When the card's refusal of
 * the import under a kept key says that it no longer holds that key (6A88:
 * none under kek_id; 6A80 for a key whose length is its type's: the key
 * there does not unwrap it), the key is agreed once more; any other refusal
 * is returned as it is, and the kept key stays. */
ZERVIK_API int ZERVIK_CALL Zervik_SetSessionKey(ZERVIK_HANDLE handle, int kek_id, int session_key, uint32_t key_type,
                                                const unsigned char* key, int key_length);

/* ---- Hash and MAC on the card ------------------------------------------ */
/* Always plain. Data of one command is bounded by what the 2048-byte
 * transport carries; a negative length, a null pointer or longer data give
 * 2 with nothing sent. A digest or MAC that does not fit gives 3. */

ZERVIK_API int ZERVIK_CALL Zervik_HashInit(ZERVIK_HANDLE handle, uint32_t algorithm);
ZERVIK_API int ZERVIK_CALL Zervik_HashUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length);
/* length 0: no data, only the digest. */
ZERVIK_API int ZERVIK_CALL Zervik_HashFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                            unsigned char* digest, int* digest_length);
/* One shot: Init, the data in 1024-byte Updates, Final with the rest. A
 * failing step ends it with its status (no Final after a failed Update); 1
 * when the device leaves the list between the commands. */
ZERVIK_API int ZERVIK_CALL Zervik_Hash(ZERVIK_HANDLE handle, uint32_t algorithm, const unsigned char* data,
                                       int length, unsigned char* digest, int* digest_length);
/* AES-CMAC on the card under an AES session key. */
ZERVIK_API int ZERVIK_CALL Zervik_MacInit(ZERVIK_HANDLE handle, int session_key);
ZERVIK_API int ZERVIK_CALL Zervik_MacUpdate(ZERVIK_HANDLE handle, const unsigned char* data, int length);
ZERVIK_API int ZERVIK_CALL Zervik_MacFinal(ZERVIK_HANDLE handle, const unsigned char* data, int length,
                                           unsigned char* mac, int* mac_length);
ZERVIK_API int ZERVIK_CALL Zervik_Mac(ZERVIK_HANDLE handle, int session_key, const unsigned char* data, int length,
                                      unsigned char* mac, int* mac_length);

/* ---- PINs and authentication ------------------------------------------ */
/* InstallPin, ChangePin, UnblockPin and UnloadPin always go wrapped: they
 * need the device's channel keys (Zervik_SetupSecureMessageChannel) and are
 * refused with 1, nothing sent, while the device has none. GetChallenge,
 * DRBGGenRandom and DeviceAuth always go plain; the others follow the
 * secure-channel flag. A card status word other than 90 00 is returned as it
 * is (a wrong PIN: 0x63Cx with x tries left; a blocked PIN: 0x6983) and
 * nothing is written. A null pointer where bytes are needed, a negative
 * length or data beyond the limits below: 2, nothing sent. */

/* Installs a PIN (or key slot) under reference: its algorithm, try limit,
 * value (pin_length 0 to 32 bytes), the bytes *access1 and *access2 and two
 * option bytes; p1 goes into the command header. Status only. */
ZERVIK_API int ZERVIK_CALL Zervik_InstallPin(ZERVIK_HANDLE handle, unsigned char reference, uint32_t algorithm,
                                             unsigned char try_limit, const unsigned char* pin, int pin_length,
                                             const unsigned char* access1, const unsigned char* access2,
                                             unsigned char option1, unsigned char option2, unsigned char p1);

/* A challenge of exactly length bytes (1 to 65536) that the card keeps for
 * the next check; 3 when the card gives any other number of bytes (nothing
 * written). */
ZERVIK_API int ZERVIK_CALL Zervik_GetChallenge(ZERVIK_HANDLE handle, int length, unsigned char* buffer);

/* As Zervik_GetChallenge, with bytes of the card's random generator. */
ZERVIK_API int ZERVIK_CALL Zervik_DRBGGenRandom(ZERVIK_HANDLE handle, int length, unsigned char* buffer);

/* External authentication with the cryptogram (at most 1024 bytes) under the
 * card's device key key_reference. Status only. */
ZERVIK_API int ZERVIK_CALL Zervik_DeviceAuth(ZERVIK_HANDLE handle, unsigned char key_reference,
                                             const unsigned char* cryptogram, int length);

/* Internal authentication of the challenge (at most 1024 bytes); the card's
 * response into response, *response_length the capacity in and the length
 * out (3 when it does not fit). */
ZERVIK_API int ZERVIK_CALL Zervik_InternalAuth(ZERVIK_HANDLE handle, const unsigned char* challenge, int length,
                                               unsigned char* response, int* response_length);

/* Verifies PIN reference with the given bytes (at most 1024: the PIN, or a
 * response to the card's challenge); p1 goes into the command header. Status
 * only. */
ZERVIK_API int ZERVIK_CALL Zervik_VerifyPin(ZERVIK_HANDLE handle, unsigned char reference, unsigned char p1,
                                            const unsigned char* pin, int length);

/* The PIN's information (11 bytes from the card): bytes 0-3 big-endian into
 * *algorithm, then bytes 4 to 10 one each into the seven outputs in order:
 * byte 5 is the tries left, byte 10 non-zero when the PIN is to be changed.
 * 3 for fewer than 11 bytes. */
ZERVIK_API int ZERVIK_CALL Zervik_GetPinInfo(ZERVIK_HANDLE handle, unsigned char reference, int* algorithm,
                                             int* byte4, int* tries_left, unsigned char* byte6,
                                             unsigned char* byte7, int* byte8, int* byte9, int* to_be_changed);

/* Changes PIN reference: the old value (the PIN, or the response to the
 * card's challenge) followed by the new PIN, together at most 1024 bytes.
 * Status only. */
ZERVIK_API int ZERVIK_CALL Zervik_ChangePin(ZERVIK_HANDLE handle, unsigned char reference, unsigned char p1,
                                            const unsigned char* old_pin, int old_length,
                                            const unsigned char* new_pin, int new_length);

/* Unblocks PIN reference with the unblock value and sets the new PIN; laid
 * out as Zervik_ChangePin. Status only. */
ZERVIK_API int ZERVIK_CALL Zervik_UnblockPin(ZERVIK_HANDLE handle, unsigned char reference, unsigned char p1,
                                             const unsigned char* unblock_code, int unblock_length,
                                             const unsigned char* new_pin, int new_length);

/* Sets PIN reference to the given bytes (at most 1024). Status only. */
ZERVIK_API int ZERVIK_CALL Zervik_UnloadPin(ZERVIK_HANDLE handle, unsigned char reference,
                                            const unsigned char* data, int length);

/* Clears the card's security state (verified PINs); p1 and p2 go into the
 * command header. Status only. */
ZERVIK_API int ZERVIK_CALL Zervik_ClearSecureState(ZERVIK_HANDLE handle, unsigned char p1, unsigned char p2);

/* ---- Files, records and data objects ---------------------------------- */
/* Every command follows the secure-channel flag. Names are zero-terminated,
 * 1 to 16 characters (longer: 2, nothing sent). A card status word other than
 * 90 00 is returned as it is (0x6A82 not found, 0x6A89 exists, ...) and
 * nothing is written. Buffers: *length is the capacity in, the bytes written
 * out; 3 when the reply does not fit (nothing written).
 *
 * The selects write a file-information record of ZERVIK_FILE_INFO_SIZE
 * bytes, zeroed first, with its u16 fields in host byte order:
 *   byte 0       kind: 0 a DF, otherwise an EF
 *   byte 1       an EF's type (0x00 and 0x10 transparent, 0x20 and 0x30
 *                record files)
 *   bytes 2-17   the name, zero-padded
 *   bytes 18-19  the file id
 *   DF: bytes 20-21 as the card gives them;
 *   EF: bytes 20-27 (type 0x10: 20-28, types 0x20/0x30: 20-36) as the card
 *   gives them, with a u16 at 22 and, for types 0x20/0x30, a u32 at 25 and a
 *   u16 at 29 turned to host order.
 * 4 when the card answers 90 00 with information of another shape. */
#define ZERVIK_FILE_INFO_SIZE 37

ZERVIK_API int ZERVIK_CALL Zervik_SelectFileById(ZERVIK_HANDLE handle, unsigned short file_id, unsigned char* info);
/* The id is read from the two bytes at file_id, high byte first (3F 00 is
 * 0x3F00); a null pointer: 2. */
ZERVIK_API int ZERVIK_CALL Zervik_SelectFileById2(ZERVIK_HANDLE handle, const unsigned short* file_id,
                                                  unsigned char* info);
ZERVIK_API int ZERVIK_CALL Zervik_SelectChildDFById(ZERVIK_HANDLE handle, unsigned short file_id,
                                                    unsigned char* info);
ZERVIK_API int ZERVIK_CALL Zervik_SelectEFById(ZERVIK_HANDLE handle, unsigned short file_id, unsigned char* info);
ZERVIK_API int ZERVIK_CALL Zervik_SelectParentDF(ZERVIK_HANDLE handle, unsigned char* info);
ZERVIK_API int ZERVIK_CALL Zervik_SelectDFByName(ZERVIK_HANDLE handle, const char* name, unsigned char* info);
ZERVIK_API int ZERVIK_CALL Zervik_SelectEFByName(ZERVIK_HANDLE handle, const char* name, unsigned char* info);
/* path: file ids, 2 bytes each, from the MF or from the current DF. */
ZERVIK_API int ZERVIK_CALL Zervik_SelectDFByPathFromMF(ZERVIK_HANDLE handle, const unsigned char* path, int length,
                                                       unsigned char* info);
ZERVIK_API int ZERVIK_CALL Zervik_SelectDFByPathFromDF(ZERVIK_HANDLE handle, const unsigned char* path, int length,
                                                       unsigned char* info);

/* A DF in the current DF, with the access bytes *access1 and *access2. */
ZERVIK_API int ZERVIK_CALL Zervik_CreateDF(ZERVIK_HANDLE handle, const char* name, unsigned short file_id,
                                           const unsigned char* access1, const unsigned char* access2);
/* An EF in the current DF: its type, id, a parameter byte, its size, a
 * second parameter byte, its name and the access bytes *access1..*access3. */
ZERVIK_API int ZERVIK_CALL Zervik_CreateEF(ZERVIK_HANDLE handle, unsigned char type, unsigned short file_id,
                                           unsigned char parameter, unsigned short size,
                                           unsigned char second_parameter, const char* name,
                                           const unsigned char* access1, const unsigned char* access2,
                                           const unsigned char* access3);
ZERVIK_API int ZERVIK_CALL Zervik_DeleteCurrentFile(ZERVIK_HANDLE handle);
ZERVIK_API int ZERVIK_CALL Zervik_DeleteFileById(ZERVIK_HANDLE handle, unsigned short file_id);
ZERVIK_API int ZERVIK_CALL Zervik_DeleteFileByName(ZERVIK_HANDLE handle, unsigned char p2, const char* name);

/* Transparent files: the current EF, a short file id (sid), or a name.
 * Reads ask for count bytes (1 to 65536) at offset; writes send the mode
 * byte, the offset and the bytes. */
ZERVIK_API int ZERVIK_CALL Zervik_ReadBinary(ZERVIK_HANDLE handle, unsigned short offset, int count,
                                             unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_ReadBinarySid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short offset,
                                                int count, unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_ReadBinaryName(ZERVIK_HANDLE handle, const char* name, unsigned short offset,
                                                 int count, unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_UpdateBinary(ZERVIK_HANDLE handle, unsigned short offset,
                                               const unsigned char* data, int length, unsigned char mode);
ZERVIK_API int ZERVIK_CALL Zervik_UpdateBinarySid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short offset,
                                                  const unsigned char* data, int length, unsigned char mode);
ZERVIK_API int ZERVIK_CALL Zervik_UpdateBinaryName(ZERVIK_HANDLE handle, const char* name, unsigned short offset,
                                                   const unsigned char* data, int length, unsigned char mode);

/* Record files, addressed as transparent files. Append writes the new
 * record's number (1 for the first) into *number; 3 when the card's reply is
 * not 2 to 8 bytes. An empty record (length 0) goes without data. */
ZERVIK_API int ZERVIK_CALL Zervik_AppendRecord(ZERVIK_HANDLE handle, const unsigned char* record, int length,
                                               int* number);
ZERVIK_API int ZERVIK_CALL Zervik_AppendRecordSid(ZERVIK_HANDLE handle, unsigned char sid,
                                                  const unsigned char* record, int length, int* number);
ZERVIK_API int ZERVIK_CALL Zervik_AppendRecordName(ZERVIK_HANDLE handle, const char* name,
                                                   const unsigned char* record, int length, int* number);
/* The length of record number into *record_length; 3 for a reply of fewer
 * than 2 bytes. */
ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordLength(ZERVIK_HANDLE handle, unsigned short number, int* record_length);
ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordLengthSid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short number,
                                                      int* record_length);
ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordLengthName(ZERVIK_HANDLE handle, const char* name,
                                                       unsigned short number, int* record_length);
ZERVIK_API int ZERVIK_CALL Zervik_ReadRecord(ZERVIK_HANDLE handle, unsigned short number, unsigned char* buffer,
                                             int* length);
ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordSid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short number,
                                                unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordName(ZERVIK_HANDLE handle, const char* name, unsigned short number,
                                                 unsigned char* buffer, int* length);
ZERVIK_API int ZERVIK_CALL Zervik_UpdateRecord(ZERVIK_HANDLE handle, unsigned short number,
                                               const unsigned char* record, int length);
ZERVIK_API int ZERVIK_CALL Zervik_UpdateRecordSid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short number,
                                                  const unsigned char* record, int length);
ZERVIK_API int ZERVIK_CALL Zervik_UpdateRecordName(ZERVIK_HANDLE handle, const char* name, unsigned short number,
                                                   const unsigned char* record, int length);

/* Data objects by 16-bit tag. */
ZERVIK_API int ZERVIK_CALL Zervik_GetData(ZERVIK_HANDLE handle, unsigned short tag, unsigned char* buffer,
                                          int* length);
ZERVIK_API int ZERVIK_CALL Zervik_PutData(ZERVIK_HANDLE handle, unsigned short tag, const unsigned char* data,
                                          int length);

#ifdef __cplusplus
}
#endif

#endif /* ZERVIK_SOLVANTA_H */
