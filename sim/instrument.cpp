#include "sim/instrument.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sim {

namespace {

constexpr int kBootloaderEnd = 1024;  // a bootloader image owns the bytes below this

// clang-format off
struct RowData {
    int row; const char* typecode; Family family; int memorySize; Protocol protocol;
    int testStart; int testEnd;
};
constexpr RowData kRows[] = {
    {1, "QV1200", Family::Pic16, 0x4000, Protocol::Query, 0x0800, 0x0C00},
    {2, "QV1210", Family::Pic18, 0x8000, Protocol::Block, 0x0800, 0x0C00},
    {3, "JT2310", Family::Pic18, 0x8000, Protocol::Block, 0x0800, 0x0C00},
    {4, "JT2301", Family::Pic16, 0x2000, Protocol::Block, 0x0800, 0x0C00},
    {5, "JT2302", Family::Pic16, 0x2000, Protocol::Block, 0x1000, 0x1400},
    {6, "WN3110", Family::Pic18, 0x8000, Protocol::Block, 0x0800, 0x0C00},
    {7, "XC4510", Family::Pic18, 0x4000, Protocol::Block, 0x0800, 0x0C00},
};
// clang-format on

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

DeviceRow deviceRow(int row) {
    DeviceRow device;
    for (const RowData& r : kRows) {
        if (r.row == row) {
            device.row = r.row;
            device.typecode = r.typecode;
            device.family = r.family;
            device.memorySize = r.memorySize;
            device.protocol = r.protocol;
            device.testAreaStart = r.testStart;
            device.testAreaEnd = r.testEnd;
        }
    }
    return device;
}

Config Config::forRow(int row, Mode mode) {
    Config config;
    config.device = deviceRow(row);
    config.mode = mode;
    return config;
}

const char* stepName(Step step) {
    switch (step) {
        case Step::Announcement:
            return "announcement";
        case Step::AddressEcho:
            return "'a' echo";
        case Step::AddressAnswer:
            return "address answer";
        case Step::CheckHigh:
            return "'b' high byte";
        case Step::CheckLow:
            return "'b' low byte";
        case Step::CheckEnd:
            return "'B'";
        case Step::EraseEcho:
            return "'e' echo";
        case Step::EraseDone:
            return "'E'";
        case Step::WriteEcho:
            return "1st 'w'";
        case Step::WriteSecond:
            return "2nd 'w'";
        case Step::WriteDone:
            return "'W'";
        case Step::ReadEcho:
            return "'r' echo";
        case Step::ReadData:
            return "read data";
        case Step::ReadEnd:
            return "'R'";
        case Step::StartReply:
            return "start reply";
        case Step::Typecode:
            return "typecode";
        case Step::TypecodeEnd:
            return "'T'";
        case Step::FinishReply:
            return "'F'";
        case Step::AbortReply:
            return "'X'";
        case Step::KeepAlive:
            return "'?' answer";
        case Step::RecordColon:
            return "':' echo";
        case Step::RecordCount:
            return "'n'";
        case Step::RecordAddress:
            return "record 'a'";
        case Step::RecordStart:
            return "'t'";
        case Step::RecordWord:
            return "'d'";
        case Step::RecordChecksum:
            return "'f'";
        case Step::RecordEnd:
            return "'l'/'s'";
    }
    return "?";
}

// --- faults -------------------------------------------------------------------

Fault Fault::silence(Step step, int occurrence, int address) {
    Fault f;
    f.kind = Kind::Silence;
    f.step = step;
    f.occurrence = occurrence;
    f.address = address;
    return f;
}

Fault Fault::wrongAnswer(Step step, uint8_t byte, int occurrence, int address) {
    Fault f;
    f.kind = Kind::WrongAnswer;
    f.step = step;
    f.byte = byte;
    f.occurrence = occurrence;
    f.address = address;
    return f;
}

Fault Fault::recordChecksumError(int record) {
    Fault f = wrongAnswer(Step::RecordChecksum, 'e', 1);
    f.record = record;
    return f;
}

Fault Fault::recordEndError(int record) {
    Fault f = wrongAnswer(Step::RecordEnd, 'e', 1);
    f.record = record;
    return f;
}

Fault Fault::readBackDiffers(int address, uint8_t xorMask, bool always) {
    Fault f;
    f.kind = Kind::ReadBackDiffers;
    f.step = Step::ReadData;
    f.address = address;
    f.byte = xorMask;
    f.always = always;
    return f;
}

Fault Fault::slowErase(int64_t us) {
    Fault f;
    f.kind = Kind::SlowErase;
    f.us = us;
    return f;
}

Fault Fault::slowWrite(int64_t us) {
    Fault f;
    f.kind = Kind::SlowWrite;
    f.us = us;
    return f;
}

Fault Fault::hangUp(Step step, int occurrence, int address, int64_t afterUs) {
    Fault f;
    f.kind = Kind::HangUp;
    f.step = step;
    f.occurrence = occurrence;
    f.address = address;
    f.us = afterUs;
    return f;
}

Fault Fault::hangUpAfterHostBytes(int bytes) {
    Fault f;
    f.kind = Kind::HangUpAfterHostBytes;
    f.occurrence = bytes;
    return f;
}

Fault Fault::typecodeReply(std::string text) {
    Fault f;
    f.kind = Kind::TypecodeReply;
    f.text = std::move(text);
    return f;
}

// --- transcript -----------------------------------------------------------------

std::string renderTranscript(const std::vector<TranscriptEntry>& entries) {
    std::string out;
    char line[160];
    for (const TranscriptEntry& e : entries) {
        const double ms = static_cast<double>(e.atUs) / 1000.0;
        if (e.kind == TranscriptEntry::Kind::Note) {
            std::snprintf(line, sizeof line, "%12.3f ms  ..            [%s]", ms, e.state.c_str());
        } else {
            const char* arrow = e.kind == TranscriptEntry::Kind::FromHost ? "<-" : "->";
            const char shown = e.byte >= 0x20 && e.byte < 0x7F ? static_cast<char>(e.byte) : '.';
            std::snprintf(line, sizeof line, "%12.3f ms  %s '%c' 0x%02X  [%s]", ms, arrow, shown,
                          e.byte, e.state.c_str());
        }
        out += line;
        if (!e.note.empty()) {
            out += "  ";
            out += e.note;
        }
        out += '\n';
    }
    return out;
}

// --- the state machine ------------------------------------------------------------

struct Instrument::Impl {
    enum class State {
        Off,
        Booting,          // the announcement is still to come
        OpListening,      // the output processor, waiting for p,r,o,g or p,r,b,l
        BlockAwaitStart,  // announced, waiting for 'p'
        BlockCommand,
        BlockAddressHigh,
        BlockAddressLow,
        BlockWriteData,
        QueryAwaitStart,  // announced 'q', waiting for 'P'
        RecordIdle,       // waiting for ':'
        RecordCount,
        RecordAddress,
        RecordType,
        RecordWord,
        RecordChecksum,
        Done,  // 'f' or 'x' answered: the bootloader has left
    };

