#include "script/script_runner.h"

#include <cstring>
#include <new>

#include "script/env_text.h"
#include "script/mod_misc.h"
#include "script/script_check.h"
#include "script/session_log.h"

namespace {

constexpr int32_t sckClosed = 0;
constexpr char kCrLf[] = "\r\n";
bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && modMisc::FindText(a, b, 0, false) == 0;
}

}  // namespace

ScriptRunner::ScriptRunner(ITextBox& txtDebug, RunnerHooks hooks)
    : txtDebug_(txtDebug), hooks_(std::move(hooks)) {}

ScriptRunner::~ScriptRunner() = default;

void ScriptRunner::LogLine(std::string_view text, bool clear) {
    txtDebug_.AppendText(text);
    txtDebug_.AppendText(kCrLf);
    const int err = sessionlog::AppendOutputLine(strOutputFile, text, clear);
    if (err != 0 && strWriteFailure_.empty()) strWriteFailure_ = strOutputFile + ": " + std::strerror(err);
    if (intTranscriptFd < 0) return;
    const int fdErr = sessionlog::WriteLine(intTranscriptFd, text);
    if (fdErr != 0 && strWriteFailure_.empty()) strWriteFailure_ = std::string("standard output: ") + std::strerror(fdErr);
}

ISessionSocket& ScriptRunner::Socket() {
    if (!wsTelnet) throw VbError(91, "frmMain", "Object variable or With block variable not set");
    return *wsTelnet;
}

int32_t ScriptRunner::SocketState() { return Socket().State(); }

void ScriptRunner::StartScript() {
    if (blnEnded_) return;
    try {
        if (!blnKeepOutput) {
            LogLine("Checking script (clearing output file)", true);
        } else {
            LogLine("Checking script (keeping output file)", false);
        }
        lines_.Assign(strScript);
        lngTimeout = lngDefaultTimeout;
        lngSettleMs = lngDefaultSettleMs;
        lngLastLine = lines_.LastLine();
        // Any non-empty text runs, including one line without a line break.
        if (lngLastLine < 0) return;
        blnRunStarted_ = true;
        blnRunning_ = true;
        sessionOptions = defaultSessionOptions;
        ResetDialogue();
        Socket().CloseSck();  // drops a connection left over from an earlier run
        LogLine("Running script", false);
        lngLine = -1;
    } catch (const VbError& e) {
        LogLine("Error " + std::to_string(e.Number), false);
        LogLine(e.Description, false);
        int32_t state = 0;
        try {
            state = SocketState();
        } catch (...) {
        }
        LogLine("Socket state: " + std::to_string(state), false);
        EndSession();
        return;
    }
    RunNextLine();
}

void ScriptRunner::RunNextLine() {
    if (blnEnded_) return;
    Activation act;
    Activation* outer = current_;
    current_ = &act;
    while (!blnEnded_) {
        DisarmLimit();  // the wait that led here is over
        waitKind_ = WaitKind::None;
        if (RunOneLine(act)) continue;
        if (!blnEnded_ && !blnDraining_ && waitKind_ != WaitKind::None) ArmLimit(waitKind_);
        break;
    }
    if (outer != nullptr && outer->blnRunningEvents) {
        // Started by an event inside the outer activation's pass: that
        // activation runs these passes once the current one is over, which
        // handles the same events in the same order without nesting deeper.
        outer->lngDeferredEvents += act.lngDeferredEvents;
        act.lngDeferredEvents = 0;
    }
    // The deferred "let pending events run once" of this activation's SEND
    // lines. Events handled here start activations of their own.
    act.blnRunningEvents = true;
    while (act.lngDeferredEvents > 0 && !blnEnded_) {
        --act.lngDeferredEvents;
        if (hooks_.DoEvents) hooks_.DoEvents();
    }
    current_ = outer;
}

