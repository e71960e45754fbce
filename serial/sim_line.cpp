#include "serial/sim_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace serial {

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int64_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr int64_t kUsPerMs = 1000;

// Saturates far beyond any horizon, so that huge time-outs cannot overflow.
int64_t msToUs(uint64_t ms) {
    constexpr uint64_t kFarMs = uint64_t{1} << 50;
    return static_cast<int64_t>(std::min(ms, kFarMs)) * kUsPerMs;
}

}  // namespace

SimLine::SimLine() = default;
SimLine::~SimLine() = default;

void SimLine::failCall(Call call, int nth) {
    failAt_[call].insert(nth);
}

void SimLine::refuseWritesAfter(int64_t bytes) {
    writesLeft_ = bytes < 0 ? -1 : bytes;
}

void SimLine::advanceToUs(int64_t us) {
    if (us > nowUs_) {
        moveClockTo(us, "advanceToUs");
    }
}

std::string SimLine::writtenText() const {
    std::string text;
    text.reserve(hostWrites_.size());
    for (const Transfer& t : hostWrites_) {
        text.push_back(static_cast<char>(t.byte));
    }
    return text;
}

int SimLine::callCount(Call call) const {
    const auto it = calls_.find(call);
    return it == calls_.end() ? 0 : it->second;
}

bool SimLine::shouldFail(Call call) {
    const int n = ++calls_[call];
    const auto it = failAt_.find(call);
    return it != failAt_.end() && (it->second.contains(0) || it->second.contains(n));
}

void SimLine::never(const char* what) const {
    std::fprintf(stderr, "SimLine: at %lld us: %s\n", static_cast<long long>(nowUs_), what);
    std::fflush(stderr);
    std::abort();
}

void SimLine::moveClockTo(int64_t us, const char* what) {
    if (us > horizonUs_) {
        std::fprintf(stderr,
                     "SimLine: %s would carry the clock to %lld us, past the horizon of %lld us "
                     "(a loop that never ends?)\n",
                     what, static_cast<long long>(us), static_cast<long long>(horizonUs_));
        std::fflush(stderr);
        std::abort();
    }
    nowUs_ = std::max(nowUs_, us);
}

int64_t SimLine::carry(Wire& wire, int64_t startUs) {
    const uint32_t baud = settings_.baudRate;
    if (!pacing_ || baud == 0) {
        wire.freeUs = std::max(wire.freeUs, startUs);
        wire.burstBytes = 0;
        return wire.freeUs;
    }
    if (wire.burstBytes == 0 || startUs > wire.freeUs) {
        // The wire is idle: a new burst starts with this byte.
        wire.burstStartUs = startUs;
        wire.burstBytes = 0;
    }
    ++wire.burstBytes;
    // Byte k of a burst ends k byte times after the burst began, rounded up
    // to the microsecond, so that rounding never adds up over a block.
    const int64_t bitsUs = wire.burstBytes * kBitsPerByte * 1'000'000;
    wire.freeUs = wire.burstStartUs + (bitsUs + baud - 1) / baud;
    return wire.freeUs;
}

// --- SerialLine ------------------------------------------------------------

bool SimLine::open(const std::string& name) {
    if (shouldFail(Call::Open) || open_ || !ports_.contains(name) || hungUpBy(nowUs_)) {
        return false;
    }
    open_ = true;
    ++openCount_;
    rx_.clear();
    tx_ = Wire{nowUs_, nowUs_, 0};
    rxWire_ = Wire{nowUs_, nowUs_, 0};
    lastRxUs_ = nowUs_;
    if (peer_ != nullptr) {
        peer_->onOpen(*this, nowUs_);
    }
    return true;
}

bool SimLine::getSettings(LineSettings& settings) {
    if (shouldFail(Call::GetSettings) || !open_) {
        return false;
    }
    settings = settings_;
    return true;
}

bool SimLine::setSettings(const LineSettings& settings) {
    if (shouldFail(Call::SetSettings) || !open_) {
        return false;
    }
    settings_ = settings;
    hostBaud_ = settings.baudRate;
    return true;
}

bool SimLine::getTimeouts(Timeouts& timeouts) {
    if (shouldFail(Call::GetTimeouts) || !open_) {
        return false;
    }
    timeouts = timeouts_;
    return true;
}

bool SimLine::setTimeouts(const Timeouts& timeouts) {
    if (shouldFail(Call::SetTimeouts) || !open_) {
        return false;
    }
    timeouts_ = timeouts;
    return true;
}