    explicit Impl(Instrument& device) : d(device), faultMatches(device.config_.faults.size(), 0) {}

    Instrument& d;
    serial::SimLink* link = nullptr;
    State state = State::Off;
    State afterBoot = State::Off;
    int64_t announceAtUs = 0;
    bool bootloaderActive = false;  // answers 'a' in the test area
    int64_t busyUntilUs = 0;        // answers never leave before this
    bool silent = false;            // silenced or hung up: nothing leaves any more
    std::vector<int> faultMatches;  // per fault: how often its step has matched
    std::vector<int> readMatches;   // per fault: reads of its address
    size_t hostEntry = 0;           // the transcript entry of the host byte being handled

    // Vicarious start.
    std::string opHeard;

    // Block protocol.
    int address = 0;
    bool addressValid = false;
    int pendingHigh = 0;
    std::array<uint8_t, kBlockBytes> writeBuffer{};
    int writeCount = 0;

    // Query protocol.
    int record = 0;  // records received, the current one included
    std::string field;
    int fieldLength = 0;
    int recordCount = 0;
    int recordAddress = 0;
    int recordType = 0;
    int wordsLeft = 0;
    int wordIndex = 0;
    int sum = 0;
    bool recordBad = false;
    std::vector<uint16_t> recordWords;

    const Config& cfg() const { return d.config_; }
    bool pic16() const { return cfg().device.family == Family::Pic16; }

