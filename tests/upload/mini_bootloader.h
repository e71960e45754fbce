#pragma once

// A minimal block bootloader for the tests of the block commands: it answers
// 'a', 'b', 'e', 'w' and 'r' as a device does and lets a test replace or
// withhold any single answer byte, so that each step's failure can be aimed
// at exactly. The full instrument lives in sim/.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "serial/sim_line.h"

namespace tesmar_test {

class MiniBootloader : public serial::SimPeer {
  public:
    static constexpr int64_t kAnswerUs = 20;
    static constexpr int64_t kProgramUs = 1'000;

    explicit MiniBootloader(int family) : family_(family) { memory.fill(0xFF); }

    // Answer byte `index` (0-based) of the `occurrence`-th command `command`
    // (1-based) is replaced by `byte`, or, without a byte, the device falls
    // silent from that answer on.
    void fault(char command, int occurrence, int index, std::optional<uint8_t> byte) {
        faults_[{command, occurrence, index}] = byte;
    }
    // The letter answered after the two address bytes.
    char addressAnswer = 'A';

    std::array<uint8_t, 0x8000> memory{};
    std::vector<uint8_t> received;  // every host byte

    void onOpen(serial::SimLink& /*link*/, int64_t /*atUs*/) override {}
    void onHostByte(serial::SimLink& link, uint8_t byte, int64_t atUs) override {
        received.push_back(byte);
        at_ = atUs + kAnswerUs;
        if (state_ == State::AddressHigh) {
            address_ = byte << 8;
            state_ = State::AddressLow;
            return;
        }
        if (state_ == State::AddressLow) {
            address_ |= byte;
            state_ = State::Idle;
            answer(link, 1, static_cast<uint8_t>(addressAnswer));
            return;
        }
        if (state_ == State::Data) {
            data_[count_++] = byte;
            if (count_ == 64) {
                state_ = State::Idle;
                program();
                answer(link, 1, 'w');
                at_ += kProgramUs;
                answer(link, 2, 'W');
            }
            return;
        }
        command_ = static_cast<char>(byte);
        ++occurrences_[command_];
        switch (byte) {
            case 'a':
                answer(link, 0, 'a');
                state_ = State::AddressHigh;
                break;
            case 'b':
                answer(link, 0, static_cast<uint8_t>(address_ >> 8));
                answer(link, 1, static_cast<uint8_t>(address_ & 0xFF));
                answer(link, 2, 'B');
                break;
            case 'e':
                answer(link, 0, 'e');
                for (int i = 0; i < 64; ++i) {
                    memory[(address_ + i) % memory.size()] = 0xFF;
                }
                at_ += kProgramUs;
                answer(link, 1, 'E');
                break;
            case 'w':
                answer(link, 0, 'w');
                state_ = State::Data;
                count_ = 0;
                break;
            case 'r':
                answer(link, 0, 'r');
                for (int i = 0; i < 64; ++i) {
                    answer(link, 1 + i, memory[(address_ + i) % memory.size()]);
                }
                answer(link, 65, 'R');
                break;
            default:
                break;  // a strict bootloader ignores what it does not know
        }
    }

  private:
    enum class State { Idle, AddressHigh, AddressLow, Data };

    void answer(serial::SimLink& link, int index, uint8_t byte) {
        if (silent_) {
            return;
        }
        auto it = faults_.find({command_, occurrences_[command_], index});
        if (it != faults_.end()) {
            if (!it->second) {
                silent_ = true;
                return;
            }
            byte = *it->second;
        }
        link.sendToHost(byte, at_);
    }
    // PIC18: programming only clears bits, so an unerased block shows it.
    // PIC16: a word keeps 14 bits.
    void program() {
        for (int i = 0; i < 64; ++i) {
            uint8_t& cell = memory[(address_ + i) % memory.size()];
            uint8_t value = data_[i];
            if (family_ == 1 && i % 2 == 1) {
                value &= 0x3F;
                cell = value;
            } else if (family_ == 1) {
                cell = value;
            } else {
                cell &= value;
            }
        }
    }

    int family_;
    State state_ = State::Idle;
    char command_ = 0;
    int address_ = 0;
    int count_ = 0;
    int64_t at_ = 0;
    bool silent_ = false;
    std::array<uint8_t, 64> data_{};
    std::map<char, int> occurrences_;
    std::map<std::tuple<char, int, int>, std::optional<uint8_t>> faults_;
};

}  // namespace tesmar_test
