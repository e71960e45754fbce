#include "image/device_catalogue.h"

#include <algorithm>

namespace image {

namespace {
constexpr int32_t kFrontPanelDevice = 5;
constexpr int32_t kLastDevice = 7;

constexpr const char* kBootloaderHeading = "You have loaded a bootloader for:\n\n";
constexpr const char* kFirmwareHeading = "You have loaded firmware for:\n\n";
constexpr const char* kThroughOutputPicSteps =
    "\n for progamming through the Output Pic\n\n"
    "1) Remove any CF card from the Dravik\n2) Turn the Dravik ON\n3) Wait till Status and Error "
    "are only LEDs lit\n4) Press the Run button in Tesmar\n5) Wait until download is "
    "completed\n6) Set the Dravik time using Nembrot\n";
constexpr const char* kGeneralSteps =
    "\n\n"
    "1) Turn OFF the device being programmed\n2) Press the Run button in Tesmar\n3) Turn the "
    "device being programmed ON\n4) Wait until download is completed\n5) Turn the device OFF "
    "again\n";
constexpr const char* kUnknownFirmware = "Unknown firmware loaded !\n\nCannot proceed....";
}  // namespace

const CatalogueRow* findCatalogueRow(const std::array<char, 7>& typecode) {
    for (const CatalogueRow& row : kDeviceCatalogue) {
        if (std::equal(typecode.begin(), typecode.end(), row.typecode)) {
            return &row;
        }
    }
    return nullptr;
}

std::string loadInstructionsText(bool isBootloader, std::string_view description,
                                 int32_t deviceNumber, bool throughOutputPic) {
    if (deviceNumber < 1 || deviceNumber > kLastDevice) {
        return kUnknownFirmware;
    }
    std::string text = isBootloader ? kBootloaderHeading : kFirmwareHeading;
    text += description;
    if (deviceNumber == kFrontPanelDevice && throughOutputPic) {
        text += kThroughOutputPicSteps;
    } else {
        text += kGeneralSteps;
    }
    return text;
}

}  // namespace image
