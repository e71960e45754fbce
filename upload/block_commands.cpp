#include "upload/block_commands.h"

#include <array>
#include <cstdio>
#include <string>

#include "app/tesmar_dlg.h"
#include "serial/comm_file.h"
#include "ui/message_pump.h"

namespace upload {

namespace {

using RC = ResultClass;

// clang-format off
constexpr std::array<ResultCodeRow, 26> kResultCodes{{
    // code  step            cause                                                   message                                                 class
    {10, "SendAddress",  "send failed, or an answer did not arrive",              "%s SendAddress Com error",                             RC::SerialFailure},
    {11, "SendAddress",  "stop requested",                                        "%s SendAddress Stopped by user",                       RC::Stop},
    {12, "SendAddress",  "byte not sent within 100 ms",                           "%s SendAddress Com Write timeout",                     RC::SerialFailure},
    {13, "SendAddress",  "echo of 'a' wrong",                                     "%s SendAddress Wrong reply '%c' 0x%2X for 'a'",        RC::ProtocolFailure},
    {14, "SendAddress",  "address answer is not addressAnswer",                   "%s SendAddress Bad memory location err'%c'",           RC::ProtocolFailure},
    {16, "CheckAddress", "send failed, or an answer did not arrive",              "%s CheckAddress Com error",                            RC::SerialFailure},
    {17, "CheckAddress", "stop requested",                                        "%s CheckAddress Stopped by user",                      RC::Stop},
    {18, "CheckAddress", "byte not sent within 100 ms",                           "%s CheckAddress Com Write timeout",                    RC::SerialFailure},
    {19, "CheckAddress", "echoed address byte differs",                           "%s CheckAddress Bad value err'%c'",                    RC::ProtocolFailure},
    {20, "CheckAddress", "closing letter is not 'B'",                             "%s CheckAddress Wrong reply '%c' 0x%2X for 'B'",       RC::ProtocolFailure},
    {21, "Erase",        "send failed, or an answer did not arrive",              "%s Erase Com error",                                   RC::SerialFailure},
    {22, "Erase",        "stop requested",                                        "%s Erase Stopped by user",                             RC::Stop},
    {23, "Erase",        "byte not sent within 100 ms",                           "%s Erase Com Write timeout",                           RC::SerialFailure},
    {24, "Erase",        "echo of 'e' wrong",                                     "%s Erase Wrong reply '%c' 0x%2X for 'e'",              RC::ProtocolFailure},
    {25, "Erase",        "completion letter is not 'E'",                          "%s Erase Wrong reply '%c' 0x%2X for 'E'",              RC::ProtocolFailure},
    {26, "Write",        "send failed, or an answer did not arrive",              "%s Write Com error",                                   RC::SerialFailure},
    {27, "Write",        "stop requested",                                        "%s Write Stopped by user",                             RC::Stop},
    {28, "Write",        "byte not sent within 100 ms",                           "%s Write Com Write timeout",                           RC::SerialFailure},
    {29, "Write",        "echo of 'w' wrong",                                     "%s Write Wrong reply '%c' 0x%2X for 1st 'w'",          RC::ProtocolFailure},
    {30, "Write",        "letter after the data is not 'w'",                      "%s Write Wrong reply '%c' 0x%2X for 2nd 'w'",          RC::ProtocolFailure},
    {31, "Write",        "completion letter is not 'W'",                          "%s Write Wrong reply '%c' 0x%2X for 'W'",              RC::ProtocolFailure},
    {32, "Read",         "send failed, or an answer or data byte did not arrive", "%s Read Com error",                                    RC::SerialFailure},
    {33, "Read",         "stop requested",                                        "%s Read Stopped by user",                              RC::Stop},
    {34, "Read",         "byte not sent within 100 ms",                           "%s Read Com Write timeout",                            RC::SerialFailure},
    {35, "Read",         "echo of 'r' wrong",                                     "%s Read Wrong reply '%c' 0x%2X for 'r'",               RC::ProtocolFailure},
    {36, "Read",         "closing letter is not 'R'",                             "%s Read Wrong reply '%c' 0x%2X for 'R'",               RC::ProtocolFailure},
}};
// clang-format on

constexpr const char* kUnknownMessage = "%s Unknown error";

// Each step's com-error, stopped and write-time-out codes.
constexpr int kSendAddressBase = 10;
constexpr int kCheckAddressBase = 16;
constexpr int kEraseBase = 21;
constexpr int kWriteBase = 26;
constexpr int kReadBase = 32;

constexpr uint8_t kSendAddressCommand = 'a';
constexpr uint8_t kCheckAddressCommand = 'b';
constexpr uint8_t kCheckAddressDone = 'B';
constexpr uint8_t kEraseCommand = 'e';
constexpr uint8_t kEraseDone = 'E';
constexpr uint8_t kWriteCommand = 'w';
constexpr uint8_t kWriteDone = 'W';
constexpr uint8_t kReadCommand = 'r';
constexpr uint8_t kReadDone = 'R';

// A PIC16 program word keeps 14 bits: the second byte of a pair has six.
constexpr uint8_t kPic16HighByteMask = 0x3F;

constexpr int kFamilyPic18 = 2;
constexpr int kFamilyPic16 = 1;

}  // namespace

std::span<const ResultCodeRow> resultCodeTable() {
    return kResultCodes;
}

const ResultCodeRow* findResultCode(int code) {
    for (const auto& row : kResultCodes) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

ResultClass resultClass(int code) {
    const ResultCodeRow* row = findResultCode(code);
    return row != nullptr ? row->reaction : ResultClass::Other;
}

std::string formatResultMessage(int code, const std::string& prefix, char offendingByte) {
    const ResultCodeRow* row = findResultCode(code);
    const std::string format = row != nullptr ? row->message : kUnknownMessage;
    const unsigned value = static_cast<uint8_t>(offendingByte);
    // The formats are the fixed texts of the table; snprintf ignores the
    // arguments a message does not use. %c is filled in by hand so that a NUL
    // byte does not cut the text short.
    std::string out;
    std::array<char, 16> number{};
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        const char conversion = format[i + 1];
        if (conversion == 's') {
            out += prefix;
            ++i;
        } else if (conversion == 'c') {
            if (offendingByte != 0) {
                out += offendingByte;
            }
            ++i;
        } else if (format.compare(i, 3, "%2X") == 0) {
            std::snprintf(number.data(), number.size(), "%2X", value);
            out += number.data();
            i += 2;
        } else {
            out += format[i];
        }
    }
    return out;
}

int BlockCommands::send(const StepCodes& step, uint8_t byte) {
    ui::drainThread();
    if (stopRequested_ != 0) {
        return step.stopped;
    }
    const int32_t sent = port_.ComWriteBytesTimed(&byte, 1, kWriteByteTimeoutMs);
    if (sent < 0) {
        return step.comError;
    }
    if (sent != 1) {
        return step.writeTimeout;
    }
    return 0;
}

int BlockCommands::receive(const StepCodes& step, uint8_t& byte) {
    std::array<uint8_t, 2> buffer{};  // the byte and the NUL after it
    if (port_.ComGetBytes(buffer.data(), 1) != 1) {
        return step.comError;
    }
    byte = buffer[0];
    return 0;
}

int BlockCommands::expect(const StepCodes& step, uint8_t expected, int wrongCode,
                          char& offendingByte) {
    uint8_t byte = 0;
    if (const int code = receive(step, byte); code != 0) {
        return code;
    }
    if (byte != expected) {
        offendingByte = static_cast<char>(byte);
        return wrongCode;
    }
    return 0;
}

// 'a' echoed 'a'; the two address bytes, high first, answered addressAnswer.
int BlockCommands::sendAddress(int address, char addressAnswer, char& offendingByte) {
    constexpr StepCodes step{kSendAddressBase, kSendAddressBase + 1, kSendAddressBase + 2};
    int code = send(step, kSendAddressCommand);
    if (code == 0) {
        code = expect(step, kSendAddressCommand, 13, offendingByte);
    }
    if (code == 0) {
        code = send(step, static_cast<uint8_t>(address >> 8));
    }
    if (code == 0) {
        code = send(step, static_cast<uint8_t>(address % 256));
    }
    if (code == 0) {
        code = expect(step, static_cast<uint8_t>(addressAnswer), 14, offendingByte);
    }
    return code;
}

// 'b' answered with the two address bytes as the device holds them, and 'B'.
int BlockCommands::checkAddress(int address, char& offendingByte) {
    constexpr StepCodes step{kCheckAddressBase, kCheckAddressBase + 1, kCheckAddressBase + 2};
    int code = send(step, kCheckAddressCommand);
    if (code == 0) {
        code = expect(step, static_cast<uint8_t>(address >> 8), 19, offendingByte);
    }
    if (code == 0) {
        code = expect(step, static_cast<uint8_t>(address % 256), 19, offendingByte);
    }
    if (code == 0) {
        code = expect(step, kCheckAddressDone, 20, offendingByte);
    }
    return code;
}

// 'e' echoed 'e', then 'E' once the row is erased.
int BlockCommands::erase(char& offendingByte) {
    constexpr StepCodes step{kEraseBase, kEraseBase + 1, kEraseBase + 2};
    int code = send(step, kEraseCommand);
    if (code == 0) {
        code = expect(step, kEraseCommand, 24, offendingByte);
    }
    if (code == 0) {
        code = expect(step, kEraseDone, 25, offendingByte);
    }
    return code;
}

// 'w' echoed 'w'; the 64 bytes pair by pair, unanswered; then 'w' and 'W'
// once the block is programmed.
int BlockCommands::write(const uint8_t* data, char& offendingByte) {
    constexpr StepCodes step{kWriteBase, kWriteBase + 1, kWriteBase + 2};
    int code = send(step, kWriteCommand);
    if (code == 0) {
        code = expect(step, kWriteCommand, 29, offendingByte);
    }
    for (int i = 0; code == 0 && i < kBlockBytes; ++i) {
        uint8_t byte = data[i];
        if (family_ == kFamilyPic16 && i % 2 == 1) {
            byte &= kPic16HighByteMask;
        }
        code = send(step, byte);
    }
    if (code == 0) {
        code = expect(step, kWriteCommand, 30, offendingByte);
    }
    if (code == 0) {
        code = expect(step, kWriteDone, 31, offendingByte);
    }
    return code;
}

// 'r' answered 'r', the 64 bytes in address order, and 'R'.
int BlockCommands::read(uint8_t* buffer, char& offendingByte) {
    constexpr StepCodes step{kReadBase, kReadBase + 1, kReadBase + 2};
    int code = send(step, kReadCommand);
    if (code == 0) {
        code = expect(step, kReadCommand, 35, offendingByte);
    }
    for (int i = 0; code == 0 && i < kBlockBytes; ++i) {
        ui::drainThread();
        if (stopRequested_ != 0) {
            return step.stopped;
        }
        code = receive(step, buffer[i]);
    }
    if (code == 0) {
        code = expect(step, kReadDone, 36, offendingByte);
    }
    return code;
}

int BlockCommands::writeBlock(int address, char addressAnswer, const uint8_t* data,
                              char& offendingByte) {
    offendingByte = 0;
    int code = 0;
    if (family_ == kFamilyPic18) {
        code = sendAddress(address, addressAnswer, offendingByte);
        if (code == 0) {
            code = checkAddress(address, offendingByte);
        }
        if (code == 0) {
            code = erase(offendingByte);
        }
    }
    if (code == 0) {
        code = sendAddress(address, addressAnswer, offendingByte);
    }
    if (code == 0) {
        code = checkAddress(address, offendingByte);
    }
    if (code == 0) {
        code = write(data, offendingByte);
    }
    return code;
}

int BlockCommands::readBlock(int address, char addressAnswer, uint8_t* buffer,
                             char& offendingByte) {
    offendingByte = 0;
    int code = sendAddress(address, addressAnswer, offendingByte);
    if (code == 0) {
        code = checkAddress(address, offendingByte);
    }
    if (code == 0) {
        code = read(buffer, offendingByte);
    }
    return code;
}

}  // namespace upload

// --- the main window's block commands ---------------------------------------

int CTesmarDlg::WriteBlock(int address, char addressAnswer, const uint8_t* data,
                           char& offendingByte) {
    upload::BlockCommands commands(commFile, stopRequested, processorFamily);
    return commands.writeBlock(address, addressAnswer, data, offendingByte);
}

int CTesmarDlg::ReadBlock(int address, char addressAnswer, uint8_t* buffer, char& offendingByte) {
    upload::BlockCommands commands(commFile, stopRequested, processorFamily);
    return commands.readBlock(address, addressAnswer, buffer, offendingByte);
}
