// The PIN and authentication family through its manager, against a device
// that records the commands and answers from a script.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "api/taviapi_pinmgr.h"
#include "sm_oracle.h"
#include "support/family_test.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::fake_device;
using test_support::hex;

namespace {

class PinFamily : public test_support::family_test {};

const std::uint8_t access_byte = 0xFF;

pin_record_parameters record_of(const bytes& pin) {
    return {0x02, 0x40002121, 10, pin.data(), pin.size(), &access_byte, &access_byte, 1, 1};
}

struct row {
    const char* what;
    std::function<std::int32_t(taviapi_pinmgr&)> call;
    bytes reply;
    bytes wire;
};

}  // namespace

// The commands that may go plain, on the wire with the secure-channel flag
// clear.
TEST_F(PinFamily, PlainWireForms) {
    const bytes cryptogram = counting(32, 0x40);
    const bytes challenge = counting(8, 0x10);
    std::uint8_t buffer[64];
    std::int32_t length = sizeof buffer;
    std::int32_t ints[6] = {};
    std::uint8_t chars[2] = {};
    const pin_info_outputs info{&ints[0], &ints[1], &ints[2], &chars[0], &chars[1], &ints[3], &ints[4], &ints[5]};
    const row rows[] = {
        {"GetChallenge", [&](taviapi_pinmgr& m) { return m.get_challenge(8, buffer); },
         concat({counting(8), hex("90 00")}), hex("00 84 00 00 08")},
        {"GetChallenge of 300 bytes: extended Le", [&](taviapi_pinmgr& m) {
             bytes big(300);
             return m.get_challenge(300, big.data());
         },
         concat({counting(300), hex("90 00")}), hex("00 84 00 00 00 01 2C")},
        {"DRBGGenRandom", [&](taviapi_pinmgr& m) { return m.drbg_gen_random(16, buffer); },
         concat({counting(16), hex("90 00")}), hex("00 84 01 00 10")},
        {"DeviceAuth", [&](taviapi_pinmgr& m) { return m.device_auth(0x01, cryptogram.data(), 32); }, hex("90 00"),
         concat({hex("00 82 00 01 20"), cryptogram})},
        {"InternalAuth",
         [&](taviapi_pinmgr& m) {
             length = sizeof buffer;
             return m.internal_auth(challenge.data(), 8, buffer, &length);
         },
         hex("AA BB 90 00"), concat({hex("00 88 00 02 08"), challenge, hex("00")})},
        {"VerifyPin", [&](taviapi_pinmgr& m) { return m.verify_pin(0x02, 0x00, hex("31 32 33 34").data(), 4); },
         hex("90 00"), hex("00 20 00 02 04 31 32 33 34")},
        {"VerifyPin, P1 from the caller", [&](taviapi_pinmgr& m) { return m.verify_pin(0x01, 0x07, challenge.data(), 8); },
         hex("90 00"), concat({hex("00 20 07 01 08"), challenge})},
        {"GetPinInfo", [&](taviapi_pinmgr& m) { return m.get_pin_info(0x02, info); },
         concat({counting(11), hex("90 00")}), hex("80 32 00 02 00")},
        {"ClearSecureState", [&](taviapi_pinmgr& m) { return m.clear_secure_state(0x01, 0x02); }, hex("90 00"),
         hex("80 35 01 02")},
    };
    test_support::expect_single_commands<taviapi_pinmgr>(rows);
}

// Challenges and external authentication never go wrapped, whatever the flag.
TEST_F(PinFamily, ChallengeAndExternalAuthStayPlainUnderTheFlag) {
    use_secure_channel = 1;
    taviapi_pinmgr manager(&device);
    std::uint8_t buffer[8];
    device.answer(concat({counting(8), hex("90 00")}));
    device.answer(concat({counting(8), hex("90 00")}));
    device.answer(hex("90 00"));
    EXPECT_EQ(manager.get_challenge(8, buffer), 0);
    EXPECT_EQ(manager.drbg_gen_random(8, buffer), 0);
    EXPECT_EQ(manager.device_auth(2, counting(32).data(), 32), 0);
    ASSERT_EQ(device.sent.size(), 3u);
    EXPECT_EQ(device.sent[0], hex("00 84 00 00 08"));
    EXPECT_EQ(device.sent[1], hex("00 84 01 00 08"));
    EXPECT_EQ(bytes(device.sent[2].begin(), device.sent[2].begin() + 5), hex("00 82 00 02 20"));
}

