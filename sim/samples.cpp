#include "sim/samples.h"

#include <algorithm>

#include "sim/hex_text.h"

namespace sim {

namespace {

constexpr int kAppStart = 0x400;
constexpr int kAppTypecode = 0x420;
constexpr int kQueryTypecode = 0xFF4;
constexpr int kBootTypecode = 0x020;
constexpr int kBootEnd = 0x400;

// A small deterministic generator, so every run writes the same files.
class Words {
  public:
    Words(int row, bool bootloader, Family family)
        : state_(0x9E3779B9u ^ static_cast<uint32_t>(row * 7919 + (bootloader ? 1 : 0))),
          family_(family) {}

    // One program word that looks like code of the family.
    std::pair<uint8_t, uint8_t> next() {
        static constexpr uint8_t kPic16High[] = {0x30, 0x00, 0x28, 0x20, 0x34, 0x08,
                                                 0x13, 0x17, 0x18, 0x1C, 0x07, 0x3E};
        static constexpr uint8_t kPic18High[] = {0x0E, 0x6E, 0xEF, 0xF0, 0xEC, 0x50,
                                                 0x0C, 0x82, 0x92, 0xA4, 0xD0, 0x6A};
        const uint32_t r = step();
        uint8_t low = static_cast<uint8_t>(r >> 8);
        uint8_t high =
            family_ == Family::Pic16 ? kPic16High[(r >> 20) % 12] : kPic18High[(r >> 20) % 12];
        if (low == 0xFF && (high == 0xFF || high == 0x3F)) {
            low = 0xFE;  // never an erased word inside the data
        }
        return {low, high};
    }

  private:
    uint32_t step() {
        state_ = state_ * 1664525u + 1013904223u;
        return state_;
    }
    uint32_t state_;
    Family family_;
};

void fillWords(std::array<uint8_t, kImageBytes>& m, Words& words, int from, int to) {
    for (int a = from; a + 1 < to; a += 2) {
        const auto [low, high] = words.next();
        m[static_cast<size_t>(a)] = low;
        m[static_cast<size_t>(a + 1)] = high;
    }
}

// Code from `from` to `to`, a 64-byte block at a time: every ninth block
// blank and another one half filled, so the uploads meet both.
void fillCode(std::array<uint8_t, kImageBytes>& m, Words& words, int from, int to) {
    int a = from;
    while (a < to) {
        const int blockEnd = std::min(to, (a / kBlockBytes + 1) * kBlockBytes);
        const int index = a / kBlockBytes;
        if (index % 9 == 4) {
            // blank
        } else if (index % 9 == 7) {
            fillWords(m, words, a, std::min(blockEnd, a + kBlockBytes / 2));
        } else {
            fillWords(m, words, a, blockEnd);
        }
        a = blockEnd;
    }
}

// The typecode as six program words: RETLW with the character.
void putTypecode(std::array<uint8_t, kImageBytes>& m, int at, const std::string& typecode,
                 Family family) {
    for (size_t i = 0; i < typecode.size() && i < 6; ++i) {
        m[static_cast<size_t>(at) + 2 * i] = static_cast<uint8_t>(typecode[i]);
        m[static_cast<size_t>(at) + 2 * i + 1] = family == Family::Pic16 ? 0x34 : 0x0C;
    }
}

}  // namespace

std::string sampleFileName(int row, bool bootloader) {
    const DeviceRow device = deviceRow(row);
    return "sample-row" + std::to_string(row) + "-" + device.typecode +
           (bootloader ? "-bootloader" : "") + ".hex";
}

std::array<uint8_t, kImageBytes> sampleImage(int row, bool bootloader) {
    std::array<uint8_t, kImageBytes> m{};
    m.fill(0xFF);
    const DeviceRow device = deviceRow(row);
    if (device.row == 0) {
        return m;
    }
    Words words(row, bootloader, device.family);
    if (bootloader) {
        fillWords(m, words, 0, kBootTypecode);  // reset vector and start-up
        putTypecode(m, kBootTypecode, device.typecode, device.family);
        fillWords(m, words, kBootTypecode + 12, kBlockBytes);
        fillCode(m, words, kBlockBytes, kBootEnd);
        return m;
    }
    if (device.protocol == Protocol::Query) {
        // From 0: the first page holds the typecode in its last six words.
        fillWords(m, words, 0, 0x40);
        fillCode(m, words, 0x40, kQueryTypecode - 4);
        fillWords(m, words, kQueryTypecode - 4, kQueryTypecode);
        putTypecode(m, kQueryTypecode, device.typecode, device.family);
        fillCode(m, words, 0x1000, 0x2000);
        return m;
    }
    fillWords(m, words, kAppStart, kAppTypecode);
    putTypecode(m, kAppTypecode, device.typecode, device.family);
    fillWords(m, words, kAppTypecode + 12, kAppStart + kBlockBytes);
    // Several KB of code where the row has room, and a table near the top.
    const int codeEnd =
        device.memorySize >= 0x4000 ? kAppStart + 0x2000 : device.memorySize - 0x400;
    fillCode(m, words, kAppStart + kBlockBytes, codeEnd);
    if (device.memorySize >= 0x4000) {
        const int table = device.memorySize - 0x200;
        fillWords(m, words, table, table + kBlockBytes + 16);
    }
    return m;
}

std::vector<std::string> sampleFirmware(int row, bool bootloader) {
    return hexRecordsOf(sampleImage(row, bootloader));
}

std::vector<std::string> writeSamples(const std::string& dir, std::string& error) {
    std::vector<std::string> written;
    for (int row = 1; row <= 7; ++row) {
        for (bool bootloader : {false, true}) {
            std::string path = dir;
            if (!path.empty() && path.back() != '/') {
                path += '/';
            }
            path += sampleFileName(row, bootloader);
            if (!writeTextLines(path, sampleFirmware(row, bootloader))) {
                error = "cannot write " + path;
                return written;
            }
            written.push_back(path);
        }
    }
    return written;
}

}  // namespace sim
