// The key-pair, configuration, session-key, hash and MAC families through
// their managers, against a device that records the commands and answers
// from a script: the bytes on the wire, the reply rules and the refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "api/taviapi_configuremgr.h"
#include "api/taviapi_digestmgr.h"
#include "api/taviapi_keypairmgr.h"
#include "api/taviapi_sessionkeymgr.h"
#include "support/family_test.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::fake_device;
using test_support::hex;

namespace {

class KeyFamilies : public test_support::family_test {};

struct wire_row {
    const char* what;
    std::function<std::int32_t(device_base*)> call;
    bytes reply;
    bytes wire;
    std::int32_t result;
};

void check_rows(fake_device& device, const std::vector<wire_row>& rows) {
    for (const wire_row& r : rows) {
        device.sent.clear();
        device.replies.clear();
        device.answer(r.reply);
        EXPECT_EQ(r.call(&device), r.result) << r.what;
        ASSERT_EQ(device.sent.size(), 1u) << r.what;
        EXPECT_EQ(device.sent[0], r.wire) << r.what;
    }
}

template <class Manager, class F>
std::function<std::int32_t(device_base*)> on(F f) {
    return [f](device_base* d) {
        Manager m(d);
        return f(m);
    };
}

const bytes ok = hex("90 00");

}  // namespace

TEST_F(KeyFamilies, AsymmetricCommandsOnTheWire) {
    const bytes blob = hex("00 00 08 00 AA BB CC");  // a u32 in host order first
    std::uint8_t out[64];
    std::int32_t out_length = sizeof out;
    std::int32_t header = 0, byte4 = 0, byte5 = 0;
    std::uint32_t counted = 0;
    const bytes signature = counting(3, 0x51);
    const bytes data = counting(5, 0xD0);
    using K = taviapi_keypairmgr;
    const std::vector<wire_row> rows = {
        {"GenKeypair", on<K>([](K& m) { return m.asym_gen_keypair(0x0102, 0x0203, 0x40001001, 0x105, 0x06); }), ok,
         hex("80 81 00 00 0A 01 02 02 03 40 00 10 01 05 06 00"), 0},
        {"WrapImportPub", on<K>([&](K& m) {
             return m.asym_wrap_import_pub(0x7, 0x0011, 0x40001010, 1, 2, data.data(), 5);
         }),
         ok, concat({hex("80 82 00 07 0D 00 11 40 00 10 10 01 02"), data}), 0},
        // The key's first four bytes go out reversed.
        {"ImportPub", on<K>([&](K& m) { return m.asym_import_pub(0x0011, 0x40001001, 3, 4, blob.data(), 7); }),
         ok, hex("80 82 01 00 0F 00 11 40 00 10 01 03 04 00 08 00 00 AA BB CC"), 0},
        {"ImportPri", on<K>([&](K& m) {
             return m.asym_wrap_import_pri(0x9, 0x0001, 0x0101, 0x40001011, 7, 8, data.data(), 5);
         }),
         ok, concat({hex("80 83 00 09 0F 00 01 01 01 40 00 10 11 07 08"), data}), 0},
        {"WrapExportPub", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_wrap_export_pub(0x7, 0x0011, {&header, &byte4, &byte5, out, &out_length});
         }),
         hex("40 00 10 01 05 06 01 02 03 04 90 00"), hex("80 84 00 07 02 00 11 00"), 0},
        {"WrapExportPri", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_wrap_export_pri(0x7, 0x0101, {&header, &byte4, &byte5, out, &out_length});
         }),
         hex("40 00 10 01 05 06 01 02 90 00"), hex("80 8B 00 07 02 01 01 00"), 0},
        {"ImportSessionKey", on<K>([&](K& m) {
             return m.asym_import_session_key(0x21, 0x0101, 0x40002020, data.data(), 5);
         }),
         ok, concat({hex("80 85 00 21 0B 01 01 40 00 20 20"), data}), 0},
        {"ExportSessionKey", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_export_session_key(0x21, 0x0001, &counted, out, &out_length);
         }),
         hex("00 00 00 02 AB CD 90 00"), hex("80 86 00 21 02 00 01 00"), 0},
        {"SignHash", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_sign_hash(0x0101, out, &out_length);
         }),
         hex("00 00 00 01 EE 90 00"), hex("80 89 00 00 06 01 01 00 00 00 00 00"), 0},
        {"Sign", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_sign(0x0101, 0x40000013, data.data(), 5, out, &out_length);
         }),
         hex("00 00 00 01 EE 90 00"), concat({hex("80 89 01 00 0B 01 01 40 00 00 13"), data, hex("00")}), 0},
        {"VerifyHash", on<K>([&](K& m) { return m.asym_verify_hash(0x0001, signature.data(), 3); }), ok,
         concat({hex("80 8A 00 00 0B 00 01 00 00 00 00 00 03"), signature, hex("00")}), 0},
        // Key, algorithm, signature length, signature, then the data.
        {"Verify", on<K>([&](K& m) { return m.asym_verify(0x0001, data.data(), 5, 0x40000015, signature.data(), 3); }),
         hex("63 00"), concat({hex("80 8A 01 00 10 00 01 40 00 00 15 00 03"), signature, data}), 0x6300},
        {"PublicEncryption", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_public_encryption(0x0001, data.data(), 5, out, &out_length);
         }),
         hex("00 00 00 00 90 00"), concat({hex("80 87 01 00 07 00 01"), data, hex("00")}), 0},
        {"PrivateDecryption", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_private_decryption(0x0101, data.data(), 5, out, &out_length);
         }),
         hex("00 00 00 00 90 00"), concat({hex("80 87 00 00 07 01 01"), data, hex("00")}), 0},
        {"PublicOperation", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_public_operation(0x0001, data.data(), 5, out, &out_length);
         }),
         hex("00 00 00 00 90 00"), concat({hex("80 88 01 00 07 00 01"), data, hex("00")}), 0},
        {"PrivateOperation", on<K>([&](K& m) {
             out_length = sizeof out;
             return m.asym_private_operation(0x0101, data.data(), 5, out, &out_length);
         }),
         hex("00 00 00 00 90 00"), concat({hex("80 88 00 00 07 01 01"), data, hex("00")}), 0},
    };
    check_rows(device, rows);
}

