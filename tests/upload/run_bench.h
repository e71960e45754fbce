#pragma once

// A bench for RUN: the main window on the headless backend, a simulated line
// in virtual time, and the simulated instrument (or a scripted peer) at its
// far end. Files are loaded through Load Hex File, as a user would.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/tesmar_dlg.h"
#include "serial/sim_line.h"
#include "sim/instrument.h"
#include "ui/headless/headless_host.h"

namespace runtest {

constexpr const char* kConfirmText =
    "You are about to perform a firmware upload.\n\n\tMake sure power will not be interrupted\n"
    "\tto either your PC or your Quindle/DV1\n\n\tMake sure your PC will run uninterrupted\n"
    "\t(eg no standby, hibernate or screensaver)\n\nPress YES to continue, NO to abort";
constexpr const char* kSuccess = "Programming completed successfully";

// One Intel HEX record with its checksum, upper-case digits.
inline std::string hexRecord(int type, int address, const std::vector<uint8_t>& data) {
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                  static_cast<unsigned>(address & 0xFFFF), static_cast<unsigned>(type));
    std::string line = buf;
    unsigned sum = static_cast<unsigned>(data.size()) + ((address >> 8) & 0xFF) + (address & 0xFF) +
                   static_cast<unsigned>(type);
    for (const uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}
inline std::string endOfFile() {
    return hexRecord(1, 0, {});
}

// Builds the bytes of a firmware file and writes them as 16-byte records.
// Odd (high) bytes stay below 0x40, so PIC16 words keep their 14 bits.
class HexBuilder {
  public:
    HexBuilder& fill(int from, int to) {
        for (int a = from; a < to; ++a) {
            bytes_[a] = static_cast<uint8_t>((a % 2 == 0) ? (a * 7 + 3) & 0xFF : (a / 2) & 0x3F);
        }
        return *this;
    }
    // The typecode in the low bytes of six program words.
    HexBuilder& typecode(const std::string& code, int at) {
        for (size_t i = 0; i < code.size(); ++i) {
            bytes_[at + 2 * static_cast<int>(i)] = static_cast<uint8_t>(code[i]);
            bytes_[at + 2 * static_cast<int>(i) + 1] = 0;
        }
        return *this;
    }
    // Data records, one per 16-byte row that holds data; no end record.
    std::vector<std::string> records() const {
        std::vector<std::string> out;
        auto it = bytes_.begin();
        while (it != bytes_.end()) {
            const int row = it->first / 16 * 16;
            const int start = it->first;
            std::vector<uint8_t> data;
            int next = start;
            while (it != bytes_.end() && it->first == next && it->first < row + 16) {
                data.push_back(it->second);
                ++next;
                ++it;
            }
            out.push_back(hexRecord(0, start, data));
        }
        return out;
    }
    std::vector<std::string> lines() const {
        auto out = records();
        out.push_back(endOfFile());
        return out;
    }

  private:
    std::map<int, uint8_t> bytes_;
};

// Sample files of the catalogue rows the tests use.
inline std::vector<std::string> queryFirmware() {  // row 1, QV1200 at 0xFF4 from 0
    return HexBuilder().fill(0, 0x60).typecode("QV1200", 0xFF4).lines();
}
inline std::vector<std::string> applicationFirmware(const std::string& code) {  // at 0x420
    return HexBuilder().fill(0x400, 0x4C0).fill(0x1000, 0x1040).typecode(code, 0x420).lines();
}
inline std::vector<std::string> bootloaderImage(const std::string& code) {  // at 0x020
    return HexBuilder().fill(0, 0x100).typecode(code, 0x020).lines();
}

// Forwards to the far end and notes how many window events had been recorded
// when the host closed the port.
class CloseProbe : public serial::SimPeer {
  public:
    explicit CloseProbe(const ui::headless::HeadlessHost& host) : host_(host) {}
    serial::SimPeer* inner = nullptr;
    std::optional<size_t> eventsAtClose;

    void onOpen(serial::SimLink& link, int64_t atUs) override {
        if (inner != nullptr) {
            inner->onOpen(link, atUs);
        }
    }
    void onHostByte(serial::SimLink& link, uint8_t byte, int64_t atUs) override {
        if (inner != nullptr) {
            inner->onHostByte(link, byte, atUs);
        }
    }
    void onClose(int64_t atUs) override {
        if (!eventsAtClose) {
            eventsAtClose = host_.events().size();
        }
        if (inner != nullptr) {
            inner->onClose(atUs);
        }
    }

