// The provider entry points advapi32 looks up in a provider DLL.
#ifndef SOLVANTA_STANDIN_CSP_H
#define SOLVANTA_STANDIN_CSP_H

#include <windows.h>
#include <wincrypt.h>

// What advapi32 hands to CPAcquireContext (version 3 carries the name the
// provider was acquired under).
struct standin_prov_table {
    DWORD version;
    FARPROC verify_image;
    FARPROC return_hwnd;
    DWORD prov_type;
    BYTE* context_info;
    DWORD context_info_length;
    LPSTR prov_name;
};

extern "C" {
BOOL WINAPI CPAcquireContext(HCRYPTPROV* out, LPCSTR container, DWORD flags, standin_prov_table* table);
BOOL WINAPI CPReleaseContext(HCRYPTPROV h, DWORD flags);
BOOL WINAPI CPSetProvParam(HCRYPTPROV h, DWORD param, const BYTE* data, DWORD flags);
BOOL WINAPI CPGetProvParam(HCRYPTPROV h, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL WINAPI CPGenKey(HCRYPTPROV h, ALG_ID alg, DWORD flags, HCRYPTKEY* out);
BOOL WINAPI CPGetUserKey(HCRYPTPROV h, DWORD spec, HCRYPTKEY* out);
BOOL WINAPI CPExportKey(HCRYPTPROV h, HCRYPTKEY key, HCRYPTKEY pub, DWORD type, DWORD flags, BYTE* data,
                        DWORD* length);
BOOL WINAPI CPImportKey(HCRYPTPROV h, const BYTE* data, DWORD length, HCRYPTKEY pub, DWORD flags, HCRYPTKEY* out);
BOOL WINAPI CPDestroyKey(HCRYPTPROV h, HCRYPTKEY key);
BOOL WINAPI CPSetKeyParam(HCRYPTPROV h, HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
BOOL WINAPI CPGetKeyParam(HCRYPTPROV h, HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL WINAPI CPGenRandom(HCRYPTPROV h, DWORD length, BYTE* out);
BOOL WINAPI CPCreateHash(HCRYPTPROV h, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* out);
BOOL WINAPI CPHashData(HCRYPTPROV h, HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
BOOL WINAPI CPHashSessionKey(HCRYPTPROV h, HCRYPTHASH hash, HCRYPTKEY key, DWORD flags);
BOOL WINAPI CPGetHashParam(HCRYPTPROV h, HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL WINAPI CPSetHashParam(HCRYPTPROV h, HCRYPTHASH hash, DWORD param, const BYTE* data, DWORD flags);
BOOL WINAPI CPDestroyHash(HCRYPTPROV h, HCRYPTHASH hash);
BOOL WINAPI CPSignHash(HCRYPTPROV h, HCRYPTHASH hash, DWORD spec, LPCWSTR description, DWORD flags, BYTE* out,
                       DWORD* length);
BOOL WINAPI CPVerifySignature(HCRYPTPROV h, HCRYPTHASH hash, const BYTE* signature, DWORD length, HCRYPTKEY pub,
                              LPCWSTR description, DWORD flags);
BOOL WINAPI CPEncrypt(HCRYPTPROV h, HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                      DWORD* length, DWORD capacity);
BOOL WINAPI CPDecrypt(HCRYPTPROV h, HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                      DWORD* length);
BOOL WINAPI CPDeriveKey(HCRYPTPROV h, ALG_ID alg, HCRYPTHASH hash, DWORD flags, HCRYPTKEY* out);
}

#endif  // SOLVANTA_STANDIN_CSP_H
