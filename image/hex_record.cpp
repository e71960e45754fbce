#include "image/hex_record.h"

#include <algorithm>

namespace image {

namespace {

constexpr std::size_t kTypePosition = 7;
constexpr std::size_t kDataPosition = 9;
constexpr std::size_t kMinRecordLength = 9;  // colon, count, address, type
constexpr std::size_t kRecordOverhead = 11;  // the above and the checksum pair

int hexDigit(char c) {
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

// The value of the hex characters line[from, from + n); every one must be a
// digit (the checksum step has made sure of that).
int hexValue(std::string_view line, std::size_t from, std::size_t n) {
    int value = 0;
    for (std::size_t i = from; i < from + n && i < line.size(); ++i) {
        value = value * 16 + hexDigit(line[i]);
    }
    return value;
}

RecordType recordType(std::string_view line) {
    if (line.size() < kMinRecordLength || line[0] != ':' || line[kTypePosition] != '0') {
        return RecordType::Other;
    }
    switch (line[kTypePosition + 1]) {
        case '0':
            return RecordType::Data;
        case '1':
            return RecordType::EndOfFile;
        case '4':
            return RecordType::ExtendedLinearAddress;
        default:
            return RecordType::Other;
    }
}

HexError checksumOf(std::string_view line) {
    unsigned sum = 0;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const int high = hexDigit(line[i]);
        if (high < 0) {
            return HexError::NonHexCharacter;
        }
        if (i + 1 == line.size()) {
            sum += static_cast<unsigned>(high);  // a last odd character on its own
            break;
        }
        const int low = hexDigit(line[i + 1]);
        if (low < 0) {
            return HexError::NonHexCharacter;
        }
        sum += static_cast<unsigned>(high * 16 + low);
    }
    return (sum & 0xFFu) == 0 ? HexError::None : HexError::ChecksumError;
}

}  // namespace

const char* hexErrorText(HexError error) {
    switch (error) {
        case HexError::None:
            return "";
        case HexError::NonHexCharacter:
            return "Non hex character in hex file";
        case HexError::ChecksumError:
            return "Checksum error from hex file";
        case HexError::IllegalCount:
            return "Illegal count value in hex file";
        case HexError::IllegalAddress:
            return "Illegal address value in hex file";
        case HexError::WrongLength:
            return "Wrong file length found from hex file";
    }
    return "";
}

HexRecord decodeRecord(std::string_view line) {
    HexRecord record;
    record.type = recordType(line);
    record.length = line.size();
    if (record.type == RecordType::Other) {
        return record;
    }
    record.checksum = checksumOf(line);
    if (record.checksum == HexError::NonHexCharacter) {
        return record;
    }
    record.count = hexValue(line, 1, 2);
    record.address = hexValue(line, 3, 4);
    if (record.type == RecordType::ExtendedLinearAddress) {
        record.upperAddress = hexValue(line, kDataPosition, 4);
    }
    if (record.type == RecordType::Data && record.count <= kMaxDataBytes &&
        record.length == kRecordOverhead + 2 * static_cast<std::size_t>(record.count)) {
        for (int i = 0; i < record.count; ++i) {
            record.data[static_cast<std::size_t>(i)] = static_cast<uint8_t>(
                hexValue(line, kDataPosition + 2 * static_cast<std::size_t>(i), 2));
        }
        record.dataCount = record.count;
    }
    return record;
}

HexError parseHexLine(std::string_view line, HexParseState& state,
                      std::span<uint8_t, kMemoryBytes> memory) {
    const HexRecord record = decodeRecord(line);
    if (record.type == RecordType::Other) {
        return HexError::None;
    }
    if (record.checksum != HexError::None) {
        return record.checksum;
    }
    switch (record.type) {
        case RecordType::Data:
            if (state.upperAddress != 0) {
                return HexError::None;  // above the first 64 KB
            }
            if (record.count > kMaxDataBytes) {
                return HexError::IllegalCount;
            }
            if (record.address >= kMaxRecordAddress) {
                return HexError::IllegalAddress;
            }
            state.lowestAddress = std::min(state.lowestAddress, record.address);
            if (record.length != kRecordOverhead + 2 * static_cast<std::size_t>(record.count)) {
                return HexError::WrongLength;
            }
            std::copy_n(record.data.begin(), record.dataCount, memory.begin() + record.address);
            return HexError::None;
        case RecordType::ExtendedLinearAddress:
            state.upperAddress = record.upperAddress;
            return HexError::None;
        case RecordType::EndOfFile:
        case RecordType::Other:
            return HexError::None;
    }
    return HexError::None;
}

}  // namespace image
