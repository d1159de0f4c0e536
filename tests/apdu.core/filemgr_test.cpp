// The file family through its manager, against a device that records the
// commands and answers from a script.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <functional>
#include <string>

#include "api/taviapi_filemgr.h"
#include "support/family_test.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::fake_device;
using test_support::hex;

namespace {

class FileFamily : public test_support::family_test {};

// A DF's file information as the card gives it: kind 0, the name in 16
// bytes, the id and two more bytes.
bytes df_information(const std::string& name, std::uint16_t id) {
    bytes r{0x00};
    bytes n(name.begin(), name.end());
    n.resize(16, 0);
    r.insert(r.end(), n.begin(), n.end());
    r.push_back(static_cast<std::uint8_t>(id >> 8));
    r.push_back(static_cast<std::uint8_t>(id));
    r.push_back(0x11);
    r.push_back(0x22);
    return r;
}

bytes name_bytes(const std::string& name) { return bytes(name.begin(), name.end()); }

}  // namespace

// Every command form on the wire, with the secure-channel flag clear.
TEST_F(FileFamily, WireForms) {
    std::uint8_t info[37];
    std::uint8_t buffer[64];
    std::int32_t length = 0;
    std::int32_t number = 0;
    const std::uint8_t a1 = 0x11, a2 = 0x22;
    const bytes rec = hex("C1 C2 C3");
    const bytes df_reply = concat({df_information("DF", 0x1001), hex("90 00")});
    const bytes data_reply = hex("D1 D2 90 00");
    const bytes number_reply = hex("00 01 90 00");
    // "cardid" as the name forms carry it.
    const bytes named = concat({hex("06"), name_bytes("cardid")});
    struct row {
        const char* what;
        std::function<std::int32_t(taviapi_filemgr&)> call;
        bytes reply;
        bytes wire;
    };
    const row rows[] = {
        {"SelectFileById", [&](taviapi_filemgr& m) { return m.select_file_by_id(0x3F00, info); }, df_reply,
         hex("00 A4 00 00 02 3F 00 00")},
        {"SelectChildDFById", [&](taviapi_filemgr& m) { return m.select_child_df_by_id(0x1001, info); }, df_reply,
         hex("00 A4 01 00 02 10 01 00")},
        {"SelectEFById", [&](taviapi_filemgr& m) { return m.select_ef_by_id(0x2F02, info); }, df_reply,
         hex("00 A4 02 00 02 2F 02 00")},
        {"SelectParentDF", [&](taviapi_filemgr& m) { return m.select_parent_df(info); }, df_reply,
         hex("00 A4 03 00 00")},
        {"SelectDFByName, no terminator", [&](taviapi_filemgr& m) { return m.select_df_by_name("ABC", info); },
         df_reply, hex("00 A4 04 00 03 41 42 43 00")},
        {"SelectEFByName", [&](taviapi_filemgr& m) { return m.select_ef_by_name("ABC", info); }, df_reply,
         hex("00 A4 04 01 03 41 42 43 00")},
        {"SelectDFByPathFromMF",
         [&](taviapi_filemgr& m) { return m.select_df_by_path_from_mf(hex("3F 00 10 01").data(), 4, info); },
         df_reply, hex("00 A4 08 00 04 3F 00 10 01 00")},
        {"SelectDFByPathFromDF",
         [&](taviapi_filemgr& m) { return m.select_df_by_path_from_df(hex("10 01").data(), 2, info); }, df_reply,
         hex("00 A4 09 00 02 10 01 00")},
        {"CreateDF", [&](taviapi_filemgr& m) { return m.create_df({{a1, a2}, "root", 0x2000}); }, hex("90 00"),
         concat({hex("80 42 00 00 15 00 11 22"), name_bytes("root"), bytes(12, 0), hex("20 00")})},
        {"CreateEF",
         [&](taviapi_filemgr& m) {
             return m.create_ef({0x10, {0x01, 0x02, 0x03}, 0x44, "keys", 0x2F02, 0x55, 0x0100});
         },
         hex("90 00"),
         concat({hex("80 42 00 00 1B 01 10 01 02 03 44"), name_bytes("keys"), bytes(12, 0), hex("2F 02 55 01 00")})},
        {"DeleteCurrentFile", [&](taviapi_filemgr& m) { return m.delete_current_file(); }, hex("90 00"),
         hex("80 43 00 00")},
        {"DeleteFileById", [&](taviapi_filemgr& m) { return m.delete_file_by_id(0x2001); }, hex("90 00"),
         hex("80 43 02 00 02 20 01")},
        {"DeleteFileByName", [&](taviapi_filemgr& m) { return m.delete_file_by_name(0x07, "cardid"); },
         hex("90 00"), concat({hex("80 43 03 07 07"), named})},
        {"ReadBinary",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.read_binary(0x0102, 0x20, buffer, &length);
         },
         data_reply, hex("80 44 00 00 02 01 02 20")},
        {"ReadBinarySid",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.read_binary_sid(0x05, 0x0010, 8, buffer, &length);
         },
         data_reply, hex("80 44 80 05 02 00 10 08")},
        {"ReadBinaryName",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.read_binary_name("cardid", 0, 16, buffer, &length);
         },
         data_reply, concat({hex("80 44 40 00 09 00 00"), named, hex("10")})},
        {"ReadBinary of 1000 bytes: extended",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.read_binary(0, 1000, buffer, &length);
         },
         data_reply, hex("80 44 00 00 00 00 02 00 00 03 E8")},
        {"UpdateBinary", [&](taviapi_filemgr& m) { return m.update_binary(0x0102, rec.data(), 3, 0x01); },
         hex("90 00"), concat({hex("80 45 00 00 06 01 01 02"), rec})},
        {"UpdateBinarySid", [&](taviapi_filemgr& m) { return m.update_binary_sid(0x05, 0x0003, rec.data(), 3, 0x00); },
         hex("90 00"), concat({hex("80 45 80 05 06 00 00 03"), rec})},
        {"UpdateBinaryName", [&](taviapi_filemgr& m) { return m.update_binary_name("cardid", 0, rec.data(), 3, 0x01); },
         hex("90 00"), concat({hex("80 45 40 00 0D 01 00 00"), named, rec})},
        {"AppendRecord", [&](taviapi_filemgr& m) { return m.append_record(rec.data(), 3, &number); }, number_reply,
         concat({hex("80 46 00 00 03"), rec, hex("00")})},
        {"AppendRecord, empty: case 1", [&](taviapi_filemgr& m) { return m.append_record(nullptr, 0, &number); },
         number_reply, hex("80 46 00 00")},
        {"AppendRecordSid", [&](taviapi_filemgr& m) { return m.append_record_sid(0x06, rec.data(), 3, &number); },
         number_reply, concat({hex("80 46 80 06 03"), rec, hex("00")})},
        {"AppendRecordSid, empty: case 1", [&](taviapi_filemgr& m) { return m.append_record_sid(0x06, nullptr, 0, &number); },
         number_reply, hex("80 46 80 06")},
        {"AppendRecordName", [&](taviapi_filemgr& m) { return m.append_record_name("cardid", rec.data(), 3, &number); },
         number_reply, concat({hex("80 46 40 00 0A"), named, rec, hex("00")})},
        {"AppendRecordName, empty record: the name still goes",
         [&](taviapi_filemgr& m) { return m.append_record_name("cardid", nullptr, 0, &number); }, number_reply,
         concat({hex("80 46 40 00 07"), named, hex("00")})},
        {"ReadRecordLength", [&](taviapi_filemgr& m) { return m.read_record_length(0x0102, &number); }, number_reply,
         hex("80 47 01 00 02 01 02 00")},
        {"ReadRecordLengthSid", [&](taviapi_filemgr& m) { return m.read_record_length_sid(0x06, 3, &number); },
         number_reply, hex("80 47 81 06 02 00 03 00")},
        {"ReadRecordLengthName", [&](taviapi_filemgr& m) { return m.read_record_length_name("cardid", 3, &number); },
         number_reply, concat({hex("80 47 41 00 09 00 03"), named, hex("00")})},
        {"ReadRecord",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.read_record(0x0102, buffer, &length);
         },
         data_reply, hex("80 47 00 00 02 01 02 00")},
        {"ReadRecordSid",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.read_record_sid(0x06, 3, buffer, &length);
         },
         data_reply, hex("80 47 80 06 02 00 03 00")},
        {"ReadRecordName: 19 bytes, the name padded",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.read_record_name("cardid", 3, buffer, &length);
         },
         data_reply, concat({hex("80 47 40 00 13 00 03"), named, bytes(10, 0), hex("00")})},
        {"UpdateRecord", [&](taviapi_filemgr& m) { return m.update_record(0x0102, rec.data(), 3); }, hex("90 00"),
         concat({hex("80 48 00 00 05 01 02"), rec})},
        {"UpdateRecordSid", [&](taviapi_filemgr& m) { return m.update_record_sid(0x06, 3, rec.data(), 3); },
         hex("90 00"), concat({hex("80 48 80 06 05 00 03"), rec})},
        {"UpdateRecordName", [&](taviapi_filemgr& m) { return m.update_record_name("cardid", 3, rec.data(), 3); },
         hex("90 00"), concat({hex("80 48 40 00 0C 00 03"), named, rec})},
        {"GetData",
         [&](taviapi_filemgr& m) {
             length = sizeof buffer;
             return m.get_data(0x0101, buffer, &length);
         },
         data_reply, hex("00 CA 01 01 00")},
        {"PutData", [&](taviapi_filemgr& m) { return m.put_data(0x0109, rec.data(), 3); }, hex("90 00"),
         concat({hex("00 DA 01 09 03"), rec})},
    };
    test_support::expect_single_commands<taviapi_filemgr>(rows);
}