TEST_F(PinFamily, ChallengeMustBeExactlyTheLengthAskedFor) {
    struct reply_row {
        std::size_t bytes_given;
        std::int32_t expected;
    };
    for (const reply_row& r : {reply_row{8, 0}, reply_row{7, 3}, reply_row{9, 3}, reply_row{0, 3}}) {
        for (bool generator : {false, true}) {
            SCOPED_TRACE(std::to_string(r.bytes_given) + (generator ? " random" : " challenge"));
            fake_device d;
            taviapi_pinmgr manager(&d);
            bytes buffer(16, 0xEE);
            d.answer(concat({counting(r.bytes_given, 0x20), hex("90 00")}));
            const std::int32_t status =
                generator ? manager.drbg_gen_random(8, buffer.data()) : manager.get_challenge(8, buffer.data());
            EXPECT_EQ(status, r.expected);
            if (r.expected == 0) {
                EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + 8), counting(8, 0x20));
                EXPECT_EQ(buffer[8], 0xEE);
            } else {
                EXPECT_EQ(buffer, bytes(16, 0xEE)) << "written on a failure";
            }
        }
    }
}

TEST_F(PinFamily, PinInformationTakesElevenBytes) {
    taviapi_pinmgr manager(&device);
    std::int32_t ints[6] = {-1, -1, -1, -1, -1, -1};
    std::uint8_t chars[2] = {0xEE, 0xEE};
    const pin_info_outputs out{&ints[0], &ints[1], &ints[2], &chars[0], &chars[1], &ints[3], &ints[4], &ints[5]};

    device.answer(hex("40 00 21 21 82 09 0A FF 01 02 01 90 00"));
    ASSERT_EQ(manager.get_pin_info(2, out), 0);
    EXPECT_EQ(ints[0], 0x40002121);
    EXPECT_EQ(ints[1], 0x82);
    EXPECT_EQ(ints[2], 9) << "tries left";
    EXPECT_EQ(chars[0], 0x0A);
    EXPECT_EQ(chars[1], 0xFF);
    EXPECT_EQ(ints[3], 1);
    EXPECT_EQ(ints[4], 2);
    EXPECT_EQ(ints[5], 1) << "to be changed";

    for (const char* reply : {"40 00 21 21 82 09 0A FF 01 02 90 00", "6A 88"}) {
        SCOPED_TRACE(reply);
        std::int32_t untouched[6] = {-1, -1, -1, -1, -1, -1};
        std::uint8_t untouched_chars[2] = {0xEE, 0xEE};
        const pin_info_outputs o{&untouched[0], &untouched[1], &untouched[2], &untouched_chars[0],
                                 &untouched_chars[1], &untouched[3], &untouched[4], &untouched[5]};
        device.answer(hex(reply));
        EXPECT_NE(manager.get_pin_info(2, o), 0);
        for (std::int32_t v : untouched) EXPECT_EQ(v, -1);
        EXPECT_EQ(untouched_chars[0], 0xEE);
    }
}

TEST_F(PinFamily, WrongPinStatusComesBackUnchanged) {
    taviapi_pinmgr manager(&device);
    for (const char* sw : {"63 C9", "63 C0", "69 83", "6A 88"}) {
        device.answer(hex(sw));
        const bytes b = hex(sw);
        EXPECT_EQ(manager.verify_pin(2, 0, hex("31").data(), 1), b[0] << 8 | b[1]) << sw;
    }
}

TEST_F(PinFamily, InternalAuthResponseCapacity) {
    taviapi_pinmgr manager(&device);
    const bytes challenge = counting(16);
    bytes response(8, 0xEE);
    std::int32_t length = 7;
    device.answer(concat({counting(8, 0x80), hex("90 00")}));
    EXPECT_EQ(manager.internal_auth(challenge.data(), 16, response.data(), &length), 3);
    EXPECT_EQ(length, 7);
    EXPECT_EQ(response, bytes(8, 0xEE));
    length = 8;
    device.answer(concat({counting(8, 0x80), hex("90 00")}));
    EXPECT_EQ(manager.internal_auth(challenge.data(), 16, response.data(), &length), 0);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(response, counting(8, 0x80));
}

