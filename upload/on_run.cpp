// RUN: the confirmation, the port, the bootloader's announcement (or the
// vicarious start through the output processor), and then either the block
// upload or, for the query-protocol device, the record transfer: each hex
// record sent as text, piece by piece, every piece acknowledged by the
// bootloader. While an upload runs the button reads "Stop" and a second press
// asks the upload to stop; the upload sees the request at its next drain.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "app/tesmar_dlg.h"
#include "ui/message_pump.h"
#include "upload/query_protocol.h"

namespace {

// The port of every upload, whatever the device.
constexpr int32_t kUploadBaudRate = 115200;
// Read time-outs of 5000 ms (interval, multiplier and constant): a one-byte
// read waits at most 10 s.
constexpr int32_t kReadTimeoutMs = 5000;
constexpr int32_t kWriteTimeoutMs = 100;
// Every send of the query protocol is given this long in all.
constexpr int32_t kSendTimeoutMs = 100;

constexpr const char* kIdleTitle = "Tesmar";
constexpr const char* kRunCaption = "Run";
constexpr const char* kStopCaption = "Stop";

constexpr const char* kConfirmText =
    "You are about to perform a firmware upload.\n\n\tMake sure power will not be interrupted\n"
    "\tto either your PC or your Quindle/DV1\n\n\tMake sure your PC will run uninterrupted\n"
    "\t(eg no standby, hibernate or screensaver)\n\nPress YES to continue, NO to abort";
constexpr const char* kTooFewLinesText = "Too few lines in Hex file\n\rMaybe file needs reloading";
constexpr const char* kPortFailureText = "Couldn't open Com port";

constexpr uint8_t kBootloaderAnnouncement = '~';
constexpr char kRecordMark = ':';
constexpr uint8_t kCountAck = 'n';
constexpr uint8_t kAddressAck = 'a';
constexpr uint8_t kDataReady = 't';
constexpr uint8_t kWordAck = 'd';
constexpr uint8_t kChecksumAck = 'f';
constexpr uint8_t kRecordDone = 'l';
constexpr uint8_t kLastRecordDone = 's';
constexpr uint8_t kDeviceError = 'e';

// How a road of the upload ends. Continue: the step went well, go on.
enum class Outcome {
    Continue,
    HandedOver,  // BlockUpload ran and has finished the upload itself
    Stopped,
    ComError,
    WriteTimeout,
    DataError,
    ChecksumError,
    DeviceDataError,
    WrongQuery,
    WrongVicariousReply,
    Incomplete,
    Success,
};

// clang-format off
struct OutcomeRow {
    Outcome outcome;
    const char* status;
    const char* box;       // nullptr: no box
    bool boxFirst;         // box, port closed, then the status
};
constexpr OutcomeRow kOutcomes[] = {
    {Outcome::Stopped,         "Stopped",                            nullptr,                  false},
    {Outcome::ComError,        "Com error",                          "Com port error",         false},
    {Outcome::WriteTimeout,    "Com Write timeout",                  "Com write timed out",    false},
    {Outcome::DataError,       "Data error",                         "Data error",             false},
    {Outcome::ChecksumError,   "Checksum error",                     "Checksum error",         false},
    {Outcome::DeviceDataError, "PIC reports data error",             "PIC reports data error", false},
    {Outcome::WrongQuery,      "Wrong PIC query received",
                               "Device connected is incompatible\n with Hex file loaded",     false},
    {Outcome::Incomplete,      "ERROR Programming incomplete !",     "Programming incomplete", true},
    {Outcome::Success,         "Programming completed successfully", nullptr,                  false},
};
// clang-format on
// Wrong vicarious reply: the received byte, its value and the expected one.
constexpr const char* kWrongVicariousFormat = "Wrong Vicarious query '%c' 0x%X not '%c'";

// One upload from the opened port to its end. Everything it does goes through
// the window's members; it keeps only the byte received last.
class RunSequence {
  public:
    explicit RunSequence(CTesmarDlg& dlg) : dlg_(dlg) {}

    // Takes the road the flags give and reports the outcome.
    void run() {
        Outcome outcome;
        if (dlg_.throughOutputPic != 0) {
            outcome = vicariousStart();
        } else if (dlg_.isBootloader != 0) {
            outcome = waitFor(kBootloaderAnnouncement);
            if (outcome == Outcome::Continue) {
                outcome = handOver();
            }
        } else {
            outcome = queryAnnouncement();
        }
        if (outcome != Outcome::HandedOver) {
            report(outcome);
        }
    }

  private:
    void drain() { ui::drainThread(); }
    bool stopped() const { return dlg_.stopRequested != 0; }

