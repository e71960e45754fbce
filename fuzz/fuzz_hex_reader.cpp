// Fuzzes the hex file reader: the input is the file. The plain functions
// (line reading, record decoding and parsing into a memory image the exact
// size of the real one) run on it first, then the whole load of the main
// window (lines, records, typecode search, catalogue lookup, questions) on a
// headless window, then the "?" box. The input's length picks the answers to
// the two questions a load can ask. Any broken rule aborts.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/tesmar_dlg.h"
#include "image/device_catalogue.h"
#include "image/hex_lines.h"
#include "image/hex_load.h"
#include "image/hex_record.h"
#include "serial/sim_line.h"
#include "ui/headless/headless_host.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

constexpr uint8_t kGuard = 0xA5;

// The plain functions, line by line, on a heap buffer of exactly the size of
// memory so that the address sanitizer sees any step outside it.
void fuzzPlainFunctions(std::string_view text) {
    std::vector<std::string> lines;
    std::istringstream in{std::string(text)};
    const image::LineReadResult read = image::readHexLines(in, lines);
    check(read != image::LineReadResult::CannotOpen && read != image::LineReadResult::ReadError,
          "a string stream reads without error");
    for (const auto& line : lines) {
        check(line.size() <= static_cast<std::size_t>(image::kMaxLineLength), "line length");
    }

    auto memory = std::make_unique<uint8_t[]>(image::kMemoryBytes);
    std::memset(memory.get(), kGuard, image::kMemoryBytes);
    std::span<uint8_t, image::kMemoryBytes> view(memory.get(), image::kMemoryBytes);
    image::HexParseState state;
    // Every line of the input, also the long ones the reader would refuse.
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        const image::HexRecord record = image::decodeRecord(line);
        check(record.dataCount >= 0 && record.dataCount <= image::kMaxDataBytes, "data count");
        check(record.length == line.size(), "record length");
        if (record.type == image::RecordType::Other) {
            check(record.checksum == image::HexError::None, "no checks on other lines");
        }
        const int lowestBefore = state.lowestAddress;
        const image::HexError error = image::parseHexLine(line, state, view);
        check(state.lowestAddress <= lowestBefore, "lowest address only falls");
        check(state.lowestAddress >= 0 && state.lowestAddress <= image::kMaxRecordAddress,
              "lowest address range");
        check(std::string_view(image::hexErrorText(error)).empty() ==
                  (error == image::HexError::None),
              "every error has its text");
        start = end + 1;
    }
    for (int a = image::kMaxRecordAddress + image::kMaxDataBytes; a < image::kMemoryBytes; ++a) {
        check(memory[static_cast<std::size_t>(a)] == kGuard, "top of memory untouched");
    }
    (void)image::fileNameOf(text);
}

// The whole load, as Load Hex File runs it.
void fuzzLoad(std::string_view text) {
    ui::headless::HeadlessHost host;
    host.setFailureHandler([](const std::string& message) {
        std::fprintf(stderr, "window script: %s\n", message.c_str());
        std::abort();
    });
    serial::SimLine line;  // the load never opens the port
    CTesmarDlg dlg(line);
    host.open(dlg);
    host.answerNextBox((text.size() & 1u) != 0 ? ui::Answer::Yes : ui::Answer::No);
    host.answerNextBox((text.size() & 2u) != 0 ? ui::Answer::Yes : ui::Answer::No);
    host.setDefaultAnswer(ui::Answer::Ok);
    dlg.path = "C:\\fuzz\\input.hex";

    std::istringstream in{std::string(text)};
    const int32_t result = image::ReadHexStream(dlg, &in);
    check(result == 0 || result == -1, "result");
    if (result == 0) {
        check(dlg.lineCount > 0 && static_cast<std::size_t>(dlg.lineCount) == dlg.lines.size(),
              "a loaded file counts its lines");
        check(dlg.deviceNumber >= 1 && dlg.deviceNumber <= 7, "a loaded file has a device");
        check(image::findCatalogueRow(dlg.typecode) != nullptr, "a loaded typecode is known");
        check(dlg.statusText.rfind("Hexfile", 0) == 0 || dlg.statusText.rfind("Bootloader", 0) == 0,
              "a loaded file shows its device");
        check(dlg.isBootloader == 0 || dlg.queryChar == '~', "a bootloader announces '~'");
    } else {
        check(dlg.lineCount == 0, "a failed load leaves nothing loaded");
    }
    check(dlg.typecode[6] == '\0', "typecode terminated");
    for (int a = image::kMaxRecordAddress + image::kMaxDataBytes; a < image::kMemoryBytes; ++a) {
        check(dlg.memory[static_cast<std::size_t>(a)] == 0xFF ||
                  dlg.memory[static_cast<std::size_t>(a)] == 0x00,
              "top of memory filled or untouched");
    }
    dlg.ShowLoadInstructions();
    check(!host.boxes().empty(), "the instructions are shown");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool named = [] {
        ui::setApplicationName("tesmar");
        return true;
    }();
    (void)named;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzzPlainFunctions(text);
    fuzzLoad(text);
    return 0;
}