bool ScriptRunner::RunOneLine(Activation& act) {
    try {
        try {
            ++lngLine;
            if (lngLine > lngLastLine) {
                blnEndOfScript_ = true;  // logged once the queued data has gone out
                EndSession();
                return false;
            }
            strLine = scripttext::CleanLine(lines_.Line(lngLine));
            const std::string command = scriptcheck::CommandWord(strLine);
            strText.clear();
            strWaitFor.clear();
            BeginDialogueLine(command);
            if (command == "HOST") return RunHost();
            if (command == "SSH") return RunSsh();
            if (command == "ON" || command == "FAIL" || command == "CAPTURE") return RunDialogueLine(command);
            if (command == "SEND") return RunSend(act);
            if (command == "WAIT") return RunWait();
            if (command == "TELNET") return RunTelnet();
            if (command == "TIMEOUT") return RunTimeout();
            if (command == "SETTLE") return RunSettle();
            if (command == "DELAY") {
                uint32_t ms = scripttext::DelayMilliseconds(modMisc::GetWord(strLine, " ", 2));
                if (ms > 0 && hooks_.SleepUnlessStopped) return !hooks_.SleepUnlessStopped(ms);
                if (ms > 0 && hooks_.Sleep) hooks_.Sleep(ms);
                return true;
            }
            if (command == "ECHO") {
                strText = envtext::Expand(scripttext::GetQuotedText(strLine));
                LogLine(strText, false);
                return true;
            }
            if (command == "#" || command.empty()) return true;
            LogLine("Unrecognised command on line " + std::to_string(lngLine + 1), false);
            EndSession();
            return false;
        } catch (const std::bad_alloc&) {
            throw VbError(7, "frmMain.RunNextLine", "Out of memory");
        } catch (const VbError&) {
            throw;
        } catch (const std::exception& e) {
            throw VbError(51, "frmMain.RunNextLine", std::string("Internal error: ") + e.what());
        }
    } catch (const VbError& e) {
        act.blnInSendData = false;
        ReportLineError(e);
        return false;
    }
}

bool ScriptRunner::RunHost() {
    LogLine("Opening connection", false);
    strScriptHost = envtext::Expand(modMisc::GetWord(strLine, " ", 2));
    strScriptPort = envtext::Expand(modMisc::GetWord(strLine, " ", 3));
    if (strScriptPort.empty()) strScriptPort = "23";
    return OpenConnection(sessionOptions);
}

bool ScriptRunner::OpenConnection(const SessionOptions& options) {
    // A closed socket gives way to one made for this connection's options; one
    // in use stays, and its Connect refuses as it always has.
    if (hooks_.OpenSession && (!wsTelnet || wsTelnet->State() == sckClosed)) {
        ReleaseSocket();
        wsTelnet = hooks_.OpenSession(*this, options);
    }
    Socket().Connect(strScriptHost, strScriptPort);
    waitKind_ = WaitKind::Connection;
    blnHostWaiting_ = true;
    // The first received block (for SSH a prompt, or the shell's first
    // output) continues the run.
    return false;
}

// SSH user@name [port]: as HOST, over an SSH session (port 22 unless given).
bool ScriptRunner::RunSsh() {
    LogLine("Opening connection", false);
    scriptcheck::SshTarget target = scriptcheck::ParseSshTarget(envtext::Expand(modMisc::GetWord(strLine, " ", 2)));
    SessionOptions options = sessionOptions;
    options.sshUser = std::move(target.user);
    strScriptHost = std::move(target.host);
    strScriptPort = envtext::Expand(modMisc::GetWord(strLine, " ", 3));
    if (strScriptPort.empty()) strScriptPort = "22";
    return OpenConnection(options);
}

bool ScriptRunner::RunSend(Activation& act) {
    strText = envtext::Expand(scripttext::GetQuotedText(strLine));
    lngSendLine_ = lngLine + 1;
    bool paired = false;
    // A WAIT on the next line is armed before the text goes out, so an
    // answer that comes back at once cannot be missed; that line is consumed.
    if (lngLine + 1 <= lngLastLine) {
        strLine = scripttext::CleanLine(lines_.Line(lngLine + 1));
        if (EqualsIgnoreCase(modMisc::GetWord(strLine, " ", 1), "WAIT")) {
            ArmWait(strLine, false);
            ++lngLine;
            paired = true;
        }
    }
    if (SocketState() == sckClosed) {
        LogLine("Cannot SEND - connection is closed.", false);
        if (blnHidden) EndSession();
        return false;
    }
    act.blnInSendData = true;
    act.blnContinueInline = false;
    if (!strText.empty()) blnSentSinceWait_ = true;
    blnSendPending_ = !strText.empty();
    Socket().SendData(strText);
    act.blnInSendData = false;
    ++act.lngDeferredEvents;
    // An empty text raises no SendComplete: without a paired WAIT the run goes on at once.
    if (strText.empty() && !paired) return true;
    waitKind_ = paired ? WaitKind::Text : WaitKind::Send;
    return act.blnContinueInline;
}

