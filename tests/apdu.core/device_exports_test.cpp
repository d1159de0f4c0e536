// The device and transport exports through the PC/SC seam.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "ZervikSolvanta.h"
#include "api/taviapi_base.h"
#include "seam_fixture.h"

using namespace platform::pcsc_rc;
using test_support::pcsc_call;
using test_support::reader_names;
using test_support::scripted_pcsc;

namespace {

const int invalid_parameter = platform::to_pcsc_code(SCARD_E_INVALID_PARAMETER);

class device_exports_test : public test_support::seam_test {
protected:
    ZERVIK_HANDLE connect(const char* name = "Solvanta Token 00 00") {
        ZERVIK_HANDLE handle = nullptr;
        EXPECT_EQ(Zervik_ConnectDev(name, &handle), 0);
        return handle;
    }
};

// ---- Zervik_EnumDev --------------------------------------------------------

TEST_F(device_exports_test, EnumDevReportsTheSizeNeeded) {
    fake_.readers({"A", "BC"});
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    int length = 5;
    EXPECT_EQ(Zervik_EnumDev("", buffer, &length), 2);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(buffer[0], '#');

    length = 0;
    EXPECT_EQ(Zervik_EnumDev("", nullptr, &length), 2);  // null buffer: size only
    EXPECT_EQ(length, 6);

    length = 6;
    ASSERT_EQ(Zervik_EnumDev("", buffer, &length), 0);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(std::memcmp(buffer, "A\0BC\0\0", 6), 0);
    EXPECT_EQ(buffer[6], '#');
}

TEST_F(device_exports_test, EnumDevLongNamesAreCountedAndCopiedWhole) {
    // Eight names of 200 characters: far more than 1024 bytes.
    const auto names = reader_names(8, 200);
    fake_.readers(names);
    std::string expected;
    for (const auto& n : names) expected += n + '\0';
    expected += '\0';
    ASSERT_EQ(expected.size(), 1609u);

    std::vector<char> buffer(2000, '#');
    int length = 1608;
    EXPECT_EQ(Zervik_EnumDev("R", buffer.data(), &length), 2);
    EXPECT_EQ(length, 1609);
    EXPECT_EQ(buffer[0], '#');
    length = static_cast<int>(buffer.size());
    ASSERT_EQ(Zervik_EnumDev("R", buffer.data(), &length), 0);
    EXPECT_EQ(length, 1609);
    EXPECT_EQ(std::string(buffer.data(), 1609), expected);
    EXPECT_EQ(buffer[1609], '#');
}

TEST_F(device_exports_test, EnumDevMatchingNothingPurgesTheList) {
    fake_.readers({"A", "BC"});
    ZERVIK_HANDLE a = connect("A");
    char buffer[16];
    int length = sizeof buffer;
    EXPECT_EQ(Zervik_EnumDev("Z", buffer, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(zervik::check_device_handle(a), 2);
    // The connection the library opened for the device went with it.
    EXPECT_EQ(fake_.disconnected(), std::vector<platform::pcsc_handle>{scripted_pcsc::fake_handle_});
}

TEST_F(device_exports_test, EnumDevRefusesNullArguments) {
    fake_.readers({"A"});
    int length = 8;
    char buffer[8];
    EXPECT_EQ(Zervik_EnumDev(nullptr, buffer, &length), 2);
    EXPECT_EQ(Zervik_EnumDev("", buffer, nullptr), 2);
    EXPECT_EQ(fake_.count(pcsc_call::list_readers), 0);
    length = -1;
    EXPECT_EQ(Zervik_EnumDev("", buffer, &length), 2);
    EXPECT_EQ(length, 3);
}

// A failure inside the library comes back as a status, never as an exception.
class throwing_pcsc : public scripted_pcsc {
public:
    platform::pcsc_code list_readers(platform::pcsc_context, char*, std::uint32_t*) override {
        throw std::bad_alloc();
    }
};

TEST(device_exports_guard, ExceptionsBecomeAStatus) {
    throwing_pcsc fake;
    fake.fake_service();
    test_support::scoped_pcsc in_force(fake);
    int length = 8;
    char buffer[8];
    EXPECT_EQ(Zervik_EnumDev("", buffer, &length), 1);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(fake.count(pcsc_call::release_context), 1);
    test_support::clear_device_list();
}

// ---- connecting and handing over handles ----------------------------------

TEST_F(device_exports_test, ConnectTwiceGivesTheSameHandleAndClearsTheFlag) {
    Zervik_UseSecureChannel(1);
    ZERVIK_HANDLE first = connect();
    EXPECT_EQ(zervik::use_secure_channel.load(), 0);
    Zervik_UseSecureChannel(7);
    EXPECT_EQ(zervik::use_secure_channel.load(), 7);
    ZERVIK_HANDLE second = connect();
    EXPECT_EQ(first, second);
    EXPECT_EQ(zervik::device_manager().device_count(), 1);
    EXPECT_EQ(zervik::use_secure_channel.load(), 0);
}

TEST_F(device_exports_test, ConnectFailureLeavesTheHandleAndKeepsTheDevice) {
    fake_.always(pcsc_call::connect, unknown_reader);
    ZERVIK_HANDLE handle = reinterpret_cast<ZERVIK_HANDLE>(0x1234);
    Zervik_UseSecureChannel(1);
    EXPECT_EQ(Zervik_ConnectDev("gone", &handle), unknown_reader);
    EXPECT_EQ(handle, reinterpret_cast<ZERVIK_HANDLE>(0x1234));
    EXPECT_EQ(zervik::use_secure_channel.load(), 1);
    EXPECT_NE(zervik::find_device_by_name("gone"), nullptr);
    Zervik_UseSecureChannel(0);
}

TEST_F(device_exports_test, ConnectRefusesBadArgumentsWithoutMakingADevice) {
    ZERVIK_HANDLE handle = nullptr;
    EXPECT_EQ(Zervik_ConnectDev(std::string(256, 'n').c_str(), &handle), unknown_reader);
    EXPECT_EQ(Zervik_ConnectDev(nullptr, &handle), unknown_reader);
    EXPECT_EQ(Zervik_ConnectDev("A", nullptr), invalid_parameter);
    EXPECT_EQ(zervik::device_manager().device_count(), 0);
    EXPECT_EQ(fake_.count(pcsc_call::connect), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Zervik_ConnectDev(std::string(255, 'n').c_str(), &handle), 0);
}

TEST_F(device_exports_test, SetDevHandleReusesAndAddDevHandleAdds) {
    ZERVIK_HANDLE set = nullptr, again = nullptr, added = nullptr;
    ASSERT_EQ(Zervik_SetDevHandle("A", 0x71, 0x72, &set), 0);
    ASSERT_EQ(Zervik_SetDevHandle("A", 0x81, 0x82, &again), 0);
    EXPECT_EQ(set, again);
    EXPECT_EQ(static_cast<zervik::device_winscard*>(set)->card(), 0x82u);
    ASSERT_EQ(Zervik_AddDevHandle("A", 0x91, 0x92, &added), 0);
    EXPECT_NE(added, set);
    EXPECT_EQ(zervik::device_manager().device_count(), 2);

    EXPECT_EQ(Zervik_UpdateDevHandle(added, 0xA1, 0xA2), 0);
    EXPECT_EQ(static_cast<zervik::device_winscard*>(added)->context(), 0xA1u);
    EXPECT_EQ(Zervik_UpdateDevHandle(nullptr, 0xA1, 0xA2), 1);
    // Nothing of the caller's was released on the way.
    EXPECT_TRUE(fake_.disconnected().empty());
    EXPECT_TRUE(fake_.released().empty());
}

TEST_F(device_exports_test, HandOverRefusesBadArguments) {
    const std::string too_long(256, 'n');
    ZERVIK_HANDLE handle = nullptr;
    for (auto* fn : {&Zervik_SetDevHandle, &Zervik_AddDevHandle}) {
        EXPECT_EQ(fn(too_long.c_str(), 1, 2, &handle), 2);
        EXPECT_EQ(fn(nullptr, 1, 2, &handle), 2);
        EXPECT_EQ(fn("A", 1, 2, nullptr), 2);
    }
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(zervik::device_manager().device_count(), 0);
}

// ---- removing -----------------------------------------------------------------

TEST_F(device_exports_test, AfterRemovalEveryCallOnTheHandleGives1) {
    ZERVIK_HANDLE own = connect();
    ZERVIK_HANDLE outside = nullptr;
    ASSERT_EQ(Zervik_AddDevHandle("B", 0x71, 0x72, &outside), 0);

    EXPECT_EQ(Zervik_RemoveDevice(own), 0);
    EXPECT_EQ(Zervik_RemoveDevice(outside), 0);
    // The library's own connection is released, the caller's is not.
    EXPECT_EQ(fake_.disconnected(), std::vector<platform::pcsc_handle>{scripted_pcsc::fake_handle_});
    EXPECT_EQ(fake_.released(), std::vector<platform::pcsc_context>{scripted_pcsc::fake_context_});

    for (ZERVIK_HANDLE h : {own, outside, static_cast<ZERVIK_HANDLE>(nullptr)}) {
        unsigned char apdu[] = {0x80, 0x16, 0x00, 0x00};
        unsigned char reply[8];
        int length = sizeof reply;
        EXPECT_EQ(Zervik_RemoveDevice(h), 1);
        EXPECT_EQ(Zervik_DisconnectDev(h), 1);
        EXPECT_EQ(Zervik_DeviceIO(h, apdu, sizeof apdu, reply, &length), 1);
        EXPECT_EQ(Zervik_BeginTransaction(h), 1);
        EXPECT_EQ(Zervik_EndTransaction(h), 1);
        EXPECT_EQ(Zervik_UpdateDevHandle(h, 1, 2), 1);
    }
    EXPECT_TRUE(fake_.sent().empty());
}

TEST_F(device_exports_test, DisconnectReleasesWhatTheDeviceHolds) {
    ZERVIK_HANDLE outside = nullptr;
    ASSERT_EQ(Zervik_SetDevHandle("B", 0x71, 0x72, &outside), 0);
    EXPECT_EQ(Zervik_DisconnectDev(outside), 0);
    EXPECT_EQ(fake_.disconnected(), std::vector<platform::pcsc_handle>{0x72});
    EXPECT_EQ(fake_.released(), std::vector<platform::pcsc_context>{0x71});
    EXPECT_EQ(zervik::check_device_handle(outside), 2);
}

// ---- Zervik_DeviceIO ----------------------------------------------------------

TEST_F(device_exports_test, DeviceIOReadsTheLengthAsCapacity) {
    ZERVIK_HANDLE handle = connect();
    const unsigned char apdu[] = {0x80, 0x03, 0x00, 0x00, 0x00};
    unsigned char reply[8];

    fake_.script_reply({0x01, 0x02, 0x03, 0x6D, 0x00});
    std::memset(reply, 0xEE, sizeof reply);
    int length = 4;
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu, sizeof apdu, reply, &length), 3);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(reply[0], 0xEE);

    fake_.script_reply({0x01, 0x02, 0x03, 0x6D, 0x00});
    length = 5;
    ASSERT_EQ(Zervik_DeviceIO(handle, apdu, sizeof apdu, reply, &length), 0);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(reply[3], 0x6D);
    EXPECT_EQ(reply[5], 0xEE);
}

TEST_F(device_exports_test, DeviceIORefusesBadCommandsWithNothingSent) {
    ZERVIK_HANDLE handle = connect();
    std::vector<unsigned char> apdu(2049, 0x80);
    unsigned char reply[8];
    int length = sizeof reply;
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu.data(), 2049, reply, &length), 1);
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu.data(), 3, reply, &length), 1);
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu.data(), -4, reply, &length), 1);
    EXPECT_EQ(Zervik_DeviceIO(handle, nullptr, 4, reply, &length), 1);
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu.data(), 4, nullptr, &length), 1);
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu.data(), 4, reply, nullptr), 1);
    length = -1;
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu.data(), 4, reply, &length), 1);
    EXPECT_TRUE(fake_.sent().empty());
}

