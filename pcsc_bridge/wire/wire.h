// The bridge's wire format, shared by the stand-in winscard.dll (client) and
// the native bridge process (server). PROTOCOL.md beside this folder is the
// reference; the constants here are the ones it names.
//
// Every message is a frame: a 32-bit little-endian body length, then the
// body. A body starts with the request id and the operation code (both
// 32-bit); a reply repeats both and carries the PC/SC result next. Numbers
// are 32-bit little-endian; a string or a byte block is a 32-bit length and
// that many bytes (strings carry no NUL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcsc_bridge {

constexpr std::uint16_t default_port = 40480;
// Both sides read the port from this variable when it holds a number in
// 1..65535; otherwise they use default_port.
constexpr const char* port_variable = "SOLVANTA_PCSC_BRIDGE_PORT";

// Limits. A frame whose length is outside [min_body, max_body], or a body
// that breaks any limit below, is a protocol violation: the receiver closes
// the connection.
constexpr std::uint32_t min_body = 8;               // request id + operation
constexpr std::uint32_t max_body = 0x11000;         // 69632 bytes
constexpr std::uint32_t max_name = 1024;            // a reader name
constexpr std::uint32_t max_atr = 36;               // winscard's rgbAtr
constexpr std::uint32_t max_reader_states = 64;     // entries of one status-change wait
constexpr std::uint32_t max_apdu = 65548;           // command or reply of one transmit
constexpr std::uint32_t max_reader_list = 0x10000;  // the reader multi-string
constexpr std::uint32_t max_in_flight = 32;         // open requests of one connection

enum class op : std::uint32_t {
    establish_context = 1,
    release_context = 2,
    is_valid_context = 3,
    list_readers = 4,
    connect = 5,
    reconnect = 6,
    disconnect = 7,
    begin_transaction = 8,
    end_transaction = 9,
    transmit = 10,
    status = 11,
    get_status_change = 12,
    cancel = 13,
};
bool is_known_op(std::uint32_t value);

// PC/SC result codes the bridge produces itself (winscard's values).
namespace rc {
constexpr std::uint32_t success = 0;
constexpr std::uint32_t internal_error = 0x80100001;
constexpr std::uint32_t cancelled = 0x80100002;
constexpr std::uint32_t invalid_handle = 0x80100003;
constexpr std::uint32_t invalid_parameter = 0x80100004;
constexpr std::uint32_t no_memory = 0x80100006;
constexpr std::uint32_t insufficient_buffer = 0x80100008;
constexpr std::uint32_t unknown_reader = 0x80100009;
constexpr std::uint32_t timeout = 0x8010000A;
constexpr std::uint32_t no_service = 0x8010001D;
constexpr std::uint32_t service_stopped = 0x8010001E;
constexpr std::uint32_t no_readers = 0x8010002E;
}  // namespace rc

// The port in force (see port_variable); `value` is the variable's text or
// null.
std::uint16_t parse_port(const char* value);

// Builds one frame: the constructor reserves the length, finish() fills it in.
class wire_writer {
public:
    wire_writer(std::uint32_t request_id, op operation);
    wire_writer& u32(std::uint32_t value);
    wire_writer& bytes(const void* data, std::size_t length);
    wire_writer& str(const std::string& text) { return bytes(text.data(), text.size()); }
    // The finished frame (length prefix included).
    const std::vector<std::uint8_t>& finish();
    std::size_t size() const { return buffer_.size(); }

private:
    std::vector<std::uint8_t> buffer_;
};

// Reads a body. Every read checks the remaining length; the first failure
// makes ok() false for good, and later reads return zeros.
class wire_reader {
public:
    wire_reader(const std::uint8_t* data, std::size_t length) : p_(data), left_(length) {}
    explicit wire_reader(const std::vector<std::uint8_t>& body)
        : wire_reader(body.data(), body.size()) {}

    std::uint32_t u32();
    // A byte block of at most `limit` bytes.
    std::vector<std::uint8_t> bytes(std::uint32_t limit);
    // A string of at most `limit` bytes without NUL bytes.
    std::string str(std::uint32_t limit);
    bool ok() const { return ok_; }
    // All read without error and nothing left over.
    bool complete() const { return ok_ && left_ == 0; }

private:
    bool take(std::size_t n);
    const std::uint8_t* p_;
    std::size_t left_;
    bool ok_ = true;
};

// Little-endian helpers for the length prefix.
inline std::uint32_t load_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void store_u32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace pcsc_bridge
