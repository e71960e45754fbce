// Whole uploads of the sample firmware, run by a small scripted host over
// the simulated line (paced at 115200), against the device model; what the
// device holds afterwards must be what expectedDeviceMemory says. The host
// script follows the block upload sequence: start and typecode handshakes,
// the memory write test, programming, verification, 'f'.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/sim_line.h"
#include "sim/hex_text.h"
#include "sim/instrument.h"
#include "sim/samples.h"

namespace {

using sim::Mode;
using sim::UploadKind;

class LineHost {
  public:
    explicit LineHost(sim::Config config) : device(std::move(config)) {
        line.attach(&device);
        line.setPacing(true);
        EXPECT_TRUE(line.open("COM1"));
        serial::LineSettings s;
        line.getSettings(s);
        s.baudRate = 115200;
        line.setSettings(s);
        serial::Timeouts t;
        t.readTotalConstant = 10'000;  // one byte waits at most 10 s
        t.writeTotalConstant = 100;
        line.setTimeouts(t);
    }

    void send(uint8_t byte) {
        int32_t written = 0;
        ASSERT_TRUE(line.write(&byte, 1, written));
        ASSERT_EQ(written, 1);
    }
    void send(const std::string& text) {
        for (char c : text) {
            send(static_cast<uint8_t>(c));
        }
    }
    // One byte, or -1 when nothing came within the time-out.
    int read() {
        uint8_t byte = 0;
        int32_t got = 0;
        if (!line.read(&byte, 1, got) || got != 1) {
            return -1;
        }
        return byte;
    }
    bool expect(const std::string& text) {
        for (char c : text) {
            if (read() != static_cast<uint8_t>(c)) {
                return false;
            }
        }
        return true;
    }

    bool address(int a, char answer) {
        send('a');
        if (!expect("a")) {
            return false;
        }
        send(static_cast<uint8_t>(a >> 8));
        send(static_cast<uint8_t>(a & 0xFF));
        if (!expect(std::string(1, answer))) {
            return false;
        }
        send('b');
        return expect(std::string{static_cast<char>(a >> 8), static_cast<char>(a & 0xFF), 'B'});
    }

    bool writeBlock(int a, char answer, const uint8_t* data) {
        if (device.config().device.family == sim::Family::Pic18) {
            if (!address(a, answer)) {
                return false;
            }
            send('e');
            if (!expect("eE")) {
                return false;
            }
        }
        if (!address(a, answer)) {
            return false;
        }
        send('w');
        if (!expect("w")) {
            return false;
        }
        for (int i = 0; i < sim::kBlockBytes; ++i) {
            uint8_t b = data[i];
            if (device.config().device.family == sim::Family::Pic16 && i % 2 == 1) {
                b &= 0x3F;
            }
            send(b);
        }
        return expect("wW");
    }

    bool readBlock(int a, char answer, uint8_t* out) {
        if (!address(a, answer)) {
            return false;
        }
        send('r');
        if (!expect("r")) {
            return false;
        }
        for (int i = 0; i < sim::kBlockBytes; ++i) {
            const int b = read();
            if (b < 0) {
                return false;
            }
            out[i] = static_cast<uint8_t>(b);
        }
        return expect("R");
    }

