#pragma once

// A far end for the simulated line that answers from a script: "when the host
// sends X, send Y d microseconds later". For tests of CommFile and of the
// uploads that need no full instrument model.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serial/sim_line.h"

namespace serial {

class ScriptedPeer : public SimPeer {
  public:
    static constexpr int kAlways = -1;

    // When the host's byte trigger arrives, the first rule for it that has
    // uses left answers: its reply goes out delayUs after the arrival, its
    // bytes gapUs apart (with pacing the line adds the byte times). uses:
    // how often the rule answers, kAlways = every time. Rules for the same
    // byte take turns in the order they were added, so a sequence of answers
    // is a row of rules with uses = 1.
    ScriptedPeer& answer(uint8_t trigger, std::string_view reply, int64_t delayUs = 0,
                         int uses = kAlways, int64_t gapUs = 0);
    // The line drops delayUs after the host's byte trigger arrives.
    ScriptedPeer& hangUpOn(uint8_t trigger, int64_t delayUs = 0);
    // Bytes no rule answers are echoed delayUs after they arrive.
    ScriptedPeer& echoOthers(int64_t delayUs = 0);
    // Sent each time the host opens the port, delayUs after the open.
    ScriptedPeer& sendOnOpen(std::string_view bytes, int64_t delayUs = 0, int64_t gapUs = 0);

    // What the host sent, in arrival order, with the arrival times.
    const std::string& received() const { return received_; }
    const std::vector<int64_t>& receivedAtUs() const { return receivedAtUs_; }
    int opens() const { return opens_; }
    int closes() const { return closes_; }

    // SimPeer.
    void onOpen(SimLink& link, int64_t atUs) override;
    void onHostByte(SimLink& link, uint8_t byte, int64_t atUs) override;
    void onClose(int64_t atUs) override;

  private:
    struct Rule {
        uint8_t trigger;
        std::string reply;
        int64_t delayUs;
        int64_t gapUs;
        int usesLeft;  // kAlways = no limit
        bool hangUp;
    };
    static void send(SimLink& link, const std::string& bytes, int64_t atUs, int64_t gapUs);

    std::vector<Rule> rules_;
    bool echo_ = false;
    int64_t echoDelayUs_ = 0;
    std::string openBytes_;
    int64_t openDelayUs_ = 0;
    int64_t openGapUs_ = 0;
    std::string received_;
    std::vector<int64_t> receivedAtUs_;
    int opens_ = 0;
    int closes_ = 0;
};

}  // namespace serial
