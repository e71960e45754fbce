#pragma once

// One line of an Intel HEX file, decoded and applied to the memory image. The
// reader knows three record types: 00 (data), 01 (end of file) and 04
// (extended linear address). Every other line (not beginning with ':', shorter
// than 9 characters, or of another type) is passed over without a check.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "image/firmware_image.h"

namespace image {

constexpr int kMaxDataBytes = 16;  // per data record
static_assert(kMaxRecordAddress + kMaxDataBytes <= kMemoryBytes,
              "every accepted data record fits into memory");

enum class RecordType {
    Other,                  // not a 00/01/04 record: passed over
    Data,                   // 00
    EndOfFile,              // 01
    ExtendedLinearAddress,  // 04
};

// The reasons a record stops the load, in the order the checks run.
enum class HexError {
    None,
    NonHexCharacter,  // a character after the colon is not 0-9, a-f or A-F
    ChecksumError,    // the values of the record do not sum to 0 modulo 256
    IllegalCount,     // data record with more than 16 bytes
    IllegalAddress,   // data record at 0x8000 or above
    WrongLength,      // data record line not 11 + 2 * count characters long
};

// The status text of each error ("" for None).
const char* hexErrorText(HexError error);

// What one line holds. For RecordType::Other nothing else is set. For the
// other types, checksum is the result of the checksum step (the characters
// from position 1 to the end, taken in pairs, a last odd character a value of
// its own); count, address and upperAddress are set only when it is None.
struct HexRecord {
    RecordType type = RecordType::Other;
    HexError checksum = HexError::None;
    std::size_t length = 0;  // characters in the line
    int count = 0;           // the pair at positions 1-2
    int address = 0;         // the four characters at positions 3-6
    int upperAddress = 0;    // type 04: the characters at 9-12 (fewer if the line ends sooner)
    // Data records of a well-formed shape (count <= 16, length 11 + 2 * count):
    // the data bytes, without the checksum byte. dataCount is 0 otherwise.
    std::array<uint8_t, kMaxDataBytes> data{};
    int dataCount = 0;
};

HexRecord decodeRecord(std::string_view line);

// The working values of one parse.
struct HexParseState {
    int upperAddress = 0;                   // from the last type 04 record
    int lowestAddress = kMaxRecordAddress;  // lowest address of an accepted data record
};

// Applies one line to memory and state. Returns the first failed check, or
// HexError::None when the line was stored or passed over. Data records are
// ignored (after their checksum) while state.upperAddress is not 0. Writes
// only the bytes of an accepted data record, all below 0x8010.
HexError parseHexLine(std::string_view line, HexParseState& state,
                      std::span<uint8_t, kMemoryBytes> memory);

}  // namespace image
