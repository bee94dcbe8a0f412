// How a run ends: the time limit of each wait on the host, the stop signals,
// and an ending that first lets the queued data go to the host.
#include <string>

#include "script/script_runner.h"

namespace {

constexpr int32_t sckConnected = 7;

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
    if (blnEnded_ || blnDraining_) return;
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
        blnEndOfScript_ = false;
        intExitStatus_ = 1;
    }
    FinishSession();
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
    FinishSession();  // what is still queued is not waited for a second time
}

void ScriptRunner::StopBySignal(int signo) {
    if (blnEnded_) return;
    LogLine("Stopped by signal " + SignalName(signo), false);
    blnEndOfScript_ = false;
    intExitStatus_ = 128 + signo;
    FinishSession();
}
