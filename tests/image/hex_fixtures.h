#pragma once

// Builders for hex file fixtures and a dialog on a headless window, shared by
// the tests of image/.

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/tesmar_dlg.h"
#include "serial/sim_line.h"
#include "ui/headless/headless_host.h"

namespace image_test {

// "%02X" / "%04X".
inline std::string hex(unsigned value, int digits) {
    static const char* kDigits = "0123456789ABCDEF";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return out;
}

// A record line with a correct checksum: count, address, type, data, checksum.
// countField overrides the count the line declares.
inline std::string recordWithCount(unsigned countField, unsigned address, unsigned type,
                                   const std::vector<uint8_t>& data) {
    unsigned sum = countField + (address >> 8) + (address & 0xFF) + type;
    std::string line = ":" + hex(countField, 2) + hex(address, 4) + hex(type, 2);
    for (uint8_t b : data) {
        line += hex(b, 2);
        sum += b;
    }
    return line + hex((0x100 - (sum & 0xFF)) & 0xFF, 2);
}

inline std::string record(unsigned address, unsigned type, const std::vector<uint8_t>& data) {
    return recordWithCount(static_cast<unsigned>(data.size()), address, type, data);
}

inline std::string data(unsigned address, const std::vector<uint8_t>& bytes) {
    return record(address, 0x00, bytes);
}

// A data record with count bytes 0x00, 0x11, 0x22, ... (wrapping).
inline std::string counting(unsigned address, int count, uint8_t first = 0) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>(first + 0x11 * i));
    }
    return data(address, bytes);
}

// The typecode in the low bytes of six program words at a byte address; the
// high bytes are 0x34 (a PIC16 "retlw"), which the reader never looks at.
inline std::string typecodeAt(unsigned address, std::string_view code) {
    std::vector<uint8_t> bytes;
    for (char c : code) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0x34);
    }
    return data(address, bytes);
}

// An extended linear address record.
inline std::string upper(unsigned value) {
    return record(0, 0x04, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)});
}

inline const std::string kEnd = ":00000001FF";

// Lines joined with a terminator after each.
inline std::string file(std::initializer_list<std::string> lines, std::string_view eol = "\n") {
    std::string out;
    for (const auto& l : lines) {
        out += l;
        out += eol;
    }
    return out;
}

// The checksum pair replaced by a wrong one.
inline std::string withBadChecksum(std::string line) {
    line[line.size() - 1] = line[line.size() - 1] == '0' ? '1' : '0';
    return line;
}

// The DeviceProfile's fields, compared at once.
struct Profile {
    int32_t deviceNumber = 0;
    std::string description;
    int32_t queryProtocol = 0;
    int32_t processorFamily = 0;
    int32_t memorySize = 0;
    int32_t throughOutputPic = 0;
    int32_t frontPanel = 0;
    char queryChar = 0;
    char startChar = 0;
    char startReply = 0;
    bool operator==(const Profile&) const = default;
};

inline Profile profileOf(const image::DeviceProfile& p) {
    return {p.deviceNumber,     p.description, p.queryProtocol, p.processorFamily, p.memorySize,
            p.throughOutputPic, p.frontPanel,  p.queryChar,     p.startChar,       p.startReply};
}

inline void PrintTo(const Profile& p, std::ostream* os) {
    *os << "{dev " << p.deviceNumber << ", \"" << p.description << "\", qp " << p.queryProtocol
        << ", fam " << p.processorFamily << ", mem 0x"
        << hex(static_cast<unsigned>(p.memorySize), 4) << ", op " << p.throughOutputPic << ", fp "
        << p.frontPanel << ", chars " << static_cast<int>(p.queryChar) << "/"
        << static_cast<int>(p.startChar) << "/" << static_cast<int>(p.startReply) << "}";
}

// What the user saw, in order: a status text or a box.
struct Shown {
    bool isBox = false;
    std::string text;
    ui::Buttons buttons = ui::Buttons::Ok;
    bool operator==(const Shown&) const = default;
};
inline Shown status(std::string text) {
    return {false, std::move(text), ui::Buttons::Ok};
}
inline Shown okBox(std::string text) {
    return {true, std::move(text), ui::Buttons::Ok};
}
inline Shown yesNoBox(std::string text) {
    return {true, std::move(text), ui::Buttons::YesNo};
}

inline void PrintTo(const Shown& s, std::ostream* os) {
    *os << (s.isBox ? (s.buttons == ui::Buttons::YesNo ? "YesNo box " : "OK box ") : "status ")
        << "\"" << s.text << "\"";
}

inline constexpr const char* kCaption = "tesmar";

// Every box and status text the host recorded, in order. A box that is not
// captioned with the program's name or lacks the exclamation icon is shown
// with a marker, so that it never matches an expectation.
inline std::vector<Shown> shownOn(const ui::headless::HeadlessHost& host) {
    std::vector<Shown> out;
    for (const auto& e : host.events()) {
        if (e.kind == ui::headless::Event::Kind::Status) {
            out.push_back(status(e.text));
        } else if (e.kind == ui::headless::Event::Kind::Box) {
            std::string text = e.box.text;
            if (e.box.caption != kCaption) {
                text += " [caption " + e.box.caption + "]";
            }
            if (e.box.icon != ui::Icon::Exclamation) {
                text += " [not the exclamation icon]";
            }
            out.push_back({true, text, e.box.buttons});
        }
    }
    return out;
}

// The main window on a headless host, open, with its events cleared.
struct Window {
    Window() {
        ui::setApplicationName(kCaption);
        host.setFailureHandler([this](const std::string& m) { failures.push_back(m); });
        host.open(dlg);
        host.clearEvents();
    }
    serial::SimLine line;  // a load never opens the port
    CTesmarDlg dlg{line};
    ui::headless::HeadlessHost host;
    std::vector<std::string> failures;
};

}  // namespace image_test
