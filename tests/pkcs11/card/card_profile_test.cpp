// The module's card commands on a scripted device: the bytes each command
// puts on the wire (class, INS, P1, P2, data, Le, short or extended form) and
// the rules each reply is read by.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "card_profile.h"
#include "protocol/session_key_manager.h"
#include "solvanta_card_config.h"
#include "support/fake_device.h"
#include "support/vtoken_control.h"

using namespace solvantex;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::fake_device;
using test_support::hex;

namespace {

using session = zervik::TaviPrototcol_SessionKeyManager;

std::string text(const bytes& b) { return test_support::to_hex(b.data(), b.size()); }

// Runs fn on a manager of type M made with the device and flag.
template <typename M>
std::function<std::int32_t(fake_device&, std::int32_t)> on(std::function<std::int32_t(M&)> fn) {
    return [fn](fake_device& d, std::int32_t flag) {
        M m(&d, flag);
        return fn(m);
    };
}

struct wire_row {
    const char* what;
    std::function<std::int32_t(fake_device&, std::int32_t)> call;
    bytes reply;
    bytes wire;
};

std::int32_t out_length = 0;
std::uint8_t out[512];
std::uint64_t health = 0;
pin_list_entry entries[4];
std::size_t entry_count = 0;

const bytes iv = counting(16, 0xA0);
const bytes block = counting(16);

std::vector<wire_row> plain_rows() {
    module_format_parameters format{"Maker", "Second", "Label", "SERIAL0123456789XYZ", 7};
    std::uint8_t record[module_format_record_size];
    build_module_format_record(format, record);
    return {
        {"SaveSession: session slot in P2, saved slot in P1, no data",
         on<module_sessionkeymgr>([](module_sessionkeymgr& m) { return m.save_session(2, 5); }), hex("9000"),
         hex("80 18 05 02")},
        {"LoadSession", on<module_sessionkeymgr>([](module_sessionkeymgr& m) { return m.load_session(2, 18); }),
         hex("9000"), hex("80 19 12 02")},
        {"EnableDisableCD on", on<module_configuremgr>([](module_configuremgr& m) { return m.enable_cd(1); }),
         hex("9000"), hex("F0 40 01 00")},
        {"EnableDisableCD off", on<module_configuremgr>([](module_configuremgr& m) { return m.enable_cd(0); }),
         hex("9000"), hex("F0 40 00 00")},
        {"GetPINInfo list form",
         on<module_pinmgr>([](module_pinmgr& m) { return m.get_pin_info_list(entries, 4, &entry_count); }),
         hex("9000"), hex("80 32 00 03 00")},
        {"GetData 0101", on<module_manager<zervik::taviapi_filemgr>>([](zervik::taviapi_filemgr& m) {
             out_length = sizeof out;
             return m.get_data(0x0101, out, &out_length);
         }),
         hex("41 42 9000"), hex("00 CA 01 01 00")},
        {"GetData 0109", on<module_manager<zervik::taviapi_filemgr>>([](zervik::taviapi_filemgr& m) {
             out_length = sizeof out;
             return m.get_data(0x0109, out, &out_length);
         }),
         hex("01 9000"), hex("00 CA 01 09 00")},
        {"PubData 0101 (the label)", on<module_manager<zervik::taviapi_filemgr>>([](zervik::taviapi_filemgr& m) {
             const std::uint8_t label[] = {'a', 'b', 'c'};
             return m.put_data(0x0101, label, 3);
         }),
         hex("9000"), hex("00 DA 01 01 03 61 62 63")},
        {"FormatDevice, module record: extended Lc",
         on<module_devmgr>([format](module_devmgr& m) { return m.format_module_device(format); }), hex("9000"),
         concat({hex("80 02 00 00 00 01 13"), bytes(record, record + sizeof record)})},
        {"GetHealthStatus", on<module_devmgr>([](module_devmgr& m) { return m.get_health_status(&health); }),
         hex("0102030405060708 9000"), hex("80 05 00 00 08")},
        {"GenSessionKey", on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             return m.gen_session_key(2, 0x40002020);
         }),
         hex("9000"), hex("80 13 00 02 04 40002020")},
        {"SymImportSessionKey: the KEK slot in P1",
         on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             const bytes wrapped = counting(24);
             return m.sym_import_session_key(kek_slot, 2, 0x40002000, wrapped.data(), 24);
         }),
         hex("9000"), concat({hex("80 61 01 02 1C 40002000"), counting(24)})},
        {"SymCryptInit with an IV", on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             return m.sym_crypt_init(2, 1, iv.data(), 16);
         }),
         hex("9000"), concat({hex("80 63 01 02 10"), iv})},
        {"SymCryptInit without data: case 1",
         on<module_sessionkeymgr>([](module_sessionkeymgr& m) { return m.sym_crypt_init(2, 0, nullptr, 0); }),
         hex("9000"), hex("80 63 00 02")},
        {"SymEncryptUpdate", on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             out_length = sizeof out;
             return m.module_cipher_step(session::encrypt_update, block.data(), 16, out, &out_length);
         }),
         concat({counting(16, 0x40), hex("9000")}), concat({hex("80 64 00 00 10"), block, hex("00")})},
        {"SymEncryptFinal without data: Le only",
         on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             out_length = sizeof out;
             return m.module_cipher_step(session::encrypt_final, nullptr, 0, out, &out_length);
         }),
         hex("9000"), hex("80 65 00 00 00")},
        {"SymDecryptUpdate", on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             out_length = sizeof out;
             return m.module_cipher_step(session::decrypt_update, block.data(), 16, out, &out_length);
         }),
         concat({counting(16), hex("9000")}), concat({hex("80 66 00 00 10"), block, hex("00")})},
        {"SymDecryptFinal", on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             out_length = sizeof out;
             return m.module_cipher_step(session::decrypt_final, block.data(), 16, out, &out_length);
         }),
         concat({counting(16), hex("9000")}), concat({hex("80 67 00 00 10"), block, hex("00")})},
        {"DeleteFile by id", on<module_manager<zervik::taviapi_filemgr>>([](zervik::taviapi_filemgr& m) {
             return m.delete_file_by_id(0x1234);
         }),
         hex("9000"), hex("80 43 02 00 02 12 34")},
        {"UpdateBinary by name", on<module_manager<zervik::taviapi_filemgr>>([](zervik::taviapi_filemgr& m) {
             const std::uint8_t data[] = {1, 2};
             return m.update_binary_name("abc", 5, data, 2, 0);
         }),
         hex("9000"), hex("80 45 40 00 09 00 0005 03 616263 0102")},
        {"AsymImportPri: the KEK slot in P2, the key reference in the data",
         on<module_manager<zervik::taviapi_keypairmgr>>([](zervik::taviapi_keypairmgr& m) {
             const bytes wrapped = counting(24);
             return m.asym_wrap_import_pri(kek_slot, 0x4201, 0x4101, 0x40001011, 3, 0, wrapped.data(), 24);
         }),
         hex("9000"), concat({hex("80 83 00 01 22 4201 4101 40001011 03 00"), counting(24)})},
        {"AsymEnDecrypt, private side",
         on<module_manager<zervik::taviapi_keypairmgr>>([](zervik::taviapi_keypairmgr& m) {
             out_length = sizeof out;
             return m.asym_private_decryption(0x4201, block.data(), 16, out, &out_length);
         }),
         hex("00000002 0102 9000"), concat({hex("80 87 00 00 12 4201"), block, hex("00")})},
        {"SessionKeyKAS step 1", on<module_sessionkeymgr>([](module_sessionkeymgr& m) {
             return m.session_kas_generate_ephemeral(0x40001011, 0, out);
         }),
         concat({hex("00000090"), bytes(144, 0), hex("9000")}), hex("80 12 00 00 05 40001011 00 00")},
        {"GetChallenge", on<module_pinmgr>([](module_pinmgr& m) { return m.get_challenge(16, out); }),
         concat({counting(16), hex("9000")}), hex("00 84 00 00 10")},
        {"AsymGenKeypair", on<module_manager<zervik::taviapi_keypairmgr>>([](zervik::taviapi_keypairmgr& m) {
             return m.asym_gen_keypair(0x4101, 0x4201, 0x40001001, 0, 3);
         }),
         hex("9000"), hex("80 81 00 00 0A 4101 4201 40001001 00 03 00")},
        {"AsymSign: the reply's payload after its u32",
         on<module_manager<zervik::taviapi_keypairmgr>>([](zervik::taviapi_keypairmgr& m) {
             const bytes digest = counting(32);
             out_length = sizeof out;
             return m.asym_sign(0x4201, 0x40000013, digest.data(), 32, out, &out_length);
         }),
         hex("00000004 01020304 9000"), concat({hex("80 89 01 00 26 4201 40000013"), counting(32), hex("00")})},
    };
}

}  // namespace

