// The device-management family through its manager, against a device that
// records the commands and answers from a script.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "api/taviapi_devmgr.h"
#include "protocol/device_manager.h"
#include "protocol/records.h"
#include "support/family_test.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::fake_device;
using test_support::hex;

namespace {

class DeviceFamily : public test_support::family_test {};

// Inputs of a valid format; the tests spoil one of them at a time.
struct format_inputs {
    std::string strings[4] = {"Label", "Maker", "Model", std::string(32, 'S')};
    std::string blob = "blob!";
    bytes keys[3] = {counting(32, 0x10), counting(32, 0x40), counting(32, 0x70)};

    format_parameters parameters() const {
        format_parameters p{};
        for (int i = 0; i < 4; ++i) p.strings[i] = strings[i].c_str();
        p.value = 0x0A0B0C0D;
        p.byte_value = 0x5A;
        p.blob = blob.c_str();
        for (int i = 0; i < 3; ++i) {
            p.keys[i].algorithm = 0x40001011u + static_cast<std::uint32_t>(i);
            p.keys[i].key = keys[i].data();
            p.keys[i].parameter = static_cast<std::uint8_t>(0xC0 + i);
        }
        return p;
    }
};

bytes padded(const std::string& text, std::size_t size) {
    bytes out(text.begin(), text.end());
    out.resize(size, 0);
    return out;
}

}  // namespace

// Every command of the family on the wire, with the secure-channel flag
// clear and set: all but FormatDevice stay plain either way.
TEST_F(DeviceFamily, WireFormsArePlainWhateverTheFlag) {
    const bytes other_info = counting(68, 0x30);
    const bytes host_key = counting(144, 0x90);
    std::int32_t space = 0;
    std::uint8_t chip[32];
    std::int32_t chip_length = sizeof chip;
    std::uint64_t health = 0;
    std::uint8_t card_key[144];
    struct row {
        const char* what;
        std::function<std::int32_t(taviapi_devmgr&)> call;
        bytes reply;
        bytes wire;
    };
    const row rows[] = {
        {"GetFSMaxSpace", [&](taviapi_devmgr& m) { return m.get_fs_max_space(&space); },
         hex("00 00 10 00 90 00"), hex("80 01 00 00 04")},
        {"GetChipID",
         [&](taviapi_devmgr& m) {
             chip_length = sizeof chip;
             return m.get_chip_id(chip, &chip_length);
         },
         hex("01 02 03 90 00"), hex("80 03 00 00 00")},
        {"GetHealthStatus", [&](taviapi_devmgr& m) { return m.get_health_status(&health); },
         hex("01 02 03 04 05 06 07 08 90 00"), hex("80 05 00 00 08")},
        {"ChangeWorkingMode, low byte of the mode", [](taviapi_devmgr& m) { return m.change_working_mode(0x102); },
         hex("90 00"), hex("80 06 02 00")},
        {"HealthCheck", [](taviapi_devmgr& m) { return m.health_check(); }, hex("90 00"), hex("80 16 00 00")},
        {"DrbgReseed", [](taviapi_devmgr& m) { return m.drbg_reseed(); }, hex("90 00"), hex("80 21 00 00")},
        {"SecureMessageKAS step 1",
         [&](taviapi_devmgr& m) { return m.secure_message_gen_ephemeral(0x01020304, 0x105, card_key); },
         concat({counting(148), hex("90 00")}), hex("80 11 00 00 05 01 02 03 04 05 00")},
        {"SecureMessageKAS step 2",
         [&](taviapi_devmgr& m) {
             return m.secure_message_kdf(0x01020304, 0x05060708, other_info.data(), host_key.data());
         },
         hex("90 00"),
         concat({hex("80 11 01 00 DC 01 02 03 04 05 06 07 08"), other_info, host_key, hex("00")})},
    };
    for (std::int32_t flag : {0, 1}) {
        SCOPED_TRACE(flag ? "flag set" : "flag clear");
        use_secure_channel = flag;
        test_support::expect_single_commands<taviapi_devmgr>(rows);
    }
}

