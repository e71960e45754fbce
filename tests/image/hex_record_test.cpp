#include "image/hex_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "hex_fixtures.h"

namespace {

using image::HexError;
using image::HexParseState;
using image::RecordType;
using namespace image_test;

using Memory = std::array<uint8_t, image::kMemoryBytes>;

Memory filled(uint8_t value) {
    Memory m;
    m.fill(value);
    return m;
}

TEST(DecodeRecord, ReadsTheFieldsOfADataRecord) {
    const auto r = image::decodeRecord(":0304100001A2ff47");
    EXPECT_EQ(r.type, RecordType::Data);
    EXPECT_EQ(r.checksum, HexError::None);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.address, 0x0410);
    EXPECT_EQ(r.length, 17u);
    ASSERT_EQ(r.dataCount, 3);
    EXPECT_EQ(r.data[0], 0x01);
    EXPECT_EQ(r.data[1], 0xA2);
    EXPECT_EQ(r.data[2], 0xFF);
}

TEST(DecodeRecord, ReadsTheUpperAddressOfAType04RecordFromAtMostFourCharacters) {
    EXPECT_EQ(image::decodeRecord(":020000040030CA").upperAddress, 0x0030);
    EXPECT_EQ(image::decodeRecord(":020000041234B4").upperAddress, 0x1234);
    // Three characters after the type, the last one an odd value of its own.
    const auto shortRecord = image::decodeRecord(":F9000004030");
    EXPECT_EQ(shortRecord.checksum, HexError::None);
    EXPECT_EQ(shortRecord.upperAddress, 0x030);
    EXPECT_EQ(image::decodeRecord(":FC000004").upperAddress, 0);
}

struct DecodeCase {
    const char* name;
    std::string line;
    RecordType type;
    HexError checksum;
};

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, TypeAndChecksum) {
    const auto r = image::decodeRecord(GetParam().line);
    EXPECT_EQ(r.type, GetParam().type);
    EXPECT_EQ(r.checksum, GetParam().checksum);
    EXPECT_EQ(r.length, GetParam().line.size());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DecodeTable,
    ::testing::Values(
        DecodeCase{"EndOfFile", kEnd, RecordType::EndOfFile, HexError::None},
        DecodeCase{"Data", counting(0x400, 16), RecordType::Data, HexError::None},
        DecodeCase{"LowerCaseDigits", ":0304100001a2ff47", RecordType::Data, HexError::None},
        DecodeCase{"ExtendedLinearAddress", upper(0x30), RecordType::ExtendedLinearAddress,
                   HexError::None},
        DecodeCase{"WithoutColon", "10040000" + counting(0x400, 1).substr(9), RecordType::Other,
                   HexError::None},
        DecodeCase{"Empty", "", RecordType::Other, HexError::None},
        DecodeCase{"ColonOnly", ":", RecordType::Other, HexError::None},
        DecodeCase{"SixCharacters", ":00000", RecordType::Other, HexError::None},
        DecodeCase{"SevenCharacters", ":000000", RecordType::Other, HexError::None},
        DecodeCase{"EightCharacters", ":0000000", RecordType::Other, HexError::None},
        DecodeCase{"NineCharacters", ":00000000", RecordType::Data, HexError::None},
        DecodeCase{"Type02WrongChecksum", ":020000021000EB", RecordType::Other, HexError::None},
        DecodeCase{"Type03Junk", ":04000003zzzz", RecordType::Other, HexError::None},
        DecodeCase{"Type05WrongChecksum", ":0400000500001234FF", RecordType::Other, HexError::None},
        DecodeCase{"TypeUpperCaseOther", ":000000A0", RecordType::Other, HexError::None},
        DecodeCase{"Type10", ":00000010F0", RecordType::Other, HexError::None},
        DecodeCase{"TrailingBlank", kEnd + " ", RecordType::EndOfFile, HexError::NonHexCharacter},
        DecodeCase{"NonHexInData", ":01040000G0FB", RecordType::Data, HexError::NonHexCharacter},
        DecodeCase{"NulInData", std::string(":01040000\0\0FB", 13), RecordType::Data,
                   HexError::NonHexCharacter},
        DecodeCase{"BinaryByte", std::string(":00000001\xFF\xFF", 11), RecordType::EndOfFile,
                   HexError::NonHexCharacter},
        DecodeCase{"WrongChecksum", withBadChecksum(counting(0x400, 4)), RecordType::Data,
                   HexError::ChecksumError},
        DecodeCase{"OddZeroCharacterSumsToZero", kEnd + "0", RecordType::EndOfFile, HexError::None},
        DecodeCase{"OddCharacterIsAValueOfItsOwn", kEnd + "1", RecordType::EndOfFile,
                   HexError::ChecksumError},
        DecodeCase{"NonHexWinsOverChecksum", withBadChecksum(counting(0x400, 2)) + "x",
                   RecordType::Data, HexError::NonHexCharacter}),
    [](const auto& p) { return std::string(p.param.name); });

