#pragma once

// The simulated instrument: the bootloader of one catalogue device, as the far
// end of a serial line. It takes the host's bytes one at a time and schedules
// its answers in virtual time on a serial::SimLink, strict where the real
// bootloader is strict: a byte that does not fit the current state gets no
// answer (or a wrong letter) and is logged in the transcript.
//
// The same model runs in-process on a serial::SimLine and, driven by a real
// clock, inside the tesmar-sim program on a pseudo-terminal.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/sim_line.h"

namespace sim {

// The device's program memory as a byte image, indexed like the host's
// FirmwareImage::memory: byte address, each program word low byte first.
constexpr int kImageBytes = 0x8100;
constexpr int kBlockBytes = 64;
// Word addresses the query bootloader takes data for (8192 itself included).
constexpr int kQueryMaxWordAddress = 8192;

enum class Family : int { Pic16 = 1, Pic18 = 2 };
enum class Protocol { Query, Block };

// One catalogue row as the device sees it.
struct DeviceRow {
    int row = 0;           // 1..7; 0 = no such row
    std::string typecode;  // what the device answers to 't' (six characters normally)
    Family family = Family::Pic18;
    int memorySize = 0;  // program memory in bytes; nothing exists at or above it
    Protocol protocol = Protocol::Block;
    int testAreaStart = 0x800;  // memory write test area [start, end)
    int testAreaEnd = 0xC00;

    // The power-on announcement of its application bootloader: 'q' or 'Q'.
    char queryChar() const { return protocol == Protocol::Query ? 'q' : 'Q'; }
};

// Row 1..7 of the catalogue; row 0 (empty typecode) for any other number.
DeviceRow deviceRow(int row);

// What the device runs when the port opens.
enum class Mode {
    Application,             // its bootloader for application firmware: announces 'q' or 'Q'
    Bootloader,              // ready to take a new bootloader image: announces '~'
    ThroughOutputProcessor,  // reached through the output processor: silent until p,r,o,g
                             // (answers queryChar) or p,r,b,l (answers '~', then as Bootloader)
};

// The points of the exchange where the device answers, for fault injection.
enum class Step {
    Announcement,  // power-on 'q'/'Q'/'~', or the answer to p,r,o,g / p,r,b,l
    // block protocol
    AddressEcho,    // 'a' echoed
    AddressAnswer,  // 'A' or 'a' after the two address bytes
    CheckHigh,      // address high byte, answered to 'b'
    CheckLow,       // address low byte, answered to 'b'
    CheckEnd,       // 'B'
    EraseEcho,      // 'e' echoed
    EraseDone,      // 'E'
    WriteEcho,      // 'w' echoed (the 1st 'w')
    WriteSecond,    // 'w' after the 64 data bytes (the 2nd 'w')
    WriteDone,      // 'W'
    ReadEcho,       // 'r' echoed
    ReadData,       // the 64 bytes (silence and hang-up only)
    ReadEnd,        // 'R'
    StartReply,     // 'P' answered to 'p' (block); 'p' answered to 'P' (query)
    Typecode,       // the typecode characters (silence and hang-up only)
    TypecodeEnd,    // 'T'
    FinishReply,    // 'F'
    AbortReply,     // 'X'
    KeepAlive,      // the byte answered to '?'
    // query protocol
    RecordColon,     // ':' echoed
    RecordCount,     // 'n'
    RecordAddress,   // 'a'
    RecordStart,     // 't'
    RecordWord,      // 'd'
    RecordChecksum,  // 'f' (or 'e' when the checksum is wrong)
    RecordEnd,       // 'l', or 's' after the end record
};

const char* stepName(Step step);

// One injected fault. Faults that name a step apply when that step's answer
// is due: on its occurrence-th match (1-based; 0 = every match) among the
// answers of that step whose block address is `address` (-1 = any block) and,
// for the query steps, whose record is `record` (1-based, counted over the
// records the device received; -1 = any record).
struct Fault {
    enum class Kind {
        Silence,          // from this answer on, the device sends nothing at all
        WrongAnswer,      // `byte` is sent in place of the step's answer
        ReadBackDiffers,  // a read of `address` answers the byte XOR `byte` (once, or `always`)
        SlowErase,        // an erase takes `us`
        SlowWrite,        // programming a block (or a query record) takes `us`
        HangUp,           // the line drops `us` after this answer is due (nothing more is sent)
        HangUpAfterHostBytes,  // the line drops once `occurrence` host bytes have arrived
        TypecodeReply,         // 't' is answered with `text` (then 'T') instead of the typecode
    };
    Kind kind = Kind::Silence;
    Step step = Step::Announcement;
    int occurrence = 1;
    int address = -1;
    int record = -1;
    uint8_t byte = 0;
    bool always = false;
    int64_t us = 0;
    std::string text;

    static Fault silence(Step step, int occurrence = 1, int address = -1);
    static Fault wrongAnswer(Step step, uint8_t byte, int occurrence = 1, int address = -1);
    // Query protocol: 'e' for the checksum of record k, or at the end of record k.
    static Fault recordChecksumError(int record);
    static Fault recordEndError(int record);
    // The byte at `address` reads back XOR `xorMask`.
    static Fault readBackDiffers(int address, uint8_t xorMask = 0x01, bool always = false);
    static Fault slowErase(int64_t us);
    static Fault slowWrite(int64_t us);
    static Fault hangUp(Step step, int occurrence = 1, int address = -1, int64_t afterUs = 0);
    static Fault hangUpAfterHostBytes(int bytes);
    // A typecode that differs ("QV1211") or is cut short ("QV12").
    static Fault typecodeReply(std::string text);
};

// Processing times of the device, in microseconds of virtual time. Each
// answer leaves this long after the byte that completes its command arrived;
// the line adds the wire time when it paces.
struct Timing {
    int64_t announceDelayUs = 50'000;  // from the port being opened to the announcement
    int64_t answerUs = 20;             // every answer that needs no memory work
    int64_t eraseUs = 3'000;           // erasing one 64-byte row ('e' ... 'E')
    int64_t writeUs = 2'000;           // programming one 64-byte block ('w' ... 'W')
    int64_t readUs = 100;              // fetching a block before the data of 'r'
    int64_t recordWriteUs = 1'000;     // query: programming a record's words ('f' ... 'l')
};

struct Config {
    DeviceRow device;
    Mode mode = Mode::Application;
    Timing timing;
    std::vector<Fault> faults;

