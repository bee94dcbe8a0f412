// How a run ends: the time limit of each wait on the host, the stop signals,
// and an ending that delivers what the script sent. In order:
//  1. drain: the data still queued by SEND goes to the host (within the limit);
//  2. settle: at the end of a script that sent something after its last
//     matched WAIT, the session stays open until the host closes it or has
//     been silent for the settle period (within the limit, else 30 s), so a
//     host that is still reading gets all of it; "End of script" follows;
//  3. close: our side is half-closed behind every byte sent, the host's own
//     close is awaited (at most the settle period), and what it still sends
//     is logged before "Closed connection.". The socket is never reset by us.
// Time-out and signal endings abandon the session: they skip 2 and 3 (the
// socket still reads what it holds before closing, so it sends no reset).
#include <algorithm>
#include <string>

#include "script/script_runner.h"

namespace {

constexpr int32_t sckConnected = 7;
constexpr int32_t sckClosing = 8;
// The settle period's bound when no time limit is set: a host that never
// stops talking cannot hold the run.
constexpr int64_t kSettleBoundMs = 30000;
// Passes of pending events that read what the host sent before the close.
constexpr int kFinalReadPasses = 64;
// How often the ending looks again while the host has not acknowledged
// everything sent (no event announces that).
constexpr int64_t kInFlightCheckMs = 100;

using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string SignalName(int signo) {
    switch (signo) {
    case 1: return "SIGHUP";
    case 2: return "SIGINT";
    case 15: return "SIGTERM";
    default: return std::to_string(signo);
    }
}

}  // namespace

void ScriptRunner::EndSession() {
    if (blnEnded_ || EndingUnderWay()) return;
    int32_t waiting = 0;
    try {
        if (wsTelnet && wsTelnet->State() == sckConnected) waiting = wsTelnet->BytesWaitingToSend();
    } catch (...) {
    }
    if (waiting > 0) {
        // The connection closes once SendComplete, an error, the host's close
        // or the time limit ends the drain.
        blnDraining_ = true;
        ArmLimit(WaitKind::Drain);
        return;
    }
    FinishSession();
}

void ScriptRunner::DrainOver(bool failed) {
    blnDraining_ = false;
    if (failed) {
        // The host is gone or the user stopped the wait: nothing more is waited for.
        blnEndOfScript_ = false;
        intExitStatus_ = 1;
        blnAbandon_ = true;
    }
    FinishSession();
}

bool ScriptRunner::StopDrain() {
    if (blnEnded_) return false;
    // Waiting for the host to settle or close: everything has been sent, so
    // the ending only stops waiting.
    if (blnSettling_) {
        SettleOver();
        if (blnClosing_) ClosingOver();
        return true;
    }
    if (blnClosing_) {
        ClosingOver();
        return true;
    }
    if (!blnDraining_) return false;
    DrainOver(true);
    return true;
}

void ScriptRunner::FinishSession() {
    if (blnEnded_ || blnFinishing_) return;
    DisarmLimit();
    blnDraining_ = false;
    if (!blnClosing_) {
        if (blnEndOfScript_ && !blnSettled_ && StartSettle()) return;
        blnSettled_ = true;
        if (blnEndOfScript_) {
            LogLine("End of script", false);
            intExitStatus_ = 0;
            blnEndOfScript_ = false;
        }
        if (!blnAbandon_ && StartClosing()) return;
    }
    blnClosing_ = false;
    ReadRemaining();
    // From here on no line runs and no handler reacts, even to events that
    // closing the socket raises.
    blnEnded_ = true;
    blnRunning_ = false;
    LogLine("Closed connection.", false);
    try {
        if (wsTelnet) wsTelnet->CloseSck();
    } catch (...) {
    }
    try {
        UnloadWindow();
    } catch (...) {
    }
    if (hooks_.EndProgram) hooks_.EndProgram(ExitStatus());
}

bool ScriptRunner::StartSettle() {
    if (!blnSentSinceWait_ || lngSettleMs <= 0 || !hooks_.StartTimer || !wsTelnet) return false;
    try {
        if (wsTelnet->State() != sckConnected) return false;
    } catch (...) {
        return false;
    }
    blnSettling_ = true;
    settleStart_ = Clock::now();
    lastArrival_ = settleStart_;
    SettleTimer();
    return true;
}

int64_t ScriptRunner::EndingBoundMs() const {
    return lngTimeout > 0 ? int64_t{lngTimeout} * 1000 : kSettleBoundMs;
}

int32_t ScriptRunner::InFlight() {
    try {
        return wsTelnet ? wsTelnet->BytesInFlight() : 0;
    } catch (...) {
        return 0;
    }
}

// The settle timer: over once the host has taken every byte sent and then
// been silent for the settle period, or the whole wait has reached its bound;
// otherwise armed again for the rest.
void ScriptRunner::SettleTimer() {
    const int64_t bound = EndingBoundMs();
    const int64_t total = MillisecondsSince(settleStart_);
    if (total >= bound) return SettleOver();
    if (InFlight() > 0) {
        // Still taking what was sent: that counts as activity.
        lastArrival_ = Clock::now();
        return ArmEndingTimer(WaitKind::Settle, std::min<int64_t>(kInFlightCheckMs, bound - total));
    }
    const int64_t silent = MillisecondsSince(lastArrival_);
    if (silent >= lngSettleMs) return SettleOver();
    ArmEndingTimer(WaitKind::Settle, std::min<int64_t>(lngSettleMs - silent, bound - total));
}

