#include "serial/posix/posix_serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <utility>

#ifdef __linux__
#include <linux/major.h>
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace serial {

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNoDeadline = -1;
// A total time-out beyond this (about 31 years) is no limit in practice.
constexpr uint64_t kLongestMs = 1000000000000ULL;
// The longest single sleep while waiting for the output queue to empty; it
// bounds how late the end of the queue is noticed.
constexpr int kQueuePollMaxMs = 20;

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// start + ms, or kNoDeadline for a time-out too long to matter.
int64_t deadlineAfter(int64_t startNs, uint64_t ms) {
    if (ms > kLongestMs) {
        return kNoDeadline;
    }
    return startNs + static_cast<int64_t>(ms) * kNsPerMs;
}

// multiplier * count + constant, both 0 meaning no limit.
int64_t totalDeadline(int64_t startNs, uint32_t multiplier, uint32_t constant, int32_t count) {
    if (multiplier == 0 && constant == 0) {
        return kNoDeadline;
    }
    const uint64_t ms = static_cast<uint64_t>(multiplier) * static_cast<uint64_t>(count) + constant;
    return deadlineAfter(startNs, ms);
}

int64_t earlier(int64_t a, int64_t b) {
    if (a == kNoDeadline) {
        return b;
    }
    if (b == kNoDeadline) {
        return a;
    }
    return std::min(a, b);
}

// A poll() time-out that never ends before the deadline (rounded up to whole
// milliseconds); -1 waits without limit.
int pollTimeoutMs(int64_t deadlineNs, int64_t nowNs) {
    if (deadlineNs == kNoDeadline) {
        return -1;
    }
    const int64_t ms = (deadlineNs - nowNs + kNsPerMs - 1) / kNsPerMs;
    return static_cast<int>(std::clamp<int64_t>(ms, 0, INT_MAX));
}

constexpr short kHangUpEvents = POLLERR | POLLHUP | POLLNVAL;

// clang-format off
struct SpeedEntry {
    uint32_t bitsPerSecond;
    speed_t constant;
};
constexpr SpeedEntry kSpeeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};
// clang-format on

bool speedConstant(uint32_t bitsPerSecond, speed_t& constant) {
    for (const auto& entry : kSpeeds) {
        if (entry.bitsPerSecond == bitsPerSecond) {
            constant = entry.constant;
            return true;
        }
    }
    return false;
}

uint32_t speedValue(speed_t constant) {
    for (const auto& entry : kSpeeds) {
        if (entry.constant == constant) {
            return entry.bitsPerSecond;
        }
    }
    return 0;
}

// Whether fd is a pseudo-terminal, master or slave. Linux gives ptys their
// own device numbers: Unix98 slaves (/dev/pts/N) majors 136-143, Unix98
// masters 128-135 (and /dev/ptmx, 5:2, which every master opened through it
// shows), old BSD-style masters 2 and slaves 3. A master also answers
// TIOCGPTN, which no other terminal does. Elsewhere no device counts as a
// pty, so a refused modem-line change always fails there.
bool isPtyDevice(int fd) {
#ifdef __linux__
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned int maj = major(st.st_rdev);
    const unsigned int min = minor(st.st_rdev);
    const bool unix98Slave =
        maj >= UNIX98_PTY_SLAVE_MAJOR && maj < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
    const bool unix98Master =
        maj >= UNIX98_PTY_MASTER_MAJOR && maj < UNIX98_PTY_MASTER_MAJOR + UNIX98_PTY_MAJOR_COUNT;
    const bool bsdPty = maj == PTY_MASTER_MAJOR || maj == PTY_SLAVE_MAJOR;
    const bool ptmx = maj == TTYAUX_MAJOR && min == 2;
    if (unix98Slave || unix98Master || bsdPty || ptmx) {
        return true;
    }
    unsigned int ptyNumber = 0;
    return ioctl(fd, TIOCGPTN, &ptyNumber) == 0;
#else
    (void)fd;
    return false;
#endif
}

// Asks the driver to hand received bytes on at once. A driver that has no
// such setting (a pty, most USB-CDC devices) or refuses it is no error.
void requestLowLatency(int fd) {
#ifdef __linux__
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return;
    }
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) {
        return;
    }
    info.flags |= ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &info);
#else
    (void)fd;
#endif
}

}  // namespace

std::string defaultPortPath(const std::string& name) {
    constexpr size_t kMaxDigits = 9;
    if (name.size() < 4 || name.size() > 3 + kMaxDigits) {
        return name;
    }
    for (size_t i = 0; i < 3; ++i) {
        const char upper = static_cast<char>(name[i] & ~0x20);
        if (upper != "COM"[i]) {
            return name;
        }
    }
    if (name[3] == '0') {
        return name;
    }
    long number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return name;
        }
        number = number * 10 + (name[i] - '0');
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

