// A private copy of a PIN, an unblock code or another secret, NUL-terminated,
// wiped when it goes out of scope, so the module only ever reads a buffer
// that this library clears afterwards.
#ifndef SOLVANTA_MGR_SECRET_COPY_H
#define SOLVANTA_MGR_SECRET_COPY_H

#include <cstddef>
#include <cstring>
#include <vector>

#include <mbedtls/platform_util.h>

#include <pkcs11_vendor.h>

namespace mgr {

class secret_copy {
public:
    // A null text reads as empty; at most max_length bytes are taken.
    explicit secret_copy(const char* text, std::size_t max_length = static_cast<std::size_t>(-1))
        : secret_copy(reinterpret_cast<const unsigned char*>(text), text ? strnlen(text, max_length) : 0) {}
    // The caller bounds length (a PIN field, one card command's data).
    secret_copy(const unsigned char* data, std::size_t length) : bytes_(length + 1, 0) {
        if (data != nullptr && length != 0) std::memcpy(bytes_.data(), data, length);
        length_ = data != nullptr ? length : 0;
    }
    ~secret_copy() { mbedtls_platform_zeroize(bytes_.data(), bytes_.size()); }
    secret_copy(const secret_copy&) = delete;
    secret_copy& operator=(const secret_copy&) = delete;

    CK_UTF8CHAR_PTR data() { return bytes_.data(); }
    CK_ULONG length() const { return static_cast<CK_ULONG>(length_); }

private:
    std::vector<unsigned char> bytes_;
    std::size_t length_ = 0;
};

}  // namespace mgr

#endif  // SOLVANTA_MGR_SECRET_COPY_H
