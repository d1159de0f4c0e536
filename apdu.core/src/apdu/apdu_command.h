// One ISO 7816-4 command and, after the exchange, its reply: the header, the
// command data with Lc and Le, serialised with short or extended length
// fields, and the reply split into data and status word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zervik {

// Results of the APDU object; they never leave the command layer.
enum apdu_result : std::int32_t {
    apdu_ok = 0,
    apdu_invalid = -1300,       // bad case, length out of range, data not matching Lc, null buffer
    apdu_buffer_short = -1303,  // the caller's buffer is smaller than the command
    apdu_nothing = -1400,       // nothing to serialise, or a reply shorter than a status word
};

// Case codes. 1-4 are short, 0x12-0x14 extended; the automatic forms
// 0x22-0x24 become one of them when the command is serialised.
enum apdu_case : std::int32_t {
    apdu_case1 = 0x01,
    apdu_case2 = 0x02,
    apdu_case3 = 0x03,
    apdu_case4 = 0x04,
    apdu_case2_extended = 0x12,
    apdu_case3_extended = 0x13,
    apdu_case4_extended = 0x14,
    apdu_case2_auto = 0x22,
    apdu_case3_auto = 0x23,
    apdu_case4_auto = 0x24,
};

class ApduCommand {
public:
    static constexpr std::size_t name_size = 64;

    ApduCommand(std::int32_t case_code, std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                const char* name);

    // Copies the command data and sets Lc; a length of 0 means no data.
    std::int32_t set_data(const std::uint8_t* bytes, std::size_t length);

    // Serialised length of the command in its current case; 0 for an
    // unknown case.
    std::uint32_t size() const;
    std::int32_t validate() const;
    std::int32_t encode(std::uint8_t* buffer, std::uint32_t capacity) const;
    // *length is the capacity in and the serialised length out.
    std::int32_t serialize(std::uint8_t* buffer, std::uint32_t* length) const;
    // Turns an automatic case into its short or extended form, then
    // serialises; with a null buffer only the length is reported.
    std::int32_t resolve_and_serialize(std::uint8_t* buffer, std::uint32_t* length);

    std::int32_t parse_reply(const std::uint8_t* bytes, std::uint32_t n);
    void release();

    std::int32_t case_code;
    std::uint8_t cla;
    std::uint8_t ins;
    std::uint8_t p1;
    std::uint8_t p2;
    std::int32_t lc = 0;
    std::int32_t le = 0;
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> reply_data;
    std::int32_t sw1 = 0;
    std::int32_t sw2 = 0;
    char name[name_size] = {};  // at most 63 characters and a NUL

private:
    void resolve();
};

}  // namespace zervik