    static const char* name(State s) {
        switch (s) {
            case State::Off:
                return "off";
            case State::Booting:
                return "booting";
            case State::OpListening:
                return "op: listening";
            case State::BlockAwaitStart:
                return "block: waiting for p";
            case State::BlockCommand:
                return "block: command";
            case State::BlockAddressHigh:
                return "block: address high";
            case State::BlockAddressLow:
                return "block: address low";
            case State::BlockWriteData:
                return "block: write data";
            case State::QueryAwaitStart:
                return "query: waiting for P";
            case State::RecordIdle:
                return "query: waiting for ':'";
            case State::RecordCount:
                return "query: count";
            case State::RecordAddress:
                return "query: address";
            case State::RecordType:
                return "query: type";
            case State::RecordWord:
                return "query: word";
            case State::RecordChecksum:
                return "query: checksum";
            case State::Done:
                return "done";
        }
        return "?";
    }

    void note(int64_t atUs, std::string text) {
        TranscriptEntry e;
        e.atUs = atUs;
        e.kind = TranscriptEntry::Kind::Note;
        e.state = name(state);
        e.note = std::move(text);
        log(std::move(e));
    }

    // The transcript stays in time order: answers are scheduled ahead of the
    // host bytes that come after them.
    size_t log(TranscriptEntry e) {
        std::vector<TranscriptEntry>& t = d.transcript_;
        auto at = std::upper_bound(
            t.begin(), t.end(), e.atUs,
            [](int64_t us, const TranscriptEntry& other) { return us < other.atUs; });
        const auto index = at - t.begin();
        t.insert(at, std::move(e));
        return static_cast<size_t>(index);
    }

    // --- answers and their faults ------------------------------------------

    struct Outcome {
        bool send = true;       // the answer (or its replacement) leaves
        bool replaced = false;  // a wrong byte left: the command is abandoned
        uint8_t byte = 0;
    };

    bool matches(const Fault& f, Step step, int blockAddress) const {
        if (f.step != step) {
            return false;
        }
        if (f.address >= 0 && f.address != blockAddress) {
            return false;
        }
        if (f.record >= 0 && f.record != record) {
            return false;
        }
        return true;
    }

    void sendRaw(uint8_t byte, int64_t atUs, const char* why) {
        atUs = std::max(atUs, busyUntilUs);
        busyUntilUs = atUs;
        d.lastSendUs_ = atUs;
        ++d.counters_.bytesSent;
        TranscriptEntry e;
        e.atUs = atUs;
        e.kind = TranscriptEntry::Kind::ToHost;
        e.byte = byte;
        e.state = name(state);
        e.note = why;
        log(std::move(e));
        if (link != nullptr) {
            link->sendToHost(byte, atUs);
        }
    }

    // Decides what becomes of the answer `byte` of `step`, due at atUs.
    Outcome decide(Step step, uint8_t byte, int64_t atUs, int blockAddress) {
        Outcome out;
        out.byte = byte;
        if (silent) {
            out.send = false;
            return out;
        }
        const std::vector<Fault>& faults = cfg().faults;
        for (size_t i = 0; i < faults.size(); ++i) {
            const Fault& f = faults[i];
            if (f.kind != Fault::Kind::Silence && f.kind != Fault::Kind::WrongAnswer &&
                f.kind != Fault::Kind::HangUp) {
                continue;
            }
            if (!matches(f, step, blockAddress)) {
                continue;
            }
            const int n = ++faultMatches[i];
            if (f.occurrence != 0 && n != f.occurrence) {
                continue;
            }
            char text[96];
            if (f.kind == Fault::Kind::Silence) {
                std::snprintf(text, sizeof text, "fault: silent from the %s on", stepName(step));
                note(atUs, text);
                silent = true;
                d.counters_.silenced = true;
                out.send = false;
                return out;
            }
            if (f.kind == Fault::Kind::HangUp) {
                std::snprintf(text, sizeof text, "fault: line drops at the %s", stepName(step));
                note(atUs, text);
                silent = true;
                d.counters_.hungUp = true;
                if (link != nullptr) {
                    link->hangUp(std::max(atUs, busyUntilUs) + f.us);
                }
                out.send = false;
                return out;
            }
            std::snprintf(text, sizeof text, "fault: 0x%02X in place of the %s", f.byte,
                          stepName(step));
            note(atUs, text);
            out.byte = f.byte;
            out.replaced = true;
            return out;
        }
        return out;
    }

