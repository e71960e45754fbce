#pragma once

// The record side of the query protocol: which lines of the hex file the
// record transfer sends, the fields it parses out of each, and the check that
// every data record can be sent whole before programming starts. Plain
// functions of the text, no port and no window.
//
// Positions count from 0; position 0 is the ':' of a record.
//   :CCAAAATTDDDD...DDSS   CC count, AAAA address, TT type, DDDD one word, SS checksum

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace upload {

constexpr size_t kCountPos = 1;
constexpr size_t kCountChars = 2;
constexpr size_t kAddressPos = 3;
constexpr size_t kAddressChars = 4;
constexpr size_t kTypePos = 7;
constexpr size_t kTypeChars = 2;
constexpr size_t kDataPos = 9;
constexpr size_t kWordChars = 4;
constexpr size_t kChecksumChars = 2;

// A record carries at most this many 16-bit words.
constexpr int kMaxRecordWords = 8;
// Data records at word addresses above this get only their header.
constexpr int kHighestDataWordAddress = 0x2000;

constexpr int kDataRecordType = 0;
constexpr int kEndOfFileRecordType = 1;

// The value of the hexadecimal field of len characters at pos (upper or lower
// case digits). Nothing when the field runs past the line's end or holds any
// character that is not a hexadecimal digit.
std::optional<int> parseHexField(std::string_view line, size_t pos, size_t len);

// The characters of word j of a data record (position 9 + 4j).
constexpr size_t wordPos(int word) {
    return kDataPos + kWordChars * static_cast<size_t>(word);
}
// The two characters sent after the last of wordCount words: the checksum.
constexpr size_t checksumPos(int wordCount) {
    return wordPos(wordCount);
}

// Goes through the lines in file order and says which ones the record
// transfer sends. It tracks the upper address of the extended linear address
// records as the hex reader does: data records that come while the upper
// address is not 0 were left out of the image by the reader, so they are not
// sent either (they belong above the first 64 KB, and their length was never
// checked).
class RecordSelector {
  public:
    // True when the line is a type 00 or 01 record the transfer sends; false
    // for every other line (type 04 records update the upper address here).
    bool sends(std::string_view line);
    uint32_t upperAddress() const { return upperAddress_; }

  private:
    uint32_t upperAddress_ = 0;
};

// The index of the first of the first lineCount lines that the transfer would
// send as a data record with its data (type 00 at a word address of at most
// 0x2000) but could not send whole: a count or address that is not hex, more
// than 8 words, an odd byte count (its last byte would go out as the
// checksum), or a line too short for its words and checksum. -1 when every
// such record can be sent. Checked before programming starts, so the device
// is never left half-programmed by a record the transfer must refuse.
int firstUnsendableDataRecord(const std::vector<std::string>& lines, int32_t lineCount);

}  // namespace upload