// The channel's key agreement and the health query stay plain even on a
// protocol object whose secure-channel flag is set, so that a caller with a
// flag of its own cannot wrap them under the keys being replaced.
TEST_F(DeviceFamily, KeyAgreementAndHealthArePlainOnAKeyedObject) {
    const bytes keys = counting(32, 0x40);
    device.set_session_keys(keys.data(), keys.data());
    const bytes other_info(64, 0);
    const bytes host_key = counting(144);
    struct row {
        const char* what;
        std::function<std::int32_t(TaviPrototcol_DeviceManager&)> build;
        std::uint8_t ins;
        std::uint8_t p1;
    };
    const row rows[] = {
        {"GetHealthStatus", [](TaviPrototcol_DeviceManager& p) { return p.build_get_health_status(); }, 0x05, 0},
        {"SecureMessageKAS step 1",
         [](TaviPrototcol_DeviceManager& p) { return p.build_kas_gen_ephemeral(0x40001011, 0); }, 0x11, 0},
        {"SecureMessageKAS step 2",
         [&](TaviPrototcol_DeviceManager& p) {
             return p.build_kas_kdf(0x40001011, 0x40000015, other_info.data(), host_key.data(), other_info.size());
         },
         0x11, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        TaviPrototcol_DeviceManager p(device, 1);
        ASSERT_EQ(r.build(p), 0);
        EXPECT_EQ(p.sm_used, 0);
        EXPECT_EQ(bytes(p.command, p.command + 3), (bytes{0x80, r.ins, r.p1}));
    }
    // FormatDevice, beside them, follows the flag.
    TaviPrototcol_DeviceManager p(device, 1);
    format_inputs in;
    ASSERT_EQ(p.build_format_device(in.parameters()), 0);
    EXPECT_EQ(p.command[0], 0x84);
}

TEST_F(DeviceFamily, FreeSpace) {
    taviapi_devmgr manager(&device);
    std::int32_t space = -1;
    device.answer(hex("00 00 10 00 90 00"));
    EXPECT_EQ(manager.get_fs_max_space(&space), 0);
    EXPECT_EQ(space, 4096);

    device.answer(hex("10 00 90 00"));
    EXPECT_EQ(manager.get_fs_max_space(&space), 3);
    device.answer(hex("6A 82"));
    EXPECT_EQ(manager.get_fs_max_space(&space), 0x6A82);
    EXPECT_EQ(space, 4096) << "written on a failure";
}

TEST_F(DeviceFamily, HealthStatusIsExactlyEightBytes) {
    taviapi_devmgr manager(&device);
    const bytes value = hex("11 22 33 44 55 66 77 88");
    std::uint64_t health = 0;
    device.answer(concat({value, hex("90 00")}));
    ASSERT_EQ(manager.get_health_status(&health), 0);
    EXPECT_EQ(std::memcmp(&health, value.data(), 8), 0) << "copied byte for byte";

    for (const char* reply : {"11 22 33 44 55 66 77 90 00", "11 22 33 44 55 66 77 88 99 90 00", "6A 82"}) {
        SCOPED_TRACE(reply);
        std::uint64_t untouched = 42;
        device.answer(hex(reply));
        EXPECT_NE(manager.get_health_status(&untouched), 0);
        EXPECT_EQ(untouched, 42u);
    }
}

TEST_F(DeviceFamily, ChipIdCapacity) {
    taviapi_devmgr manager(&device);
    const bytes id = counting(12, 0xC0);
    struct row {
        std::int32_t capacity;
        std::int32_t expected;
    };
    for (const row& r : {row{12, 0}, row{64, 0}, row{11, 3}}) {
        SCOPED_TRACE(r.capacity);
        bytes buffer(64, 0xEE);
        std::int32_t length = r.capacity;
        device.answer(concat({id, hex("90 00")}));
        EXPECT_EQ(manager.get_chip_id(buffer.data(), &length), r.expected);
        if (r.expected == 0) {
            EXPECT_EQ(length, 12);
            EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + 12), id);
        } else {
            EXPECT_EQ(length, r.capacity);
            EXPECT_EQ(buffer, bytes(64, 0xEE));
        }
    }
    bytes buffer(64, 0xEE);
    std::int32_t length = 64;
    device.answer(hex("6A 82"));
    EXPECT_EQ(manager.get_chip_id(buffer.data(), &length), 0x6A82);
    EXPECT_EQ(length, 64);
    EXPECT_EQ(buffer, bytes(64, 0xEE));
}

TEST_F(DeviceFamily, CardKeyOfTheKeyAgreement) {
    taviapi_devmgr manager(&device);
    const bytes reply = counting(148);
    bytes key(144, 0xEE);
    device.answer(concat({reply, hex("90 00")}));
    ASSERT_EQ(manager.secure_message_gen_ephemeral(0x40001011, 0, key.data()), 0);
    EXPECT_EQ(key, bytes(reply.begin() + 4, reply.end()));

    bytes untouched(144, 0xEE);
    device.answer(concat({counting(147), hex("90 00")}));
    EXPECT_EQ(manager.secure_message_gen_ephemeral(0x40001011, 0, untouched.data()), 3);
    EXPECT_EQ(untouched, bytes(144, 0xEE));
}

