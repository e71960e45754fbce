#pragma once

#include <cstdint>
#include <string>

namespace image {

// The catalogue's settings for the loaded typecode. One lives in the main
// window beside the FirmwareImage; every lookup overwrites it.
struct DeviceProfile {
    int32_t deviceNumber = 0;      // catalogue row 1..7; 0 = unknown device (the PICtype setting)
    std::string description;       // the device's name as shown to the user
    int32_t queryProtocol = 0;     // uploaded record by record; otherwise in blocks
    int32_t processorFamily = 0;   // 1 = PIC16, 2 = PIC18, 0 = none
    int32_t memorySize = 0;        // program memory in bytes; the block upload writes below it
    int32_t throughOutputPic = 0;  // front panel programmed through the output processor
    int32_t frontPanel = 0;        // the front-panel processor: keep-alive while boxes are open
    char queryChar = 0;            // the announcement the bootloader must send
    char startChar = 0;            // sent to start block programming
    char startReply = 0;           // the answer expected to startChar
};

}  // namespace image
