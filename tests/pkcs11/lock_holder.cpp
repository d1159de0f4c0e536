// Second process of the global-lock tests: initialises the module with its
// default lock, takes that lock, says "held", then follows commands on its
// input: "release" gives it back ("released"), "exit" ends. A test kills it
// to see a holder die.
#include <cstdio>
#include <cstring>

#include <pkcs11_vendor.h>

#include "global_lock.h"
#include "pkcs11_core.h"

int main() {
    if (C_Initialize(nullptr) != CKR_OK) {
        std::puts("initialize failed");
        return 1;
    }
    CK_VOID_PTR lock = pkcs11::Pkcs11Core::instance().global_mutex();
    if (!pkcs11::default_mutex_spans_processes(lock) || pkcs11::default_lock_mutex(lock) != CKR_OK) {
        std::puts("lock failed");
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        if (std::strncmp(line, "release", 7) == 0) {
            std::puts(pkcs11::default_unlock_mutex(lock) == CKR_OK ? "released" : "release failed");
            std::fflush(stdout);
        } else if (std::strncmp(line, "exit", 4) == 0) {
            break;
        }
    }
    return C_Finalize(nullptr) == CKR_OK ? 0 : 1;
}
