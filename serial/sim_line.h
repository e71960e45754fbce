#pragma once

// A serial line in virtual time, for tests and the simulated instrument.
// Bytes the host writes are handed to a peer (the far end) with the time they
// arrive; the peer schedules its reply bytes at virtual times. Reads obey the
// same time-out rules as a real port against those times and move the virtual
// clock to the moment the read returns, so a 10 s time-out costs no real time
// and every run is deterministic. tickCount() is the virtual clock.

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "serial/serial_line.h"

namespace serial {

// What the far end of a simulated line can do.
class SimLink {
  public:
    virtual ~SimLink() = default;
    virtual int64_t nowUs() const = 0;
    // Sends a byte to the host, ready to be read at atUs (with pacing: once
    // the line has also carried it). Bytes reach the host in the order sent.
    virtual void sendToHost(uint8_t byte, int64_t atUs) = 0;
    // The line drops at atUs (an unplugged cable): from then on every read and
    // write of the host fails, and a read waiting past atUs fails then.
    virtual void hangUp(int64_t atUs) = 0;
    // The speed the host set, 0 before it set one.
    virtual uint32_t baudRate() const = 0;
};

// The far end: a simulated instrument, or a scripted peer in a test.
class SimPeer {
  public:
    virtual ~SimPeer() = default;
    // The host opened the port at atUs.
    virtual void onOpen(SimLink& link, int64_t atUs) = 0;
    // A byte from the host arrived at the far end at atUs. Called in arrival
    // order, at the moment the host writes it (its time may lie ahead of the
    // host's clock when the line is paced).
    virtual void onHostByte(SimLink& link, uint8_t byte, int64_t atUs) = 0;
    // The host closed the port at atUs.
    virtual void onClose(int64_t /*atUs*/) {}
};

class SimLine : public SerialLine, private SimLink {
  public:
    // The calls of SerialLine that a test can make fail.
    enum class Call { Open, GetSettings, SetSettings, GetTimeouts, SetTimeouts, Read, Write };

    SimLine();
    ~SimLine() override;

    // --- set-up -----------------------------------------------------------
    void attach(SimPeer* peer) { peer_ = peer; }
    // The port names that exist ("COM1" by default).
    void setPorts(std::set<std::string> names) { ports_ = std::move(names); }
    // Wire pacing: each byte takes 10 bit times at the host's speed, in each
    // direction (about 87 us at 115200).
    void setPacing(bool on) { pacing_ = on; }
    // Makes call number nth (1-based, counted per kind since construction) of
    // a kind fail; nth = 0 makes every call of that kind fail.
    void failCall(Call call, int nth = 0);
    // The line takes only this many more host bytes; a write beyond them
    // returns the short count after its whole write time-out.
    void refuseWritesAfter(int64_t bytes);
    // The settings the driver reports before anything is set.
    void setDriverSettings(const LineSettings& settings) { settings_ = settings; }

    // --- virtual time -----------------------------------------------------
    int64_t nowUs() const override { return nowUs_; }
    int64_t nowMs() const { return nowUs_ / 1000; }
    // Moves the clock forward (never back), as a user waiting would.
    void advanceToUs(int64_t us);
    void advanceToMs(int64_t ms) { advanceToUs(ms * 1000); }

    // --- what happened ----------------------------------------------------
    struct Transfer {
        uint8_t byte;
        int64_t atUs;  // host -> far end: when it arrived; far end -> host: when it was read
    };
    const std::vector<Transfer>& hostWrites() const { return hostWrites_; }
    const std::vector<Transfer>& hostReads() const { return hostReads_; }
    std::string writtenText() const;  // the host's bytes as text
    bool isOpen() const { return open_; }
    const LineSettings& currentSettings() const { return settings_; }
    const Timeouts& currentTimeouts() const { return timeouts_; }
    int callCount(Call call) const;
    int openCount() const { return openCount_; }

    // --- SerialLine -------------------------------------------------------
    bool open(const std::string& name) override;
    bool getSettings(LineSettings& settings) override;
    bool setSettings(const LineSettings& settings) override;
    bool getTimeouts(Timeouts& timeouts) override;
    bool setTimeouts(const Timeouts& timeouts) override;
    bool read(uint8_t* buffer, int32_t count, int32_t& got) override;
    bool write(const uint8_t* buffer, int32_t count, int32_t& written) override;
    bool setQueueSizes(uint32_t inQueue, uint32_t outQueue) override;
    bool discardInput() override;
    void close() override;
    uint32_t tickCount() override;

  private:
    // SimLink, for the peer.
    void sendToHost(uint8_t byte, int64_t atUs) override;
    void hangUp(int64_t atUs) override;
    uint32_t baudRate() const override { return settings_.baudRate; }

    bool shouldFail(Call call);
    int64_t byteTimeUs() const;

    SimPeer* peer_ = nullptr;
    std::set<std::string> ports_{"COM1"};
    bool pacing_ = false;
    bool open_ = false;
    int openCount_ = 0;
    int64_t nowUs_ = 0;
    int64_t hangUpUs_ = -1;    // -1 = the line stays up
    int64_t txFreeUs_ = 0;     // when the host's next byte can start on the wire
    int64_t rxFreeUs_ = 0;     // when the far end's next byte can start on the wire
    int64_t writesLeft_ = -1;  // -1 = unlimited
    LineSettings settings_;
    Timeouts timeouts_;
    std::deque<Transfer> rx_;  // to the host, in arrival order
    std::vector<Transfer> hostWrites_;
    std::vector<Transfer> hostReads_;
    std::map<Call, int> calls_;
    std::map<Call, std::set<int>> failAt_;
};

}  // namespace serial
