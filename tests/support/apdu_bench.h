// The measuring loops the module's benchmarks share: a call that talks to
// the card against the bare round trips of the commands it sent, and a
// software call against the algorithm called directly.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "support/bare_card.h"
#include "support/bench_timing.h"
#include "support/vtoken_control.h"

namespace test_support {

// Medians of one figure: the commands the call sent (the last round's),
// the call's time and the bare time in microseconds.
struct apdu_figure {
    std::size_t apdus = 0;
    double module_us = 0;
    double bare_us = 0;
    // (module - bare) / bare in per cent; 0 when nothing was sent.
    double added() const { return bare_us > 0 ? (module_us - bare_us) / bare_us * 100.0 : 0; }
};

// Each round: the card's log cleared and the call timed; its commands taken
// from the log; `after` puts the state back; the same commands replayed on
// the bare connection (held over each visit of the application directory,
// see bare_card::send_held) and timed. With `settle`, the call then runs once
// more untimed and `after` again, since a replay may leave the card
// elsewhere (a stale PIN response costs a try, the call's own login puts it
// right). A call that returns non-zero stops the figure: false.
template <class Call, class After>
bool measure_card_call(const char* name, vtoken_control& vt, bare_card& bare, int rounds, bool settle, Call&& call,
                       After&& after, apdu_figure& out) {
    std::vector<double> module_us, bare_us;
    std::vector<std::vector<unsigned char>> apdus;
    for (int r = 0; r < rounds; ++r) {
        vt.clear_log();
        unsigned long rv = 0;
        module_us.push_back(time_us([&] { rv = static_cast<unsigned long>(call()); }));
        if (rv != 0) {
            std::fprintf(stderr, "%s: 0x%lx\n", name, rv);
            return false;
        }
        apdus.clear();
        for (const auto& c : vt.commands()) apdus.push_back(from_hex(c));
        after();
        bare_us.push_back(time_us([&] { bare.send_held(apdus); }));
        if (settle) {
            (void)call();
            after();
        }
    }
    out.apdus = apdus.size();
    out.module_us = median(module_us);
    out.bare_us = apdus.empty() ? 0 : median(bare_us);
    return true;
}

// Our call and the direct one, interleaved round by round so that drift
// hits both alike; the medians.
template <class Ours, class Direct>
void measure_interleaved(int rounds, Ours&& ours, Direct&& direct, double& ours_us, double& direct_us) {
    std::vector<double> a, b;
    for (int r = 0; r < rounds; ++r) {
        a.push_back(time_us(ours));
        b.push_back(time_us(direct));
    }
    ours_us = median(a);
    direct_us = median(b);
}

}  // namespace test_support
