// A fixed work area in which a builder assembles command data. Every put
// is bounded: once one does not fit (or is handed a null pointer with bytes
// to copy) the area is spoilt and the builder refuses the command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/records.h"

namespace zervik {

template <std::size_t N>
class work_area {
public:
    void put_u8(std::uint8_t value) {
        if (room(1)) bytes_[length_++] = value;
    }
    void put_u16(std::uint16_t value) {
        if (!room(2)) return;
        zervik::put_u16(bytes_ + length_, value);
        length_ += 2;
    }
    void put(const std::uint8_t* bytes, std::size_t count) {
        if (count == 0) return;
        if (bytes == nullptr) {
            ok_ = false;
            return;
        }
        if (!room(count)) return;
        std::memcpy(bytes_ + length_, bytes, count);
        length_ += count;
    }
    // The name's length byte, then its characters (at most file_name_max).
    void put_counted_name(const char* name) {
        std::size_t n = 0;
        if (!bounded_length(name, file_name_max, &n)) {
            ok_ = false;
            return;
        }
        put_u8(static_cast<std::uint8_t>(n));
        put(reinterpret_cast<const std::uint8_t*>(name), n);
    }
    // The name's characters without a terminator (at most file_name_max).
    void put_name(const char* name) {
        std::size_t n = 0;
        if (!bounded_length(name, file_name_max, &n)) {
            ok_ = false;
            return;
        }
        put(reinterpret_cast<const std::uint8_t*>(name), n);
    }

    // Clears what was put (PIN values do not stay on the stack).
    void wipe() { std::memset(bytes_, 0, length_); }

    bool ok() const { return ok_; }
    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const { return length_; }

private:
    bool room(std::size_t count) {
        if (!ok_ || count > N - length_) {
            ok_ = false;
            return false;
        }
        return true;
    }

    std::uint8_t bytes_[N];
    std::size_t length_ = 0;
    bool ok_ = true;
};

}  // namespace zervik