TEST_F(KeyFamilies, ExportPubGivesBackWhatImportPubTook) {
    // The card keeps and returns its blob big-endian; the caller's blob
    // carries its first u32 in host order both ways.
    const bytes blob = hex("00 08 00 00 01 02 03 04 05");
    taviapi_keypairmgr m(&device);
    device.answer(ok);
    ASSERT_EQ(m.asym_import_pub(0x0011, 0x40001001, 0, 0, blob.data(), static_cast<std::int32_t>(blob.size())), 0);
    const bytes on_card(device.sent[0].end() - static_cast<std::ptrdiff_t>(blob.size()), device.sent[0].end());
    device.answer(concat({hex("40 00 10 01 0A 0B"), on_card, ok}));
    std::int32_t header = 0, byte4 = 0, byte5 = 0;
    std::uint8_t out[16];
    std::int32_t length = sizeof out;
    ASSERT_EQ(m.asym_export_pub(0x0011, {&header, &byte4, &byte5, out, &length}), 0);
    EXPECT_EQ(bytes(out, out + length), blob);
    EXPECT_EQ(header, 0x40001001);
    EXPECT_EQ(byte4, 0x0A);
    EXPECT_EQ(byte5, 0x0B);
}

TEST_F(KeyFamilies, ExportedKeyRepliesAreLengthChecked) {
    struct row {
        const char* reply;
        std::int32_t capacity;
        std::int32_t result;
    };
    for (const row& r : {row{"40 00 10 01 05 90 00", 16, 3},            // shorter than its header
                         row{"40 00 10 01 05 06 01 02 03 90 00", 16, 3},  // fewer than 4 key bytes
                         row{"40 00 10 01 05 06 01 02 03 04 90 00", 3, 3},
                         row{"40 00 10 01 05 06 01 02 03 04 90 00", 4, 0}}) {
        device.answer(hex(r.reply));
        taviapi_keypairmgr m(&device);
        std::int32_t header = -1, byte4 = -1, byte5 = -1;
        std::uint8_t out[16];
        std::memset(out, 0xEE, sizeof out);
        std::int32_t length = r.capacity;
        EXPECT_EQ(m.asym_export_pub(0x0011, {&header, &byte4, &byte5, out, &length}), r.result) << r.reply;
        if (r.result != 0) {
            EXPECT_EQ(length, r.capacity) << r.reply;
            EXPECT_EQ(header, -1) << r.reply;
            EXPECT_EQ(out[0], 0xEE) << r.reply;
        } else {
            EXPECT_EQ(bytes(out, out + length), hex("04 03 02 01"));
        }
    }
}