TEST_F(FileFamily, RecordNumberTakesTwoToEightBytes) {
    struct row {
        const char* reply;
        std::int32_t status;
        std::int32_t number;
    };
    const row rows[] = {
        {"00 05 90 00", 0, 5},
        {"01 02 90 00", 0, 258},
        {"FF FF 90 00", 0, 65535},
        {"00 07 01 02 03 04 05 06 90 00", 0, 7},
        {"00 07 01 02 03 04 05 06 07 90 00", 3, -1},
        {"05 90 00", 3, -1},
        {"90 00", 3, -1},
        {"6A 84", 0x6A84, -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.reply);
        taviapi_filemgr manager(&device);
        std::int32_t number = -1;
        device.answer(hex(r.reply));
        EXPECT_EQ(manager.append_record(hex("01").data(), 1, &number), r.status);
        EXPECT_EQ(number, r.number);
    }
}

TEST_F(FileFamily, RecordLengthIsTheFirstTwoBytes) {
    taviapi_filemgr manager(&device);
    std::int32_t length = -1;
    device.answer(hex("01 02 90 00"));
    EXPECT_EQ(manager.read_record_length(1, &length), 0);
    EXPECT_EQ(length, 258);
    device.answer(hex("01 90 00"));
    length = -1;
    EXPECT_EQ(manager.read_record_length_sid(1, 1, &length), 3);
    EXPECT_EQ(length, -1);
}

