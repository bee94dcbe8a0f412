// The socket debug log shown in a text box: each line is appended after a
// CRLF, then the box follows it (caret to the end, or a posted two-line
// scroll). The program installs one over the window's socket log box.
#pragma once

#include <string>

#include "net/service/socket_log_sink.h"
#include "ui/text_box.h"

class SocketLogBox : public modSocketKit::ISocketLogSink {
public:
    explicit SocketLogBox(ITextBox& box) : box_(box) {}
    ITextBox& Box() const { return box_; }

    void WriteLine(const std::string& line, modSocketKit::LogScroll scroll) override {
        box_.AppendText("\r\n" + line);
        if (scroll == modSocketKit::LogScroll::Caret)
            box_.MoveCaretToEnd();
        else
            box_.PostLineScroll(0, 2);
    }

private:
    ITextBox& box_;
};
