#pragma once

// The block bootloader commands: one 64-byte block written to the device
// (erased first on a PIC18) or read back from it, each a fixed script of
// one-letter commands that the bootloader echoes or acknowledges. Neither
// command retries anything; the first failure ends it with a result code. The
// block upload sequence turns a non-zero code into a status text, a box and
// its next step, through the result-code table below.

#include <cstdint>
#include <span>
#include <string>

namespace serial {
class CommFile;
}

namespace upload {

constexpr int kBlockBytes = 64;
// Every byte of the block protocol goes out alone and is given this long.
constexpr int32_t kWriteByteTimeoutMs = 100;
// The memory write test raises the codes of its block commands by this.
constexpr int kWriteTestCodeOffset = 100;

// The reaction the block upload sequence applies to a result code.
enum class ResultClass {
    SerialFailure,    // the port failed or the device fell silent: serial failure box, end
    Stop,             // the user asked to stop: stop box, abort command
    ProtocolFailure,  // the device answered a wrong letter: retry offer or failure box
    Other,            // no command failed: end, no box
};

// One row of the result-code table. The message is a printf format taking,
// in this order, the prefix (%s), the offending byte as a character (%c) and
// its value 0..255 (0x%2X, blank-padded); a message uses the first of them or
// all three, or the first two.
struct ResultCodeRow {
    int code;
    const char* step;
    const char* cause;
    const char* message;
    ResultClass reaction;
};

// The table, in rising code order (0 and 15 are not in it).
std::span<const ResultCodeRow> resultCodeTable();
// The row of a code; nullptr for any value not in the table.
const ResultCodeRow* findResultCode(int code);
// The class of a code; Other for any value not in the table.
ResultClass resultClass(int code);
// The status text of a code: its message formatted with prefix and
// offendingByte, or "%s Unknown error" for any value not in the table. A NUL
// offending byte leaves no character between the quotes.
std::string formatResultMessage(int code, const std::string& prefix, char offendingByte);

// The block commands on an open port. drain lets the window handle everything
// pending; stopRequested is the window's stop flag, read after every drain.
class BlockCommands {
  public:
    BlockCommands(serial::CommFile& port, const int32_t& stopRequested, int32_t processorFamily)
        : port_(port), stopRequested_(stopRequested), family_(processorFamily) {}

    // Family 2: SendAddress, CheckAddress, Erase; then, both families:
    // SendAddress, CheckAddress, Write with the 64 bytes of data (family 1:
    // the second byte of each pair ANDed with 0x3F on the wire; data itself is
    // never changed). 0 = block programmed; otherwise 10-14 SendAddress, 16-20
    // CheckAddress, 21-25 Erase, 26-31 Write (see the table).
    int writeBlock(int address, char addressAnswer, const uint8_t* data, char& offendingByte);
    // SendAddress, CheckAddress, Read into the 64 bytes of buffer (filled as
    // the bytes arrive; partly filled on a failure). 0 = block read; otherwise
    // 10-14, 16-20, or 32-36 Read.
    int readBlock(int address, char addressAnswer, uint8_t* buffer, char& offendingByte);

  private:
    struct StepCodes {
        int comError;
        int stopped;
        int writeTimeout;
    };

    int sendAddress(int address, char addressAnswer, char& offendingByte);
    int checkAddress(int address, char& offendingByte);
    int erase(char& offendingByte);
    int write(const uint8_t* data, char& offendingByte);
    int read(uint8_t* buffer, char& offendingByte);

    // Drain, stop test, then the byte alone with the 100 ms limit.
    int send(const StepCodes& step, uint8_t byte);
    // One answer byte, no drain and no stop test before it.
    int receive(const StepCodes& step, uint8_t& byte);
    // One answer byte that must be expected; wrongCode and the byte otherwise.
    int expect(const StepCodes& step, uint8_t expected, int wrongCode, char& offendingByte);

    serial::CommFile& port_;
    const int32_t& stopRequested_;
    int32_t family_;
};

}  // namespace upload
