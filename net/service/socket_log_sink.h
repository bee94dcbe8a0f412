// Where the socket debug log goes. The socket service knows nothing of the
// window: the program installs a sink at start (the window's socket log box,
// or the headless window's) and the service hands every line to it. Lines are
// also appended to the VARNEL_SOCKET_LOG file, with or without a sink.
#pragma once

#include <string>

namespace modSocketKit {

// How a view follows a new line. Caret: the caret moves to the end at once.
// TwoLines: a two-line scroll is posted instead, handled later by the view.
enum class LogScroll { Caret, TwoLines };

class ISocketLogSink {
public:
    virtual ~ISocketLogSink() = default;
    // One line of the log, without a line ending. Called on the program thread,
    // in the order the lines are written.
    virtual void WriteLine(const std::string& line, LogScroll scroll) = 0;
};

// Installs the sink (nullptr: lines go to the file only). Not owned: the
// caller removes it before destroying it.
void SetSocketLogSink(ISocketLogSink* sink);
ISocketLogSink* SocketLogSink();

}  // namespace modSocketKit