TEST_F(FileFamily, SelectDecodesTheFileInformation) {
    taviapi_filemgr manager(&device);
    std::uint8_t info[37];
    std::memset(info, 0xEE, sizeof info);
    device.answer(concat({df_information("root", 0x2000), hex("90 00")}));
    ASSERT_EQ(manager.select_df_by_name("root", info), 0);
    EXPECT_EQ(info[0], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info + 2)), "root");
    std::uint16_t id = 0;
    std::memcpy(&id, info + 18, 2);
    EXPECT_EQ(id, 0x2000) << "host order";
    EXPECT_EQ(info[20], 0x11);
    EXPECT_EQ(info[21], 0x22);
    EXPECT_EQ(bytes(info + 22, info + 37), bytes(15, 0)) << "zeroed first";

    // 9000 with information of no known shape: 4, nothing written.
    std::memset(info, 0xEE, sizeof info);
    device.answer(hex("00 01 02 90 00"));
    EXPECT_EQ(manager.select_parent_df(info), 4);
    EXPECT_EQ(bytes(info, info + 37), bytes(37, 0xEE));
    device.answer(hex("6A 82"));
    EXPECT_EQ(manager.select_file_by_id(0x1234, info), 0x6A82);
    EXPECT_EQ(bytes(info, info + 37), bytes(37, 0xEE));
}

TEST_F(FileFamily, ReadLargerThanTheCapacityGivesThree) {
    taviapi_filemgr manager(&device);
    bytes buffer(16, 0xEE);
    std::int32_t length = 15;
    device.answer(concat({counting(16), hex("90 00")}));
    EXPECT_EQ(manager.read_binary(0, 16, buffer.data(), &length), 3);
    EXPECT_EQ(length, 15);
    EXPECT_EQ(buffer, bytes(16, 0xEE));
    length = 16;
    device.answer(concat({counting(16), hex("90 00")}));
    EXPECT_EQ(manager.read_record_name("n", 1, buffer.data(), &length), 0);
    EXPECT_EQ(buffer, counting(16));
}

