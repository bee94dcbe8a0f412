#include "ui/qt/frm_main.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <iterator>

#include "ui/form_events.h"
#include "ui/qt/logo.h"
#include "ui/qt/twips.h"

namespace varnel_qt {

namespace {

// Designed positions in twips within the client area: left, top, width, height.
struct Place {
    int left, top, width, height;
};
constexpr Place kLogo{120, 120, 1815, 735};
constexpr Place kReadMe{2280, 240, 1845, 495};
constexpr Place kDebugLog{120, 960, 4005, 1725};
constexpr Place kLabel{120, 3045, 1815, 255};
constexpr Place kShowWinsock{2040, 3015, 2085, 285};
constexpr Place kInput{120, 3375, 4005, 1380};
// Parked beside its place; the load step moves it onto the input box.
constexpr Place kWinsockDesigned{240, 3495, 3765, 1140};
constexpr Place kComDbg{120, 4875, 1305, 420};
constexpr Place kScrDbg{1470, 4875, 1305, 420};
constexpr Place kStop{2820, 4875, 1305, 420};

// The window is small (about three by four inches); its text is sized to fit.
constexpr int kPointSize = 9;
constexpr int kBoxPointSize = 8;

QPlainTextEdit* NewTextBox(QWidget* parent, const char* name, const char* tip) {
    auto* box = new QPlainTextEdit(parent);
    box->setObjectName(name);
    box->setToolTip(QString::fromLatin1(tip));
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(kBoxPointSize);
    box->setFont(fixed);
    return box;
}

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption, const char* tip) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(name);
    if (tip != nullptr) button->setToolTip(QString::fromLatin1(tip));
    button->setAutoDefault(false);
    return button;
}

}  // namespace

FrmMain::FrmMain(IFormEvents* events) : events_(events) {
    setObjectName("frmMain");
    setWindowTitle(QStringLiteral("Varnel by Tamsk"));
    setWindowIcon(LogoIcon());
    QFont small = font();
    small.setPointSize(kPointSize);
    setFont(small);
    CreateControls();
    SetTabOrder();
    ConnectHandlers();

    const TwipScale scale = TwipScale::ForWidget(this);
    const auto place = [&scale](QWidget* widget, const Place& p) {
        widget->setGeometry(scale.ToPixels(p.left, p.top, p.width, p.height));
    };
    place(imgLogo_, kLogo);
    place(cmdReadMe_, kReadMe);
    place(txtDebug_, kDebugLog);
    place(Label1_, kLabel);
    place(chkWinsock_, kShowWinsock);
    place(txtInput_, kInput);
    place(txtWinsock_, kWinsockDesigned);
    place(cmdComDbg_, kComDbg);
    place(cmdScrDbg_, kScrDbg);
    place(cmdStop_, kStop);
    imgLogo_->setPixmap(LogoPixmap(imgLogo_->size(), devicePixelRatioF()));

    resize(scale.ToPixels(kClientWidthTwips), scale.ToPixels(kClientHeightTwips));
    height_twips_ = kExpandedTwips;
}

FrmMain::~FrmMain() = default;

