// The device model against scripted host byte sequences: announcements, the
// block and sequence commands, the query records, the memory models and
// bytes that do not fit.

#include "sim/instrument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_bench.h"

namespace {

using sim::Config;
using sim::Mode;
using sim_test::Bench;
using sim_test::block;
using sim_test::bytes;
using sim_test::filled;
using sim_test::shown;

Config quick(int row, Mode mode) {
    Config c = Config::forRow(row, mode);
    c.timing.announceDelayUs = 1000;
    return c;
}

// --- catalogue rows ---------------------------------------------------------------

TEST(DeviceRow, EveryRowOfTheCatalogue) {
    struct Row {
        int row;
        const char* typecode;
        sim::Family family;
        int memorySize;
        sim::Protocol protocol;
        char queryChar;
        int testStart;
    };
    const Row rows[] = {
        {1, "QV1200", sim::Family::Pic16, 0x4000, sim::Protocol::Query, 'q', 0x800},
        {2, "QV1210", sim::Family::Pic18, 0x8000, sim::Protocol::Block, 'Q', 0x800},
        {3, "JT2310", sim::Family::Pic18, 0x8000, sim::Protocol::Block, 'Q', 0x800},
        {4, "JT2301", sim::Family::Pic16, 0x2000, sim::Protocol::Block, 'Q', 0x800},
        {5, "JT2302", sim::Family::Pic16, 0x2000, sim::Protocol::Block, 'Q', 0x1000},
        {6, "WN3110", sim::Family::Pic18, 0x8000, sim::Protocol::Block, 'Q', 0x800},
        {7, "XC4510", sim::Family::Pic18, 0x4000, sim::Protocol::Block, 'Q', 0x800},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.row);
        const sim::DeviceRow d = sim::deviceRow(r.row);
        EXPECT_EQ(d.row, r.row);
        EXPECT_EQ(d.typecode, r.typecode);
        EXPECT_EQ(d.family, r.family);
        EXPECT_EQ(d.memorySize, r.memorySize);
        EXPECT_EQ(d.protocol, r.protocol);
        EXPECT_EQ(d.queryChar(), r.queryChar);
        EXPECT_EQ(d.testAreaStart, r.testStart);
        EXPECT_EQ(d.testAreaEnd, r.testStart + 0x400);
    }
    EXPECT_EQ(sim::deviceRow(0).row, 0);
    EXPECT_EQ(sim::deviceRow(8).row, 0);
    EXPECT_TRUE(sim::deviceRow(8).typecode.empty());
}

// --- announcement -------------------------------------------------------------------

struct AnnounceCase {
    const char* name;
    int row;
    Mode mode;
    const char* hostFirst;  // sent after the delay, before anything was heard
    const char* expected;   // everything the device sent
};

class Announcement : public ::testing::TestWithParam<AnnounceCase> {};