PosixSerialLine::PosixSerialLine(Resolver resolver) : resolver_(std::move(resolver)) {}

PosixSerialLine::~PosixSerialLine() {
    close();
}

bool PosixSerialLine::open(const std::string& name) {
    close();
    const std::string path = resolver_ ? resolver_(name) : defaultPortPath(name);
    if (path.empty()) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // TIOCEXCL refuses later opens by anyone but root; the lock refuses a
    // second holder that locks too, root included. Both are taken before the
    // port is touched, and a failure leaves the other holder's state alone.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        flock(fd, LOCK_UN);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    pty_ = isPtyDevice(fd);
    baudRate_ = 0;
    timeouts_ = Timeouts{};
    requestLowLatency(fd);
    return true;
}

bool PosixSerialLine::getSettings(LineSettings& settings) {
    if (fd_ < 0) {
        return false;
    }
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) {
        return false;
    }
    LineSettings s;
    s.baudRate = speedValue(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            s.byteSize = 5;
            break;
        case CS6:
            s.byteSize = 6;
            break;
        case CS7:
            s.byteSize = 7;
            break;
        default:
            s.byteSize = 8;
            break;
    }
    if ((tio.c_cflag & PARENB) == 0) {
        s.parity = Parity::None;
    } else {
        const bool odd = (tio.c_cflag & PARODD) != 0;
        s.parity = odd ? Parity::Odd : Parity::Even;
#ifdef CMSPAR
        if ((tio.c_cflag & CMSPAR) != 0) {
            s.parity = odd ? Parity::Mark : Parity::Space;
        }
#endif
    }
    s.stopBits = (tio.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
    const bool hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
    s.outxCtsFlow = hardwareFlow;
    s.outxDsrFlow = false;
    s.dsrSensitivity = false;
    // Linux keeps transmitting after it has sent XOFF.
    s.txContinueOnXoff = true;
    s.outX = (tio.c_iflag & IXON) != 0;
    s.inX = (tio.c_iflag & IXOFF) != 0;
    s.errorChar = false;
    s.null = false;
    s.binary = true;
    s.parityCheck = (tio.c_iflag & INPCK) != 0;
    s.abortOnError = false;
    s.xonChar = static_cast<char>(tio.c_cc[VSTART]);
    s.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    // The modem lines as they stand; a device without them (a pty) reports
    // them as a fresh open leaves a real port: raised.
    int lines = 0;
    const bool haveLines = ioctl(fd_, TIOCMGET, &lines) == 0;
    const bool dtr = !haveLines || (lines & TIOCM_DTR) != 0;
    const bool rts = !haveLines || (lines & TIOCM_RTS) != 0;
    s.dtrControl = dtr ? DtrControl::Enable : DtrControl::Disable;
    if (hardwareFlow) {
        s.rtsControl = RtsControl::Handshake;
    } else {
        s.rtsControl = rts ? RtsControl::Enable : RtsControl::Disable;
    }
    settings = s;
    return true;
}

bool PosixSerialLine::setSettings(const LineSettings& settings) {
    if (fd_ < 0) {
        return false;
    }
    speed_t speed = B0;
    if (!speedConstant(settings.baudRate, speed)) {
        return false;
    }
    if (settings.byteSize < 5 || settings.byteSize > 8 ||
        settings.stopBits == StopBits::OnePointFive || settings.outxDsrFlow ||
        settings.dsrSensitivity || settings.dtrControl == DtrControl::Handshake ||
        settings.rtsControl == RtsControl::Toggle || settings.errorChar || settings.null ||
        settings.abortOnError || (settings.inX && !settings.txContinueOnXoff)) {
        return false;
    }
#ifndef CMSPAR
    if (settings.parity == Parity::Mark || settings.parity == Parity::Space) {
        return false;
    }
#endif
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) {
        return false;
    }
    // Input: no break, parity, CR/NL or case processing, no stripping to 7
    // bits, no parity marking; a break reads as nothing; XON/XOFF only when
    // asked for, and never "any byte restarts output".
    tio.c_iflag = IGNBRK;
    if (settings.outX) {
        tio.c_iflag |= IXON;
    }
    if (settings.inX) {
        tio.c_iflag |= IXOFF;
    }
    if (settings.parityCheck && settings.parity != Parity::None) {
        tio.c_iflag |= INPCK;
    }
    // Output: bytes go out as they are.
    tio.c_oflag = 0;
    // Local: no echo, no line editing, no signals.
    tio.c_lflag = 0;
    // Control: the frame asked for, modem status ignored, receiver on, the
    // lines left as they are on close.
    tcflag_t control = tio.c_cflag;
    control &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
