#pragma once

// Runs a simulated instrument on a pseudo-terminal in real time: the far end
// of a serial port that the host program opens by the slave's path.
//
// The driver keeps no descriptor of the slave: the master then reports
// POLLHUP while nobody holds the slave open, which is how the driver sees the
// host open the port (the device powers on and announces after its delay) and
// close it again (the device powers off and waits for the next open). The
// model's answer times become deadlines for writing the reply bytes.

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "sim/instrument.h"

namespace sim {

class PtyDriver : private serial::SimLink {
  public:
    struct Options {
        bool pace = false;     // one byte every 10 bit times at the host's speed
        bool once = false;     // return after the host closed the port once
        std::string linkPath;  // a symbolic link to the slave, kept up to date
    };

    PtyDriver(Instrument& device, Options options);
    ~PtyDriver() override;
    PtyDriver(const PtyDriver&) = delete;
    PtyDriver& operator=(const PtyDriver&) = delete;

    // Creates the pseudo-terminal; false with error set when that fails.
    bool start(std::string& error);
    // The slave's path ("/dev/pts/7"); it changes when the line was dropped.
    const std::string& slavePath() const { return slavePath_; }
    // Serves the host until `stop` turns true, or after one session with
    // `once`. Calls onNewPath (when set) each time the slave path changes.
    void run(const std::atomic<bool>& stop, void (*onNewPath)(const std::string&) = nullptr);

  private:
    int64_t nowUs() const override;
    void sendToHost(uint8_t byte, int64_t atUs) override;
    void hangUp(int64_t atUs) override;
    uint32_t baudRate() const override;

    bool openPty(std::string& error);
    void closePty();
    void makeRaw();
    void hostClosed();
    int64_t byteTimeUs() const;

    struct Pending {
        int64_t atUs;
        uint8_t byte;
    };
    Instrument& device_;
    Options options_;
    int master_ = -1;
    std::string slavePath_;
    bool connected_ = false;
    int64_t epochUs_ = 0;
    int64_t hangUpUs_ = -1;
    int64_t wireFreeUs_ = 0;
    std::deque<Pending> pending_;
};

}  // namespace sim
