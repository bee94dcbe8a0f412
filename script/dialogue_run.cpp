// The dialogue of a run: WAIT with alternatives and carried tails, the
// responders of ON lines, the FAIL texts, the first block after HOST, and
// the CAPTURE file; and the TELNET line.
#include <algorithm>
#include <cstring>
#include <string>

#include "script/dialogue_lines.h"
#include "script/mod_misc.h"
#include "script/script_check.h"
#include "script/script_runner.h"
#include "script/session_log.h"

namespace {

constexpr int32_t sckClosed = 0;

}  // namespace

void ScriptRunner::ResetDialogue() {
    matcher_.Clear();
    strCaptureFile_.clear();
    blnFirstBlock_ = blnRepliesSent_ = blnSendPending_ = false;
}

void ScriptRunner::BeginDialogueLine(const std::string& command) {
    matcher_.DisarmWait();
    blnHostWaiting_ = false;
    // Only a WAIT before anything else talks to the host looks at the first block.
    if (command == "HOST" || command == "SSH" || command == "SEND") blnFirstBlock_ = false;
}

bool ScriptRunner::RunDialogueLine(const std::string& command) {
    if (command == "ON") return RunOn();
    if (command == "FAIL") return RunFail();
    return RunCapture();
}

bool ScriptRunner::ArmWait(std::string_view line, bool firstBlock) {
    const std::vector<std::string> texts = dialogue::ParseWait(line);
    matcher_.ArmWait(texts);
    // What the time-out line names: "a", or "a" or "b" for alternatives.
    strWaitFor = texts.front();
    for (size_t i = 1; i < texts.size(); ++i) strWaitFor += "\" or \"" + texts[i];
    if (!firstBlock || !blnFirstBlock_) return false;
    blnFirstBlock_ = false;
    return matcher_.FeedWait(strFirstBlock_);
}

bool ScriptRunner::OnlyRepliesSent() {
    const bool scriptSend = blnSendPending_;
    blnSendPending_ = false;
    return !scriptSend && blnRepliesSent_;
}

bool ScriptRunner::RunOn() {
    const dialogue::OnLine on = dialogue::ParseOn(strLine);
    if (on.remove) {
        matcher_.RemoveResponder(on.text);
    } else if (!matcher_.SetResponder(on.text, on.reply)) {
        throw VbError(dialogue::kErrTooManyResponders, "frmMain.RunNextLine",
                      "Too many ON lines (at most " + std::to_string(dialogue::kMaxResponders) + ")");
    }
    return true;
}

bool ScriptRunner::RunFail() {
    matcher_.AddFail(dialogue::ParseFail(strLine));
    return true;
}

bool ScriptRunner::RunCapture() {
    strCaptureFile_ = dialogue::ParseCapture(strLine);
    if (!strCaptureFile_.empty()) WriteCapture(std::string_view(), true);
    return true;
}

void ScriptRunner::WriteCapture(std::string_view bytes, bool clear) {
    if (!blnCaptureFiles) return;
    const int err = sessionlog::AppendOutputBytes(strCaptureFile_, bytes, clear);
    if (err != 0 && strCaptureFailure_.empty()) strCaptureFailure_ = strCaptureFile_ + ": " + std::strerror(err);
}

void ScriptRunner::HandleBlock(std::string_view block) {
    const bool hostWaiting = blnHostWaiting_;
    const dialogue::Matcher::Outcome out = matcher_.Feed(block);
    if (out.failed) {
        LogLine("Failed: the host sent \"" + out.failText + "\" (line " + std::to_string(lngLine + 1) + ")", false);
        blnEndOfScript_ = false;
        intExitStatus_ = 1;
        EndSession();
        return;
    }
    // A reply can complete a SEND the run waits for, which runs the next
    // line from here: the block has then done its work.
    const int32_t line = lngLine;
    for (const std::string& reply : out.replies) {
        if (blnEnded_ || EndingUnderWay()) return;
        SendReply(reply);
    }
    if (blnEnded_ || EndingUnderWay() || lngLine != line || !out.waitMatched) return;
    if (hostWaiting) {
        strFirstBlock_.assign(block);
        blnFirstBlock_ = true;
    }
    if (!strWaitFor.empty()) blnSentSinceWait_ = false;  // the host has answered what was sent
    RunNextLine();
}

// While the run ends (its queued data draining, the host settling), a FAIL
// text still fails a run that reached its end: the ending goes on delivering
// and closing, but without "End of script" and with status 1. Responders go on
// answering while the connection still takes data.
void ScriptRunner::HandleEndingBlock(std::string_view block) {
    const dialogue::Matcher::Outcome out = matcher_.Feed(block);
    if (out.failed && blnEndOfScript_) {
        LogLine("Failed: the host sent \"" + out.failText + "\" (line " +
                    std::to_string(std::min(lngLine, lngLastLine) + 1) + ")",
                false);
        blnEndOfScript_ = false;
        intExitStatus_ = 1;
    }
    if (blnClosing_ || blnFinishing_) return;
    for (const std::string& reply : out.replies) SendReply(reply);
}

void ScriptRunner::SendReply(const std::string& reply) {
    if (reply.empty()) return;
    try {
        if (SocketState() == sckClosed) return;
        blnRepliesSent_ = true;
        blnSentSinceWait_ = true;  // the host must take it before the run ends
        Socket().SendData(reply);
    } catch (const VbError& e) {
        ReportLineError(e);
    }
}

// TELNET ON|OFF|AUTO: the telnet mode of the connection the next HOST opens.
bool ScriptRunner::RunTelnet() {
    sessionOptions.telnet = scriptcheck::ParseTelnetMode(strLine);
    return true;
}
