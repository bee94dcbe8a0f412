// The script runner of the main window: the run state, the interpreter of
// script lines, the session socket's event handlers and the session log.
//
// A run advances in two ways: a line that needs nothing from the host runs
// the next line at once, and a line that waits (HOST, WAIT, SEND) returns to
// the event loop, whose socket events call back into the runner. Lines that
// continue at once run in a loop inside one RunNextLine activation, never by
// recursion, so any number of them runs in constant stack; the same holds for
// chains of SEND lines whose SendComplete is raised from inside SendData.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/vb_error.h"
#include "script/dialogue_matcher.h"
#include "script/script_text.h"
#include "script/session_events.h"
#include "script/session_socket.h"
#include "ui/text_box.h"

// What the runner needs from the rest of the program, injected so tests can
// use fakes.
struct RunnerHooks {
    // Lets all pending window and socket events run once, without waiting.
    std::function<void()> DoEvents;
    // Suspends the one program thread; nothing is handled meanwhile.
    std::function<void(uint32_t milliseconds)> Sleep;
    // Optional: a pause that a stop signal cuts short (true then). A DELAY
    // uses it instead of Sleep when set, and then lets the loop handle the
    // signal before any further line runs.
    std::function<bool(uint32_t milliseconds)> SleepUnlessStopped;
    // Ends the program: records the exit status and asks the event loop to quit.
    std::function<void(int exitStatus)> EndProgram;
    // Makes the session socket for the connection a HOST line opens, raising
    // its events on the given sink. Unset: every HOST uses wsTelnet as it is.
    std::function<std::unique_ptr<ISessionSocket>(ISessionEvents&, const SessionOptions&)> OpenSession;
    // The run's one timer: after milliseconds the program calls TimerElapsed
    // (a later call replaces an armed timer). Unset: time limits never fire.
    std::function<void(uint32_t milliseconds)> StartTimer;
    std::function<void()> StopTimer;
};

class ScriptRunner : public ISessionEvents {
public:
    ScriptRunner(ITextBox& txtDebug, RunnerHooks hooks);
    ~ScriptRunner() override;
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

    // --- Window variables the runner reads ---
    std::string strScript;        // the whole script text
    std::string strOutputFile;    // resolved output file path; empty: no output file
    bool blnKeepOutput = false;   // keep (append to) an existing output file
    // A descriptor (standard output) that gets every logged line as the
    // output file does, CRLF after each; -1: none.
    int intTranscriptFd = -1;
    // Hidden mode: nobody can see or close the window, so a run that can no
    // longer progress (closed connection, socket error) ends the program.
    bool blnHidden = false;
    std::unique_ptr<ISessionSocket> wsTelnet;  // the session socket
    // False: CAPTURE lines are read and checked but no file is touched (a
    // harness that runs arbitrary scripts).
    bool blnCaptureFiles = true;

    // --- Run state (shared by every activation; read by tests) ---
    int32_t lngLastLine = -1;   // highest line index of the running script
    int32_t lngLine = -1;       // index of the line being run
    std::string strLine;        // the cleaned line being run (or the SEND's look-ahead line)
    std::string strScriptHost;  // word 2 of the last HOST line
    std::string strScriptPort;  // word 3 of the last HOST line, "23" when empty
    std::string strText;        // text argument of the current SEND or ECHO
    std::string strWaitFor;     // armed WAIT text; empty: nothing specific awaited
    SessionOptions sessionOptions;  // for the next connection; back to the defaults at each run's start
    SessionOptions defaultSessionOptions;  // those defaults (the command line may set the telnet mode)
    // Time limit in whole seconds for every wait on the host (0: none). Each
    // run starts with lngDefaultTimeout (VARNEL_TIMEOUT); TIMEOUT changes it.
    int32_t lngTimeout = 0;
    int32_t lngDefaultTimeout = 0;
    // Settle period in milliseconds (0: none): how long the host must stay
    // silent, at the end of a script that sent something after its last
    // matched WAIT, before the session is closed. Each run starts with
    // lngDefaultSettleMs (VARNEL_SETTLE); SETTLE changes it.
    int32_t lngSettleMs = 1000;
    int32_t lngDefaultSettleMs = 1000;

