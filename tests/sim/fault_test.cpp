// Each injected fault does what it says, and only where it says.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/instrument.h"
#include "sim_bench.h"

namespace {

using sim::Config;
using sim::Fault;
using sim::Mode;
using sim::Step;
using sim_test::Bench;
using sim_test::block;
using sim_test::bytes;
using sim_test::filled;
using sim_test::shown;

Bench started(int row, std::vector<Fault> faults, Mode mode = Mode::Application) {
    Config c = Config::forRow(row, mode);
    c.timing.announceDelayUs = 1000;
    c.faults = std::move(faults);
    return Bench(c);
}

// A session on row 2, as a host runs it: groups of steps (a block written,
// a block read, a sequence command), each step's bytes sent and its answer
// recorded. Like the host, a group ends at the first answer that is not the
// one a sound device gives; its remaining steps are recorded as "-".
struct Step2 {
    std::string host;
    std::string clean;  // the sound device's answer
};
using Group = std::vector<Step2>;

std::string addr(int a) {
    return bytes({(a >> 8) & 0xFF, a & 0xFF});
}

std::vector<Group> session() {
    std::vector<Group> groups;
    groups.push_back({{"", "Q"}});
    groups.push_back({{"p", "P"}});
    for (int a : {0x400, 0x440}) {
        const auto blk = block(static_cast<uint8_t>(a >> 4));
        const std::string check = addr(a) + "B";
        groups.push_back({{"a", "a"},
                          {addr(a), "A"},
                          {"b", check},
                          {"e", "eE"},
                          {"a", "a"},
                          {addr(a), "A"},
                          {"b", check},
                          {"w", "w"},
                          {std::string(blk.begin(), blk.end()), "wW"}});
    }
    for (int a : {0x400, 0x440}) {
        groups.push_back({{"a", "a"}, {addr(a), "A"}, {"b", addr(a) + "B"}, {"r", "r.R"}});
    }
    groups.push_back({{"t", "QV1210T"}});
    groups.push_back({{"?", "?"}});
    groups.push_back({{"f", "F"}});
    return groups;
}

// Index of each step: 0 announcement, 1 'p', 2-10 write 0x400 (a, address,
// b, e, a, address, b, w, data), 11-19 write 0x440, 20-23 read 0x400 (a,
// address, b, r), 24-27 read 0x440, 28 't', 29 '?', 30 'f'.
std::vector<std::string> run(Bench& b) {
    std::vector<std::string> out;
    for (const Group& g : session()) {
        bool abandoned = false;
        for (const Step2& step : g) {
            if (abandoned) {
                out.push_back("-");
                continue;
            }
            std::string got = step.host.empty() ? b.open() : b.send(step.host);
            if (got.size() == 66 && got.front() == 'r') {
                got = std::string{got.front(), '.', got.back()};  // the letters around the data
            }
            abandoned = got != step.clean;
            out.push_back(shown(got));
        }
    }
    return out;
}

// The answers a case expects: the sound ones with the case's changes; from
// silentFrom on, nothing; and "-" for the steps a host no longer sends.
std::vector<std::string> expectedRun(const std::vector<std::pair<size_t, std::string>>& changed,
                                     int silentFrom) {
    std::vector<std::string> out;
    size_t i = 0;
    for (const Group& g : session()) {
        bool abandoned = false;
        for (const Step2& step : g) {
            std::string answer = step.clean;
            for (const auto& [index, a] : changed) {
                if (index == i) {
                    answer = a;
                }
            }
            if (silentFrom >= 0 && static_cast<int>(i) >= silentFrom &&
                !std::any_of(changed.begin(), changed.end(),
                             [i](const auto& c) { return c.first == i; })) {
                answer = "";
            }
            out.push_back(abandoned ? "-" : shown(answer));
            abandoned = abandoned || answer != step.clean;
            ++i;
        }
    }
    return out;
}

struct FaultCase {
    const char* name;
    Fault fault;
    std::vector<std::pair<size_t, std::string>> changed;  // answers that differ
    int silentFrom = -1;  // from this step on the device answers nothing
};

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, ChangeOnlyTheirAnswer) {
    const FaultCase& c = GetParam();
    Bench b = started(2, {c.fault});
    EXPECT_EQ(run(b), expectedRun(c.changed, c.silentFrom)) << b.device.transcriptText();
    EXPECT_NE(b.device.transcriptText().find("fault:"), std::string::npos);
}

TEST(Faults, WithoutFaultsTheSessionIsClean) {
    Bench b = started(2, {});
    EXPECT_EQ(run(b), expectedRun({}, -1));
    EXPECT_EQ(b.device.transcriptText().find("fault:"), std::string::npos);
    EXPECT_EQ(b.device.counters().unexpectedBytes, 0);
}

