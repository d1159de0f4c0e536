// helper_list_readers once, for list_readers_e2e_test.py: prints the result
// and the readers of the list, one a line.
#include <cstdio>
#include <cstring>

#include "SolvantaMgr.h"

int main() {
    static char readers[8192];
    std::memset(readers, 'x', sizeof readers);
    int length = 0;
    const int rv = helper_list_readers(readers, &length);
    std::printf("rv=0x%08x\n", static_cast<unsigned>(rv));
    if (rv != 0) return 0;
    std::printf("length=%d\n", length);
    if (length < 2 || length > static_cast<int>(sizeof readers) || readers[length - 1] != '\0' ||
        readers[length - 2] != '\0') {
        std::printf("malformed\n");
        return 0;
    }
    for (const char* p = readers; *p != '\0'; p += std::strlen(p) + 1) std::printf("reader=%s\n", p);
    return 0;
}
