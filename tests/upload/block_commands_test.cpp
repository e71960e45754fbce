#include "upload/block_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tests/upload/mini_bootloader.h"
#include "tests/upload/upload_fixture.h"

namespace {

using tesmar_test::MiniBootloader;
using tesmar_test::TapPeer;
using tesmar_test::UploadKind;

enum class Op { Write, Read };

// Names a parameterised case by its name field.
struct CaseName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& param) const {
        return param.param.name;
    }
};

constexpr int kAddress = 0x1240;

// A block whose pairs have high bytes above six bits: 0x12, 0xFF first.
std::array<uint8_t, 64> sampleBlock() {
    std::array<uint8_t, 64> block{};
    for (int i = 0; i < 64; ++i) {
        block[i] = static_cast<uint8_t>(0x12 + i * 37);
    }
    block[0] = 0x12;
    block[1] = 0xFF;
    return block;
}

class BlockCommandsTest : public tesmar_test::UploadFixture {
  protected:
    // A window loaded for a device of `family` (row 4: PIC16, row 2: PIC18),
    // its port open on a MiniBootloader behind a tap.
    void start(int family) {
        loadDevice(family == 1 ? 4 : 2, UploadKind::Plain);
        device.emplace(family);
        peer = std::make_unique<TapPeer>(*device);
        attach(*peer);
        openPort();
    }
    int run(Op op, char letter = 'A') {
        writesBefore = line.hostWrites().size();
        readsBefore = line.hostReads().size();
        drainsBefore = host.drainCount();
        offending = '?';
        if (op == Op::Write) {
            return dlg.WriteBlock(kAddress, letter, data.data(), offending);
        }
        return dlg.ReadBlock(kAddress, letter, buffer.data(), offending);
    }
    size_t sent() const { return line.hostWrites().size() - writesBefore; }
    size_t read() const { return line.hostReads().size() - readsBefore; }

    std::optional<MiniBootloader> device;
    std::unique_ptr<TapPeer> peer;
    std::array<uint8_t, 64> data = sampleBlock();
    std::array<uint8_t, 64> buffer{};
    char offending = 0;
    size_t writesBefore = 0;
    size_t readsBefore = 0;
    int64_t drainsBefore = 0;
};

// --- the wire ---------------------------------------------------------------

struct WireCase {
    const char* name;
    int family;
    Op op;
    size_t sent;
    size_t read;
};

class BlockWireTest : public BlockCommandsTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(BlockWireTest, MovesItsBytesEachAloneWithADrainBeforeEach) {
    const WireCase& c = GetParam();
    start(c.family);
    EXPECT_EQ(run(c.op), 0);
    EXPECT_EQ(offending, 0);
    EXPECT_EQ(sent(), c.sent);
    EXPECT_EQ(read(), c.read);
    // One drain before every byte sent, and before every data byte read.
    const size_t dataReads = c.op == Op::Read ? 64 : 0;
    EXPECT_EQ(static_cast<size_t>(host.drainCount() - drainsBefore), c.sent + dataReads);
    // Each byte is its own write call, under the 100 ms limit.
    EXPECT_EQ(line.callCount(serial::SimLine::Call::Write), static_cast<int>(c.sent));
}

INSTANTIATE_TEST_SUITE_P(Counts, BlockWireTest,
                         ::testing::Values(WireCase{"Pic16Write", 1, Op::Write, 69, 8},
                                           WireCase{"Pic18Write", 2, Op::Write, 74, 15},
                                           WireCase{"Pic16Read", 1, Op::Read, 5, 71},
                                           WireCase{"Pic18Read", 2, Op::Read, 5, 71}),
                         CaseName{});

TEST_F(BlockCommandsTest, Pic16WriteSendsTheAddressOnceAndMasksEverySecondByte) {
    start(1);
    const auto before = data;
    ASSERT_EQ(run(Op::Write), 0);
    const std::vector<uint8_t> head = {'a', 0x12, 0x40, 'b', 'w'};
    ASSERT_EQ(device->received.size(), 69u);
    EXPECT_EQ(std::vector<uint8_t>(device->received.begin(), device->received.begin() + 5), head);
    EXPECT_EQ(device->received[5], 0x12);
    EXPECT_EQ(device->received[6], 0x3F);
    for (int i = 0; i < 64; ++i) {
        const uint8_t want = i % 2 == 1 ? (data[i] & 0x3F) : data[i];
        EXPECT_EQ(device->received[5 + i], want) << "data byte " << i;
    }
    EXPECT_EQ(data, before) << "the caller's block was changed";
}

