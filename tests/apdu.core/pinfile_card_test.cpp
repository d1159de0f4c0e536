// End to end: PINs, authentication, files, records and data objects against
// the virtual token, through the public interface only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZervikSolvanta.h"
#include "card_fixture.h"

using test_support::from_hex;
using test_support::to_hex;

namespace {

using bytes = std::vector<unsigned char>;

const std::string user_pin = "123456";
const std::string so_pin = "87654321";
const unsigned char access_ff = 0xFF;

const unsigned char* u8(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
int len(const std::string& s) { return static_cast<int>(s.size()); }
std::string hex_of(const std::string& s) { return to_hex(u8(s), s.size()); }

std::uint16_t u16_at(const unsigned char* info, std::size_t offset) {
    std::uint16_t v = 0;
    std::memcpy(&v, info + offset, sizeof v);
    return v;
}

class pinfile_card_test : public test_support::card_test {
protected:
    void SetUp() override {
        card_test::SetUp();
        handle_ = connect();
    }
    void TearDown() override {
        Zervik_UseSecureChannel(0);
        card_test::TearDown();
    }

    void open_channel() {
        ASSERT_EQ(Zervik_SetupSecureMessageChannel(handle_), 0);
        vt_.clear_log();
    }
    int install(unsigned char reference, const std::string& pin, unsigned char limit, unsigned char option) {
        return Zervik_InstallPin(handle_, reference, 0x40002121, limit, u8(pin), len(pin), &access_ff, &access_ff,
                                 option, option, 0x00);
    }
    int verify(unsigned char reference, const std::string& pin) {
        return Zervik_VerifyPin(handle_, reference, 0x00, u8(pin), len(pin));
    }
    int tries_left(unsigned char reference) {
        int a = 0, b4 = 0, tries = -1, b8 = 0, b9 = 0, b10 = 0;
        unsigned char b6 = 0, b7 = 0;
        EXPECT_EQ(Zervik_GetPinInfo(handle_, reference, &a, &b4, &tries, &b6, &b7, &b8, &b9, &b10), 0);
        return tries;
    }
    // The token's log since the last clear: the wrapped commands carry the
    // plaintext the token recovered.
    nlohmann::json log_entries() { return vt_.call("log")["entries"]; }

    ZERVIK_HANDLE handle_ = nullptr;
};

TEST_F(pinfile_card_test, PinCommandsWithoutAChannelAreRefusedWithNothingOnTheWire) {
    const std::string pin2 = "654321";
    EXPECT_EQ(install(2, user_pin, 10, 0), 1);
    EXPECT_EQ(Zervik_ChangePin(handle_, 2, 0, u8(user_pin), len(user_pin), u8(pin2), len(pin2)), 1);
    EXPECT_EQ(Zervik_UnblockPin(handle_, 2, 0, u8(so_pin), len(so_pin), u8(pin2), len(pin2)), 1);
    EXPECT_EQ(Zervik_UnloadPin(handle_, 2, u8(pin2), len(pin2)), 1);
    // Also with the secure-channel flag set: the keys are what counts.
    Zervik_UseSecureChannel(1);
    EXPECT_EQ(Zervik_UnloadPin(handle_, 2, u8(pin2), len(pin2)), 1);
    EXPECT_TRUE(vt_.commands().empty());
    EXPECT_TRUE(vt_.call("dump")["state"]["pins"].empty());
}

TEST_F(pinfile_card_test, PinLifecycleUnderTheChannel) {
    open_channel();
    ASSERT_EQ(install(1, so_pin, 15, 0), 0);
    ASSERT_EQ(install(2, user_pin, 10, 1), 0);
    // Wrapped: class 84, the PIN never in plain on the wire; the token
    // recovered the 44-byte record.
    auto entries = log_entries();
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& e : entries) {
        const std::string command = e["command"];
        EXPECT_EQ(command.substr(0, 8), "84310000");
        EXPECT_EQ(command.find(hex_of(user_pin)), std::string::npos);
        EXPECT_EQ(command.find(hex_of(so_pin)), std::string::npos);
    }
    EXPECT_EQ(std::string(entries[1]["sm"]["plain"]).substr(0, 16 + 12), "0240002121820a0a" + hex_of(user_pin));

    EXPECT_EQ(verify(2, user_pin), 0);
    vt_.clear_log();
    for (int left = 9; left >= 0; --left) EXPECT_EQ(verify(2, "000000"), 0x63C0 | left);
    EXPECT_EQ(verify(2, user_pin), 0x6983) << "blocked";
    EXPECT_EQ(tries_left(2), 0);

    // Unblock with the SO PIN; the new PIN works.
    const std::string unblocked = "222222";
    vt_.clear_log();
    ASSERT_EQ(Zervik_UnblockPin(handle_, 2, 0, u8(so_pin), len(so_pin), u8(unblocked), len(unblocked)), 0);
    entries = log_entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::string(entries[0]["command"]).substr(0, 8), "84340002");
    EXPECT_EQ(entries[0]["sm"]["plain"], hex_of(so_pin + unblocked));
    EXPECT_EQ(verify(2, unblocked), 0);
    EXPECT_EQ(tries_left(2), 10);

