// The Win32 window's text boxes and heights, on a real window (run on a
// display: under Wine, through tests/windows/window_test.sh). Also the cost
// of a large session log: 30 MB appended in the pieces a host sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    // What the control itself holds, as bytes.
    std::string Shown(ITextBox& box) {
        static_cast<varnel_win::EditBox&>(box).Flush();
        std::wstring wide(static_cast<size_t>(::GetWindowTextLengthW(Box(box))) + 1, L'\0');
        wide.resize(static_cast<size_t>(::GetWindowTextW(Box(box), wide.data(), static_cast<int>(wide.size()))));
        return std::string(wide.begin(), wide.end());
    }
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
        EXPECT_EQ(Shown(window.txtDebug()), c.text) << c.appends.front();
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

TEST_F(Win32Window, ALongLogShowsItsLastPartFromALineStartAndKeepsItAll) {
    ITextBox& log = window.txtDebug();
    log.SetText("");
    std::string all;
    for (int i = 0; all.size() < 3 * varnel_win::EditBox::kShownMax; ++i) {
        const std::string line = "line " + std::to_string(i) + " of the long log\r\n";
        log.AppendText(line);
        all += line;
        if (i % 1000 == 0) Pump();  // the flush timer comes from the loop
    }
    EXPECT_EQ(log.Text(), all);
    const std::string shown = Shown(log);
    EXPECT_LE(shown.size(), varnel_win::EditBox::kShownMax);
    EXPECT_GE(shown.size(), varnel_win::EditBox::kShownKeep / 2);
    EXPECT_EQ(all.compare(all.size() - shown.size(), shown.size(), shown), 0);
    EXPECT_EQ(shown.rfind("line ", 0), 0u);
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

// A 30 MB dump arrives in pieces of 4 KB, the loop running between two
// pieces as it does between two socket reads (the box is brought up to date
// from there, by its flush timer). Appending must cost the pieces' length,
// not the log's, and no turn of the loop may keep the window from answering
// for long; afterwards the box scrolls and repaints at once.
TEST_F(Win32Window, ThirtyMegabyteLogStaysResponsive) {
    ITextBox& log = window.txtDebug();
    std::string line(78, 'x');
    std::string piece;
    while (piece.size() + line.size() + 2 <= 4096) piece += line + "\r\n";
    // VARNEL_LOG_TEST_MB measures another size.
    const char* size = std::getenv("VARNEL_LOG_TEST_MB");
    const size_t kMegabyte = 1u << 20, kTotal = (size != nullptr ? std::strtoul(size, nullptr, 10) : 30) * kMegabyte;
    size_t written = 0;
    double firstMb = 0, lastMb = 0, longestTurn = 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point mbStart = start;
    while (written < kTotal) {
        log.AppendText(piece);
        const size_t before = written;
        written += piece.size();
        const Clock::time_point turn = Clock::now();
        Pump();
        longestTurn = std::max(longestTurn, Seconds(turn));
        if (before / kMegabyte != written / kMegabyte) {
            const double took = Seconds(mbStart);
            if (before < kMegabyte) firstMb = took;
            lastMb = took;
            mbStart = Clock::now();
        }
    }
    static_cast<varnel_win::EditBox&>(log).Flush();
    const double total = Seconds(start);
    Clock::time_point t = Clock::now();
    log.MoveCaretToEnd();
    ::InvalidateRect(Box(log), nullptr, TRUE);
    ::UpdateWindow(Box(log));
    const double toEnd = Seconds(t);
    t = Clock::now();
    ::SendMessageW(Box(log), WM_VSCROLL, SB_TOP, 0);
    ::UpdateWindow(Box(log));
    Pump();
    const double toTop = Seconds(t);
    std::printf("%zu MB in 4 KB appends: %.1f s (first MB %.2f s, last MB %.2f s, longest turn of the loop %.2f s); "
                "caret to the end and repaint %.3f s; to the top and repaint %.3f s; %d lines shown\n",
                kTotal / kMegabyte, total, firstMb, lastMb, longestTurn, toEnd, toTop,
                static_cast<int>(::SendMessageW(Box(log), EM_GETLINECOUNT, 0, 0)));
    EXPECT_LT(longestTurn, 1.0);
    EXPECT_LT(toTop, 1.0);
    EXPECT_LT(toEnd, 1.0);
    // Linear, not quadratic: the last megabyte costs about what an average one does.
    EXPECT_LT(lastMb, 3 * total / static_cast<double>(kTotal / kMegabyte) + 0.2) << "first MB " << firstMb;
    EXPECT_EQ(log.Text().size(), written);
    EXPECT_LE(static_cast<size_t>(::GetWindowTextLengthW(Box(log))), varnel_win::EditBox::kShownMax);
}

}  // namespace
