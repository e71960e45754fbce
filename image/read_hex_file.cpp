#include <fstream>
#include <string>

#include "app/tesmar_dlg.h"
#include "image/hex_load.h"
#include "image/hex_record.h"

namespace image {

namespace {

constexpr const char* kHexFileError = "Error in Hex file";
constexpr const char* kLineTooLong = "Line too long in Hex file";
constexpr const char* kIllegalDeviceType = "Illegal device type in hex file";
constexpr const char* kInvalidStartAddress = "Invalid start address in hex file";
constexpr const char* kBootloaderQuestion =
    "Warning!\n\nYou have loaded a bootloader program\nAre you sure this is what you "
    "intended?\n\nPress YES to continue\nPress NO to abort";
constexpr int32_t kQuindleDevice = 1;
constexpr std::size_t kCatalogueTextPrefix = 7;  // "Hexfile"

// A parse or typecode error: the message in the status line, then the box.
int32_t ReportHexError(CTesmarDlg& dlg, const std::string& text) {
    dlg.SetStatus(text);
    dlg.lineCount = 0;
    dlg.MessageBox(kHexFileError, ui::Buttons::Ok, ui::Icon::Exclamation);
    return -1;
}

// A failure before memory is touched: the box first, then the status line.
int32_t ReportReadFailure(CTesmarDlg& dlg, const std::string& text) {
    dlg.lineCount = 0;
    dlg.MessageBox(text, ui::Buttons::Ok, ui::Icon::Exclamation);
    dlg.SetStatus(text + " !");
    return -1;
}

// The low bytes of the six program words at byte address at.
void TakeTypecode(CTesmarDlg& dlg, int at) {
    for (std::size_t i = 0; i < 6; ++i) {
        dlg.typecode[i] = static_cast<char>(dlg.memory[static_cast<std::size_t>(at) + 2 * i]);
    }
    dlg.typecode[6] = '\0';
}

int32_t ConfirmBootloader(CTesmarDlg& dlg) {
    dlg.isBootloader = 1;
    dlg.queryChar = '~';
    const std::string rest = dlg.statusText.size() > kCatalogueTextPrefix
                                 ? dlg.statusText.substr(kCatalogueTextPrefix)
                                 : std::string{};
    dlg.SetStatus("Bootloader" + rest);
    if (dlg.MessageBox(kBootloaderQuestion, ui::Buttons::YesNo, ui::Icon::Exclamation) ==
        ui::Answer::Yes) {
        return 0;
    }
    dlg.deviceNumber = 0;
    dlg.processorFamily = 0;
    dlg.queryChar = 0;
    dlg.startChar = 0;
    dlg.startReply = 0;
    dlg.lineCount = 0;
    return -1;
}

int32_t LoadedApplication(CTesmarDlg& dlg) {
    dlg.UpdateData(false);  // shows the catalogue's text for the device
    return 0;
}

int32_t SearchTypecode(CTesmarDlg& dlg, int lowestAddress) {
    TakeTypecode(dlg, kApplicationTypecode);
    if (dlg.LookUpTypecode() == 1) {
        return lowestAddress == kApplicationStart ? LoadedApplication(dlg)
                                                  : ReportHexError(dlg, kInvalidStartAddress);
    }
    TakeTypecode(dlg, kQuindleTypecode);
    if (dlg.LookUpTypecode() == 1) {
        if (dlg.deviceNumber != kQuindleDevice) {
            return ReportHexError(dlg, kIllegalDeviceType);
        }
        return lowestAddress == 0 ? LoadedApplication(dlg)
                                  : ReportHexError(dlg, kInvalidStartAddress);
    }
    TakeTypecode(dlg, kBootloaderTypecode);
    if (dlg.LookUpTypecode() == 1) {
        return lowestAddress == 0 ? ConfirmBootloader(dlg)
                                  : ReportHexError(dlg, kInvalidStartAddress);
    }
    return ReportHexError(dlg, kIllegalDeviceType);
}

}  // namespace

void BeginHexLoad(CTesmarDlg& dlg) {
    dlg.lineCount = 0;
    dlg.isBootloader = 0;
    dlg.lines.clear();
    dlg.queryProtocol = 0;
    dlg.throughOutputPic = 0;
    dlg.frontPanel = 0;
    dlg.memorySize = 0;
}

int32_t FinishHexLoad(CTesmarDlg& dlg, LineReadResult read) {
    switch (read) {
        case LineReadResult::CannotOpen:
        case LineReadResult::ReadError:
            // A file that opened but cannot be read is reported like one that
            // cannot be opened: nothing of it has reached memory yet.
            return ReportReadFailure(dlg, "Cannot open file: " + std::string(fileNameOf(dlg.path)));
        case LineReadResult::LineTooLong:
            return ReportReadFailure(dlg, kLineTooLong);
        case LineReadResult::Ok:
            break;
    }
    dlg.lineCount = static_cast<int32_t>(dlg.lines.size());
    dlg.memory.fill(0xFF);

    HexParseState state;
    for (int32_t i = 0; i < dlg.lineCount; ++i) {
        const HexError error =
            parseHexLine(dlg.lines[static_cast<std::size_t>(i)], state, dlg.memory);
        if (error != HexError::None) {
            return ReportHexError(dlg, hexErrorText(error));
        }
    }
    return SearchTypecode(dlg, state.lowestAddress);
}

int32_t ReadHexStream(CTesmarDlg& dlg, std::istream* in) {
    BeginHexLoad(dlg);
    const LineReadResult read =
        in != nullptr ? readHexLines(*in, dlg.lines) : LineReadResult::CannotOpen;
    return FinishHexLoad(dlg, read);
}

}  // namespace image

int32_t CTesmarDlg::ReadHexFile() {
    image::BeginHexLoad(*this);
    image::LineReadResult read = image::LineReadResult::CannotOpen;
    {
        std::ifstream file(path, std::ios::in | std::ios::binary);
        if (file.is_open()) {
            read = image::readHexLines(file, lines);
        }
    }  // the file is closed before anything is shown
    return image::FinishHexLoad(*this, read);
}