bool SimLine::read(uint8_t* buffer, int32_t count, int32_t& got) {
    got = 0;
    if (shouldFail(Call::Read) || !open_ || hungUpBy(nowUs_)) {
        return false;
    }
    if (count <= 0) {
        return true;
    }
    const int64_t startUs = nowUs_;
    const Timeouts& t = timeouts_;
    const auto takeFront = [&] {
        buffer[got++] = rx_.front().byte;
        rx_.pop_front();
    };
    const auto record = [&] {
        for (int32_t i = 0; i < got; ++i) {
            hostReads_.push_back({buffer[i], nowUs_});
        }
    };

    if (t.readInterval == kMaxDword && t.readTotalMultiplier == 0 && t.readTotalConstant == 0) {
        // Return at once with what is already there.
        while (got < count && !rx_.empty() && rx_.front().atUs <= startUs) {
            takeFront();
        }
        record();
        return true;
    }

    const bool hasTotal = t.readTotalMultiplier != 0 || t.readTotalConstant != 0;
    const int64_t deadlineUs =
        hasTotal ? startUs + msToUs(uint64_t{t.readTotalMultiplier} * static_cast<uint64_t>(count) +
                                    t.readTotalConstant)
                 : kNever;
    int64_t lastByteUs = startUs;  // a byte already waiting counts as taken at the start
    while (got < count) {
        int64_t limitUs = deadlineUs;
        if (t.readInterval != 0 && got > 0) {
            limitUs = std::min(limitUs, lastByteUs + msToUs(t.readInterval));
        }
        if (!rx_.empty()) {
            const int64_t arrivalUs = std::max(rx_.front().atUs, startUs);
            if (arrivalUs <= limitUs && !hungUpBy(arrivalUs)) {
                takeFront();
                lastByteUs = arrivalUs;
                continue;
            }
        }
        if (hangUpUs_ >= 0 && hangUpUs_ <= limitUs) {
            moveClockTo(hangUpUs_, "a read");
            return false;  // the line dropped while the read waited
        }
        if (limitUs == kNever) {
            never("the read has no time-out and nothing more is on its way: it would never return");
        }
        moveClockTo(limitUs, "a read");
        record();
        return true;
    }
    moveClockTo(lastByteUs, "a read");
    record();
    return true;
}

bool SimLine::write(const uint8_t* buffer, int32_t count, int32_t& written) {
    written = 0;
    if (shouldFail(Call::Write) || !open_ || hungUpBy(nowUs_)) {
        return false;
    }
    if (count <= 0) {
        return true;
    }
    for (int32_t i = 0; i < count && writesLeft_ != 0; ++i) {
        const int64_t arrivalUs = carry(tx_, nowUs_);
        hostWrites_.push_back({buffer[i], arrivalUs});
        ++written;
        if (writesLeft_ > 0) {
            --writesLeft_;
        }
        if (peer_ != nullptr && !hungUpBy(arrivalUs)) {
            peer_->onHostByte(*this, buffer[i], arrivalUs);
        }
    }
    if (written == count) {
        return true;
    }
    // The line takes no more: the write waits out its whole time-out.
    const uint64_t totalMs =
        uint64_t{timeouts_.writeTotalMultiplier} * static_cast<uint64_t>(count) +
        timeouts_.writeTotalConstant;
    if (totalMs == 0) {
        std::fprintf(stderr,
                     "SimLine: write at %lld us: the line refuses bytes and the write has "
                     "no time-out: it would never return\n",
                     static_cast<long long>(nowUs_));
        std::fflush(stderr);
        std::abort();
    }
    const int64_t endUs = nowUs_ + msToUs(totalMs);
    if (hangUpUs_ >= 0 && hangUpUs_ <= endUs) {
        moveClockTo(hangUpUs_, "a write");
        return false;
    }
    moveClockTo(endUs, "a write");
    return true;
}

bool SimLine::setQueueSizes(uint32_t /*inQueue*/, uint32_t /*outQueue*/) {
    return open_;
}

bool SimLine::discardInput() {
    if (!open_) {
        return false;
    }
    while (!rx_.empty() && rx_.front().atUs <= nowUs_) {
        rx_.pop_front();
    }
    return true;
}

void SimLine::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    rx_.clear();
    if (peer_ != nullptr) {
        peer_->onClose(nowUs_);
    }
}

uint32_t SimLine::tickCount() {
    return static_cast<uint32_t>(nowUs_ / kUsPerMs);
}

// --- SimLink -----------------------------------------------------------------

void SimLine::sendToHost(uint8_t byte, int64_t atUs) {
    if (!open_) {
        return;  // nobody listens: the byte is lost
    }
    // Bytes reach the host in the order sent, and with pacing each one only
    // once the wire has carried it.
    const int64_t arrivalUs = std::max(carry(rxWire_, atUs), lastRxUs_);
    lastRxUs_ = arrivalUs;
    if (hungUpBy(arrivalUs)) {
        return;
    }
    rx_.push_back({byte, arrivalUs});
}

void SimLine::hangUp(int64_t atUs) {
    const int64_t us = std::max(atUs, nowUs_);
    hangUpUs_ = hangUpUs_ < 0 ? us : std::min(hangUpUs_, us);
}

}  // namespace serial
