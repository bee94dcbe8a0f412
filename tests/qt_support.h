// The application object of the Qt tests, on the offscreen platform (no
// display needed), made once per test program, and a form-events sink that
// records the handlers the window calls.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>
#include <string>
#include <vector>

#include "ui/form_events.h"

namespace qttest {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        // Offscreen, with the options a test run names (a screen of another DPI).
        if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QStringLiteral("offscreen")))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[12] = "varnel-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] static const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new QtEnvironment);

// Records the name of each form event handler the window calls, in order.
struct RecordingEvents : IFormEvents {
    std::vector<std::string> calls;
    void cmdStop_Click() override { calls.push_back("cmdStop_Click"); }
    void cmdScrDbg_Click() override { calls.push_back("cmdScrDbg_Click"); }
    void cmdComDbg_Click() override { calls.push_back("cmdComDbg_Click"); }
    void cmdReadMe_Click() override { calls.push_back("cmdReadMe_Click"); }
    void imgLogo_Click() override { calls.push_back("imgLogo_Click"); }
    void Form_QueryUnload() override { calls.push_back("Form_QueryUnload"); }
};

}  // namespace qttest