TEST_P(Announcement, OnceAfterTheDelay) {
    const AnnounceCase& c = GetParam();
    Config config = Config::forRow(c.row, c.mode);
    config.timing.announceDelayUs = 250'000;
    Bench b(config);
    std::string heard = b.open();
    heard += b.send(c.hostFirst);
    EXPECT_EQ(shown(heard), shown(c.expected));
    if (!b.link.sent.empty()) {
        // The first answer leaves the delay after the open, or after the last
        // letter of the programming message.
        const int64_t from = std::string(c.hostFirst).empty() ? 0 : b.link.now;
        EXPECT_EQ(b.link.sent.front().atUs, from + 250'000);
    }
    EXPECT_EQ(b.device.counters().announcements, std::string(c.expected).empty() ? 0 : 1);
}

const AnnounceCase kAnnounceCases[] = {
    {"QueryDeviceAnnouncesLowerQ", 1, Mode::Application, "", "q"},
    {"BlockDeviceAnnouncesUpperQ", 2, Mode::Application, "", "Q"},
    {"Row7AnnouncesUpperQ", 7, Mode::Application, "", "Q"},
    {"BootloaderModeAnnouncesTilde", 4, Mode::Bootloader, "", "~"},
    {"QueryDeviceInBootloaderModeAnnouncesTilde", 1, Mode::Bootloader, "", "~"},
    {"ThroughOutputProcessorSilentUntilAsked", 5, Mode::ThroughOutputProcessor, "", ""},
    {"ThroughOutputProcessorProgAnswersQ", 5, Mode::ThroughOutputProcessor, "prog", "Q"},
    {"ThroughOutputProcessorPrblAnswersTilde", 5, Mode::ThroughOutputProcessor, "prbl", "~"},
    {"ThroughOutputProcessorOtherLettersNothing", 5, Mode::ThroughOutputProcessor, "prox", ""},
    {"ThroughOutputProcessorProgAfterNoise", 5, Mode::ThroughOutputProcessor, "zpprog", "Q"},
};
INSTANTIATE_TEST_SUITE_P(Sim, Announcement, ::testing::ValuesIn(kAnnounceCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Announcement, ABytesBeforeTheAnnouncementIsIgnoredAndLogged) {
    Config config = quick(2, Mode::Application);
    Bench b(config);
    EXPECT_EQ(b.open(), "Q");               // due at 1000 us
    b.device.onHostByte(b.link, 'p', 500);  // the device is still starting
    EXPECT_EQ(b.device.counters().unexpectedBytes, 1);
    EXPECT_EQ(shown(b.takeAnswers()), "");
    EXPECT_NE(b.device.transcriptText().find("unexpected: before the announcement"),
              std::string::npos);
    EXPECT_EQ(b.send("p"), "P");  // after it, the device listens
}

TEST(Announcement, EachOpenPowersTheDeviceOnAgainAndMemoryStays) {
    Bench b(quick(2, Mode::Application));
    EXPECT_EQ(b.open(), "Q");
    b.send("p");
    b.writeBlock(0x400, block(1));
    b.device.onClose(b.link.now + 10);
    b.link.now += 100'000;
    EXPECT_EQ(b.open(), "Q");
    EXPECT_EQ(b.device.counters().opens, 2);
    EXPECT_EQ(b.send("a"), "");  // waiting for 'p' again
    EXPECT_EQ(b.send("p"), "P");
    EXPECT_EQ(b.readBlock(0x400), block(1));
}

// --- block protocol: each exchange ---------------------------------------------------

struct WireCase {
    const char* name;
    int row;
    std::string before;  // sent first (after the announcement and 'p'), answers not checked
    std::string host;
    std::string device;
};

class BlockWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(BlockWire, AnsweredAsTheBootloaderDoes) {
    const WireCase& c = GetParam();
    Bench b(quick(c.row, Mode::Application));
    b.open();
    ASSERT_EQ(b.send("p"), "P");
    b.send(c.before);
    EXPECT_EQ(shown(b.send(c.host)), shown(c.device));
    EXPECT_EQ(b.device.counters().unexpectedBytes, 0) << b.device.transcriptText();
}

std::string w64(uint8_t first) {
    const auto blk = block(first);
    return "w" + std::string(blk.begin(), blk.end());
}
std::string readAnswer(const std::vector<uint8_t>& data) {
    return "r" + std::string(data.begin(), data.end()) + "R";
}

const std::string kA840 = bytes({'a', 0x08, 0x40});

const WireCase kWireCases[] = {
    {"StartPAnswersP", 2, "", "p", "P"},
    {"TypecodeSixCharactersThenT", 2, "", "t", "QV1210T"},
    {"TypecodeOfRow4", 4, "", "t", "JT2301T"},
    {"AddressEchoedThenA", 2, "", kA840, "aA"},
    {"AddressAtZeroInApplicationMode", 2, "", bytes({'a', 0, 0}), "aA"},
    {"CheckAnswersAddressHighLowThenB", 2, kA840, "b", bytes({0x08, 0x40, 'B'})},
    {"EraseEchoedThenE", 2, kA840, "e", "eE"},
    {"WriteEchoedThenWAndW", 2, kA840, w64(0x10), "wwW"},
    {"Pic16WriteEchoedThenWAndW", 4, kA840, w64(0x10), "wwW"},
    {"ReadAnswersRDataR", 2, kA840, "r", readAnswer(filled(0xFF))},
    {"FinishAnswersF", 2, "", "f", "F"},
    {"AbortAnswersX", 2, "", "x", "X"},
    {"KeepAliveAnswersOneByte", 2, "", "?", "?"},
    {"KeepAliveBetweenBlocks", 4, kA840 + "b", "??", "??"},
};
INSTANTIATE_TEST_SUITE_P(Sim, BlockWire, ::testing::ValuesIn(kWireCases),
                         [](const auto& p) { return std::string(p.param.name); });

// The host's whole block write and read for both families, byte counts as the
// host expects them (PIC18: 74 out and 15 in; PIC16: 69 out and 8 in).
TEST(BlockWire, WholeBlockWriteAndReadBack) {
    for (int row : {2, 4}) {
        SCOPED_TRACE(row);
        Bench b(quick(row, Mode::Application));
        b.open();
        b.send("p");
        const int64_t before = b.device.counters().bytesSent;
        const std::string answers = b.writeBlock(0x1C0, block(0x00));
        const bool pic18 = row == 2;
        EXPECT_EQ(answers.size(), pic18 ? 15u : 8u);
        EXPECT_EQ(shown(answers), pic18 ? shown("aA\x01\xC0"
                                                "BeEaA\x01\xC0"
                                                "BwwW")
                                        : shown("aA\x01\xC0"
                                                "BwwW"));
        EXPECT_EQ(b.device.counters().bytesSent - before, pic18 ? 15 : 8);
        EXPECT_EQ(b.readBlock(0x1C0), block(0x00));  // all within 14-bit words
        EXPECT_EQ(b.device.counters().blocksWritten, 1);
        EXPECT_EQ(b.device.counters().blocksErased, pic18 ? 1 : 0);
        EXPECT_EQ(b.device.counters().blocksRead, 1);
    }
}

// --- the address answer ---------------------------------------------------------

struct AddressCase {
    int row;
    Mode mode;
    const char* opMessage;  // for the output processor
    int address;
    char answer;
};

TEST(AddressAnswer, FollowsTheRowAndTheMode) {
    const AddressCase cases[] = {
        {2, Mode::Bootloader, "", 0x800, 'a'},
        {2, Mode::Bootloader, "", 0xBC0, 'a'},
        {2, Mode::Bootloader, "", 0xC00, 'A'},
        {2, Mode::Bootloader, "", 0x7C0, 'A'},
        {2, Mode::Bootloader, "", 0x000, 'A'},
        {2, Mode::Application, "", 0x800, 'A'},
        {4, Mode::Bootloader, "", 0x840, 'a'},
        {1, Mode::Bootloader, "", 0x800, 'a'},
        {5, Mode::Bootloader, "", 0x1000, 'a'},
        {5, Mode::Bootloader, "", 0x13C0, 'a'},
        {5, Mode::Bootloader, "", 0x1400, 'A'},
        {5, Mode::Bootloader, "", 0x800, 'A'},
        {5, Mode::Application, "", 0x1000, 'A'},
        {5, Mode::ThroughOutputProcessor, "prog", 0x1000, 'A'},
        {5, Mode::ThroughOutputProcessor, "prbl", 0x1000, 'a'},
        {5, Mode::ThroughOutputProcessor, "prbl", 0x800, 'A'},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "row " << c.row << " mode " << static_cast<int>(c.mode)
                                          << " " << c.opMessage << " address " << c.address);
        Bench b(quick(c.row, c.mode));
        b.open();
        b.send(c.opMessage);
        ASSERT_EQ(b.send("p"), "P");
        EXPECT_EQ(shown(b.address(c.address)), shown(std::string("a") + c.answer));
    }
}

// --- memory models --------------------------------------------------------------

TEST(MemoryModel, Pic18WriteWithoutEraseOnlyClearsBits) {
    Bench b(quick(2, Mode::Application));
    b.open();
    b.send("p");
    b.writeBlock(0x440, filled(0xF0));  // erased first: programs 0xF0
    EXPECT_EQ(b.readBlock(0x440), filled(0xF0));
    b.address(0x440);
    b.send("b");
    EXPECT_EQ(b.write(filled(0x3C)), "wwW");      // no erase this time
    EXPECT_EQ(b.readBlock(0x440), filled(0x30));  // 0xF0 AND 0x3C
    EXPECT_EQ(b.device.memory()[0x440], 0x30);
    b.address(0x440);
    EXPECT_EQ(b.send("e"), "eE");
    EXPECT_EQ(b.readBlock(0x440), filled(0xFF));
}

TEST(MemoryModel, Pic16WordsKeepFourteenBits) {
    Bench b(quick(4, Mode::Application));
    b.open();
    b.send("p");
    b.writeBlock(0x400, filled(0xFF));
    std::vector<uint8_t> expected(64);
    for (size_t i = 0; i < expected.size(); ++i) {
        expected[i] = i % 2 == 1 ? 0x3F : 0xFF;
    }
    EXPECT_EQ(b.readBlock(0x400), expected);
    EXPECT_EQ(b.device.memory()[0x401], 0x3F);
    EXPECT_EQ(b.device.memory()[0x400], 0xFF);
    // A PIC16 write replaces the word; no erase is needed.
    b.writeBlock(0x400, block(0x01));
    const std::vector<uint8_t> got = b.readBlock(0x400);
    ASSERT_EQ(got.size(), 64u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i], i % 2 == 1 ? ((1 + i) & 0x3F) : (1 + i)) << i;
    }
    // Erased memory reads as 0x3FFF words.
    EXPECT_EQ(b.readBlock(0x800), expected);
}

