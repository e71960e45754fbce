#pragma once

// The few operating-system calls CommFile needs, behind one interface with a
// backend per system (serial/posix) and a simulated line for tests. Each call
// mirrors the Windows communications call named beside it and reports success
// as true, failure as false.

#include <cstdint>
#include <string>

namespace serial {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OnePointFive, Two };
enum class DtrControl : uint8_t { Disable, Enable, Handshake };
enum class RtsControl : uint8_t { Disable, Enable, Handshake, Toggle };

// The port's line settings (the DCB). init() sets the first group and leaves
// the second group as the driver reported it.
struct LineSettings {
    // Set by init().
    uint32_t baudRate = 9600;
    uint8_t byteSize = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool outxCtsFlow = false;  // CTS output flow control
    bool outxDsrFlow = false;  // DSR output flow control
    DtrControl dtrControl = DtrControl::Enable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outX = false;       // XON/XOFF output flow control
    bool inX = false;        // XON/XOFF input flow control
    bool errorChar = false;  // replace bytes with parity errors
    bool null = false;       // discard NUL bytes
    RtsControl rtsControl = RtsControl::Enable;
    // Left as the driver reported them.
    bool binary = true;
    bool parityCheck = false;
    bool abortOnError = false;
    uint16_t xonLim = 2048;
    uint16_t xoffLim = 512;
    char xonChar = 0x11;
    char xoffChar = 0x13;
    char errorCharValue = 0;
    char eofChar = 0;
    char evtChar = 0;

    bool operator==(const LineSettings&) const = default;
};

// The five-field time-out block (COMMTIMEOUTS), in milliseconds.
//  - A read of n bytes returns when n bytes have come, when readInterval
//    passes between two bytes (counted only from the first byte on; 0 = no
//    interval limit), or when readTotalMultiplier * n + readTotalConstant has
//    passed since it started (both 0 = no total limit). It returns what came.
//  - readInterval = 0xFFFFFFFF with both totals 0: return at once with what is
//    already there.
//  - A write of n bytes is given writeTotalMultiplier * n + writeTotalConstant
//    (both 0 = no limit) and reports how many bytes left in that time.
struct Timeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;

    bool operator==(const Timeouts&) const = default;
};

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

class SerialLine {
  public:
    virtual ~SerialLine() = default;

    // CreateFile: opens the named device ("COM3") for reading and writing,
    // unshared; false when it does not exist or another holder has it open.
    virtual bool open(const std::string& name) = 0;
    // GetCommState / SetCommState.
    virtual bool getSettings(LineSettings& settings) = 0;
    virtual bool setSettings(const LineSettings& settings) = 0;
    // GetCommTimeouts / SetCommTimeouts.
    virtual bool getTimeouts(Timeouts& timeouts) = 0;
    virtual bool setTimeouts(const Timeouts& timeouts) = 0;
    // ReadFile: one read of up to count bytes under the time-outs. A time-out
    // is no failure: got holds the short count, possibly 0. False on a failure
    // of the line (a hang-up, an unplugged adapter).
    virtual bool read(uint8_t* buffer, int32_t count, int32_t& got) = 0;
    // WriteFile: one write of count bytes under the time-outs. A time-out is no
    // failure: written holds the bytes that left; the rest is never sent.
    virtual bool write(const uint8_t* buffer, int32_t count, int32_t& written) = 0;
    // SetupComm: recommended driver queue sizes.
    virtual bool setQueueSizes(uint32_t inQueue, uint32_t outQueue) = 0;
    // PurgeComm for the receive side: discards input not yet read.
    virtual bool discardInput() = 0;
    // CloseHandle.
    virtual void close() = 0;
    // GetTickCount: milliseconds, wrapping at 2^32.
    virtual uint32_t tickCount() = 0;
};

}  // namespace serial
