// The sample firmware: every file parses, lies where the uploads take it,
// and loads in the program's own reader.

#include "sim/samples.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/tesmar_dlg.h"
#include "serial/sim_line.h"
#include "sim/hex_text.h"
#include "ui/headless/headless_host.h"

namespace {

struct Sample {
    int row;
    bool bootloader;
};

std::vector<Sample> allSamples() {
    std::vector<Sample> out;
    for (int row = 1; row <= 7; ++row) {
        out.push_back({row, false});
        out.push_back({row, true});
    }
    return out;
}

std::string caseName(const Sample& s) {
    return "Row" + std::to_string(s.row) + (s.bootloader ? "Bootloader" : "Firmware");
}

class Samples : public ::testing::TestWithParam<Sample> {};

TEST_P(Samples, ParseAndLieWhereTheUploadTakesThem) {
    const Sample& s = GetParam();
    const sim::DeviceRow row = sim::deviceRow(s.row);
    const std::vector<std::string> lines = sim::sampleFirmware(s.row, s.bootloader);
    std::array<uint8_t, sim::kImageBytes> m{};
    m.fill(0xFF);
    const sim::HexParse parse = sim::parseHexLines(lines, m);
    ASSERT_TRUE(parse.ok) << parse.error;
    EXPECT_TRUE(m == sim::sampleImage(s.row, s.bootloader));
    EXPECT_EQ(parse.endRecords, 1);
    EXPECT_EQ(lines.back(), ":00000001FF");
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        ASSERT_EQ(lines[i].size(), 43u) << lines[i];  // 16-byte data records
    }

    // The typecode in the low bytes of six words at its location.
    const int at = s.bootloader ? 0x020 : (s.row == 1 ? 0xFF4 : 0x420);
    std::string typecode;
    for (int i = 0; i < 6; ++i) {
        typecode.push_back(static_cast<char>(m[static_cast<size_t>(at + 2 * i)]));
    }
    EXPECT_EQ(typecode, row.typecode);

    // Where the data lies.
    int lowest = sim::kImageBytes;
    int highest = -1;
    int bytes = 0;
    int blankBlocks = 0;
    for (int a = 0; a < sim::kImageBytes; ++a) {
        if (m[static_cast<size_t>(a)] != 0xFF) {
            lowest = std::min(lowest, a);
            highest = a;
            ++bytes;
        }
        const bool blankWord = a % 2 == 1 && m[static_cast<size_t>(a)] == 0xFF &&
                               m[static_cast<size_t>(a - 1)] == 0xFF;
        if (row.family == sim::Family::Pic16 && a % 2 == 1 && !blankWord) {
            ASSERT_LE(m[static_cast<size_t>(a)], 0x3F) << a;  // 14-bit words
        }
    }
    EXPECT_EQ(parse.lowestAddress, lowest);
    for (int a = lowest; a + 64 <= highest; a += 64) {
        bool blank = true;
        for (int i = 0; i < 64; ++i) {
            blank = blank && m[static_cast<size_t>(a + i)] == 0xFF;
        }
        blankBlocks += blank ? 1 : 0;
    }
    EXPECT_GT(blankBlocks, 0);
    if (s.bootloader) {
        EXPECT_EQ(lowest, 0);
        EXPECT_LT(highest, 0x400);
        EXPECT_GT(bytes, 700);
    } else if (s.row == 1) {
        EXPECT_EQ(lowest, 0);
        EXPECT_LT(highest, row.memorySize);
        EXPECT_LE(highest / 2, 8192);  // word addresses the query device takes
        EXPECT_GT(bytes, 5000);
    } else {
        EXPECT_EQ(lowest, 0x400);  // nothing below 0x400
        EXPECT_LT(highest, row.memorySize);
        EXPECT_GT(bytes, 4000);
    }
    // No other typecode location holds a known typecode by accident.
    for (int other : {0x420, 0xFF4, 0x020}) {
        if (other == at) {
            continue;
        }
        std::string t;
        for (int i = 0; i < 6; ++i) {
            t.push_back(static_cast<char>(m[static_cast<size_t>(other + 2 * i)]));
        }
        for (int r = 1; r <= 7; ++r) {
            EXPECT_NE(t, sim::deviceRow(r).typecode) << other;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, Samples, ::testing::ValuesIn(allSamples()),
                         [](const auto& p) { return caseName(p.param); });

TEST(Samples, RecordsHaveEvenCountsForTheQueryDevice) {
    for (const std::string& l : sim::sampleFirmware(1, false)) {
        const int count = std::stoi(l.substr(1, 2), nullptr, 16);
        EXPECT_EQ(count % 2, 0) << l;
    }
}

TEST(Samples, TheSameFilesOnEveryRun) {
    EXPECT_EQ(sim::sampleFirmware(2, false), sim::sampleFirmware(2, false));
    EXPECT_NE(sim::sampleFirmware(2, false), sim::sampleFirmware(3, false));
    EXPECT_EQ(sim::sampleFileName(2, false), "sample-row2-QV1210.hex");
    EXPECT_EQ(sim::sampleFileName(2, true), "sample-row2-QV1210-bootloader.hex");
    EXPECT_EQ(sim::sampleFileName(5, false), "sample-row5-JT2302.hex");
}

// --- loaded by the program -------------------------------------------------------

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/tesmar-samples-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST(Samples, WrittenFilesLoadInReadHexFile) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string error;
    const std::vector<std::string> paths = sim::writeSamples(dir.path(), error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_EQ(paths.size(), 14u);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const bool bootloader = path.find("-bootloader") != std::string::npos;
        const int row = path[path.find("-row") + 4] - '0';

        ui::setApplicationName("tesmar");
        serial::SimLine line;
        CTesmarDlg dlg(line);
        ui::headless::HeadlessHost host;
        std::vector<std::string> failures;
        host.setFailureHandler([&](const std::string& m) { failures.push_back(m); });
        host.open(dlg);
        host.clearEvents();
        // Yes to the bootloader question and to row 5's way of uploading.
        host.setDefaultAnswer(ui::Answer::Yes);
        dlg.path = path;
        EXPECT_EQ(dlg.ReadHexFile(), 0) << dlg.statusText;
        EXPECT_TRUE(failures.empty());
        for (const auto& box : host.boxes()) {
            EXPECT_EQ(box.buttons, ui::Buttons::YesNo) << box.text;  // no error box
        }
        EXPECT_EQ(dlg.deviceNumber, row);
        EXPECT_EQ(dlg.isBootloader, bootloader ? 1 : 0);
        EXPECT_GT(dlg.lineCount, 0);
        std::array<uint8_t, sim::kImageBytes> expected = sim::sampleImage(row, bootloader);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dlg.memory.begin()));
    }
}

}  // namespace
