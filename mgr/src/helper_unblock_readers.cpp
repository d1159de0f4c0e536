// The remote unblock response and the PC/SC reader list: the two services
// that need no token session.
#include <windows.h>
#include <winscard.h>

#include <cstring>

#include "SolvantaMgr.h"
#include "guard.h"
#include "unblock_code.h"

namespace {

// A PC/SC code (negative as a 32-bit integer) as it is; a system error as
// its Win32-facility result code.
int as_result(LONG rv) {
    const auto u = static_cast<uint32_t>(rv);
    if (rv > 0) return static_cast<int>(0x80070000u | (u & 0xFFFFu));
    return static_cast<int>(u);
}

int list_readers(char* readers, int* length) {
    if (length == nullptr) return 1;
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) return as_result(rv);
    bool held = true;

    char* list = nullptr;
    DWORD chars = SCARD_AUTOALLOCATE;
    rv = SCardListReadersA(context, nullptr, reinterpret_cast<LPSTR>(&list), &chars);
    if (rv == static_cast<LONG>(SCARD_E_SERVICE_STOPPED)) {
        // The service went away under the context: once more on a new one.
        (void)SCardReleaseContext(context);
        held = false;
        rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
        if (rv == SCARD_S_SUCCESS) {
            held = true;
            list = nullptr;
            chars = SCARD_AUTOALLOCATE;
            rv = SCardListReadersA(context, nullptr, reinterpret_cast<LPSTR>(&list), &chars);
        }
    } else if (rv != SCARD_S_SUCCESS) {
        list = nullptr;
        chars = SCARD_AUTOALLOCATE;
        rv = SCardListReadersA(context, nullptr, reinterpret_cast<LPSTR>(&list), &chars);
    }

    int result = 0;
    if (rv != SCARD_S_SUCCESS) {
        result = as_result(rv);
    } else {
        if (readers == nullptr) {
            // The size query: nothing copied.
        } else if (*length > 0 && chars > static_cast<DWORD>(*length)) {
            result = static_cast<int>(SCARD_E_INSUFFICIENT_BUFFER);
        } else {
            std::memcpy(readers, list, chars);
        }
        *length = static_cast<int>(chars);
        (void)SCardFreeMemory(context, list);
    }
    if (held) (void)SCardReleaseContext(context);
    return result;
}

}  // namespace

extern "C" {

int SOLVANTAMGR_CALL helper_generate_unblock_code(const unsigned char* challenge, const char* key,
                                                  unsigned char* response) {
    return mgr::guarded(1, [&]() -> int { return mgr::unblock_response(challenge, 16, key, response); });
}

int SOLVANTAMGR_CALL helper_generate_unblock_code2(const unsigned char* challenge, unsigned long length,
                                                   const char* key, unsigned char* response) {
    return mgr::guarded(1, [&]() -> int { return mgr::unblock_response(challenge, length, key, response); });
}

// A null readers asks for the length only: 0 and the characters the list
// needs, its final NUL included.
int SOLVANTAMGR_CALL helper_list_readers(char* readers, int* length) {
    return mgr::guarded(static_cast<int>(SCARD_E_NO_MEMORY), [&]() -> int { return list_readers(readers, length); });
}

}  // extern "C"
