#include "ui/qt/qt_window.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QUrl>

namespace varnel_qt {

QtGuiWindow::QtGuiWindow(std::unique_ptr<QApplication> app, IFormEvents* events)
    : app_(std::move(app)) {
    // The program decides when it ends: a hidden main window or a closed
    // message box must not end the loop.
    QApplication::setQuitOnLastWindowClosed(false);
    form_ = std::make_unique<FrmMain>(events);
    // Closing the window ends the program.
    form_->SetOnClosed([this] {
        if (!quit_requested_) Quit(0);
    });
}

QtGuiWindow::~QtGuiWindow() {
    if (platform_.set_toolkit_pump) platform_.set_toolkit_pump(nullptr);
    notifier_.reset();
    form_.reset();
    app_.reset();
}

bool QtGuiWindow::Visible() const { return form_->isVisible(); }

void QtGuiWindow::SetVisible(bool visible) { form_->setVisible(visible); }

void QtGuiWindow::MsgBoxInformation(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Information, QString::fromLatin1(caption),
                    QtTextBox::ToView(text), QMessageBox::Ok,
                    form_->isVisible() ? form_.get() : nullptr);
    box.setObjectName("MsgBox");
    box.setFont(form_->font());  // the window's font, whatever the style picks for message boxes
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void QtGuiWindow::OpenWithShell(const std::string& target) {
    if (platform_.shell_open) {
        platform_.shell_open(target);
        return;
    }
    const QString text = QFile::decodeName(QByteArray::fromStdString(target));
    const QUrl url = text.contains(QStringLiteral("://")) ? QUrl(text) : QUrl::fromLocalFile(text);
    QDesktopServices::openUrl(url);  // the result is ignored, as a shell open's is
}

int QtGuiWindow::Exec() {
    if (quit_requested_) return quit_status_;  // unloaded before the loop ever ran
    running_ = true;
    const int result = QApplication::exec();
    running_ = false;
    return quit_requested_ ? quit_status_ : result;
}

void QtGuiWindow::Quit(int status) {
    quit_requested_ = true;
    quit_status_ = status;
    if (running_) QCoreApplication::exit(status);
}

void QtGuiWindow::AttachPlatform(const GuiPlatform& platform) {
    if (platform_.set_toolkit_pump) platform_.set_toolkit_pump(nullptr);
    notifier_.reset();
    platform_ = platform;
    const int fd = platform_.event_loop_fd ? platform_.event_loop_fd() : -1;
    if (fd >= 0 && platform_.pump_event_loop) {
        notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                         [this] { PumpProgramLoop(); });
    }
    if (platform_.set_toolkit_pump) platform_.set_toolkit_pump([this] { ProcessToolkitEvents(); });
}

void QtGuiWindow::PumpProgramLoop() {
    // Handlers run by the pump may call DoEvents; the notifier stays quiet
    // meanwhile so the program's loop is never pumped from inside itself.
    notifier_->setEnabled(false);
    platform_.pump_event_loop();
    if (notifier_) notifier_->setEnabled(true);
}

void QtGuiWindow::ProcessToolkitEvents() {
    // DoEvents handles the program's own pending work itself; here Qt handles
    // only its events (input, painting, queued calls such as line scrolls).
    const bool watching = notifier_ && notifier_->isEnabled();
    if (watching) notifier_->setEnabled(false);
    QCoreApplication::processEvents();
    if (watching && notifier_) notifier_->setEnabled(true);
}

}  // namespace varnel_qt
