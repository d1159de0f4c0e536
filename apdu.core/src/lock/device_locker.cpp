#include "lock/device_locker.h"

#include <new>
#include <string>

namespace zervik {

std::int32_t mk_named_mutex_open(mk_named_mutex* record, const char* name) {
    if (record == nullptr || record->is_open()) return 0;
    return record->open(name);
}

std::int32_t mk_named_mutex_close(mk_named_mutex* record) {
    delete record;  // the record's destructor releases and closes
    return 0;
}

mk_mutex::~mk_mutex() { mk_named_mutex_close(record); }

std::int32_t device_mutex_locker::open(const char* name) {
    if (name == nullptr) return 3;
    if (mutex_.record == nullptr) {
        mutex_.record = new (std::nothrow) mk_named_mutex;
        if (mutex_.record == nullptr) return 3;
    }
    if (mutex_.record->is_open()) return 0;
    return mk_named_mutex_open(mutex_.record, (std::string(name_prefix) + name).c_str());
}

std::int32_t device_mutex_locker::lock(std::uint32_t milliseconds) {
    if (!is_open()) return lock_not_open;
    switch (mutex_.record->lock(milliseconds)) {
    case platform::lock_result::acquired:
        return lock_done;
    case platform::lock_result::timed_out:
        return lock_timed_out;
    case platform::lock_result::failed:
        break;
    }
    return lock_failed;
}

std::int32_t device_mutex_locker::unlock() {
    if (holds() <= 0) return 0;
    return mutex_.record->unlock() ? 0 : 1;
}

std::int32_t device_mutex_locker::close() {
    if (mutex_.record == nullptr) return 0;
    while (holds() > 0 && mutex_.record->unlock()) {
    }
    if (holds() > 0) return 1;
    mk_named_mutex_close(mutex_.record);
    mutex_.record = nullptr;
    return 0;
}

}  // namespace zervik
