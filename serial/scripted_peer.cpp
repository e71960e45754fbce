#include "serial/scripted_peer.h"

namespace serial {

ScriptedPeer& ScriptedPeer::answer(uint8_t trigger, std::string_view reply, int64_t delayUs,
                                   int uses, int64_t gapUs) {
    rules_.push_back({trigger, std::string(reply), delayUs, gapUs, uses, false});
    return *this;
}

ScriptedPeer& ScriptedPeer::hangUpOn(uint8_t trigger, int64_t delayUs) {
    rules_.push_back({trigger, std::string(), delayUs, 0, kAlways, true});
    return *this;
}

ScriptedPeer& ScriptedPeer::echoOthers(int64_t delayUs) {
    echo_ = true;
    echoDelayUs_ = delayUs;
    return *this;
}

ScriptedPeer& ScriptedPeer::sendOnOpen(std::string_view bytes, int64_t delayUs, int64_t gapUs) {
    openBytes_ = std::string(bytes);
    openDelayUs_ = delayUs;
    openGapUs_ = gapUs;
    return *this;
}

void ScriptedPeer::send(SimLink& link, const std::string& bytes, int64_t atUs, int64_t gapUs) {
    for (const char c : bytes) {
        link.sendToHost(static_cast<uint8_t>(c), atUs);
        atUs += gapUs;
    }
}

void ScriptedPeer::onOpen(SimLink& link, int64_t atUs) {
    ++opens_;
    send(link, openBytes_, atUs + openDelayUs_, openGapUs_);
}

void ScriptedPeer::onHostByte(SimLink& link, uint8_t byte, int64_t atUs) {
    received_.push_back(static_cast<char>(byte));
    receivedAtUs_.push_back(atUs);
    for (Rule& rule : rules_) {
        if (rule.trigger != byte || rule.usesLeft == 0) {
            continue;
        }
        if (rule.usesLeft > 0) {
            --rule.usesLeft;
        }
        if (rule.hangUp) {
            link.hangUp(atUs + rule.delayUs);
        } else {
            send(link, rule.reply, atUs + rule.delayUs, rule.gapUs);
        }
        return;
    }
    if (echo_) {
        link.sendToHost(byte, atUs + echoDelayUs_);
    }
}

void ScriptedPeer::onClose(int64_t /*atUs*/) {
    ++closes_;
}

}  // namespace serial