TEST(MemoryModel, Pic16HasNoEraseCommand) {
    Bench b(quick(4, Mode::Application));
    b.open();
    b.send("p");
    b.address(0x400);
    EXPECT_EQ(b.send("e"), "");
    EXPECT_EQ(b.device.counters().unexpectedBytes, 1);
    EXPECT_EQ(b.send("b"), bytes({0x04, 0x00, 'B'}));  // still in step
}

TEST(MemoryModel, NothingExistsAtOrAboveTheMemorySize) {
    Bench b(quick(7, Mode::Application));  // 0x4000 bytes
    b.open();
    b.send("p");
    EXPECT_EQ(b.writeBlock(0x3FC0, filled(0x11)), bytes({'a', 'A', 0x3F, 0xC0, 'B', 'e', 'E', 'a',
                                                         'A', 0x3F, 0xC0, 'B', 'w', 'w', 'W'}));
    b.writeBlock(0x4000, filled(0x22));
    EXPECT_EQ(b.readBlock(0x3FC0), filled(0x11));
    EXPECT_EQ(b.readBlock(0x4000), filled(0xFF));
    EXPECT_EQ(b.device.memory()[0x4000], 0xFF);
}

TEST(MemoryModel, MemoryStartsErasedAndPreloadShowsThrough) {
    Bench b(quick(2, Mode::Application));
    for (uint8_t v : b.device.memory()) {
        ASSERT_EQ(v, 0xFF);
    }
    b.device.preload(0x1000, {0x12, 0x34});
    b.open();
    b.send("p");
    const auto got = b.readBlock(0x1000);
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got[0], 0x12);
    EXPECT_EQ(got[1], 0x34);
    EXPECT_EQ(got[2], 0xFF);
}

