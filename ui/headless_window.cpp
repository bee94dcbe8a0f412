#include "ui/headless_window.h"

void HeadlessTextBox::SetText(std::string_view text) {
    if (retain_) text_.assign(text);
}

void HeadlessTextBox::AppendText(std::string_view text) {
    appendedBytes_ += text.size();
    if (retain_) text_.append(text);
}

void HeadlessTextBox::PostLineScroll(int /*columns*/, int lines) { scrollLines_ += lines; }

HeadlessMainWindow::HeadlessMainWindow(bool retainLogs)
    : txtDebug_(retainLogs), txtInput_(true), txtWinsock_(retainLogs) {
    // The designed layout: the debug input box in the lower region, the
    // socket debug box elsewhere until the load step moves it.
    txtInput_.rect = {120, 3240, 4000, 1335};
    txtWinsock_.rect = {0, 0, 4000, 1335};
    txtWinsock_.SetVisible(false);
}

void HeadlessMainWindow::MsgBoxInformation(const std::string& text, const std::string& caption) {
    messageBoxes_.push_back({text, caption});
}

void HeadlessMainWindow::Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    visible_ = false;
}