const FaultCase kFaultCases[] = {
    {"WrongAddressEchoOnTheThirdA", Fault::wrongAnswer(Step::AddressEcho, 'Z', 3), {{11, "Z"}}},
    {"WrongAddressAnswerOnlyAtItsBlock",
     Fault::wrongAnswer(Step::AddressAnswer, 'a', 1, 0x440),
     {{12, "a"}}},
    {"WrongAddressAnswerEveryTime",
     Fault::wrongAnswer(Step::AddressAnswer, 'a', 0),
     {{3, "a"}, {12, "a"}, {21, "a"}, {25, "a"}}},
    {"WrongCheckHighByte", Fault::wrongAnswer(Step::CheckHigh, 0x07, 1), {{4, bytes({7})}}},
    {"WrongCheckLowByte", Fault::wrongAnswer(Step::CheckLow, 0x01, 2), {{8, bytes({4, 1})}}},
    {"WrongB", Fault::wrongAnswer(Step::CheckEnd, 'b', 1), {{4, bytes({4, 0, 'b'})}}},
    {"WrongEraseEcho", Fault::wrongAnswer(Step::EraseEcho, 'E', 1), {{5, "E"}}},
    {"WrongE", Fault::wrongAnswer(Step::EraseDone, 'e', 2), {{14, "ee"}}},
    {"WrongFirstW", Fault::wrongAnswer(Step::WriteEcho, 'W', 1), {{9, "W"}}},
    {"WrongSecondWOnTheSecondBlock", Fault::wrongAnswer(Step::WriteSecond, 'x', 2), {{19, "x"}}},
    {"WrongW", Fault::wrongAnswer(Step::WriteDone, 'w', 1), {{10, "ww"}}},
    {"WrongReadEcho", Fault::wrongAnswer(Step::ReadEcho, 'R', 2), {{27, "R"}}},
    {"WrongR", Fault::wrongAnswer(Step::ReadEnd, 'r', 1), {{23, "r.r"}}},
    {"WrongP", Fault::wrongAnswer(Step::StartReply, 'Q', 1), {{1, "Q"}}},
    {"WrongT", Fault::wrongAnswer(Step::TypecodeEnd, 't', 1), {{28, "QV1210t"}}},
    {"WrongF", Fault::wrongAnswer(Step::FinishReply, 'X', 1), {{30, "X"}}},
    {"WrongKeepAliveAnswer", Fault::wrongAnswer(Step::KeepAlive, 0, 1), {{29, bytes({0})}}},
    {"WrongAnnouncement", Fault::wrongAnswer(Step::Announcement, 'q', 1), {{0, "q"}}},
    {"SilentFromTheSecondErase", Fault::silence(Step::EraseEcho, 2), {}, 14},
    {"SilentFromTheFirstW", Fault::silence(Step::WriteDone, 1), {{10, "w"}}, 10},
    {"SilentFromTheReadData", Fault::silence(Step::ReadData, 1), {{23, "r"}}, 23},
    {"SilentFromTheTypecode", Fault::silence(Step::Typecode, 1), {}, 28},
    {"SilentFromTheStart", Fault::silence(Step::Announcement, 1), {}, 0},
    {"TypecodeCutShort", Fault::typecodeReply("QV12"), {{28, "QV12T"}}},
    {"TypecodeDiffers", Fault::typecodeReply("QV1211"), {{28, "QV1211T"}}},
};
INSTANTIATE_TEST_SUITE_P(Sim, Faults, ::testing::ValuesIn(kFaultCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Faults, SilenceFromTheStartSendsNothingAtAll) {
    Bench b = started(2, {Fault::silence(Step::Announcement, 1)});
    run(b);
    EXPECT_TRUE(b.link.sent.empty());
    EXPECT_TRUE(b.device.counters().silenced);
}

TEST(Faults, AfterAWrongByteTheCommandIsDroppedAndTheNextOneWorks) {
    // The 2nd 'w' is wrong: the block is not programmed, and a fresh
    // command sequence is answered normally.
    Bench b = started(2, {Fault::wrongAnswer(Step::WriteSecond, '!', 1)});
    b.open();
    b.send("p");
    EXPECT_EQ(b.writeBlock(0x800, filled(0x00)).substr(12), "w!");
    EXPECT_EQ(b.readBlock(0x800), filled(0xFF));
    EXPECT_EQ(b.writeBlock(0x800, filled(0x00)).substr(12), "wwW");
    EXPECT_EQ(b.readBlock(0x800), filled(0x00));
    EXPECT_EQ(b.device.counters().blocksWritten, 1);
}

TEST(Faults, ATypecodeOverriddenInTheConfiguration) {
    Config c = Config::forRow(2);
    c.device.typecode = "JT2310";
    Bench b(c);
    b.open();
    b.send("p");
    EXPECT_EQ(b.send("t"), "JT2310T");
}

// --- the query protocol -------------------------------------------------------------

// Three two-word records and the end record; the answers as one string
// each.
std::vector<std::string> threeRecords(Bench& b) {
    std::vector<std::string> out;
    std::string start = b.open();
    start += b.send("P");
    out.push_back(start);
    for (const std::string line :
         {":0400000001340A2895", ":0400040002340B288F", ":0400080003340C2889", ":00000001FF"}) {
        std::string answers = b.send(":");
        answers += b.send(line.substr(1, 2));
        answers += b.send(line.substr(3, 4));
        answers += b.send(line.substr(7, 2));
        if (line.substr(7, 2) == "00") {
            answers += b.send(line.substr(9, 4));
            answers += b.send(line.substr(13, 4));
            answers += b.send(line.substr(17, 2));
        }
        out.push_back(answers);
    }
    return out;
}

TEST(QueryFaults, ChecksumAndEndErrorsAtTheirRecord) {
    {
        Bench b = started(1, {});
        EXPECT_EQ(threeRecords(b),
                  (std::vector<std::string>{"qp", ":natddfl", ":natddfl", ":natddfl", ":nas"}));
        EXPECT_EQ(b.device.queryWords().size(), 6u);
    }
    {
        Bench b = started(1, {Fault::recordChecksumError(2)});
        EXPECT_EQ(threeRecords(b),
                  (std::vector<std::string>{"qp", ":natddfl", ":natdde", ":natddfl", ":nas"}));
        EXPECT_EQ(b.device.queryWords().count(2), 0u);  // record 2 was not programmed
        EXPECT_EQ(b.device.queryWords().count(4), 1u);
    }
    {
        Bench b = started(1, {Fault::recordEndError(3)});
        EXPECT_EQ(threeRecords(b),
                  (std::vector<std::string>{"qp", ":natddfl", ":natddfl", ":natddfe", ":nas"}));
    }
    {
        Bench b = started(1, {Fault::recordEndError(4)});  // the end record
        EXPECT_EQ(threeRecords(b).back(), ":nae");
    }
    {
        Bench b = started(1, {Fault::wrongAnswer(Step::RecordWord, 'x', 3)});
        EXPECT_EQ(threeRecords(b)[2], ":natx");  // the first word of record 2
    }
}

// --- read-back, timing, the line ---------------------------------------------------

TEST(Faults, ReadBackDiffersOnceOrAlways) {
    for (bool always : {false, true}) {
        SCOPED_TRACE(always);
        Bench b = started(2, {Fault::readBackDiffers(0x845, 0x10, always)});
        b.open();
        b.send("p");
        b.writeBlock(0x840, filled(0x55));
        std::vector<uint8_t> wrong = filled(0x55);
        wrong[5] = 0x45;
        EXPECT_EQ(b.readBlock(0x840), wrong);
        EXPECT_EQ(b.readBlock(0x840), always ? wrong : filled(0x55));
        EXPECT_EQ(b.readBlock(0x800), filled(0xFF));  // other blocks read true
        EXPECT_EQ(b.device.memory()[0x845], 0x55);    // the memory itself is right
    }
}

TEST(Faults, SlowEraseAndSlowWrite) {
    Bench b = started(2, {Fault::slowErase(11'000'000), Fault::slowWrite(7'000'000)});
    b.open();
    b.send("p");
    b.address(0x400);
    b.send("e");
    const auto& s = b.link.sent;
    EXPECT_EQ(s.back().atUs - s[s.size() - 2].atUs, 11'000'000);
    b.address(0x400);
    b.write(filled(1));
    EXPECT_EQ(s.back().atUs - s[s.size() - 2].atUs, 7'000'000);
}

TEST(Faults, TheLineDropsAtAStep) {
    Bench b = started(2, {Fault::hangUp(Step::WriteDone, 2, -1, 500)});
    b.open();
    b.send("p");
    EXPECT_EQ(b.writeBlock(0x400, filled(1)).substr(12), "wwW");
    EXPECT_EQ(b.link.hangUpUs, -1);
    EXPECT_EQ(b.writeBlock(0x440, filled(1)).substr(12), "ww");  // no 'W'
    EXPECT_GT(b.link.hangUpUs, 0);
    EXPECT_EQ(b.link.hangUpUs, b.link.sent.back().atUs + b.device.config().timing.writeUs + 500);
    EXPECT_EQ(b.send("t"), "");
    EXPECT_TRUE(b.device.counters().hungUp);
}

TEST(Faults, TheLineDropsAfterSoManyHostBytes) {
    Bench b = started(2, {Fault::hangUpAfterHostBytes(4)});
    b.open();
    EXPECT_EQ(b.send("p"), "P");
    EXPECT_EQ(b.send(bytes({'a', 4})), "a");
    EXPECT_EQ(b.link.hangUpUs, -1);
    EXPECT_EQ(b.send(bytes({0})), "");  // the 4th byte: the line is gone
    EXPECT_EQ(b.link.hangUpUs, b.link.now);
}

}  // namespace
