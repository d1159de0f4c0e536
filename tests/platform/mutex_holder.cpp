// Second process of the named-mutex tests: opens the mutex named by its
// argument, takes it, says "locked", then follows commands on its input:
// "unlock" releases it ("unlocked"), "exit" ends. A test kills it to see a
// holder die.
#include <cstdio>
#include <cstring>

#include "platform/named_mutex.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    platform::named_mutex mutex;
    if (mutex.open(argv[1]) != 0) {
        std::puts("open failed");
        return 1;
    }
    if (mutex.lock(platform::wait_forever) != platform::lock_result::acquired) {
        std::puts("lock failed");
        return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        if (std::strncmp(line, "unlock", 6) == 0) {
            std::puts(mutex.unlock() ? "unlocked" : "unlock failed");
            std::fflush(stdout);
        } else if (std::strncmp(line, "exit", 4) == 0) {
            break;
        }
    }
    return 0;
}
