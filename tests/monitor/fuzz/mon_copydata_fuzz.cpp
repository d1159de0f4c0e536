// libFuzzer target over the copy-data records the monitor is sent: the
// first byte picks the record's kind (dwData 0, 1 or a large value), the
// rest are its bytes. Invariants beside no crash and no read past the
// record:
//  - no bytes: ignored with no text; otherwise never ignored;
//  - the text is the record's whole units up to the first NUL, never
//    longer than the record and holding no NUL;
//  - kind 1 is always a message; for the others "RegCert" / "Update" (ASCII
//    letters in any case) are the commands and every other text a balloon;
//  - the same bytes at an odd address read the same, and a shorter record
//    (its first bytes) gives a prefix of the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "copy_data.h"
#include "ustring.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::string lower_ascii(const mon::ustring& s) {
    std::string out;
    for (char16_t c : s) {
        if (c > 0x7F) return std::string("\x01");  // never a command word
        char a = static_cast<char>(c);
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        out.push_back(a);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uintptr_t kinds[] = {0, 1, 2, ~static_cast<std::uintptr_t>(0)};
    const std::uintptr_t kind = kinds[data[0] % 4];
    // Exactly the record's bytes on the heap, so ASan sees any read past them.
    const std::vector<std::uint8_t> record(data + 1, data + size);
    const std::size_t n = record.size();
    const void* p = n ? record.data() : nullptr;
    const mon::copy_data_command cmd = mon::read_copy_data(kind, p, n);

    if (n == 0) {
        require(cmd.action == mon::copy_data_action::ignored && cmd.text.empty());
        require(mon::read_copy_data(kind, nullptr, 64).action == mon::copy_data_action::ignored);
        return 0;
    }
    require(cmd.action != mon::copy_data_action::ignored);
    require(cmd.text == mon::copy_data_text(record.data(), n));
    require(cmd.text.size() <= n / 2);
    for (std::size_t i = 0; i < cmd.text.size(); ++i) {
        require(cmd.text[i] != 0);
        char16_t unit;
        std::memcpy(&unit, record.data() + 2 * i, 2);
        require(unit == cmd.text[i]);
    }
    if (cmd.text.size() < n / 2) {
        char16_t next;
        std::memcpy(&next, record.data() + 2 * cmd.text.size(), 2);
        require(next == 0);
    }

    const std::string word = lower_ascii(cmd.text);
    if (kind == 1) require(cmd.action == mon::copy_data_action::message);
    else if (word == "regcert") require(cmd.action == mon::copy_data_action::reg_cert);
    else if (word == "update") require(cmd.action == mon::copy_data_action::update);
    else require(cmd.action == mon::copy_data_action::balloon);

    std::vector<std::uint8_t> shifted(n + 1);
    std::memcpy(shifted.data() + 1, record.data(), n);
    require(mon::copy_data_text(shifted.data() + 1, n) == cmd.text);

    const mon::ustring shorter = mon::copy_data_text(record.data(), n / 2);
    require(cmd.text.compare(0, shorter.size(), shorter) == 0);
    return 0;
}
