// The block upload: start and typecode handshakes, the memory write test and
// the warning for bootloader and essential-firmware uploads, programming and
// verification in 64-byte blocks, the closing command, and every outcome with
// its status, box and next step. It always ends with FinishUpload.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/tesmar_dlg.h"
#include "upload/block_commands.h"

namespace {

using upload::kBlockBytes;

constexpr int32_t kFamilyPic16 = 1;
constexpr int32_t kFamilyPic18 = 2;
constexpr uint8_t kPic16HighByteMask = 0x3F;

// Addresses below this belong to the bootloader: only a bootloader image may
// write them, and a bootloader image writes nothing else.
constexpr int kBootloaderEnd = 1024;
constexpr int kAddressSpaceEnd = 32768;
constexpr int kTypecodeLength = 6;
constexpr int32_t kTypecodeReadLimitMs = 100;
constexpr int kWriteTestBytes = 1024;  // sixteen blocks

// The memory write test areas: device 5 has its own.
constexpr int kTestAreaStart = 0x800;
constexpr int kTestAreaEnd = 0xC00;
constexpr int kFrontPanelDevice = 5;
constexpr int kFrontPanelTestAreaStart = 0x1000;
constexpr int kFrontPanelTestAreaEnd = 0x1400;

constexpr uint8_t kTypecodeCommand = 't';
constexpr uint8_t kTypecodeDone = 'T';
constexpr uint8_t kFinishCommand = 'f';
constexpr uint8_t kFinishReply = 'F';
constexpr uint8_t kAbortCommand = 'x';
constexpr uint8_t kAbortReply = 'X';
constexpr char kFirmwareAnswer = 'A';
constexpr char kTestAreaAnswer = 'a';

constexpr const char* kSerialFailureBox =
    "ERROR - Programming Failed\nError in serial communications";
constexpr const char* kCommunicationFailureBox =
    "ERROR - Programming Failed\nError communicating with storage Quindle";
constexpr const char* kStopBox = "Programming not completed\nStopped by user";
constexpr const char* kWriteTestFailedBox =
    "ERROR - Programming Failed\nFailed memory write test\n device cannot be used for this "
    "upload\n until this test is passed";
constexpr const char* kVerifyFailedBox =
    "ERROR - Programming Failed\nVerification error\nTry programming again";
constexpr const char* kTypecodeMismatchNotice =
    "Typecode in PIC to be programmed\n doesn't agree with that in Hex File\n\nMake sure you are "
    "loading the correct Hex file for the\n device being programmed";
constexpr const char* kWriteTestStartNotice = "Starting memory write test\n\nPress OK to continue";
constexpr const char* kWriteTestPassedNotice =
    "Memory write test successful\n\nPress OK to continue";
constexpr const char* kBootloaderWarning =
    "You are uploading a Bootloader!\n\nThis operation MUST not be interrupted!\nMake sure that "
    "power cannot fail\nMake sure the host computer cannot sleep/standby\n\nPress OK to continue";
constexpr const char* kEssentialWarning =
    "You are uploading essential firmware!\n\nThis operation MUST not be interrupted!\nMake sure "
    "that power cannot fail\nMake sure the host computer cannot sleep/standby\n\nPress OK to "
    "continue";
constexpr const char* kBootloaderVerifyFailedNotice =
    "You are uploading a Bootloader!\n\nVerification has failed!\nYour Quindle cannot be used "
    "until this operation succeeds\n\nDo not allow power to fail, or host computer\n to "
    "sleep/standby\n\nClick OK to try again";
constexpr const char* kEssentialVerifyFailedNotice =
    "You are uploading essential firmware!\n\nVerification has failed!\nYour Quindle cannot be "
    "used until this operation succeeds\n\nDo not allow power to fail, or host computer\n to "
    "sleep/standby\n\nClick OK to try again";
constexpr const char* kRetryQuestion =
    "Memory write test failed\n\nCommunication protocol unsuccessful\nPres NO to abort\n\t(your "
    "device will not be damaged,\n\tbut it will not work again until\n\tthe entire "
    "reprogramming has succeeded)\n\nPress YES to try again (recommended)";

constexpr const char* kErrorPrefix = "Error - ";
constexpr const char* kWriteTestPrefix = "Write test - ";

std::string withAddress(const char* format, int address) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), format, static_cast<unsigned>(address));
    return text.data();
}