TEST(ModuleCommands, PlainBytes) {
    for (const wire_row& r : plain_rows()) {
        SCOPED_TRACE(r.what);
        fake_device d;
        d.answer(r.reply);
        EXPECT_EQ(r.call(d, 0), 0);
        ASSERT_EQ(d.sent.size(), 1u);
        EXPECT_EQ(text(d.sent[0]), text(r.wire));
    }
}

// With the flag raised the commands that follow it go out wrapped (class
// bit 0x04); the cipher steps, EnableDisableCD, GetChallenge and
// GetHealthStatus keep their class.
TEST(ModuleCommands, ClassByteWithTheFlagRaised) {
    const bytes enc = counting(32, 0x11), mac = counting(32, 0x51);
    for (const wire_row& r : plain_rows()) {
        SCOPED_TRACE(r.what);
        fake_device d;
        d.set_session_keys(enc.data(), mac.data());
        d.answer(hex("9000"));
        r.call(d, 1);
        ASSERT_EQ(d.sent.size(), 1u);
        const std::uint8_t plain_cla = r.wire[0];
        const std::uint8_t ins = r.wire[1];
        const bool fixed = plain_cla == 0xF0 || ins == 0x84 || ins == 0x05 || (ins >= 0x63 && ins <= 0x67);
        EXPECT_EQ(d.sent[0][0], fixed ? plain_cla : (plain_cla | 0x04));
        EXPECT_EQ(d.sent[0][1], ins);
    }
}

