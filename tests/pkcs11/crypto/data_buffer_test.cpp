// The growable buffer that contexts gather Update data in.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "data_buffer.h"

namespace {

std::vector<std::uint8_t> run(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

TEST(DataBuffer, AppendConsumeAndGrowKeepTheUnreadBytesInOrder) {
    pkcs11::pkcs11_data_buffer buffer;
    EXPECT_EQ(buffer.unread(), 0u);
    const auto a = run(10, 0);
    const auto b = run(300, 10);
    ASSERT_EQ(buffer.append(a.data(), a.size()), CKR_OK);
    EXPECT_EQ(buffer.consume(4), 4u);
    // Growing while bytes are read moves only the unread ones.
    ASSERT_EQ(buffer.append(b.data(), b.size()), CKR_OK);
    ASSERT_EQ(buffer.unread(), 306u);
    for (std::size_t i = 0; i < 306; ++i) ASSERT_EQ(buffer.data()[i], static_cast<std::uint8_t>(4 + i)) << i;
    EXPECT_EQ(buffer.consume(1000), 306u);
    EXPECT_EQ(buffer.unread(), 0u);
    // Room left over is reused from the start.
    ASSERT_EQ(buffer.append(a.data(), 5), CKR_OK);
    EXPECT_EQ(buffer.data()[0], 0u);
    buffer.reset();
    EXPECT_EQ(buffer.unread(), 0u);
    EXPECT_EQ(buffer.append(nullptr, 0), CKR_OK);
    EXPECT_EQ(buffer.append(nullptr, 3), CKR_ARGUMENTS_BAD);
}

TEST(DataBuffer, LengthsThatOverflowAreRefused) {
    pkcs11::pkcs11_data_buffer buffer;
    const auto a = run(16, 1);
    ASSERT_EQ(buffer.append(a.data(), a.size()), CKR_OK);
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    // The size is refused before any byte is read.
    EXPECT_EQ(buffer.append(a.data(), huge - 8), CKR_HOST_MEMORY);
    ASSERT_EQ(buffer.unread(), 16u);
    EXPECT_EQ(buffer.data()[15], 16u);
}

}  // namespace
