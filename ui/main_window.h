// The main window as the start-up code and the runner use it. The headless
// implementation serves hidden runs and tests; the Qt one is loaded only when
// a window is shown.
#pragma once

#include <functional>
#include <string>

#include "ui/text_box.h"

class IMainWindow {
public:
    virtual ~IMainWindow() = default;

    virtual ITextBox& txtDebug() = 0;     // session log
    virtual ITextBox& txtInput() = 0;     // debug input box
    virtual ITextBox& txtWinsock() = 0;   // socket debug log

    virtual bool Visible() const = 0;
    virtual void SetVisible(bool visible) = 0;
    // Window height in twips (1/1440 inch): 3165 collapsed, 5775 expanded.
    virtual int HeightTwips() const = 0;
    virtual void SetHeightTwips(int twips) = 0;
    // Moves txtWinsock onto txtInput's rectangle (same left, top, width, height).
    virtual void PlaceWinsockOnInput() = 0;
    // A modal information box with only an OK button.
    virtual void MsgBoxInformation(const std::string& text, const std::string& caption) = 0;
    // Opens a file or web address with the system's default handler.
    virtual void OpenWithShell(const std::string& target) = 0;
    // Closes the window for good (the window's query-unload step runs first).
    virtual void Unload() = 0;
};