    const std::string changed = "abcdef";
    ASSERT_EQ(Zervik_ChangePin(handle_, 2, 0, u8(unblocked), len(unblocked), u8(changed), len(changed)), 0);
    EXPECT_EQ(verify(2, unblocked), 0x63C9);
    EXPECT_EQ(verify(2, changed), 0);

    // UnloadPin sets the PIN once the SO PIN is verified (the unblock above
    // verified it; ClearSecureState forgets that).
    const std::string loaded = "777777";
    EXPECT_EQ(Zervik_ClearSecureState(handle_, 0, 0), 0);
    EXPECT_EQ(Zervik_UnloadPin(handle_, 2, u8(loaded), len(loaded)), 0x6982);
    EXPECT_EQ(verify(1, so_pin), 0);
    vt_.clear_log();
    ASSERT_EQ(Zervik_UnloadPin(handle_, 2, u8(loaded), len(loaded)), 0);
    EXPECT_EQ(std::string(log_entries()[0]["command"]).substr(0, 8), "84340202");
    EXPECT_EQ(verify(2, loaded), 0);

    // PIN information, and the cleared security state.
    int algorithm = 0, type = 0, tries = 0, verified = 0, b8 = 0, to_change = -1;
    unsigned char limit = 0, access = 0;
    ASSERT_EQ(Zervik_GetPinInfo(handle_, 2, &algorithm, &type, &tries, &limit, &access, &b8, &verified, &to_change),
              0);
    EXPECT_EQ(algorithm, 0x40002121);
    EXPECT_EQ(type, 0x82);
    EXPECT_EQ(tries, 10);
    EXPECT_EQ(limit, 10);
    EXPECT_EQ(access, 0xFF);
    EXPECT_EQ(verified, 1);
    EXPECT_EQ(to_change, 0);
    EXPECT_EQ(Zervik_ClearSecureState(handle_, 0x01, 0x02), 0);
    EXPECT_EQ(vt_.commands().back(), "80350102");
    ASSERT_EQ(Zervik_GetPinInfo(handle_, 2, &algorithm, &type, &tries, &limit, &access, &b8, &verified, &to_change),
              0);
    EXPECT_EQ(verified, 0);

    // An unknown reference: the card's status, outputs untouched.
    tries = -7;
    EXPECT_EQ(Zervik_GetPinInfo(handle_, 9, &algorithm, &type, &tries, &limit, &access, &b8, &verified, &to_change),
              0x6A88);
    EXPECT_EQ(tries, -7);
}

