// Big-endian integers of card command and reply data, written and read byte
// by byte so that the host's own byte order never reaches the wire.
#pragma once

#include <cstdint>

namespace zervik {

// The low byte of a caller's int: what a one-byte field takes of it.
inline std::uint8_t low_byte(std::int32_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

inline void put_u16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 8);
    out[1] = static_cast<std::uint8_t>(value);
}

inline void put_u32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

inline std::uint16_t get_u16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>((in[0] << 8) | in[1]);
}

inline std::uint32_t get_u32(const std::uint8_t* in) {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
           std::uint32_t{in[3]};
}

}  // namespace zervik
