// Draws frmMain into PNG files in the given folder, named with the given
// prefix (default "varnel"): PREFIX-collapsed.png as it opens,
// PREFIX-expanded.png with the socket debug log shown, PREFIX-resized.png
// after the user made the window larger and PREFIX-narrow.png at its smallest
// width (the logs wrapped at words). The boxes are filled through the window's
// interface with the lines of a short session; part of the session log is
// selected with the keys, as a user does.
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QPixmap>
#include <QThread>
#include <cstdio>
#include <memory>

#include "ui/qt/qt_window.h"

namespace {

void Settle() {
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

bool Save(QWidget& widget, const QString& path) {
    Settle();
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    auto app = std::make_unique<QApplication>(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    const QString prefix = folder + "/" + (argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("varnel"));
    varnel_qt::QtGuiWindow window(std::move(app), nullptr);

    // What the load step does to the window.
    window.SetHeightTwips(varnel_qt::kCollapsedTwips);
    window.PlaceWinsockOnInput();
    window.txtWinsock().SetText("Winsock Debug Log");
    window.SetVisible(true);

    const char* session[] = {
        "Checking script (clearing output file)", "Running script", "Opening connection",
        "Welcome to the demo host\r\n\r\nlogin: ", "Password: ", "\r\nLast login: today\r\n$ ",
        "ls\r\nreadme.txt  notes.txt\r\n$ ", "End of script"};
    for (const char* line : session) window.txtDebug().AppendText(std::string(line) + "\r\n");
    const char* socket_log[] = {"OK Winsock service initialized", "OK Created winsock message window 1",
                                "OK Registered events from socket 5", "STATE: sckConnecting",
                                "FD_CONNECT 5", "STATE: sckConnected", "FD_READ 5",
                                "OK Received 43 bytes", "FD_WRITE 5", "OK Sent 6 bytes", "FD_READ 5"};
    for (const char* line : socket_log) {
        window.txtWinsock().AppendText(std::string("\r\n") + line);
        window.txtWinsock().MoveCaretToEnd();
    }
    window.txtInput().SetText("/r:demo.txt /o:out.txt");
    // From "script" on the first line to the middle of the third, by keys.
    auto& log = window.Form().txtDebug();
    log.setFocus();
    log.Select(9, 9);
    for (int key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Right, Qt::Key_Right}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::ShiftModifier);
        QCoreApplication::sendEvent(&log, &press);
    }

    bool ok = Save(window.Form(), prefix + "-collapsed.png");
    window.SetHeightTwips(varnel_qt::kExpandedTwips);
    window.Form().findChild<QWidget*>("chkWinsock")->setProperty("checked", true);
    ok = Save(window.Form(), prefix + "-expanded.png") && ok;
    // Larger by half in each direction, the socket log swapped back for the input box.
    window.Form().findChild<QWidget*>("chkWinsock")->setProperty("checked", false);
    window.Form().resize(window.Form().size() * 3 / 2);
    ok = Save(window.Form(), prefix + "-resized.png") && ok;
    window.Form().resize(window.Form().minimumWidth(), window.Form().height());
    ok = Save(window.Form(), prefix + "-narrow.png") && ok;
    return ok ? 0 : 1;
}
