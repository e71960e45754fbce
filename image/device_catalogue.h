#pragma once

// The device catalogue: the fixed table that turns a firmware file's
// six-character typecode into the settings of the device it is for, and the
// text that tells the user how to prepare that device for the upload.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace image {

struct CatalogueRow {
    char typecode[7];          // six characters and the zero byte, compared exactly
    int32_t deviceNumber;      // 1..7
    int32_t processorFamily;   // 1 = PIC16, 2 = PIC18
    int32_t memorySize;        // program memory in bytes
    char queryChar;            // the bootloader's announcement
    char startChar;            // starts block programming
    char startReply;           // the answer to startChar
    int32_t queryProtocol;     // uploaded record by record
    int32_t frontPanel;        // keep-alive while the block upload shows a box
    bool asksUploadWay;        // asks kUploadWayQuestion; YES = through the output processor
    const char* statusText;    // for a row that asks: the YES text
    const char* statusTextNo;  // for a row that asks: the NO text; nullptr otherwise
    const char* description;   // the device's name as the user sees it
};

// In the order in which it is searched. Every status text begins with the
// seven characters "Hexfile"; a bootloader image replaces them.
// clang-format off
inline constexpr std::array<CatalogueRow, 7> kDeviceCatalogue = {{
//   typecode  dev fam memory  qry  sta  rep  qp fp ask  status text                                              NO text                               description
    {"QV1200", 1,  1,  0x4000, 'q', 'P', 'p', 1, 0, false, "Hexfile for original Storage Quindle",                nullptr,                              "Storage Quindle - original with PIC16F877"},
    {"QV1210", 2,  2,  0x8000, 'Q', 'p', 'P', 0, 0, false, "Hexfile for modified Storage Quindle",                nullptr,                              "Storage Quindle - modified with PIC18F452"},
    {"JT2310", 3,  2,  0x8000, 'Q', 'p', 'P', 0, 0, false, "Hexfile for Dravik output PIC",                       nullptr,                              "Dravik - output PIC"},
    {"JT2301", 4,  1,  0x2000, 'Q', 'p', 'P', 0, 0, false, "Hexfile for Dravik input PIC",                        nullptr,                              "Dravik - input PIC"},
    {"JT2302", 5,  1,  0x2000, 'Q', 'p', 'P', 0, 1, true,  "Hexfile for DV front panel PIC, loading through OP",  "Hexfile for Dravik front panel PIC", "Dravik - front panel PIC"},
    {"WN3110", 6,  2,  0x8000, 'Q', 'p', 'P', 0, 0, false, "Hexfile for Multichannel Moistra Logger",             nullptr,                              "Multichannel Moistra logger"},
    {"XC4510", 7,  2,  0x4000, 'Q', 'p', 'P', 0, 0, false, "Hexfile for Teluvo Mux",                              nullptr,                              "Teluvo Mux"},
}};
// clang-format on

// Asked by the front-panel row on every lookup.
inline constexpr const char* kUploadWayQuestion =
    "This firmware can be uploaded in two different ways.\n\n To upload normally, press YES "
    "(preferred)\n To upload manually, press NO (technical expertise required)\n";

// The first row whose typecode equals the seven bytes exactly, or nullptr.
const CatalogueRow* findCatalogueRow(const std::array<char, 7>& typecode);

// The text of the "?" box for the loaded file.
std::string loadInstructionsText(bool isBootloader, std::string_view description,
                                 int32_t deviceNumber, bool throughOutputPic);

}  // namespace image
