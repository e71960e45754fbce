#include "serial/comm_file.h"

#include <string>

namespace serial {

void CommFile::drain() {
    if (pumpWindow != nullptr) {
        pumpWindow->drain();
    } else {
        ui::drainThread();
    }
}

int32_t CommFile::init(ui::MessagePump* window, int32_t portNumber, int32_t baudRateIn,
                       int32_t readTimeoutMs, int32_t writeTimeoutMsIn) {
    close();
    writeTimeoutMs = writeTimeoutMsIn;
    pumpWindow = window;

    const std::string name = "COM" + std::to_string(portNumber);
    if (!handle->open(name)) {
        fail("CommFile::init - CreateFile failed");
        return 1;
    }
    if (!handle->getSettings(settings)) {
        fail("CommFile::init - GetCommState failed");
        handle->close();
        return 1;
    }
    settings.baudRate = static_cast<uint32_t>(baudRateIn);
    settings.byteSize = 8;
    settings.parity = Parity::None;
    settings.stopBits = StopBits::One;
    settings.outxCtsFlow = false;
    settings.outxDsrFlow = false;
    settings.dtrControl = DtrControl::Disable;
    settings.dsrSensitivity = false;
    settings.txContinueOnXoff = true;
    settings.outX = false;
    settings.inX = false;
    settings.errorChar = false;
    settings.null = false;
    settings.rtsControl = RtsControl::Disable;
    if (!handle->setSettings(settings)) {
        fail("CommFile::init - SetCommState failed");
        handle->close();
        return 1;
    }
    if (setTimeouts(readTimeoutMs, readTimeoutMs, readTimeoutMs, writeTimeoutMs, writeTimeoutMs) ==
        0) {
        fail("CommFile::init - setTimeouts failed");
        handle->close();
        return 1;
    }
    baudRate = baudRateIn;
    opened = 1;
    return 0;
}

int32_t CommFile::setTimeouts(int32_t readInterval, int32_t readMultiplier, int32_t readConstant,
                              int32_t writeMultiplier, int32_t writeConstant) {
    if (!handle->getTimeouts(timeouts)) {
        fail("CommFile::setTimeouts - GetCommTimeouts failed");
        return 0;
    }
    timeouts.readInterval = static_cast<uint32_t>(readInterval);
    timeouts.readTotalMultiplier = static_cast<uint32_t>(readMultiplier);
    timeouts.readTotalConstant = static_cast<uint32_t>(readConstant);
    timeouts.writeTotalMultiplier = static_cast<uint32_t>(writeMultiplier);
    timeouts.writeTotalConstant = static_cast<uint32_t>(writeConstant);
    if (!handle->setTimeouts(timeouts)) {
        fail("CommFile::setTimeouts - SetCommTimeouts failed");
        return 0;
    }
    return 1;
}

void CommFile::close() {
    if (opened != 0) {
        handle->setQueueSizes(0, 0);
        handle->close();
        opened = 0;
    }
    baudRate = 0;
}

int32_t CommFile::ComGetBytes(uint8_t* buffer, int32_t count) {
    stopFlag = 0;
    if (opened == 0) {
        fail("CommFile::ComGetBytes - port not initialised");
        return -1;
    }
    int32_t got = 0;
    if (!handle->read(buffer, count, got)) {
        fail("CommFile::ComGetBytes - ReadFile failed");
        return -1;
    }
    buffer[got] = 0;
    return got;
}

int32_t CommFile::ComReadBytes(uint8_t* buffer, int32_t count, int32_t timeLimitMs) {
    const uint32_t start = handle->tickCount();
    int32_t numRead = 0;
    stopFlag = 0;
    if (opened == 0) {
        fail("CommFile::ComReadBytes - port not initialised");
        return -1;
    }
    while (count > 0) {
        const auto elapsed = static_cast<int32_t>(handle->tickCount() - start);
        if (elapsed > timeLimitMs) {
            break;
        }
        int32_t got = 0;
        if (!handle->read(buffer + numRead, 1, got)) {
            fail("CommFile::ComReadBytes - ReadFile failed");
            return -1;
        }
        if (stopFlag != 0) {
            fail("CommFile::ComReadBytes - stopped by user");
            return -2;
        }
        drain();
        if (got == 1) {
            ++numRead;
            if (numRead >= count) {
                break;
            }
        }
    }
    buffer[numRead] = 0;
    return numRead;
}

int32_t CommFile::ComReadByte(uint8_t* buffer) {
    stopFlag = 0;
    if (opened == 0) {
        fail("CommFile::ComReadByte - port not initialised");
        return -1;
    }
    while (true) {
        int32_t got = 0;
        if (!handle->read(buffer, 1, got)) {
            fail("CommFile::ComReadByte - ReadFile failed");
            return -1;
        }
        if (stopFlag != 0) {
            fail("CommFile::ComReadByte - stopped by user");
            return -2;
        }
        drain();
        if (got == 1) {
            return 1;
        }
    }
}

int32_t CommFile::ComWriteBytes(const uint8_t* buffer, int32_t count) {
    if (opened == 0) {
        fail("CommFile::ComWriteBytes - port not initialised");
        return -1;
    }
    stopFlag = 0;
    if (count <= 0) {
        return 0;
    }
    for (int32_t i = 0; i < count; ++i) {
        int32_t written = 0;
        if (!handle->write(buffer + i, 1, written)) {
            fail("CommFile::ComWriteBytes - WriteFile failed");
            return -1;
        }
        if (written != 1) {
            return i;
        }
        if (stopFlag != 0) {
            fail("CommFile::ComWriteBytes - stopped by user");
            return -2;
        }
        drain();
    }
    return count;
}

int32_t CommFile::ComWriteBytesTimed(const uint8_t* buffer, int32_t count, int32_t timeoutMs) {
    if (opened == 0) {
        fail("CommFile::ComWriteBytes - port not initialised");
        return -1;
    }
    if (!handle->getTimeouts(timeouts)) {
        fail("CommFile::setTimeouts - GetCommTimeouts failed");
        return -1;
    }
    const uint32_t oldMultiplier = timeouts.writeTotalMultiplier;
    const uint32_t oldConstant = timeouts.writeTotalConstant;
    timeouts.writeTotalMultiplier = 0;
    timeouts.writeTotalConstant = static_cast<uint32_t>(timeoutMs);
    if (!handle->setTimeouts(timeouts)) {
        fail("CommFile::setTimeouts - SetCommTimeouts failed");
        return -1;
    }
    int32_t result = 0;
    if (!handle->write(buffer, count, result)) {
        fail("CommFile::ComWriteBytes - WriteFile failed");
        result = -1;
    }
    timeouts.writeTotalMultiplier = oldMultiplier;
    timeouts.writeTotalConstant = oldConstant;
    handle->setTimeouts(timeouts);
    return result;
}

int32_t CommFile::ComGetBytesTimed(uint8_t* buffer, int32_t count, int32_t timeoutMs) {
    if (opened == 0) {
        fail("CommFile::ComGetBytes - port not initialised");
        return -1;
    }
    if (!handle->getTimeouts(timeouts)) {
        fail("CommFile::setTimeouts - GetCommTimeouts failed");
        return -1;
    }
    const Timeouts saved = timeouts;
    if (timeoutMs > 0) {
        timeouts.readInterval = 0;
        timeouts.readTotalMultiplier = 0;
        timeouts.readTotalConstant = static_cast<uint32_t>(timeoutMs);
    } else {
        // No time at all: take what is there and return at once. (A constant
        // of 0 with no interval would be no limit, a read without end.)
        timeouts.readInterval = kMaxDword;
        timeouts.readTotalMultiplier = 0;
        timeouts.readTotalConstant = 0;
    }
    if (!handle->setTimeouts(timeouts)) {
        fail("CommFile::setTimeouts - SetCommTimeouts failed");
        return -1;
    }
    int32_t got = 0;
    int32_t result = 0;
    if (handle->read(buffer, count, got)) {
        buffer[got] = 0;
        result = got;
    } else {
        fail("CommFile::ComGetBytes - ReadFile failed");
        result = -1;
    }
    timeouts = saved;
    handle->setTimeouts(timeouts);
    return result;
}

int32_t CommFile::purgeInput() {
    if (opened == 0) {
        return 0;
    }
    return handle->discardInput() ? 1 : 0;
}

}  // namespace serial