    // Drain, stop test, then all the bytes in one timed write.
    Outcome send(std::string_view bytes) {
        drain();
        if (stopped()) {
            return Outcome::Stopped;
        }
        const auto count = static_cast<int32_t>(bytes.size());
        const int32_t sent = dlg_.commFile.ComWriteBytesTimed(
            reinterpret_cast<const uint8_t*>(bytes.data()), count, kSendTimeoutMs);
        return sent == count ? Outcome::Continue : Outcome::WriteTimeout;
    }
    Outcome sendByte(char byte) { return send(std::string_view(&byte, 1)); }

    // Waits for one of the expected bytes, ignoring every other byte, with a
    // drain and stop test before each read. errorByte, when it comes first,
    // ends the wait with onError. A read that gives nothing is the Com error,
    // unless readAgainWhenSilent (the announcement, which waits on); a failed
    // read is the Com error in every case.
    Outcome waitFor(std::string_view expected, uint8_t errorByte = 0,
                    Outcome onError = Outcome::Continue, bool readAgainWhenSilent = false) {
        received_ = 0;
        while (true) {
            drain();
            if (stopped()) {
                return Outcome::Stopped;
            }
            uint8_t buffer[2] = {0, 0};
            const int32_t got = dlg_.commFile.ComGetBytes(buffer, 1);
            if (got == 0 && readAgainWhenSilent) {
                continue;
            }
            if (got != 1) {
                return Outcome::ComError;
            }
            received_ = buffer[0];
            if (expected.find(static_cast<char>(received_)) != std::string_view::npos) {
                return Outcome::Continue;
            }
            if (errorByte != 0 && received_ == errorByte) {
                return onError;
            }
        }
    }
    Outcome waitFor(uint8_t expected) {
        const char c = static_cast<char>(expected);
        return waitFor(std::string_view(&c, 1));
    }

    Outcome handOver() {
        dlg_.BlockUpload();
        return Outcome::HandedOver;
    }

    // The output processor is told to pass the upload on: p, r, then o, g
    // for firmware or b, l for a bootloader image, one letter a send. Its
    // single answer must be the announcement.
    Outcome vicariousStart() {
        const bool bootloader = dlg_.isBootloader != 0;
        const char letters[4] = {'p', 'r', bootloader ? 'b' : 'o', bootloader ? 'l' : 'g'};
        if (bootloader) {
            dlg_.queryChar = static_cast<char>(kBootloaderAnnouncement);
        }
        for (const char letter : letters) {
            if (const Outcome o = sendByte(letter); o != Outcome::Continue) {
                return o;
            }
        }
        dlg_.SetStatus("Program message sent");
        uint8_t buffer[2] = {0, 0};
        if (dlg_.commFile.ComGetBytes(buffer, 1) != 1) {
            return Outcome::ComError;
        }
        received_ = buffer[0];
        if (received_ != static_cast<uint8_t>(dlg_.queryChar)) {
            return Outcome::WrongVicariousReply;
        }
        dlg_.SetStatus("PIC ready for Programming");
        return handOver();
    }

    Outcome queryAnnouncement() {
        if (const Outcome o = waitFor("qQ", 0, Outcome::Continue, true); o != Outcome::Continue) {
            return o;
        }
        if (received_ != static_cast<uint8_t>(dlg_.queryChar)) {
            return Outcome::WrongQuery;
        }
        dlg_.SetStatus("PIC query received");
        if (dlg_.queryProtocol == 0) {
            return handOver();
        }
        // Every record that will carry data must be sendable whole before
        // the device is told to start programming.
        if (upload::firstUnsendableDataRecord(dlg_.lines, dlg_.lineCount) >= 0) {
            return Outcome::DataError;
        }
        if (const Outcome o = sendByte('P'); o != Outcome::Continue) {
            return o;
        }
        dlg_.SetStatus("P message sent");
        if (const Outcome o = waitFor('p'); o != Outcome::Continue) {
            return o;
        }
        dlg_.SetStatus("PIC ready for Programming");
        return recordTransfer();
    }

    // Sends the first lineCount lines' records in file order; lineCount and
    // each line are read afresh, though the image cannot change while the
    // upload runs (loading is disabled).
    Outcome recordTransfer() {
        upload::RecordSelector selector;
        for (int32_t i = 0; i < dlg_.lineCount && static_cast<size_t>(i) < dlg_.lines.size(); ++i) {
            const std::string line = dlg_.lines[static_cast<size_t>(i)];
            if (!selector.sends(line)) {
                continue;
            }
            if (const Outcome o = sendRecord(line); o != Outcome::Continue) {
                return o;
            }
        }
        return received_ == kLastRecordDone ? Outcome::Success : Outcome::Incomplete;
    }

