#pragma once

// CommFile: the program's only access to the serial line. Blocking,
// synchronous transfers on the user-interface thread; the transfers that move
// one byte at a time drain the window's messages after every byte so that the
// window stays alive and Stop reaches them. Every failure leaves a one-line
// text in lastMessage, which nothing displays.

#include <cstdint>
#include <string>

#include "serial/serial_line.h"
#include "ui/message_pump.h"

namespace serial {

class CommFile {
  public:
    explicit CommFile(SerialLine& line) : handle(&line) {}
    virtual ~CommFile() = default;
    CommFile(const CommFile&) = delete;
    CommFile& operator=(const CommFile&) = delete;

    // Opens "COM<portNumber>" and configures 8N1 at baudRate with no flow
    // control and DTR/RTS disabled; read time-outs all readTimeoutMs, write
    // multiplier and constant writeTimeoutMs. Closes an open port first.
    // 0 = open and configured; 1 = failed, port closed.
    int32_t init(ui::MessagePump* window, int32_t portNumber, int32_t baudRate,
                 int32_t readTimeoutMs, int32_t writeTimeoutMs);
    // Reads the time-out block, sets its five fields in this order and writes
    // it back. 1 = applied; 0 = failed. Does not look at opened.
    int32_t setTimeouts(int32_t readInterval, int32_t readMultiplier, int32_t readConstant,
                        int32_t writeMultiplier, int32_t writeConstant);
    // Closes an open port (queues set to 0 first); baudRate is 0 afterwards.
    void close();
    int32_t isOpen() const { return opened; }
    // Asks the running draining transfer to end with -2 after its current byte.
    void stop() { stopFlag = 1; }

    // One read of count bytes under the port's time-outs, no drain, no stop
    // test. Bytes read (0 when the time-out passed with nothing), or -1.
    // buffer needs count + 1 bytes: a NUL follows the bytes read.
    int32_t ComGetBytes(uint8_t* buffer, int32_t count);
    // Up to count bytes, one read per byte with a drain after each; stops
    // reading once more than timeLimitMs has passed (tested between reads
    // only). Bytes read (0..count), -1 = failure, -2 = stopped. NUL after them.
    int32_t ComReadBytes(uint8_t* buffer, int32_t count, int32_t timeLimitMs);
    // Reads until one byte comes, draining after every read. 1, -1 = failure,
    // -2 = stopped; never 0.
    int32_t ComReadByte(uint8_t* buffer);
    // count bytes, one write each with a drain after each. count, or fewer when
    // a byte was not taken in time; -1 = failure; -2 = stopped.
    int32_t ComWriteBytes(const uint8_t* buffer, int32_t count);
    // All count bytes in one write, given timeoutMs in all (the write
    // time-outs are set for the call and put back after it). No drain, no stop
    // test. Bytes written, possibly fewer than count; -1 = failure.
    int32_t ComWriteBytesTimed(const uint8_t* buffer, int32_t count, int32_t timeoutMs);
    // One read of count bytes given timeoutMs in all (the read time-outs are
    // set for the call and put back after it; timeoutMs <= 0 takes only what
    // has already come). No drain, no stop test. Bytes read (0 when nothing
    // came), -1 = failure. NUL after them.
    int32_t ComGetBytesTimed(uint8_t* buffer, int32_t count, int32_t timeoutMs);
    // Discards input that has arrived but not been read. 1 = done; 0 = failed.
    int32_t purgeInput();

    // Fields, in the order of the original class.
    std::string lastMessage;
    int32_t writeTimeoutMs = 0;
    int32_t opened = 0;
    int32_t stopFlag = 0;
    ui::MessagePump* pumpWindow = nullptr;  // none: the thread's pump
    LineSettings settings;
    Timeouts timeouts;
    SerialLine* handle;
    int32_t baudRate = 0;

  private:
    void drain();
    void fail(const char* text) { lastMessage = text; }
};

}  // namespace serial