  private:
    const ui::headless::HeadlessHost& host_;
};

struct RunBench {
    serial::SimLine line;
    ui::headless::HeadlessHost host;
    CloseProbe probe{host};
    std::unique_ptr<sim::Instrument> device;
    CTesmarDlg dlg{line};
    std::vector<std::string> failures;
    std::filesystem::path folder;

    RunBench() {
        ui::setApplicationName("tesmar");
        host.setClock([this] { return line.nowMs(); },
                      [this](int64_t ms) { line.advanceToMs(ms); });
        host.setFailureHandler([this](const std::string& m) { failures.push_back(m); });
        line.attach(&probe);
        static int benches = 0;
        folder = std::filesystem::path(::testing::TempDir()) /
                 ("tesmar_run_" + std::to_string(::getpid()) + "_" + std::to_string(++benches));
        std::filesystem::create_directories(folder);
        dlg.comPort = 1;
        host.open(dlg);
    }
    ~RunBench() {
        // Every box must have been answered by the test's script.
        EXPECT_TRUE(failures.empty()) << failures.front();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    RunBench(const RunBench&) = delete;
    RunBench& operator=(const RunBench&) = delete;

    sim::Instrument& useDevice(sim::Config config) {
        device = std::make_unique<sim::Instrument>(std::move(config));
        probe.inner = device.get();
        return *device;
    }
    void usePeer(serial::SimPeer& peer) { probe.inner = &peer; }

    std::string writeFile(const std::vector<std::string>& lines, const std::string& name) {
        const auto path = folder / name;
        std::ofstream out(path, std::ios::binary);
        for (const auto& l : lines) {
            out << l << "\r\n";
        }
        return path.string();
    }

    // Load Hex File with the lines; answers are for the loader's questions.
    void load(const std::vector<std::string>& lines, const std::vector<ui::Answer>& answers = {},
              const std::string& name = "firmware.hex") {
        host.answerNextFileDialog(writeFile(lines, name));
        for (const auto a : answers) {
            host.answerNextBox(a);
        }
        host.perform(ui::headless::Action::click(res::IDC_LOAD_HEX));
    }

    // RUN, answering the confirmation and then the boxes of the upload in
    // turn; the events are recorded from the press on.
    void run(ui::Answer confirm = ui::Answer::Yes, const std::vector<ui::Answer>& later = {}) {
        host.clearEvents();
        probe.eventsAtClose.reset();
        host.answerNextBox(confirm);
        for (const auto a : later) {
            host.answerNextBox(a);
        }
        host.perform(ui::headless::Action::click(res::IDC_RUN));
    }

    std::string status() const { return host.controlText(res::IDC_STATUS_TEXT); }
    std::string wire() const { return line.writtenText(); }
    // The boxes after the confirmation.
    std::vector<std::string> laterBoxes() const {
        std::vector<std::string> out;
        const auto all = host.boxes();
        for (size_t i = 1; i < all.size(); ++i) {
            out.push_back(all[i].text);
        }
        return out;
    }
    // The virtual time at which the status first read text; -1 if never.
    int64_t statusTimeMs(const std::string& text) const {
        for (const auto& e : host.events()) {
            if (e.kind == ui::headless::Event::Kind::Status && e.text == text) {
                return e.atMs;
            }
        }
        return -1;
    }
    // The index of the last event of a kind with a text; -1 if none.
    int lastEvent(ui::headless::Event::Kind kind, const std::string& text) const {
        const auto& ev = host.events();
        for (int i = static_cast<int>(ev.size()) - 1; i >= 0; --i) {
            if (ev[static_cast<size_t>(i)].kind == kind &&
                ev[static_cast<size_t>(i)].text == text) {
                return i;
            }
        }
        return -1;
    }
    bool runEnabled() const { return host.isControlEnabled(res::IDC_RUN); }
    std::string runCaption() const { return host.controlText(res::IDC_RUN); }

    // The window after an upload that opened the port, whatever its outcome.
    void expectUploadEnded() const {
        EXPECT_FALSE(line.isOpen());
        EXPECT_FALSE(runEnabled());
        EXPECT_EQ(runCaption(), "Run");
        EXPECT_FALSE(host.isControlEnabled(res::IDC_INFO));
        EXPECT_EQ(host.title(), "Tesmar");
        EXPECT_EQ(dlg.uploadRunning, 0);
        EXPECT_EQ(dlg.lineCount, 0);
        EXPECT_TRUE(host.isControlEnabled(res::IDC_LOAD_HEX));
        EXPECT_TRUE(host.isControlEnabled(res::IDC_COM_PORT));
    }
};

}  // namespace runtest
