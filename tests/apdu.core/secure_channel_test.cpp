// The secure-channel set-up and wrapped commands through the device family,
// against a scripted device whose card side is computed here.
#include <gtest/gtest.h>

#include <cstring>

#include "api/taviapi_devmgr.h"
#include "api/taviapi_sessionkeymgr.h"
#include "sm/kas.h"
#include "sm_oracle.h"
#include "support/fake_device.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::fake_device;
using test_support::hex;

namespace {

// A card key pair and the step-1 reply that carries its public key.
struct card_side {
    std::uint8_t private_key[kas_value_size];
    std::uint8_t x[kas_value_size];
    std::uint8_t y[kas_value_size];

    card_side() { EXPECT_EQ(kas_generate_keypair(private_key, x, y), 0); }

    bytes step1_reply() const {
        return concat({hex("00 00 00 90 00 00 02 09"), bytes(x, x + kas_value_size), bytes(y, y + kas_value_size),
                       bytes(4, 0), hex("90 00")});
    }

    // The card's two replies to a key agreement: its key, then 9000.
    void answer_agreement(fake_device& d) const {
        d.answer(step1_reply());
        d.answer(hex("90 00"));
    }

    // The bytes the card derives from a short step-2 command: its ids (8
    // bytes, 12 with a key type), OtherInfo (as long as Lc leaves) and the
    // host record.
    bytes derive(const bytes& step2, std::size_t ids = 8, std::size_t length = 64) const {
        const std::size_t other_info_size = step2[4] - ids - kas_record_size;
        const auto host_point = step2.begin() + 5 + static_cast<long>(ids + other_info_size) + 4;
        EXPECT_EQ(bytes(step2.begin() + 5 + static_cast<long>(ids), host_point - 4), bytes(other_info_size, 0))
            << "OtherInfo is zero bytes";
        std::uint8_t z[kas_shared_size];
        EXPECT_EQ(kas_compute_shared(private_key, x, y, &*host_point, z, sizeof z), 0);
        const bytes other_info(other_info_size, 0);
        bytes k(length);
        kas_kdf_sha512(z, kas_shared_bits, other_info.data(), other_info.size(), k.data(), k.size());
        return k;
    }
};

class SecureChannel : public ::testing::Test {
protected:
    void SetUp() override { use_secure_channel = 0; }
    void TearDown() override { use_secure_channel = 0; }

    bytes device_mac() const { return bytes(device.mac_key(), device.mac_key() + 32); }
    bytes device_enc() const { return bytes(device.encryption_key(), device.encryption_key() + 32); }

    fake_device device;
};

}  // namespace

TEST_F(SecureChannel, SetUpSendsBothStepsPlainAndSplitsTheDerivedKeys) {
    card_side card;
    card.answer_agreement(device);
    use_secure_channel = 1;  // the key agreement stays plain all the same
    taviapi_devmgr manager(&device);
    ASSERT_EQ(manager.setup_secure_channel(), 0);

    ASSERT_EQ(device.sent.size(), 2u);
    EXPECT_EQ(device.sent[0], hex("80 11 00 00 05 40 00 10 11 00 00"));
    const bytes& step2 = device.sent[1];
    ASSERT_EQ(step2.size(), 5u + 220 + 1);
    EXPECT_EQ(bytes(step2.begin(), step2.begin() + 13), hex("80 11 01 00 DC 40 00 10 11 40 00 00 15"));
    EXPECT_EQ(bytes(step2.begin() + 13, step2.begin() + 81), bytes(68, 0)) << "OtherInfo";
    EXPECT_EQ(bytes(step2.begin() + 81, step2.begin() + 85), hex("09 02 00 00")) << "521, little-endian";
    EXPECT_EQ(bytes(step2.end() - 5, step2.end()), hex("00 00 00 00 00")) << "record tail and Le";

    const bytes k = card.derive(step2);
    EXPECT_EQ(device_mac(), bytes(k.begin(), k.begin() + 32));
    EXPECT_EQ(device_enc(), bytes(k.begin() + 32, k.end()));
}