TEST_F(pinfile_card_test, OversizedPinsAndDataAreRefusedWithNothingOnTheWire) {
    open_channel();
    const std::string long_pin(33, '1');
    const std::vector<unsigned char> area(1025, 0x31);
    EXPECT_EQ(install(2, long_pin, 10, 0), 2);
    EXPECT_EQ(Zervik_InstallPin(handle_, 2, 0, 10, u8(user_pin), len(user_pin), nullptr, &access_ff, 0, 0, 0), 2);
    EXPECT_EQ(Zervik_ChangePin(handle_, 2, 0, area.data(), 1000, area.data(), 25), 2);
    EXPECT_EQ(Zervik_UnblockPin(handle_, 2, 0, area.data(), 1025, nullptr, 0), 2);
    EXPECT_EQ(Zervik_UnloadPin(handle_, 2, nullptr, 6), 2);
    EXPECT_EQ(Zervik_VerifyPin(handle_, 2, 0, area.data(), 1025), 2);
    EXPECT_EQ(Zervik_GetChallenge(handle_, 8, nullptr), 2);
    EXPECT_EQ(Zervik_GetPinInfo(handle_, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 2);
    EXPECT_TRUE(vt_.commands().empty());
}

TEST_F(pinfile_card_test, ChallengesMustHaveTheLengthAskedFor) {
    unsigned char first[8], second[8];
    ASSERT_EQ(Zervik_GetChallenge(handle_, 8, first), 0);
    ASSERT_EQ(Zervik_DRBGGenRandom(handle_, 8, second), 0);
    EXPECT_NE(to_hex(first, 8), to_hex(second, 8));
    EXPECT_EQ(vt_.commands(), (std::vector<std::string>{"0084000008", "0084010008"}));

    vt_.override_replies({"01020304050607" "9000", "010203040506070809" "9000", "01020304050607" "9000"});
    unsigned char buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(Zervik_GetChallenge(handle_, 8, buffer), 3);
    EXPECT_EQ(Zervik_GetChallenge(handle_, 8, buffer), 3);
    EXPECT_EQ(Zervik_DRBGGenRandom(handle_, 8, buffer), 3);
    EXPECT_EQ(to_hex(buffer, sizeof buffer), std::string(32, 'e')) << "written on a failure";
}

TEST_F(pinfile_card_test, DeviceAndInternalAuthentication) {
    // External authentication needs a device key (from a format) and a
    // 32-byte challenge; without the right cryptogram the card refuses.
    const bytes key(32, 0x42);
    ASSERT_EQ(Zervik_FormatDevice(handle_, "a", "b", "c", "d", 0, 0, "", 1, key.data(), 0, 2, key.data(), 0, 3,
                                  key.data(), 0),
              0);
    const bytes cryptogram(32, 0x00);
    EXPECT_EQ(Zervik_DeviceAuth(handle_, 1, cryptogram.data(), 32), 0x6982);
    unsigned char challenge[32];
    ASSERT_EQ(Zervik_GetChallenge(handle_, 32, challenge), 0);
    EXPECT_EQ(Zervik_DeviceAuth(handle_, 1, cryptogram.data(), 32), 0x6300);
    EXPECT_EQ(Zervik_DeviceAuth(handle_, 9, cryptogram.data(), 32), 0x6A88);
    EXPECT_EQ(vt_.commands().back().substr(0, 10), "0082000920");

    const bytes data = from_hex("01020304");
    unsigned char response[32];
    int length = 31;
    EXPECT_EQ(Zervik_InternalAuth(handle_, data.data(), 4, response, &length), 3);
    EXPECT_EQ(length, 31);
    length = 32;
    ASSERT_EQ(Zervik_InternalAuth(handle_, data.data(), 4, response, &length), 0);
    EXPECT_EQ(length, 32);
}

// The file tree of the scenario: root 2000 with cardid 2001 (16 bytes) and
// the record file log 2005 (64 bytes).
class file_card_test : public pinfile_card_test {
protected:
    void SetUp() override {
        pinfile_card_test::SetUp();
        const unsigned char a = 0x11, b = 0x22, c = 0x33;
        ASSERT_EQ(Zervik_CreateDF(handle_, "root", 0x2000, &a, &b), 0);
        ASSERT_EQ(Zervik_CreateEF(handle_, 0x00, 0x2001, 0x44, 16, 0x55, "cardid", &a, &b, &c), 0);
        ASSERT_EQ(Zervik_CreateEF(handle_, 0x20, 0x2005, 0x44, 64, 0x55, "log", &a, &b, &c), 0);
    }
    std::string read(int (*how)(ZERVIK_HANDLE, unsigned char*, int*)) {
        unsigned char buffer[64];
        int length = sizeof buffer;
        EXPECT_EQ(how(handle_, buffer, &length), 0);
        return std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length));
    }
    unsigned char info_[ZERVIK_FILE_INFO_SIZE] = {};
};

