// Prints the X coordinate of one fresh host key pair, so that a test can
// compare the key pairs of separate processes.
#include <cstdio>

#include "sm/kas.h"

int main() {
    std::uint8_t private_key[zervik::kas_value_size];
    std::uint8_t x[zervik::kas_value_size];
    std::uint8_t y[zervik::kas_value_size];
    if (zervik::kas_generate_keypair(private_key, x, y) != 0) return 1;
    for (std::uint8_t b : x) std::printf("%02x", b);
    std::printf("\n");
    return 0;
}
