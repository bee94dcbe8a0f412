// The main window's handlers that reach the program: the window calls them
// when the user acts. Handlers that only change the window itself (the
// right-click height toggle, the "Show Winsock Log" swap) live in the window.
#pragma once

class IFormEvents {
public:
    virtual ~IFormEvents() = default;
    virtual void cmdStop_Click() = 0;       // "Stop"
    virtual void cmdScrDbg_Click() = 0;     // "As &Script": run txtInput's text as a script
    virtual void cmdComDbg_Click() = 0;     // "As &Commands": txtInput's text as a command line
    virtual void cmdReadMe_Click() = 0;     // left click on "&View Readme"
    virtual void imgLogo_Click() = 0;       // click on the logo
    virtual void Form_QueryUnload() = 0;    // the window is closing (user or program)
};