void FrmMain::CreateControls() {
    imgLogo_ = new QLabel(this);
    imgLogo_->setObjectName("imgLogo");
    imgLogo_->setCursor(Qt::PointingHandCursor);
    imgLogo_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    imgLogo_->installEventFilter(this);

    cmdReadMe_ = NewButton(this, "cmdReadMe", "&View Readme", nullptr);
    cmdReadMe_->installEventFilter(this);

    txtDebug_ = NewTextBox(this, "txtDebug", "Session log");

    Label1_ = new QLabel(QStringLiteral("Debug box:"), this);
    Label1_->setObjectName("Label1");

    chkWinsock_ = new QCheckBox(QStringLiteral("Show Winsock Log"), this);
    chkWinsock_->setObjectName("chkWinsock");
    chkWinsock_->setChecked(false);

    txtInput_ = NewTextBox(this, "txtInput", "Debug input");
    txtWinsock_ = NewTextBox(this, "txtWinsock", "Winsock debug output");
    txtWinsock_->hide();

    cmdComDbg_ = NewButton(this, "cmdComDbg", "As &Commands", "Interpret as commands");
    cmdScrDbg_ = NewButton(this, "cmdScrDbg", "As &Script", "Interpret as script");
    cmdStop_ = NewButton(this, "cmdStop", "Stop", nullptr);

    debug_box_ = std::make_unique<QtTextBox>(txtDebug_, QtTextBox::Kind::Log);
    input_box_ = std::make_unique<QtTextBox>(txtInput_, QtTextBox::Kind::Input);
    winsock_box_ = std::make_unique<QtTextBox>(txtWinsock_, QtTextBox::Kind::Log);
}

void FrmMain::SetTabOrder() {
    // The label takes no focus itself but keeps its place in the chain.
    QWidget* const order[] = {txtDebug_, cmdReadMe_, txtInput_,  Label1_,    cmdComDbg_,
                              cmdScrDbg_, cmdStop_,  txtWinsock_, chkWinsock_};
    for (size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void FrmMain::ConnectHandlers() {
    connect(chkWinsock_, &QCheckBox::toggled, this, [this] { chkWinsock_Click(); });
    connect(cmdReadMe_, &QPushButton::clicked, this, [this] {
        if (events_ != nullptr) events_->cmdReadMe_Click();
    });
    connect(cmdStop_, &QPushButton::clicked, this, [this] {
        if (events_ != nullptr) events_->cmdStop_Click();
    });
    connect(cmdScrDbg_, &QPushButton::clicked, this, [this] {
        if (events_ != nullptr) events_->cmdScrDbg_Click();
    });
    connect(cmdComDbg_, &QPushButton::clicked, this, [this] {
        if (events_ != nullptr) events_->cmdComDbg_Click();
    });
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (watched == cmdReadMe_) {
            cmdReadMe_MouseUp(mouse->button());
        } else if (watched == imgLogo_ && mouse->button() == Qt::LeftButton &&
                   imgLogo_->rect().contains(mouse->position().toPoint())) {
            if (events_ != nullptr) events_->imgLogo_Click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FrmMain::cmdReadMe_MouseUp(Qt::MouseButton button) {
    if (button != Qt::RightButton) return;
    SetHeightTwips(HeightTwips() == kCollapsedTwips ? kExpandedTwips : kCollapsedTwips);
}

void FrmMain::chkWinsock_Click() {
    const bool show_log = chkWinsock_->isChecked();
    txtInput_->setVisible(!show_log);
    txtWinsock_->setVisible(show_log);
}

int FrmMain::HeightTwips() const {
    const TwipScale scale = TwipScale::ForWidget(this);
    // The height last set reads back unchanged even where the pixel rounding
    // does not return the same twips; any other height is converted.
    if (height() == scale.ToPixels(height_twips_ - kFrameTwips)) return height_twips_;
    return scale.ToTwips(height()) + kFrameTwips;
}

void FrmMain::SetHeightTwips(int twips) {
    const TwipScale scale = TwipScale::ForWidget(this);
    height_twips_ = twips;
    resize(width(), std::max(0, scale.ToPixels(twips - kFrameTwips)));
}

void FrmMain::PlaceWinsockOnInput() { txtWinsock_->setGeometry(txtInput_->geometry()); }

void FrmMain::Unload() {
    if (unloaded_) return;
    unloading_by_program_ = true;
    close();
}

void FrmMain::closeEvent(QCloseEvent* event) {
    // Closing always proceeds; the program closes its connection first.
    event->accept();
    if (unloaded_) return;
    unloaded_ = true;
    if (events_ != nullptr && !unloading_by_program_) events_->Form_QueryUnload();
    if (on_closed_) on_closed_();
}

}  // namespace varnel_qt
