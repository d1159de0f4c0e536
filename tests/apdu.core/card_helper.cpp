// A second process on the card, for the end-to-end tests. It reports each
// step on its standard output, one line each, so that the test can wait on
// them.
//
//   card_helper transaction READER APDU-HEX
//       connects, waits for a line on its input, begins a transaction
//       (blocking while another process holds one), sends the APDU, ends the
//       transaction and disconnects.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ZervikSolvanta.h"

namespace {

void say(const char* what, int result) {
    std::printf("%s %d\n", what, result);
    std::fflush(stdout);
}

std::vector<unsigned char> from_hex(const char* hex) {
    std::vector<unsigned char> out;
    for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        const char pair[3] = {hex[i], hex[i + 1], '\0'};
        out.push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}

int transaction(const char* reader, const char* apdu_hex) {
    ZERVIK_HANDLE handle = nullptr;
    const int connected = Zervik_ConnectDev(reader, &handle);
    say("connected", connected);
    if (connected != 0) return 1;
    // pcsc-lite makes a connect wait while another process holds a
    // transaction: the test begins its own only after this one connected.
    char go[16];
    if (std::fgets(go, sizeof go, stdin) == nullptr) return 1;
    say("beginning", 0);
    say("began", Zervik_BeginTransaction(handle));
    std::vector<unsigned char> apdu = from_hex(apdu_hex);
    unsigned char reply[2048];
    int length = sizeof reply;
    say("sent", Zervik_DeviceIO(handle, apdu.data(), static_cast<int>(apdu.size()), reply, &length));
    say("ended", Zervik_EndTransaction(handle));
    say("disconnected", Zervik_DisconnectDev(handle));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "transaction") == 0) return transaction(argv[2], argv[3]);
    std::fprintf(stderr, "usage: card_helper transaction READER APDU-HEX\n");
    return 2;
}
