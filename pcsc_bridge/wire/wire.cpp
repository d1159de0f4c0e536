#include "wire.h"

#include <cstdlib>
#include <cstring>

namespace pcsc_bridge {

bool is_known_op(std::uint32_t value) {
    return value >= static_cast<std::uint32_t>(op::establish_context) &&
           value <= static_cast<std::uint32_t>(op::cancel);
}

std::uint16_t parse_port(const char* value) {
    if (value == nullptr || *value == '\0') return default_port;
    unsigned long port = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return default_port;
        port = port * 10 + static_cast<unsigned long>(*p - '0');
        if (port > 65535) return default_port;
    }
    return port == 0 ? default_port : static_cast<std::uint16_t>(port);
}

wire_writer::wire_writer(std::uint32_t request_id, op operation) {
    buffer_.reserve(64);
    buffer_.resize(4);
    u32(request_id);
    u32(static_cast<std::uint32_t>(operation));
}

wire_writer& wire_writer::u32(std::uint32_t value) {
    const std::size_t at = buffer_.size();
    buffer_.resize(at + 4);
    store_u32(buffer_.data() + at, value);
    return *this;
}

wire_writer& wire_writer::bytes(const void* data, std::size_t length) {
    u32(static_cast<std::uint32_t>(length));
    if (length != 0) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        buffer_.insert(buffer_.end(), p, p + length);
    }
    return *this;
}

const std::vector<std::uint8_t>& wire_writer::finish() {
    store_u32(buffer_.data(), static_cast<std::uint32_t>(buffer_.size() - 4));
    return buffer_;
}

bool wire_reader::take(std::size_t n) {
    if (!ok_ || left_ < n) {
        ok_ = false;
        return false;
    }
    return true;
}

std::uint32_t wire_reader::u32() {
    if (!take(4)) return 0;
    const std::uint32_t v = load_u32(p_);
    p_ += 4;
    left_ -= 4;
    return v;
}

std::vector<std::uint8_t> wire_reader::bytes(std::uint32_t limit) {
    const std::uint32_t n = u32();
    if (!ok_ || n > limit || !take(n)) {
        ok_ = false;
        return {};
    }
    std::vector<std::uint8_t> out(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return out;
}

std::string wire_reader::str(std::uint32_t limit) {
    const std::uint32_t n = u32();
    if (!ok_ || n > limit || !take(n) || std::memchr(p_, 0, n) != nullptr) {
        ok_ = false;
        return {};
    }
    std::string out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return out;
}

}  // namespace pcsc_bridge