#ifdef CMSPAR
    control &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    control |= kSizes[settings.byteSize - 5] | CLOCAL | CREAD;
    switch (settings.parity) {
        case Parity::None:
            break;
        case Parity::Odd:
            control |= PARENB | PARODD;
            break;
        case Parity::Even:
            control |= PARENB;
            break;
        case Parity::Mark:
#ifdef CMSPAR
            control |= PARENB | PARODD | CMSPAR;
#endif
            break;
        case Parity::Space:
#ifdef CMSPAR
            control |= PARENB | CMSPAR;
#endif
            break;
    }
    if (settings.stopBits == StopBits::Two) {
        control |= CSTOPB;
    }
    if (settings.outxCtsFlow || settings.rtsControl == RtsControl::Handshake) {
        control |= CRTSCTS;
    }
    tio.c_cflag = control;
    // Reads never wait inside the driver: the time-outs are ours.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VSTART] = static_cast<cc_t>(settings.xonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(settings.xoffChar);
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
        return false;
    }
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
        return false;
    }
    // tcsetattr succeeds when any part of the change took: check that the
    // driver kept the frame and the speed.
    termios now{};
    if (tcgetattr(fd_, &now) != 0) {
        return false;
    }
    const tcflag_t frame = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    if ((now.c_cflag & frame) != (tio.c_cflag & frame) || cfgetospeed(&now) != speed ||
        cfgetispeed(&now) != speed) {
        return false;
    }
    baudRate_ = settings.baudRate;

    int lower = 0;
    int raise = 0;
    (settings.dtrControl == DtrControl::Disable ? lower : raise) |= TIOCM_DTR;
    if (settings.rtsControl == RtsControl::Disable) {
        lower |= TIOCM_RTS;
    } else if (settings.rtsControl == RtsControl::Enable) {
        raise |= TIOCM_RTS;
    }
    for (const auto& [request, bits] : {std::pair{TIOCMBIC, lower}, std::pair{TIOCMBIS, raise}}) {
        if (bits == 0) {
            continue;
        }
        int value = bits;
        if (ioctl(fd_, request, &value) != 0) {
            // A pty has no modem lines and says so; a real port must obey.
            if (!(pty_ && (errno == ENOTTY || errno == EINVAL))) {
                return false;
            }
        }
    }
    return true;
}

bool PosixSerialLine::getTimeouts(Timeouts& timeouts) {
    if (fd_ < 0) {
        return false;
    }
    timeouts = timeouts_;
    return true;
}

bool PosixSerialLine::setTimeouts(const Timeouts& timeouts) {
    if (fd_ < 0) {
        return false;
    }
    timeouts_ = timeouts;
    return true;
}

bool PosixSerialLine::read(uint8_t* buffer, int32_t count, int32_t& got) {
    got = 0;
    if (fd_ < 0 || count < 0 || (count > 0 && buffer == nullptr)) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    const Timeouts t = timeouts_;
    const int64_t startNs = monotonicNs();
    // Interval "infinite" with no totals: what is there, at once.
    const bool immediate =
        t.readInterval == kMaxDword && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
    // Interval and multiplier "infinite", a finite constant: what is there at
    // once; else the first bytes to come within the constant.
    const bool firstBytes = t.readInterval == kMaxDword && t.readTotalMultiplier == kMaxDword &&
                            t.readTotalConstant != 0 && t.readTotalConstant != kMaxDword;
    int64_t total = kNoDeadline;
    int64_t intervalNs = kNoDeadline;
    if (firstBytes) {
        total = deadlineAfter(startNs, t.readTotalConstant);
    } else if (!immediate) {
        total = totalDeadline(startNs, t.readTotalMultiplier, t.readTotalConstant, count);
        if (t.readInterval != 0) {
            intervalNs = static_cast<int64_t>(t.readInterval) * kNsPerMs;
        }
    }
    int64_t lastByteNs = kNoDeadline;
    // With VMIN = VTIME = 0 a read of an empty line gives 0, as does a hung-up
    // line: 0 means a hang-up only right after poll() said readable.
    bool readable = false;
    while (true) {
        const ssize_t n = ::read(fd_, buffer + got, static_cast<size_t>(count - got));
        if (n > 0) {
            got += static_cast<int32_t>(n);
            lastByteNs = monotonicNs();
            if (got == count || firstBytes) {
                return true;
            }
            readable = false;
            continue;
        }
        if (n == 0) {
            if (readable) {
                return false;
            }
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;  // EIO, ENXIO: the device has gone
        }
        if (immediate) {
            return true;
        }
        int64_t deadline = total;
        if (intervalNs != kNoDeadline && lastByteNs != kNoDeadline) {
            deadline = earlier(deadline, lastByteNs + intervalNs);
        }
        const int64_t nowNs = monotonicNs();
        if (deadline != kNoDeadline && nowNs >= deadline) {
            return true;
        }
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, pollTimeoutMs(deadline, nowNs));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;  // the deadline stands; the loop measures again
            }
            return false;
        }
        if (ready == 0) {
            readable = false;
            continue;
        }
        if ((pfd.revents & kHangUpEvents) != 0) {
            return false;
        }
        readable = (pfd.revents & POLLIN) != 0;
    }
}