// The four commands that carry PIN values are refused while the device has
// no channel keys, whatever the flag: no PIN travels under a zero key.
TEST_F(PinFamily, AlwaysWrappedCommandsNeedChannelKeys) {
    const bytes pin = hex("31 32 33 34 35 36");
    const bytes half_key(32, 0x5A);
    const std::function<std::int32_t(taviapi_pinmgr&)> calls[] = {
        [&](taviapi_pinmgr& m) { return m.install_pin(record_of(pin), 0); },
        [&](taviapi_pinmgr& m) { return m.change_pin(2, 0, pin.data(), 6, pin.data(), 6); },
        [&](taviapi_pinmgr& m) { return m.unblock_pin(2, 0, pin.data(), 6, pin.data(), 6); },
        [&](taviapi_pinmgr& m) { return m.unload_pin(2, pin.data(), 6); },
    };
    struct keys_row {
        const char* what;
        const std::uint8_t* encryption;
        const std::uint8_t* mac;
    };
    const keys_row key_rows[] = {
        {"no keys", nullptr, nullptr},
        {"MAC key only", nullptr, half_key.data()},
        {"encryption key only", half_key.data(), nullptr},
    };
    for (const keys_row& k : key_rows) {
        for (std::int32_t flag : {0, 1}) {
            SCOPED_TRACE(std::string(k.what) + (flag ? ", flag set" : ", flag clear"));
            fake_device d;
            d.set_session_keys(k.encryption, k.mac);
            use_secure_channel = flag;
            taviapi_pinmgr manager(&d);
            for (const auto& call : calls) EXPECT_EQ(call(manager), 1);
            EXPECT_TRUE(d.sent.empty());
        }
    }
}

TEST_F(PinFamily, BadInputIsRefusedWithNothingSent) {
    const bytes pin32 = counting(32);
    const bytes pin33 = counting(33);
    const bytes area = counting(1024);
    const bytes over = counting(1025);
    const bytes keys(32, 0x11);
    device.set_session_keys(keys.data(), keys.data());
    std::uint8_t buffer[16];
    std::int32_t length = sizeof buffer;
    std::int32_t i = 0;
    std::uint8_t c = 0;
    const pin_info_outputs info{&i, &i, &i, &c, &c, &i, &i, &i};
    pin_info_outputs missing = info;
    missing.byte7 = nullptr;
    const std::pair<const char*, std::function<std::int32_t(taviapi_pinmgr&)>> rows[] = {
        {"InstallPin of 33 bytes", [&](taviapi_pinmgr& m) { return m.install_pin(record_of(pin33), 0); }},
        {"InstallPin, null access byte", [&](taviapi_pinmgr& m) {
             pin_record_parameters r = record_of(pin32);
             r.second = nullptr;
             return m.install_pin(r, 0);
         }},
        {"ChangePin of 1025 bytes", [&](taviapi_pinmgr& m) { return m.change_pin(2, 0, area.data(), 1024, pin32.data(), 1); }},
        {"ChangePin, null new PIN", [&](taviapi_pinmgr& m) { return m.change_pin(2, 0, pin32.data(), 6, nullptr, 6); }},
        {"ChangePin, negative length", [&](taviapi_pinmgr& m) { return m.change_pin(2, 0, pin32.data(), -1, pin32.data(), 6); }},
        {"UnblockPin of 1025 bytes", [&](taviapi_pinmgr& m) { return m.unblock_pin(2, 0, over.data(), 1025, nullptr, 0); }},
        {"UnloadPin of 1025 bytes", [&](taviapi_pinmgr& m) { return m.unload_pin(2, over.data(), 1025); }},
        {"UnloadPin, null data", [&](taviapi_pinmgr& m) { return m.unload_pin(2, nullptr, 4); }},
        {"GetChallenge of 0", [&](taviapi_pinmgr& m) { return m.get_challenge(0, buffer); }},
        {"GetChallenge of -8", [&](taviapi_pinmgr& m) { return m.get_challenge(-8, buffer); }},
        {"GetChallenge, null buffer", [&](taviapi_pinmgr& m) { return m.get_challenge(8, nullptr); }},
        {"DRBGGenRandom beyond 65536", [&](taviapi_pinmgr& m) {
             bytes big(65537);
             return m.drbg_gen_random(65537, big.data());
         }},
        {"DeviceAuth, null cryptogram", [&](taviapi_pinmgr& m) { return m.device_auth(1, nullptr, 32); }},
        {"DeviceAuth of 1025 bytes", [&](taviapi_pinmgr& m) { return m.device_auth(1, over.data(), 1025); }},
        {"InternalAuth, null length", [&](taviapi_pinmgr& m) { return m.internal_auth(pin32.data(), 8, buffer, nullptr); }},
        {"InternalAuth, null response", [&](taviapi_pinmgr& m) { return m.internal_auth(pin32.data(), 8, nullptr, &length); }},
        {"VerifyPin of 1025 bytes", [&](taviapi_pinmgr& m) { return m.verify_pin(2, 0, over.data(), 1025); }},
        {"VerifyPin, null PIN", [&](taviapi_pinmgr& m) { return m.verify_pin(2, 0, nullptr, 4); }},
        {"GetPinInfo, a null output", [&](taviapi_pinmgr& m) { return m.get_pin_info(2, missing); }},
    };
    for (const auto& [what, call] : rows) {
        SCOPED_TRACE(what);
        taviapi_pinmgr manager(&device);
        EXPECT_EQ(call(manager), 2);
    }
    EXPECT_TRUE(device.sent.empty());
}

