// The termios backend on pseudo-terminals: the test holds the master end, the
// backend opens the slave path. Time-outs are tens of milliseconds; each
// timed case asserts a window that never ends before the bound and has a
// generous upper margin for a loaded machine.

#include "serial/posix/posix_serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm_file.h"

namespace {

using serial::kMaxDword;
using serial::LineSettings;
using serial::PosixSerialLine;
using serial::Timeouts;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Upper margin of every timed window.
constexpr int64_t kSlackMs = 150;
// A wait that does nothing but wait uses well under this much CPU time; a
// loop that spins until its deadline uses about all of it.
constexpr int64_t kIdleCpuMs = 30;
// Far more than a pty takes before its reader must read.
constexpr int32_t kFlood = 256 * 1024;

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int64_t threadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Bytes pattern(int32_t count) {
    Bytes bytes(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

// A pseudo-terminal; the test keeps the master.
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        char name[128] = {};
        ptsname_r(master_, name, sizeof name);
        path_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void closeMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything the far end can read, until nothing more comes for quietMs.
    Bytes drain(int quietMs = 50) const {
        Bytes got;
        uint8_t chunk[4096];
        while (true) {
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, quietMs) <= 0) {
                return got;
            }
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) {
                return got;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
    }
    // Waits until the slave side holds at least count unread bytes (the pty
    // passes bytes on asynchronously). Looks through a second descriptor,
    // which root may open despite TIOCEXCL.
    void awaitSlaveInput(int count) const {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        int queued = 0;
        for (int i = 0; i < 200 && queued < count; ++i) {
            ioctl(fd, TIOCINQ, &queued);
            if (queued < count) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        ::close(fd);
        ASSERT_GE(queued, count);
    }

  private:
    int master_ = -1;
    std::string path_;
};

// The far end's schedule: bytes written to the master, or the master closed,
// at given offsets from start.
struct PeerEvent {
    int atMs;
    Bytes bytes;        // sent at atMs
    bool hangUp;        // close the master at atMs
    bool startReading;  // from atMs on, read everything that comes
};

PeerEvent sendAt(int atMs, uint8_t byte = 0x55) {
    return {atMs, {byte}, false, false};
}
PeerEvent hangUpAt(int atMs) {
    return {atMs, {}, true, false};
}
PeerEvent readFrom(int atMs) {
    return {atMs, {}, false, true};
}

class Peer {
  public:
    Peer(Pty& pty, std::vector<PeerEvent> events, Clock::time_point start)
        : thread_([&pty, events = std::move(events), start, this] { run(pty, events, start); }) {}
    ~Peer() {
        done_ = true;
        thread_.join();
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // What the peer read once it started reading (valid after destruction
    // has joined; read it only through received()).
    size_t received() const { return received_; }

  private:
    void run(Pty& pty, const std::vector<PeerEvent>& events, Clock::time_point start) {
        bool reading = false;
        for (const auto& event : events) {
            const auto at = start + std::chrono::milliseconds(event.atMs);
            while (Clock::now() < at) {
                if (reading) {
                    readSome(pty, 1);
                } else {
                    std::this_thread::sleep_until(at);
                }
            }
            if (event.hangUp) {
                pty.closeMaster();
                return;
            }
            if (event.startReading) {
                reading = true;
            }
            if (!event.bytes.empty()) {
                pty.send(event.bytes);
            }
        }
        while (reading && !done_) {
            readSome(pty, 5);
        }
    }
    void readSome(const Pty& pty, int waitMs) {
        uint8_t chunk[4096];
        pollfd pfd{pty.master(), POLLIN, 0};
        if (::poll(&pfd, 1, waitMs) > 0) {
            const ssize_t n = ::read(pty.master(), chunk, sizeof chunk);
            if (n > 0) {
                received_ += static_cast<size_t>(n);
            }
        }
    }

    std::atomic<bool> done_{false};
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

// The changes CommFile::init makes to what the driver reports.
LineSettings initSettings(LineSettings s, uint32_t baudRate = 115200) {
    s.baudRate = baudRate;
    s.byteSize = 8;
    s.parity = serial::Parity::None;
    s.stopBits = serial::StopBits::One;
    s.outxCtsFlow = false;
    s.outxDsrFlow = false;
    s.dtrControl = serial::DtrControl::Disable;
    s.dsrSensitivity = false;
    s.txContinueOnXoff = true;
    s.outX = false;
    s.inX = false;
    s.errorChar = false;
    s.null = false;
    s.rtsControl = serial::RtsControl::Disable;
    return s;
}

// A backend open on the pty's slave, configured as CommFile::init does.
class PtyLine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(pty.path().empty());
        ASSERT_TRUE(line.open("COM1"));
        LineSettings s;
        ASSERT_TRUE(line.getSettings(s));
        ASSERT_TRUE(line.setSettings(initSettings(s)));
    }
    void setTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant,
                     uint32_t writeMultiplier = 0, uint32_t writeConstant = 0) {
        ASSERT_TRUE(
            line.setTimeouts({interval, multiplier, constant, writeMultiplier, writeConstant}));
    }
    // Writes into the slave until the pty takes no more: the far end stalls.
    // The pty frees some room a moment after it first refuses (it moves bytes
    // on to the far end's input in the background), so this writes until a
    // whole write time-out passes with nothing taken.
    void stallPeer() {
        setTimeouts(0, 0, 0, 0, 20);
        const Bytes flood(kFlood, 0xAA);
        stalledBytes = 0;
        for (int attempt = 0; attempt < 50; ++attempt) {
            int32_t written = 0;
            ASSERT_TRUE(line.write(flood.data(), kFlood, written));
            ASSERT_LT(written, kFlood);
            if (written == 0 && stalledBytes > 0) {
                return;
            }
            stalledBytes += written;
        }
        FAIL() << "the pty kept taking bytes";
    }

    Pty pty;
    PosixSerialLine line{[this](const std::string&) { return pty.path(); }};
    int32_t stalledBytes = 0;
};

// --- port names ----------------------------------------------------------

TEST(DefaultPortPath, ComNumbersMapToTtySAndOtherNamesPassThrough) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM3", "/dev/ttyS2"},
        {"COM10", "/dev/ttyS9"},
        {"com2", "/dev/ttyS1"},
        {"COM0", "COM0"},
        {"COM", "COM"},
        {"COM03", "COM03"},
        {"COM3x", "COM3x"},
        {"COMX", "COMX"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"", ""},
    };
    for (const auto& [name, path] : cases) {
        EXPECT_EQ(serial::defaultPortPath(name), path) << name;
    }
}