    // The catalogue row `row` in `mode`, default timing, no faults.
    static Config forRow(int row, Mode mode = Mode::Application);
};

// One line of the transcript.
struct TranscriptEntry {
    enum class Kind { FromHost, ToHost, Note };
    int64_t atUs = 0;
    Kind kind = Kind::Note;
    uint8_t byte = 0;   // FromHost and ToHost
    std::string state;  // the device's state when the byte came or left
    std::string note;   // "unexpected", a fault that fired, the open, the close ...
};

// "   12.345 ms  <- 'a' 0x61  [block: command]  note", one line an entry.
std::string renderTranscript(const std::vector<TranscriptEntry>& entries);

// What a test can count.
struct Counters {
    int64_t bytesReceived = 0;
    int64_t bytesSent = 0;
    int64_t unexpectedBytes = 0;  // bytes that did not fit the state they came in
    int opens = 0;
    int announcements = 0;
    int startCommands = 0;     // 'p' (block) or 'P' (query) answered
    int typecodeRequests = 0;  // 't'
    int addressCommands = 0;   // 'a' with both address bytes
    int checkCommands = 0;     // 'b'
    int blocksErased = 0;
    int blocksWritten = 0;
    int blocksRead = 0;
    int finishCommands = 0;   // 'f'
    int abortCommands = 0;    // 'x'
    int keepAlives = 0;       // '?'
    int recordsReceived = 0;  // query: records begun with ':'
    int recordsAccepted = 0;  // query: data records programmed (checksum right)
    int endRecords = 0;       // query: type 01 records answered with 's'
    bool hungUp = false;
    bool silenced = false;
};

class Instrument : public serial::SimPeer {
  public:
    explicit Instrument(Config config);
    ~Instrument() override;
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // --- serial::SimPeer ------------------------------------------------------
    // Opening the port powers the device on: protocol state resets (memory
    // stays) and the announcement is scheduled announceDelayUs later.
    void onOpen(serial::SimLink& link, int64_t atUs) override;
    void onHostByte(serial::SimLink& link, uint8_t byte, int64_t atUs) override;
    void onClose(int64_t atUs) override;

    // --- what the device holds ----------------------------------------------
    const Config& config() const { return config_; }
    // Program memory: 0xFF where never programmed; PIC16 high bytes keep 6 bits.
    const std::array<uint8_t, kImageBytes>& memory() const { return memory_; }
    // Puts bytes into program memory before a test (as the device stores them).
    void preload(int address, const std::vector<uint8_t>& bytes);
    // Query device: the 14-bit words it programmed, by word address.
    const std::map<int, uint16_t>& queryWords() const { return queryWords_; }

    // --- what happened ------------------------------------------------------
    const Counters& counters() const { return counters_; }
    bool finishReceived() const { return counters_.finishCommands > 0; }
    bool abortReceived() const { return counters_.abortCommands > 0; }
    const std::vector<TranscriptEntry>& transcript() const { return transcript_; }
    std::string transcriptText() const { return renderTranscript(transcript_); }
    // The state the next host byte meets, as the transcript names it.
    std::string stateName() const;

    // The due time of the last answer scheduled (for a real-time driver).
    int64_t lastScheduledUs() const { return lastSendUs_; }

  private:
    struct Impl;  // the protocol state machine
    Config config_;
    std::array<uint8_t, kImageBytes> memory_{};
    std::map<int, uint16_t> queryWords_;
    Counters counters_;
    std::vector<TranscriptEntry> transcript_;
    int64_t lastSendUs_ = 0;
    std::unique_ptr<Impl> impl_;
};

// --- what an upload leaves in the device --------------------------------------

enum class UploadKind {
    Plain,      // application firmware, no memory write test
    Essential,  // application firmware through the output processor (row 5): test, 'A'
    Bootloader  // a bootloader image: test, then only the blocks below 1024
};

// The program memory of a device (erased before, or holding `before`) after a
// successful block upload of hostMemory (the host's FirmwareImage::memory):
//  - the memory write test pattern (byte j of block A = (A + j) mod 256) in the
//    row's test area, for Essential and Bootloader uploads;
//  - every block with a byte other than 0xFF below memorySize written as the
//    host sends it: for a bootloader upload only the blocks below 1024 (the
//    block at 0 included), nothing at or above;
//  - PIC16: every written high byte (odd address) ANDed with 0x3F.
std::array<uint8_t, kImageBytes> expectedDeviceMemory(
    const std::array<uint8_t, kImageBytes>& hostMemory, const DeviceRow& device, UploadKind kind);
std::array<uint8_t, kImageBytes> expectedDeviceMemory(
    const std::array<uint8_t, kImageBytes>& hostMemory, const DeviceRow& device, UploadKind kind,
    const std::array<uint8_t, kImageBytes>& before);

// The words a query upload of these hex lines leaves in the device: the data
// of every type 00 record at word address <= 8192, 14 bits a word, later
// records overwriting earlier ones. Lines the host passes over add nothing.
std::map<int, uint16_t> expectedQueryWords(const std::vector<std::string>& lines);

}  // namespace sim
