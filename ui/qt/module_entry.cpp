// The module's entry point: makes the application object (once the display
// is known to work) and the window.
#include <QApplication>
#include <exception>
#include <memory>

#include "ui/qt/display_check.h"
#include "ui/qt/qt_window.h"
#include "ui/qt/quiet_start.h"
#include "ui/window_module.h"

extern "C" __attribute__((visibility("default"))) IGuiWindow* varnel_create_window(
    int* argc, char** argv, IFormEvents* events, std::string* error) {
    std::string reason;
    try {
        std::unique_ptr<QApplication> app;
        if (QCoreApplication::instance() == nullptr) {
            if (!varnel_qt::PrepareDisplay(&reason)) {
                if (error != nullptr) *error = reason;
                return nullptr;
            }
            varnel_qt::EnsureRuntimeFolder();
            const varnel_qt::StartGuard guard;  // a platform that fails to start ends the process with status 2
            app = std::make_unique<QApplication>(*argc, argv);
            QApplication::setApplicationName(QStringLiteral("Varnel"));
        } else if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
            if (error != nullptr) *error = "cannot open a window: Qt runs without widgets here";
            return nullptr;
        }
        return new varnel_qt::QtGuiWindow(std::move(app), events);
    } catch (const std::exception& e) {
        if (error != nullptr) *error = std::string("cannot open a window: ") + e.what();
        return nullptr;
    }
}

// The entry matches the type the loader looks it up as.
static_assert(std::is_same_v<decltype(&varnel_create_window), VarnelCreateWindowFn>);