TEST(PosixOpen, NamesGoThroughTheResolver) {
    Pty pty;
    std::vector<std::string> asked;
    PosixSerialLine line([&](const std::string& name) {
        asked.push_back(name);
        return name == "COM3" ? pty.path() : "/nonexistent/tesmar-port";
    });
    EXPECT_FALSE(line.open("COM4"));
    EXPECT_FALSE(line.isOpen());
    EXPECT_TRUE(line.open("COM3"));
    EXPECT_TRUE(line.isOpen());
    EXPECT_TRUE(line.isPseudoTerminal());
    EXPECT_EQ(asked, (std::vector<std::string>{"COM4", "COM3"}));
}

TEST(PosixOpen, APathThatIsNoTerminalFails) {
    PosixSerialLine line([](const std::string&) { return "/dev/null"; });
    EXPECT_FALSE(line.open("COM1"));
    EXPECT_FALSE(line.isOpen());
}

TEST(PosixOpen, EveryCallOnAClosedLineFails) {
    PosixSerialLine line([](const std::string&) { return "/nonexistent/tesmar-port"; });
    EXPECT_FALSE(line.open("COM1"));
    LineSettings s;
    Timeouts t;
    uint8_t byte = 0;
    int32_t n = 7;
    EXPECT_FALSE(line.getSettings(s));
    EXPECT_FALSE(line.setSettings(s));
    EXPECT_FALSE(line.getTimeouts(t));
    EXPECT_FALSE(line.setTimeouts(t));
    EXPECT_FALSE(line.read(&byte, 1, n));
    EXPECT_EQ(n, 0);
    n = 7;
    EXPECT_FALSE(line.write(&byte, 1, n));
    EXPECT_EQ(n, 0);
    EXPECT_FALSE(line.discardInput());
    line.close();
}

