// The benchmarks' own PC/SC connection to the virtual token's reader: the
// bare round trips of commands a call sent, for comparison.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/pcsc_api.h"
#include "support/vtoken_control.h"

namespace test_support {

struct bare_card {
    platform::pcsc_api& pcsc = platform::system_pcsc();
    platform::pcsc_context context = 0;
    platform::pcsc_handle card = 0;
    bool open() {
        std::uint32_t protocol = 0;
        return pcsc.establish_context(&context) == 0 &&
               pcsc.connect(context, card_reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol) == 0;
    }
    ~bare_card() {
        if (card != 0) pcsc.disconnect(card, SCARD_LEAVE_CARD);
        if (context != 0) pcsc.release_context(context);
    }
    void send(const std::vector<std::vector<unsigned char>>& apdus) {
        for (const auto& apdu : apdus) {
            std::uint8_t reply[4096];
            std::uint32_t n = sizeof reply;
            (void)pcsc.transmit_t1(card, apdu.data(), static_cast<std::uint32_t>(apdu.size()), reply, &n);
        }
    }
    // As send, with the card held (SCardBeginTransaction to
    // SCardEndTransaction) from each select of the token's application
    // directory to the next: a select and the file commands after it are
    // only right when no other process moves the card's current directory
    // in between, so any caller holds the card over them.
    void send_held(const std::vector<std::vector<unsigned char>>& apdus) {
        static const unsigned char app_dir_select[] = {0x00, 0xA4, 0x08, 0x00, 0x06, 0x3F,
                                                       0x00, 0x20, 0x00, 0x40, 0x00};
        bool held = false;
        for (const auto& apdu : apdus) {
            if (apdu.size() >= sizeof app_dir_select &&
                std::equal(app_dir_select, app_dir_select + sizeof app_dir_select, apdu.begin())) {
                if (held) (void)pcsc.end_transaction(card, SCARD_LEAVE_CARD);
                held = pcsc.begin_transaction(card) == 0;
            }
            send({apdu});
        }
        if (held) (void)pcsc.end_transaction(card, SCARD_LEAVE_CARD);
    }
};

}  // namespace test_support
