// The fixed part of one card command form: what a family's table holds for
// each command, before the caller's arguments fill in the rest.
#pragma once

#include <cstdint>

namespace zervik {

enum class class_rule : std::uint8_t {
    fixed,        // the class byte goes out as given (0x84 alone means always wrapped)
    follows_flag, // bit 0x04 is added when the protocol object has secure messaging enabled
};

struct command_form {
    const char* label;
    std::int32_t case_code;  // an apdu_case
    std::uint8_t cla;
    class_rule rule;
    std::uint8_t ins;
    std::uint8_t p1;
    std::uint8_t p2;
    std::int32_t le;

    // The same form with caller-given parameter bytes or expected length.
    constexpr command_form with_p1(std::uint8_t value) const {
        command_form f = *this;
        f.p1 = value;
        return f;
    }
    constexpr command_form with_p2(std::uint8_t value) const {
        command_form f = *this;
        f.p2 = value;
        return f;
    }
    constexpr command_form with_le(std::int32_t value) const {
        command_form f = *this;
        f.le = value;
        return f;
    }
};

}  // namespace zervik