TEST_F(file_card_test, SelectionByIdNameAndPathDecodesTheFileInformation) {
    const unsigned char mf_bytes[2] = {0x3F, 0x00};
    unsigned short mf_id = 0;
    std::memcpy(&mf_id, mf_bytes, 2);
    ASSERT_EQ(Zervik_SelectFileById2(handle_, &mf_id, info_), 0);
    EXPECT_EQ(info_[0], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info_ + 2)), "MF");
    EXPECT_EQ(u16_at(info_, 18), 0x3F00);
    EXPECT_EQ(vt_.commands().back(), "00a40000023f0000");

    ASSERT_EQ(Zervik_SelectDFByName(handle_, "root", info_), 0);
    EXPECT_EQ(u16_at(info_, 18), 0x2000);
    EXPECT_EQ(info_[20], 0x11);
    EXPECT_EQ(info_[21], 0x22);

    ASSERT_EQ(Zervik_SelectEFById(handle_, 0x2001, info_), 0);
    EXPECT_EQ(info_[0], 1);
    EXPECT_EQ(info_[1], 0x00) << "type";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info_ + 2)), "cardid");
    EXPECT_EQ(u16_at(info_, 18), 0x2001);
    EXPECT_EQ(u16_at(info_, 22), 16) << "size";

    const unsigned char path[] = {0x20, 0x00, 0x20, 0x05};
    ASSERT_EQ(Zervik_SelectDFByPathFromMF(handle_, path, 4, info_), 0);
    EXPECT_EQ(info_[1], 0x20) << "a record file";
    EXPECT_EQ(u16_at(info_, 18), 0x2005);
    EXPECT_EQ(u16_at(info_, 22), 64);
    // The EF's DF, root, is current: its parent is the MF.
    ASSERT_EQ(Zervik_SelectParentDF(handle_, info_), 0);
    EXPECT_EQ(u16_at(info_, 18), 0x3F00);
    ASSERT_EQ(Zervik_SelectChildDFById(handle_, 0x2000, info_), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info_ + 2)), "root");
    ASSERT_EQ(Zervik_SelectEFByName(handle_, "log", info_), 0);
    EXPECT_EQ(u16_at(info_, 18), 0x2005);
    ASSERT_EQ(Zervik_SelectDFByPathFromDF(handle_, path + 2, 2, info_), 0);
    EXPECT_EQ(u16_at(info_, 18), 0x2005);
    ASSERT_EQ(Zervik_SelectFileById(handle_, 0x3F00, info_), 0);
    EXPECT_EQ(u16_at(info_, 18), 0x3F00);

    std::memset(info_, 0xEE, sizeof info_);
    EXPECT_EQ(Zervik_SelectChildDFById(handle_, 0x2001, info_), 0x6A82);
    EXPECT_EQ(info_[0], 0xEE) << "written on a failure";
    EXPECT_EQ(Zervik_SelectFileById2(handle_, nullptr, info_), 2);
}

