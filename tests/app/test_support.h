#pragma once

// Helpers of the app tests: a temporary folder, whole-file reading and
// writing, and Intel HEX firmware files built record by record.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace apptest {

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "tesmar-app-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // The names in the folder, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            out.push_back(entry.path().filename().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// One record with its checksum: ":" count address type data checksum.
inline std::string hexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()),
                               static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>((0x100 - (sum & 0xFF)) & 0xFF));
    std::string out = ":";
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        out += pair;
    }
    return out;
}

inline std::string endRecord() {
    return hexRecord(0x01, 0, {});
}

// Application firmware of lineCount lines (at least 4): data records of 16
// bytes from byte address 0x400 on, the typecode in the low bytes of the six
// program words at 0x420, and the end-of-file record as the last line.
inline std::vector<std::string> firmwareLines(const std::string& typecode, int lineCount) {
    constexpr uint16_t kStart = 0x400;
    constexpr uint16_t kTypecodeAt = 0x420;
    std::vector<std::string> lines;
    for (int r = 0; r < lineCount - 1; ++r) {
        const uint16_t address = static_cast<uint16_t>(kStart + 16 * r);
        std::vector<uint8_t> data(16);
        for (int i = 0; i < 16; ++i) {
            const int at = address + i;
            const int word = (at - kTypecodeAt) / 2;
            if (at >= kTypecodeAt && word < 6) {
                data[static_cast<size_t>(i)] =
                    (at % 2 == 0) ? static_cast<uint8_t>(typecode[static_cast<size_t>(word)]) : 0;
            } else {
                data[static_cast<size_t>(i)] = static_cast<uint8_t>(at * 7);
            }
        }
        lines.push_back(hexRecord(0x00, address, data));
    }
    lines.push_back(endRecord());
    return lines;
}

inline std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += l + "\r\n";
    }
    return out;
}

}  // namespace apptest
