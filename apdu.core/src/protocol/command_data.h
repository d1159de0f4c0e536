// Command data assembled field by field in a bounded work area: big-endian
// integers, fixed runs of zero bytes and the caller's bytes. A caller's
// length that is negative, a null pointer with a non-zero length, or data
// that would run past the work area spoil the whole assembly: the builder
// then refuses the command with 2 and nothing is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/command_form.h"
#include "protocol/status.h"
#include "protocol/tavi_protocol_base.h"

namespace zervik {

class command_data {
public:
    explicit command_data(std::size_t work_area) : capacity_(work_area) { bytes_.reserve(work_area); }

    command_data& u8(std::uint8_t value) { return append(&value, 1); }
    command_data& u16(std::uint16_t value) {
        std::uint8_t b[2];
        put_u16(b, value);
        return append(b, sizeof b);
    }
    command_data& u32(std::uint32_t value) {
        std::uint8_t b[4];
        put_u32(b, value);
        return append(b, sizeof b);
    }
    command_data& zeros(std::size_t count) {
        if (!room(count)) return *this;
        bytes_.insert(bytes_.end(), count, 0);
        return *this;
    }
    // The caller's bytes, as they stand.
    command_data& caller_bytes(const std::uint8_t* data, std::int32_t length) {
        if (length < 0 || (data == nullptr && length != 0)) {
            ok_ = false;
            return *this;
        }
        return append(data, static_cast<std::size_t>(length));
    }

    bool ok() const { return ok_; }
    bool empty() const { return bytes_.empty(); }
    std::size_t size() const { return bytes_.size(); }
    std::uint8_t* data() { return bytes_.data(); }

private:
    bool room(std::size_t count) {
        if (!ok_ || count > capacity_ - bytes_.size()) ok_ = false;
        return ok_;
    }
    command_data& append(const std::uint8_t* data, std::size_t count) {
        if (!room(count)) return *this;
        bytes_.insert(bytes_.end(), data, data + count);
        return *this;
    }

    std::size_t capacity_;
    std::vector<std::uint8_t> bytes_;
    bool ok_ = true;
};

// Builds form with the assembled data: 2 for spoilt data, else the
// protocol object's build result.
inline std::int32_t build_with(TaviProtocol_Base& protocol, const command_form& form, command_data& data) {
    if (!data.ok()) return status_unusable;
    return protocol.build(form, data.data(), data.size());
}

// Work areas of the command families: what their builders assemble command
// data in. The transport's 2048-byte limit on a serialised command applies
// on top (TaviProtocol_Base::build).
constexpr std::size_t small_work_area = 1024;  // PIN, session-key, format, key agreement
constexpr std::size_t large_work_area = 4096;  // file, asymmetric

}  // namespace zervik
