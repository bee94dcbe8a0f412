// Runs through the Qt window: the debug box's buttons, Stop and closing the
// window, with the real runner, socket and event loop against a loopback host.
#include <gtest/gtest.h>

#include "tests/qt_support.h"
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/frm_main.h"
#include "app/telnet_socket.h"
#include "platform/message_window.h"
#include "tests/support/scripted_host.h"
#include "ui/qt/qt_window.h"

namespace {



const std::string kHead = "Checking script (clearing output file)\r\nRunning script\r\n";

class QtRunTest : public testing::Test {
protected:
    QtRunTest() : window(nullptr, &events) {
        folder = std::filesystem::temp_directory_path() / ("varnel-qt-run-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        window.AttachPlatform({win::EventLoopFd, win::PumpEventLoop, win::SetToolkitPump, nullptr});
        RunnerHooks hooks;
        hooks.DoEvents = win::DoEvents;
        hooks.Sleep = win::Sleep;
        hooks.EndProgram = [this](int status) { window.Quit(status); };
        // The run's time limit on a window timer of the loop, as the program has it.
        timerWindow = win::CreateWindowExA(0, "QtRunTestTimer", "");
        win::SetWindowLongA(timerWindow, win::GWL_WNDPROC, &TimerProc);
        current = this;
        hooks.StartTimer = [this](uint32_t ms) { win::SetTimer(timerWindow, 1, ms); };
        hooks.StopTimer = [this] { win::KillTimer(timerWindow, 1); };
        // "/idle" names no script: the window stays open and idle after the load step.
        form = std::make_unique<FrmMain>(
            window, FrmMainSetup{"/idle", folder.string() + "/", MakeTelnetSocket, hooks});
        events.form = form.get();
        form->Form_Load();
        window.SetVisible(true);
        // The user shows the debug region to reach its box and buttons.
        QTest::mouseClick(window.Form().findChild<QPushButton*>("cmdReadMe"), Qt::RightButton);
    }
    ~QtRunTest() override {
        current = nullptr;
        win::DestroyWindow(timerWindow);
        form.reset();
        std::filesystem::remove_all(folder);
    }
    void Click(const char* name) {
        QTest::mouseClick(window.Form().findChild<QPushButton*>(name), Qt::LeftButton);
    }
    // Lets the loop run until done() holds (bounded; the result tells).
    static bool PumpUntil(const std::function<bool()>& done, int rounds = 400) {
        for (int i = 0; i < rounds && !done(); ++i) {
            win::WaitMessageTimeout(25);
            win::DoEvents();
        }
        return done();
    }
    std::string Log() { return window.txtDebug().Text(); }
    bool LogHas(const std::string& text) { return Log().find(text) != std::string::npos; }

    static win::LRESULT TimerProc(win::HWND hwnd, win::UINT msg, win::WPARAM, win::LPARAM) {
        if (msg == win::WM_TIMER && current != nullptr) {
            win::KillTimer(hwnd, 1);
            current->form->TimerElapsed();
        }
        return 0;
    }

    static inline QtRunTest* current = nullptr;
    win::HWND timerWindow = 0;
    std::filesystem::path folder;
    FrmMainEvents events;
    varnel_qt::QtGuiWindow window;
    std::unique_ptr<FrmMain> form;
};

TEST_F(QtRunTest, AsScriptWithAnEmptyBoxLogsOnlyTheCheckingLine) {
    Click("cmdScrDbg");
    EXPECT_EQ(Log(), "Checking script (clearing output file)\r\n");
    EXPECT_FALSE(form->RunStarted());
    EXPECT_TRUE(window.Visible());
}

TEST_F(QtRunTest, AsCommandsRunsTheNamedScriptFromTheProgramsFolder) {
    std::ofstream(folder / "test.txt") << "ECHO \"from the program's folder\"\r\n";
    window.txtInput().SetText("/r:test.txt");
    Click("cmdComDbg");
    EXPECT_EQ(Log(), kHead + "from the program's folder\r\nEnd of script\r\nClosed connection.\r\n");
    EXPECT_FALSE(window.Visible());  // the run ended the program
    EXPECT_EQ(window.Exec(), 0);
}

TEST_F(QtRunTest, StopLeavesAWaitingRunWaitingAndAsScriptStartsAfresh) {
    testhost::ScriptedHost host([](testhost::HostConnection& c) {
        c.Send("hello\r\n");
        c.ReadToEnd();
    });
    const std::string script = "HOST 127.0.0.1 " + std::to_string(host.Port()) + "\r\nWAIT \"never\"\r\n";
    window.txtInput().SetText(script);
    Click("cmdScrDbg");
    ASSERT_TRUE(PumpUntil([&] { return LogHas("hello"); })) << Log();
    const std::string waiting = kHead + "Opening connection\r\nhello\r\n\r\n\r\n";
    EXPECT_EQ(Log(), waiting);

    Click("cmdStop");
    PumpUntil([] { return false; }, 10);  // whatever the closed socket still raises
    EXPECT_EQ(Log(), waiting);         // nothing is logged, the run is not told
    EXPECT_FALSE(form->Ended());
    EXPECT_EQ(form->strWaitFor, "never");
    EXPECT_EQ(form->wsTelnet->State(), 0);

    Click("cmdScrDbg");
    ASSERT_TRUE(PumpUntil([&] { return Log().size() >= 2 * waiting.size(); })) << Log();
    EXPECT_EQ(Log(), waiting + waiting);
    EXPECT_EQ(host.Accepted(), 2);
    EXPECT_TRUE(window.Visible());
    Click("cmdStop");  // lets the host's second dialogue end
}

TEST_F(QtRunTest, ClosingWhileConnectedEndsWithoutTheClosingLine) {
    bool sawClose = false;
    testhost::ScriptedHost host([&](testhost::HostConnection& c) {
        c.Send("banner\r\n");
        sawClose = c.ReadToEnd();
    });
    window.txtInput().SetText("HOST 127.0.0.1 " + std::to_string(host.Port()) + "\r\nWAIT \"x\"\r\n");
    Click("cmdScrDbg");
    ASSERT_TRUE(PumpUntil([&] { return LogHas("banner"); })) << Log();
    window.Form().close();  // the user closes the window
    EXPECT_FALSE(window.Visible());
    EXPECT_EQ(window.Exec(), 0);
    host.Join();
    EXPECT_TRUE(sawClose);
    EXPECT_EQ(Log(), kHead + "Opening connection\r\nbanner\r\n\r\n\r\n");
}

// With the window shown, a time-out ends the run as any other ending does:
// its line, "Closed connection.", the window closes, status 3.
TEST_F(QtRunTest, ATimeOutEndsTheRunAndTheProgram) {
    testhost::ScriptedHost host([](testhost::HostConnection& c) {
        c.Send("hello\r\n");
        c.ReadToEnd(std::chrono::seconds(20));
    });
    window.txtInput().SetText("TIMEOUT 1\r\nHOST 127.0.0.1 " + std::to_string(host.Port()) + "\r\nWAIT \"never\"\r\n");
    Click("cmdScrDbg");
    ASSERT_TRUE(PumpUntil([&] { return form->Ended(); })) << Log();
    EXPECT_EQ(Log(), kHead + "Opening connection\r\nhello\r\n\r\n\r\n"
                             "Timed out after 1 seconds waiting for \"never\" on line 3\r\nClosed connection.\r\n");
    EXPECT_FALSE(window.Visible());
    EXPECT_EQ(form->ExitStatus(), 3);
    host.Join();
}

}  // namespace