bool ScriptRunner::RunWait() {
    if (SocketState() == sckClosed) {
        LogLine("Cannot WAIT - connection is closed.", false);
        if (blnHidden) EndSession();
        return false;
    }
    waitKind_ = WaitKind::Text;
    return ArmWait(strLine, true);
}

bool ScriptRunner::RunTimeout() {
    lngTimeout = scripttext::LimitSeconds(modMisc::GetWord(strLine, " ", 2));
    return true;
}

// SETTLE seconds: read like DELAY (whole seconds; 0 or less: no settle period).
bool ScriptRunner::RunSettle() {
    lngSettleMs = static_cast<int32_t>(scripttext::DelayMilliseconds(modMisc::GetWord(strLine, " ", 2)));
    return true;
}

void ScriptRunner::ReportLineError(const VbError& e) {
    if (blnEnded_) return;
    LogLine("Error " + std::to_string(e.Number), false);
    LogLine(e.Description, false);
    EndSession();
}

void ScriptRunner::UnloadWindow() { ReleaseSocket(); }

void ScriptRunner::ReleaseSocket() {
    if (!wsTelnet) return;
    try {
        if (wsTelnet->State() != sckClosed) wsTelnet->CloseSck();
    } catch (...) {
    }
    releasedSockets_.push_back(std::move(wsTelnet));
}

void ScriptRunner::DestroySockets() {
    wsTelnet.reset();
    releasedSockets_.clear();
}

void ScriptRunner::wsTelnet_DataArrival(int32_t /*bytesTotal*/) {
    // While an ending drains, blocks are still logged but no longer matched.
    if (blnEnded_ || !wsTelnet) return;
    // The block's storage is kept for the next one, so a large block goes
    // from the receive call to the output file without being copied.
    std::string& block = strBlock_;
    try {
        if (wsTelnet->State() == sckClosed) return;  // the data is not read
        wsTelnet->TakeData(block);
    } catch (const VbError& e) {
        ReportLineError(e);
        return;
    }
    block += kCrLf;
    LogLine(block, false);
    block.resize(block.size() - 2);
    ++lngBlocksLogged_;
    if (!strCaptureFile_.empty()) WriteCapture(block, false);
    if (EndingUnderWay()) {
        if (blnSettling_) lastArrival_ = std::chrono::steady_clock::now();
        if (!blnFinishing_) HandleEndingBlock(block);
        return;
    }
    HandleBlock(block);
}

void ScriptRunner::wsTelnet_SendComplete() {
    if (blnEnded_ || blnSettling_ || blnClosing_ || blnFinishing_) return;
    if (blnDraining_) {
        DrainOver(false);
        return;
    }
    if (OnlyRepliesSent()) return;
    if (!strWaitFor.empty()) return;
    if (current_ != nullptr && current_->blnInSendData) {
        // Raised from inside SendData: the SEND's activation goes on with the
        // next line once SendData returns, instead of nesting a new one here.
        current_->blnContinueInline = true;
        return;
    }
    RunNextLine();
}

void ScriptRunner::wsTelnet_Error(int32_t number, const std::string& description) {
    if (blnEnded_ || blnFinishing_ || !blnRunning_) return;
    if (!(blnHidden || EndingUnderWay())) return;
    LogLine("Error " + std::to_string(number), false);
    LogLine(description, false);
    // Whatever the host had not taken when the connection broke is lost.
    blnEndOfScript_ = false;
    intExitStatus_ = 1;
    if (blnSettling_ || blnClosing_) {
        blnSettling_ = false;
        blnClosing_ = false;
        blnSettled_ = true;
        blnAbandon_ = true;
        FinishSession();
        return;
    }
    if (blnDraining_) DrainOver(true);
    EndSession();
}

void ScriptRunner::wsTelnet_CloseSck() {
    if (blnEnded_ || blnFinishing_ || !blnRunning_) return;
    // The host's close is what these waits are for.
    if (blnSettling_) return SettleOver();
    if (blnClosing_) return ClosingOver();
    if (!(blnHidden || blnDraining_)) return;
    LogLine("Connection closed by host.", false);
    if (blnDraining_) DrainOver(true);
    EndSession();
}