TEST_F(KeyFamilies, BadInputIsRefusedBeforeSending) {
    std::uint8_t out[16];
    std::int32_t length = sizeof out;
    const bytes data = counting(8);
    const bytes big = counting(2100);
    taviapi_keypairmgr k(&device);
    taviapi_configuremgr c(&device);
    taviapi_sessionkeymgr s(&device);
    taviapi_hashmgr h(&device);
    taviapi_macmgr mac(&device);
    const std::pair<const char*, std::function<std::int32_t()>> calls[] = {
        {"ImportPub of 3 bytes", [&] { return k.asym_import_pub(1, 0x40001001, 0, 0, data.data(), 3); }},
        {"negative length", [&] { return k.asym_sign(1, 0x40000013, data.data(), -1, out, &length); }},
        {"null data", [&] { return k.asym_private_decryption(1, nullptr, 4, out, &length); }},
        {"null output", [&] { return k.asym_sign_hash(1, nullptr, &length); }},
        {"longer than a command", [&] { return k.asym_sign(1, 0x40000013, big.data(), 2100, out, &length); }},
        {"null vendor", [&] { return c.configure_cd_inquiry(nullptr, "p"); }},
        {"null product", [&] { return c.configure_cd_inquiry("v", nullptr); }},
        {"negative name", [&] { return c.configure_reader(data.data(), -2); }},
        {"null ids", [&] { return c.get_vidpid(nullptr, nullptr); }},
        {"sym data over 1024", [&] { return s.sym_encrypt_update(big.data(), 1025, out, &length); }},
        {"negative final", [&] { return s.sym_decrypt_final(data.data(), -1, out, &length); }},
        {"session key over the work area",
         [&] { return s.create_session_key(1, 0x40002000, big.data(), 1021); }},
        {"negative crypt init", [&] { return s.sym_crypt_init(1, 1, data.data(), -16); }},
        {"hash update too long", [&] { return h.hash_update(big.data(), 2100); }},
        {"negative hash final", [&] { return h.hash_final(data.data(), -1, out, &length); }},
        {"negative one-shot hash", [&] { return h.hash(0x40000013, data.data(), -5, out, &length); }},
        {"negative one-shot mac", [&] { return mac.mac(1, data.data(), -1024, out, &length); }},
        {"null info", [&] { return s.get_session_key_info(1, nullptr); }},
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call.second(), 2) << call.first;
        EXPECT_TRUE(device.sent.empty()) << call.first;
        device.sent.clear();
    }
}

TEST_F(KeyFamilies, ConfigurationOnTheWire) {
    using C = taviapi_configuremgr;
    const bytes name = hex("52 64");
    const std::vector<wire_row> rows = {
        {"SetUSBVIDPID", on<C>([](C& m) { return m.configure_vidpid(0x1234, 0xABCD); }), ok,
         hex("F0 10 00 00 04 12 34 AB CD"), 0},
        {"SetReaderName", on<C>([&](C& m) { return m.configure_reader(name.data(), 2); }), ok,
         hex("F0 20 00 00 02 52 64"), 0},
        {"SetVendorName", on<C>([&](C& m) { return m.configure_vendor(name.data(), 2); }), ok,
         hex("F0 12 00 00 02 52 64"), 0},
        // Eight of the vendor's ten characters, the product's one, 15 spaces.
        {"SetCDInquriy", on<C>([](C& m) { return m.configure_cd_inquiry("ABCDEFGHIJ", "x"); }), ok,
         concat({hex("F0 30 00 00 18"), bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'x'}, bytes(15, ' ')}), 0},
    };
    check_rows(device, rows);
}

