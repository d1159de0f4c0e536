// Unit tests of the card library through the PC/SC seam: a fake service is
// in force (nothing reaches a real pcscd, pauses take no time), and the
// library's device list is emptied after each test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scripted_pcsc.h"
#include "transport/device_list.h"

namespace test_support {

inline void clear_device_list() {
    zervik::device_sc_manager& list = zervik::device_manager();
    while (list.nodes().head() != nullptr) list.remove_device(list.nodes().head());
    list.cursor() = nullptr;
}

class seam_test : public ::testing::Test {
protected:
    seam_test() : in_force_(fake_) { fake_.fake_service(); }
    ~seam_test() override { clear_device_list(); }

    static std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> b) { return b; }

    scripted_pcsc fake_;
    scoped_pcsc in_force_;
};

// n names "<prefix>NN" padded with 'x' to length characters.
inline std::vector<std::string> reader_names(int n, std::size_t length, const std::string& prefix = "R") {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) {
        std::string name = prefix + std::to_string(100 + i);
        name.resize(length, 'x');
        names.push_back(name);
    }
    return names;
}

}  // namespace test_support
