#pragma once

// Intel HEX text for the simulated instrument: records written from a memory
// image (the dump, the sample firmware) and a strict reader that checks them
// back (types 00, 01 and 04; every record's checksum and length).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/instrument.h"

namespace sim {

// One record, upper-case digits: ":" count, address, type, data, checksum.
std::string hexRecord(int address, int type, const uint8_t* data, int count);
std::string hexEndRecord();  // ":00000001FF"

// The 16-byte records of memory[begin, end) that hold a byte other than 0xFF,
// in address order, followed by the end record.
std::vector<std::string> hexRecordsOf(const std::array<uint8_t, kImageBytes>& memory, int begin = 0,
                                      int end = kImageBytes);

// What a device holds, as a programmer would dump it: for a PIC16 an erased
// word (0x3FFF, stored FF 3F) reads as FF FF, so that it counts as blank.
std::array<uint8_t, kImageBytes> dumpView(const std::array<uint8_t, kImageBytes>& memory,
                                          Family family);

// Parses hex lines into memory (not cleared first). Blank lines are passed
// over; every other line must be a well-formed type 00, 01 or 04 record of
// the first 64 KB below kImageBytes. False with a message on the first error.
struct HexParse {
    bool ok = true;
    std::string error;  // "line 3: checksum"
    int dataRecords = 0;
    int endRecords = 0;
    int lowestAddress = -1;  // -1: no data record
};
HexParse parseHexLines(const std::vector<std::string>& lines,
                       std::array<uint8_t, kImageBytes>& memory);

// Splits text into lines (LF or CR LF).
std::vector<std::string> splitLines(std::string_view text);

// Whole files. False when the file cannot be read or written.
bool readTextLines(const std::string& path, std::vector<std::string>& lines);
bool writeTextLines(const std::string& path, const std::vector<std::string>& lines);

}  // namespace sim