// --- exclusive access ----------------------------------------------------

TEST(PosixExclusive, ASecondOpenOfAPortInUseFailsEvenForRoot) {
    // The tests run as root here and in CI: TIOCEXCL alone would let the
    // second open through.
    RecordProperty("euid", std::to_string(geteuid()));
    Pty pty;
    auto toPty = [&](const std::string&) { return pty.path(); };
    PosixSerialLine first(toPty);
    PosixSerialLine second(toPty);
    ASSERT_TRUE(first.open("COM1"));
    EXPECT_FALSE(second.open("COM1"));
    EXPECT_FALSE(second.isOpen());
    // The failed attempt took nothing away from the holder.
    const int probe = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    int exclusive = 0;
    EXPECT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0);
    first.close();
    EXPECT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(probe);
    EXPECT_TRUE(second.open("COM1"));
}

TEST(PosixExclusive, AnotherProgramsLockKeepsThePort) {
    Pty pty;
    const int other = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    PosixSerialLine line([&](const std::string&) { return pty.path(); });
    EXPECT_FALSE(line.open("COM1"));
    // ... and the failed open did not mark the other holder's port exclusive.
    int exclusive = 1;
    EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    flock(other, LOCK_UN);
    EXPECT_TRUE(line.open("COM1"));
    ::close(other);
}

// --- settings ------------------------------------------------------------