TEST_F(SecureChannel, FailedSetUpKeepsThePreviousKeys) {
    const bytes old_enc = test_support::counting(32, 0x11);
    const bytes old_mac = test_support::counting(32, 0x99);
    card_side card;
    bytes off_curve = card.step1_reply();
    off_curve[8 + 67] ^= 0x01;  // last byte of X
    bytes short_key = card.step1_reply();
    short_key.erase(short_key.end() - 3);  // 147 bytes of data

    const struct {
        const char* what;
        std::vector<bytes> replies;
        std::int32_t expected;
        std::size_t sent;
    } cases[] = {
        {"step 1 refused", {hex("6A 80")}, 0x6A80, 1},
        {"card key short", {short_key}, 3, 1},
        {"card point off the curve", {off_curve}, 2, 1},
        {"step 2 refused", {card.step1_reply(), hex("69 85")}, 0x6985, 2},
    };
    for (const auto& c : cases) {
        fake_device d;
        d.set_session_keys(old_enc.data(), old_mac.data());
        for (const auto& r : c.replies) d.answer(r);
        taviapi_devmgr manager(&d);
        EXPECT_EQ(manager.setup_secure_channel(), c.expected) << c.what;
        EXPECT_EQ(d.sent.size(), c.sent) << c.what;
        EXPECT_EQ(bytes(d.encryption_key(), d.encryption_key() + 32), old_enc) << c.what;
        EXPECT_EQ(bytes(d.mac_key(), d.mac_key() + 32), old_mac) << c.what;
    }
}

// The OtherInfo length is the caller's profile: the library sends 68 zero
// bytes, the PKCS #11 module 64; both sides derive with what was sent.
TEST_F(SecureChannel, OtherInfoLengthIsTheCallersProfile) {
    for (const std::size_t size : {std::size_t{68}, std::size_t{64}, std::size_t{0}}) {
        SCOPED_TRACE(size);
        card_side card;
        fake_device d;
        card.answer_agreement(d);
        taviapi_devmgr manager(&d);
        ASSERT_EQ(manager.setup_secure_channel(size), 0);
        ASSERT_EQ(d.sent.size(), 2u);
        EXPECT_EQ(d.sent[1][4], 8 + size + kas_record_size) << "Lc";
        const bytes k = card.derive(d.sent[1]);
        EXPECT_EQ(bytes(d.mac_key(), d.mac_key() + 32), bytes(k.begin(), k.begin() + 32));
        EXPECT_EQ(bytes(d.encryption_key(), d.encryption_key() + 32), bytes(k.begin() + 32, k.end()));
    }
    // Longer than any profile sends: refused before anything goes out.
    taviapi_devmgr manager(&device);
    EXPECT_EQ(manager.setup_secure_channel(kas_other_info_max + 1), 2);
    EXPECT_TRUE(device.sent.empty());
}

TEST_F(SecureChannel, SessionKeyAgreementTakesTheCallersOtherInfoLength) {
    constexpr std::uint32_t aes_192 = 0x40002010;
    for (const std::size_t size : {std::size_t{68}, std::size_t{64}}) {
        SCOPED_TRACE(size);
        card_side card;
        fake_device d;
        card.answer_agreement(d);
        taviapi_sessionkeymgr manager(&d);
        std::uint8_t key[32];
        std::int32_t length = sizeof key;
        ASSERT_EQ(manager.kas_session_key(0x21, aes_192, key, &length, size), 0);
        ASSERT_EQ(length, 24);
        ASSERT_EQ(d.sent.size(), 2u);
        EXPECT_EQ(bytes(d.sent[1].begin(), d.sent[1].begin() + 4), hex("80 12 01 21"));
        EXPECT_EQ(d.sent[1][4], 12 + size + kas_record_size) << "Lc";
        EXPECT_EQ(bytes(key, key + length), card.derive(d.sent[1], 12, 24));
    }
    taviapi_sessionkeymgr manager(&device);
    std::uint8_t key[32];
    std::int32_t length = sizeof key;
    EXPECT_EQ(manager.kas_session_key(0x21, aes_192, key, &length, kas_other_info_max + 1), 2);
    EXPECT_TRUE(device.sent.empty());
}

TEST_F(SecureChannel, TwoSetUpsAgreeDifferentKeys) {
    bytes first_mac;
    for (int round = 0; round < 2; ++round) {
        card_side card;
        card.answer_agreement(device);
        taviapi_devmgr manager(&device);
        ASSERT_EQ(manager.setup_secure_channel(), 0);
        if (round == 0) first_mac = device_mac();
    }
    EXPECT_NE(device_mac(), first_mac);
    EXPECT_NE(device.sent[1], device.sent[3]) << "a fresh host key each time";
}