TEST_F(DeviceFamily, FormatRecordLayout) {
    format_inputs in;
    device.answer(hex("90 00"));
    taviapi_devmgr manager(&device);
    ASSERT_EQ(manager.format_device(in.parameters()), 0);
    ASSERT_EQ(device.sent.size(), 1u);
    const bytes& wire = device.sent[0];

    const std::size_t n = in.blob.size();
    const std::size_t lc = 273 + n;
    // Always longer than 255 bytes: extended length, no Le.
    ASSERT_EQ(wire.size(), 7 + lc);
    EXPECT_EQ(bytes(wire.begin(), wire.begin() + 7),
              concat({hex("80 02 00 00 00"), bytes{static_cast<std::uint8_t>(lc >> 8), static_cast<std::uint8_t>(lc)}}));
    const bytes record(wire.begin() + 7, wire.end());
    auto at = [&](std::size_t offset, std::size_t count) {
        return bytes(record.begin() + static_cast<long>(offset), record.begin() + static_cast<long>(offset + count));
    };
    EXPECT_EQ(at(0, 18), padded(format_enable_marker, 18));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(at(18 + 32 * i, 32), padded(in.strings[i], 32)) << "string " << i;
    EXPECT_EQ(at(146, 4), bytes(4, 0));
    EXPECT_EQ(at(150, 4), hex("0A 0B 0C 0D"));
    EXPECT_EQ(at(154, 6), bytes(6, 0));
    EXPECT_EQ(record[160], 0x5A);
    EXPECT_EQ(record[161], n);
    EXPECT_EQ(at(162, n), bytes(in.blob.begin(), in.blob.end()));
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t block = 162 + n + 37 * i;
        EXPECT_EQ(at(block, 4), concat({hex("40 00 10"), bytes{static_cast<std::uint8_t>(0x11 + i)}}));
        EXPECT_EQ(at(block + 4, 32), in.keys[i]);
        EXPECT_EQ(record[block + 36], 0xC0 + i);
    }
}

TEST_F(DeviceFamily, FormatLimitsAreInclusive) {
    format_inputs in;
    in.strings[0] = std::string(32, 'A');
    in.blob = std::string(255, 'b');
    device.answer(hex("90 00"));
    taviapi_devmgr manager(&device);
    EXPECT_EQ(manager.format_device(in.parameters()), 0);
    ASSERT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(device.sent[0].size(), 7u + 273 + 255);
    EXPECT_EQ(device.sent[0][7 + 161], 255);
}

TEST_F(DeviceFamily, BadFormatInputIsRefusedWithNothingSent) {
    const std::pair<const char*, std::function<void(format_inputs&, format_parameters&)>> spoilers[] = {
        {"string of 33 characters", [](format_inputs&, format_parameters& p) { p.strings[2] = "123456789012345678901234567890123"; }},
        {"last string too long", [](format_inputs& in, format_parameters& p) {
             in.strings[3] = std::string(33, 'x');
             p.strings[3] = in.strings[3].c_str();
         }},
        {"blob of 256 characters", [](format_inputs& in, format_parameters& p) {
             in.blob = std::string(256, 'b');
             p.blob = in.blob.c_str();
         }},
        {"blob of 300 characters", [](format_inputs& in, format_parameters& p) {
             in.blob = std::string(300, 'b');
             p.blob = in.blob.c_str();
         }},
        {"null string", [](format_inputs&, format_parameters& p) { p.strings[0] = nullptr; }},
        {"null blob", [](format_inputs&, format_parameters& p) { p.blob = nullptr; }},
        {"null key", [](format_inputs&, format_parameters& p) { p.keys[1].key = nullptr; }},
    };
    for (const auto& [what, spoil] : spoilers) {
        SCOPED_TRACE(what);
        format_inputs in;
        format_parameters p = in.parameters();
        spoil(in, p);
        taviapi_devmgr manager(&device);
        EXPECT_EQ(manager.format_device(p), 2);
        EXPECT_TRUE(device.sent.empty());
    }
}

TEST_F(DeviceFamily, FormatFollowsTheSecureChannelFlag) {
    format_inputs in;
    use_secure_channel = 1;
    taviapi_devmgr manager(&device);
    use_secure_channel = 0;
    device.answer(hex("90 00"));
    // 278 bytes of record padded to 288, and the MAC: extended Lc 0x130.
    EXPECT_EQ(manager.format_device(in.parameters()), 0);
    ASSERT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(bytes(device.sent[0].begin(), device.sent[0].begin() + 7), hex("84 02 00 00 00 01 30"));
    EXPECT_EQ(device.sent[0].size(), 7u + 304);
}

TEST_F(DeviceFamily, NullOutputsAreRefusedWithNothingSent) {
    taviapi_devmgr manager(&device);
    std::uint8_t buffer[16];
    std::int32_t length = sizeof buffer;
    const bytes info = counting(68);
    EXPECT_EQ(manager.get_fs_max_space(nullptr), 2);
    EXPECT_EQ(manager.get_chip_id(nullptr, &length), 2);
    EXPECT_EQ(manager.get_chip_id(buffer, nullptr), 2);
    EXPECT_EQ(manager.get_health_status(nullptr), 2);
    EXPECT_EQ(manager.secure_message_gen_ephemeral(0, 0, nullptr), 2);
    EXPECT_EQ(manager.secure_message_kdf(0, 0, nullptr, info.data()), 2);
    EXPECT_EQ(manager.secure_message_kdf(0, 0, info.data(), nullptr), 2);
    EXPECT_TRUE(device.sent.empty());
}

TEST_F(DeviceFamily, TransportFailuresComeBackAsTheyAre) {
    taviapi_devmgr manager(&device);
    device.transmit_result = 1;
    EXPECT_EQ(manager.health_check(), 1);
    device.transmit_result = 2;
    std::int32_t space = 9;
    EXPECT_EQ(manager.get_fs_max_space(&space), 2);
    EXPECT_EQ(space, 9);
}