TEST_F(KeyFamilies, ConfigurationReadsAndTheirCodes) {
    // The USB ids: little-endian as the card answers them.
    struct row {
        const char* reply;
        std::int32_t result;
    };
    for (const row& r : {row{"34 12 CD AB 90 00", 0}, row{"34 12 CD 90 00", 1},
                         row{"34 12 CD AB 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                             "00 00 00 00 00 90 00",
                             3},
                         row{"6A 88", 0x6A88}}) {
        device.sent.clear();
        device.answer(hex(r.reply));
        taviapi_configuremgr m(&device);
        std::uint16_t vid = 7, pid = 7;
        EXPECT_EQ(m.get_vidpid(&vid, &pid), r.result) << r.reply;
        EXPECT_EQ(device.sent.at(0), hex("F0 10 01 00 00"));
        EXPECT_EQ(vid, r.result == 0 ? 0x1234 : 7) << r.reply;
        EXPECT_EQ(pid, r.result == 0 ? 0xABCD : 7) << r.reply;
    }
    // Texts: 1 when they do not fit, 3 past 1024 bytes.
    const std::pair<std::int32_t (taviapi_configuremgr::*)(std::uint8_t*, std::int32_t*), const char*> reads[] = {
        {&taviapi_configuremgr::get_reader, "F0 20 01 00 00"},
        {&taviapi_configuremgr::get_cd_inquiry, "F0 30 01 00 00"},
        {&taviapi_configuremgr::get_usb_vendor, "F0 12 01 00 00"}};
    for (const auto& read : reads) {
        taviapi_configuremgr m(&device);
        std::uint8_t out[2048];
        device.sent.clear();
        device.answer(hex("41 42 43 90 00"));
        std::int32_t length = 2;
        EXPECT_EQ((m.*read.first)(out, &length), 1) << read.second;
        EXPECT_EQ(length, 2);
        device.answer(hex("41 42 43 90 00"));
        length = 3;
        EXPECT_EQ((m.*read.first)(out, &length), 0) << read.second;
        EXPECT_EQ(length, 3);
        device.answer(concat({bytes(1025, 'a'), ok}));
        length = sizeof out;
        EXPECT_EQ((m.*read.first)(out, &length), 3) << read.second;
        EXPECT_EQ(device.sent.at(0), hex(read.second));
    }
}

TEST_F(KeyFamilies, SessionKeyCommandsOnTheWire) {
    using S = taviapi_sessionkeymgr;
    const bytes key = counting(16, 0x10);
    const bytes other_info = counting(68, 0x30);
    const bytes host_key = counting(144, 0x90);
    std::uint8_t out[64];
    std::int32_t out_length = sizeof out;
    std::uint8_t card_key[144];
    std::uint32_t header = 0;
    std::int32_t info = 0;
    const std::vector<wire_row> rows = {
        {"SessionKeyKAS 00", on<S>([&](S& m) { return m.session_kas_generate_ephemeral(0x40001011, 0x100, card_key); }),
         concat({counting(148), ok}), hex("80 12 00 00 05 40 00 10 11 00 00"), 0},
        {"SessionKeyKAS 01", on<S>([&](S& m) {
             return m.session_kdf(0x40001011, 0x40000015, 0x22, 0x40002021, other_info.data(), host_key.data());
         }),
         ok, concat({hex("80 12 01 22 E0 40 00 10 11 40 00 00 15 40 00 20 21"), other_info, host_key,
                     hex("00")}),
         0},
        {"GenSessionKey", on<S>([](S& m) { return m.gen_session_key(0x105, 0x40002000); }), ok,
         hex("80 13 00 05 04 40 00 20 00"), 0},
        {"CreateSessionKey", on<S>([&](S& m) { return m.create_session_key(5, 0x40002000, key.data(), 16); }), ok,
         concat({hex("80 14 00 05 14 40 00 20 00"), key}), 0},
        {"DestroySessionKey", on<S>([](S& m) { return m.destroy_session_key(5); }), ok, hex("80 15 00 05"), 0},
        {"DestroyAll", on<S>([](S& m) { return m.destroy_all_session_keys(); }), ok, hex("80 15 01 00"), 0},
        {"GetSessionInfo", on<S>([&](S& m) { return m.get_session_key_info(5, &info); }),
         hex("40 00 20 00 00 80 10 10 90 00"), hex("80 17 00 05 00"), 0},
        {"SymImport", on<S>([&](S& m) { return m.sym_import_session_key(0x21, 5, 0x40002000, key.data(), 16); }),
         ok, concat({hex("80 61 21 05 14 40 00 20 00"), key}), 0},
        {"SymExport", on<S>([&](S& m) { return m.sym_export_session_key(0x21, 5, &header, out, &out_length); }),
         hex("00 00 00 02 0A 0B 90 00"), hex("80 62 21 05 00"), 0},
        {"SymCryptInit with IV", on<S>([&](S& m) { return m.sym_crypt_init(5, 1, key.data(), 16); }), ok,
         concat({hex("80 63 01 05 10"), key}), 0},
        {"SymCryptInit without data", on<S>([](S& m) { return m.sym_crypt_init(5, 0, nullptr, 0); }), ok,
         hex("80 63 00 05"), 0},
        {"SymEncryptUpdate", on<S>([&](S& m) {
             out_length = sizeof out;
             return m.sym_encrypt_update(key.data(), 16, out, &out_length);
         }),
         ok, concat({hex("80 64 00 00 10"), key, hex("00")}), 0},
        {"SymEncryptFinal without data", on<S>([&](S& m) {
             out_length = sizeof out;
             return m.sym_encrypt_final(nullptr, 0, out, &out_length);
         }),
         ok, hex("80 65 00 00 00"), 0},
        {"SymDecryptUpdate", on<S>([&](S& m) {
             out_length = sizeof out;
             return m.sym_decrypt_update(key.data(), 16, out, &out_length);
         }),
         ok, concat({hex("80 66 00 00 10"), key, hex("00")}), 0},
        {"SymDecryptFinal", on<S>([&](S& m) {
             out_length = sizeof out;
             return m.sym_decrypt_final(key.data(), 16, out, &out_length);
         }),
         ok, concat({hex("80 67 00 00 10"), key, hex("00")}), 0},
    };
    check_rows(device, rows);
    EXPECT_EQ(info, 0x40002000);
}

