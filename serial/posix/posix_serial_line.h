#pragma once

// SerialLine on a POSIX terminal device (termios), for real serial ports and
// USB adapters and for pseudo-terminals.
//
// - open: the resolver turns the port name ("COM3") into a device path. The
//   device is opened non-blocking, without becoming the controlling terminal,
//   and held exclusively by flock() and TIOCEXCL together: TIOCEXCL alone does
//   not stop root, flock() alone does not stop a program that takes no lock.
//   A second open of a port in use fails. Low latency is asked for where the
//   driver offers it (a USB adapter then hands each byte on at once instead of
//   after its latency timer).
// - setSettings: raw 8-bit binary mode, no input or output processing, no
//   flow control unless asked for, modem status ignored (CLOCAL), no hang-up
//   on close, the receiver on; DTR and RTS as asked. A speed the system has no
//   constant for fails. A pseudo-terminal has no modem lines: there, and only
//   there, refusing to change DTR and RTS is no error.
// - read and write follow the Windows time-out rules of Timeouts exactly,
//   measured with poll() against a monotonic deadline (never VMIN/VTIME).
//   A hang-up (adapter unplugged, far end of a pty closed) fails the call at
//   once.
// - write: the bytes go out while the device takes them, then the call waits
//   for the driver's output queue to empty. At the deadline what is still
//   queued is discarded and the call reports only the bytes that left, so a
//   short count is true: bytes reported as not written are never sent later.
//   A pseudo-terminal hands each byte it takes straight to the far end's
//   input and reports an empty output queue, so there every byte taken
//   counts as written (and nothing is discarded: discarding on a pty would
//   drop bytes the far end has not read yet).

#include <cstdint>
#include <functional>
#include <string>

#include "serial/serial_line.h"

namespace serial {

// The path a port name stands for when the settings file names none:
// "COM<n>" (n >= 1) is /dev/ttyS<n-1>; any other name is taken as a path.
std::string defaultPortPath(const std::string& name);

class PosixSerialLine : public SerialLine {
  public:
    using Resolver = std::function<std::string(const std::string& name)>;

    explicit PosixSerialLine(Resolver resolver = defaultPortPath);
    ~PosixSerialLine() override;
    PosixSerialLine(const PosixSerialLine&) = delete;
    PosixSerialLine& operator=(const PosixSerialLine&) = delete;

    // false when the path does not exist, is no terminal, or another holder
    // has the port. Time-outs start as all zero.
    bool open(const std::string& name) override;
    bool getSettings(LineSettings& settings) override;
    // false for what this system cannot carry (an unknown speed, 1.5 stop
    // bits, DSR flow control or sensitivity, DTR handshake, RTS toggle,
    // error-character replacement, NUL discarding, abort on error, XOFF input
    // flow control that stops transmission) and when the driver refuses.
    bool setSettings(const LineSettings& settings) override;
    bool getTimeouts(Timeouts& timeouts) override;
    bool setTimeouts(const Timeouts& timeouts) override;
    bool read(uint8_t* buffer, int32_t count, int32_t& got) override;
    bool write(const uint8_t* buffer, int32_t count, int32_t& written) override;
    // Linux sizes its queues itself: nothing to do.
    bool setQueueSizes(uint32_t inQueue, uint32_t outQueue) override;
    bool discardInput() override;
    // Leaves the line settings as they are; gives up the exclusive hold.
    void close() override;
    // CLOCK_MONOTONIC in milliseconds, wrapping at 2^32.
    uint32_t tickCount() override;

    bool isOpen() const { return fd_ >= 0; }
    // Whether the open device is a pseudo-terminal (master or slave).
    bool isPseudoTerminal() const { return pty_; }

  private:
    bool waitForOutputQueue(int32_t accepted, int64_t deadlineNs, int32_t& written);

    Resolver resolver_;
    int fd_ = -1;
    bool pty_ = false;
    uint32_t baudRate_ = 0;  // as last set, for pacing the wait on the output queue
    Timeouts timeouts_;
};

}  // namespace serial
