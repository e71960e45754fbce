// The keep-alive of the block upload: while certain boxes are open, a
// front-panel device gets a '?' every 300 ms and answers with one byte, so
// that it does not give up on the host while the user reads.

#include <array>
#include <cstdint>

#include "app/tesmar_dlg.h"

namespace {

constexpr unsigned kKeepAliveTimerId = 1;
constexpr unsigned kKeepAlivePeriodMs = 300;
// How long one exchange waits for the answer to '?'. Shorter than the period,
// so that a silent device never holds a box open past the user's click for
// longer than this, and an exchange has ended before the next tick is due.
constexpr int32_t kKeepAliveAnswerTimeoutMs = 250;
constexpr uint8_t kKeepAliveQuery = '?';

}  // namespace

void CTesmarDlg::StartKeepAlive() {
    if (frontPanel == 0) {
        return;
    }
    keepAliveTimer = SetTimer(kKeepAliveTimerId, kKeepAlivePeriodMs);
}

void CTesmarDlg::StopKeepAlive() {
    if (keepAliveTimer == 0) {
        return;
    }
    KillTimer(keepAliveTimer);
    keepAliveTimer = 0;
    // A late answer to '?' must not be taken for the next echo.
    commFile.purgeInput();
}

void CTesmarDlg::OnTimer(unsigned id) {
    // A tick that comes while the previous '?' still waits for its answer
    // (the write below drains) is skipped rather than nested.
    if (id != 0 && id == keepAliveTimer && !keepAliveExchanging) {
        keepAliveExchanging = true;
        const uint8_t query = kKeepAliveQuery;
        if (commFile.ComWriteBytes(&query, 1) == 1) {
            std::array<uint8_t, 2> answer{};  // any value; only its arrival matters
            commFile.ComGetBytesTimed(answer.data(), 1, kKeepAliveAnswerTimeoutMs);
        }
        keepAliveExchanging = false;
    }
    ui::Dialog::OnTimer(id);
}