TEST_F(KeyFamilies, SessionKeyRepliesAreLengthChecked) {
    taviapi_sessionkeymgr m(&device);
    std::int32_t info = -1;
    for (const char* reply : {"40 00 20 90 00", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                                               "00 00 00 00 00 00 00 00 00 00 90 00"}) {
        device.answer(hex(reply));
        EXPECT_EQ(m.get_session_key_info(5, &info), 3) << reply;
        EXPECT_EQ(info, -1);
    }
    // SymExportSessionKey and the cipher steps say 1 where others say 3.
    std::uint32_t header = 7;
    std::uint8_t out[4];
    std::int32_t length = sizeof out;
    device.answer(hex("00 00 00 90 00"));
    EXPECT_EQ(m.sym_export_session_key(1, 2, &header, out, &length), 1);
    device.answer(hex("00 00 00 05 01 02 03 04 05 90 00"));
    EXPECT_EQ(m.sym_export_session_key(1, 2, &header, out, &length), 1);
    EXPECT_EQ(header, 7u);
    EXPECT_EQ(length, 4);
    device.answer(hex("01 02 03 04 05 90 00"));
    EXPECT_EQ(m.sym_encrypt_update(out, 4, out, &length), 1);
    EXPECT_EQ(length, 4);
}

TEST_F(KeyFamilies, ForwardsTheSecureChannelFlagOnlyWhereTheFamilyDoes) {
    use_secure_channel = 1;
    std::uint8_t out[32];
    std::int32_t length = sizeof out;
    const bytes data = counting(16);
    // Always plain, whatever the flag.
    const std::vector<wire_row> plain = {
        {"config", on<taviapi_configuremgr>([](taviapi_configuremgr& m) { return m.configure_vidpid(1, 2); }), ok,
         hex("F0 10 00 00 04 00 01 00 02"), 0},
        {"crypt init", on<taviapi_sessionkeymgr>([](taviapi_sessionkeymgr& m) { return m.sym_crypt_init(1, 0, nullptr, 0); }),
         ok, hex("80 63 00 01"), 0},
        {"encrypt", on<taviapi_sessionkeymgr>([&](taviapi_sessionkeymgr& m) {
             length = sizeof out;
             return m.sym_encrypt_update(data.data(), 16, out, &length);
         }),
         ok, concat({hex("80 64 00 00 10"), data, hex("00")}), 0},
        {"digest init", on<taviapi_hashmgr>([](taviapi_hashmgr& m) { return m.hash_init(0x40000013); }), ok,
         hex("80 51 00 00 04 40 00 00 13"), 0},
        {"mac init", on<taviapi_macmgr>([](taviapi_macmgr& m) { return m.mac_init(3); }), ok, hex("80 71 00 03"), 0},
    };
    check_rows(device, plain);
    // The key-pair and session-key management forms follow it.
    const std::function<std::int32_t(device_base*)> wrapped[] = {
        on<taviapi_keypairmgr>([](taviapi_keypairmgr& m) { return m.asym_gen_keypair(1, 2, 0x40001010, 0, 0); }),
        on<taviapi_sessionkeymgr>([](taviapi_sessionkeymgr& m) { return m.destroy_all_session_keys(); }),
        on<taviapi_sessionkeymgr>([](taviapi_sessionkeymgr& m) { return m.gen_session_key(1, 0x40002000); }),
    };
    for (const auto& call : wrapped) {
        device.sent.clear();
        device.answer(ok);
        EXPECT_EQ(call(&device), 0);
        ASSERT_EQ(device.sent.size(), 1u);
        EXPECT_EQ(device.sent[0][0], 0x84);
    }
}