    // Sends one answer. False when the command goes no further (a wrong byte
    // left, or nothing leaves any more).
    bool answer(Step step, uint8_t byte, int64_t atUs, int blockAddress = -1) {
        const Outcome out = decide(step, byte, atUs, blockAddress);
        if (!out.send) {
            return false;
        }
        sendRaw(out.byte, atUs, out.replaced ? "(fault)" : "");
        if (out.replaced) {
            toCommandIdle();
            return false;
        }
        return true;
    }

    // Multi-byte answers (typecode, read data): silence and hang-up only.
    bool gate(Step step, int64_t atUs, int blockAddress) {
        return decide(step, 0, atUs, blockAddress).send;
    }

    // After a wrong byte the device drops the command and waits for the next.
    void toCommandIdle() {
        switch (state) {
            case State::BlockAddressHigh:
            case State::BlockAddressLow:
            case State::BlockWriteData:
                state = State::BlockCommand;
                return;
            case State::RecordCount:
            case State::RecordAddress:
            case State::RecordType:
            case State::RecordWord:
            case State::RecordChecksum:
                state = State::RecordIdle;
                return;
            default:
                return;
        }
    }

    int64_t slowOr(Fault::Kind kind, int64_t normal) const {
        for (const Fault& f : cfg().faults) {
            if (f.kind == kind) {
                return f.us;
            }
        }
        return normal;
    }

    // --- power and announcement ------------------------------------------------

    void open(serial::SimLink& l, int64_t atUs) {
        link = &l;
        ++d.counters_.opens;
        silent = false;
        busyUntilUs = atUs;
        addressValid = false;
        opHeard.clear();
        bootloaderActive = cfg().mode == Mode::Bootloader;
        state = State::Off;
        note(atUs, "port opened: power on");
        if (cfg().mode == Mode::ThroughOutputProcessor) {
            state = State::OpListening;
            return;
        }
        const char letter = cfg().mode == Mode::Bootloader ? '~' : cfg().device.queryChar();
        afterBoot = afterAnnouncement();
        state = State::Booting;
        announce(letter, atUs + cfg().timing.announceDelayUs);
    }

    State afterAnnouncement() const {
        if (!bootloaderActive && cfg().device.protocol == Protocol::Query) {
            return State::QueryAwaitStart;
        }
        return State::BlockAwaitStart;
    }

    void announce(char letter, int64_t atUs) {
        announceAtUs = atUs;
        const State before = state;
        state = afterBoot;  // the answer leaves in the state it opens
        if (answer(Step::Announcement, static_cast<uint8_t>(letter), atUs)) {
            ++d.counters_.announcements;
        }
        state = before;
    }

    // A host byte at atUs sees the announcement as done once its time has come.
    void settle(int64_t atUs) {
        if (state == State::Booting && atUs >= announceAtUs) {
            state = afterBoot;
        }
    }

    void close(int64_t atUs) {
        note(atUs, "port closed: power off");
        state = State::Off;
        link = nullptr;
    }

    // --- host bytes ------------------------------------------------------------

    void unexpected(const char* why) {
        ++d.counters_.unexpectedBytes;
        d.transcript_[hostEntry].note = std::string("unexpected: ") + why;
    }

    void hostByte(serial::SimLink& l, uint8_t byte, int64_t atUs) {
        link = &l;
        settle(atUs);
        ++d.counters_.bytesReceived;
        TranscriptEntry e;
        e.atUs = atUs;
        e.kind = TranscriptEntry::Kind::FromHost;
        e.byte = byte;
        e.state = name(state);
        hostEntry = log(std::move(e));
        busyUntilUs = std::max(busyUntilUs, atUs);

        for (const Fault& f : cfg().faults) {
            if (f.kind == Fault::Kind::HangUpAfterHostBytes && !d.counters_.hungUp &&
                d.counters_.bytesReceived >= f.occurrence) {
                note(atUs, "fault: line drops after host byte " + std::to_string(f.occurrence));
                silent = true;
                d.counters_.hungUp = true;
                l.hangUp(atUs);
            }
        }

        switch (state) {
            case State::Off:
                unexpected("port not open");
                return;
            case State::Booting:
                unexpected("before the announcement");
                return;
            case State::Done:
                unexpected("bootloader has left");
                return;
            case State::OpListening:
                opByte(byte, atUs);
                return;
            case State::BlockAwaitStart:
            case State::BlockCommand:
                blockCommand(byte, atUs);
                return;
            case State::BlockAddressHigh:
                pendingHigh = byte;
                state = State::BlockAddressLow;
                return;
            case State::BlockAddressLow:
                addressComplete(byte, atUs);
                return;
            case State::BlockWriteData:
                writeData(byte, atUs);
                return;
            case State::QueryAwaitStart:
                if (byte != 'P') {
                    unexpected("waiting for 'P'");
                    return;
                }
                ++d.counters_.startCommands;
                state = State::RecordIdle;
                answer(Step::StartReply, 'p', atUs + cfg().timing.answerUs);
                return;
            case State::RecordIdle:
                if (byte != ':') {
                    unexpected("waiting for ':'");
                    return;
                }
                beginRecord(atUs);
                return;
            case State::RecordCount:
            case State::RecordAddress:
            case State::RecordType:
            case State::RecordWord:
            case State::RecordChecksum:
                recordChar(byte, atUs);
                return;
        }
    }

