#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace image {

constexpr int kMemoryBytes = 0x8100;       // byte addresses 0x0000..0x80FF
constexpr int kMaxRecordAddress = 0x8000;  // data records start below this
constexpr int kMaxLineLength = 43;         // a record with 16 data bytes

// The loaded hex file: its lines, its memory image and its typecode. One lives
// in the main window for the program's whole life; every load overwrites it.
struct FirmwareImage {
    std::string path;                // full path of the hex file (the InPath setting)
    std::vector<std::string> lines;  // every line of the file, without terminator
    int32_t lineCount = 0;           // entries of lines in the image; 0 = nothing loaded
    std::array<uint8_t, kMemoryBytes>
        memory{};                    // by byte address; 0xFF where the file gives nothing
    std::array<char, 7> typecode{};  // six characters and a zero byte
    int32_t isBootloader = 0;        // the file is a bootloader image
};

}  // namespace image