TEST_F(file_card_test, BinaryInTheThreeAddressingForms) {
    ASSERT_EQ(Zervik_SelectEFById(handle_, 0x2001, info_), 0);
    const std::string head = "0123", middle = "4567", tail = "89AB";
    ASSERT_EQ(Zervik_UpdateBinary(handle_, 0, u8(head), 4, 0), 0);
    ASSERT_EQ(Zervik_UpdateBinarySid(handle_, 0x01, 4, u8(middle), 4, 0), 0);
    ASSERT_EQ(Zervik_UpdateBinaryName(handle_, "cardid", 8, u8(tail), 4, 0), 0);
    unsigned char buffer[32];
    int length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadBinary(handle_, 0, 16, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)),
              head + middle + tail + std::string(4, '\0'));
    length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadBinarySid(handle_, 0x01, 4, 4, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), middle);
    length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadBinaryName(handle_, "cardid", 8, 4, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), tail);

    // A reply larger than the capacity: 3, nothing written.
    std::memset(buffer, 0xEE, sizeof buffer);
    length = 8;
    EXPECT_EQ(Zervik_ReadBinary(handle_, 0, 16, buffer, &length), 3);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(buffer[0], 0xEE);
    // Past the end of the file.
    length = sizeof buffer;
    EXPECT_EQ(Zervik_ReadBinary(handle_, 16, 1, buffer, &length), 0x6B00);
    EXPECT_EQ(Zervik_UpdateBinary(handle_, 14, u8(head), 4, 0), 0x6B00);
}

TEST_F(file_card_test, RecordsAppendedMeasuredReadAndUpdated) {
    ASSERT_EQ(Zervik_SelectEFById(handle_, 0x2005, info_), 0);
    int number = 0;
    const std::string first = "first", second = "second!", third = "3rd";
    ASSERT_EQ(Zervik_AppendRecord(handle_, u8(first), len(first), &number), 0);
    EXPECT_EQ(number, 1);
    ASSERT_EQ(Zervik_AppendRecordSid(handle_, 0x05, u8(second), len(second), &number), 0);
    EXPECT_EQ(number, 2);
    ASSERT_EQ(Zervik_AppendRecordName(handle_, "log", u8(third), len(third), &number), 0);
    EXPECT_EQ(number, 3);
    ASSERT_EQ(Zervik_AppendRecord(handle_, nullptr, 0, &number), 0);
    EXPECT_EQ(number, 4);
    EXPECT_EQ(vt_.commands().back(), "80460000") << "an empty record goes as case 1";

    int length = 0;
    ASSERT_EQ(Zervik_ReadRecordLength(handle_, 1, &length), 0);
    EXPECT_EQ(length, 5);
    ASSERT_EQ(Zervik_ReadRecordLengthSid(handle_, 0x05, 2, &length), 0);
    EXPECT_EQ(length, 7);
    ASSERT_EQ(Zervik_ReadRecordLengthName(handle_, "log", 4, &length), 0);
    EXPECT_EQ(length, 0);

    unsigned char buffer[32];
    length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadRecord(handle_, 1, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), first);
    length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadRecordSid(handle_, 0x05, 2, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), second);
    length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadRecordName(handle_, "log", 3, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), third);

    const std::string one = "ONE", two = "TWO", three = "THREE";
    ASSERT_EQ(Zervik_UpdateRecord(handle_, 1, u8(one), 3), 0);
    ASSERT_EQ(Zervik_UpdateRecordSid(handle_, 0x05, 2, u8(two), 3), 0);
    ASSERT_EQ(Zervik_UpdateRecordName(handle_, "log", 3, u8(three), 5), 0);
    for (int n = 1; n <= 3; ++n) {
        length = sizeof buffer;
        ASSERT_EQ(Zervik_ReadRecord(handle_, static_cast<unsigned short>(n), buffer, &length), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)),
                  (n == 1 ? one : n == 2 ? two : three));
    }
    EXPECT_EQ(Zervik_ReadRecord(handle_, 9, buffer, &length), 0x6A83);

    // One reply byte is no record number.
    vt_.override_replies({"059000"});
    number = -1;
    EXPECT_EQ(Zervik_AppendRecord(handle_, u8(one), 3, &number), 3);
    EXPECT_EQ(number, -1);
}

