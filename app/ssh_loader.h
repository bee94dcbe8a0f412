// Opens the session socket of an SSH line from the SSH module (ssh_module.h),
// loading the module the first time an SSH line runs. The module stays loaded
// for the life of the process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "script/session_events.h"
#include "script/session_socket.h"

// The error of an SSH line when the module cannot be loaded; its description
// is "SSH module cannot be loaded: " and the reason.
inline constexpr int32_t kErrSshModule = 42009;

// The session socket of an SSH line for user (see ssh_socket.h), from the
// module found by SshModulePath for the program's folder. When the module
// cannot be loaded the socket stays closed and its Connect fails with
// kErrSshModule, so the SSH line reports the error and the run ends as on any
// failed connection.
std::unique_ptr<ISessionSocket> OpenSshSocket(ISessionEvents& events, const std::string& user,
                                              std::function<void(const std::string&)> log);
// Where the module of a program in programFolder is: beside the program if it
// is there, else PREFIX/lib/varnel/ (see install_layout.h).
std::string SshModulePath(const std::string& programFolder);
// The same from a given module file.
std::unique_ptr<ISessionSocket> OpenSshSocketFrom(const std::string& modulePath, ISessionEvents& events,
                                                  const std::string& user,
                                                  std::function<void(const std::string&)> log);
