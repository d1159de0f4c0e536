// A virtual token formatted by the module with the test PINs, in strict
// access mode, the user PIN verified and the log cleared: the fixture of the
// store tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "card_commands.h"
#include "card_device.h"
#include "card_pin.h"
#include "card_profile.h"
#include "store_layout.h"
#include "support/vtoken_control.h"

namespace formatted_token {

using store_layout::so_pin;
using store_layout::u8;
using store_layout::user_pin;

class test : public ::testing::Test {
protected:
    void SetUp() override {
        using namespace solvantex;
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}});
        vt_.call("set", {{"access_mode", "strict"}});
        set_module_sm_flag(0);
        ASSERT_EQ(open_device(test_support::card_reader, &h_), 0);
        store_layout::bytes info(128);
        std::int32_t n = 128;
        ASSERT_EQ(card_get_data(h_, 0x0101, info.data(), &n), 0);
        cardfs_format_parameters p{info.data(), 0, u8(so_pin), so_pin.size(), 10,
                                   u8(user_pin), user_pin.size(), 10, 2};
        std::int32_t warning = 0;
        ASSERT_EQ(cardfs_format_token(h_, p, &warning), 0);
        std::int32_t tries = 0;
        ASSERT_EQ(cardfs_verify_pin(h_, cardfs_user_pin, u8(user_pin), user_pin.size(), &tries), 0);
        vt_.clear_log();
    }
    void TearDown() override {
        vt_.call("fail_next", {{"clear", true}});
        solvantex::close_device(h_);
    }

    store_layout::bytes file(const std::string& path) {
        return test_support::from_hex(vt_.call("file_read", {{"path", path}})["data"].get<std::string>());
    }
    // A transparent file of the store directory, by name.
    bool exists(const std::string& name) {
        try {
            vt_.call("file_read", {{"path", "3f00/2000/4000/" + name}, {"length", 0}});
            return true;
        } catch (const test_support::vtoken_error&) {
            return false;
        }
    }
    // The commands since the last clear whose instruction is one of ins
    // (two hex digits each).
    std::vector<std::string> commands_of(std::initializer_list<const char*> ins) {
        std::vector<std::string> out;
        for (const auto& c : vt_.commands())
            for (const char* i : ins)
                if (c.compare(2, 2, i) == 0) out.push_back(c);
        return out;
    }

    test_support::vtoken_control vt_;
    solvantex::card_handle h_ = 0;
};

}  // namespace formatted_token
