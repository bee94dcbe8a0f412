// The application object of the Qt tests, on the offscreen platform (no
// display needed), made once per test program.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

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

}  // namespace qttest