namespace {

// Reply data protected as the card sends it, then SW1 SW2.
bytes protected_reply(const bytes& enc, const bytes& mac, bytes plain, std::uint8_t last_pad, bool flip_mac) {
    const std::size_t pad = 16 - plain.size() % 16;
    plain.insert(plain.end(), pad, static_cast<std::uint8_t>(pad));
    plain.back() = last_pad;
    const bytes cipher = sm_oracle::cbc(enc, plain, true);
    bytes tag = sm_oracle::cmac(mac, cipher);
    if (flip_mac) tag[5] ^= 0x20;
    return concat({cipher, tag, hex("90 00")});
}

}  // namespace

TEST_F(SecureChannel, FormatGoesWrappedAndItsReplyIsChecked) {
    const bytes enc = test_support::counting(32, 0x21);
    const bytes mac = test_support::counting(32, 0xA1);
    device.set_session_keys(enc.data(), mac.data());

    std::uint8_t key[32] = {};
    format_parameters p{};
    p.strings[0] = p.strings[1] = p.strings[2] = p.strings[3] = "x";
    p.blob = "";
    for (auto& k : p.keys) k.key = key;

    const struct {
        const char* what;
        bytes reply;
        std::int32_t expected;
    } cases[] = {
        {"status word only", hex("90 00"), 0},
        {"status word only, an error", hex("6A 80"), 0x6A80},
        {"MAC only", concat({sm_oracle::cmac(mac, {}), hex("90 00")}), 0},
        {"good data", protected_reply(enc, mac, bytes(3, 7), 13, false), 0},
        {"MAC bit flipped", protected_reply(enc, mac, {}, 16, true), 0x8005},
        {"pad byte 0x11", protected_reply(enc, mac, bytes(15, 7), 0x11, false), 0x8005},
        {"pad byte 0x00", protected_reply(enc, mac, bytes(15, 7), 0x00, false), 0x8005},
        {"15 bytes", concat({bytes(15, 0), hex("90 00")}), 0x8005},
    };
    for (const auto& c : cases) {
        device.sent.clear();
        device.answer(c.reply);
        use_secure_channel = 1;
        taviapi_devmgr manager(&device);
        use_secure_channel = 0;
        EXPECT_EQ(manager.format_device(p), c.expected) << c.what;
        ASSERT_EQ(device.sent.size(), 1u);
        const bytes& sent = device.sent[0];
        // 273-byte record: padded to 288, Lc 304, extended.
        EXPECT_EQ(bytes(sent.begin(), sent.begin() + 7), hex("84 02 00 00 00 01 30")) << c.what;
        EXPECT_EQ(sent.size(), 7u + 304);
        EXPECT_EQ(bytes(sent.end() - 16, sent.end()),
                  sm_oracle::cmac(mac, bytes(sent.begin(), sent.end() - 16)));
    }
}

namespace {

// A device that another thread removes from the list while the card answers
// its n-th command: from then on the manager must neither send through it
// nor write into it (the list would have freed it).
class removed_device : public fake_device {
public:
    explicit removed_device(std::size_t commands) : commands_(commands) {}

    std::int32_t transmit(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                          std::uint32_t* reply_length) override {
        EXPECT_FALSE(removed_) << "sent through a removed device";
        const std::int32_t result = fake_device::transmit(command, length, reply, reply_length);
        if (sent.size() == commands_) removed_ = true;
        return result;
    }
    bool listed() const { return !removed_; }

private:
    std::size_t commands_;
    bool removed_ = false;
};

}  // namespace

// Another thread removes the device while the set-up runs: the second step
// is not sent through it and no keys are written into it.
TEST_F(SecureChannel, DeviceRemovedDuringTheSetUpIsNotTouched) {
    const bytes old_keys = test_support::counting(32, 0x11);
    for (const std::size_t removed_at : {std::size_t{1}, std::size_t{2}}) {
        SCOPED_TRACE(removed_at);
        card_side card;
        removed_device d(removed_at);
        d.set_session_keys(old_keys.data(), old_keys.data());
        card.answer_agreement(d);
        taviapi_devmgr manager(&d);
        manager.set_handle_check([&d] { return d.listed(); });
        EXPECT_EQ(manager.setup_secure_channel(), 1);
        EXPECT_EQ(d.sent.size(), removed_at);
        EXPECT_EQ(bytes(d.encryption_key(), d.encryption_key() + 32), old_keys);
        EXPECT_EQ(bytes(d.mac_key(), d.mac_key() + 32), old_keys);
    }
}