    serial::SimLine line;
    sim::Instrument device;
};

bool blank(const std::array<uint8_t, sim::kImageBytes>& m, int a) {
    for (int i = 0; i < sim::kBlockBytes; ++i) {
        if (m[static_cast<size_t>(a + i)] != 0xFF) {
            return false;
        }
    }
    return true;
}

// Returns "" on success, else the step that failed.
std::string blockUpload(LineHost& h, const std::array<uint8_t, sim::kImageBytes>& image,
                        const sim::DeviceRow& row, UploadKind kind) {
    const bool pic16 = row.family == sim::Family::Pic16;
    h.send('p');
    if (!h.expect("P")) {
        return "start";
    }
    h.send('t');
    if (!h.expect(row.typecode + "T")) {
        return "typecode";
    }
    if (kind != UploadKind::Plain) {
        const char letter = row.row == 5 && kind == UploadKind::Essential ? 'A' : 'a';
        uint8_t scratch[64];
        for (int a = row.testAreaStart; a < row.testAreaEnd; a += 64) {
            for (int j = 0; j < 64; ++j) {
                scratch[j] = static_cast<uint8_t>((a + j) & 0xFF);
            }
            if (!h.writeBlock(a, letter, scratch)) {
                return "test write " + std::to_string(a);
            }
        }
        for (int a = row.testAreaStart; a < row.testAreaEnd; a += 64) {
            if (!h.readBlock(a, letter, scratch)) {
                return "test read " + std::to_string(a);
            }
            for (int j = 0; j < 64; ++j) {
                uint8_t v = static_cast<uint8_t>((a + j) & 0xFF);
                if (pic16 && j % 2 == 1) {
                    v &= 0x3F;
                }
                if (scratch[j] != v) {
                    return "test compare " + std::to_string(a + j);
                }
            }
        }
    }
    const bool boot = kind == UploadKind::Bootloader;
    for (int a = 0; a < row.memorySize; a += 64) {
        if (blank(image, a) || (boot && a >= 1024)) {
            continue;
        }
        if (!boot && a < 1024) {
            return "illegal address";
        }
        if (!h.writeBlock(a, 'A', image.data() + a)) {
            return "write " + std::to_string(a);
        }
    }
    const int end = boot ? 1024 : 32768;
    for (int a = 64; a < end; a += 64) {
        if (blank(image, a)) {
            continue;
        }
        uint8_t scratch[64];
        if (!h.readBlock(a, 'A', scratch)) {
            return "read " + std::to_string(a);
        }
        for (int j = 0; j < 64; ++j) {
            uint8_t v = image[static_cast<size_t>(a + j)];
            if (pic16 && j % 2 == 1) {
                v &= 0x3F;
            }
            if (scratch[j] != v) {
                return "verify " + std::to_string(a + j);
            }
        }
    }
    h.send('f');
    return h.expect("F") ? "" : "finish";
}

struct UploadCase {
    const char* name;
    int row;
    Mode mode;
    const char* opMessage;
    UploadKind kind;
};

class SampleUploads : public ::testing::TestWithParam<UploadCase> {};

TEST_P(SampleUploads, LeaveWhatExpectedDeviceMemorySays) {
    const UploadCase& c = GetParam();
    LineHost h(sim::Config::forRow(c.row, c.mode));
    const sim::DeviceRow row = sim::deviceRow(c.row);
    h.send(c.opMessage);
    const char announcement =
        c.kind == UploadKind::Bootloader ? '~' : sim::deviceRow(c.row).queryChar();
    ASSERT_EQ(h.read(), announcement);
    const auto image = sim::sampleImage(c.row, c.kind == UploadKind::Bootloader);
    EXPECT_EQ(blockUpload(h, image, row, c.kind), "") << h.device.transcriptText();
    EXPECT_TRUE(h.device.memory() == sim::expectedDeviceMemory(image, row, c.kind));
    EXPECT_EQ(h.device.counters().unexpectedBytes, 0);
    EXPECT_TRUE(h.device.finishReceived());
    EXPECT_FALSE(h.device.abortReceived());
}

const UploadCase kUploadCases[] = {
    {"Row2Plain", 2, Mode::Application, "", UploadKind::Plain},
    {"Row3Plain", 3, Mode::Application, "", UploadKind::Plain},
    {"Row4Plain", 4, Mode::Application, "", UploadKind::Plain},
    {"Row5Plain", 5, Mode::Application, "", UploadKind::Plain},
    {"Row6Plain", 6, Mode::Application, "", UploadKind::Plain},
    {"Row7Plain", 7, Mode::Application, "", UploadKind::Plain},
    {"Row5EssentialThroughTheOutputProcessor", 5, Mode::ThroughOutputProcessor, "prog",
     UploadKind::Essential},
    {"Row5BootloaderThroughTheOutputProcessor", 5, Mode::ThroughOutputProcessor, "prbl",
     UploadKind::Bootloader},
    {"Row1Bootloader", 1, Mode::Bootloader, "", UploadKind::Bootloader},
    {"Row2Bootloader", 2, Mode::Bootloader, "", UploadKind::Bootloader},
    {"Row4Bootloader", 4, Mode::Bootloader, "", UploadKind::Bootloader},
    {"Row5Bootloader", 5, Mode::Bootloader, "", UploadKind::Bootloader},
    {"Row7Bootloader", 7, Mode::Bootloader, "", UploadKind::Bootloader},
};
INSTANTIATE_TEST_SUITE_P(Sim, SampleUploads, ::testing::ValuesIn(kUploadCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SampleUploads, QueryDeviceTakesTheRow1SampleRecordByRecord) {
    LineHost h(sim::Config::forRow(1));
    ASSERT_EQ(h.read(), 'q');
    h.send('P');
    ASSERT_TRUE(h.expect("p"));
    const std::vector<std::string> lines = sim::sampleFirmware(1, false);
    char last = 0;
    for (const std::string& l : lines) {
        const int count = std::stoi(l.substr(1, 2), nullptr, 16);
        const bool data =
            l.substr(7, 2) == "00" && std::stoi(l.substr(3, 4), nullptr, 16) / 2 <= 8192;
        h.send(':');
        ASSERT_TRUE(h.expect(":"));
        h.send(l.substr(1, 2));
        ASSERT_TRUE(h.expect("n"));
        h.send(l.substr(3, 4));
        ASSERT_TRUE(h.expect("a"));
        h.send(l.substr(7, 2));
        if (data) {
            ASSERT_TRUE(h.expect("t"));
            for (int j = 0; j < count / 2; ++j) {
                h.send(l.substr(9 + 4 * static_cast<size_t>(j), 4));
                ASSERT_TRUE(h.expect("d"));
            }
            h.send(l.substr(9 + 4 * static_cast<size_t>(count / 2), 2));
            ASSERT_TRUE(h.expect("f")) << l;
        }
        last = static_cast<char>(h.read());
        ASSERT_TRUE(last == 'l' || last == 's') << l;
    }
    EXPECT_EQ(last, 's');
    EXPECT_EQ(h.device.queryWords(), sim::expectedQueryWords(lines));
    EXPECT_GT(h.device.queryWords().size(), 2000u);  // several KB
    // Paced at 115200, the upload takes real wire time in virtual time.
    EXPECT_GT(h.line.nowMs(), 1000);
}

// --- expectedDeviceMemory on a small image ---------------------------------------

std::array<uint8_t, sim::kImageBytes> erased() {
    std::array<uint8_t, sim::kImageBytes> m{};
    m.fill(0xFF);
    return m;
}

TEST(ExpectedDeviceMemory, PlainUploadWritesNonBlankBlocksBelowTheMemorySize) {
    auto host = erased();
    host[0x400] = 0x12;   // block 0x400: written whole
    host[0x3FFF] = 0x34;  // the last block of row 7
    host[0x4000] = 0x56;  // above row 7's memory: not written
    const auto m = sim::expectedDeviceMemory(host, sim::deviceRow(7), UploadKind::Plain);
    EXPECT_EQ(m[0x400], 0x12);
    EXPECT_EQ(m[0x401], 0xFF);
    EXPECT_EQ(m[0x3FFF], 0x34);
    EXPECT_EQ(m[0x4000], 0xFF);
    EXPECT_EQ(m[0x800], 0xFF);  // no memory write test in a plain upload
}

TEST(ExpectedDeviceMemory, Pic16HighBytesOfWrittenBlocksKeepSixBits) {
    auto host = erased();
    host[0x440] = 0xAB;
    host[0x441] = 0xFF;
    const auto m = sim::expectedDeviceMemory(host, sim::deviceRow(4), UploadKind::Plain);
    EXPECT_EQ(m[0x440], 0xAB);
    EXPECT_EQ(m[0x441], 0x3F);
    EXPECT_EQ(m[0x47F], 0x3F);  // the rest of the written block: erased words as sent
    EXPECT_EQ(m[0x480], 0xFF);  // a blank block is not written
}

TEST(ExpectedDeviceMemory, BootloaderUploadLeavesTheTestPatternAndNothingAbove1024) {
    auto host = erased();
    host[0x000] = 0x01;  // the block at 0 is written
    host[0x3C0] = 0x02;
    host[0x400] = 0x03;  // at 1024: not written
    host[0x840] = 0x04;  // in the test area: not written either
    const auto m = sim::expectedDeviceMemory(host, sim::deviceRow(2), UploadKind::Bootloader);
    EXPECT_EQ(m[0x000], 0x01);
    EXPECT_EQ(m[0x3C0], 0x02);
    EXPECT_EQ(m[0x400], 0xFF);
    for (int a = 0x800; a < 0xC00; ++a) {
        ASSERT_EQ(m[static_cast<size_t>(a)], a & 0xFF) << a;
    }
    EXPECT_EQ(m[0x7FF], 0xFF);
    EXPECT_EQ(m[0xC00], 0xFF);
}

TEST(ExpectedDeviceMemory, EssentialUploadOverwritesThePatternWhereTheImageHasData) {
    auto host = erased();
    host[0x1040] = 0x05;
    const auto m = sim::expectedDeviceMemory(host, sim::deviceRow(5), UploadKind::Essential);
    EXPECT_EQ(m[0x1000], 0x00);         // pattern: (0x1000 + 0) mod 256
    EXPECT_EQ(m[0x1001], 0x01);         // odd byte, within 6 bits
    EXPECT_EQ(m[0x103F], 0x3F & 0x3F);  // (0x1000 + 63) mod 256 = 0x3F
    EXPECT_EQ(m[0x1040], 0x05);         // the image's block replaces the pattern
    EXPECT_EQ(m[0x1041], 0x3F);
    EXPECT_EQ(m[0x10BF], 0x3F);  // 0xBF masked to 6 bits
    EXPECT_EQ(m[0x10BE], 0xBE);
    EXPECT_EQ(m[0x800], 0xFF);  // row 5 tests its own area only
}

}  // namespace
