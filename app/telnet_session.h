// The program's session sockets for the connections HOST lines open.
//
// With telnet on, the session socket is a CSocketKit whose received bytes go
// through the telnet filter: the runner sees only data (a block that held
// only negotiation raises no DataArrival at all), the filter's answers are
// sent at once and their completion is never reported as the completion of
// the script's own SEND, and the script's texts go out with each 255 byte
// doubled. With telnet off it is exactly the raw socket of MakeTelnetSocket.
#pragma once

#include <memory>
#include <string>

#include "script/session_events.h"
#include "script/session_socket.h"

// A session socket speaking telnet: always with On, with Auto only when the
// port given to Connect is 23 (below that it passes everything through as
// the raw socket does).
std::unique_ptr<ISessionSocket> MakeTelnetSession(ISessionEvents& events, SessionOptions::Telnet mode);

// Whether a connection to this port (as the script gives it) speaks telnet.
bool TelnetOnForPort(SessionOptions::Telnet mode, const std::string& port);

// The session socket for a connection with these options (the runner's
// OpenSession hook).
std::unique_ptr<ISessionSocket> OpenSessionSocket(ISessionEvents& events, const SessionOptions& options);
