// The simulated line's own rules: the read and write time-outs, pacing,
// ordering, hang-up, injected failures. CommFile's tests rely on them.

#include "serial/sim_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "serial/scripted_peer.h"

namespace serial {
namespace {

constexpr int64_t kMs = 1000;

struct Scheduled {
    uint8_t byte;
    int64_t atUs;
};

class SimLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        line.attach(&peer);
        ASSERT_TRUE(line.open("COM1"));
    }
    void schedule(const std::vector<Scheduled>& bytes) {
        for (const Scheduled& b : bytes) {
            line.link().sendToHost(b.byte, b.atUs);
        }
    }
    void setSpeed(uint32_t baud) {
        LineSettings s;
        ASSERT_TRUE(line.getSettings(s));
        s.baudRate = baud;
        ASSERT_TRUE(line.setSettings(s));
    }

    ScriptedPeer peer;
    SimLine line;
};

// --- reads under the time-outs -----------------------------------------------

struct ReadCase {
    const char* name;
    Timeouts timeouts;
    int64_t startUs;  // the clock when the read starts
    int32_t count;
    std::vector<Scheduled> bytes;
    int32_t expectedGot;
    int64_t expectedReturnUs;
};

const ReadCase kReadCases[] = {
    // The interval limit is not armed before the first byte.
    {"IntervalNotArmedBeforeFirstByte", {10, 0, 0, 0, 0}, 0, 1, {{'a', 500 * kMs}}, 1, 500 * kMs},
    {"IntervalStartsAtFirstByte", {10, 0, 0, 0, 0}, 0, 2, {{'a', 500 * kMs}}, 1, 510 * kMs},
    // Each byte re-arms it: gaps of 9 ms never end a 10 ms interval.
    {"IntervalReArmedByEachByte",
     {10, 0, 0, 0, 0},
     0,
     10,
     {{'a', 5 * kMs}, {'b', 14 * kMs}, {'c', 23 * kMs}, {'d', 32 * kMs}},
     4,
     42 * kMs},
    {"IntervalEndsAtLongGap",
     {10, 0, 0, 0, 0},
     0,
     3,
     {{'a', 5 * kMs}, {'b', 16 * kMs}},
     1,
     15 * kMs},
    {"ByteExactlyAtIntervalIsTaken",
     {10, 0, 0, 0, 0},
     0,
     2,
     {{'a', 0}, {'b', 10 * kMs}},
     2,
     10 * kMs},
    // The total limit is multiplier * n + constant from the start of the read.
    {"TotalDeadline", {0, 2, 10, 0, 0}, 0, 3, {{'a', 1 * kMs}, {'b', 20 * kMs}}, 1, 16 * kMs},
    {"TotalDeadlineBeatsInterval",
     {100, 2, 10, 0, 0},
     0,
     3,
     {{'a', 1 * kMs}, {'b', 50 * kMs}},
     1,
     16 * kMs},
    {"TotalDeadlineNothingCame", {0, 5000, 5000, 0, 0}, 0, 1, {}, 0, 10000 * kMs},
    {"TotalFixedAtStartOfLateRead",
     {0, 0, 30, 0, 0},
     100 * kMs,
     2,
     {{'a', 120 * kMs}},
     1,
     130 * kMs},
    // All n bytes: the read returns when the last one came, not at a limit.
    {"AllBytesReturnAtLastArrival",
     {5000, 5000, 5000, 0, 0},
     0,
     3,
     {{'a', 1 * kMs}, {'b', 2 * kMs}, {'c', 3 * kMs}, {'d', 4 * kMs}},
     3,
     3 * kMs},
    // Bytes already waiting count from the start of the read for the interval.
    {"WaitingBytesArmIntervalAtStart",
     {10, 0, 0, 0, 0},
     100 * kMs,
     5,
     {{'a', 0}, {'b', 1 * kMs}, {'c', 2 * kMs}},
     3,
     110 * kMs},
    // Interval MAXDWORD with both totals 0: at once, with what is there.
    {"MaxIntervalReturnsAtOnce",
     {kMaxDword, 0, 0, 0, 0},
     10 * kMs,
     4,
     {{'a', 0}, {'b', 10 * kMs}, {'c', 11 * kMs}},
     2,
     10 * kMs},
    {"MaxIntervalNothingThere", {kMaxDword, 0, 0, 0, 0}, 0, 1, {{'a', 1}}, 0, 0},
    // No limits at all: waits for all n bytes however long they take.
    {"NoLimitsWaitsForAll",
     {0, 0, 0, 0, 0},
     0,
     2,
     {{'a', 0}, {'b', 3600000 * kMs}},
     2,
     3600000 * kMs},
    {"ZeroCountReturnsAtOnce", {0, 0, 0, 0, 0}, 0, 0, {{'a', 5 * kMs}}, 0, 0},
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class SimLineReadTest : public SimLineTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SimLineReadTest, ReturnsCountAtTime) {
    const ReadCase& c = GetParam();
    ASSERT_TRUE(line.setTimeouts(c.timeouts));
    schedule(c.bytes);
    line.advanceToUs(c.startUs);
    uint8_t buffer[16] = {};
    int32_t got = -1;
    ASSERT_TRUE(line.read(buffer, c.count, got));
    EXPECT_EQ(got, c.expectedGot);
    EXPECT_EQ(line.nowUs(), c.expectedReturnUs);
    for (int32_t i = 0; i < got; ++i) {
        EXPECT_EQ(buffer[i], c.bytes[static_cast<size_t>(i)].byte);
    }
    ASSERT_EQ(line.hostReads().size(), static_cast<size_t>(got));
    for (const SimLine::Transfer& t : line.hostReads()) {
        EXPECT_EQ(t.atUs, c.expectedReturnUs);  // a byte counts as read when its read returns
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, SimLineReadTest, ::testing::ValuesIn(kReadCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SimLineTest, TickCountIsVirtualMilliseconds) {
    line.advanceToUs(12'345'678);
    EXPECT_EQ(line.tickCount(), 12345u);
    line.advanceToUs(1'000);  // never back
    EXPECT_EQ(line.nowUs(), 12'345'678);
}

TEST_F(SimLineTest, BytesReachHostInOrderSent) {
    ASSERT_TRUE(line.setTimeouts({0, 0, 100, 0, 0}));
    schedule({{'a', 50 * kMs}, {'b', 20 * kMs}});
    uint8_t buffer[4] = {};
    int32_t got = 0;
    ASSERT_TRUE(line.read(buffer, 1, got));
    EXPECT_EQ(got, 1);
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(line.nowUs(), 50 * kMs);  // 'b' could not overtake 'a'
    ASSERT_TRUE(line.read(buffer, 1, got));
    EXPECT_EQ(buffer[0], 'b');
    EXPECT_EQ(line.nowUs(), 50 * kMs);
}

TEST_F(SimLineTest, ReadThatCouldNeverReturnAborts) {
    ASSERT_TRUE(line.setTimeouts({0, 0, 0, 0, 0}));
    uint8_t buffer[2] = {};
    int32_t got = 0;
    EXPECT_DEATH(line.read(buffer, 1, got), "would never return");
}

TEST_F(SimLineTest, EndlessReadLoopAbortsAtHorizon) {
    line.setHorizonUs(60 * 1000 * kMs);
    ASSERT_TRUE(line.setTimeouts({5000, 5000, 5000, 0, 0}));
    uint8_t buffer[2] = {};
    int32_t got = 0;
    EXPECT_DEATH(
        {
            while (true) {
                line.read(buffer, 1, got);
            }
        },
        "past the horizon");
}

// --- writes --------------------------------------------------------------------

TEST_F(SimLineTest, WriteHandsBytesToPeerAtOnceAndReturns) {
    line.advanceToUs(7 * kMs);
    int32_t written = 0;
    const uint8_t bytes[] = {'x', 'y'};
    ASSERT_TRUE(line.write(bytes, 2, written));
    EXPECT_EQ(written, 2);
    EXPECT_EQ(line.nowUs(), 7 * kMs);
    EXPECT_EQ(peer.received(), "xy");
    EXPECT_EQ(peer.receivedAtUs(), (std::vector<int64_t>{7 * kMs, 7 * kMs}));
    EXPECT_EQ(line.writtenText(), "xy");
}

TEST_F(SimLineTest, RefusedWriteReturnsShortAfterWholeWriteTimeout) {
    ASSERT_TRUE(line.setTimeouts({0, 0, 0, 10, 100}));
    line.refuseWritesAfter(2);
    const uint8_t bytes[] = {'1', '2', '3', '4', '5'};
    int32_t written = 0;
    ASSERT_TRUE(line.write(bytes, 5, written));
    EXPECT_EQ(written, 2);
    EXPECT_EQ(line.nowUs(), 150 * kMs);  // 10 * 5 + 100
    EXPECT_EQ(peer.received(), "12");    // the rest is never sent
    ASSERT_TRUE(line.write(bytes, 1, written));
    EXPECT_EQ(written, 0);
    EXPECT_EQ(line.nowUs(), 260 * kMs);
    line.refuseWritesAfter(-1);
    ASSERT_TRUE(line.write(bytes, 1, written));
    EXPECT_EQ(written, 1);
}

TEST_F(SimLineTest, RefusedWriteWithoutTimeoutAborts) {
    line.refuseWritesAfter(0);
    const uint8_t byte = 'z';
    int32_t written = 0;
    EXPECT_DEATH(line.write(&byte, 1, written), "would never return");
}

// --- pacing ------------------------------------------------------------------

TEST_F(SimLineTest, PacingAt115200TakesTenBitTimesPerByteEachWay) {
    line.setPacing(true);
    setSpeed(115200);
    line.advanceToUs(1000 * kMs);
    std::vector<uint8_t> block(100, 0x55);
    int32_t written = 0;
    ASSERT_TRUE(line.write(block.data(), 100, written));
    EXPECT_EQ(written, 100);
    EXPECT_EQ(line.nowUs(), 1000 * kMs);  // a write does not wait for the wire
    const auto& at = peer.receivedAtUs();
    ASSERT_EQ(at.size(), 100u);
    EXPECT_EQ(at[0] - 1000 * kMs, 87);     // 86.8 us, rounded up
    EXPECT_EQ(at[1] - 1000 * kMs, 174);    // 173.6
    EXPECT_EQ(at[99] - 1000 * kMs, 8681);  // 100 byte times, no rounding build-up

    // The far end's bytes: three sent at once follow one another on the wire.
    schedule({{'a', 2000 * kMs}, {'b', 2000 * kMs}, {'c', 2000 * kMs}});
    ASSERT_TRUE(line.setTimeouts({0, 0, 5000, 0, 0}));
    uint8_t buffer[4] = {};
    int32_t got = 0;
    ASSERT_TRUE(line.read(buffer, 1, got));
    EXPECT_EQ(line.nowUs(), 2000 * kMs + 87);
    ASSERT_TRUE(line.read(buffer, 2, got));
    EXPECT_EQ(got, 2);
    EXPECT_EQ(line.nowUs(), 2000 * kMs + 261);
}

TEST_F(SimLineTest, PacedWriteQueuesBehindTheBytesStillOnTheWire) {
    line.setPacing(true);
    setSpeed(9600);  // 1041.7 us a byte
    const uint8_t a = 'a';
    int32_t written = 0;
    ASSERT_TRUE(line.write(&a, 1, written));
    line.advanceToUs(500);
    ASSERT_TRUE(line.write(&a, 1, written));  // the first is still on the wire
    line.advanceToUs(10 * kMs);
    ASSERT_TRUE(line.write(&a, 1, written));  // the wire is idle again
    EXPECT_EQ(peer.receivedAtUs(), (std::vector<int64_t>{1042, 2084, 10 * kMs + 1042}));
}

TEST_F(SimLineTest, WithoutPacingBytesTakeNoTime) {
    setSpeed(115200);
    schedule({{'a', 3 * kMs}, {'b', 3 * kMs}});
    ASSERT_TRUE(line.setTimeouts({0, 0, 100, 0, 0}));
    uint8_t buffer[4] = {};
    int32_t got = 0;
    ASSERT_TRUE(line.read(buffer, 2, got));
    EXPECT_EQ(got, 2);
    EXPECT_EQ(line.nowUs(), 3 * kMs);
}

// --- hang-up -----------------------------------------------------------------

TEST_F(SimLineTest, HangUpFailsWaitingReadThenEveryCall) {
    ASSERT_TRUE(line.setTimeouts({0, 5000, 5000, 0, 0}));
    schedule({{'a', 1 * kMs}});
    line.link().hangUp(2500 * kMs);
    uint8_t buffer[4] = {};
    int32_t got = 0;
    ASSERT_TRUE(line.read(buffer, 1, got));  // came before the line dropped
    EXPECT_EQ(got, 1);
    EXPECT_FALSE(line.read(buffer, 1, got));
    EXPECT_EQ(line.nowUs(), 2500 * kMs);  // failed when the line dropped, not at the time-out
    EXPECT_FALSE(line.read(buffer, 1, got));
    const uint8_t byte = 'x';
    int32_t written = 0;
    EXPECT_FALSE(line.write(&byte, 1, written));
    EXPECT_EQ(line.nowUs(), 2500 * kMs);
    line.close();
    EXPECT_FALSE(line.open("COM1"));  // the adapter is gone
}

TEST_F(SimLineTest, HangUpDuringRefusedWriteFailsThen) {
    ASSERT_TRUE(line.setTimeouts({0, 0, 0, 100, 100}));
    line.refuseWritesAfter(0);
    line.link().hangUp(50 * kMs);
    const uint8_t byte = 'x';
    int32_t written = 0;
    EXPECT_FALSE(line.write(&byte, 1, written));
    EXPECT_EQ(line.nowUs(), 50 * kMs);
}

TEST_F(SimLineTest, PeerHangsUpOnAByte) {
    peer.hangUpOn('!', 3 * kMs);
    ASSERT_TRUE(line.setTimeouts({0, 0, 1000, 0, 0}));
    const uint8_t byte = '!';
    int32_t written = 0;
    ASSERT_TRUE(line.write(&byte, 1, written));
    uint8_t buffer[2] = {};
    int32_t got = 0;
    EXPECT_FALSE(line.read(buffer, 1, got));
    EXPECT_EQ(line.nowUs(), 3 * kMs);
}

// --- open, close, discard, injected failures ---------------------------------

TEST_F(SimLineTest, OpenOnlyKnownPortsAndOnlyOnce) {
    EXPECT_FALSE(line.open("COM1"));  // already open
    line.close();
    EXPECT_EQ(peer.closes(), 1);
    EXPECT_FALSE(line.open("COM2"));
    line.setPorts({"COM2"});
    EXPECT_TRUE(line.open("COM2"));
    EXPECT_EQ(peer.opens(), 2);
    EXPECT_EQ(line.openCount(), 2);
}

TEST_F(SimLineTest, ClosedLineRefusesEveryCall) {
    line.close();
    LineSettings s;
    Timeouts t;
    uint8_t buffer[2] = {};
    int32_t n = 0;
    EXPECT_FALSE(line.getSettings(s));
    EXPECT_FALSE(line.setSettings(s));
    EXPECT_FALSE(line.getTimeouts(t));
    EXPECT_FALSE(line.setTimeouts(t));
    EXPECT_FALSE(line.read(buffer, 1, n));
    EXPECT_FALSE(line.write(buffer, 1, n));
    EXPECT_FALSE(line.setQueueSizes(0, 0));
    EXPECT_FALSE(line.discardInput());
}

TEST_F(SimLineTest, OpeningClearsInputAndSendsOpenBytes) {
    peer.sendOnOpen("Q", 5 * kMs);
    schedule({{'a', 1 * kMs}});
    line.close();
    ASSERT_TRUE(line.open("COM1"));
    ASSERT_TRUE(line.setTimeouts({0, 0, 100, 0, 0}));
    uint8_t buffer[4] = {};
    int32_t got = 0;
    ASSERT_TRUE(line.read(buffer, 2, got));
    EXPECT_EQ(got, 1);
    EXPECT_EQ(buffer[0], 'Q');
}

TEST_F(SimLineTest, DiscardInputDropsOnlyWhatHasArrived) {
    schedule({{'a', 10 * kMs}, {'b', 40 * kMs}, {'c', 100 * kMs}});
    line.advanceToUs(40 * kMs);
    ASSERT_TRUE(line.discardInput());
    ASSERT_TRUE(line.setTimeouts({0, 0, 1000, 0, 0}));
    uint8_t buffer[4] = {};
    int32_t got = 0;
    ASSERT_TRUE(line.read(buffer, 3, got));
    EXPECT_EQ(got, 1);
    EXPECT_EQ(buffer[0], 'c');
}

TEST_F(SimLineTest, FailCallCountsEachKindFromOne) {
    line.failCall(SimLine::Call::Read, 2);
    line.failCall(SimLine::Call::Write, 0);
    ASSERT_TRUE(line.setTimeouts({kMaxDword, 0, 0, 0, 0}));
    uint8_t buffer[2] = {};
    int32_t n = 0;
    EXPECT_TRUE(line.read(buffer, 1, n));
    EXPECT_FALSE(line.read(buffer, 1, n));
    EXPECT_TRUE(line.read(buffer, 1, n));
    EXPECT_FALSE(line.write(buffer, 1, n));
    EXPECT_FALSE(line.write(buffer, 1, n));
    EXPECT_EQ(line.callCount(SimLine::Call::Read), 3);
    EXPECT_EQ(peer.received(), "");
    line.clearFailures();
    EXPECT_TRUE(line.write(buffer, 1, n));
}

TEST_F(SimLineTest, LinkReportsTheSpeedTheHostSet) {
    EXPECT_EQ(line.link().baudRate(), 0u);
    setSpeed(115200);
    EXPECT_EQ(line.link().baudRate(), 115200u);
}

// --- the scripted peer -------------------------------------------------------

TEST_F(SimLineTest, ScriptedPeerAnswersInTurnThenEchoes) {
    peer.answer('w', "w", 0, 1).answer('w', "W", 2 * kMs, 1, 1 * kMs).echoOthers(1 * kMs);
    ASSERT_TRUE(line.setTimeouts({0, 0, 100, 0, 0}));
    const uint8_t w = 'w';
    const uint8_t q = '?';
    int32_t n = 0;
    uint8_t buffer[8] = {};
    ASSERT_TRUE(line.write(&w, 1, n));
    ASSERT_TRUE(line.read(buffer, 1, n));
    EXPECT_EQ(buffer[0], 'w');
    EXPECT_EQ(line.nowUs(), 0);
    ASSERT_TRUE(line.write(&w, 1, n));
    ASSERT_TRUE(line.read(buffer, 1, n));
    EXPECT_EQ(buffer[0], 'W');
    EXPECT_EQ(line.nowUs(), 2 * kMs);
    ASSERT_TRUE(line.write(&w, 1, n));  // both rules used up: echoed
    ASSERT_TRUE(line.write(&q, 1, n));
    ASSERT_TRUE(line.read(buffer, 2, n));
    EXPECT_EQ(n, 2);
    EXPECT_EQ(std::string(buffer, buffer + 2), "w?");
    EXPECT_EQ(line.nowUs(), 3 * kMs);
    EXPECT_EQ(peer.received(),
              "ww"
              "w?");
}

}  // namespace
}  // namespace serial
