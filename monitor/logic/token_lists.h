// Pure pieces of the monitor's token work: the container-name list the
// manager library gives, and the product id in a USB device path.
#ifndef SOLVANTEX_MON_TOKEN_LISTS_H
#define SOLVANTEX_MON_TOKEN_LISTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ustring.h"

namespace mon {

constexpr std::size_t container_list_size = 8192;
constexpr std::size_t max_container_names = 65;

// The names in the first min(length, 8192) bytes of buffer: the maximal runs
// of bytes above 0x20, NULs and control characters separating them, blanks
// inside a name kept; no piece is empty. At most 65 names are kept.
std::vector<std::string> split_container_names(const char* buffer, std::size_t buffer_size,
                                               unsigned long length);

// The product id of a device path: the four characters after "PID_" (letters
// compared in upper case) read as hexadecimal; 0 when there is no "PID_" or
// the characters are not hexadecimal.
std::uint32_t product_id_of(const ustring& path);

// The product ids the monitor reacts to (0 is a path without a product id).
bool watched_product(std::uint32_t id);

}  // namespace mon

#endif