    // --- vicarious start ---------------------------------------------------------

    void opByte(uint8_t byte, int64_t atUs) {
        static const std::string kProg = "prog";
        static const std::string kPrbl = "prbl";
        std::string heard = opHeard + static_cast<char>(byte);
        if (kProg.compare(0, heard.size(), heard) != 0 &&
            kPrbl.compare(0, heard.size(), heard) != 0) {
            unexpected("not a programming message");
            opHeard = byte == 'p' ? "p" : "";
            return;
        }
        opHeard = heard;
        if (opHeard.size() < 4) {
            return;
        }
        bootloaderActive = opHeard == kPrbl;
        opHeard.clear();
        note(atUs, bootloaderActive ? "output processor: front panel to bootloader programming"
                                    : "output processor: front panel to firmware programming");
        afterBoot = afterAnnouncement();
        state = State::Booting;
        const char letter = bootloaderActive ? '~' : cfg().device.queryChar();
        announce(letter, atUs + cfg().timing.announceDelayUs);
    }

    // --- block protocol ------------------------------------------------------------

    bool inTestArea(int a) const {
        return a >= cfg().device.testAreaStart && a < cfg().device.testAreaEnd;
    }

    void blockCommand(uint8_t byte, int64_t atUs) {
        const int64_t t = atUs + cfg().timing.answerUs;
        if (state == State::BlockAwaitStart && byte != 'p') {
            unexpected("waiting for 'p'");
            return;
        }
        switch (byte) {
            case 'p':
                ++d.counters_.startCommands;
                state = State::BlockCommand;
                answer(Step::StartReply, 'P', t);
                return;
            case 't':
                typecode(t);
                return;
            case 'a':
                addressValid = false;
                state = State::BlockAddressHigh;
                answer(Step::AddressEcho, 'a', t);
                return;
            case 'b':
                if (!addressValid) {
                    unexpected("no address");
                    return;
                }
                ++d.counters_.checkCommands;
                if (answer(Step::CheckHigh, static_cast<uint8_t>(address >> 8), t, address) &&
                    answer(Step::CheckLow, static_cast<uint8_t>(address & 0xFF), t, address)) {
                    answer(Step::CheckEnd, 'B', t, address);
                }
                return;
            case 'e':
                erase(atUs);
                return;
            case 'w':
                if (!addressValid) {
                    unexpected("no address");
                    return;
                }
                writeCount = 0;
                state = State::BlockWriteData;
                answer(Step::WriteEcho, 'w', t, address);
                return;
            case 'r':
                read(atUs);
                return;
            case 'f':
                ++d.counters_.finishCommands;
                state = State::Done;
                answer(Step::FinishReply, 'F', t);
                return;
            case 'x':
                ++d.counters_.abortCommands;
                state = State::Done;
                answer(Step::AbortReply, 'X', t);
                return;
            case '?':
                ++d.counters_.keepAlives;
                answer(Step::KeepAlive, '?', t);
                return;
            default:
                unexpected("no such command");
                return;
        }
    }

    void typecode(int64_t t) {
        ++d.counters_.typecodeRequests;
        std::string text = cfg().device.typecode;
        for (const Fault& f : cfg().faults) {
            if (f.kind == Fault::Kind::TypecodeReply) {
                text = f.text;
                note(t, "fault: typecode \"" + text + "\"");
            }
        }
        if (!gate(Step::Typecode, t, -1)) {
            return;
        }
        for (char c : text) {
            sendRaw(static_cast<uint8_t>(c), t, "");
        }
        answer(Step::TypecodeEnd, 'T', t);
    }

