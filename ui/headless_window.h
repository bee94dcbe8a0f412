// The main window without a display: text boxes held in memory and a window
// that records what would have been shown. Hidden runs use it, and so do the
// tests, which read everything back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/main_window.h"
#include "ui/text_box.h"

class HeadlessTextBox : public ITextBox {
public:
    // retain = false: appended and set text is counted but not kept. A hidden
    // window's logs can never be seen, and a hidden run's memory must not
    // grow with what it logs.
    explicit HeadlessTextBox(bool retain = true) : retain_(retain) {}

    std::string Text() const override { return text_; }
    void SetText(std::string_view text) override;
    void AppendText(std::string_view text) override;
    void MoveCaretToEnd() override { caretAtEnd_ = true; }
    void PostLineScroll(int columns, int lines) override;
    bool Visible() const override { return visible_; }
    void SetVisible(bool visible) override { visible_ = visible; }

    bool Retains() const { return retain_; }
    // Bytes appended over the box's life, kept or not.
    uint64_t AppendedBytes() const { return appendedBytes_; }
    bool CaretAtEnd() const { return caretAtEnd_; }
    int PostedScrollLines() const { return scrollLines_; }
    // Rectangle, for the placement of txtWinsock onto txtInput.
    struct Rect {
        int left = 0, top = 0, width = 0, height = 0;
        bool operator==(const Rect&) const = default;
    };
    Rect rect;

private:
    bool retain_;
    std::string text_;
    bool visible_ = true;
    bool caretAtEnd_ = false;
    uint64_t appendedBytes_ = 0;
    int scrollLines_ = 0;
};

class HeadlessMainWindow : public IMainWindow {
public:
    // retainLogs decides whether txtDebug and txtWinsock keep their text.
    explicit HeadlessMainWindow(bool retainLogs = true);

    ITextBox& txtDebug() override { return txtDebug_; }
    ITextBox& txtInput() override { return txtInput_; }
    ITextBox& txtWinsock() override { return txtWinsock_; }
    HeadlessTextBox& DebugBox() { return txtDebug_; }
    HeadlessTextBox& InputBox() { return txtInput_; }
    HeadlessTextBox& WinsockBox() { return txtWinsock_; }
    const HeadlessTextBox& DebugBox() const { return txtDebug_; }
    const HeadlessTextBox& InputBox() const { return txtInput_; }
    const HeadlessTextBox& WinsockBox() const { return txtWinsock_; }

    bool Visible() const override { return visible_; }
    void SetVisible(bool visible) override { visible_ = visible; }
    int HeightTwips() const override { return heightTwips_; }
    void SetHeightTwips(int twips) override { heightTwips_ = twips; }
    void PlaceWinsockOnInput() override { txtWinsock_.rect = txtInput_.rect; }
    void MsgBoxInformation(const std::string& text, const std::string& caption) override;
    void OpenWithShell(const std::string& target) override { openedTargets_.push_back(target); }
    void Unload() override;

    struct MessageBox {
        std::string text;
        std::string caption;
    };
    const std::vector<MessageBox>& MessageBoxes() const { return messageBoxes_; }
    const std::vector<std::string>& OpenedTargets() const { return openedTargets_; }
    bool Unloaded() const { return unloaded_; }

private:
    HeadlessTextBox txtDebug_;
    HeadlessTextBox txtInput_;
    HeadlessTextBox txtWinsock_;
    bool visible_ = true;
    int heightTwips_ = 5775;  // the designed (expanded) height
    bool unloaded_ = false;
    std::vector<MessageBox> messageBoxes_;
    std::vector<std::string> openedTargets_;
};
