#include "data_buffer.h"

#include <mbedtls/platform_util.h>

#include <cstring>
#include <limits>
#include <new>

namespace pkcs11 {

CK_RV pkcs11_data_buffer::append(const std::uint8_t* data, std::size_t n) {
    if (n == 0) return CKR_OK;
    if (data == nullptr) return CKR_ARGUMENTS_BAD;
    const std::size_t left = unread();
    constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
    if (n > size_max - left) return CKR_HOST_MEMORY;
    const std::size_t needed = left + n;
    if (needed > capacity_) {
        // Twice the new data besides what waits, or just enough when that
        // does not fit a size_t.
        const std::size_t grown = n <= (size_max - left) / 2 ? 2 * n + left : needed;
        std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[grown]);
        if (!bigger) return CKR_HOST_MEMORY;
        if (left != 0) std::memcpy(bigger.get(), storage_.get() + read_, left);
        reset();
        storage_ = std::move(bigger);
        capacity_ = grown;
        write_ = left;
    } else if (read_ != 0) {
        std::memmove(storage_.get(), storage_.get() + read_, left);
        read_ = 0;
        write_ = left;
    }
    std::memcpy(storage_.get() + write_, data, n);
    write_ += n;
    return CKR_OK;
}

std::size_t pkcs11_data_buffer::consume(std::size_t n) {
    const std::size_t taken = n < unread() ? n : unread();
    read_ += taken;
    return taken;
}

void pkcs11_data_buffer::reset() {
    if (storage_) mbedtls_platform_zeroize(storage_.get(), capacity_);
    storage_.reset();
    capacity_ = read_ = write_ = 0;
}

}  // namespace pkcs11
