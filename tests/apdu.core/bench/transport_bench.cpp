// Timing of one short command, in one run:
//   1. through the card (pcsc-lite, pcscd, vpcd, the virtual token): the
//      median round trip of a bare SCardTransmit against the same bytes
//      through Zervik_DeviceIO and through Zervik_GetChipID, interleaved so
//      that drift hits all three alike. All three go over one connection,
//      the library's own: the bare transmit uses the card handle of the
//      library's device, so the figures differ only by what the library adds
//      (a second connection of its own would be a second pcscd client, which
//      the service serves at another cost);
//   2. with the card excluded (a PC/SC table that answers at once): the
//      host time per command of the same exports.
// Needs the card environment (tests/harness/card_env.py start).
//
//   transport_bench [round-trips] [host-iterations]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZervikSolvanta.h"
#include "platform/pcsc_api.h"
#include "support/bench_timing.h"
#include "support/vtoken_control.h"
#include "transport/device_list.h"

namespace {


using test_support::median;
using test_support::time_us;

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}


void report(const char* what, const std::vector<double>& us, double base) {
    const double m = median(us);
    std::printf("  %-34s median %8.1f us   p90 %8.1f us", what, m, percentile(us, 0.9));
    if (base > 0) std::printf("   %+6.1f %%", (m - base) / base * 100.0);
    std::printf("\n");
}

// Answers every exchange at once with a chip id and 90 00.
class instant_pcsc : public platform::pcsc_api {
public:
    platform::pcsc_code establish_context(platform::pcsc_context* c) override {
        *c = 0x5eed;
        return 0;
    }
    platform::pcsc_code release_context(platform::pcsc_context) override { return 0; }
    platform::pcsc_code connect(platform::pcsc_context, const char*, std::uint32_t, std::uint32_t,
                                platform::pcsc_handle* h, std::uint32_t* a) override {
        *h = 0xcafe;
        *a = SCARD_PROTOCOL_T1;
        return 0;
    }
    platform::pcsc_code disconnect(platform::pcsc_handle, std::uint32_t) override { return 0; }
    platform::pcsc_code transmit_t1(platform::pcsc_handle, const std::uint8_t*, std::uint32_t, std::uint8_t* reply,
                                    std::uint32_t* reply_length) override {
        static const std::uint8_t answer[] = {0x53, 0x56, 0x54, 0x4b, 0x01, 0x00, 0x00, 0x00, 0x12,
                                              0x34, 0x56, 0x78, 0xab, 0xcd, 0xef, 0x01, 0x90, 0x00};
        std::memcpy(reply, answer, sizeof answer);
        *reply_length = sizeof answer;
        return 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int round_trips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int host_iterations = argc > 2 ? std::atoi(argv[2]) : 200000;

    // ---- 1. through the card -------------------------------------------
    test_support::vtoken_control vt;
    ZERVIK_HANDLE handle = nullptr;
    if (Zervik_ConnectDev(test_support::card_reader, &handle) != 0) {
        std::fprintf(stderr, "no card in %s\n", test_support::card_reader);
        return 1;
    }
    // The bytes GetChipID sends, taken from the card's log.
    unsigned char id[64];
    int id_length = sizeof id;
    vt.clear_log();
    if (Zervik_GetChipID(handle, id, &id_length) != 0) return 1;
    const std::vector<unsigned char> apdu = test_support::from_hex(vt.commands().at(0));

    // The bare transmit goes over the library's own connection to the card.
    platform::pcsc_api& pcsc = platform::system_pcsc();
    const zervik::device_winscard* device = zervik::listed_device(handle);
    if (device == nullptr || device->card() == 0) return 1;

    std::vector<double> bare, device_io, chip_id;
    unsigned char reply[2048];
    auto bare_once = [&] {
        std::uint32_t n = sizeof reply;
        if (pcsc.transmit_t1(device->card(), apdu.data(), static_cast<std::uint32_t>(apdu.size()), reply, &n) != 0)
            std::abort();
    };
    auto device_io_once = [&] {
        int n = sizeof reply;
        if (Zervik_DeviceIO(handle, apdu.data(), static_cast<int>(apdu.size()), reply, &n) != 0) std::abort();
    };
    auto chip_id_once = [&] {
        int n = sizeof id;
        if (Zervik_GetChipID(handle, id, &n) != 0) std::abort();
    };
    for (int i = -51; i < round_trips; ++i) {  // the first 51 warm up
        // The order rotates, so that none of the three always follows another.
        double t[3];
        for (int k = 0; k < 3; ++k) {
            const int which = (k + (i + 51)) % 3;
            t[which] = which == 0 ? time_us(bare_once) : which == 1 ? time_us(device_io_once) : time_us(chip_id_once);
        }
        if (i < 0) continue;
        bare.push_back(t[0]);
        device_io.push_back(t[1]);
        chip_id.push_back(t[2]);
    }
    Zervik_DisconnectDev(handle);
    vt.clear_log();

    const double base = median(bare);
    std::printf("Round trip of %s (%zu bytes), %d times, through the virtual token, on one connection:\n",
                test_support::to_hex(apdu.data(), apdu.size()).c_str(), apdu.size(), round_trips);
    report("bare SCardTransmit, same handle", bare, 0);
    report("Zervik_DeviceIO", device_io, base);
    report("Zervik_GetChipID", chip_id, base);

    // ---- 2. card excluded ------------------------------------------------
    instant_pcsc instant;
    platform::set_pcsc(&instant);
    if (Zervik_ConnectDev("bench reader", &handle) != 0) return 1;
    auto per_command_ns = [&](auto&& command) {
        std::vector<double> batches;
        const int batch = 1000;
        for (int done = 0; done < host_iterations; done += batch)
            batches.push_back(time_us([&] {
                for (int i = 0; i < batch; ++i) command();
            }) * 1000.0 / batch);
        return median(batches);
    };
    const double raw_ns = per_command_ns([&] {
        std::uint32_t n = sizeof reply;
        instant.transmit_t1(0xcafe, apdu.data(), static_cast<std::uint32_t>(apdu.size()), reply, &n);
    });
    const double io_ns = per_command_ns([&] {
        int n = sizeof reply;
        Zervik_DeviceIO(handle, apdu.data(), static_cast<int>(apdu.size()), reply, &n);
    });
    const double chip_ns = per_command_ns([&] {
        int n = sizeof id;
        Zervik_GetChipID(handle, id, &n);
    });
    Zervik_DisconnectDev(handle);
    platform::set_pcsc(nullptr);

    std::printf("Host time per command, the card excluded (PC/SC table answering at once), %d commands:\n",
                host_iterations);
    std::printf("  %-34s %8.1f ns\n", "the table's transmit alone", raw_ns);
    std::printf("  %-34s %8.1f ns\n", "Zervik_DeviceIO", io_ns);
    std::printf("  %-34s %8.1f ns\n", "Zervik_GetChipID", chip_ns);
    std::printf("Library cost over the bare round trip: DeviceIO %.2f %%, GetChipID %.2f %% (host time / median)\n",
                (io_ns - raw_ns) / 1000.0 / base * 100.0, (chip_ns - raw_ns) / 1000.0 / base * 100.0);
    return 0;
}
