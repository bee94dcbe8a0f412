#include "ui/qt/quiet_start.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace varnel_qt {

namespace {

struct HeldMessage {
    QtMsgType type;
    QString category, file, function, text;
    int line;
};

QtMessageHandler g_previous = nullptr;
bool g_holding = false;
std::vector<HeldMessage> g_held;

// The platform Qt tries first: what QT_QPA_PLATFORM names, else X11.
std::string PlatformName() {
    const QString named = qEnvironmentVariable("QT_QPA_PLATFORM").section(';', 0, 0).section(':', 0, 0);
    return named.isEmpty() ? std::string("xcb") : named.toStdString();
}

void Pass(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (g_previous != nullptr) {
        g_previous(type, context, text);
    } else {
        const QByteArray bytes = text.toLocal8Bit();
        std::fprintf(stderr, "%s\n", bytes.constData());
    }
}

void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (g_holding && type == QtFatalMsg) {
        // Nothing of the program has run yet; what Qt said before is the
        // platform's detail and stays unsaid.
        const std::string line = "varnel: cannot open a window: Qt could not start its platform \"" +
                                 PlatformName() + "\"\n";
        std::fflush(stdout);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        _exit(2);
    }
    if (g_holding) {
        g_held.push_back({type, QString::fromUtf8(context.category), QString::fromUtf8(context.file),
                          QString::fromUtf8(context.function), text, context.line});
        return;
    }
    Pass(type, context, text);
}

}  // namespace

void EnsureRuntimeFolder() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
    QByteArray base = qgetenv("TMPDIR");
    if (base.isEmpty()) base = "/tmp";
    const std::string folder = base.toStdString() + "/varnel-runtime-" + std::to_string(getuid());
    ::mkdir(folder.c_str(), 0700);
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return;
    if ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) return;
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(folder));
}

StartGuard::StartGuard() {
    g_holding = true;
    g_previous = qInstallMessageHandler(Handle);
    if (g_previous == Handle) g_previous = nullptr;  // a second guard in one process
}

StartGuard::~StartGuard() {
    g_holding = false;
    std::vector<HeldMessage> held;
    held.swap(g_held);
    for (const HeldMessage& m : held) {
        const QByteArray file = m.file.toUtf8(), function = m.function.toUtf8(), category = m.category.toUtf8();
        const QMessageLogContext context(file.isEmpty() ? nullptr : file.constData(), m.line,
                                         function.isEmpty() ? nullptr : function.constData(),
                                         category.isEmpty() ? nullptr : category.constData());
        Pass(m.type, context, m.text);
    }
}

}  // namespace varnel_qt