TEST_F(FileFamily, NamesOfSixteenCharactersPassSeventeenAreRefused) {
    const std::string sixteen(16, 'n');
    const std::string seventeen(17, 'n');
    std::uint8_t info[37];
    std::uint8_t buffer[8];
    std::int32_t length = sizeof buffer;
    std::int32_t number = 0;
    const bytes rec = hex("01");
    const std::function<std::int32_t(taviapi_filemgr&, const char*)> calls[] = {
        [&](taviapi_filemgr& m, const char* n) { return m.select_df_by_name(n, info); },
        [&](taviapi_filemgr& m, const char* n) { return m.select_ef_by_name(n, info); },
        [&](taviapi_filemgr& m, const char* n) { return m.create_df({{0, 0}, n, 1}); },
        [&](taviapi_filemgr& m, const char* n) { return m.create_ef({0, {0, 0, 0}, 0, n, 1, 0, 8}); },
        [&](taviapi_filemgr& m, const char* n) { return m.delete_file_by_name(0, n); },
        [&](taviapi_filemgr& m, const char* n) { return m.read_binary_name(n, 0, 8, buffer, &length); },
        [&](taviapi_filemgr& m, const char* n) { return m.update_binary_name(n, 0, rec.data(), 1, 0); },
        [&](taviapi_filemgr& m, const char* n) { return m.append_record_name(n, rec.data(), 1, &number); },
        [&](taviapi_filemgr& m, const char* n) { return m.read_record_length_name(n, 1, &number); },
        [&](taviapi_filemgr& m, const char* n) { return m.read_record_name(n, 1, buffer, &length); },
        [&](taviapi_filemgr& m, const char* n) { return m.update_record_name(n, 1, rec.data(), 1); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(i);
        fake_device d;
        taviapi_filemgr manager(&d);
        EXPECT_EQ(calls[i](manager, seventeen.c_str()), 2);
        EXPECT_EQ(calls[i](manager, nullptr), 2);
        EXPECT_TRUE(d.sent.empty());
        length = sizeof buffer;
        calls[i](manager, sixteen.c_str());
        ASSERT_EQ(d.sent.size(), 1u);
        const bytes& wire = d.sent[0];
        // The name's 16 characters are on the wire.
        EXPECT_NE(std::search(wire.begin(), wire.end(), sixteen.begin(), sixteen.end()), wire.end());
    }
}

TEST_F(FileFamily, BadInputIsRefusedWithNothingSent) {
    std::uint8_t info[37];
    std::uint8_t buffer[8];
    std::int32_t length = sizeof buffer;
    const bytes big = counting(4096);
    const std::pair<const char*, std::function<std::int32_t(taviapi_filemgr&)>> rows[] = {
        {"select, null record", [&](taviapi_filemgr& m) { return m.select_file_by_id(0x3F00, nullptr); }},
        {"select by empty name", [&](taviapi_filemgr& m) { return m.select_df_by_name("", info); }},
        {"empty path", [&](taviapi_filemgr& m) { return m.select_df_by_path_from_mf(big.data(), 0, info); }},
        {"null path", [&](taviapi_filemgr& m) { return m.select_df_by_path_from_df(nullptr, 2, info); }},
        {"negative path length", [&](taviapi_filemgr& m) { return m.select_df_by_path_from_df(big.data(), -2, info); }},
        {"read of 0 bytes", [&](taviapi_filemgr& m) { return m.read_binary(0, 0, buffer, &length); }},
        {"read, null buffer", [&](taviapi_filemgr& m) { return m.read_binary(0, 8, nullptr, &length); }},
        {"read, null length", [&](taviapi_filemgr& m) { return m.read_record(1, buffer, nullptr); }},
        {"update, null data", [&](taviapi_filemgr& m) { return m.update_binary(0, nullptr, 4, 0); }},
        {"update, negative length", [&](taviapi_filemgr& m) { return m.update_record(1, big.data(), -1); }},
        {"update beyond the work area", [&](taviapi_filemgr& m) { return m.update_binary(0, big.data(), 4094, 0); }},
        {"update longer than the transport sends", [&](taviapi_filemgr& m) { return m.update_binary(0, big.data(), 2100, 0); }},
        {"append, null number", [&](taviapi_filemgr& m) { return m.append_record(big.data(), 1, nullptr); }},
        {"record length, null output", [&](taviapi_filemgr& m) { return m.read_record_length(1, nullptr); }},
        {"get data, null buffer", [&](taviapi_filemgr& m) { return m.get_data(1, nullptr, &length); }},
        {"put data, null bytes", [&](taviapi_filemgr& m) { return m.put_data(1, nullptr, 3); }},
        {"put data, nothing", [&](taviapi_filemgr& m) { return m.put_data(1, big.data(), 0); }},
    };
    for (const auto& [what, call] : rows) {
        SCOPED_TRACE(what);
        taviapi_filemgr manager(&device);
        EXPECT_EQ(call(manager), 2);
    }
    EXPECT_TRUE(device.sent.empty());
}

TEST_F(FileFamily, TransportFailuresComeBackAsTheyAre) {
    taviapi_filemgr manager(&device);
    std::int32_t number = -1;
    device.transmit_result = 1;
    EXPECT_EQ(manager.delete_current_file(), 1);
    device.transmit_result = 2;
    EXPECT_EQ(manager.append_record(hex("01").data(), 1, &number), 2);
    EXPECT_EQ(number, -1);
}
