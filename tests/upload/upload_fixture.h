#pragma once

// The upload test bench: the main window on a headless host, its port on a
// simulated line in virtual time, and a simulated instrument (or any other
// peer) at the far end. The host's clock is the line's clock, so a box held
// open for 1 s lets 1 s of virtual time pass with its timer ticks, and every
// box the test does not answer is a test failure.
//
//   class MyTest : public tesmar_test::UploadFixture {};
//   TEST_F(MyTest, Something) {
//       loadDevice(2, tesmar_test::UploadKind::Plain);
//       fillImage(0x400, 0x800);
//       auto& device = attachInstrument(configFor(2, tesmar_test::UploadKind::Plain));
//       openPort();
//       consumeAnnouncement();
//       dlg.BlockUpload();
//   }

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/tesmar_dlg.h"
#include "serial/sim_line.h"
#include "sim/instrument.h"
#include "ui/headless/headless_host.h"

namespace tesmar_test {

using UploadKind = sim::UploadKind;

// A catalogue row as the main window's profile holds it after a load.
struct ProfileRow {
    int row;
    const char* typecode;
    int family;
    int memorySize;
    bool queryProtocol;
    char queryChar;
    bool frontPanel;
    const char* description;
};

// clang-format off
inline constexpr ProfileRow kProfileRows[] = {
    {1, "QV1200", 1, 0x4000, true,  'q', false, "Storage Quindle - original with PIC16F877"},
    {2, "QV1210", 2, 0x8000, false, 'Q', false, "Storage Quindle - modified with PIC18F452"},
    {3, "JT2310", 2, 0x8000, false, 'Q', false, "Dravik - output PIC"},
    {4, "JT2301", 1, 0x2000, false, 'Q', false, "Dravik - input PIC"},
    {5, "JT2302", 1, 0x2000, false, 'Q', true,  "Dravik - front panel PIC"},
    {6, "WN3110", 2, 0x8000, false, 'Q', false, "Multichannel Moistra logger"},
    {7, "XC4510", 2, 0x4000, false, 'Q', false, "Teluvo Mux"},
};
// clang-format on

inline const ProfileRow& profileRow(int row) {
    return kProfileRows[row - 1];
}

// Forwards every host byte to an inner peer, and lets a test act when a byte
// arrives (a Stop press) or hold back part of a reply (a slow device).
class TapPeer : public serial::SimPeer {
  public:
    explicit TapPeer(serial::SimPeer& inner) : inner_(inner) {}

    // Called for every host byte before the inner peer sees it.
    std::function<void(uint8_t byte, int64_t atUs)> onByte;

    // The reply to host byte `command` reaches the host delayUs later, from
    // its byte fromIndex on (0 = the whole reply), every time it is sent.
    void delayReply(uint8_t command, int fromIndex, int64_t delayUs) {
        delays_.push_back({command, fromIndex, delayUs});
    }

    void onOpen(serial::SimLink& link, int64_t atUs) override { inner_.onOpen(link, atUs); }
    void onClose(int64_t atUs) override { inner_.onClose(atUs); }
    void onHostByte(serial::SimLink& link, uint8_t byte, int64_t atUs) override {
        if (onByte) {
            onByte(byte, atUs);
        }
        const Delay* delay = nullptr;
        for (const auto& d : delays_) {
            if (d.command == byte) {
                delay = &d;
            }
        }
        if (delay == nullptr) {
            inner_.onHostByte(link, byte, atUs);
            return;
        }
        DelayingLink delaying(link, *delay);
        inner_.onHostByte(delaying, byte, atUs);
    }

  private:
    struct Delay {
        uint8_t command;
        int fromIndex;
        int64_t delayUs;
    };
    class DelayingLink : public serial::SimLink {
      public:
        DelayingLink(serial::SimLink& link, const Delay& delay) : link_(link), delay_(delay) {}
        int64_t nowUs() const override { return link_.nowUs(); }
        void sendToHost(uint8_t byte, int64_t atUs) override {
            const int64_t extra = sent_++ >= delay_.fromIndex ? delay_.delayUs : 0;
            link_.sendToHost(byte, atUs + extra);
        }
        void hangUp(int64_t atUs) override { link_.hangUp(atUs); }
        uint32_t baudRate() const override { return link_.baudRate(); }

      private:
        serial::SimLink& link_;
        const Delay& delay_;
        int sent_ = 0;
    };

    serial::SimPeer& inner_;
    std::vector<Delay> delays_;
};

class UploadFixture : public ::testing::Test {
  protected:
    UploadFixture() {
        ui::setApplicationName("tesmar");
        host.setFailureHandler([](const std::string& message) { ADD_FAILURE() << message; });
        host.setClock([this] { return line.nowMs(); },
                      [this](int64_t ms) { line.advanceToMs(ms); });
        host.open(dlg);
    }

    // --- the far end ----------------------------------------------------------
    // Makes the instrument the line's peer (through tap, so a test can set
    // tap->onByte or delays); returns it.
    sim::Instrument& attachInstrument(sim::Config config) {
        instrument = std::make_shared<sim::Instrument>(std::move(config));
        tap = std::make_unique<TapPeer>(*instrument);
        line.attach(tap.get());
        return *instrument;
    }
    void attach(serial::SimPeer& peer) { line.attach(&peer); }