// A flag of any non-zero value counts as 1; a manager copies the flag as it
// is when the manager is made.
TEST(ModuleCommands, ManagersTakeTheFlagAsZeroOrOne) {
    fake_device d;
    const bytes enc = counting(32, 0x11), mac = counting(32, 0x51);
    d.set_session_keys(enc.data(), mac.data());
    d.answer(hex("9000"));
    module_sessionkeymgr m(&d, 7);
    EXPECT_EQ(m.save_session(2, 3), 0);
    EXPECT_EQ(d.sent[0][0], 0x84);
}

TEST(SmFlag, TheScopeRaisesAndPutsBackAlsoOnAnException) {
    set_module_sm_flag(0);
    {
        sm_flag_scope raised;
        EXPECT_EQ(module_sm_flag(), 1);
    }
    EXPECT_EQ(module_sm_flag(), 0);
    try {
        sm_flag_scope raised(42);
        EXPECT_EQ(module_sm_flag(), 1);
        throw std::runtime_error("leave");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(module_sm_flag(), 0);
    set_module_sm_flag(-5);
    EXPECT_EQ(module_sm_flag(), 1);
    {
        sm_flag_scope lowered(0);
        EXPECT_EQ(module_sm_flag(), 0);
    }
    EXPECT_EQ(module_sm_flag(), 1);
    set_module_sm_flag(0);
}

TEST(ModuleFormat, RecordLayout) {
    module_format_parameters p{"Maker", "Second", "Label", "SERIAL0123456789XYZ", 7};
    std::uint8_t r[module_format_record_size];
    ASSERT_EQ(build_module_format_record(p, r), 0);
    EXPECT_EQ(std::memcmp(r, SOLVANTA_FORMAT_ENABLE_MARKER, 18), 0);  // marker and its NUL
    EXPECT_EQ(std::memcmp(r + 18, "Maker", 6), 0);
    EXPECT_EQ(std::memcmp(r + 50, "Second", 7), 0);
    EXPECT_EQ(std::memcmp(r + 82, "Label", 6), 0);
    EXPECT_EQ(std::memcmp(r + 114, "SERIAL0123456789", 16), 0);
    EXPECT_EQ(r[130], 0);  // the serial takes 16 characters
    EXPECT_EQ(text(bytes(r + 146, r + 164)), "000000000002000000000000000007024d46");
    const std::uint8_t tries[3] = {10, 16, 10};
    for (int i = 0; i < 3; ++i) {
        const std::uint8_t* block = r + 164 + 37 * i;
        EXPECT_EQ(text(bytes(block, block + 4)), "40002020");
        EXPECT_EQ(std::memcmp(block + 4, SOLVANTA_DEVICE_KEY, 32), 0);
        EXPECT_EQ(block[36], tries[i]);
    }
    // Names are cut to their field less one byte, so each stays terminated.
    const std::string long_name(40, 'N');
    p.label = long_name.c_str();
    ASSERT_EQ(build_module_format_record(p, r), 0);
    EXPECT_EQ(r[82 + 30], 'N');
    EXPECT_EQ(r[82 + 31], 0);
    p.label = nullptr;
    EXPECT_EQ(build_module_format_record(p, r), 2);
}

// ---- reply rules -----------------------------------------------------------

TEST(ModuleReplies, OutputThatDoesNotFitGivesThreeAndWritesNothing) {
    struct row {
        const char* what;
        std::function<std::int32_t(fake_device&, std::uint8_t*, std::int32_t*)> call;
    };
    const row rows[] = {
        {"SymEncryptUpdate",
         [](fake_device& d, std::uint8_t* o, std::int32_t* n) {
             module_sessionkeymgr m(&d, 0);
             return m.module_cipher_step(session::encrypt_update, block.data(), 16, o, n);
         }},
        {"SymDecryptFinal",
         [](fake_device& d, std::uint8_t* o, std::int32_t* n) {
             module_sessionkeymgr m(&d, 0);
             return m.module_cipher_step(session::decrypt_final, block.data(), 16, o, n);
         }},
        {"GetData",
         [](fake_device& d, std::uint8_t* o, std::int32_t* n) {
             module_manager<zervik::taviapi_filemgr> m(&d, 0);
             return m.get_data(0x0102, o, n);
         }},
        {"AsymSign",
         [](fake_device& d, std::uint8_t* o, std::int32_t* n) {
             module_manager<zervik::taviapi_keypairmgr> m(&d, 0);
             return m.asym_sign(0x4201, 0x40000013, block.data(), 16, o, n);
         }},
        {"AsymEnDecrypt",
         [](fake_device& d, std::uint8_t* o, std::int32_t* n) {
             module_manager<zervik::taviapi_keypairmgr> m(&d, 0);
             return m.asym_private_decryption(0x4201, block.data(), 16, o, n);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_device d;
        d.answer(concat({hex("00000010"), counting(16), hex("9000")}));  // 20 bytes
        std::uint8_t o[15];
        std::memset(o, 0xEE, sizeof o);
        std::int32_t n = sizeof o;
        EXPECT_EQ(r.call(d, o, &n), 3);
        EXPECT_EQ(n, 15);
        EXPECT_EQ(o[0], 0xEE);
    }
}

TEST(ModuleReplies, CardStatusWordsPassThrough) {
    fake_device d;
    d.answer(hex("6A88"));
    module_sessionkeymgr m(&d, 0);
    EXPECT_EQ(m.load_session(2, 3), 0x6A88);
    d.answer(hex("6A86"));
    module_configuremgr c(&d, 0);
    EXPECT_EQ(c.enable_cd(2), 0x6A86);
    d.transmit_result = 2;
    EXPECT_EQ(m.save_session(2, 3), 2);
}

TEST(ModuleReplies, PinListWritesAtMostItsCapacity) {
    const bytes entry1 = hex("40002020 0A 0B 0C 0D 0E 0F 10");
    const bytes entry2 = hex("40001001 1A 1B 1C 1D 1E 1F 20");
    const bytes entry3 = hex("40002121 2A 2B 2C 2D 2E 2F 30");
    {
        fake_device d;
        d.answer(concat({entry1, entry2, entry3, hex("9000")}));
        module_pinmgr m(&d, 0);
        pin_list_entry e[2] = {{0xEEEEEEEE, 0xEE}, {0xEEEEEEEE, 0xEE}};
        std::size_t count = 0;
        EXPECT_EQ(m.get_pin_info_list(e, 1, &count), 0);
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(e[0].algorithm, 0x40002020u);
        EXPECT_EQ(e[0].byte4, 0x0A);
        EXPECT_EQ(e[1].algorithm, 0xEEEEEEEEu);  // beyond the capacity: untouched
    }
    {
        fake_device d;
        d.answer(concat({entry1, entry2, hex("9000")}));
        module_pinmgr m(&d, 0);
        pin_list_entry e[4];
        std::size_t count = 0;
        EXPECT_EQ(m.get_pin_info_list(e, 4, &count), 0);
        ASSERT_EQ(count, 2u);
        EXPECT_EQ(e[1].algorithm, 0x40001001u);
        EXPECT_EQ(e[1].byte4, 0x1A);
    }
    {
        fake_device d;
        d.answer(concat({entry1, hex("01"), hex("9000")}));  // not whole entries
        module_pinmgr m(&d, 0);
        pin_list_entry e[4];
        std::size_t count = 77;
        EXPECT_EQ(m.get_pin_info_list(e, 4, &count), 3);
        EXPECT_EQ(count, 77u);
    }
    {
        fake_device d;
        module_pinmgr m(&d, 0);
        std::size_t count = 0;
        EXPECT_EQ(m.get_pin_info_list(nullptr, 1, &count), 2);
        EXPECT_EQ(m.get_pin_info_list(nullptr, 0, nullptr), 2);
        EXPECT_TRUE(d.sent.empty());
    }
}

TEST(ModuleSessionKeys, AnUnknownAlgorithmIsRefusedBeforeAnythingIsSent) {
    for (std::uint32_t algorithm : {0x40001000u, 0x40002002u, 0u, 0xFFFFFFFFu}) {
        fake_device d;
        module_sessionkeymgr m(&d, 0);
        std::uint8_t key[64];
        std::int32_t length = sizeof key;
        EXPECT_EQ(m.agree_session_key(1, algorithm, key, &length), 1) << std::hex << algorithm;
        EXPECT_EQ(m.obtain_secret_key(2, algorithm, key, 16), 1) << std::hex << algorithm;
        EXPECT_TRUE(d.sent.empty());
    }
}

TEST(ModuleSessionKeys, KeysTheWrapRefusesAreRefusedBeforeAnythingIsSent) {
    const bytes key = counting(64);
    for (std::int32_t length : {0, 7, 12, 250, -8}) {
        fake_device d;
        module_sessionkeymgr m(&d, 0);
        EXPECT_EQ(m.obtain_secret_key(2, 0x40002000, key.data(), length), 1) << length;
        EXPECT_TRUE(d.sent.empty());
    }
    fake_device d;
    module_sessionkeymgr m(&d, 0);
    EXPECT_EQ(m.obtain_secret_key(2, 0x40002000, nullptr, 16), 1);
    EXPECT_TRUE(d.sent.empty());
}

// The first step of every import is a new key agreement into the KEK slot:
// nothing from an earlier call is reused.
TEST(ModuleSessionKeys, EveryImportStartsWithItsOwnAgreement) {
    fake_device d;
    module_sessionkeymgr m(&d, 0);
    const bytes key = counting(16);
    d.answer(hex("6985"));
    EXPECT_EQ(m.obtain_secret_key(2, 0x40002000, key.data(), 16), 0x6985);
    d.answer(hex("6985"));
    EXPECT_EQ(m.obtain_secret_key(2, 0x40002000, key.data(), 16), 0x6985);
    ASSERT_EQ(d.sent.size(), 2u);
    for (const bytes& c : d.sent) EXPECT_EQ(text(bytes(c.begin(), c.begin() + 4)), "80120000");
}
