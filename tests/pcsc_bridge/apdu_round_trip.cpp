// Measures the APDU round trip to the virtual token through the platform
// seam's system table: natively pcsc-lite, under Wine the stand-in
// winscard.dll and the bridge. Prints the median and spread in microseconds.
//
//   pcsc_apdu_round_trip [COUNT]   (default 2000, after 50 warm-up exchanges)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/pcsc_api.h"

namespace {

std::string find_token(platform::pcsc_context ctx) {
    std::vector<char> readers(4096);
    std::uint32_t length = static_cast<std::uint32_t>(readers.size());
    if (platform::system_pcsc().list_readers(ctx, readers.data(), &length) != 0) return {};
    for (const char* p = readers.data(); *p != '\0'; p += std::strlen(p) + 1) {
        if (std::strstr(p, "Solvanta") == nullptr) continue;
        platform::pcsc_reader_state state{};
        state.szReader = p;
        if (platform::system_pcsc().get_status_change(ctx, 0, &state, 1) == 0 &&
            (state.dwEventState & SCARD_STATE_PRESENT))
            return p;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    auto& api = platform::system_pcsc();
    platform::pcsc_context ctx = 0;
    if (api.establish_context(&ctx) != 0) {
        std::fprintf(stderr, "no PC/SC service\n");
        return 1;
    }
    const std::string reader = find_token(ctx);
    platform::pcsc_handle card = 0;
    std::uint32_t active = 0;
    if (reader.empty() ||
        api.connect(ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active) != 0) {
        std::fprintf(stderr, "no token\n");
        api.release_context(ctx);
        return 1;
    }
    const std::uint8_t apdu[] = {0x80, 0xFF, 0x00, 0x00};
    std::uint8_t reply[258];
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    int failures = 0;
    for (int i = -50; i < count; ++i) {
        std::uint32_t length = sizeof reply;
        const auto t0 = std::chrono::steady_clock::now();
        const platform::pcsc_code rv = api.transmit_t1(card, apdu, sizeof apdu, reply, &length);
        const auto t1 = std::chrono::steady_clock::now();
        if (rv != 0 || length != 2) ++failures;
        if (i >= 0) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    api.disconnect(card, SCARD_LEAVE_CARD);
    api.release_context(ctx);
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))]; };
    std::printf("%s: %d round trips, median %.1f us, p10 %.1f us, p90 %.1f us, failures %d\n", reader.c_str(), count,
                at(0.5), at(0.1), at(0.9), failures);
    return failures == 0 ? 0 : 1;
}
