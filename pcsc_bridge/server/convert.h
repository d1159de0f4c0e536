// winscard and pcsc-lite agree on result codes, share modes, dispositions,
// scopes and reader-state flags, but not on these numbers.
#pragma once

#include <cstdint>

namespace pcsc_bridge {

namespace win_protocol {
constexpr std::uint32_t t0 = 0x1;
constexpr std::uint32_t t1 = 0x2;
constexpr std::uint32_t raw = 0x10000;
constexpr std::uint32_t default_protocol = 0x80000000;
}  // namespace win_protocol

namespace lite_protocol {
constexpr std::uint64_t t0 = 0x1;
constexpr std::uint64_t t1 = 0x2;
constexpr std::uint64_t raw = 0x4;
}  // namespace lite_protocol

// A protocol mask from winscard to pcsc-lite: T=0, T=1 and raw keep their
// meaning, "default" asks for T=0 or T=1, other bits are dropped.
constexpr std::uint64_t protocols_to_lite(std::uint32_t win) {
    std::uint64_t lite = 0;
    if (win & win_protocol::t0) lite |= lite_protocol::t0;
    if (win & win_protocol::t1) lite |= lite_protocol::t1;
    if (win & win_protocol::raw) lite |= lite_protocol::raw;
    if (win & win_protocol::default_protocol) lite |= lite_protocol::t0 | lite_protocol::t1;
    return lite;
}

constexpr std::uint32_t protocols_from_lite(std::uint64_t lite) {
    std::uint32_t win = 0;
    if (lite & lite_protocol::t0) win |= win_protocol::t0;
    if (lite & lite_protocol::t1) win |= win_protocol::t1;
    if (lite & lite_protocol::raw) win |= win_protocol::raw;
    return win;
}

// SCardStatus: pcsc-lite reports a bit mask (0x1 unknown ... 0x40 specific),
// winscard one number (0 unknown, 1 absent ... 6 specific): the highest bit
// set decides. pcsc-lite leaves a card "negotiable" after it has settled a
// protocol with it, which winscard calls "specific".
constexpr std::uint32_t card_state_from_lite(std::uint64_t lite, std::uint64_t active_protocol) {
    constexpr std::uint32_t negotiable = 5;
    constexpr std::uint32_t specific = 6;
    for (std::uint32_t win = specific; win >= 1; --win) {
        if (lite & (std::uint64_t{1} << win)) {
            return win == negotiable && active_protocol != 0 ? specific : win;
        }
    }
    return 0;
}

}  // namespace pcsc_bridge
