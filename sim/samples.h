#pragma once

// Sample firmware for every catalogue row, written by tesmar-sim
// --write-samples DIR: application firmware and a bootloader image per row,
// laid out where the uploads take them.
//  - application firmware from 0x400, the typecode at 0x420 (the low bytes of
//    six program words, one character a word), nothing at or above memorySize;
//  - row 1 (the query device) from 0, the typecode at 0xFF4, every record of
//    16 bytes at a word address the device takes;
//  - bootloader images from 0, the typecode at 0x020, nothing at or above 0x400.
// Content is deterministic: code-like words (PIC16 words within 14 bits),
// blank 64-byte blocks and half-filled blocks between, 16-byte records of 43
// characters, an end record.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/instrument.h"

namespace sim {

// "sample-row2-QV1210.hex", "sample-row2-QV1210-bootloader.hex".
std::string sampleFileName(int row, bool bootloader);
// The memory image of a sample (0xFF where it has no data).
std::array<uint8_t, kImageBytes> sampleImage(int row, bool bootloader);
// Its lines, without terminators.
std::vector<std::string> sampleFirmware(int row, bool bootloader);

// Writes all fourteen samples into dir, an existing folder. Returns the paths
// written; on a failure, stops and sets error.
std::vector<std::string> writeSamples(const std::string& dir, std::string& error);

}  // namespace sim