    // One record: ':' and its echo, the count, the address, the type, and for
    // a data record at a word address of at most 0x2000 its words and
    // checksum; then the end of the record. No field is sent that cannot be
    // parsed or that the line does not hold whole.
    Outcome sendRecord(const std::string& line) {
        using namespace upload;
        dlg_.SetStatus(line);
        const std::string_view text = line;

        Outcome o = sendByte(kRecordMark);
        if (o == Outcome::Continue) {
            o = waitFor(static_cast<uint8_t>(kRecordMark));
        }
        if (o != Outcome::Continue) {
            return o;
        }

        const auto count = parseHexField(text, kCountPos, kCountChars);
        if (!count || *count / 2 > kMaxRecordWords) {
            return Outcome::DataError;
        }
        const int words = *count / 2;
        if ((o = sendField(text, kCountPos, kCountChars, kCountAck)) != Outcome::Continue) {
            return o;
        }

        const auto address = parseHexField(text, kAddressPos, kAddressChars);
        if (!address) {
            return Outcome::DataError;
        }
        const int wordAddress = *address / 2;
        if ((o = sendField(text, kAddressPos, kAddressChars, kAddressAck)) != Outcome::Continue) {
            return o;
        }

        const auto type = parseHexField(text, kTypePos, kTypeChars);
        if (!type || (*type != kDataRecordType && *type != kEndOfFileRecordType)) {
            return Outcome::DataError;
        }
        if ((o = send(text.substr(kTypePos, kTypeChars))) != Outcome::Continue) {
            return o;
        }

        if (*type == kDataRecordType && wordAddress <= kHighestDataWordAddress) {
            if (text.size() < checksumPos(words) + kChecksumChars) {
                return Outcome::DataError;
            }
            if ((o = waitFor(kDataReady)) != Outcome::Continue) {
                return o;
            }
            for (int j = 0; j < words; ++j) {
                if ((o = sendField(text, wordPos(j), kWordChars, kWordAck)) != Outcome::Continue) {
                    return o;
                }
            }
            if ((o = send(text.substr(checksumPos(words), kChecksumChars))) != Outcome::Continue) {
                return o;
            }
            const char ack = static_cast<char>(kChecksumAck);
            o = waitFor(std::string_view(&ack, 1), kDeviceError, Outcome::ChecksumError);
            if (o != Outcome::Continue) {
                return o;
            }
        }

        const char done[2] = {static_cast<char>(kRecordDone), static_cast<char>(kLastRecordDone)};
        return waitFor(std::string_view(done, 2), kDeviceError, Outcome::DeviceDataError);
    }

    Outcome sendField(std::string_view text, size_t pos, size_t len, uint8_t ack) {
        if (const Outcome o = send(text.substr(pos, len)); o != Outcome::Continue) {
            return o;
        }
        return waitFor(ack);
    }

    // The outcome's status and box in their order, then the reset.
    void report(Outcome outcome) {
        if (outcome == Outcome::WrongVicariousReply) {
            char text[64];
            std::snprintf(text, sizeof text, kWrongVicariousFormat, static_cast<char>(received_),
                          static_cast<unsigned>(received_), dlg_.queryChar);
            dlg_.SetStatus(text);
        }
        for (const OutcomeRow& row : kOutcomes) {
            if (row.outcome != outcome) {
                continue;
            }
            if (row.boxFirst) {
                dlg_.MessageBox(row.box);
                dlg_.commFile.close();
                dlg_.SetStatus(row.status);
            } else {
                dlg_.SetStatus(row.status);
                if (row.box != nullptr) {
                    dlg_.MessageBox(row.box);
                }
            }
        }
        dlg_.FinishUpload();
    }

    CTesmarDlg& dlg_;
    uint8_t received_ = 0;  // the byte received last
};

}  // namespace

void CTesmarDlg::OnRun() {
    if (uploadRunning != 0) {
        // The press came through the running upload's drain: a stop request.
        stopRequested = 1;
        commFile.stop();
        return;
    }
    if (MessageBox(kConfirmText, ui::Buttons::YesNo, ui::Icon::Question) != ui::Answer::Yes) {
        return;
    }
    stopRequested = 0;
    if (lineCount < 1) {
        MessageBox(kTooFewLinesText);
        runButton.EnableWindow(false);
        infoButton.EnableWindow(false);
        SetWindowText(kIdleTitle);
        return;
    }
    UpdateData(true);

    std::lock_guard<std::recursive_mutex> lock(uploadLock);
    runButton.SetWindowText(kStopCaption);
    uploadRunning = 1;
    SetLoadControlsEnabled(false);

    if (commFile.init(nullptr, comPort, kUploadBaudRate, kReadTimeoutMs, kWriteTimeoutMs) != 0) {
        MessageBox(kPortFailureText);
        commFile.close();
        runButton.SetWindowText(kRunCaption);
        runButton.EnableWindow(false);
        infoButton.EnableWindow(false);
        SetWindowText(kIdleTitle);
        uploadRunning = 0;
        SetLoadControlsEnabled(true);
        return;  // lineCount and statusText stay as they were
    }

    SetStatus("Waiting for Query from PIC");
    RunSequence(*this).run();
}