TEST(PosixSettings, WhatAPreviousUserLeftIsReportedThenCleared) {
    Pty pty;
    {
        // A previous program leaves hardware and software flow control, two
        // stop bits, line editing and hang-up on close behind. (A Linux pty
        // keeps no data size or parity: it forces CS8, no parity and CREAD,
        // so those cannot be left behind here.)
        const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
        t.c_cflag |= CSTOPB | CRTSCTS | HUPCL;
        t.c_iflag |= IXON | IXOFF | IXANY | INPCK | ISTRIP | PARMRK | ICRNL | BRKINT;
        t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK);
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        t.c_cc[VMIN] = 4;
        t.c_cc[VTIME] = 2;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    PosixSerialLine line([&](const std::string&) { return pty.path(); });
    ASSERT_TRUE(line.open("COM1"));
    LineSettings reported;
    ASSERT_TRUE(line.getSettings(reported));
    EXPECT_EQ(reported.baudRate, 9600u);
    EXPECT_EQ(reported.stopBits, serial::StopBits::Two);
    EXPECT_TRUE(reported.outxCtsFlow);
    EXPECT_EQ(reported.rtsControl, serial::RtsControl::Handshake);
    EXPECT_TRUE(reported.outX);
    EXPECT_TRUE(reported.inX);
    EXPECT_TRUE(reported.parityCheck);

    ASSERT_TRUE(line.setSettings(initSettings(reported)));
    const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    const std::pair<tcflag_t, const char*> clearedControl[] = {
        {PARENB, "PARENB"}, {CSTOPB, "CSTOPB"}, {CRTSCTS, "CRTSCTS"}, {HUPCL, "HUPCL"}};
    for (const auto& [flag, name] : clearedControl) {
        EXPECT_EQ(t.c_cflag & flag, 0u) << name;
    }
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    const std::pair<tcflag_t, const char*> clearedInput[] = {
        {IXON, "IXON"},     {IXOFF, "IXOFF"},   {IXANY, "IXANY"}, {INPCK, "INPCK"},
        {ISTRIP, "ISTRIP"}, {PARMRK, "PARMRK"}, {ICRNL, "ICRNL"}, {BRKINT, "BRKINT"}};
    for (const auto& [flag, name] : clearedInput) {
        EXPECT_EQ(t.c_iflag & flag, 0u) << name;
    }
    EXPECT_NE(t.c_iflag & IGNBRK, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    LineSettings after;
    ASSERT_TRUE(line.getSettings(after));
    EXPECT_EQ(after.baudRate, 115200u);
    EXPECT_FALSE(after.outxCtsFlow);
    EXPECT_FALSE(after.outX);
    EXPECT_FALSE(after.inX);
    EXPECT_EQ(after.parity, serial::Parity::None);
    EXPECT_EQ(after.stopBits, serial::StopBits::One);
}

TEST_F(PtyLine, BytesPassUntouchedInBothDirections) {
    // Control characters that a cooked or flow-controlled line would eat or
    // translate: CR, NL, ^C, ^Z, XON, XOFF, ^D, DEL, 0xFF, NUL.
    const Bytes special = {'\r', '\n', 0x03, 0x1A, 0x11, 0x13, 0x04, 0x7F, 0xFF, 0x00};
    setTimeouts(0, 0, 500, 0, 100);
    pty.send(special);
    uint8_t got[16] = {};
    int32_t n = 0;
    ASSERT_TRUE(line.read(got, static_cast<int32_t>(special.size()), n));
    EXPECT_EQ(Bytes(got, got + n), special);
    int32_t written = 0;
    ASSERT_TRUE(line.write(special.data(), static_cast<int32_t>(special.size()), written));
    EXPECT_EQ(written, static_cast<int32_t>(special.size()));
    EXPECT_EQ(pty.drain(), special);  // no echo of the input, no CR added
}

TEST_F(PtyLine, SpeedsRoundTripAndAnUnknownSpeedFails) {
    LineSettings s;
    ASSERT_TRUE(line.getSettings(s));
    for (const uint32_t speed : {9600u, 57600u, 115200u, 230400u, 921600u}) {
        ASSERT_TRUE(line.setSettings(initSettings(s, speed))) << speed;
        LineSettings back;
        ASSERT_TRUE(line.getSettings(back));
        EXPECT_EQ(back.baudRate, speed);
    }
    EXPECT_FALSE(line.setSettings(initSettings(s, 12345)));
    EXPECT_FALSE(line.setSettings(initSettings(s, 0)));
    LineSettings back;
    ASSERT_TRUE(line.getSettings(back));
    EXPECT_EQ(back.baudRate, 921600u);
}

TEST_F(PtyLine, RequestsThisSystemCannotCarryFail) {
    LineSettings good;
    ASSERT_TRUE(line.getSettings(good));
    good = initSettings(good);
    struct Case {
        const char* name;
        void (*change)(LineSettings&);
    };
    const Case cases[] = {
        {"one and a half stop bits",
         [](LineSettings& s) { s.stopBits = serial::StopBits::OnePointFive; }},
        {"four data bits", [](LineSettings& s) { s.byteSize = 4; }},
        {"DSR flow control", [](LineSettings& s) { s.outxDsrFlow = true; }},
        {"DSR sensitivity", [](LineSettings& s) { s.dsrSensitivity = true; }},
        {"DTR handshake", [](LineSettings& s) { s.dtrControl = serial::DtrControl::Handshake; }},
        {"RTS toggle", [](LineSettings& s) { s.rtsControl = serial::RtsControl::Toggle; }},
        {"error character", [](LineSettings& s) { s.errorChar = true; }},
        {"NUL discarding", [](LineSettings& s) { s.null = true; }},
        {"abort on error", [](LineSettings& s) { s.abortOnError = true; }},
        {"XOFF stopping output",
         [](LineSettings& s) {
             s.inX = true;
             s.txContinueOnXoff = false;
         }},
    };
    for (const auto& c : cases) {
        LineSettings s = good;
        c.change(s);
        EXPECT_FALSE(line.setSettings(s)) << c.name;
    }
    EXPECT_TRUE(line.setSettings(good));
}

// --- read time-outs --------------------------------------------------------

struct ReadCase {
    const char* name;
    uint32_t interval, multiplier, constant;
    int32_t count;
    Bytes already;  // on the line before the read starts
    std::vector<PeerEvent> schedule;
    int32_t expected;
    int64_t atLeastMs;  // the read returns no earlier; within kSlackMs after
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadTimeouts : public PtyLine, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTimeouts, CountAndTimeFollowTheRules) {
    const ReadCase& c = GetParam();
    setTimeouts(c.interval, c.multiplier, c.constant);
    if (!c.already.empty()) {
        pty.send(c.already);
        pty.awaitSlaveInput(static_cast<int>(c.already.size()));
    }
    Bytes buffer(static_cast<size_t>(c.count) + 8, 0xEE);
    int32_t got = -1;
    bool ok = false;
    int64_t elapsedMs = 0;
    int64_t cpuUs = 0;
    {
        const auto start = Clock::now();
        Peer peer(pty, c.schedule, start);
        const int64_t cpuStart = threadCpuUs();
        ok = line.read(buffer.data(), c.count, got);
        cpuUs = threadCpuUs() - cpuStart;
        elapsedMs = msSince(start);
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, c.expected);
    EXPECT_GE(elapsedMs, c.atLeastMs);
    EXPECT_LE(elapsedMs, c.atLeastMs + kSlackMs);
    EXPECT_LT(cpuUs / 1000, kIdleCpuMs);
    // Nothing was written past the count asked for.
    for (size_t i = static_cast<size_t>(c.count); i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], 0xEE) << i;
    }
}

