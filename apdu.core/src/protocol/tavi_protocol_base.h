// The protocol object: the buffers, keys and flags of one card command, the
// builder steps every command shares and the reply kinds every family reads
// its answers with. A family class derives from it and adds its builders.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zervik {

class device_base;
struct command_form;

// Reply data of a 9000 reply, without the status word, inside the object's
// reply buffer.
struct reply_view {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};

// GetPINInfo: the u32 of bytes 0-3, then bytes 4 to 10 one by one.
struct pin_information {
    std::uint32_t algorithm;
    std::uint8_t bytes[7];
};

// The header of an exported key: the u32 of bytes 0-3, bytes 4 and 5.
struct exported_key_header {
    std::uint32_t value;
    std::uint8_t byte4;
    std::uint8_t byte5;
};

class TaviProtocol_Base {
public:
    static constexpr std::uint32_t buffer_size = 4096;
    // The longest command the transport sends, once serialised and wrapped.
    static constexpr std::uint32_t max_command_size = 2048;
    static constexpr std::uint32_t key_size = 32;
    static constexpr std::uint32_t card_key_size = 144;
    static constexpr std::uint32_t file_information_size = 37;

    // Plain only: no keys, secure messaging disabled.
    TaviProtocol_Base();
    // Keyed: the device's session keys; sm_enabled chooses the class byte of
    // the forms that follow the secure-channel flag.
    TaviProtocol_Base(const device_base& device, std::int32_t sm_enabled);
    virtual ~TaviProtocol_Base();

    TaviProtocol_Base(const TaviProtocol_Base&) = delete;
    TaviProtocol_Base& operator=(const TaviProtocol_Base&) = delete;

    // Builds the form with the given command data, wraps it when its class
    // byte asks for it and serialises it into `command`: 0, 1 (the wrap
    // failed) or 2 (bad input, or a command that cannot be serialised or is
    // longer than the transport sends). On failure nothing is left to send.
    std::int32_t build(const command_form& form, const std::uint8_t* data, std::size_t length);

    // Unwraps (when the command was wrapped) and splits the reply, stores
    // the status in last_status and returns it; 0 for 9000, with the reply
    // data in *data.
    std::int32_t check_reply(reply_view* data);

    // Reply kinds. Each runs the reply check first, returns any status other
    // than 9000 unchanged, and writes its outputs only on success. In/out
    // lengths hold the capacity on entry and the byte count on success.
    std::int32_t reply_status();
    std::int32_t reply_data(std::uint8_t* buffer, std::int32_t* length);
    std::int32_t reply_data_code1(std::uint8_t* buffer, std::int32_t* length);
    std::int32_t reply_u32(std::uint32_t* value);
    std::int32_t reply_u16(std::uint16_t* value);
    // Exactly 8 bytes, copied byte for byte.
    std::int32_t reply_eight_bytes(std::uint64_t* value);
    // At least 148 bytes; bytes 4-147 to key (card_key_size bytes).
    std::int32_t reply_card_key(std::uint8_t* key);
    // As the card key, and the u32 of bytes 0-3 to value.
    std::int32_t reply_session_key_agreement(std::uint32_t* value, std::uint8_t* key);
    std::int32_t reply_pin_information(pin_information* info);
    // The 37-byte file-information record; 4 when the reply does not fit it.
    std::int32_t reply_file_information(std::uint8_t* record);
    std::int32_t reply_exported_key(exported_key_header* header, std::uint8_t* buffer, std::int32_t* length);
    // As reply_exported_key, with the first four key bytes reversed (a
    // big-endian u32 turned to host order); fewer than 4 key bytes give 3.
    std::int32_t reply_exported_key_reversed(exported_key_header* header, std::uint8_t* buffer,
                                             std::int32_t* length);
    // A u32 header and the payload; a null value drops the header.
    std::int32_t reply_counted_data(std::uint32_t* value, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t reply_counted_data_code1(std::uint32_t* value, std::uint8_t* buffer, std::int32_t* length);

    std::uint8_t command[buffer_size];
    std::uint32_t command_length = buffer_size;
    std::uint8_t reply[buffer_size];
    std::uint32_t reply_length = buffer_size;
    std::int32_t last_status = 0;
    std::uint8_t encryption_key[key_size] = {};
    std::uint8_t mac_key[key_size] = {};
    std::int32_t sm_used = 0;
    std::int32_t sm_enabled = 0;

private:
    std::int32_t key_block_kind(std::uint32_t* value, std::uint8_t* key);
    std::int32_t data_kind(std::uint8_t* buffer, std::int32_t* length, std::int32_t too_small);
    std::int32_t exported_key_kind(exported_key_header* header, std::uint8_t* buffer, std::int32_t* length,
                                   bool reversed);
    std::int32_t counted_kind(std::uint32_t* value, std::uint8_t* buffer, std::int32_t* length,
                              std::int32_t too_small);
};

}  // namespace zervik
