// tesmar-sim: the simulated instrument on a pseudo-terminal, for the demo,
// end-to-end tests and benchmarks; and the writer of the sample firmware.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "sim/hex_text.h"
#include "sim/instrument.h"
#include "sim/pty_driver.h"
#include "sim/samples.h"

namespace {

std::atomic<bool> gStop{false};

void onSignal(int /*signal*/) {
    gStop.store(true);
}

void printPath(const std::string& path) {
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
}

constexpr const char* kUsage =
    "usage: tesmar-sim [options]\n"
    "  --row N                 catalogue row 1..7 (default 2)\n"
    "  --mode M                app | bootloader | through-op (default app)\n"
    "  --typecode XXXXXX       the typecode the device reports\n"
    "  --announce-delay-ms N   announcement this long after the port opens (default 50)\n"
    "  --erase-ms N, --write-ms N   processing times (default 3 and 2)\n"
    "  --pace                  one byte every 10 bit times at the port speed\n"
    "  --link PATH             keep a symbolic link PATH to the slave device\n"
    "  --transcript FILE       write the exchange as text on exit\n"
    "  --dump FILE             write the programmed memory as Intel HEX on exit\n"
    "  --once                  exit after the host closed the port\n"
    "  --write-samples DIR     write sample firmware for every row into DIR and exit\n"
    "faults:\n"
    "  --silence-at STEP[:N]   silent from the N-th answer of STEP on\n"
    "  --wrong STEP:BYTE[:N]   BYTE (a character or 0xHH) in place of the N-th answer of STEP\n"
    "  --checksum-error K      'e' for the checksum of record K (query device)\n"
    "  --record-error K        'e' at the end of record K (query device)\n"
    "  --read-differs ADDR[:always]  the byte at ADDR reads back wrong (once or always)\n"
    "  --slow-erase-ms N, --slow-write-ms N\n"
    "  --hang-up-after-bytes N the line drops after N bytes from the host\n"
    "  --typecode-reply TEXT   answer 't' with TEXT (then 'T')\n"
    "steps: announcement address-echo address-answer check-high check-low check-end\n"
    "  erase-echo erase-done write-echo write-second write-done read-echo read-data read-end\n"
    "  start-reply typecode typecode-end finish-reply abort-reply keep-alive record-colon\n"
    "  record-count record-address record-start record-word record-checksum record-end\n";

struct StepName {
    const char* name;
    sim::Step step;
};
// clang-format off
constexpr StepName kSteps[] = {
    {"announcement", sim::Step::Announcement},   {"address-echo", sim::Step::AddressEcho},
    {"address-answer", sim::Step::AddressAnswer}, {"check-high", sim::Step::CheckHigh},
    {"check-low", sim::Step::CheckLow},          {"check-end", sim::Step::CheckEnd},
    {"erase-echo", sim::Step::EraseEcho},        {"erase-done", sim::Step::EraseDone},
    {"write-echo", sim::Step::WriteEcho},        {"write-second", sim::Step::WriteSecond},
    {"write-done", sim::Step::WriteDone},        {"read-echo", sim::Step::ReadEcho},
    {"read-data", sim::Step::ReadData},          {"read-end", sim::Step::ReadEnd},
    {"start-reply", sim::Step::StartReply},      {"typecode", sim::Step::Typecode},
    {"typecode-end", sim::Step::TypecodeEnd},    {"finish-reply", sim::Step::FinishReply},
    {"abort-reply", sim::Step::AbortReply},      {"keep-alive", sim::Step::KeepAlive},
    {"record-colon", sim::Step::RecordColon},    {"record-count", sim::Step::RecordCount},
    {"record-address", sim::Step::RecordAddress}, {"record-start", sim::Step::RecordStart},
    {"record-word", sim::Step::RecordWord},      {"record-checksum", sim::Step::RecordChecksum},
    {"record-end", sim::Step::RecordEnd},
};
// clang-format on

bool parseStep(std::string_view name, sim::Step& step) {
    for (const StepName& s : kSteps) {
        if (name == s.name) {
            step = s.step;
            return true;
        }
    }
    return false;
}

bool parseInt(std::string_view text, long& value) {
    if (text.empty()) {
        return false;
    }
    const std::string s(text);
    char* end = nullptr;
    value = std::strtol(s.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool parseByte(std::string_view text, uint8_t& byte) {
    if (text.size() == 1) {
        byte = static_cast<uint8_t>(text[0]);
        return true;
    }
    long v = 0;
    if (!parseInt(text, v) || v < 0 || v > 255) {
        return false;
    }
    byte = static_cast<uint8_t>(v);
    return true;
}

// "a:b:c" into up to three parts.
std::vector<std::string_view> splitColons(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t colon = text.find(':', start);
        if (colon == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
}

int usageError(const std::string& what) {
    std::fprintf(stderr, "tesmar-sim: %s\n%s", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int row = 2;
    sim::Mode mode = sim::Mode::Application;
    std::string typecode;
    long announceMs = 50;
    long eraseMs = -1;
    long writeMs = -1;
    std::string transcriptPath;
    std::string dumpPath;
    std::string samplesDir;
    sim::PtyDriver::Options options;
    std::vector<sim::Fault> faults;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view& out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string_view v;
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (arg == "--pace") {
            options.pace = true;
        } else if (arg == "--once") {
            options.once = true;
        } else if (!value(v)) {
            return usageError("unknown option or missing value: " + std::string(arg));
        } else if (arg == "--row") {
            if (!parseInt(v, n) || sim::deviceRow(static_cast<int>(n)).row == 0) {
                return usageError("--row takes 1..7");
            }
            row = static_cast<int>(n);
        } else if (arg == "--mode") {
            if (v == "app") {
                mode = sim::Mode::Application;
            } else if (v == "bootloader") {
                mode = sim::Mode::Bootloader;
            } else if (v == "through-op") {
                mode = sim::Mode::ThroughOutputProcessor;
            } else {
                return usageError("--mode takes app, bootloader or through-op");
            }
        } else if (arg == "--typecode") {
            typecode = v;
        } else if (arg == "--announce-delay-ms" && parseInt(v, n) && n >= 0) {
            announceMs = n;
        } else if (arg == "--erase-ms" && parseInt(v, n) && n >= 0) {
            eraseMs = n;
        } else if (arg == "--write-ms" && parseInt(v, n) && n >= 0) {
            writeMs = n;
        } else if (arg == "--link") {
            options.linkPath = v;
        } else if (arg == "--transcript") {
            transcriptPath = v;
        } else if (arg == "--dump") {
            dumpPath = v;
        } else if (arg == "--write-samples") {
            samplesDir = v;
        } else if (arg == "--silence-at" || arg == "--wrong") {
            const auto parts = splitColons(v);
            sim::Step step{};
            const bool wrong = arg == "--wrong";
            const size_t nParts = wrong ? 2 : 1;
            uint8_t byte = 0;
            long occurrence = 1;
            if (!parseStep(parts[0], step) || parts.size() < nParts || parts.size() > nParts + 1 ||
                (wrong && !parseByte(parts[1], byte)) ||
                (parts.size() == nParts + 1 && !parseInt(parts[nParts], occurrence))) {
                return usageError("bad fault: " + std::string(v));
            }
            faults.push_back(wrong
                                 ? sim::Fault::wrongAnswer(step, byte, static_cast<int>(occurrence))
                                 : sim::Fault::silence(step, static_cast<int>(occurrence)));
        } else if (arg == "--checksum-error" && parseInt(v, n) && n > 0) {
            faults.push_back(sim::Fault::recordChecksumError(static_cast<int>(n)));
        } else if (arg == "--record-error" && parseInt(v, n) && n > 0) {
            faults.push_back(sim::Fault::recordEndError(static_cast<int>(n)));
        } else if (arg == "--read-differs") {
            const auto parts = splitColons(v);
            if (!parseInt(parts[0], n) || n < 0 || n >= sim::kImageBytes ||
                (parts.size() == 2 && parts[1] != "always") || parts.size() > 2) {
                return usageError("bad fault: " + std::string(v));
            }
            faults.push_back(
                sim::Fault::readBackDiffers(static_cast<int>(n), 0x01, parts.size() == 2));
        } else if (arg == "--slow-erase-ms" && parseInt(v, n) && n >= 0) {
            faults.push_back(sim::Fault::slowErase(n * 1000));
        } else if (arg == "--slow-write-ms" && parseInt(v, n) && n >= 0) {
            faults.push_back(sim::Fault::slowWrite(n * 1000));
        } else if (arg == "--hang-up-after-bytes" && parseInt(v, n) && n > 0) {
            faults.push_back(sim::Fault::hangUpAfterHostBytes(static_cast<int>(n)));
        } else if (arg == "--typecode-reply") {
            faults.push_back(sim::Fault::typecodeReply(std::string(v)));
        } else {
            return usageError("bad option: " + std::string(arg) + " " + std::string(v));
        }
    }

    if (!samplesDir.empty()) {
        std::error_code made;
        std::filesystem::create_directories(samplesDir, made);
        std::string error;
        const auto written = sim::writeSamples(samplesDir, error);
        for (const std::string& path : written) {
            std::printf("%s\n", path.c_str());
        }
        if (!error.empty()) {
            std::fprintf(stderr, "tesmar-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }

    sim::Config config = sim::Config::forRow(row, mode);
    if (!typecode.empty()) {
        config.device.typecode = typecode;
    }
    config.timing.announceDelayUs = announceMs * 1000;
    if (eraseMs >= 0) {
        config.timing.eraseUs = eraseMs * 1000;
    }
    if (writeMs >= 0) {
        config.timing.writeUs = writeMs * 1000;
    }
    config.faults = faults;
    sim::Instrument device(config);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sim::PtyDriver driver(device, options);
    std::string error;
    if (!driver.start(error)) {
        std::fprintf(stderr, "tesmar-sim: %s\n", error.c_str());
        return 1;
    }
    printPath(driver.slavePath());
    driver.run(gStop, printPath);

    int status = 0;
    if (!transcriptPath.empty() &&
        !sim::writeTextLines(transcriptPath, sim::splitLines(device.transcriptText()))) {
        std::fprintf(stderr, "tesmar-sim: cannot write %s\n", transcriptPath.c_str());
        status = 1;
    }
    if (!dumpPath.empty() &&
        !sim::writeTextLines(
            dumpPath, sim::hexRecordsOf(sim::dumpView(device.memory(), config.device.family)))) {
        std::fprintf(stderr, "tesmar-sim: cannot write %s\n", dumpPath.c_str());
        status = 1;
    }
    return status;
}
