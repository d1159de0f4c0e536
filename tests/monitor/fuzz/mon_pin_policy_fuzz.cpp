// libFuzzer target over the PIN policy check. The first byte gives the user
// type, the second the PIN's length; then the PIN, then the policy document.
// Invariants beside no crash and no read past the document:
//  - the result is one of the check's results;
//  - the document is read up to its first NUL only: bytes after a NUL
//    change nothing;
//  - the document is read up to 1024 bytes only: a longer one gives what
//    its first 1024 bytes give;
//  - user types 2 and above are user type 1;
//  - the language formatter leaves a text without '%' as it stands and
//    never grows it by more than the digits of one number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pin_policy.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool known_result(int r) {
    switch (r) {
    case mon::policy_ok:
    case mon::policy_invalid_json:
    case mon::policy_no_rules:
    case mon::policy_too_long:
    case mon::policy_too_short:
    case mon::policy_few_upper:
    case mon::policy_few_lower:
    case mon::policy_few_special:
    case mon::policy_few_digits:
        return true;
    default:
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int type = data[0] % 4;
    std::size_t pin_len = data[1] % 40;
    data += 2;
    size -= 2;
    if (pin_len > size) pin_len = size;
    const std::string pin(reinterpret_cast<const char*>(data), pin_len);
    const char* doc = reinterpret_cast<const char*>(data + pin_len);
    const std::size_t doc_len = size - pin_len;

    // The document in a buffer of its own size, so that a read past it is
    // caught.
    char* exact = static_cast<char*>(std::malloc(doc_len ? doc_len : 1));
    if (exact == nullptr) return 0;
    if (doc_len) std::memcpy(exact, doc, doc_len);
    const int r = mon::CheckPinPolicy(pin, type, exact, doc_len);
    require(known_result(r));

    const std::size_t nul = std::strlen(std::string(exact, doc_len).c_str());
    if (nul < doc_len) require(mon::CheckPinPolicy(pin, type, exact, nul) == r);
    if (doc_len > mon::max_policy_length)
        require(mon::CheckPinPolicy(pin, type, exact, mon::max_policy_length) == r);
    if (type >= 2) require(mon::CheckPinPolicy(pin, 1, exact, doc_len) == r);
    std::free(exact);

    const mon::ustring text(pin.begin(), pin.end());
    const mon::ustring out = mon::format_first_int(text, -2147483647 - 1);
    if (text.find(u'%') == mon::ustring::npos) require(out == text);
    require(out.size() <= text.size() + 11);
    return 0;
}