std::string badVerify(int bad, int good) {
    return "Bad verify " + std::to_string(bad) + " bad, " + std::to_string(good) + " good";
}

// One run of the block upload, step by step. Each step returns the next.
class BlockUploadRun {
  public:
    explicit BlockUploadRun(CTesmarDlg& dlg) : dlg_(dlg) {}

    void run() {
        Step step = Step::Entry;
        while (step != Step::End) {
            step = perform(step);
        }
        dlg_.FinishUpload();
    }

  private:
    enum class Step {
        Entry,
        StartHandshake,
        TypecodeHandshake,
        WriteTest,
        Warning,
        Programming,
        Verification,
        Closing,
        Report,
        Stop,
        Abort,
        End,
    };

    Step perform(Step step) {
        switch (step) {
            case Step::Entry:
                return entry();
            case Step::StartHandshake:
                return startHandshake();
            case Step::TypecodeHandshake:
                return typecodeHandshake();
            case Step::WriteTest:
                return writeTest();
            case Step::Warning:
                return warning();
            case Step::Programming:
                return programming();
            case Step::Verification:
                return verification();
            case Step::Closing:
                return closing();
            case Step::Report:
                return report();
            case Step::Stop:
                return stop();
            case Step::Abort:
                return abort();
            case Step::End:
                break;
        }
        return Step::End;
    }

    // --- the upload kinds -------------------------------------------------
    bool bootloader() const { return dlg_.isBootloader != 0; }
    bool essential() const { return dlg_.throughOutputPic != 0 && dlg_.isBootloader == 0; }
    bool guarded() const { return bootloader() || essential(); }

    // --- primitives -------------------------------------------------------
    bool drainAndStopped() {
        ui::drainThread();
        return dlg_.stopRequested != 0;
    }
    int32_t sendByte(uint8_t byte) {
        return dlg_.commFile.ComWriteBytesTimed(&byte, 1, upload::kWriteByteTimeoutMs);
    }
    // One byte with the port's read time-out; the result of ComGetBytes.
    int32_t readByte(uint8_t& byte) {
        std::array<uint8_t, 2> buffer{};
        const int32_t got = dlg_.commFile.ComGetBytes(buffer.data(), 1);
        byte = buffer[0];
        return got;
    }
    void status(const std::string& text) { dlg_.SetStatus(text); }
    void errorBox(const char* text) {
        dlg_.MessageBox(text, ui::Buttons::OkCancel, ui::Icon::Exclamation);
    }
    void notice(const char* text) { dlg_.MessageBox(text, ui::Buttons::Ok, ui::Icon::Exclamation); }
    void keptAliveNotice(const char* text) {
        dlg_.StartKeepAlive();
        notice(text);
        dlg_.StopKeepAlive();
    }
    Step failWith(const std::string& text, const char* box) {
        status(text);
        errorBox(box);
        return Step::End;
    }
    Step reportCode(int code) {
        code_ = code;
        return Step::Report;
    }
    bool blank(int address) const {
        for (int i = 0; i < kBlockBytes; ++i) {
            if (dlg_.memory[address + i] != 0xFF) {
                return false;
            }
        }
        return true;
    }
    // Counts the bytes of scratch_ that match expected (family 1: the second
    // byte of each pair within its six bits).
    void compare(const uint8_t* expected) {
        for (int i = 0; i < kBlockBytes; ++i) {
            uint8_t want = expected[i];
            if (dlg_.processorFamily == kFamilyPic16 && i % 2 == 1) {
                want &= kPic16HighByteMask;
            }
            if (scratch_[i] == want) {
                ++good_;
            } else {
                ++bad_;
            }
        }
    }

    // --- steps ------------------------------------------------------------
    Step entry() {
        good_ = 0;
        bad_ = 0;
        offendingByte_ = 0;
        return drainAndStopped() ? Step::Stop : Step::StartHandshake;
    }

    Step startHandshake() {
        if (sendByte(static_cast<uint8_t>(dlg_.startChar)) != 1) {
            return failWith("Com Write timeout", kSerialFailureBox);
        }
        status(std::string(1, dlg_.startChar) + " message sent");
        uint8_t reply = 0;
        if (readByte(reply) != 1) {
            return failWith("Com error", kSerialFailureBox);
        }
        if (reply != static_cast<uint8_t>(dlg_.startReply)) {
            return failWith("Wrong char - P expected", kCommunicationFailureBox);
        }
        status("PIC ready for Programming");
        return Step::TypecodeHandshake;
    }