// --- bytes that do not fit ------------------------------------------------------

struct StrayCase {
    const char* name;
    int row;
    std::string before;
    std::string host;
    std::string device;
    int unexpected;
};

class StrayBytes : public ::testing::TestWithParam<StrayCase> {};

TEST_P(StrayBytes, GetNoAnswerAndAreLogged) {
    const StrayCase& c = GetParam();
    Bench b(quick(c.row, Mode::Application));
    b.open();
    b.send(c.before);
    EXPECT_EQ(shown(b.send(c.host)), shown(c.device));
    EXPECT_EQ(b.device.counters().unexpectedBytes, c.unexpected);
    if (c.unexpected > 0) {
        EXPECT_NE(b.device.transcriptText().find("unexpected"), std::string::npos);
    }
}

const StrayCase kStrayCases[] = {
    {"CommandBeforeStart", 2, "", "a", "", 1},
    {"TypecodeBeforeStart", 2, "", "t", "", 1},
    {"UnknownCommand", 2, "p", "z", "", 1},
    {"CheckWithoutAddress", 2, "p", "b", "", 1},
    {"EraseWithoutAddress", 2, "p", "e", "", 1},
    {"WriteWithoutAddress", 2, "p", "w", "", 1},
    {"ReadWithoutAddress", 2, "p", "r", "", 1},
    {"AnythingAfterFinish", 2, "pf", "pta", "", 3},
    {"AnythingAfterAbort", 2, "px", "p", "", 1},
    {"QueryDeviceWantsUpperP", 1, "", "p", "", 1},
    {"QueryDeviceBlockCommand", 1, "P", "a", "", 1},
    {"QueryDeviceLineEndBetweenRecords", 1, "P", "\r\n", "", 2},
    {"QueryNonHexCountAnswersE", 1, "P:", "1G", "e", 1},
    {"QueryNonHexWordAnswersE", 1, "P:",
     "02000000"
     "12x",
     "nat"
     "e",
     1},
};
INSTANTIATE_TEST_SUITE_P(Sim, StrayBytes, ::testing::ValuesIn(kStrayCases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- query protocol ----------------------------------------------------------------

// Sends a record as the host does: ':', the count, the address, the type and,
// for a data record at word address <= 8192, each word and the checksum.
// Returns the answer to each piece.
std::vector<std::string> sendRecord(Bench& b, const std::string& line) {
    std::vector<std::string> answers;
    answers.push_back(b.send(line.substr(0, 1)));
    answers.push_back(b.send(line.substr(1, 2)));
    answers.push_back(b.send(line.substr(3, 4)));
    const int count = std::stoi(line.substr(1, 2), nullptr, 16);
    const int wordAddress = std::stoi(line.substr(3, 4), nullptr, 16) / 2;
    const bool data = line.substr(7, 2) == "00" && wordAddress <= 8192;
    std::string last = b.send(line.substr(7, 2));
    if (data) {
        for (int j = 0; j < count / 2; ++j) {
            last += "|";
            answers.push_back(last);
            last = b.send(line.substr(9 + 4 * static_cast<size_t>(j), 4));
        }
        last += "|";
        answers.push_back(last);
        last = b.send(line.substr(9 + 4 * static_cast<size_t>(count / 2), 2));
    }
    answers.push_back(last);
    return answers;
}

struct RecordCase {
    const char* name;
    std::string line;
    std::vector<std::string> answers;  // per piece; "x|" = answered before the next piece
};

class QueryRecords : public ::testing::TestWithParam<RecordCase> {};

TEST_P(QueryRecords, EachPieceAcknowledged) {
    const RecordCase& c = GetParam();
    Bench b(quick(1, Mode::Application));
    ASSERT_EQ(b.open(), "q");
    ASSERT_EQ(b.send("P"), "p");
    EXPECT_EQ(sendRecord(b, c.line), c.answers) << b.device.transcriptText();
}

const RecordCase kRecordCases[] = {
    {"DataRecordTwoWords", ":0400100001340A2885", {":", "n", "a", "t|", "d|", "d|", "fl"}},
    {"DataRecordAtWord8192IsTaken", ":02400000341278", {":", "n", "a", "t|", "d|", "fl"}},
    {"EndRecordAnswersS", ":00000001FF", {":", "n", "a", "s"}},
    {"WrongChecksumAnswersE", ":0400100001340A2886", {":", "n", "a", "t|", "d|", "d|", "e"}},
    {"RecordAboveWord8192HeaderOnly", ":02400400FF3F7C", {":", "n", "a", "l"}},
    {"EmptyDataRecord", ":0000000000", {":", "n", "a", "t|", "fl"}},
    {"LowerCaseDigits", ":0400100001340a2885", {":", "n", "a", "t|", "d|", "d|", "fl"}},
};

INSTANTIATE_TEST_SUITE_P(Sim, QueryRecords, ::testing::ValuesIn(kRecordCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(QueryRecords, AcceptedWordsBecomeProgramMemory) {
    Bench b(quick(1, Mode::Application));
    b.open();
    b.send("P");
    sendRecord(b, ":0400100001340A2885");  // words 8, 9: 0x3401, 0x280A
    sendRecord(b, ":0400200001FFFFFFDE");  // words 16, 17: 0x3F01 (14 bits), 0x3FFF
    sendRecord(b, ":0400300001340A2866");  // wrong checksum: not programmed
    sendRecord(b,
               ":024000003412"
               "78");  // word 8192
    const std::map<int, uint16_t> expected = {
        {8, 0x3401}, {9, 0x280A}, {16, 0x3F01}, {17, 0x3FFF}, {8192, 0x1234}};
    EXPECT_EQ(b.device.queryWords(), expected);
    EXPECT_EQ(b.device.memory()[0x10], 0x01);
    EXPECT_EQ(b.device.memory()[0x11], 0x34);
    EXPECT_EQ(b.device.memory()[0x21], 0x3F);
    EXPECT_EQ(b.device.memory()[0x30], 0xFF);
    EXPECT_EQ(b.device.counters().recordsReceived, 4);
    EXPECT_EQ(b.device.counters().recordsAccepted, 3);
    EXPECT_EQ(sim::expectedQueryWords({":0400100001340A2885", ":0400200001FFFFFFDE",
                                       ":0400300001340A2866",
                                       ":024000003412"
                                       "78"}),
              expected);
}

// --- timing ------------------------------------------------------------------------

TEST(Timing, EraseAndWriteTakeTheirProcessingTimes) {
    Config config = quick(2, Mode::Application);
    config.timing.eraseUs = 4000;
    config.timing.writeUs = 1500;
    config.timing.answerUs = 30;
    Bench b(config);
    b.open();
    b.send("p");
    b.address(0x400);
    b.send("e");
    const auto& s = b.link.sent;
    ASSERT_GE(s.size(), 2u);
    const int64_t eAt = s[s.size() - 2].atUs;
    EXPECT_EQ(s.back().atUs - eAt, 4000);  // 'E' once the row is erased
    b.address(0x400);
    b.write(filled(0));
    EXPECT_EQ(s.back().atUs - s[s.size() - 2].atUs, 1500);  // 'W' once programmed
    EXPECT_EQ(s[s.size() - 2].atUs - b.link.now, 30);       // 2nd 'w' after the last byte
}

// --- transcript ------------------------------------------------------------------

TEST(Transcript, ReadsAsTheExchangeInTimeOrder) {
    Bench b(quick(2, Mode::Application));
    b.open();
    b.send("p");
    b.send("z");
    const auto& t = b.device.transcript();
    ASSERT_GE(t.size(), 4u);
    for (size_t i = 1; i < t.size(); ++i) {
        EXPECT_LE(t[i - 1].atUs, t[i].atUs);
    }
    const std::string text = b.device.transcriptText();
    EXPECT_NE(text.find("-> 'Q' 0x51  [block: waiting for p]"), std::string::npos) << text;
    EXPECT_NE(text.find("<- 'p' 0x70  [block: waiting for p]"), std::string::npos) << text;
    EXPECT_NE(text.find("-> 'P' 0x50  [block: command]"), std::string::npos) << text;
    EXPECT_NE(text.find("<- 'z' 0x7A  [block: command]  unexpected: no such command"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("port opened"), std::string::npos);
}

}  // namespace
