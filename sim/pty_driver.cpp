#include "sim/pty_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sim {

namespace {

constexpr int64_t kIdlePollUs = 5'000;  // how often the closed port is looked at
constexpr int64_t kMaxWaitUs = 50'000;  // longest sleep while the port is open
constexpr uint32_t kDefaultBaud = 115200;

int64_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

uint32_t speedValue(speed_t s) {
    switch (s) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

}  // namespace

PtyDriver::PtyDriver(Instrument& device, Options options)
    : device_(device), options_(std::move(options)), epochUs_(monotonicUs()) {}

PtyDriver::~PtyDriver() {
    closePty();
}

int64_t PtyDriver::nowUs() const {
    return monotonicUs() - epochUs_;
}

void PtyDriver::sendToHost(uint8_t byte, int64_t atUs) {
    pending_.push_back({atUs, byte});
}

void PtyDriver::hangUp(int64_t atUs) {
    hangUpUs_ = hangUpUs_ < 0 ? atUs : std::min(hangUpUs_, atUs);
}

uint32_t PtyDriver::baudRate() const {
    termios t{};
    if (master_ < 0 || tcgetattr(master_, &t) != 0) {
        return 0;
    }
    return speedValue(cfgetospeed(&t));
}

int64_t PtyDriver::byteTimeUs() const {
    uint32_t baud = baudRate();
    if (baud == 0) {
        baud = kDefaultBaud;
    }
    return (10 * 1'000'000 + baud - 1) / baud;
}

bool PtyDriver::start(std::string& error) {
    return openPty(error);
}

bool PtyDriver::openPty(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        closePty();
        return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
        error = "cannot name the pseudo-terminal";
        closePty();
        return false;
    }
    slavePath_ = name;
    makeRaw();
    // Until the slave has been open once, the master does not report POLLHUP:
    // open and close it, so that from now on POLLHUP means "nobody holds it".
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        close(slave);
    }
    if (!options_.linkPath.empty()) {
        const std::string tmp = options_.linkPath + ".new";
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0 ||
            rename(tmp.c_str(), options_.linkPath.c_str()) != 0) {
            error = "cannot link " + options_.linkPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void PtyDriver::closePty() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

void PtyDriver::makeRaw() {
    termios t{};
    if (tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(master_, TCSANOW, &t);
    }
}

void PtyDriver::hostClosed() {
    device_.onClose(nowUs());
    connected_ = false;
    pending_.clear();
    hangUpUs_ = -1;
    tcflush(master_, TCIOFLUSH);
    makeRaw();
}

void PtyDriver::run(const std::atomic<bool>& stop, void (*onNewPath)(const std::string&)) {
    uint8_t buffer[256];
    while (!stop.load()) {
        if (master_ < 0) {
            return;
        }
        pollfd p{master_, POLLIN, 0};
        if (!connected_) {
            if (poll(&p, 1, 0) < 0 && errno != EINTR) {
                return;
            }
            if ((p.revents & POLLHUP) != 0) {
                timespec idle{0, kIdlePollUs * 1000};
                nanosleep(&idle, nullptr);
                continue;
            }
            connected_ = true;
            wireFreeUs_ = 0;
            device_.onOpen(*this, nowUs());
        }

        // Sleep until a byte comes or the next deadline.
        int64_t now = nowUs();
        int64_t wakeUs = now + kMaxWaitUs;
        if (!pending_.empty()) {
            wakeUs = std::min(wakeUs, std::max(pending_.front().atUs, wireFreeUs_));
        }
        if (hangUpUs_ >= 0) {
            wakeUs = std::min(wakeUs, hangUpUs_);
        }
        const int64_t waitUs = std::max<int64_t>(0, wakeUs - now);
        timespec timeout{static_cast<time_t>(waitUs / 1'000'000),
                         static_cast<long>((waitUs % 1'000'000) * 1000)};
        p.revents = 0;
        const int ready = ppoll(&p, 1, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t n = read(master_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                device_.onHostByte(*this, buffer[i], nowUs());
            }
            if (n < 0 && errno == EIO) {
                p.revents = POLLHUP;  // the slave has gone
            } else {
                p.revents = static_cast<short>(p.revents & ~POLLHUP);  // read what is left first
            }
        }
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            hostClosed();
            if (options_.once) {
                return;
            }
            continue;
        }

        now = nowUs();
        if (hangUpUs_ >= 0 && now >= hangUpUs_) {
            // The line drops: the host's port fails from now on. A new
            // pseudo-terminal serves the next session.
            device_.onClose(now);
            closePty();
            connected_ = false;
            pending_.clear();
            hangUpUs_ = -1;
            if (options_.once) {
                return;
            }
            std::string error;
            if (!openPty(error)) {
                std::fprintf(stderr, "tesmar-sim: %s\n", error.c_str());
                return;
            }
            if (onNewPath != nullptr) {
                onNewPath(slavePath_);
            }
            continue;
        }
        while (!pending_.empty() && pending_.front().atUs <= now) {
            if (options_.pace && wireFreeUs_ > now) {
                break;
            }
            const uint8_t byte = pending_.front().byte;
            if (write(master_, &byte, 1) != 1) {
                break;  // the host's input queue is full: try again shortly
            }
            pending_.pop_front();
            if (options_.pace) {
                wireFreeUs_ = std::max(wireFreeUs_, now) + byteTimeUs();
            }
        }
    }
}

}  // namespace sim
