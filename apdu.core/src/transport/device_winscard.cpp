#include "transport/device_winscard.h"

#include <cstring>

#include "protocol/status.h"

namespace zervik {

using platform::pcsc;
namespace rc = platform::pcsc_rc;

namespace {

constexpr std::uint32_t preferred_protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
const std::int32_t invalid_parameter = platform::to_pcsc_code(SCARD_E_INVALID_PARAMETER);

}  // namespace

bool device_winscard::valid_reader_name(const char* name) {
    return name != nullptr && std::memchr(name, 0, reader_name_size) != nullptr;
}

device_winscard::device_winscard(const char* name) {
    if (valid_reader_name(name)) std::memcpy(name_, name, std::strlen(name) + 1);
}

device_winscard::~device_winscard() {
    release_owned();
}

void device_winscard::release_owned() {
    if (own_card_ && card_ != 0) pcsc().disconnect(card_, SCARD_LEAVE_CARD);
    if (own_context_ && context_ != 0) pcsc().release_context(context_);
    if (own_card_) card_ = 0;
    if (own_context_) context_ = 0;
    own_card_ = own_context_ = false;
}

std::int32_t device_winscard::disconnect() {
    if (card_ != 0) pcsc().disconnect(card_, SCARD_LEAVE_CARD);
    if (context_ != 0) pcsc().release_context(context_);
    card_ = 0;
    context_ = 0;
    own_card_ = own_context_ = false;
    return 0;
}

// A fresh context of the device's own, after dropping what it held.
std::int32_t device_winscard::reopen() {
    disconnect();
    platform::pcsc_context context = 0;
    const std::int32_t code = pcsc().establish_context(&context);
    if (code != 0) return code;
    context_ = context;
    own_context_ = true;
    return 0;
}

std::int32_t device_winscard::connect_card() {
    platform::pcsc_handle card = 0;
    std::uint32_t protocol = 0;
    const std::int32_t code =
        pcsc().connect(context_, name_, SCARD_SHARE_SHARED, preferred_protocols, &card, &protocol);
    if (code == 0) {
        card_ = card;
        protocol_ = protocol;
        own_card_ = true;
    }
    return code;
}

std::int32_t device_winscard::connect() {
    std::int32_t code = reopen();
    if (code != 0) return code;
    for (int attempt = 1; attempt <= connect_attempts; ++attempt) {
        code = connect_card();
        if (code == 0) return 0;
        if (code == rc::unknown_reader) {
            disconnect();
            return code;
        }
        if (attempt == connect_attempts) break;
        if (code == rc::service_stopped) {
            const std::int32_t reopened = reopen();
            if (reopened != 0) return reopened;
        } else if (code == rc::removed_card) {
            platform::sleep_ms(removed_card_pause_ms);
        }
    }
    disconnect();
    return code;
}

void device_winscard::attach(platform::pcsc_context context, platform::pcsc_handle card) {
    // A connection of the device's own would otherwise be lost.
    if (own_card_ && card_ != 0 && card_ != card) pcsc().disconnect(card_, SCARD_LEAVE_CARD);
    if (own_context_ && context_ != 0 && context_ != context) pcsc().release_context(context_);
    context_ = context;
    card_ = card;
    own_card_ = own_context_ = false;
}

std::int32_t device_winscard::recover(std::int32_t code) {
    if (code == rc::service_stopped) {
        const std::int32_t reopened = reopen();
        if (reopened != 0) return reopened;
        const std::int32_t connected = connect_card();
        if (connected != 0) disconnect();
        return connected;
    }
    if (code == rc::reset_card || code == rc::removed_card) {
        std::uint32_t protocol = protocol_;
        const std::int32_t reconnected =
            pcsc().reconnect(card_, SCARD_SHARE_SHARED, preferred_protocols, SCARD_LEAVE_CARD, &protocol);
        if (reconnected == 0) protocol_ = protocol;
        return reconnected;
    }
    return 0;
}

std::int32_t device_winscard::exchange(const std::uint8_t* command, std::uint32_t length) {
    std::uint32_t received = buffer_size;
    const std::int32_t code = pcsc().transmit_t1(card_, command, length, reply_, &received);
    if (code == 0 && received <= buffer_size) reply_length_ = received;
    return code;
}

std::int32_t device_winscard::send(const std::uint8_t* command, std::uint32_t length) {
    reply_length_ = 0;
    if (command == nullptr || length < min_command_size || length > buffer_size) return invalid_parameter;
    std::int32_t code = exchange(command, length);
    if (code != 0) {
        const std::int32_t recovered = recover(code);
        if (recovered != 0) return recovered;
        code = exchange(command, length);
    }
    return code;
}

std::int32_t device_winscard::receive(std::uint8_t* buffer, std::uint32_t* length) {
    if (buffer == nullptr || length == nullptr) return 3;
    // A reply needs SW1 SW2, and SW1 = 00 is no status word.
    if (reply_length_ < 2 || reply_[reply_length_ - 2] == 0x00) return 3;
    if (reply_length_ > *length) return 3;
    std::memcpy(buffer, reply_, reply_length_);
    *length = reply_length_;
    return 0;
}

std::int32_t device_winscard::transmit(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                                       std::uint32_t* reply_length) {
    if (reply == nullptr || reply_length == nullptr) return status_failed;
    if (send(command, length) != 0) return status_failed;
    if (receive(reply, reply_length) != 0) return status_unusable;
    return status_ok;
}

std::int32_t device_winscard::set_option(std::int32_t value) {
    option_ = value;
    return value;
}

std::int32_t device_winscard::set_state(std::int32_t state) {
    state_ = state;
    return 0;
}

std::int32_t device_winscard::begin_transaction() {
    const std::int32_t code = pcsc().begin_transaction(card_);
    if (code == 0) return 0;
    if (code != rc::reset_card && code != rc::removed_card && code != rc::service_stopped) return code;
    const std::int32_t recovered = recover(code);
    if (recovered != 0) return recovered;
    return pcsc().begin_transaction(card_);
}

std::int32_t device_winscard::end_transaction() {
    return pcsc().end_transaction(card_, SCARD_LEAVE_CARD);
}

}  // namespace zervik
