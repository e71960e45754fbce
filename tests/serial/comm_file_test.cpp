// CommFile on the simulated line: results, lastMessage texts, time limits in
// virtual time, the drain after each byte and the stop.

#include "serial/comm_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "serial/scripted_peer.h"
#include "serial/sim_line.h"
#include "ui/message_pump.h"

namespace serial {
namespace {

constexpr int64_t kMs = 1000;
constexpr int32_t kRunBaud = 115200;
constexpr int32_t kRunReadTimeoutMs = 5000;
constexpr int32_t kRunWriteTimeoutMs = 100;
constexpr uint8_t kGuard = 0xA5;

// A window whose drain counts itself and runs a test's handler, as a click on
// Stop or a timer tick would run inside the transfer.
class TestPump : public ui::MessagePump {
  public:
    void drain() override {
        ++drains;
        if (onDrain) {
            onDrain(drains);
        }
    }
    int drains = 0;
    std::function<void(int)> onDrain;
};

class CommFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        line.attach(&peer);
        std::memset(buffer, kGuard, sizeof buffer);
    }
    void openRun() {
        ASSERT_EQ(port.init(&pump, 1, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 0);
    }
    // Makes the next call of this kind fail.
    void failNext(SimLine::Call call) { line.failCall(call, line.callCount(call) + 1); }
    void send(std::string_view bytes, int64_t atUs, int64_t gapUs = 0) {
        for (const char c : bytes) {
            line.link().sendToHost(static_cast<uint8_t>(c), atUs);
            atUs += gapUs;
        }
    }
    std::string bufferText(int32_t n) const { return std::string(buffer, buffer + n); }

    ScriptedPeer peer;
    SimLine line;
    CommFile port{line};
    TestPump pump;
    uint8_t buffer[32];
};

// --- init ----------------------------------------------------------------------

struct InitFailure {
    const char* name;
    SimLine::Call call;
    const char* message;
};

void PrintTo(const InitFailure& c, std::ostream* os) {
    *os << c.name;
}

const InitFailure kInitFailures[] = {
    {"CreateFile", SimLine::Call::Open, "CommFile::init - CreateFile failed"},
    {"GetCommState", SimLine::Call::GetSettings, "CommFile::init - GetCommState failed"},
    {"SetCommState", SimLine::Call::SetSettings, "CommFile::init - SetCommState failed"},
    {"GetCommTimeouts", SimLine::Call::GetTimeouts, "CommFile::init - setTimeouts failed"},
    {"SetCommTimeouts", SimLine::Call::SetTimeouts, "CommFile::init - setTimeouts failed"},
};

class CommFileInitFailure : public CommFileTest,
                            public ::testing::WithParamInterface<InitFailure> {};

TEST_P(CommFileInitFailure, GivesOneAndLeavesPortClosed) {
    line.failCall(GetParam().call, 1);
    EXPECT_EQ(port.init(&pump, 1, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 1);
    EXPECT_EQ(port.lastMessage, GetParam().message);
    EXPECT_EQ(port.isOpen(), 0);
    EXPECT_EQ(port.baudRate, 0);
    EXPECT_FALSE(line.isOpen());  // a handle it had opened is closed again
    // Nothing works on it afterwards.
    EXPECT_EQ(port.ComGetBytes(buffer, 1), -1);
    // And the next init, with the line healthy, succeeds.
    EXPECT_EQ(port.init(&pump, 1, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, CommFileInitFailure, ::testing::ValuesIn(kInitFailures),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(CommFileTest, InitOnPortWithoutDeviceFails) {
    EXPECT_EQ(port.init(&pump, 4, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 1);
    EXPECT_EQ(port.lastMessage, "CommFile::init - CreateFile failed");
    EXPECT_EQ(port.isOpen(), 0);
    EXPECT_EQ(line.openCount(), 0);
}

TEST_F(CommFileTest, InitOnPortInUseFails) {
    ASSERT_TRUE(line.open("COM1"));  // another program holds it
    EXPECT_EQ(port.init(&pump, 1, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 1);
    EXPECT_EQ(port.lastMessage, "CommFile::init - CreateFile failed");
    EXPECT_EQ(port.isOpen(), 0);
}

TEST_F(CommFileTest, InitOpensTheNumberedPort) {
    line.setPorts({"COM7"});
    EXPECT_EQ(port.init(&pump, 7, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 0);
    EXPECT_EQ(port.isOpen(), 1);
    EXPECT_EQ(port.baudRate, kRunBaud);
    EXPECT_EQ(port.writeTimeoutMs, kRunWriteTimeoutMs);
    EXPECT_EQ(port.pumpWindow, &pump);
    EXPECT_TRUE(line.isOpen());
    EXPECT_EQ(port.lastMessage, "");
}

TEST_F(CommFileTest, InitWritesLineSettingsAndLeavesDriverFields) {
    LineSettings driver;  // what a previous user left: everything the wrong way
    driver.baudRate = 1200;
    driver.byteSize = 7;
    driver.parity = Parity::Even;
    driver.stopBits = StopBits::Two;
    driver.outxCtsFlow = true;
    driver.outxDsrFlow = true;
    driver.dtrControl = DtrControl::Handshake;
    driver.dsrSensitivity = true;
    driver.txContinueOnXoff = false;
    driver.outX = true;
    driver.inX = true;
    driver.errorChar = true;
    driver.null = true;
    driver.rtsControl = RtsControl::Toggle;
    // The fields init leaves alone, all off their defaults.
    driver.binary = false;
    driver.parityCheck = true;
    driver.abortOnError = true;
    driver.xonLim = 11;
    driver.xoffLim = 22;
    driver.xonChar = 'a';
    driver.xoffChar = 'b';
    driver.errorCharValue = 'c';
    driver.eofChar = 'd';
    driver.evtChar = 'e';
    line.setDriverSettings(driver);
    openRun();

    LineSettings expected = driver;
    expected.baudRate = 115200;
    expected.byteSize = 8;
    expected.parity = Parity::None;
    expected.stopBits = StopBits::One;
    expected.outxCtsFlow = false;
    expected.outxDsrFlow = false;
    expected.dtrControl = DtrControl::Disable;
    expected.dsrSensitivity = false;
    expected.txContinueOnXoff = true;
    expected.outX = false;
    expected.inX = false;
    expected.errorChar = false;
    expected.null = false;
    expected.rtsControl = RtsControl::Disable;
    EXPECT_EQ(line.currentSettings(), expected);
    EXPECT_EQ(port.settings, expected);
}

TEST_F(CommFileTest, InitWithRunSettingsSetsRunTimeouts) {
    openRun();
    const Timeouts expected{5000, 5000, 5000, 100, 100};
    EXPECT_EQ(line.currentTimeouts(), expected);
    EXPECT_EQ(port.timeouts, expected);
}

TEST_F(CommFileTest, InitClosesOpenPortFirst) {
    openRun();
    EXPECT_EQ(port.init(&pump, 1, 9600, 50, 20), 0);
    EXPECT_EQ(peer.opens(), 2);
    EXPECT_EQ(peer.closes(), 1);
    EXPECT_EQ(port.baudRate, 9600);
    EXPECT_EQ(line.currentSettings().baudRate, 9600u);
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{50, 50, 50, 20, 20}));
}

TEST_F(CommFileTest, FailedInitStillClosesThePortThatWasOpen) {
    openRun();
    failNext(SimLine::Call::GetSettings);
    EXPECT_EQ(port.init(&pump, 1, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 1);
    EXPECT_EQ(peer.closes(), 2);
    EXPECT_FALSE(line.isOpen());
    EXPECT_EQ(port.isOpen(), 0);
}

// --- setTimeouts ---------------------------------------------------------------

TEST_F(CommFileTest, SetTimeoutsSetsFiveFieldsInOrder) {
    openRun();
    EXPECT_EQ(port.setTimeouts(1, 2, 3, 4, 5), 1);
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{1, 2, 3, 4, 5}));
}

TEST_F(CommFileTest, SetTimeoutsFailures) {
    openRun();
    failNext(SimLine::Call::GetTimeouts);
    EXPECT_EQ(port.setTimeouts(1, 2, 3, 4, 5), 0);
    EXPECT_EQ(port.lastMessage, "CommFile::setTimeouts - GetCommTimeouts failed");
    failNext(SimLine::Call::SetTimeouts);
    EXPECT_EQ(port.setTimeouts(1, 2, 3, 4, 5), 0);
    EXPECT_EQ(port.lastMessage, "CommFile::setTimeouts - SetCommTimeouts failed");
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{5000, 5000, 5000, 100, 100}));
}

TEST_F(CommFileTest, SetTimeoutsDoesNotLookAtOpened) {
    // On a closed port it still asks the line, which refuses.
    const int before = line.callCount(SimLine::Call::GetTimeouts);
    EXPECT_EQ(port.setTimeouts(1, 2, 3, 4, 5), 0);
    EXPECT_EQ(line.callCount(SimLine::Call::GetTimeouts), before + 1);
    EXPECT_EQ(port.lastMessage, "CommFile::setTimeouts - GetCommTimeouts failed");
}

// --- close -----------------------------------------------------------------------

TEST_F(CommFileTest, CloseTwice) {
    openRun();
    port.close();
    EXPECT_EQ(port.isOpen(), 0);
    EXPECT_EQ(port.baudRate, 0);
    EXPECT_FALSE(line.isOpen());
    EXPECT_EQ(peer.closes(), 1);
    port.baudRate = 1234;  // only to see that the second close sets it to 0
    port.close();
    EXPECT_EQ(port.baudRate, 0);
    EXPECT_EQ(peer.closes(), 1);    // the line was not touched again
    EXPECT_EQ(port.handle, &line);  // the handle keeps its last value
}

// --- every operation on a closed port ---------------------------------------

struct ClosedCase {
    const char* name;
    std::function<int32_t(CommFile&, uint8_t*)> op;
    const char* message;
    bool clearsStop;  // the operation clears stopFlag before it looks at opened
};

void PrintTo(const ClosedCase& c, std::ostream* os) {
    *os << c.name;
}

const uint8_t kOut[] = {'a', 'b', 'c'};

const ClosedCase kClosedCases[] = {
    {"ComGetBytes", [](CommFile& p, uint8_t* b) { return p.ComGetBytes(b, 1); },
     "CommFile::ComGetBytes - port not initialised", true},
    {"ComReadBytes", [](CommFile& p, uint8_t* b) { return p.ComReadBytes(b, 6, 100); },
     "CommFile::ComReadBytes - port not initialised", true},
    {"ComReadBytesZeroCount", [](CommFile& p, uint8_t* b) { return p.ComReadBytes(b, 0, 100); },
     "CommFile::ComReadBytes - port not initialised", true},
    {"ComReadByte", [](CommFile& p, uint8_t* b) { return p.ComReadByte(b); },
     "CommFile::ComReadByte - port not initialised", true},
    {"ComWriteBytes", [](CommFile& p, uint8_t*) { return p.ComWriteBytes(kOut, 3); },
     "CommFile::ComWriteBytes - port not initialised", false},
    {"ComWriteBytesZeroCount", [](CommFile& p, uint8_t*) { return p.ComWriteBytes(kOut, 0); },
     "CommFile::ComWriteBytes - port not initialised", false},
    {"ComWriteBytesTimed", [](CommFile& p, uint8_t*) { return p.ComWriteBytesTimed(kOut, 3, 100); },
     "CommFile::ComWriteBytes - port not initialised", false},
    {"ComGetBytesTimed", [](CommFile& p, uint8_t* b) { return p.ComGetBytesTimed(b, 1, 100); },
     "CommFile::ComGetBytes - port not initialised", false},
};

class CommFileClosed : public CommFileTest, public ::testing::WithParamInterface<ClosedCase> {
  protected:
    void check(const char* when) {
        SCOPED_TRACE(when);
        const ClosedCase& c = GetParam();
        const int reads = line.callCount(SimLine::Call::Read);
        const int writes = line.callCount(SimLine::Call::Write);
        const int getTimeouts = line.callCount(SimLine::Call::GetTimeouts);
        const int64_t now = line.nowUs();
        port.stop();
        EXPECT_EQ(c.op(port, buffer), -1);
        EXPECT_EQ(port.lastMessage, c.message);
        EXPECT_EQ(port.stopFlag, c.clearsStop ? 0 : 1);
        EXPECT_EQ(line.callCount(SimLine::Call::Read), reads);
        EXPECT_EQ(line.callCount(SimLine::Call::Write), writes);
        EXPECT_EQ(line.callCount(SimLine::Call::GetTimeouts), getTimeouts);
        EXPECT_EQ(line.nowUs(), now);
        EXPECT_EQ(buffer[0], kGuard);  // not even the NUL
        EXPECT_EQ(pump.drains, 0);
        EXPECT_EQ(peer.received(), "");
    }
};

TEST_P(CommFileClosed, FailsBeforeDoingAnything) {
    check("never opened");
    openRun();
    port.close();
    send("xyz", line.nowUs());
    check("after close");
}

INSTANTIATE_TEST_SUITE_P(Operations, CommFileClosed, ::testing::ValuesIn(kClosedCases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- transfer failures on an open port ---------------------------------------

struct TransferFailure {
    const char* name;
    SimLine::Call call;
    std::function<int32_t(CommFile&, uint8_t*)> op;
    const char* message;
};

void PrintTo(const TransferFailure& c, std::ostream* os) {
    *os << c.name;
}

const TransferFailure kTransferFailures[] = {
    {"ComGetBytesRead", SimLine::Call::Read,
     [](CommFile& p, uint8_t* b) { return p.ComGetBytes(b, 1); },
     "CommFile::ComGetBytes - ReadFile failed"},
    {"ComReadBytesRead", SimLine::Call::Read,
     [](CommFile& p, uint8_t* b) { return p.ComReadBytes(b, 6, 100); },
     "CommFile::ComReadBytes - ReadFile failed"},
    {"ComReadByteRead", SimLine::Call::Read,
     [](CommFile& p, uint8_t* b) { return p.ComReadByte(b); },
     "CommFile::ComReadByte - ReadFile failed"},
    {"ComWriteBytesWrite", SimLine::Call::Write,
     [](CommFile& p, uint8_t*) { return p.ComWriteBytes(kOut, 3); },
     "CommFile::ComWriteBytes - WriteFile failed"},
    {"ComWriteBytesTimedWrite", SimLine::Call::Write,
     [](CommFile& p, uint8_t*) { return p.ComWriteBytesTimed(kOut, 3, 100); },
     "CommFile::ComWriteBytes - WriteFile failed"},
    {"ComWriteBytesTimedGetTimeouts", SimLine::Call::GetTimeouts,
     [](CommFile& p, uint8_t*) { return p.ComWriteBytesTimed(kOut, 3, 100); },
     "CommFile::setTimeouts - GetCommTimeouts failed"},
    {"ComWriteBytesTimedSetTimeouts", SimLine::Call::SetTimeouts,
     [](CommFile& p, uint8_t*) { return p.ComWriteBytesTimed(kOut, 3, 100); },
     "CommFile::setTimeouts - SetCommTimeouts failed"},
    {"ComGetBytesTimedRead", SimLine::Call::Read,
     [](CommFile& p, uint8_t* b) { return p.ComGetBytesTimed(b, 1, 100); },
     "CommFile::ComGetBytes - ReadFile failed"},
    {"ComGetBytesTimedGetTimeouts", SimLine::Call::GetTimeouts,
     [](CommFile& p, uint8_t* b) { return p.ComGetBytesTimed(b, 1, 100); },
     "CommFile::setTimeouts - GetCommTimeouts failed"},
    {"ComGetBytesTimedSetTimeouts", SimLine::Call::SetTimeouts,
     [](CommFile& p, uint8_t* b) { return p.ComGetBytesTimed(b, 1, 100); },
     "CommFile::setTimeouts - SetCommTimeouts failed"},
};

class CommFileTransferFailure : public CommFileTest,
                                public ::testing::WithParamInterface<TransferFailure> {};

TEST_P(CommFileTransferFailure, GivesMinusOneWithItsText) {
    const TransferFailure& c = GetParam();
    openRun();
    send("QRSTUVW", 0);  // a read would have bytes: only the failure ends it
    failNext(c.call);
    EXPECT_EQ(c.op(port, buffer), -1);
    EXPECT_EQ(port.lastMessage, c.message);
    EXPECT_EQ(peer.received(), "");  // a failed time-out change sends nothing
    // A failed call is final: nothing is retried.
    EXPECT_EQ(line.callCount(SimLine::Call::Read), c.call == SimLine::Call::Read ? 1 : 0);
    // The port stays open and the line's time-outs are RUN's again.
    EXPECT_EQ(port.isOpen(), 1);
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{5000, 5000, 5000, 100, 100}));
}

INSTANTIATE_TEST_SUITE_P(Rows, CommFileTransferFailure, ::testing::ValuesIn(kTransferFailures),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(CommFileTest, ReadFailsWhenTheLineDropsMidWait) {
    openRun();
    line.link().hangUp(2500 * kMs);
    EXPECT_EQ(port.ComReadByte(buffer), -1);
    EXPECT_EQ(port.lastMessage, "CommFile::ComReadByte - ReadFile failed");
    EXPECT_EQ(line.nowMs(), 2500);
}

// --- ComGetBytes -------------------------------------------------------------------

TEST_F(CommFileTest, ComGetBytesWaitsTenSecondsWithRunSettings) {
    ASSERT_EQ(port.init(nullptr, 1, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 0);
    EXPECT_EQ(port.ComGetBytes(buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], kGuard);
    EXPECT_EQ(line.nowMs(), 10000);
    EXPECT_EQ(line.nowUs(), 10'000'000);
    EXPECT_EQ(line.tickCount(), 10000u);
}

TEST_F(CommFileTest, ComGetBytesPutsNulAfterBytesRead) {
    openRun();
    send("~ok", 3 * kMs);
    EXPECT_EQ(port.ComGetBytes(buffer, 3), 3);
    EXPECT_EQ(bufferText(4), std::string("~ok\0", 4));
    EXPECT_EQ(buffer[4], kGuard);
    EXPECT_EQ(line.nowMs(), 3);
}

TEST_F(CommFileTest, ComGetBytesShortCountAfterIntervalWithRunSettings) {
    openRun();
    send("ab", 1 * kMs);
    EXPECT_EQ(port.ComGetBytes(buffer, 4), 2);
    EXPECT_EQ(bufferText(3), std::string("ab\0", 3));
    EXPECT_EQ(line.nowMs(), 5001);  // one interval after the last byte
}

TEST_F(CommFileTest, ComGetBytesNeitherDrainsNorSeesStop) {
    openRun();
    port.stop();
    send("Q", 1 * kMs);
    EXPECT_EQ(port.ComGetBytes(buffer, 1), 1);
    EXPECT_EQ(port.stopFlag, 0);  // cleared when it started
    EXPECT_EQ(pump.drains, 0);
}

// --- ComReadBytes ----------------------------------------------------------------

TEST_F(CommFileTest, ComReadBytesCountZeroOrLessReadsNothing) {
    openRun();
    send("abc", 0);
    for (const int32_t count : {0, -1, -100}) {
        SCOPED_TRACE(count);
        buffer[0] = kGuard;
        EXPECT_EQ(port.ComReadBytes(buffer, count, 100), 0);
        EXPECT_EQ(buffer[0], 0);
        EXPECT_EQ(buffer[1], kGuard);
    }
    EXPECT_EQ(line.callCount(SimLine::Call::Read), 0);
    EXPECT_EQ(pump.drains, 0);
}

TEST_F(CommFileTest, ComReadBytesSixTogether) {
    openRun();
    send("PIC18A", 2 * kMs);
    EXPECT_EQ(port.ComReadBytes(buffer, 6, 100), 6);
    EXPECT_EQ(bufferText(7), std::string("PIC18A\0", 7));
    EXPECT_EQ(buffer[7], kGuard);
    EXPECT_EQ(line.callCount(SimLine::Call::Read), 6);  // one read per byte
    EXPECT_EQ(pump.drains, 6);                          // a drain after each
    EXPECT_EQ(line.nowMs(), 2);
}

TEST_F(CommFileTest, ComReadBytesThreeThenSilence) {
    openRun();
    send("abc", 1 * kMs, 1 * kMs);  // at 1, 2 and 3 ms
    EXPECT_EQ(port.ComReadBytes(buffer, 6, 100), 3);
    EXPECT_EQ(bufferText(4), std::string("abc\0", 4));
    // The fourth read waited one whole read time-out (5000 * 1 + 5000 ms).
    EXPECT_EQ(line.nowMs(), 3 + 10000);
    EXPECT_EQ(line.callCount(SimLine::Call::Read), 4);
}

struct LimitCase {
    const char* name;
    int32_t limitMs;
    std::vector<int64_t> arrivalsMs;
    int32_t expected;
    int64_t returnMs;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

const LimitCase kLimitCases[] = {
    // The limit is looked at only before each read: a read that has begun
    // runs to its byte or its time-out.
    {"ByteAfterLimitStillTaken", 100, {60, 120, 180}, 2, 120},
    {"SilenceCostsLimitPlusOneReadTimeout", 100, {50}, 1, 10050},
    {"ElapsedEqualToLimitReadsOnce", 100, {100, 200}, 2, 200},
    {"NegativeLimitReadsNothing", -1, {0}, 0, 0},
    {"ZeroLimitReadsWhileClockStands", 0, {0, 0, 0, 1, 2}, 4, 1},
};

class CommFileReadLimit : public CommFileTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(CommFileReadLimit, TestedOnlyBetweenReads) {
    const LimitCase& c = GetParam();
    openRun();
    for (const int64_t ms : c.arrivalsMs) {
        line.link().sendToHost('x', ms * kMs);
    }
    EXPECT_EQ(port.ComReadBytes(buffer, 6, c.limitMs), c.expected);
    EXPECT_EQ(buffer[c.expected], 0);
    EXPECT_EQ(line.nowMs(), c.returnMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, CommFileReadLimit, ::testing::ValuesIn(kLimitCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(CommFileTest, ComReadBytesLimitSurvivesTickCountWrap) {
    const int64_t wrapUs = (int64_t{1} << 32) * kMs;
    line.setHorizonUs(wrapUs + 3600 * 1000 * kMs);
    line.advanceToUs(wrapUs - 50 * kMs);  // 50 ms before the tick count wraps
    openRun();
    send("abcdef", line.nowUs() + 30 * kMs, 30 * kMs);
    EXPECT_EQ(port.ComReadBytes(buffer, 6, 100), 4);  // at +30, +60, +90, +120 ms
}

// --- ComReadByte -----------------------------------------------------------------

TEST_F(CommFileTest, ComReadByteNeverGivesZero) {
    openRun();
    line.link().sendToHost('K', 35000 * kMs);
    EXPECT_EQ(port.ComReadByte(buffer), 1);
    EXPECT_EQ(buffer[0], 'K');
    EXPECT_EQ(line.nowMs(), 35000);
    // Three read time-outs of 10 s came back empty; each was followed by a drain.
    EXPECT_EQ(line.callCount(SimLine::Call::Read), 4);
    EXPECT_EQ(pump.drains, 4);
}

TEST_F(CommFileTest, ComReadByteUsesThreadPumpWithoutWindow) {
    struct Installed {
        explicit Installed(ui::MessagePump* p) { ui::setThreadPump(p); }
        ~Installed() { ui::setThreadPump(nullptr); }
    };
    TestPump threadPump;
    const Installed installed(&threadPump);
    ASSERT_EQ(port.init(nullptr, 1, kRunBaud, kRunReadTimeoutMs, kRunWriteTimeoutMs), 0);
    send("a", 1 * kMs);
    EXPECT_EQ(port.ComReadByte(buffer), 1);
    EXPECT_EQ(threadPump.drains, 1);
    EXPECT_EQ(pump.drains, 0);
}

// --- stop ------------------------------------------------------------------------

struct StopCase {
    const char* name;
    std::function<int32_t(CommFile&, uint8_t*)> op;
    SimLine::Call call;  // the one-byte call the operation repeats
    const char* message;
    int32_t normalResult;      // with ten bytes waiting, or taken
    int32_t firstDrainResult;  // the same, with Stop pressed in the first drain
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

const uint8_t kLong[] = "0123456789";

const StopCase kStopCases[] = {
    {"ComReadBytes", [](CommFile& p, uint8_t* b) { return p.ComReadBytes(b, 10, 100000); },
     SimLine::Call::Read, "CommFile::ComReadBytes - stopped by user", 10, -2},
    {"ComReadByte", [](CommFile& p, uint8_t* b) { return p.ComReadByte(b); }, SimLine::Call::Read,
     "CommFile::ComReadByte - stopped by user", 1,
     // Its first drain follows the byte it returns: that stop comes too late.
     1},
    {"ComWriteBytes", [](CommFile& p, uint8_t*) { return p.ComWriteBytes(kLong, 10); },
     SimLine::Call::Write, "CommFile::ComWriteBytes - stopped by user", 10, -2},
};

class CommFileStop : public CommFileTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CommFileStop, StopDuringDrainEndsAfterNextByteCall) {
    const StopCase& c = GetParam();
    openRun();
    // Reads find no byte (ComReadByte goes on reading); the writes are taken.
    // Stop is pressed in the third drain.
    pump.onDrain = [&](int n) {
        if (n == 3) {
            port.stop();
        }
    };
    const int before = line.callCount(c.call);
    EXPECT_EQ(c.op(port, buffer), -2);
    EXPECT_EQ(port.lastMessage, c.message);
    // The call in progress after the third drain was made, then no more, and
    // no drain followed it.
    EXPECT_EQ(line.callCount(c.call) - before, 4);
    EXPECT_EQ(pump.drains, 3);
    if (c.call == SimLine::Call::Write) {
        EXPECT_EQ(peer.received(), "0123");
        EXPECT_EQ(line.nowMs(), 0);
    } else {
        EXPECT_EQ(line.nowMs(), 4 * 10000);  // each read waited its whole time-out
    }
}

TEST_P(CommFileStop, StopBeforeOperationIsForgotten) {
    const StopCase& c = GetParam();
    openRun();
    send("abcdefghij", 1 * kMs);
    port.stop();
    EXPECT_EQ(c.op(port, buffer), c.normalResult);
    EXPECT_EQ(port.stopFlag, 0);
}

TEST_P(CommFileStop, StopAfterByteArrivesStillGivesMinusTwo) {
    const StopCase& c = GetParam();
    openRun();
    send("abcdefghij", 1 * kMs);
    // A stop in the first drain: the second call still happens and brings a
    // byte, but the stop wins over it.
    pump.onDrain = [&](int n) {
        if (n == 1) {
            port.stop();
        }
    };
    EXPECT_EQ(c.op(port, buffer), c.firstDrainResult);
}

INSTANTIATE_TEST_SUITE_P(DrainingOperations, CommFileStop, ::testing::ValuesIn(kStopCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(CommFileTest, ComWriteBytesTimedNeitherSeesNorClearsStop) {
    openRun();
    port.stop();
    EXPECT_EQ(port.ComWriteBytesTimed(kOut, 3, 100), 3);
    EXPECT_EQ(port.stopFlag, 1);
    EXPECT_EQ(pump.drains, 0);
}

// --- ComWriteBytes ---------------------------------------------------------------

TEST_F(CommFileTest, ComWriteBytesOneCallPerByteWithDrains) {
    openRun();
    EXPECT_EQ(port.ComWriteBytes(kOut, 3), 3);
    EXPECT_EQ(peer.received(), "abc");
    EXPECT_EQ(line.callCount(SimLine::Call::Write), 3);
    EXPECT_EQ(pump.drains, 3);
}

TEST_F(CommFileTest, ComWriteBytesCountZeroOrLessWritesNothing) {
    openRun();
    EXPECT_EQ(port.ComWriteBytes(kOut, 0), 0);
    EXPECT_EQ(port.ComWriteBytes(kOut, -5), 0);
    EXPECT_EQ(line.callCount(SimLine::Call::Write), 0);
}

TEST_F(CommFileTest, ComWriteBytesByteNotTakenGivesCountSoFar) {
    openRun();
    line.refuseWritesAfter(2);
    EXPECT_EQ(port.ComWriteBytes(kLong, 10), 2);
    EXPECT_EQ(peer.received(), "01");
    EXPECT_EQ(line.nowMs(), 200);  // one byte's write time-out: 100 * 1 + 100
    EXPECT_EQ(pump.drains, 2);
    EXPECT_EQ(port.lastMessage, "");  // a time-out is no failure
}

// --- ComWriteBytesTimed ----------------------------------------------------------

struct TimedWriteCase {
    const char* name;
    int64_t refuseAfter;  // -1 = the line takes everything
    bool writeFails;
    int32_t expected;
    int64_t returnMs;
};

void PrintTo(const TimedWriteCase& c, std::ostream* os) {
    *os << c.name;
}

const TimedWriteCase kTimedWriteCases[] = {
    {"Good", -1, false, 10, 0},
    // The block in force for the call is multiplier 0 and constant 100: a
    // stalled line gives up after 100 ms, not after 7 * 10 + 9.
    {"NotTakenInTime", 4, false, 4, 100},
    {"Failed", -1, true, -1, 0},
};

class CommFileTimedWrite : public CommFileTest,
                           public ::testing::WithParamInterface<TimedWriteCase> {};

TEST_P(CommFileTimedWrite, RestoresWriteMultiplierAndConstant) {
    const TimedWriteCase& c = GetParam();
    openRun();
    ASSERT_EQ(port.setTimeouts(11, 12, 13, 7, 9), 1);
    line.refuseWritesAfter(c.refuseAfter);
    if (c.writeFails) {
        failNext(SimLine::Call::Write);
    }
    EXPECT_EQ(port.ComWriteBytesTimed(kLong, 10, 100), c.expected);
    EXPECT_EQ(line.nowMs(), c.returnMs);
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{11, 12, 13, 7, 9}));
    EXPECT_EQ(line.callCount(SimLine::Call::Write), 1);  // all bytes in one call
}

INSTANTIATE_TEST_SUITE_P(Cases, CommFileTimedWrite, ::testing::ValuesIn(kTimedWriteCases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- ComGetBytesTimed ------------------------------------------------------------

TEST_F(CommFileTest, ComGetBytesTimedIsBoundedAndRestores) {
    openRun();
    send("ab", 10 * kMs, 10 * kMs);
    // No interval limit during the call: it waits out the whole 50 ms.
    EXPECT_EQ(port.ComGetBytesTimed(buffer, 5, 50), 2);
    EXPECT_EQ(bufferText(3), std::string("ab\0", 3));
    EXPECT_EQ(line.nowMs(), 50);
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{5000, 5000, 5000, 100, 100}));

    EXPECT_EQ(port.ComGetBytesTimed(buffer, 1, 100), 0);  // silence
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(line.nowMs(), 150);
    EXPECT_EQ(pump.drains, 0);
}

TEST_F(CommFileTest, ComGetBytesTimedWithNoTimeTakesOnlyWhatCame) {
    openRun();
    send("a", 0);
    send("b", 5 * kMs);
    EXPECT_EQ(port.ComGetBytesTimed(buffer, 2, 0), 1);
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(line.nowMs(), 0);
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{5000, 5000, 5000, 100, 100}));
}

TEST_F(CommFileTest, ComGetBytesTimedRestoresAfterFailedRead) {
    openRun();
    failNext(SimLine::Call::Read);
    EXPECT_EQ(port.ComGetBytesTimed(buffer, 1, 100), -1);
    EXPECT_EQ(line.currentTimeouts(), (Timeouts{5000, 5000, 5000, 100, 100}));
}

// --- purgeInput ------------------------------------------------------------------

TEST_F(CommFileTest, PurgeInputDropsWhatHasCome) {
    EXPECT_EQ(port.purgeInput(), 0);  // closed
    openRun();
    send("old", 0);
    send("new", 20 * kMs);
    line.advanceToUs(10 * kMs);
    EXPECT_EQ(port.purgeInput(), 1);
    EXPECT_EQ(port.ComGetBytes(buffer, 3), 3);
    EXPECT_EQ(bufferText(3), "new");
}

}  // namespace
}  // namespace serial
