// A second process on the token: it asks the card for challenges as fast as
// it can (8 bytes each, so every one replaces the card's pending challenge)
// and says "started" after its first one and "done" after the last.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "card_commands.h"
#include "card_device.h"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    const char* reader = argc > 2 ? argv[2] : "Solvanta Token 00 00";
    solvantex::card_handle h = 0;
    if (solvantex::open_device(reader, &h) != 0) {
        std::printf("no device\n");
        return 1;
    }
    std::uint8_t challenge[8];
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        if (solvantex::card_get_challenge(h, sizeof challenge, challenge) != 0) ++failures;
        if (i == 0) {
            std::printf("started\n");
            std::fflush(stdout);
        }
    }
    std::printf("done %d\n", failures);
    std::fflush(stdout);
    solvantex::close_device(h);
    return 0;
}