TEST_F(device_exports_test, DeviceIOWithoutAUsableReplyGives2) {
    ZERVIK_HANDLE handle = connect();
    const unsigned char apdu[] = {0x80, 0x16, 0x00, 0x00};
    unsigned char reply[8];
    for (const auto& bad : {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0x90},
                            std::vector<std::uint8_t>{0x00, 0x00}}) {
        fake_.script_reply(bad);
        int length = sizeof reply;
        EXPECT_EQ(Zervik_DeviceIO(handle, apdu, sizeof apdu, reply, &length), 2) << bad.size();
        EXPECT_EQ(length, static_cast<int>(sizeof reply));
    }
}

TEST_F(device_exports_test, TransactionsPassThePcscResult) {
    ZERVIK_HANDLE handle = connect();
    fake_.script(pcsc_call::begin_transaction, {platform::to_pcsc_code(SCARD_E_SHARING_VIOLATION)});
    EXPECT_EQ(Zervik_BeginTransaction(handle), platform::to_pcsc_code(SCARD_E_SHARING_VIOLATION));
    EXPECT_EQ(Zervik_BeginTransaction(handle), 0);
    fake_.script(pcsc_call::end_transaction, {platform::to_pcsc_code(SCARD_E_NOT_TRANSACTED)});
    EXPECT_EQ(Zervik_EndTransaction(handle), platform::to_pcsc_code(SCARD_E_NOT_TRANSACTED));
}

}  // namespace