TEST_F(file_card_test, NamesOfSixteenCharactersWorkSeventeenAreRefused) {
    const std::string sixteen = "records-sixteen!";
    const std::string seventeen = sixteen + "x";
    const unsigned char a = 0;
    ASSERT_EQ(Zervik_CreateEF(handle_, 0x20, 0x2006, 0, 32, 0, sixteen.c_str(), &a, &a, &a), 0);
    int number = 0;
    ASSERT_EQ(Zervik_AppendRecordName(handle_, sixteen.c_str(), u8(sixteen), 16, &number), 0);
    unsigned char buffer[32];
    int length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadRecordName(handle_, sixteen.c_str(), 1, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), sixteen);

    vt_.clear_log();
    EXPECT_EQ(Zervik_ReadRecordName(handle_, seventeen.c_str(), 1, buffer, &length), 2);
    EXPECT_EQ(Zervik_AppendRecordName(handle_, seventeen.c_str(), u8(sixteen), 16, &number), 2);
    EXPECT_EQ(Zervik_SelectDFByName(handle_, seventeen.c_str(), info_), 2);
    EXPECT_EQ(Zervik_CreateDF(handle_, seventeen.c_str(), 0x3000, &a, &a), 2);
    EXPECT_EQ(Zervik_UpdateBinaryName(handle_, seventeen.c_str(), 0, u8(sixteen), 1, 0), 2);
    EXPECT_EQ(Zervik_DeleteFileByName(handle_, 0, seventeen.c_str()), 2);
    EXPECT_TRUE(vt_.commands().empty());
}

TEST_F(file_card_test, DataObjectsAndDeletion) {
    const std::string label = "Solvanta label";
    ASSERT_EQ(Zervik_PutData(handle_, 0x0101, u8(label), len(label)), 0);
    EXPECT_EQ(vt_.commands().back().substr(0, 8), "00da0101");
    unsigned char buffer[64];
    int length = sizeof buffer;
    ASSERT_EQ(Zervik_GetData(handle_, 0x0101, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), label);
    length = sizeof buffer;
    EXPECT_EQ(Zervik_GetData(handle_, 0x0199, buffer, &length), 0x6A88);
    EXPECT_EQ(length, static_cast<int>(sizeof buffer));

    const unsigned char a = 0;
    ASSERT_EQ(Zervik_CreateEF(handle_, 0, 0x2009, 0, 8, 0, "spare", &a, &a, &a), 0);
    ASSERT_EQ(Zervik_CreateEF(handle_, 0, 0x2009, 0, 8, 0, "again", &a, &a, &a), 0x6A89);
    ASSERT_EQ(Zervik_DeleteFileByName(handle_, 0, "spare"), 0);
    ASSERT_EQ(Zervik_DeleteFileById(handle_, 0x2001), 0);
    EXPECT_EQ(Zervik_SelectEFById(handle_, 0x2001, info_), 0x6A82);
    ASSERT_EQ(Zervik_SelectEFById(handle_, 0x2005, info_), 0);
    ASSERT_EQ(Zervik_DeleteCurrentFile(handle_), 0);
    EXPECT_EQ(Zervik_SelectEFByName(handle_, "log", info_), 0x6A82);
}

TEST_F(file_card_test, FileCommandsGoWrappedUnderTheFlag) {
    open_channel();
    Zervik_UseSecureChannel(1);
    ASSERT_EQ(Zervik_SelectEFByName(handle_, "cardid", info_), 0);
    EXPECT_EQ(u16_at(info_, 18), 0x2001);
    const std::string value = "wrapped!";
    ASSERT_EQ(Zervik_UpdateBinary(handle_, 0, u8(value), len(value), 0), 0);
    unsigned char buffer[16];
    int length = sizeof buffer;
    ASSERT_EQ(Zervik_ReadBinary(handle_, 0, 8, buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), value);
    const auto entries = log_entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(std::string(entries[0]["command"]).substr(0, 8), "04a40401");
    EXPECT_EQ(std::string(entries[1]["command"]).substr(0, 8), "84450000");
    EXPECT_EQ(entries[2]["sm"]["reply_plain"], hex_of(value));
    EXPECT_EQ(std::string(entries[2]["reply"]).find(hex_of(value)), std::string::npos);
}

}  // namespace