    Step typecodeHandshake() {
        if (drainAndStopped()) {
            return Step::Stop;
        }
        if (sendByte(kTypecodeCommand) != 1) {
            return failWith("Com Write timeout", kSerialFailureBox);
        }
        status("t message sent");
        // The result is not tested: what arrived is compared even when the
        // read ended with a stop or a failure, and a position that received
        // nothing keeps its NUL, which no typecode character equals.
        std::array<uint8_t, kTypecodeLength + 1> device{};
        dlg_.commFile.ComReadBytes(device.data(), kTypecodeLength, kTypecodeReadLimitMs);
        uint8_t done = 0;
        if (readByte(done) != 1) {
            return failWith("Com error", kSerialFailureBox);
        }
        if (done != kTypecodeDone) {
            return failWith("Wrong char - T expected", kCommunicationFailureBox);
        }
        bool same = true;
        for (int i = 0; i < kTypecodeLength; ++i) {
            if (device[i] != static_cast<uint8_t>(dlg_.typecode[i])) {
                same = false;
            }
        }
        if (same) {
            return guarded() ? Step::WriteTest : Step::Programming;
        }

        if (drainAndStopped()) {
            return Step::Stop;
        }
        if (sendByte(kFinishCommand) != 1) {
            return failWith("Com Write timeout", kSerialFailureBox);
        }
        status("Wrong Hex file - f message sent");
        uint8_t reply = 0;
        if (readByte(reply) != 1) {
            return reportCode(0);
        }
        if (reply == kFinishReply) {
            notice(kTypecodeMismatchNotice);
            return failWith("Wrong char in typecode", kCommunicationFailureBox);
        }
        status("Wrong char - F expected");
        return Step::End;
    }

    Step writeTest() {
        keptAliveNotice(kWriteTestStartNotice);
        int start = kTestAreaStart;
        int end = kTestAreaEnd;
        char answer = kTestAreaAnswer;
        if (dlg_.deviceNumber == kFrontPanelDevice) {
            start = kFrontPanelTestAreaStart;
            end = kFrontPanelTestAreaEnd;
            answer = bootloader() ? kTestAreaAnswer : kFirmwareAnswer;
        }
        good_ = 0;
        bad_ = 0;
        std::array<uint8_t, kBlockBytes> pattern{};
        for (int a = start; a < end; a += kBlockBytes) {
            status(withAddress("TestWrite 64 bytes @ %4Xh", a));
            for (int j = 0; j < kBlockBytes; ++j) {
                scratch_[j] = static_cast<uint8_t>((a + j) % 256);
            }
            const int code = dlg_.WriteBlock(a, answer, scratch_.data(), offendingByte_);
            if (code != 0) {
                return reportCode(code + upload::kWriteTestCodeOffset);
            }
        }
        for (int a = start; a < end; a += kBlockBytes) {
            status(withAddress("TestVerify 64 bytes @ %4Xh", a));
            const int code = dlg_.ReadBlock(a, answer, scratch_.data(), offendingByte_);
            if (code != 0) {
                return reportCode(code + upload::kWriteTestCodeOffset);
            }
            for (int j = 0; j < kBlockBytes; ++j) {
                pattern[j] = static_cast<uint8_t>((a + j) % 256);
            }
            compare(pattern.data());
        }
        if (bad_ != 0 || good_ != kWriteTestBytes) {
            return failWith(badVerify(bad_, good_), kWriteTestFailedBox);
        }
        keptAliveNotice(kWriteTestPassedNotice);
        return Step::Warning;
    }

    Step warning() {
        if (bootloader()) {
            keptAliveNotice(kBootloaderWarning);
        } else if (essential()) {
            keptAliveNotice(kEssentialWarning);
        }
        return Step::Programming;
    }

