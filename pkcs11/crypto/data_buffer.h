// The growable byte buffer in which contexts gather data between an
// operation's Update calls. Lengths are size_t with overflow checks; the
// storage is wiped when it is dropped.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pkcs11 {

class pkcs11_data_buffer {
public:
    pkcs11_data_buffer() = default;
    ~pkcs11_data_buffer() { reset(); }
    pkcs11_data_buffer(const pkcs11_data_buffer&) = delete;
    pkcs11_data_buffer& operator=(const pkcs11_data_buffer&) = delete;

    // Adds n bytes after the unread ones: CKR_OK, or CKR_HOST_MEMORY when
    // the length overflows or memory runs out (the buffer is unchanged).
    CK_RV append(const std::uint8_t* data, std::size_t n);
    // The unread bytes.
    const std::uint8_t* data() const { return storage_.get() + read_; }
    std::size_t unread() const { return write_ - read_; }
    // Marks up to n unread bytes as read; returns how many.
    std::size_t consume(std::size_t n);
    // Drops everything.
    void reset();

private:
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::size_t read_ = 0;
    std::size_t write_ = 0;
};

}  // namespace pkcs11