namespace {

// Zervik_Hash and Zervik_Mac: the commands each length sends.
struct chunk_row {
    std::int32_t length;
    std::vector<std::size_t> updates;  // data bytes of each Update
    std::size_t final_data;            // data bytes of the Final
};

class OneShot : public KeyFamilies, public ::testing::WithParamInterface<chunk_row> {};

// Data length of a short or extended command with data, from its wire.
std::size_t data_length(const bytes& wire) {
    if (wire.size() <= 5) return 0;
    if (wire[4] != 0) return wire[4];
    return static_cast<std::size_t>(wire[5] << 8 | wire[6]);
}

}  // namespace

TEST_P(OneShot, ChunksTheDataBy1024) {
    const chunk_row& r = GetParam();
    const bytes data = counting(static_cast<std::size_t>(r.length));
    for (int family = 0; family < 2; ++family) {
        device.sent.clear();
        for (std::size_t i = 0; i < r.updates.size() + 1; ++i) device.answer(ok);
        device.answer(hex("AB CD 90 00"));
        std::uint8_t out[8];
        std::int32_t length = sizeof out;
        std::int32_t result;
        std::uint8_t init_ins, update_ins, final_ins;
        if (family == 0) {
            taviapi_hashmgr m(&device);
            result = m.hash(0x40000013, data.data(), r.length, out, &length);
            init_ins = 0x51, update_ins = 0x52, final_ins = 0x53;
        } else {
            taviapi_macmgr m(&device);
            result = m.mac(4, data.data(), r.length, out, &length);
            init_ins = 0x71, update_ins = 0x72, final_ins = 0x73;
        }
        ASSERT_EQ(result, 0);
        EXPECT_EQ(bytes(out, out + length), hex("AB CD"));
        ASSERT_EQ(device.sent.size(), r.updates.size() + 2);
        EXPECT_EQ(device.sent.front()[1], init_ins);
        std::size_t offset = 0;
        for (std::size_t i = 0; i < r.updates.size(); ++i) {
            const bytes& u = device.sent[i + 1];
            EXPECT_EQ(u[1], update_ins);
            ASSERT_EQ(data_length(u), r.updates[i]);
            EXPECT_EQ(bytes(u.begin() + 7, u.begin() + 7 + 1024), bytes(data.begin() + offset, data.begin() + offset + 1024));
            offset += r.updates[i];
        }
        const bytes& f = device.sent.back();
        EXPECT_EQ(f[1], final_ins);
        EXPECT_EQ(data_length(f), r.final_data);
        if (r.final_data == 0) {
            EXPECT_EQ(f, (bytes{0x80, final_ins, 0x00, 0x00, 0x00}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, OneShot,
                         ::testing::Values(chunk_row{2048, {1024, 1024}, 0}, chunk_row{1000, {}, 1000},
                                           chunk_row{1024, {1024}, 0}, chunk_row{0, {}, 0},
                                           chunk_row{2500, {1024, 1024}, 452}));

TEST_F(KeyFamilies, AFailedStepEndsTheOneShot) {
    const bytes data = counting(3000);
    std::uint8_t out[8];
    std::int32_t length = sizeof out;
    // The second Update fails: no Final follows.
    device.answer(ok);
    device.answer(ok);
    device.answer(hex("69 85"));
    taviapi_hashmgr h(&device);
    EXPECT_EQ(h.hash(0x40000013, data.data(), 3000, out, &length), 0x6985);
    EXPECT_EQ(device.sent.size(), 3u);
    // A failed Init sends nothing more.
    device.sent.clear();
    device.answer(hex("6A 80"));
    EXPECT_EQ(h.hash(0x12345678, data.data(), 3000, out, &length), 0x6A80);
    EXPECT_EQ(device.sent.size(), 1u);
    // The device leaves the list after the first Update: 1, nothing more sent.
    device.sent.clear();
    int checks = 0;
    taviapi_macmgr m(&device);
    m.set_handle_check([&] { return ++checks < 2; });
    device.answer(ok);
    device.answer(ok);
    EXPECT_EQ(m.mac(2, data.data(), 3000, out, &length), 1);
    EXPECT_EQ(device.sent.size(), 2u);
    EXPECT_EQ(length, static_cast<std::int32_t>(sizeof out));
}
