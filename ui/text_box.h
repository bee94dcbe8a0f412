// A multi-line text box as the runner and the socket service see it: its whole
// text can be read, and lines are appended to it without rebuilding it.
#pragma once

#include <string>
#include <string_view>

class ITextBox {
public:
    virtual ~ITextBox() = default;
    // The whole text (bytes, one char per byte).
    virtual std::string Text() const = 0;
    virtual void SetText(std::string_view text) = 0;
    // Appends at the end; costs the length of the appended text, not of the box.
    virtual void AppendText(std::string_view text) = 0;
    // Puts the caret at the end of the text, which scrolls the box to its end.
    virtual void MoveCaretToEnd() = 0;
    // Posts a line-scroll request (columns, lines) to the box; handled later by
    // the window's own loop, never inside the call.
    virtual void PostLineScroll(int columns, int lines) = 0;
    virtual bool Visible() const = 0;
    virtual void SetVisible(bool visible) = 0;
};