void ScriptRunner::SettleOver() {
    if (!blnSettling_) return;
    blnSettling_ = false;
    blnSettled_ = true;
    FinishSession();
}

// Half-closes the connection and waits for the host's close, at most the
// settle period (and never past the time limit).
bool ScriptRunner::StartClosing() {
    if (!wsTelnet) return false;
    bool wait = false;
    try {
        const int32_t state = wsTelnet->State();
        if (state != sckConnected && state != sckClosing) return false;
        blnHalfClosed_ = wsTelnet->HalfClose();
        wait = blnHalfClosed_ && state == sckConnected;
    } catch (...) {
        return false;
    }
    if (!wait || !hooks_.StartTimer) return false;
    if (lngSettleMs <= 0 && InFlight() == 0) return false;
    blnClosing_ = true;
    closeStart_ = Clock::now();
    CloseTimer();
    return true;
}

// The close waits for the host's close at most the settle period, and longer
// only while the host has not acknowledged every byte (within the bound):
// closing before would reset the connection if more data arrived, and a
// reset throws away what is still on its way.
void ScriptRunner::CloseTimer() {
    const int64_t total = MillisecondsSince(closeStart_);
    const int64_t bound = EndingBoundMs();
    if (total < bound && InFlight() > 0) {
        return ArmEndingTimer(WaitKind::Close, std::min<int64_t>(kInFlightCheckMs, bound - total));
    }
    const int64_t wait = std::min<int64_t>(lngSettleMs, bound);
    if (total < wait) return ArmEndingTimer(WaitKind::Close, wait - total);
    ClosingOver();
}

void ScriptRunner::ClosingOver() {
    if (!blnClosing_) return;
    FinishSession();  // blnClosing_ set: straight to the close
}

void ScriptRunner::ArmEndingTimer(WaitKind kind, int64_t milliseconds) {
    armedKind_ = kind;
    hooks_.StartTimer(static_cast<uint32_t>(std::max<int64_t>(milliseconds, 1)));
}

// Lets the socket announce what it holds and logs it, pass by pass, until a
// pass brings nothing: closing a connection with unread data would reset it.
void ScriptRunner::ReadRemaining() {
    if (!wsTelnet || !hooks_.DoEvents || !blnHalfClosed_) return;
    blnFinishing_ = true;
    for (int i = 0; i < kFinalReadPasses; ++i) {
        int32_t state = 0;
        try {
            state = wsTelnet->State();
        } catch (...) {
            break;
        }
        if (state != sckConnected && state != sckClosing) break;
        const int64_t before = lngBlocksLogged_;
        hooks_.DoEvents();
        if (lngBlocksLogged_ == before) break;
    }
    blnFinishing_ = false;
}

void ScriptRunner::ArmLimit(WaitKind kind) {
    if (lngTimeout <= 0 || !hooks_.StartTimer) return;
    armedKind_ = kind;
    armedSeconds_ = lngTimeout;
    armedLine_ = (kind == WaitKind::Send || kind == WaitKind::Drain) ? lngSendLine_ : lngLine + 1;
    armedWhat_ = kind == WaitKind::Connection ? strScriptHost : strWaitFor;
    hooks_.StartTimer(static_cast<uint32_t>(lngTimeout) * 1000u);
}

void ScriptRunner::DisarmLimit() {
    if (armedKind_ == WaitKind::None) return;
    armedKind_ = WaitKind::None;
    if (hooks_.StopTimer) hooks_.StopTimer();
}

void ScriptRunner::TimerElapsed() {
    if (blnEnded_ || armedKind_ == WaitKind::None) return;
    if (armedKind_ == WaitKind::Settle || armedKind_ == WaitKind::Close) {
        const WaitKind kind = armedKind_;
        armedKind_ = WaitKind::None;
        if (kind == WaitKind::Settle) return SettleTimer();
        return CloseTimer();
    }
    std::string what;
    switch (armedKind_) {
    case WaitKind::Connection: what = "for a connection to " + armedWhat_; break;
    case WaitKind::Text: what = "for \"" + armedWhat_ + "\""; break;
    default: what = "to send"; break;
    }
    armedKind_ = WaitKind::None;
    LogLine("Timed out after " + std::to_string(armedSeconds_) + " seconds waiting " + what + " on line " +
                std::to_string(armedLine_),
            false);
    blnEndOfScript_ = false;
    intExitStatus_ = 3;
    blnAbandon_ = true;
    blnSettling_ = false;
    blnClosing_ = false;
    FinishSession();  // what is still queued is not waited for a second time
}

void ScriptRunner::StopBySignal(int signo) {
    if (blnEnded_) return;
    LogLine("Stopped by signal " + SignalName(signo), false);
    blnEndOfScript_ = false;
    intExitStatus_ = 128 + signo;
    blnAbandon_ = true;
    blnSettling_ = false;
    blnClosing_ = false;
    FinishSession();
}
