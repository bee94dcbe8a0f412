#include "ui/qt/display_check.h"

#include <dlfcn.h>

#include <QByteArray>
#include <QDir>
#include <QLibraryInfo>
#include <QStringList>

namespace varnel_qt {

namespace {

// The folders where Qt looks for its platform plugins.
QStringList PlatformPluginDirs() {
    QStringList dirs;
    const QString direct = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
    if (!direct.isEmpty()) dirs << direct;
    for (const QString& dir : qEnvironmentVariable("QT_PLUGIN_PATH").split(':', Qt::SkipEmptyParts))
        dirs << dir + QStringLiteral("/platforms");
    dirs << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    return dirs;
}

bool PlatformPluginInstalled(const QString& prefix) {
    const QStringList filter{QStringLiteral("libq") + prefix + QStringLiteral("*.so")};
    for (const QString& dir : PlatformPluginDirs()) {
        if (!QDir(dir).entryList(filter, QDir::Files).isEmpty()) return true;
    }
    return false;
}

// Opens and closes a connection to the X display named by DISPLAY, through
// libxcb, which Qt's X platform uses as well.
bool XDisplayAnswers() {
    using Connection = void;
    using ConnectFn = Connection* (*)(const char*, int*);
    using HasErrorFn = int (*)(Connection*);
    using DisconnectFn = void (*)(Connection*);
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) return false;
    auto connect = reinterpret_cast<ConnectFn>(dlsym(xcb, "xcb_connect"));
    auto has_error = reinterpret_cast<HasErrorFn>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<DisconnectFn>(dlsym(xcb, "xcb_disconnect"));
    bool answers = false;
    if (connect != nullptr && has_error != nullptr && disconnect != nullptr) {
        Connection* connection = connect(nullptr, nullptr);
        answers = connection != nullptr && has_error(connection) == 0;
        if (connection != nullptr) disconnect(connection);
    }
    dlclose(xcb);
    return answers;
}

std::string NoXDisplay() {
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty()) return "cannot open a window: no display (DISPLAY is not set)";
    return "cannot open a window: no display answers at DISPLAY=" + display.toStdString();
}

}  // namespace

bool PrepareDisplay(std::string* reason) {
    // "wayland;xcb" or "vnc:size=800x600": the first platform Qt will try.
    QString platform = qEnvironmentVariable("QT_QPA_PLATFORM").section(';', 0, 0).section(':', 0, 0);
    if (!platform.isEmpty() && platform != QStringLiteral("xcb")) {
        if (PlatformPluginInstalled(platform)) return true;
        *reason = "cannot open a window: Qt's platform \"" + platform.toStdString() + "\" is not installed";
        return false;
    }
    if (!PlatformPluginInstalled(QStringLiteral("xcb"))) {
        *reason = "cannot open a window: Qt's X11 platform (libqxcb.so) is not installed";
        return false;
    }
    if (XDisplayAnswers()) return true;
    if (platform.isEmpty() && !qgetenv("WAYLAND_DISPLAY").isEmpty() &&
        PlatformPluginInstalled(QStringLiteral("wayland"))) {
        qputenv("QT_QPA_PLATFORM", "wayland");
        return true;
    }
    *reason = NoXDisplay();
    return false;
}

}  // namespace varnel_qt