    void addressComplete(uint8_t low, int64_t atUs) {
        address = (pendingHigh << 8) | low;
        state = State::BlockCommand;
        ++d.counters_.addressCommands;
        if (address % kBlockBytes != 0) {
            note(atUs, "address not on a 64-byte boundary: the block containing it is used");
        }
        const char letter = bootloaderActive && inTestArea(address) ? 'a' : 'A';
        if (answer(Step::AddressAnswer, static_cast<uint8_t>(letter), atUs + cfg().timing.answerUs,
                   address)) {
            addressValid = true;
        }
    }

    int rowStart() const { return address - address % kBlockBytes; }

    void erase(int64_t atUs) {
        if (pic16()) {
            unexpected("a PIC16 bootloader has no erase");
            return;
        }
        if (!addressValid) {
            unexpected("no address");
            return;
        }
        const int64_t t = atUs + cfg().timing.answerUs;
        if (!answer(Step::EraseEcho, 'e', t, address)) {
            return;
        }
        const int start = rowStart();
        if (start + kBlockBytes <= cfg().device.memorySize) {
            std::fill_n(d.memory_.begin() + start, kBlockBytes, uint8_t{0xFF});
        }
        ++d.counters_.blocksErased;
        answer(Step::EraseDone, 'E', t + slowOr(Fault::Kind::SlowErase, cfg().timing.eraseUs),
               address);
    }

    void writeData(uint8_t byte, int64_t atUs) {
        writeBuffer[static_cast<size_t>(writeCount++)] = byte;
        if (writeCount < kBlockBytes) {
            return;
        }
        state = State::BlockCommand;
        const int64_t t = atUs + cfg().timing.answerUs;
        if (!answer(Step::WriteSecond, 'w', t, address)) {
            return;
        }
        program();
        ++d.counters_.blocksWritten;
        answer(Step::WriteDone, 'W', t + slowOr(Fault::Kind::SlowWrite, cfg().timing.writeUs),
               address);
    }

    void program() {
        const int start = rowStart();
        if (start + kBlockBytes > cfg().device.memorySize) {
            return;  // no memory there
        }
        bool clipped = false;
        for (int i = 0; i < kBlockBytes; ++i) {
            uint8_t& cell = d.memory_[static_cast<size_t>(start + i)];
            uint8_t value = writeBuffer[static_cast<size_t>(i)];
            if (pic16()) {
                if (i % 2 == 1) {
                    clipped = clipped || (value & 0xC0) != 0;
                    value &= 0x3F;  // 14-bit program words
                }
                cell = value;
            } else {
                cell &= value;  // flash programming clears bits only
            }
        }
        if (clipped) {
            note(busyUntilUs, "high bytes above 0x3F kept to 14 bits");
        }
    }

    uint8_t readByte(int a) {
        uint8_t value = 0xFF;
        if (a < cfg().device.memorySize) {
            value = d.memory_[static_cast<size_t>(a)];
        }
        if (pic16() && a % 2 == 1) {
            value &= 0x3F;
        }
        const std::vector<Fault>& faults = cfg().faults;
        if (readMatches.size() != faults.size()) {
            readMatches.assign(faults.size(), 0);
        }
        for (size_t i = 0; i < faults.size(); ++i) {
            const Fault& f = faults[i];
            if (f.kind == Fault::Kind::ReadBackDiffers && f.address == a) {
                if (f.always || readMatches[i]++ == 0) {
                    note(busyUntilUs, "fault: read-back differs at " + std::to_string(a));
                    value ^= f.byte;
                }
            }
        }
        return value;
    }

    void read(int64_t atUs) {
        if (!addressValid) {
            unexpected("no address");
            return;
        }
        const int64_t t = atUs + cfg().timing.answerUs;
        if (!answer(Step::ReadEcho, 'r', t, address)) {
            return;
        }
        ++d.counters_.blocksRead;
        const int64_t dataAt = t + cfg().timing.readUs;
        if (!gate(Step::ReadData, dataAt, address)) {
            return;
        }
        const int start = rowStart();
        for (int i = 0; i < kBlockBytes; ++i) {
            sendRaw(readByte(start + i), dataAt, "");
        }
        answer(Step::ReadEnd, 'R', dataAt, address);
    }

    // --- query protocol ------------------------------------------------------------

