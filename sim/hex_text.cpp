#include "sim/hex_text.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string hexRecord(int address, int type, const uint8_t* data, int count) {
    std::string line;
    char pair[3];
    int sum = count + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
    std::snprintf(pair, sizeof pair, "%02X", count & 0xFF);
    line = ":" + std::string(pair);
    char addr[5];
    std::snprintf(addr, sizeof addr, "%04X", address & 0xFFFF);
    line += addr;
    std::snprintf(pair, sizeof pair, "%02X", type & 0xFF);
    line += pair;
    for (int i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", data[i]);
        line += pair;
        sum += data[i];
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    line += pair;
    return line;
}

std::string hexEndRecord() {
    return hexRecord(0, 1, nullptr, 0);
}

std::vector<std::string> hexRecordsOf(const std::array<uint8_t, kImageBytes>& memory, int begin,
                                      int end) {
    std::vector<std::string> lines;
    constexpr int kRecordBytes = 16;
    for (int a = begin - begin % kRecordBytes; a + kRecordBytes <= end; a += kRecordBytes) {
        const uint8_t* p = memory.data() + a;
        bool blank = true;
        for (int i = 0; i < kRecordBytes; ++i) {
            blank = blank && p[i] == 0xFF;
        }
        if (!blank) {
            lines.push_back(hexRecord(a, 0, p, kRecordBytes));
        }
    }
    lines.push_back(hexEndRecord());
    return lines;
}

std::array<uint8_t, kImageBytes> dumpView(const std::array<uint8_t, kImageBytes>& memory,
                                          Family family) {
    std::array<uint8_t, kImageBytes> out = memory;
    if (family == Family::Pic16) {
        for (size_t a = 0; a + 1 < out.size(); a += 2) {
            if (out[a] == 0xFF && (out[a + 1] & 0x3F) == 0x3F) {
                out[a + 1] = 0xFF;
            }
        }
    }
    return out;
}

HexParse parseHexLines(const std::vector<std::string>& lines,
                       std::array<uint8_t, kImageBytes>& memory) {
    HexParse result;
    int upper = 0;
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        auto fail = [&](const char* what) {
            result.ok = false;
            result.error = "line " + std::to_string(n + 1) + ": " + what;
            return result;
        };
        if (line.empty()) {
            continue;
        }
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) {
            return fail("not a record");
        }
        std::vector<int> bytes;
        for (size_t i = 1; i + 1 < line.size(); i += 2) {
            const int hi = hexDigit(line[i]);
            const int lo = hexDigit(line[i + 1]);
            if (hi < 0 || lo < 0) {
                return fail("non-hex character");
            }
            bytes.push_back(hi * 16 + lo);
        }
        int sum = 0;
        for (int b : bytes) {
            sum += b;
        }
        if ((sum & 0xFF) != 0) {
            return fail("checksum");
        }
        const int count = bytes[0];
        if (static_cast<int>(bytes.size()) != count + 5) {
            return fail("length does not match the count");
        }
        const int address = (bytes[1] << 8) | bytes[2];
        const int type = bytes[3];
        if (type == 0) {
            if (upper != 0) {
                return fail("data above the first 64 KB");
            }
            if (address + count > kImageBytes) {
                return fail("address out of range");
            }
            for (int i = 0; i < count; ++i) {
                memory[static_cast<size_t>(address + i)] = static_cast<uint8_t>(bytes[4 + i]);
            }
            ++result.dataRecords;
            if (result.lowestAddress < 0 || address < result.lowestAddress) {
                result.lowestAddress = address;
            }
        } else if (type == 1) {
            if (count != 0) {
                return fail("end record with data");
            }
            ++result.endRecords;
        } else if (type == 4) {
            if (count != 2) {
                return fail("extended address record of the wrong length");
            }
            upper = (bytes[4] << 8) | bytes[5];
        } else {
            return fail("record type not taken");
        }
    }
    return result;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

bool readTextLines(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    lines = splitLines(text.str());
    return !in.bad();
}

bool writeTextLines(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    for (const std::string& line : lines) {
        out << line << "\r\n";
    }
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace sim