namespace {

constexpr std::uint32_t aes_128 = 0x40002000;
constexpr std::uint32_t aes_256 = 0x40002020;
constexpr std::uint8_t kek_id = 0x30;

}  // namespace

// Loading a key under a kept key-encryption key: only the refusals that say
// the card lost that key (nothing under its reference, or a key there that
// does not unwrap a key of its type's length) start a new agreement; any
// other refusal comes back at once and the kept key stays.
TEST_F(SecureChannel, SetSessionKeyAgreesAgainOnlyWhenTheCardLostTheKek) {
    const bytes kept = test_support::counting(32, 0x55);
    const struct {
        const char* what;
        std::uint32_t key_type;
        std::size_t key_length;
        bytes refusal;
        bool agrees_again;
    } cases[] = {
        {"no key under the KEK's reference", aes_128, 16, hex("6A 88"), true},
        {"the KEK does not unwrap the key", aes_256, 32, hex("6A 80"), true},
        {"a key of another length than its type's", aes_256, 16, hex("6A 80"), false},
        {"security status", aes_128, 16, hex("69 82"), false},
        {"conditions of use", aes_128, 16, hex("69 85"), false},
        {"wrong length", aes_128, 16, hex("67 00"), false},
        {"no usable reply", aes_128, 16, hex("00 00"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_device d;
        d.cache_kek(kek_id, kept.data());
        d.answer(hex("90 00"));  // GenSessionKey
        d.answer(c.refusal);     // SymImportSessionKey
        card_side card;
        card.answer_agreement(d);
        d.answer(hex("90 00"));
        d.answer(hex("90 00"));
        const bytes key = test_support::counting(c.key_length);
        taviapi_sessionkeymgr manager(&d);
        const std::int32_t result =
            manager.set_session_key(kek_id, 0x31, c.key_type, key.data(), static_cast<std::int32_t>(key.size()));
        std::uint8_t now[32];
        ASSERT_TRUE(d.cached_kek(kek_id, now));
        if (c.agrees_again) {
            EXPECT_EQ(result, 0);
            ASSERT_EQ(d.sent.size(), 6u);
            EXPECT_EQ(bytes(d.sent[2].begin(), d.sent[2].begin() + 4), hex("80 12 00 00"));
            EXPECT_EQ(bytes(d.sent[3].begin(), d.sent[3].begin() + 4), hex("80 12 01 30"));
            EXPECT_EQ(bytes(d.sent[5].begin(), d.sent[5].begin() + 4), hex("80 61 30 31"));
            EXPECT_EQ(bytes(now, now + 32), card.derive(d.sent[3], 12, 32)) << "the new key is kept";
        } else {
            const bytes& sw = c.refusal;
            EXPECT_EQ(result, sw[0] == 0 ? 2 : (sw[0] << 8 | sw[1]));
            EXPECT_EQ(d.sent.size(), 2u) << "no new agreement";
            EXPECT_EQ(bytes(now, now + 32), kept);
        }
    }
}

// A key agreed under a KEK that was never kept is not agreed twice, whatever
// the card answers.
TEST_F(SecureChannel, SetSessionKeyWithAFreshKekTriesOnce) {
    card_side card;
    card.answer_agreement(device);
    device.answer(hex("90 00"));
    device.answer(hex("6A 88"));
    const bytes key = test_support::counting(16);
    taviapi_sessionkeymgr manager(&device);
    EXPECT_EQ(manager.set_session_key(kek_id, 0x31, aes_128, key.data(), 16), 0x6A88);
    EXPECT_EQ(device.sent.size(), 4u);
}

// The device is removed while the key-encryption key is agreed: the agreed
// key is not kept in it, and nothing more is sent.
TEST_F(SecureChannel, DeviceRemovedDuringTheKekAgreementIsNotTouched) {
    card_side card;
    removed_device d(2);
    card.answer_agreement(d);
    const bytes key = test_support::counting(16);
    taviapi_sessionkeymgr manager(&d);
    manager.set_handle_check([&d] { return d.listed(); });
    EXPECT_EQ(manager.set_session_key(kek_id, 0x31, aes_128, key.data(), 16), 1);
    EXPECT_EQ(d.sent.size(), 2u);
    std::uint8_t kept[32];
    EXPECT_FALSE(d.cached_kek(kek_id, kept));
}