    void beginRecord(int64_t atUs) {
        ++record;
        ++d.counters_.recordsReceived;
        field.clear();
        recordBad = false;
        sum = 0;
        recordWords.clear();
        state = State::RecordCount;
        fieldLength = 2;
        answer(Step::RecordColon, ':', atUs + cfg().timing.answerUs);
    }

    // A character that is no hex digit spoils the record: the device answers
    // 'e' in place of the field's acknowledgement and waits for the next ':'.
    void recordChar(uint8_t byte, int64_t atUs) {
        const int64_t t = atUs + cfg().timing.answerUs;
        if (hexValue(byte) < 0) {
            unexpected("no hex digit in the record");
            state = State::RecordIdle;
            answer(Step::RecordEnd, 'e', t);
            return;
        }
        field += static_cast<char>(byte);
        if (static_cast<int>(field.size()) < fieldLength) {
            return;
        }
        int value = 0;
        for (char c : field) {
            value = value * 16 + hexValue(static_cast<uint8_t>(c));
        }
        field.clear();
        switch (state) {
            case State::RecordCount:
                recordCount = value;
                sum += value;
                state = State::RecordAddress;
                fieldLength = 4;
                answer(Step::RecordCount, 'n', t);
                return;
            case State::RecordAddress:
                recordAddress = value;
                sum += (value >> 8) + (value & 0xFF);
                state = State::RecordType;
                fieldLength = 2;
                answer(Step::RecordAddress, 'a', t);
                return;
            case State::RecordType:
                recordTypeDone(value, t);
                return;
            case State::RecordWord: {
                // Four characters: the low byte, then the high byte.
                const int low = value >> 8;
                const int high = value & 0xFF;
                sum += low + high;
                recordWords.push_back(static_cast<uint16_t>(((high << 8) | low) & 0x3FFF));
                if (--wordsLeft == 0) {
                    state = State::RecordChecksum;
                    fieldLength = 2;
                }
                answer(Step::RecordWord, 'd', t);
                return;
            }
            case State::RecordChecksum:
                checksumDone(value, t);
                return;
            default:
                return;
        }
    }

    void recordTypeDone(int type, int64_t t) {
        recordType = type;
        sum += type;
        const int wordAddress = recordAddress / 2;
        if (type == 1) {
            ++d.counters_.endRecords;
            state = State::RecordIdle;
            answer(Step::RecordEnd, 's', t);
            return;
        }
        if (type != 0) {
            note(t, "record type " + std::to_string(type) + " is not taken");
            state = State::RecordIdle;
            answer(Step::RecordEnd, 'e', t);
            return;
        }
        if (wordAddress > kQueryMaxWordAddress) {
            state = State::RecordIdle;
            answer(Step::RecordEnd, 'l', t);
            return;
        }
        wordsLeft = recordCount / 2;
        state = wordsLeft > 0 ? State::RecordWord : State::RecordChecksum;
        fieldLength = wordsLeft > 0 ? 4 : 2;
        answer(Step::RecordStart, 't', t);
    }

    void checksumDone(int checksum, int64_t t) {
        state = State::RecordIdle;
        if (((sum + checksum) & 0xFF) != 0) {
            note(t, "record checksum wrong");
            answer(Step::RecordChecksum, 'e', t);
            return;
        }
        if (!answer(Step::RecordChecksum, 'f', t)) {
            return;
        }
        const int wordAddress = recordAddress / 2;
        for (size_t i = 0; i < recordWords.size(); ++i) {
            const int w = wordAddress + static_cast<int>(i);
            const uint16_t word = recordWords[i];
            d.queryWords_[w] = word;
            if (2 * w + 1 < kImageBytes) {
                d.memory_[static_cast<size_t>(2 * w)] = static_cast<uint8_t>(word & 0xFF);
                d.memory_[static_cast<size_t>(2 * w + 1)] = static_cast<uint8_t>(word >> 8);
            }
        }
        ++d.counters_.recordsAccepted;
        answer(Step::RecordEnd, 'l',
               t + slowOr(Fault::Kind::SlowWrite, cfg().timing.recordWriteUs));
    }
};

// --- Instrument -----------------------------------------------------------------

Instrument::Instrument(Config config) : config_(std::move(config)) {
    memory_.fill(0xFF);
    impl_ = std::make_unique<Impl>(*this);
}

Instrument::~Instrument() = default;

void Instrument::onOpen(serial::SimLink& link, int64_t atUs) {
    impl_->open(link, atUs);
}

void Instrument::onHostByte(serial::SimLink& link, uint8_t byte, int64_t atUs) {
    impl_->hostByte(link, byte, atUs);
}

void Instrument::onClose(int64_t atUs) {
    impl_->close(atUs);
}

void Instrument::preload(int address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t at = static_cast<size_t>(address) + i;
        if (at < memory_.size()) {
            memory_[at] = bytes[i];
        }
    }
}