    Step programming() {
        const int end = dlg_.memorySize < kAddressSpaceEnd ? dlg_.memorySize : kAddressSpaceEnd;
        for (int a = 0; a < end; a += kBlockBytes) {
            if (blank(a)) {
                continue;
            }
            if (a < kBootloaderEnd && !bootloader()) {
                return failWith("Illegal address in Hex file", kCommunicationFailureBox);
            }
            if (a >= kBootloaderEnd && bootloader()) {
                continue;
            }
            status(withAddress("Writing 64 bytes @ %4Xh", a));
            const int code = dlg_.WriteBlock(a, kFirmwareAnswer, &dlg_.memory[a], offendingByte_);
            if (code != 0) {
                return reportCode(code);
            }
        }
        return Step::Verification;
    }

    Step verification() {
        good_ = 0;
        bad_ = 0;
        const int end = bootloader() ? kBootloaderEnd : kAddressSpaceEnd;
        // The block at 0 is never read back.
        for (int a = kBlockBytes; a < end; a += kBlockBytes) {
            if (blank(a)) {
                continue;
            }
            status(withAddress("Verifying 64 bytes @ %4Xh", a));
            const int code = dlg_.ReadBlock(a, kFirmwareAnswer, scratch_.data(), offendingByte_);
            if (code != 0) {
                return reportCode(code);
            }
            compare(&dlg_.memory[a]);
        }
        if (bad_ == 0) {
            return Step::Closing;
        }
        status(badVerify(bad_, good_));
        if (bootloader()) {
            keptAliveNotice(kBootloaderVerifyFailedNotice);
            return Step::Programming;
        }
        if (essential()) {
            keptAliveNotice(kEssentialVerifyFailedNotice);
            return Step::Programming;
        }
        errorBox(kVerifyFailedBox);
        return Step::Abort;
    }

    Step closing() {
        status("Programming completed successfully");
        if (drainAndStopped()) {
            return Step::Stop;
        }
        if (sendByte(kFinishCommand) != 1) {
            return failWith("Com Write timeout", kSerialFailureBox);
        }
        uint8_t reply = 0;
        if (readByte(reply) != 1) {
            return reportCode(0);
        }
        if (reply != kFinishReply) {
            status("Wrong char - F expected");
        }
        return Step::End;
    }

    // The result report: the code's message as the status, then its class
    // decides. Code 0 (no command failed) reads "Unknown error".
    Step report() {
        std::string prefix = kErrorPrefix;
        int code = code_;
        if (code > upload::kWriteTestCodeOffset) {
            prefix += kWriteTestPrefix;
            code -= upload::kWriteTestCodeOffset;
        }
        status(upload::formatResultMessage(code, prefix, offendingByte_));
        switch (upload::resultClass(code)) {
            case upload::ResultClass::SerialFailure:
                errorBox(kSerialFailureBox);
                return Step::End;
            case upload::ResultClass::Stop:
                errorBox(kStopBox);
                return Step::Abort;
            case upload::ResultClass::ProtocolFailure:
                if (guarded()) {
                    dlg_.StartKeepAlive();
                    const ui::Answer answer =
                        dlg_.MessageBox(kRetryQuestion, ui::Buttons::YesNo, ui::Icon::Question);
                    dlg_.StopKeepAlive();
                    return answer == ui::Answer::Yes ? Step::WriteTest : Step::Abort;
                }
                errorBox(kCommunicationFailureBox);
                return Step::End;
            case upload::ResultClass::Other:
                break;
        }
        return Step::End;
    }

    Step stop() {
        status("Stopped by user");
        errorBox(kStopBox);
        return Step::Abort;
    }

    // The abort command; after a stop the device gets no 'x'.
    Step abort() {
        if (drainAndStopped()) {
            return Step::End;
        }
        uint8_t reply = 0;
        if (sendByte(kAbortCommand) != 1 || readByte(reply) != 1) {
            return failWith("Com error", kSerialFailureBox);
        }
        if (reply != kAbortReply) {
            status("Wrong char - X expected");
        }
        return Step::End;
    }

    CTesmarDlg& dlg_;
    std::array<uint8_t, kBlockBytes> scratch_{};
    int good_ = 0;
    int bad_ = 0;
    int code_ = 0;
    char offendingByte_ = 0;
};

}  // namespace

void CTesmarDlg::BlockUpload() {
    // Every catalogue row has family 1 or 2. Any other value ends the upload
    // at once, with the port closed and the window reset like every other end.
    if (processorFamily != kFamilyPic16 && processorFamily != kFamilyPic18) {
        FinishUpload();
        return;
    }
    BlockUploadRun(*this).run();
}