// clang-format off
const ReadCase kReadCases[] = {
    // name, interval, multiplier, constant, count, already, schedule, expected, at least
    {"NoIntervalLimitBeforeTheFirstByte", 20, 0, 0, 3, {}, {sendAt(80)}, 1, 100},
    {"IntervalCannotEndAOneByteRead", 20, 0, 0, 1, {}, {sendAt(80)}, 1, 80},
    {"IntervalRearmedByEachByte", 100, 0, 0, 10, {},
     {sendAt(0), sendAt(25), sendAt(50), sendAt(75), sendAt(100)}, 5, 200},
    {"BytesAlreadyThereStartTheInterval", 30, 0, 0, 6, {1, 2}, {}, 2, 30},
    {"TotalConstantOneByteNothingComes", 0, 0, 60, 1, {}, {}, 0, 60},
    {"TotalMultiplierOneByte", 0, 15, 0, 1, {}, {}, 0, 15},
    {"TotalMultiplierTimesCount", 0, 15, 0, 4, {}, {}, 0, 60},
    {"TotalDeadlineCutsBytesStillComing", 120, 10, 70, 8, {},
     {sendAt(0), sendAt(30), sendAt(60), sendAt(250)}, 3, 150},
    {"FullCountReturnsAtOnce", 1000, 1000, 1000, 3, {},
     {sendAt(0), sendAt(10), sendAt(20)}, 3, 20},
    {"OneByteWithinTheTotal", 0, 0, 500, 1, {}, {sendAt(40)}, 1, 40},
    {"NoLimitsWaitForEveryByte", 0, 0, 0, 2, {}, {sendAt(20), sendAt(70)}, 2, 70},
    {"IntervalInfiniteReturnsWhatIsThere", kMaxDword, 0, 0, 5, {1, 2}, {sendAt(30)}, 2, 0},
    {"IntervalInfiniteNothingThere", kMaxDword, 0, 0, 5, {}, {sendAt(30)}, 0, 0},
    {"FirstBytesEndAWaitWithinTheConstant", kMaxDword, kMaxDword, 80, 4, {}, {sendAt(30)}, 1, 30},
    {"FirstBytesConstantPasses", kMaxDword, kMaxDword, 60, 4, {}, {}, 0, 60},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Pty, ReadTimeouts, ::testing::ValuesIn(kReadCases),
                         [](const auto& param) { return std::string(param.param.name); });

extern "C" void countSignal(int /*signal*/) {}

