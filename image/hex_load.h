#pragma once

// The load behind CTesmarDlg::ReadHexFile, in three steps so that a test or
// the fuzzer can feed it any stream instead of a file on disk.

#include <cstdint>
#include <istream>

#include "image/hex_lines.h"

class CTesmarDlg;

namespace image {

// The typecode locations, tried in this order.
constexpr int kApplicationTypecode = 0x420;  // application firmware starting at 0x400
constexpr int kQuindleTypecode = 0xFF4;      // QV1200 firmware starting at 0
constexpr int kBootloaderTypecode = 0x020;   // a bootloader image starting at 0
constexpr int kApplicationStart = 0x400;

// Step 1: lineCount, isBootloader, lines, queryProtocol, throughOutputPic,
// frontPanel and memorySize cleared; everything else left as it is.
void BeginHexLoad(CTesmarDlg& dlg);
// Steps 2 to 6 once the lines have been read (or the file could not be
// opened): tells the user of every failure, parses lines into memory, finds
// the typecode and looks it up. 0 = loaded, -1 = not loaded (lineCount 0).
int32_t FinishHexLoad(CTesmarDlg& dlg, LineReadResult read);
// The whole load from a stream; nullptr stands for a file that could not be opened.
int32_t ReadHexStream(CTesmarDlg& dlg, std::istream* in);

}  // namespace image