TEST_F(BlockCommandsTest, Pic18WriteErasesFirstAndSendsTheDataAsItIs) {
    start(2);
    const auto before = data;
    ASSERT_EQ(run(Op::Write), 0);
    const std::vector<uint8_t> head = {'a', 0x12, 0x40, 'b', 'e', 'a', 0x12, 0x40, 'b', 'w'};
    ASSERT_EQ(device->received.size(), 74u);
    EXPECT_EQ(std::vector<uint8_t>(device->received.begin(), device->received.begin() + 10), head);
    EXPECT_EQ(std::vector<uint8_t>(device->received.begin() + 10, device->received.end()),
              std::vector<uint8_t>(data.begin(), data.end()));
    EXPECT_EQ(data, before);
}

TEST_F(BlockCommandsTest, ReadReturnsWhatTheDeviceHolds) {
    for (int family : {1, 2}) {
        SCOPED_TRACE(family);
        start(family);
        // A PIC18 row that was never erased only takes the written bits if
        // WriteBlock erases it first.
        device->memory.fill(0x00);
        ASSERT_EQ(run(Op::Write), 0);
        ASSERT_EQ(run(Op::Read), 0);
        for (int i = 0; i < 64; ++i) {
            const uint8_t want = (family == 1 && i % 2 == 1) ? (data[i] & 0x3F) : data[i];
            EXPECT_EQ(buffer[i], want) << "byte " << i;
        }
        dlg.commFile.close();
    }
}

// --- failures -----------------------------------------------------------------

struct FaultCase {
    const char* name;
    int family;
    Op op;
    char command;  // the device's answer to this command...
    int occurrence;
    int index;                    // ...at this position...
    std::optional<uint8_t> byte;  // ...is this byte, or nothing from there on
    int code;
    uint8_t offending;
    char letter = 'A';  // the address answer the caller expects
};

