// The PC/SC device: one reader of the device list, its connection to the
// card and the last reply the card gave. Every SCard call goes through the
// seam platform::pcsc().
#pragma once

#include <cstdint>

#include "platform/pcsc_api.h"
#include "transport/device_base.h"

namespace zervik {

class device_winscard : public device_base {
public:
    // Reader names are kept NUL-terminated in this many bytes, so a name of
    // reader_name_size characters or more is refused.
    static constexpr std::uint32_t reader_name_size = 256;
    // Largest command sent and largest reply kept.
    static constexpr std::uint32_t buffer_size = 2048;
    // Shortest command: CLA INS P1 P2.
    static constexpr std::uint32_t min_command_size = 4;
    static constexpr int connect_attempts = 10;
    static constexpr std::uint32_t removed_card_pause_ms = 1000;
    static constexpr std::int32_t device_type_pcsc = 2;

    // True for a name the device can hold: not null, shorter than
    // reader_name_size characters.
    static bool valid_reader_name(const char* name);

    // name must be valid (see valid_reader_name); the device starts new,
    // without a connection.
    explicit device_winscard(const char* name);
    // Releases what the device opened itself; attached outside handles are
    // left to their owner.
    ~device_winscard() override;

    // Opens a context and connects to the card, with retries: 0 or the
    // PC/SC code of the last attempt. Drops whatever the device held first.
    std::int32_t connect() override;
    // Leaves the card and releases the context the device holds, its own or
    // attached; always 0.
    std::int32_t disconnect() override;
    // One exchange, with one recovery and one retry on failure: 0 or a PC/SC
    // code. A command shorter than 4 or longer than 2048 bytes is refused
    // before anything is sent. Every call drops the reply kept before.
    std::int32_t send(const std::uint8_t* command, std::uint32_t length) override;
    // The kept reply: 0, or 3 when there is none, it has no status word or
    // it does not fit *length (capacity in, length out; nothing written).
    std::int32_t receive(std::uint8_t* buffer, std::uint32_t* length) override;
    // send then receive: 0, 1 (sending failed or refused) or 2 (no usable
    // reply, or it does not fit *reply_length).
    std::int32_t transmit(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                          std::uint32_t* reply_length) override;
    std::int32_t set_option(std::int32_t value) override;
    const char* name() const override { return name_; }
    std::int32_t set_state(std::int32_t state) override;
    std::int32_t state() const override { return state_; }
    std::int32_t device_type() const override { return device_type_pcsc; }
    // SCardBeginTransaction; after a failure that recovery mends (reset,
    // removed card, service stopped) it begins once more. 0 or a PC/SC code.
    std::int32_t begin_transaction() override;
    std::int32_t end_transaction() override;

    // Takes over an outside context and card handle, which stay their
    // owner's: the device never releases them on deletion. A connection the
    // device opened itself is released first.
    void attach(platform::pcsc_context context, platform::pcsc_handle card);

    platform::pcsc_context context() const { return context_; }
    platform::pcsc_handle card() const { return card_; }
    std::uint32_t protocol() const { return protocol_; }
    std::int32_t option() const { return option_; }
    // True when the device opened the connection it holds.
    bool owns_connection() const { return own_card_ || own_context_; }

private:
    std::int32_t connect_card();
    std::int32_t reopen();
    std::int32_t recover(std::int32_t code);
    std::int32_t exchange(const std::uint8_t* command, std::uint32_t length);
    void release_owned();

    char name_[reader_name_size] = {};
    std::int32_t state_ = device_new;
    platform::pcsc_context context_ = 0;
    platform::pcsc_handle card_ = 0;
    std::uint32_t protocol_ = SCARD_PROTOCOL_T1;
    std::uint8_t reply_[buffer_size] = {};
    std::uint32_t reply_length_ = 0;
    std::int32_t option_ = 0;
    bool own_context_ = false;
    bool own_card_ = false;
};

}  // namespace zervik
