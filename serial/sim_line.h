#pragma once

// A serial line in virtual time, for tests and the simulated instrument.
// Bytes the host writes are handed to a peer (the far end) with the time they
// arrive; the peer schedules its reply bytes at virtual times. Reads obey the
// same time-out rules as a real port against those times and move the virtual
// clock to the moment the read returns, so a 10 s time-out costs no real time
// and every run is deterministic. tickCount() is the virtual clock.
//
// Rules of the simulation (microseconds internally):
//  - A byte arriving exactly at a read's limit is still taken.
//  - A read that could never return (no time-out at all and nothing on its
//    way) and a refused write with no write time-out abort the program with a
//    message on stderr: in a test that is a hang, and a failed call would look
//    like a line fault the code under test may legitimately handle. So does any
//    call that would carry the clock past the horizon (24 h by default), which
//    catches a loop that reads time-out after time-out for ever.
//  - hostReads() gives each byte the time the read that took it returned.
//  - Opening clears the input; bytes sent to a closed line are lost. Settings
//    and time-outs are kept across close and open, as a driver keeps them.
//  - After a hang-up the port also cannot be opened again.
//  - Only the time-out rules of serial_line.h are modelled; the Windows mode
//    "interval and multiplier MAXDWORD, constant between" is not.
//  - A write hands its bytes over and returns at once (with pacing they
//    reach the far end one byte time after another), unless the line refuses
//    bytes (refuseWritesAfter).

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
    // Makes no call fail any more (failCall undone).
    void clearFailures() { failAt_.clear(); }
    // The settings the driver reports before anything is set.
    void setDriverSettings(const LineSettings& settings) { settings_ = settings; }
    // A call that would move the clock beyond this aborts (see above).
    void setHorizonUs(int64_t us) { horizonUs_ = us; }
    // The far end's side of the line, for a test that sends or hangs up itself.
    SimLink& link() { return *this; }

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
    uint32_t baudRate() const override { return hostBaud_; }

    // A direction of the wire: when its next byte can start, and the burst of
    // back-to-back bytes it belongs to (so that n bytes take exactly n byte
    // times, without rounding each one).
    struct Wire {
        int64_t freeUs = 0;
        int64_t burstStartUs = 0;
        int64_t burstBytes = 0;
    };

    bool shouldFail(Call call);
    bool hungUpBy(int64_t us) const { return hangUpUs_ >= 0 && us >= hangUpUs_; }
    // When a byte put on the wire at startUs has arrived at the other end.
    int64_t carry(Wire& wire, int64_t startUs);
    void moveClockTo(int64_t us, const char* what);
    [[noreturn]] void never(const char* what) const;

    SimPeer* peer_ = nullptr;
    std::set<std::string> ports_{"COM1"};
    bool pacing_ = false;
    bool open_ = false;
    int openCount_ = 0;
    int64_t nowUs_ = 0;
    int64_t hangUpUs_ = -1;  // -1 = the line stays up
    int64_t horizonUs_ = int64_t{24} * 3600 * 1000 * 1000;
    uint32_t hostBaud_ = 0;    // the speed the host set, 0 before
    Wire tx_;                  // host -> far end
    Wire rxWire_;              // far end -> host
    int64_t lastRxUs_ = 0;     // arrival of the last byte sent to the host
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
