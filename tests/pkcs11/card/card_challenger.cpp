// A second process on the token. Mode "challenge" asks the card for
// challenges as fast as it can (8 bytes each, so every one replaces the
// card's pending challenge); mode "channel" sets up secure channels (each
// replaces the card's channel keys). It prints one line per command, its
// status, and stops after the given number of commands or when killed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "card_commands.h"
#include "card_device.h"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    const char* reader = argc > 2 ? argv[2] : "Solvanta Token 00 00";
    const bool channels = argc > 3 && std::strcmp(argv[3], "channel") == 0;
    solvantex::card_handle h = 0;
    if (solvantex::open_device(reader, &h) != 0) {
        std::printf("no device\n");
        return 1;
    }
    std::uint8_t challenge[8];
    for (int i = 0; i < rounds; ++i) {
        const std::int32_t status = channels ? solvantex::card_setup_secure_channel(h)
                                             : solvantex::card_get_challenge(h, sizeof challenge, challenge);
        std::printf("%d\n", static_cast<int>(status));
        std::fflush(stdout);
    }
    solvantex::close_device(h);
    return 0;
}