class BlockFaultTest : public BlockCommandsTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BlockFaultTest, EndsWithTheStepsCodeAndTheByteReceived) {
    const FaultCase& c = GetParam();
    start(c.family);
    device->fault(c.command, c.occurrence, c.index, c.byte);
    EXPECT_EQ(run(c.op, c.letter), c.code);
    EXPECT_EQ(static_cast<uint8_t>(offending), c.offending);
    if (c.byte) {
        // Nothing more is read after a wrong answer.
        ASSERT_FALSE(line.hostReads().empty());
        EXPECT_EQ(line.hostReads().back().byte, *c.byte);
    } else {
        // Silence ends the step through the read time-out: 10 s for one byte.
        EXPECT_GE(line.nowMs(), 10'000);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, BlockFaultTest, ::testing::Values(
    FaultCase{"AddressEchoWrong",          1, Op::Write, 'a', 1, 0,  uint8_t{'x'},  13, 'x'},
    FaultCase{"AddressEchoNul",            1, Op::Read,  'a', 1, 0,  uint8_t{0},    13, 0},
    FaultCase{"LowerAnswerForUpper",       1, Op::Write, 'a', 1, 1,  uint8_t{'a'},  14, 'a'},
    FaultCase{"UpperAnswerForLower",       2, Op::Read,  'a', 1, 1,  uint8_t{'A'},  14, 'A', 'a'},
    FaultCase{"CheckHighWrong",            1, Op::Write, 'b', 1, 0,  uint8_t{0x13}, 19, 0x13},
    FaultCase{"CheckLowWrong",             2, Op::Read,  'b', 1, 1,  uint8_t{0x41}, 19, 0x41},
    FaultCase{"CheckEndWrong",             1, Op::Write, 'b', 1, 2,  uint8_t{'b'},  20, 'b'},
    FaultCase{"EraseEchoWrong",            2, Op::Write, 'e', 1, 0,  uint8_t{'E'},  24, 'E'},
    FaultCase{"EraseDoneWrong",            2, Op::Write, 'e', 1, 1,  uint8_t{'e'},  25, 'e'},
    FaultCase{"SecondAddressEchoWrong",    2, Op::Write, 'a', 2, 0,  uint8_t{'b'},  13, 'b'},
    FaultCase{"SecondCheckEndWrong",       2, Op::Write, 'b', 2, 2,  uint8_t{'?'},  20, '?'},
    FaultCase{"WriteEchoWrong",            1, Op::Write, 'w', 1, 0,  uint8_t{'W'},  29, 'W'},
    FaultCase{"WriteSecondWrong",          2, Op::Write, 'w', 1, 1,  uint8_t{'W'},  30, 'W'},
    FaultCase{"WriteDoneWrong",            1, Op::Write, 'w', 1, 2,  uint8_t{'w'},  31, 'w'},
    FaultCase{"ReadEchoWrong",             1, Op::Read,  'r', 1, 0,  uint8_t{'R'},  35, 'R'},
    FaultCase{"ReadEndWrong",              2, Op::Read,  'r', 1, 65, uint8_t{'r'},  36, 'r'},
    FaultCase{"SilentAfterA",              1, Op::Write, 'a', 1, 0,  std::nullopt,  10, 0},
    FaultCase{"SilentAfterAddress",        2, Op::Read,  'a', 1, 1,  std::nullopt,  10, 0},
    FaultCase{"SilentAfterB",              1, Op::Read,  'b', 1, 0,  std::nullopt,  16, 0},
    FaultCase{"SilentBeforeB",             2, Op::Write, 'b', 1, 2,  std::nullopt,  16, 0},
    FaultCase{"EraseNeverDone",            2, Op::Write, 'e', 1, 1,  std::nullopt,  21, 0},
    FaultCase{"SilentAfterW",              1, Op::Write, 'w', 1, 0,  std::nullopt,  26, 0},
    FaultCase{"WriteNeverDone",            2, Op::Write, 'w', 1, 2,  std::nullopt,  26, 0},
    FaultCase{"NothingAfterR",             1, Op::Read,  'r', 1, 0,  std::nullopt,  32, 0},
    FaultCase{"DataStopsHalfway",          2, Op::Read,  'r', 1, 30, std::nullopt,  32, 0},
    FaultCase{"NoClosingR",                1, Op::Read,  'r', 1, 65, std::nullopt,  32, 0}),
    CaseName{});
// clang-format on

TEST_F(BlockCommandsTest, WrongHighAddressByteIsReportedWithoutReadingTheLowByte) {
    start(1);
    device->fault('b', 1, 0, uint8_t{0x99});
    EXPECT_EQ(run(Op::Write), 19);
    EXPECT_EQ(static_cast<uint8_t>(offending), 0x99);
    EXPECT_EQ(read(), 3u) << "'a', the address answer and the wrong high byte";
    EXPECT_EQ(sent(), 4u) << "'a', two address bytes, 'b'";
}

TEST_F(BlockCommandsTest, NothingAfterRIsAComErrorAfterTheReadTimeout) {
    start(2);
    device->fault('r', 1, 0, std::nullopt);
    const int64_t before = line.nowMs();
    EXPECT_EQ(run(Op::Read), 32);
    EXPECT_EQ(offending, 0);
    // One byte under read time-outs of 5000: 5000 x 1 + 5000 ms.
    EXPECT_GE(line.nowMs() - before, 10'000);
    EXPECT_LT(line.nowMs() - before, 10'100);
}

struct LineFaultCase {
    const char* name;
    int family;
    Op op;
    int bytesTaken;  // the line takes this many bytes, then no more
    bool failCall;   // the next write fails instead of timing out
    int code;
};

class BlockLineFaultTest : public BlockCommandsTest,
                           public ::testing::WithParamInterface<LineFaultCase> {};

TEST_P(BlockLineFaultTest, ASendThatFailsOrTimesOutEndsTheStep) {
    const LineFaultCase& c = GetParam();
    start(c.family);
    if (c.failCall) {
        line.failCall(serial::SimLine::Call::Write, c.bytesTaken + 1);
    } else {
        line.refuseWritesAfter(c.bytesTaken);
    }
    EXPECT_EQ(run(c.op), c.code);
    EXPECT_EQ(offending, 0);
    EXPECT_EQ(device->received.size(), static_cast<size_t>(c.bytesTaken));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, BlockLineFaultTest, ::testing::Values(
    LineFaultCase{"CommandNotTaken",          1, Op::Write, 0, false, 12},
    LineFaultCase{"LowAddressByteNotTaken",   1, Op::Read,  2, false, 12},
    LineFaultCase{"CheckNotTaken",            1, Op::Write, 3, false, 18},
    LineFaultCase{"EraseNotTaken",            2, Op::Write, 4, false, 23},
    LineFaultCase{"SecondAddressNotTaken",    2, Op::Write, 5, false, 12},
    LineFaultCase{"DataByteNotTaken",         1, Op::Write, 30, false, 28},
    LineFaultCase{"ReadNotTaken",             2, Op::Read,  4, false, 34},
    LineFaultCase{"CommandWriteFails",        1, Op::Write, 0, true,  10},
    LineFaultCase{"CheckWriteFails",          2, Op::Read,  3, true,  16},
    LineFaultCase{"EraseWriteFails",          2, Op::Write, 4, true,  21},
    LineFaultCase{"DataWriteFails",           2, Op::Write, 20, true, 26},
    LineFaultCase{"ReadWriteFails",           1, Op::Read,  4, true,  32}),
    CaseName{});
// clang-format on

// --- stop -----------------------------------------------------------------------

struct StopCase {
    const char* name;
    int family;
    Op op;
    int afterBytes;  // the user presses Stop once the device has this many bytes; 0 = before
    int code;
};

class BlockStopTest : public BlockCommandsTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(BlockStopTest, IsSeenBeforeTheNextByteWithTheCodeOfThatStep) {
    const StopCase& c = GetParam();
    start(c.family);
    if (c.afterBytes == 0) {
        dlg.stopRequested = 1;
    } else {
        peer->onByte = [this, &c](uint8_t, int64_t) {
            if (static_cast<int>(device->received.size()) + 1 == c.afterBytes) {
                requestStop();
            }
        };
    }
    EXPECT_EQ(run(c.op), c.code);
    EXPECT_EQ(offending, 0);
    EXPECT_EQ(device->received.size(), static_cast<size_t>(c.afterBytes));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, BlockStopTest, ::testing::Values(
    StopCase{"OnEntryPic16Write",             1, Op::Write, 0,  11},
    StopCase{"OnEntryPic18Write",             2, Op::Write, 0,  11},
    StopCase{"OnEntryPic16Read",              1, Op::Read,  0,  11},
    StopCase{"OnEntryPic18Read",              2, Op::Read,  0,  11},
    StopCase{"BeforeTheAddressBytes",         1, Op::Write, 1,  11},
    StopCase{"BeforeCheck",                   1, Op::Read,  3,  17},
    StopCase{"BeforeErase",                   2, Op::Write, 4,  22},
    StopCase{"BeforeTheSecondSendAddress",    2, Op::Write, 5,  11},
    StopCase{"BeforeTheSecondCheckAddress",   2, Op::Write, 8,  17},
    StopCase{"BeforeTheFirstDataByte",        1, Op::Write, 5,  27},
    StopCase{"InTheMiddleOfTheData",          2, Op::Write, 40, 27},
    StopCase{"BeforeTheFirstByteRead",        1, Op::Read,  5,  33}),
    CaseName{});
// clang-format on

// --- the result-code table ------------------------------------------------------

TEST(ResultCodeTable, CoversTenToThirtySixExceptFifteen) {
    std::vector<int> codes;
    for (const auto& row : upload::resultCodeTable()) {
        codes.push_back(row.code);
    }
    std::vector<int> want;
    for (int code = 10; code <= 36; ++code) {
        if (code != 15) {
            want.push_back(code);
        }
    }
    EXPECT_EQ(codes, want);
    for (int code : {0, 15, 37, 99, 110}) {
        EXPECT_EQ(upload::findResultCode(code), nullptr);
        EXPECT_EQ(upload::resultClass(code), upload::ResultClass::Other);
    }
}

TEST(ResultCodeTable, EveryCodeHasItsStatusTextAndReaction) {
    constexpr auto Serial = upload::ResultClass::SerialFailure;
    constexpr auto Stop = upload::ResultClass::Stop;
    constexpr auto Protocol = upload::ResultClass::ProtocolFailure;
    struct Row {
        int code;
        const char* text;  // with the prefix "Error - " and the byte 'Z'
        upload::ResultClass reaction;
    };
    // clang-format off
    const Row rows[] = {
        {10, "Error -  SendAddress Com error", Serial},
        {11, "Error -  SendAddress Stopped by user", Stop},
        {12, "Error -  SendAddress Com Write timeout", Serial},
        {13, "Error -  SendAddress Wrong reply 'Z' 0x5A for 'a'", Protocol},
        {14, "Error -  SendAddress Bad memory location err'Z'", Protocol},
        {16, "Error -  CheckAddress Com error", Serial},
        {17, "Error -  CheckAddress Stopped by user", Stop},
        {18, "Error -  CheckAddress Com Write timeout", Serial},
        {19, "Error -  CheckAddress Bad value err'Z'", Protocol},
        {20, "Error -  CheckAddress Wrong reply 'Z' 0x5A for 'B'", Protocol},
        {21, "Error -  Erase Com error", Serial},
        {22, "Error -  Erase Stopped by user", Stop},
        {23, "Error -  Erase Com Write timeout", Serial},
        {24, "Error -  Erase Wrong reply 'Z' 0x5A for 'e'", Protocol},
        {25, "Error -  Erase Wrong reply 'Z' 0x5A for 'E'", Protocol},
        {26, "Error -  Write Com error", Serial},
        {27, "Error -  Write Stopped by user", Stop},
        {28, "Error -  Write Com Write timeout", Serial},
        {29, "Error -  Write Wrong reply 'Z' 0x5A for 1st 'w'", Protocol},
        {30, "Error -  Write Wrong reply 'Z' 0x5A for 2nd 'w'", Protocol},
        {31, "Error -  Write Wrong reply 'Z' 0x5A for 'W'", Protocol},
        {32, "Error -  Read Com error", Serial},
        {33, "Error -  Read Stopped by user", Stop},
        {34, "Error -  Read Com Write timeout", Serial},
        {35, "Error -  Read Wrong reply 'Z' 0x5A for 'r'", Protocol},
        {36, "Error -  Read Wrong reply 'Z' 0x5A for 'R'", Protocol},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(upload::formatResultMessage(row.code, "Error - ", 'Z'), row.text);
        EXPECT_EQ(upload::resultClass(row.code), row.reaction);
    }
}

struct MessageCase {
    int code;
    const char* prefix;
    char offending;
    const char* text;
};

TEST(ResultCodeTable, MessagesAreFormattedWithPrefixAndOffendingByte) {
    // clang-format off
    const MessageCase cases[] = {
        {10, "Error - ",              0,    "Error -  SendAddress Com error"},
        {11, "Error - Write test - ", 0,    "Error - Write test -  SendAddress Stopped by user"},
        {13, "Error - ",              'x',  "Error -  SendAddress Wrong reply 'x' 0x78 for 'a'"},
        {13, "Error - ",              '\n', "Error -  SendAddress Wrong reply '\n' 0x A for 'a'"},
        {13, "Error - ",              0,    "Error -  SendAddress Wrong reply '' 0x 0 for 'a'"},
        {14, "Error - ",              'a',  "Error -  SendAddress Bad memory location err'a'"},
        {19, "Error - ",              '\x99', "Error -  CheckAddress Bad value err'\x99'"},
        {20, "Error - ",              '\xE9', "Error -  CheckAddress Wrong reply '\xE9' 0xE9 for 'B'"},
        {25, "Error - ",              'e',  "Error -  Erase Wrong reply 'e' 0x65 for 'E'"},
        {28, "Error - ",              0,    "Error -  Write Com Write timeout"},
        {29, "Error - ",              'W',  "Error -  Write Wrong reply 'W' 0x57 for 1st 'w'"},
        {30, "Error - ",              'W',  "Error -  Write Wrong reply 'W' 0x57 for 2nd 'w'"},
        {31, "Error - ",              'w',  "Error -  Write Wrong reply 'w' 0x77 for 'W'"},
        {33, "Error - ",              0,    "Error -  Read Stopped by user"},
        {36, "Error - Write test - ", 'r',  "Error - Write test -  Read Wrong reply 'r' 0x72 for 'R'"},
        {0,  "Error - ",              0,    "Error -  Unknown error"},
        {15, "Error - ",              'x',  "Error -  Unknown error"},
        {136, "Error - ",             'x',  "Error -  Unknown error"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(upload::formatResultMessage(c.code, c.prefix, c.offending), c.text);
    }
}

}  // namespace
