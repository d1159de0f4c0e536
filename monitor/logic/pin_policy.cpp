#include "pin_policy.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

namespace mon {

namespace {

using json = nlohmann::json;

// A member by name: integers as they are, floats truncated, anything else
// (or missing) 0.
long long member(const json& entry, const char* name) {
    if (!entry.is_object()) return 0;
    auto it = entry.find(name);
    if (it == entry.end()) return 0;
    if (it->is_number_integer()) {
        if (it->is_number_unsigned()) {
            auto u = it->get<unsigned long long>();
            return u > static_cast<unsigned long long>(std::numeric_limits<long long>::max())
                       ? std::numeric_limits<long long>::max()
                       : static_cast<long long>(u);
        }
        return it->get<long long>();
    }
    if (it->is_number_float()) {
        double d = it->get<double>();
        if (std::isnan(d)) return 0;
        if (d >= 9.2e18) return std::numeric_limits<long long>::max();
        if (d <= -9.2e18) return std::numeric_limits<long long>::min();
        return static_cast<long long>(d);
    }
    return 0;
}

}  // namespace

int CheckPinPolicy(const std::string& pin, int type, const char* document, std::size_t length) {
    if (!document) length = 0;
    if (length > max_policy_length) length = max_policy_length;
    const char* end = document ? static_cast<const char*>(std::memchr(document, '\0', length)) : nullptr;
    std::size_t n = end ? static_cast<std::size_t>(end - document) : length;
    const char* first = document ? document : "";

    json doc = json::parse(first, first + n, nullptr, false);
    if (doc.is_discarded()) return policy_invalid_json;
    if (!doc.is_object()) return policy_no_rules;
    auto limits = doc.find("PINLimit");
    if (limits == doc.end() || !limits->is_array()) return policy_no_rules;
    if (type >= 2) type = 1;

    const json* entry = nullptr;
    if (!limits->empty() && member((*limits)[0], "ID") == type) entry = &(*limits)[0];
    else if (limits->size() >= 2) entry = &(*limits)[1];
    if (!entry) return policy_ok;  // no rule for this user

    long long max_len = member(*entry, "MaxLen"), min_len = member(*entry, "MinLen");
    long long upper_min = member(*entry, "Uppercase"), lower_min = member(*entry, "Lowercase");
    long long special_min = member(*entry, "SpecialChar"), digit_min = member(*entry, "Numeral");

    long long upper = 0, lower = 0, digits = 0, special = 0;
    for (unsigned char c : pin) {
        if (c >= '0' && c <= '9') ++digits;
        else if (c >= 'a' && c <= 'z') ++lower;
        else if (c >= 'A' && c <= 'Z') ++upper;
        else ++special;
    }
    long long len = static_cast<long long>(pin.size());
    if (max_len > 0 && len > max_len) return policy_too_long;
    if (len < min_len) return policy_too_short;
    if (upper_min != 0 && upper < upper_min) return policy_few_upper;
    if (lower_min != 0 && lower < lower_min) return policy_few_lower;
    if (digit_min != 0 && digits < digit_min) return policy_few_digits;
    if (special_min != 0 && special < special_min) return policy_few_special;
    return policy_ok;
}

ustring format_first_int(const ustring& format, int value) {
    ustring out;
    bool done = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        char16_t c = format[i];
        if (c == u'%' && i + 1 < format.size()) {
            char16_t d = format[i + 1];
            if (d == u'%') { out += u'%'; ++i; continue; }
            if (d == u'd' && !done) {
                std::string digits = std::to_string(value);
                for (char ch : digits) out += static_cast<char16_t>(ch);
                done = true;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

ustring format_length_range(const ustring& text, int min_len, int max_len) {
    ustring out = text;
    out += u'(';
    for (char ch : std::to_string(min_len)) out += static_cast<char16_t>(ch);
    out += u"--";
    for (char ch : std::to_string(max_len)) out += static_cast<char16_t>(ch);
    out += u')';
    return out;
}

}  // namespace mon