TEST_F(PtyLine, SignalsDuringAReadNeitherEndItEarlyNorRestartItsClock) {
    struct sigaction action {};
    action.sa_handler = countSignal;  // no SA_RESTART: poll() sees EINTR
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    setTimeouts(80, 0, 500);
    const pthread_t reader = pthread_self();
    std::atomic<bool> reading{true};
    std::atomic<int> sent{0};
    uint8_t buffer[4] = {};
    int32_t got = -1;
    const auto start = Clock::now();
    {
        std::thread interrupter([&] {
            while (reading) {
                pthread_kill(reader, SIGUSR1);
                ++sent;
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
        });
        Peer peer(pty, {sendAt(10), sendAt(40)}, start);
        EXPECT_TRUE(line.read(buffer, 4, got));
        reading = false;
        interrupter.join();
    }
    const int64_t elapsedMs = msSince(start);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(sent.load(), 5);
    // Interval 80 after the byte at 40. A read that waited the whole
    // interval again after each signal would end only at the total (500).
    EXPECT_EQ(got, 2);
    EXPECT_GE(elapsedMs, 120);
    EXPECT_LE(elapsedMs, 120 + kSlackMs);
}

TEST_F(PtyLine, DiscardInputDropsWhatHasArrived) {
    pty.send({1, 2, 3, 4, 5});
    pty.awaitSlaveInput(5);
    ASSERT_TRUE(line.discardInput());
    setTimeouts(kMaxDword, 0, 0);
    uint8_t buffer[8] = {};
    int32_t got = -1;
    ASSERT_TRUE(line.read(buffer, 5, got));
    EXPECT_EQ(got, 0);
    pty.send({9});
    pty.awaitSlaveInput(1);
    ASSERT_TRUE(line.read(buffer, 5, got));
    EXPECT_EQ(got, 1);
    EXPECT_EQ(buffer[0], 9);
}

// --- writes ----------------------------------------------------------------

TEST_F(PtyLine, AWriteToAReadingPeerDeliversEveryByte) {
    setTimeouts(0, 0, 0, 0, 100);
    const Bytes data = pattern(1000);
    int32_t written = -1;
    const auto start = Clock::now();
    ASSERT_TRUE(line.write(data.data(), 1000, written));
    EXPECT_LE(msSince(start), kSlackMs);
    EXPECT_EQ(written, 1000);
    EXPECT_EQ(pty.drain(), data);
}

TEST_F(PtyLine, AStalledPeerGetsAShortCountAtTheDeadlineAndNothingMore) {
    setTimeouts(0, 0, 0, 0, 80);
    const Bytes data = pattern(kFlood);
    int32_t written = -1;
    const auto start = Clock::now();
    const int64_t cpuStart = threadCpuUs();
    ASSERT_TRUE(line.write(data.data(), kFlood, written));
    const int64_t cpuMs = (threadCpuUs() - cpuStart) / 1000;
    const int64_t elapsedMs = msSince(start);
    EXPECT_GE(elapsedMs, 80);
    EXPECT_LE(elapsedMs, 80 + kSlackMs);
    EXPECT_LT(cpuMs, kIdleCpuMs);
    ASSERT_GT(written, 0);
    ASSERT_LT(written, kFlood);
    RecordProperty("pty_takes_bytes", std::to_string(written));
    // The count is true: exactly the reported bytes arrive, in order, and
    // nothing of the rest turns up later.
    const Bytes got = pty.drain(100);
    ASSERT_EQ(got.size(), static_cast<size_t>(written));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

struct StalledWriteCase {
    const char* name;
    uint32_t multiplier, constant;
    int32_t count;
    int64_t atLeastMs;
};

void PrintTo(const StalledWriteCase& c, std::ostream* os) {
    *os << c.name;
}

class StalledWrite : public PtyLine, public ::testing::WithParamInterface<StalledWriteCase> {};

TEST_P(StalledWrite, NothingLeavesAndTheCallTakesItsWholeTime) {
    const StalledWriteCase& c = GetParam();
    stallPeer();
    setTimeouts(0, 0, 0, c.multiplier, c.constant);
    const Bytes data(static_cast<size_t>(c.count), 0x42);
    int32_t written = -1;
    const auto start = Clock::now();
    ASSERT_TRUE(line.write(data.data(), c.count, written));
    const int64_t elapsedMs = msSince(start);
    EXPECT_EQ(written, 0);
    EXPECT_GE(elapsedMs, c.atLeastMs);
    EXPECT_LE(elapsedMs, c.atLeastMs + kSlackMs);
    const Bytes got = pty.drain(100);
    EXPECT_EQ(got.size(), static_cast<size_t>(stalledBytes));
    EXPECT_EQ(std::count(got.begin(), got.end(), 0x42), 0);
}

// clang-format off
const StalledWriteCase kStalledWriteCases[] = {
    {"ConstantOnly", 0, 50, 4, 50},
    {"MultiplierOneByte", 20, 0, 1, 20},
    {"MultiplierTimesCount", 20, 0, 4, 80},
    {"MultiplierAndConstant", 10, 30, 3, 60},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Pty, StalledWrite, ::testing::ValuesIn(kStalledWriteCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(PtyLine, AWriteEndsWhenTheLastByteIsTakenNotAtTheDeadline) {
    stallPeer();
    setTimeouts(0, 0, 0, 0, 2000);
    const Bytes data = pattern(64 * 1024);
    int32_t written = -1;
    const auto start = Clock::now();
    {
        Peer peer(pty, {readFrom(60)}, start);
        ASSERT_TRUE(line.write(data.data(), static_cast<int32_t>(data.size()), written));
        const int64_t elapsedMs = msSince(start);
        EXPECT_GE(elapsedMs, 60);
        EXPECT_LE(elapsedMs, 60 + kSlackMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(written, static_cast<int32_t>(data.size()));
}

TEST_F(PtyLine, AWriteWithoutLimitWaitsForTheReader) {
    stallPeer();
    setTimeouts(0, 0, 0, 0, 0);
    const Bytes data = pattern(64 * 1024);
    int32_t written = -1;
    const auto start = Clock::now();
    Peer peer(pty, {readFrom(100)}, start);
    ASSERT_TRUE(line.write(data.data(), static_cast<int32_t>(data.size()), written));
    EXPECT_GE(msSince(start), 100);
    EXPECT_EQ(written, static_cast<int32_t>(data.size()));
}

// --- hang-up ---------------------------------------------------------------

struct HangUpCase {
    const char* name;
    bool writing;
    uint32_t interval, multiplier, constant;  // read or write total
    int hangUpAtMs;
};

void PrintTo(const HangUpCase& c, std::ostream* os) {
    *os << c.name;
}

class HangUp : public PtyLine, public ::testing::WithParamInterface<HangUpCase> {};

TEST_P(HangUp, FailsAtOnceWithoutSpinning) {
    const HangUpCase& c = GetParam();
    if (c.writing) {
        stallPeer();
        setTimeouts(0, 0, 0, c.multiplier, c.constant);
    } else {
        setTimeouts(c.interval, c.multiplier, c.constant);
    }
    const Bytes data = pattern(kFlood);
    Bytes buffer(8);
    int32_t count = -1;
    bool ok = true;
    int64_t elapsedMs = 0;
    int64_t cpuUs = 0;
    {
        const auto start = Clock::now();
        Peer peer(pty, {sendAt(10), hangUpAt(c.hangUpAtMs)}, start);
        const int64_t cpuStart = threadCpuUs();
        ok =
            c.writing ? line.write(data.data(), kFlood, count) : line.read(buffer.data(), 4, count);
        cpuUs = threadCpuUs() - cpuStart;
        elapsedMs = msSince(start);
    }
    EXPECT_FALSE(ok);
    EXPECT_GE(elapsedMs, c.hangUpAtMs);
    EXPECT_LE(elapsedMs, c.hangUpAtMs + kSlackMs);
    EXPECT_LT(cpuUs / 1000, kIdleCpuMs);
    // The line stays dead: the next calls fail at once too.
    const auto again = Clock::now();
    int32_t n = 0;
    uint8_t byte = 0;
    EXPECT_FALSE(line.read(&byte, 1, n));
    EXPECT_FALSE(line.write(&byte, 1, n));
    EXPECT_LE(msSince(again), 50);
}

// clang-format off
const HangUpCase kHangUpCases[] = {
    {"MidReadWithinALongTotal", false, 0, 0, 3000, 60},
    {"MidReadWithinALongInterval", false, 3000, 0, 0, 60},
    {"MidReadWithoutLimits", false, 0, 0, 0, 60},
    {"MidWriteWithinALongTotal", true, 0, 0, 3000, 60},
    {"MidWriteWithoutLimits", true, 0, 0, 0, 60},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Pty, HangUp, ::testing::ValuesIn(kHangUpCases),
                         [](const auto& param) { return std::string(param.param.name); });

// --- the clock -------------------------------------------------------------

TEST(PosixTickCount, FollowsTheMonotonicClockInMilliseconds) {
    PosixSerialLine line;
    const auto start = Clock::now();
    const uint32_t first = line.tickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t second = line.tickCount();
    const int64_t realMs = msSince(start);
    EXPECT_GE(second - first, 49u);
    EXPECT_LE(static_cast<int64_t>(second - first), realMs + 1);
}

// --- CommFile through this backend ---------------------------------------

class CommFileOnPty : public ::testing::Test {
  protected:
    Pty pty;
    PosixSerialLine line{[this](const std::string& name) {
        return name == "COM3" ? pty.path() : "/nonexistent/tesmar-" + name;
    }};
    serial::CommFile port{line};
};

TEST_F(CommFileOnPty, InitOpensConfiguresAndTransfers) {
    ASSERT_EQ(port.init(nullptr, 3, 115200, 40, 20), 0) << port.lastMessage;
    EXPECT_EQ(port.isOpen(), 1);
    LineSettings s;
    ASSERT_TRUE(line.getSettings(s));
    EXPECT_EQ(s.baudRate, 115200u);
    EXPECT_EQ(s.byteSize, 8);
    EXPECT_FALSE(s.outxCtsFlow);

    pty.send({'Q'});
    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(port.ComGetBytes(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'Q');
    EXPECT_EQ(buffer[1], 0);

    const uint8_t out[] = {'a', 'b'};
    EXPECT_EQ(port.ComWriteBytesTimed(out, 2, 100), 2);
    EXPECT_EQ(pty.drain(), (Bytes{'a', 'b'}));

    // Nothing comes: interval, multiplier and constant all 40, one byte.
    const auto start = Clock::now();
    EXPECT_EQ(port.ComGetBytes(buffer, 1), 0);
    const int64_t elapsedMs = msSince(start);
    EXPECT_GE(elapsedMs, 80);
    EXPECT_LE(elapsedMs, 80 + kSlackMs);
    EXPECT_EQ(buffer[0], 0);

    port.close();
    EXPECT_EQ(port.isOpen(), 0);
    EXPECT_FALSE(line.isOpen());
}

TEST_F(CommFileOnPty, InitFailuresReportWhatFailed) {
    EXPECT_EQ(port.init(nullptr, 4, 115200, 40, 20), 1);
    EXPECT_EQ(port.lastMessage, "CommFile::init - CreateFile failed");
    EXPECT_EQ(port.init(nullptr, 3, 12345, 40, 20), 1);
    EXPECT_EQ(port.lastMessage, "CommFile::init - SetCommState failed");
    EXPECT_FALSE(line.isOpen());

    ASSERT_EQ(port.init(nullptr, 3, 115200, 40, 20), 0);
    PosixSerialLine otherLine([this](const std::string&) { return pty.path(); });
    serial::CommFile other(otherLine);
    EXPECT_EQ(other.init(nullptr, 3, 115200, 40, 20), 1);
    EXPECT_EQ(other.lastMessage, "CommFile::init - CreateFile failed");
}

TEST_F(CommFileOnPty, AHangUpIsAFailedReadNotATimeOut) {
    ASSERT_EQ(port.init(nullptr, 3, 115200, 5000, 100), 0);
    pty.closeMaster();
    uint8_t buffer[2] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.ComGetBytes(buffer, 1), -1);
    EXPECT_EQ(port.lastMessage, "CommFile::ComGetBytes - ReadFile failed");
    EXPECT_LE(msSince(start), kSlackMs);
}

}  // namespace
