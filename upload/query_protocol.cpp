#include "upload/query_protocol.h"

namespace upload {

namespace {

constexpr char kRecordMark = ':';
constexpr int kExtendedLinearAddressType = 4;
constexpr size_t kUpperAddressChars = 4;

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

// The record type as the two characters at positions 7-8 spell it ("00",
// "01", "04"); -1 for a line that is no such record.
int recordType(std::string_view line) {
    if (line.empty() || line[0] != kRecordMark || line.size() < kTypePos + kTypeChars) {
        return -1;
    }
    const std::string_view type = line.substr(kTypePos, kTypeChars);
    if (type == "00") {
        return kDataRecordType;
    }
    if (type == "01") {
        return kEndOfFileRecordType;
    }
    if (type == "04") {
        return kExtendedLinearAddressType;
    }
    return -1;
}

}  // namespace

std::optional<int> parseHexField(std::string_view line, size_t pos, size_t len) {
    if (len == 0 || pos > line.size() || len > line.size() - pos) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : line.substr(pos, len)) {
        const int digit = hexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

bool RecordSelector::sends(std::string_view line) {
    const int type = recordType(line);
    if (type == kExtendedLinearAddressType) {
        // As the reader takes it: the four characters after the type, fewer
        // when the line ends sooner.
        uint32_t upper = 0;
        for (size_t i = kDataPos; i < line.size() && i < kDataPos + kUpperAddressChars; ++i) {
            const int digit = hexDigit(line[i]);
            if (digit < 0) {
                break;
            }
            upper = upper * 16 + static_cast<uint32_t>(digit);
        }
        upperAddress_ = upper;
        return false;
    }
    if (type == kDataRecordType) {
        return upperAddress_ == 0;
    }
    return type == kEndOfFileRecordType;
}

int firstUnsendableDataRecord(const std::vector<std::string>& lines, int32_t lineCount) {
    RecordSelector selector;
    for (int32_t i = 0; i < lineCount && static_cast<size_t>(i) < lines.size(); ++i) {
        const std::string_view line = lines[static_cast<size_t>(i)];
        if (!selector.sends(line) || line.substr(kTypePos, kTypeChars) != "00") {
            continue;
        }
        const auto count = parseHexField(line, kCountPos, kCountChars);
        const auto address = parseHexField(line, kAddressPos, kAddressChars);
        if (!count || !address) {
            return i;
        }
        if (*address / 2 > kHighestDataWordAddress) {
            continue;  // only its header goes out
        }
        const int words = *count / 2;
        if (words > kMaxRecordWords || *count % 2 != 0 ||
            line.size() < checksumPos(words) + kChecksumChars) {
            return i;
        }
    }
    return -1;
}

}  // namespace upload
