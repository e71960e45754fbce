#pragma once

namespace ui {

// Lets the user interface handle everything that is pending, then returns.
// Long operations on the user-interface thread (serial transfers) call drain()
// between bytes so that the window stays alive and a Stop press reaches them.
class MessagePump {
  public:
    virtual ~MessagePump() = default;
    // Dispatches every pending window message (clicks, timer ticks, paints),
    // each handler running nested inside the caller, and returns when none is
    // left. Never waits for a message to arrive.
    virtual void drain() = 0;
};

// The pump of the user-interface thread: the one that "no window" means.
// The running window backend installs itself here; with none installed,
// drainThread() does nothing.
void setThreadPump(MessagePump* pump);
MessagePump* threadPump();
void drainThread();

}  // namespace ui