    // The instrument's configuration for a kind of upload of a row: the mode
    // its bootloader runs in when RUN starts.
    static sim::Config configFor(int row, UploadKind kind) {
        sim::Mode mode = sim::Mode::Application;
        if (row == 5 && kind != UploadKind::Plain) {
            mode = sim::Mode::ThroughOutputProcessor;
        } else if (kind == UploadKind::Bootloader) {
            mode = sim::Mode::Bootloader;
        }
        return sim::Config::forRow(row, mode);
    }

    // --- the loaded file ------------------------------------------------------
    // The window as a successful load of a file for `row` leaves it: profile,
    // typecode and kind set, memory all 0xFF, one line, RUN enabled. Essential
    // needs row 5 (the only row reached through the output processor).
    void loadDevice(int row, UploadKind kind) {
        const ProfileRow& p = profileRow(row);
        dlg.deviceNumber = p.row;
        dlg.description = p.description;
        dlg.queryProtocol = p.queryProtocol ? 1 : 0;
        dlg.processorFamily = p.family;
        dlg.memorySize = p.memorySize;
        dlg.frontPanel = p.frontPanel ? 1 : 0;
        dlg.throughOutputPic = (row == 5 && kind != UploadKind::Plain) ? 1 : 0;
        dlg.isBootloader = kind == UploadKind::Bootloader ? 1 : 0;
        dlg.queryChar = dlg.isBootloader != 0 ? '~' : p.queryChar;
        dlg.startChar = p.queryProtocol ? 'P' : 'p';
        dlg.startReply = p.queryProtocol ? 'p' : 'P';
        dlg.typecode = {};
        for (int i = 0; i < 6; ++i) {
            dlg.typecode[i] = p.typecode[i];
        }
        dlg.memory.fill(0xFF);
        dlg.lines = {":00000001FF"};
        dlg.lineCount = 1;
        dlg.hexLoaded = 1;
        dlg.runButton.EnableWindow(true);
        dlg.infoButton.EnableWindow(true);
    }
    void setImage(int address, const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            dlg.memory[address + i] = bytes[i];
        }
    }
    // Firmware-like content over [from, to): no byte 0xFF, and the high
    // bytes of PIC16 words above six bits, so masking shows.
    void fillImage(int from, int to, uint8_t seed = 0x5A) {
        for (int a = from; a < to; ++a) {
            dlg.memory[a] = static_cast<uint8_t>((a * 7 + seed) % 255);
        }
    }
    // Loads a hex file as Load Hex File does (row 5 asks its question).
    int32_t loadSampleFile(const std::string& path, std::optional<ui::Answer> row5Answer = {}) {
        if (row5Answer) {
            host.answerNextBox(*row5Answer);
        }
        dlg.path = path;
        dlg.fileText = path;
        return dlg.ReadHexFile();
    }

    // --- RUN, up to the hand-over ---------------------------------------------
    // The port as RUN opens it, with the caption and flags of a running upload.
    void openPort() {
        ASSERT_EQ(dlg.commFile.init(nullptr, 1, 115200, 5000, 100), 0);
        dlg.stopRequested = 0;
        dlg.uploadRunning = 1;
        dlg.runButton.SetWindowText("Stop");
    }
    // Takes the bootloader's announcement off the line, as RUN does before it
    // hands over: through the output processor after p,r,o,g (or p,r,b,l).
    // Returns the character received (0 when none came).
    char consumeAnnouncement() {
        if (dlg.throughOutputPic != 0) {
            const char* start = dlg.isBootloader != 0 ? "prbl" : "prog";
            for (const char* c = start; *c != 0; ++c) {
                const auto byte = static_cast<uint8_t>(*c);
                EXPECT_EQ(dlg.commFile.ComWriteBytesTimed(&byte, 1, 100), 1);
            }
        }
        uint8_t buffer[2] = {};
        if (dlg.commFile.ComGetBytes(buffer, 1) != 1) {
            return 0;
        }
        return static_cast<char>(buffer[0]);
    }
    // What a press of Stop does while an upload runs.
    void requestStop() {
        dlg.stopRequested = 1;
        dlg.commFile.stop();
    }

    // --- what happened --------------------------------------------------------
    std::vector<std::string> boxTexts() const {
        std::vector<std::string> out;
        for (const auto& box : host.boxes()) {
            out.push_back(box.text);
        }
        return out;
    }
    // The host's bytes from write number `from` on, as text.
    std::string sentSince(size_t from) const {
        std::string out;
        const auto& writes = line.hostWrites();
        for (size_t i = from; i < writes.size(); ++i) {
            out += static_cast<char>(writes[i].byte);
        }
        return out;
    }

  public:
    // Public, so that the setup steps of a table of cases can reach them.
    // The far end outlives the line, which may still call it when it closes.
    std::shared_ptr<sim::Instrument> instrument;
    std::unique_ptr<TapPeer> tap;
    serial::SimLine line;
    ui::headless::HeadlessHost host;
    CTesmarDlg dlg{line};
};

template <typename Param>
class UploadFixtureWithParam : public UploadFixture, public ::testing::WithParamInterface<Param> {};

}  // namespace tesmar_test
