// The Win32 window's text boxes and heights, on a real window (run on a
// display: under Wine, through tests/windows/window_test.sh). Also the cost
// of a large session log: 30 MB appended in the pieces a host sends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/win32/win_window.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Pump() {
    MSG m;
    while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&m);
        ::DispatchMessageW(&m);
    }
}

class Win32Window : public ::testing::Test {
protected:
    void SetUp() override {
        varnel_win::DeclareDpiAware();
        std::string error;
        ASSERT_TRUE(window.Create(&error)) << error;
        window.SetVisible(true);
        Pump();
    }
    HWND Box(ITextBox& box) { return static_cast<varnel_win::EditBox&>(box).Handle(); }
    LRESULT FirstLine(ITextBox& box) { return ::SendMessageW(Box(box), EM_GETFIRSTVISIBLELINE, 0, 0); }

    varnel_win::WinGuiWindow window{nullptr};
};

TEST_F(Win32Window, AppendedBytesReadBackWithCrlfLineEnds) {
    struct Case {
        std::vector<std::string> appends;
        std::string text;
    };
    const Case cases[] = {
        {{"one\ntwo"}, "one\r\ntwo"},
        {{"one\r\ntwo"}, "one\r\ntwo"},
        {{"one\r", "\ntwo"}, "one\r\ntwo"},                       // CRLF split between two appends
        {{"lone\rcarriage return"}, "lonecarriage return"},      // shows nothing
        {{std::string("nul\0byte", 8)}, "nulbyte"},
        {{"caf\xe9 \xff"}, "caf\xe9 \xff"},                        // Latin-1
        {{"a", "", "b\n", "\n"}, "ab\r\n\r\n"},
    };
    for (const Case& c : cases) {
        window.txtDebug().SetText("");
        for (const std::string& piece : c.appends) window.txtDebug().AppendText(piece);
        EXPECT_EQ(window.txtDebug().Text(), c.text) << c.appends.front();
    }
    window.txtInput().SetText("x\ny");
    EXPECT_EQ(window.txtInput().Text(), "x\r\ny");
}

TEST_F(Win32Window, AppendingKeepsTheCaretAndTheViewUntilTheCaretMovesToTheEnd) {
    ITextBox& log = window.txtDebug();
    std::string lines;
    for (int i = 0; i < 200; ++i) lines += "line " + std::to_string(i) + "\n";
    log.SetText(lines);
    ::SendMessageW(Box(log), EM_SETSEL, 0, 0);
    ::SendMessageW(Box(log), EM_SCROLLCARET, 0, 0);
    log.AppendText(lines);
    EXPECT_EQ(FirstLine(log), 0);
    DWORD start = 1, end = 1;
    ::SendMessageW(Box(log), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 0u);
    log.MoveCaretToEnd();
    EXPECT_GT(FirstLine(log), 300);
    ::SendMessageW(Box(log), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(static_cast<int>(end), ::GetWindowTextLengthW(Box(log)));
}

TEST_F(Win32Window, LineScrollIsPostedAndHandledByTheLoop) {
    ITextBox& log = window.txtWinsock();
    std::string lines;
    for (int i = 0; i < 100; ++i) lines += "line\n";
    log.SetText(lines);
    log.PostLineScroll(0, 2);
    EXPECT_EQ(FirstLine(log), 0);
    Pump();
    EXPECT_EQ(FirstLine(log), 2);
}

TEST_F(Win32Window, HeightsInTwipsReadBackAndTheDebugRegionIsOutOfReachWhenCollapsed) {
    const int dpi = window.Form().Dpi();
    for (int twips : {3165, 5775, 3165}) {
        window.SetHeightTwips(twips);
        EXPECT_EQ(window.HeightTwips(), twips);
        RECT client{};
        ::GetClientRect(window.Form().Handle(), &client);
        EXPECT_EQ(client.bottom, ::MulDiv(twips - 360, dpi, 1440));
        EXPECT_EQ(::IsWindowEnabled(Box(window.txtInput())) != FALSE, twips == 5775);
        EXPECT_TRUE(::IsWindowEnabled(Box(window.txtDebug())));
    }
}

// A 30 MB dump arrives in pieces of 4 KB; each append must cost its own
// length, not the log's, and the window must answer at once afterwards.
TEST_F(Win32Window, ThirtyMegabyteLogStaysResponsive) {
    ITextBox& log = window.txtDebug();
    std::string line(78, 'x');
    std::string piece;
    while (piece.size() + line.size() + 2 <= 4096) piece += line + "\r\n";
    constexpr size_t kTotal = 30u << 20, kMegabyte = 1u << 20;
    size_t written = 0;
    double firstMb = 0, lastMb = 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point mbStart = start;
    while (written < kTotal) {
        log.AppendText(piece);
        const size_t before = written;
        written += piece.size();
        if (before / kMegabyte != written / kMegabyte) {
            const double took = Seconds(mbStart);
            if (before < kMegabyte) firstMb = took;
            lastMb = took;
            mbStart = Clock::now();
            Pump();  // the program's loop runs between a host's pieces
        }
    }
    const double total = Seconds(start);
    Clock::time_point t = Clock::now();
    log.MoveCaretToEnd();
    ::InvalidateRect(Box(log), nullptr, TRUE);
    ::UpdateWindow(Box(log));
    const double toEnd = Seconds(t);
    t = Clock::now();
    DWORD_PTR answer = 0;
    const bool answered = ::SendMessageTimeoutW(window.Form().Handle(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer) != 0;
    const double answerTime = Seconds(t);
    std::printf("30 MB in 4 KB appends: %.1f s (first MB %.2f s, last MB %.2f s); caret to the end and repaint %.3f s; "
                "answer %.3f s; %d lines\n",
                total, firstMb, lastMb, toEnd, answerTime,
                static_cast<int>(::SendMessageW(Box(log), EM_GETLINECOUNT, 0, 0)));
    EXPECT_TRUE(answered);
    EXPECT_LT(answerTime, 1.0);
    EXPECT_LT(toEnd, 2.0);
    // Linear, not quadratic: the last megabyte costs about what the first did.
    EXPECT_LT(lastMb, 4 * firstMb + 0.5);
    EXPECT_EQ(static_cast<size_t>(::GetWindowTextLengthW(Box(log))), written);
}

}  // namespace