    // Starts a run of strScript (an empty text logs the checking line only).
    void StartScript();
    // Runs the next line, and every following line that continues at once.
    void RunNextLine();
    // Ends the run: first lets the data still queued for sending go to the
    // host (within the time limit); at the end of the script, when it sent
    // something after its last matched WAIT, waits for the host to settle;
    // then half-closes the connection, logs what the host still sends until
    // it closes (at most the settle period), logs "Closed connection.",
    // closes the socket, unloads the window and ends the program.
    void EndSession();
    // The armed time limit has passed: logs the time-out line and ends the run (status 3).
    void TimerElapsed();
    // The Stop button during an ending that waits for queued data: the data
    // is dropped and the run ends at once as a failed one (no "End of
    // script", "Closed connection.", status 1). False, doing nothing, when no
    // such ending is under way.
    bool StopDrain();
    // A stop signal (SIGINT, SIGTERM, SIGHUP): logs "Stopped by signal NAME"
    // and ends the run at once, with status 128 + signo.
    void StopBySignal(int signo);
    // Appends text and CRLF to the session log box and, if named, the output
    // file (with clear, the file is deleted first) and the transcript
    // descriptor. Never fails.
    void LogLine(std::string_view text, bool clear);

    // --- Session socket events ---
    void wsTelnet_DataArrival(int32_t bytesTotal) override;
    void wsTelnet_SendComplete() override;
    void wsTelnet_Error(int32_t number, const std::string& description) override;
    void wsTelnet_CloseSck() override;

    // A run has been started (a non-empty script text reached StartScript).
    bool RunStarted() const { return blnRunStarted_; }
    // The session has ended: nothing runs or reacts any more.
    bool Ended() const { return blnEnded_; }
    // The run is past its end and waits for its queued data to go to the host.
    bool Draining() const { return blnDraining_; }
    // The run is past its end and waits for the host to settle or to close.
    bool Settling() const { return blnSettling_; }
    bool Closing() const { return blnClosing_; }
    // 0 after "End of script", 3 after a time-out, 128 + N after signal N,
    // 1 after any other ending; 4 whenever a line could not be written to the
    // output file (a lost transcript outranks every other ending).
    int ExitStatus() const { return strWriteFailure_.empty() && strCaptureFailure_.empty() ? intExitStatus_ : 4; }
    // The first output file failure, "PATH: REASON"; empty when every line was written.
    const std::string& WriteFailure() const { return strWriteFailure_; }
    // The first capture file failure (CAPTURE), "PATH: REASON"; it also gives status 4.
    const std::string& CaptureFailure() const { return strCaptureFailure_; }

protected:
    // Unloads the main window. The default only does the window's unload
    // step for the socket (ReleaseSocket); the real form also closes the window.
    virtual void UnloadWindow();
    // The window's unload step for the socket: closes it unless it is closed
    // (errors ignored), then lets go of it. The object itself is destroyed
    // with the runner, so a socket whose own event raised the ending is never
    // destroyed while its code is still on the stack.
    void ReleaseSocket();
    // Destroys the session socket and every released one (at teardown).
    void DestroySockets();
    ITextBox& txtDebug_;

private:
    // One RunNextLine activation. While its SEND is inside SendData, a
    // SendComplete that would start the next line instead asks this
    // activation to go on with it; the SEND's "let pending events run once"
    // is then deferred until the activation reaches a waiting line. An
    // activation started by an event while another one lets pending events
    // run hands its own deferred passes to that one, so activations never
    // nest more than one deep, however many answers arrive during the passes.
    struct Activation {
        bool blnInSendData = false;
        bool blnContinueInline = false;
        bool blnRunningEvents = false;
        int64_t lngDeferredEvents = 0;
    };

