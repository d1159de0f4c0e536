// helper_show_cert_ui under Xvfb: the platform's certificate dialog shows
// (the helper keeps a picture of it in the test output) and ends with 0
// whether OK is pressed or the dialog is closed.
#include <gtest/gtest.h>

#include "SolvantaMgr.h"
#include "store_support.h"

using namespace store_test;

namespace {

void show_and_end(const char* how) {
    const auto der = read_bytes(fixture_path("ee.der"));
    ASSERT_FALSE(der.empty());
    const std::string picture = out_path(std::string("viewer-") + how + ".bmp");
    DeleteFileA(picture.c_str());
    // The helper waits for the dialog in its own process, then ends it.
    process closer("\"" + program_beside_me("mgr_store_helper.exe") + "\" viewer " + how + " \"" + picture + "\"");
    ASSERT_TRUE(closer.started);
    EXPECT_EQ(helper_show_cert_ui(nullptr, der.data(), static_cast<unsigned long>(der.size())), 0);
    EXPECT_EQ(closer.wait(), 0);
    EXPECT_GT(read_bytes(picture).size(), 10000u) << picture;
}

TEST(viewer, PressingOkEndsWithZero) { show_and_end("ok"); }

TEST(viewer, ClosingTheDialogEndsWithZero) { show_and_end("close"); }

TEST(viewer, GarbageIsNotShown) {
    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(helper_show_cert_ui(nullptr, garbage, sizeof garbage), 1);
    EXPECT_EQ(helper_show_cert_ui(nullptr, nullptr, 0), 1);
}

}  // namespace
