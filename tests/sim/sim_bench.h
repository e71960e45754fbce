#pragma once

// A fake far-end link and a scripted host that talks to a sim::Instrument
// byte by byte in virtual time, for the tests of sim/.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serial/sim_line.h"
#include "sim/instrument.h"

namespace sim_test {

// Collects what the device sends, with the times it scheduled.
class FakeLink : public serial::SimLink {
  public:
    int64_t nowUs() const override { return now; }
    void sendToHost(uint8_t byte, int64_t atUs) override { sent.push_back({byte, atUs}); }
    void hangUp(int64_t atUs) override { hangUpUs = atUs; }
    uint32_t baudRate() const override { return 115200; }

    struct Sent {
        uint8_t byte;
        int64_t atUs;
    };
    int64_t now = 0;
    int64_t hangUpUs = -1;
    std::vector<Sent> sent;
};

inline std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

// The host side: every byte goes out 10 us after the last answer so far, as
// a host that waits for each answer would send it.
struct Bench {
    explicit Bench(sim::Config config) : device(std::move(config)) {}

    // Opens the port at time 0; returns what the device sent by the time
    // the announcement is due.
    std::string open() {
        device.onOpen(link, link.now);
        return takeAnswers();
    }

    // Sends bytes one at a time; returns everything the device answered to them.
    std::string send(std::string_view text) {
        for (char c : text) {
            link.now = std::max(link.now, lastAnswerUs()) + 10;
            device.onHostByte(link, static_cast<uint8_t>(c), link.now);
        }
        return takeAnswers();
    }
    std::string send(char c) { return send(std::string_view(&c, 1)); }

    // Sends one 'a' command with the address.
    std::string address(int a) { return send(bytes({'a', (a >> 8) & 0xFF, a & 0xFF})); }
    std::string write(const std::vector<uint8_t>& block) {
        std::string s = "w";
        s.append(block.begin(), block.end());
        return send(s);
    }
    // a, b, e (PIC18), a, b, w as the host's block write sends them.
    std::string writeBlock(int a, const std::vector<uint8_t>& block) {
        std::string out;
        if (device.config().device.family == sim::Family::Pic18) {
            out += address(a);
            out += send('b');
            out += send('e');
        }
        out += address(a);
        out += send('b');
        out += write(block);
        return out;
    }
    // a, b, r; the 64 data bytes read back (the letters stripped), or empty
    // when the answer was not 'r' + 64 bytes + 'R'.
    std::vector<uint8_t> readBlock(int a) {
        address(a);
        send('b');
        const std::string r = send('r');
        if (r.size() != 66 || r.front() != 'r' || r.back() != 'R') {
            return {};
        }
        return std::vector<uint8_t>(r.begin() + 1, r.end() - 1);
    }

    int64_t lastAnswerUs() const { return link.sent.empty() ? 0 : link.sent.back().atUs; }

    std::string takeAnswers() {
        std::string s;
        for (size_t i = taken; i < link.sent.size(); ++i) {
            s.push_back(static_cast<char>(link.sent[i].byte));
        }
        taken = link.sent.size();
        return s;
    }

    FakeLink link;
    sim::Instrument device;
    size_t taken = 0;
};

inline std::vector<uint8_t> block(uint8_t first, uint8_t step = 1) {
    std::vector<uint8_t> b(sim::kBlockBytes);
    for (int i = 0; i < sim::kBlockBytes; ++i) {
        b[static_cast<size_t>(i)] = static_cast<uint8_t>(first + step * i);
    }
    return b;
}

inline std::vector<uint8_t> filled(uint8_t value) {
    return std::vector<uint8_t>(sim::kBlockBytes, value);
}

// Printable form of an answer for failure messages: "aA" or "a\x41".
inline std::string shown(std::string_view s) {
    std::string out;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out.push_back(c);
        } else {
            static const char* kHex = "0123456789ABCDEF";
            out += "\\x";
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        }
    }
    return out;
}

}  // namespace sim_test
