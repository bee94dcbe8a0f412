// Starting Qt without noise and without an abort.
//
// Qt ends the process with abort() when it cannot start its platform (a
// plugin that does not load, a display that stops answering between the
// program's own check and Qt's connection), after printing several lines.
// StartGuard turns that into the program's one-line start-up failure: the
// line "varnel: cannot open a window: Qt could not start its platform
// "NAME"" on standard error and exit status 2, as for no display.
#pragma once

namespace varnel_qt {

// Gives the process a private runtime folder when XDG_RUNTIME_DIR is not set
// (TMPDIR or /tmp, "varnel-runtime-UID", mode 0700, owned by the user), so Qt
// has no reason to complain about it. A folder of that name that is not the
// user's own private folder is left alone and the variable stays unset.
void EnsureRuntimeFolder();

// While a guard lives, Qt's messages are held back; a fatal one ends the
// process as described above. When the guard goes, the messages held back
// are passed on to the handler that was installed before, and so is every
// later message.
class StartGuard {
public:
    StartGuard();
    ~StartGuard();
    StartGuard(const StartGuard&) = delete;
    StartGuard& operator=(const StartGuard&) = delete;
};

}  // namespace varnel_qt