std::string Instrument::stateName() const {
    return Impl::name(impl_->state);
}

// --- expected memory ---------------------------------------------------------------

std::array<uint8_t, kImageBytes> expectedDeviceMemory(
    const std::array<uint8_t, kImageBytes>& hostMemory, const DeviceRow& device, UploadKind kind) {
    std::array<uint8_t, kImageBytes> erased{};
    erased.fill(0xFF);
    return expectedDeviceMemory(hostMemory, device, kind, erased);
}

std::array<uint8_t, kImageBytes> expectedDeviceMemory(
    const std::array<uint8_t, kImageBytes>& hostMemory, const DeviceRow& device, UploadKind kind,
    const std::array<uint8_t, kImageBytes>& before) {
    std::array<uint8_t, kImageBytes> out = before;
    const bool pic16 = device.family == Family::Pic16;
    // Each block is erased (PIC18) or written word by word (PIC16), so what
    // was there before does not shine through.
    auto writeBlock = [&](int a, auto byteAt) {
        for (int j = 0; j < kBlockBytes; ++j) {
            uint8_t v = byteAt(j);
            if (pic16 && j % 2 == 1) {
                v &= 0x3F;
            }
            out[static_cast<size_t>(a + j)] = v;
        }
    };
    if (kind != UploadKind::Plain) {
        for (int a = device.testAreaStart; a < device.testAreaEnd; a += kBlockBytes) {
            writeBlock(a, [a](int j) { return static_cast<uint8_t>((a + j) & 0xFF); });
        }
    }
    for (int a = 0; a < device.memorySize; a += kBlockBytes) {
        const auto first = hostMemory.begin() + a;
        if (std::all_of(first, first + kBlockBytes, [](uint8_t b) { return b == 0xFF; })) {
            continue;
        }
        if (kind == UploadKind::Bootloader && a >= kBootloaderEnd) {
            continue;
        }
        writeBlock(a, [&](int j) { return hostMemory[static_cast<size_t>(a + j)]; });
    }
    return out;
}

std::map<int, uint16_t> expectedQueryWords(const std::vector<std::string>& lines) {
    std::map<int, uint16_t> words;
    auto hexAt = [](const std::string& s, size_t pos, size_t n, int& value) {
        value = 0;
        if (pos + n > s.size()) {
            return false;
        }
        for (size_t i = pos; i < pos + n; ++i) {
            const int v = hexValue(static_cast<uint8_t>(s[i]));
            if (v < 0) {
                return false;
            }
            value = value * 16 + v;
        }
        return true;
    };
    for (const std::string& line : lines) {
        int count = 0;
        int addr = 0;
        int type = 0;
        if (line.size() < 9 || line[0] != ':' || line.compare(7, 2, "00") != 0 ||
            !hexAt(line, 1, 2, count) || !hexAt(line, 3, 4, addr) || !hexAt(line, 7, 2, type)) {
            continue;
        }
        const int nWords = count / 2;
        const int wordAddress = addr / 2;
        if (nWords > 8 || wordAddress > kQueryMaxWordAddress) {
            continue;
        }
        int sum = count + (addr >> 8) + (addr & 0xFF) + type;
        std::vector<uint16_t> data;
        bool ok = true;
        for (int j = 0; j < nWords && ok; ++j) {
            int low = 0;
            int high = 0;
            ok = hexAt(line, 9 + 4 * static_cast<size_t>(j), 2, low) &&
                 hexAt(line, 11 + 4 * static_cast<size_t>(j), 2, high);
            sum += low + high;
            data.push_back(static_cast<uint16_t>(((high << 8) | low) & 0x3FFF));
        }
        int checksum = 0;
        if (!ok || !hexAt(line, 9 + 4 * static_cast<size_t>(nWords), 2, checksum) ||
            ((sum + checksum) & 0xFF) != 0) {
            continue;
        }
        for (size_t i = 0; i < data.size(); ++i) {
            words[wordAddress + static_cast<int>(i)] = data[i];
        }
    }
    return words;
}

}  // namespace sim