struct ParseCase {
    const char* name;
    std::string line;
    int upperBefore;
    HexError expected;
};

class ParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, FirstFailingCheck) {
    Memory memory = filled(0xFF);
    HexParseState state;
    state.upperAddress = GetParam().upperBefore;
    EXPECT_EQ(image::parseHexLine(GetParam().line, state, memory), GetParam().expected);
    EXPECT_STREQ(image::hexErrorText(GetParam().expected),
                 image::hexErrorText(image::parseHexLine(GetParam().line, state, memory)));
}

// A count above 16, an address of 0x8000 or more and a wrong length at once:
// the checks run in the order checksum, count, address, length.
INSTANTIATE_TEST_SUITE_P(
    Records, ParseTable,
    ::testing::Values(
        ParseCase{"SixteenBytesAt7FF0", counting(0x7FF0, 16), 0, HexError::None},
        ParseCase{"Count17", counting(0x400, 17), 0, HexError::IllegalCount},
        ParseCase{"CountBeforeAddress", counting(0x8000, 17), 0, HexError::IllegalCount},
        ParseCase{"Address8000", counting(0x8000, 1), 0, HexError::IllegalAddress},
        ParseCase{"AddressFFFF", counting(0xFFFF, 0), 0, HexError::IllegalAddress},
        ParseCase{"AddressBeforeLength", counting(0x8000, 2) + "00", 0, HexError::IllegalAddress},
        ParseCase{"CountSaysSixteenButFifteenBytes",
                  recordWithCount(16, 0x400, 0, std::vector<uint8_t>(15, 0x3C)), 0,
                  HexError::WrongLength},
        ParseCase{"TwoCharactersTooMany", counting(0x400, 1) + "00", 0, HexError::WrongLength},
        ParseCase{"ChecksumBeforeCount", withBadChecksum(counting(0x400, 17)), 0,
                  HexError::ChecksumError},
        ParseCase{"AboveFirst64KSkipsCountCheck", counting(0x400, 17), 0x30, HexError::None},
        ParseCase{"AboveFirst64KStillChecksChecksum", withBadChecksum(counting(0x400, 1)), 0x30,
                  HexError::ChecksumError},
        ParseCase{"EndRecordChecksum", ":00000001FE", 0, HexError::ChecksumError},
        ParseCase{"Type04Checksum", withBadChecksum(upper(0)), 0, HexError::ChecksumError},
        ParseCase{"Type04CountAndLengthNotTested", ":FB00000401", 0, HexError::None},
        ParseCase{"NotARecord", "hello", 0, HexError::None},
        ParseCase{"ShortColonLine", ":1", 0, HexError::None}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ParseHexLine, StoresExactlyTheDataBytesAtTheirAddresses) {
    Memory memory = filled(0xFF);
    HexParseState state;
    ASSERT_EQ(image::parseHexLine(data(0x0406, {0x44, 0x45}), state, memory), HexError::None);
    ASSERT_EQ(image::parseHexLine(data(0x0400, {0x01, 0x02, 0x03}), state, memory), HexError::None);
    // An odd count: the byte after the three keeps 0xFF; 0x406 keeps the earlier record's byte.
    EXPECT_EQ(memory[0x3FF], 0xFF);
    EXPECT_EQ(memory[0x400], 0x01);
    EXPECT_EQ(memory[0x401], 0x02);
    EXPECT_EQ(memory[0x402], 0x03);
    EXPECT_EQ(memory[0x403], 0xFF);
    EXPECT_EQ(memory[0x406], 0x44);
    EXPECT_EQ(memory[0x407], 0x45);
    EXPECT_EQ(memory[0x408], 0xFF);
    EXPECT_EQ(state.lowestAddress, 0x400);
    // A later record overwrites an earlier one.
    ASSERT_EQ(image::parseHexLine(data(0x0401, {0x99}), state, memory), HexError::None);
    EXPECT_EQ(memory[0x401], 0x99);
    EXPECT_EQ(memory[0x402], 0x03);
}

TEST(ParseHexLine, LowerCaseDigitsGiveTheSameBytes) {
    Memory memory = filled(0xFF);
    HexParseState state;
    ASSERT_EQ(image::parseHexLine(":0304100001a2ff47", state, memory), HexError::None);
    EXPECT_EQ(memory[0x410], 0x01);
    EXPECT_EQ(memory[0x411], 0xA2);
    EXPECT_EQ(memory[0x412], 0xFF);
    EXPECT_EQ(memory[0x413], 0xFF);
}

TEST(ParseHexLine, AZeroCountStoresNothingButCountsForTheLowestAddress) {
    Memory memory = filled(0x5A);
    const Memory before = memory;
    HexParseState state;
    ASSERT_EQ(image::parseHexLine(data(0x0123, {}), state, memory), HexError::None);
    EXPECT_EQ(state.lowestAddress, 0x123);
    EXPECT_EQ(memory, before);
}

TEST(ParseHexLine, TheLowestAddressStays8000WithoutDataRecords) {
    Memory memory = filled(0xFF);
    HexParseState state;
    EXPECT_EQ(image::parseHexLine(kEnd, state, memory), HexError::None);
    EXPECT_EQ(image::parseHexLine(upper(0), state, memory), HexError::None);
    EXPECT_EQ(state.lowestAddress, 0x8000);
}

TEST(ParseHexLine, DataAboveTheFirst64KIsIgnoredUntilTheUpperAddressIsZeroAgain) {
    Memory memory = filled(0xFF);
    HexParseState state;
    ASSERT_EQ(image::parseHexLine(upper(0x0030), state, memory), HexError::None);
    EXPECT_EQ(state.upperAddress, 0x30);
    ASSERT_EQ(image::parseHexLine(data(0x0000, {0x12, 0x34}), state, memory), HexError::None);
    EXPECT_EQ(memory[0x0000], 0xFF);
    EXPECT_EQ(state.lowestAddress, 0x8000);
    ASSERT_EQ(image::parseHexLine(upper(0x0001), state, memory), HexError::None);
    ASSERT_EQ(image::parseHexLine(data(0x0000, {0x12}), state, memory), HexError::None);
    EXPECT_EQ(memory[0x0000], 0xFF);
    ASSERT_EQ(image::parseHexLine(upper(0), state, memory), HexError::None);
    ASSERT_EQ(image::parseHexLine(data(0x0000, {0x12}), state, memory), HexError::None);
    EXPECT_EQ(memory[0x0000], 0x12);
    EXPECT_EQ(state.lowestAddress, 0);
}

TEST(ParseHexLine, AFailedRecordWritesNothing) {
    Memory memory = filled(0x5A);
    const Memory before = memory;
    HexParseState state;
    EXPECT_EQ(image::parseHexLine(":10040000" + std::string(30, '1') + "00", state, memory),
              HexError::ChecksumError);
    EXPECT_EQ(image::parseHexLine(recordWithCount(16, 0x400, 0, {}), state, memory),
              HexError::WrongLength);
    EXPECT_EQ(memory, before);
}

// Guard bytes: whatever the lines hold, only the bytes of accepted data records
// change. The highest a record can write is 0x800F; above it memory stays as it was.
TEST(ParseHexLine, TheEdgesOfMemoryStayUntouched) {
    Memory memory = filled(0xA5);
    HexParseState state;
    const std::string hostile[] = {
        counting(0x7FFF, 16),
        counting(0x7FF0, 16, 0x01),
        counting(0x8000, 16),
        counting(0xFFF0, 16),
        counting(0x7FFF, 17),
        ":FF7FFF00" + std::string(510, '0'),
        ":107FF800" + std::string(40, 'F'),
        std::string(":107FF000\0\0\0", 12),
        upper(0xFFFF),
        data(0x0000, {0x01}),
        upper(0),
        ":00FFFF00",
    };
    for (const auto& line : hostile) {
        SCOPED_TRACE(line);
        image::parseHexLine(line, state, memory);
    }
    for (int a = 0; a < 0x7FF0; ++a) {
        ASSERT_EQ(memory[static_cast<std::size_t>(a)], 0xA5) << std::hex << a;
    }
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(memory[static_cast<std::size_t>(0x7FF0 + i)], static_cast<uint8_t>(1 + 0x11 * i));
    }
    for (int i = 1; i < 16; ++i) {
        EXPECT_EQ(memory[static_cast<std::size_t>(0x7FFF + i)], static_cast<uint8_t>(0x11 * i));
    }
    for (int a = 0x800F; a < image::kMemoryBytes; ++a) {
        ASSERT_EQ(memory[static_cast<std::size_t>(a)], 0xA5) << std::hex << a;
    }
}

TEST(HexErrorText, EveryErrorHasItsMessage) {
    EXPECT_STREQ(image::hexErrorText(HexError::None), "");
    EXPECT_STREQ(image::hexErrorText(HexError::NonHexCharacter), "Non hex character in hex file");
    EXPECT_STREQ(image::hexErrorText(HexError::ChecksumError), "Checksum error from hex file");
    EXPECT_STREQ(image::hexErrorText(HexError::IllegalCount), "Illegal count value in hex file");
    EXPECT_STREQ(image::hexErrorText(HexError::IllegalAddress),
                 "Illegal address value in hex file");
    EXPECT_STREQ(image::hexErrorText(HexError::WrongLength),
                 "Wrong file length found from hex file");
}

}  // namespace
