#include "platform/named_mutex.h"
#include "platform/name_hash.h"

namespace platform {

lock_result classify_wait(std::uint32_t wait_code) {
    switch (wait_code) {
    case 0x00000000u:  // WAIT_OBJECT_0
    case 0x00000080u:  // WAIT_ABANDONED: the dead holder's mutex is ours now
        return lock_result::acquired;
    case 0x00000102u:  // WAIT_TIMEOUT
        return lock_result::timed_out;
    default:
        return lock_result::failed;
    }
}

std::string bounded_object_name(const std::string& name, std::size_t max_length) {
    if (name.size() <= max_length) return name;
    const std::string suffix = "#" + name_hash_hex(name);
    if (max_length <= suffix.size()) return suffix.substr(0, max_length);
    return name.substr(0, max_length - suffix.size()) + suffix;
}

}  // namespace platform