// Without keys, bad input is still reported as bad input.
TEST_F(PinFamily, BadInputBeforeMissingKeys) {
    taviapi_pinmgr manager(&device);
    EXPECT_EQ(manager.install_pin(record_of(counting(33)), 0), 2);
    EXPECT_EQ(manager.change_pin(2, 0, counting(1025).data(), 1025, nullptr, 0), 2);
    EXPECT_TRUE(device.sent.empty());
}

// With channel keys the four go wrapped whatever the flag: class 84, the
// data padded and encrypted, the MAC over header, Lc and ciphertext.
TEST_F(PinFamily, AlwaysWrappedCommandsGoWrappedUnderTheChannelKeys) {
    const bytes enc_key = sm_oracle::pattern(32, 0xE0);
    const bytes mac_key = sm_oracle::pattern(32, 0x4D);
    const bytes old_pin = hex("31 32 33 34 35 36");
    const bytes new_pin = hex("39 38 37 36 35 34 33 32");
    const bytes record = concat({hex("02 40 00 21 21 82 0A 0A"), old_pin, bytes(26, 0), hex("FF FF 01 01")});
    struct wrapped_row {
        const char* what;
        std::function<std::int32_t(taviapi_pinmgr&)> call;
        bytes header;
        bytes plain;
    };
    const wrapped_row rows[] = {
        {"InstallPin", [&](taviapi_pinmgr& m) { return m.install_pin(record_of(old_pin), 0x05); }, hex("84 31 05 00"),
         record},
        {"ChangePin", [&](taviapi_pinmgr& m) { return m.change_pin(2, 0x01, old_pin.data(), 6, new_pin.data(), 8); },
         hex("84 33 01 02"), concat({old_pin, new_pin})},
        {"UnblockPin", [&](taviapi_pinmgr& m) { return m.unblock_pin(2, 0x00, new_pin.data(), 8, old_pin.data(), 6); },
         hex("84 34 00 02"), concat({new_pin, old_pin})},
        {"UnloadPin", [&](taviapi_pinmgr& m) { return m.unload_pin(2, new_pin.data(), 8); }, hex("84 34 02 02"),
         new_pin},
    };
    for (std::int32_t flag : {0, 1}) {
        for (const wrapped_row& r : rows) {
            SCOPED_TRACE(std::string(r.what) + (flag ? ", flag set" : ", flag clear"));
            use_secure_channel = flag;
            fake_device d;
            d.set_session_keys(enc_key.data(), mac_key.data());
            d.answer(hex("90 00"));
            taviapi_pinmgr manager(&d);
            EXPECT_EQ(r.call(manager), 0);
            ASSERT_EQ(d.sent.size(), 1u);
            const bytes& wire = d.sent[0];
            ASSERT_GT(wire.size(), 5u + 16);
            EXPECT_EQ(bytes(wire.begin(), wire.begin() + 4), r.header);
            const std::size_t lc = wire[4];
            ASSERT_EQ(wire.size(), 5 + lc) << "no Le";
            const bytes cipher(wire.begin() + 5, wire.end() - 16);
            const bytes mac(wire.end() - 16, wire.end());
            EXPECT_EQ(mac, sm_oracle::cmac(mac_key, bytes(wire.begin(), wire.end() - 16)));
            bytes plain = sm_oracle::cbc(enc_key, cipher, false);
            ASSERT_FALSE(plain.empty());
            plain.resize(plain.size() - plain.back());
            EXPECT_EQ(plain, r.plain);
        }
    }
}