    // Runs line lngLine + 1. True when the next line must run at once.
    bool RunOneLine(Activation& act);
    bool RunHost();
    bool RunSsh();
    // Opens the session socket for strScriptHost/strScriptPort with the given
    // options (a fresh one when the hook is set and the old one is closed).
    bool OpenConnection(const SessionOptions& options);
    bool RunSend(Activation& act);
    bool RunWait();
    bool RunTelnet();
    bool RunTimeout();
    bool RunSettle();
    // What the run waits for on the host, for the time limit and its line
    // (Settle and Close: the ending's own waits, which never time out).
    enum class WaitKind { None, Connection, Text, Send, Drain, Settle, Close };
    // The dialogue lines (dialogue_run.cpp): ON, FAIL and CAPTURE.
    bool RunDialogueLine(const std::string& command);
    bool RunOn();
    bool RunFail();
    bool RunCapture();
    // At a run's start, and at each line (its command in capitals).
    void ResetDialogue();
    void BeginDialogueLine(const std::string& command);
    // Arms the WAIT of a WAIT line (the line itself or a SEND's look-ahead).
    // With firstBlock, true when the block that let HOST go on already holds
    // a text, if this WAIT is the first line after HOST to talk to the host.
    bool ArmWait(std::string_view line, bool firstBlock);
    // At a SendComplete: true when only responders' replies went out since
    // the last one (no SEND waits for it).
    bool OnlyRepliesSent();
    // A received block the run reads: FAIL, then ON, then the armed wait.
    void HandleBlock(std::string_view block);
    // A received block while the run ends: FAIL texts and responders only.
    void HandleEndingBlock(std::string_view block);
    void SendReply(const std::string& reply);
    void WriteCapture(std::string_view bytes, bool clear);
    void ArmLimit(WaitKind kind);
    void DisarmLimit();
    // The last steps of EndSession, once nothing waits to be sent any more.
    void FinishSession();
    // The ending's waits on the host (run_ending.cpp): true when one has
    // started and the ending goes on from its events or the timer.
    bool StartSettle();
    bool StartClosing();
    void SettleTimer();
    void CloseTimer();
    // The bound of the ending's waits (the time limit, else 30 s) and the
    // bytes the host has not taken yet.
    int64_t EndingBoundMs() const;
    int32_t InFlight();
    void SettleOver();
    void ClosingOver();
    // Logs what the host has sent that no event has announced yet.
    void ReadRemaining();
    // An ending that is waiting on the host (queued data, settling, closing).
    bool EndingUnderWay() const { return blnDraining_ || blnSettling_ || blnClosing_ || blnFinishing_; }
    void ArmEndingTimer(WaitKind kind, int64_t milliseconds);
    // While the queued data of an ending drains: the drain is over (an error
    // or closing line has been logged when failed is set).
    void DrainOver(bool failed);
    void ReportLineError(const VbError& e);
    ISessionSocket& Socket();
    int32_t SocketState();

    RunnerHooks hooks_;
    scripttext::ScriptLines lines_;
    Activation* current_ = nullptr;
    bool blnRunStarted_ = false;
    bool blnRunning_ = false;
    bool blnEnded_ = false;
    int intExitStatus_ = 1;
    WaitKind waitKind_ = WaitKind::None;      // set by the line that starts waiting
    WaitKind armedKind_ = WaitKind::None;     // the wait the timer runs for
    int32_t armedLine_ = 0;                   // 1-based line of that wait
    int32_t armedSeconds_ = 0;
    std::string armedWhat_;                   // the WAIT text or the host name
    int32_t lngSendLine_ = 0;                 // 1-based line of the last SEND
    bool blnDraining_ = false;                // an ending waits for queued data to go out
    bool blnEndOfScript_ = false;             // that ending is "End of script"
    bool blnSentSinceWait_ = false;           // the script sent something after its last matched WAIT
    bool blnSettling_ = false;                // the ending waits for the host to settle
    bool blnSettled_ = false;                 // that wait is over (or was not needed)
    bool blnClosing_ = false;                 // half-closed: waiting for the host's close
    bool blnHalfClosed_ = false;              // our sending has been ended (HalfClose)
    bool blnAbandon_ = false;                 // a time-out or signal ending: no wait on the host
    bool blnFinishing_ = false;               // reading what is left before the close
    int64_t lngBlocksLogged_ = 0;             // received blocks logged in this run
    std::chrono::steady_clock::time_point settleStart_{};
    std::chrono::steady_clock::time_point lastArrival_{};
    std::chrono::steady_clock::time_point closeStart_{};
    std::string strWriteFailure_;
    std::vector<std::unique_ptr<ISessionSocket>> releasedSockets_;
    std::string strBlock_;  // the received block being handled (storage kept between blocks)
    dialogue::Matcher matcher_;               // the texts of the armed WAIT, ON and FAIL lines
    std::string strCaptureFile_;              // CAPTURE's file; empty: not capturing
    std::string strCaptureFailure_;
    bool blnHostWaiting_ = false;             // HOST or SSH waits for its first block
    std::string strFirstBlock_;               // the block that let HOST or SSH go on
    bool blnFirstBlock_ = false;              // no SEND since: the next WAIT looks at it
    bool blnSendPending_ = false;             // a SEND's text is queued and not yet sent
    bool blnRepliesSent_ = false;             // a responder has sent a reply in this run
};