bool PosixSerialLine::write(const uint8_t* buffer, int32_t count, int32_t& written) {
    written = 0;
    if (fd_ < 0 || count < 0 || (count > 0 && buffer == nullptr)) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    const int64_t startNs = monotonicNs();
    const int64_t deadline =
        totalDeadline(startNs, timeouts_.writeTotalMultiplier, timeouts_.writeTotalConstant, count);
    int32_t accepted = 0;
    while (accepted < count) {
        const ssize_t n = ::write(fd_, buffer + accepted, static_cast<size_t>(count - accepted));
        if (n > 0) {
            accepted += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;  // EIO, ENXIO: the device has gone
        }
        const int64_t nowNs = monotonicNs();
        if (deadline != kNoDeadline && nowNs >= deadline) {
            break;
        }
        pollfd pfd{fd_, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, pollTimeoutMs(deadline, nowNs));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (ready > 0 && (pfd.revents & kHangUpEvents) != 0) {
            return false;
        }
    }
    return waitForOutputQueue(accepted, deadline, written);
}

// The bytes the device took may still wait in the driver's output queue.
// Waits until the queue is empty or the deadline passes; then discards what
// is left and counts only the bytes that left. tcdrain() is not used: it has
// no time limit.
bool PosixSerialLine::waitForOutputQueue(int32_t accepted, int64_t deadline, int32_t& written) {
    while (true) {
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0) {
            return false;
        }
        if (queued <= 0) {
            written = accepted;
            return true;
        }
        const int64_t nowNs = monotonicNs();
        if (deadline != kNoDeadline && nowNs >= deadline) {
            // What the driver still reports after the flush is already on its
            // way (a USB adapter's transfer in flight) and will be sent.
            if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || tcflush(fd_, TCOFLUSH) != 0) {
                return false;
            }
            int remaining = 0;
            if (ioctl(fd_, TIOCOUTQ, &remaining) != 0) {
                return false;
            }
            const int discarded = std::clamp(queued - remaining, 0, static_cast<int>(accepted));
            written = accepted - discarded;
            return true;
        }
        // Sleep about as long as the queue needs at the line's speed (10 bits
        // a byte), within the deadline; poll() with no events still wakes at
        // once on a hang-up.
        int sleepMs = kQueuePollMaxMs;
        if (baudRate_ != 0) {
            const int64_t needMs = static_cast<int64_t>(queued) * 10 * 1000 / baudRate_ + 1;
            sleepMs = static_cast<int>(std::clamp<int64_t>(needMs, 1, kQueuePollMaxMs));
        }
        if (deadline != kNoDeadline) {
            sleepMs = std::min(sleepMs, pollTimeoutMs(deadline, nowNs));
        }
        pollfd pfd{fd_, 0, 0};
        const int ready = ::poll(&pfd, 1, sleepMs);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && (pfd.revents & kHangUpEvents) != 0) {
            return false;
        }
    }
}

bool PosixSerialLine::setQueueSizes(uint32_t /*inQueue*/, uint32_t /*outQueue*/) {
    return fd_ >= 0;
}

bool PosixSerialLine::discardInput() {
    if (fd_ < 0) {
        return false;
    }
    return tcflush(fd_, TCIFLUSH) == 0;
}

void PosixSerialLine::close() {
    if (fd_ < 0) {
        return;
    }
    // Others may open the port again once it is closed; the termios settings
    // stay as this program left them.
    (void)ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    pty_ = false;
    baudRate_ = 0;
}

uint32_t PosixSerialLine::tickCount() {
    return static_cast<uint32_t>(static_cast<uint64_t>(monotonicNs() / kNsPerMs));
}

}  // namespace serial
