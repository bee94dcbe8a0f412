#include "ui/qt/frm_main.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <iterator>

#include "ui/form_events.h"
#include "ui/qt/logo.h"
#include "ui/qt/twips.h"

namespace varnel_qt {

namespace {

// What assistive technology says of a control: its name (the caption, or what
// the box is) and what it is for.
void Describe(QWidget* control, const char* name, const char* description) {
    control->setAccessibleName(QString::fromLatin1(name));
    control->setAccessibleDescription(QString::fromLatin1(description));
}

template <typename Box>
Box* NewTextBox(QWidget* parent, const char* name, const char* tip) {
    auto* box = new Box(parent);
    box->setObjectName(name);
    box->setToolTip(QString::fromLatin1(tip));
    // The desktop's fixed font: logs and scripts line up in columns.
    box->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
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
    // The controls keep the application's (the desktop's) font.
    CreateControls();
    SetTabOrder();
    ConnectHandlers();

    const TwipScale scale = TwipScale::ForWidget(this);
    const CaptionNeeds needs = Needs();
    dpi_ = scale.Dpi();
    setMinimumSize(MinimumClientSize(scale, needs));
    resize(DesignedClientSize(scale, needs));
    ApplyLayout();
    imgLogo_->setPixmap(LogoPixmap(imgLogo_->size(), devicePixelRatioF()));
    height_twips_ = height_twips_now_ = kExpandedTwips;
    width_twips_ = scale.ToTwips(width());
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

    txtDebug_ = NewTextBox<LogView>(this, "txtDebug", "Session log");

    Label1_ = new QLabel(QStringLiteral("Debug box:"), this);
    Label1_->setObjectName("Label1");

    chkWinsock_ = new QCheckBox(QStringLiteral("Show Winsock Log"), this);
    chkWinsock_->setObjectName("chkWinsock");
    chkWinsock_->setChecked(false);

    txtInput_ = NewTextBox<QPlainTextEdit>(this, "txtInput", "Debug input");
    txtWinsock_ = NewTextBox<LogView>(this, "txtWinsock", "Winsock debug output");
    txtWinsock_->hide();

    cmdComDbg_ = NewButton(this, "cmdComDbg", "As &Commands", "Interpret as commands");
    cmdScrDbg_ = NewButton(this, "cmdScrDbg", "As &Script", "Interpret as script");
    cmdStop_ = NewButton(this, "cmdStop", "Stop", nullptr);

    input_box_ = std::make_unique<QtTextBox>(txtInput_);

    Describe(imgLogo_, "Varnel logo", "Opens the maker's web site");
    Describe(cmdReadMe_, "View Readme", "Opens the read-me file; a right click shows or hides the debug region");
    Describe(txtDebug_, "Session log",
             "Read-only log of the run: the script's messages and everything the host sends, as it comes");
    Describe(Label1_, "Debug box", "The debug box below runs its text as a script or as commands");
    Describe(chkWinsock_, "Show Winsock Log", "Shows the socket debug log in place of the debug box");
    Describe(txtInput_, "Debug input", "Debug box: text to run as a script or as commands");
    Describe(txtWinsock_, "Winsock debug output",
             "Read-only socket debug log: what the socket code does (connecting, notifications, bytes sent and "
             "received), as it happens");
    Describe(cmdComDbg_, "As Commands", "Runs the debug box's text as commands");
    Describe(cmdScrDbg_, "As Script", "Runs the debug box's text as a script");
    Describe(cmdStop_, "Stop", "Closes the connection");
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

int FrmMain::HeightTwips() const { return HeightTwipsAt(TwipScale::ForWidget(this)); }

int FrmMain::HeightTwipsAt(const TwipScale& scale) const {
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

void FrmMain::PlaceWinsockOnInput() {
    winsock_on_input_ = true;
    txtWinsock_->setGeometry(txtInput_->geometry());
}

CaptionNeeds FrmMain::Needs() const {
    return {cmdReadMe_->sizeHint(), Label1_->sizeHint(),   chkWinsock_->sizeHint(),
            cmdComDbg_->sizeHint(), cmdScrDbg_->sizeHint(), cmdStop_->sizeHint()};
}

void FrmMain::ApplyLayout() {
    const FormPlaces p = PlaceControls(TwipScale::ForWidget(this), size(), Needs());
    imgLogo_->setGeometry(p.logo);
    cmdReadMe_->setGeometry(p.readMe);
    txtDebug_->setGeometry(p.debugLog);
    Label1_->setGeometry(p.label);
    chkWinsock_->setGeometry(p.check);
    txtInput_->setGeometry(p.input);
    txtWinsock_->setGeometry(winsock_on_input_ ? p.input : p.winsockParked);
    cmdComDbg_->setGeometry(p.comDbg);
    cmdScrDbg_->setGeometry(p.scrDbg);
    cmdStop_->setGeometry(p.stop);
    // A control wholly below (or beside) the client area cannot be seen, so
    // it must not be reached either: a disabled control is skipped by Tab and
    // takes no keys, and one the window shows again is enabled again.
    const QRect client = rect();
    for (QWidget* control : {static_cast<QWidget*>(imgLogo_), static_cast<QWidget*>(cmdReadMe_),
                             static_cast<QWidget*>(txtDebug_), static_cast<QWidget*>(Label1_),
                             static_cast<QWidget*>(chkWinsock_), static_cast<QWidget*>(txtInput_),
                             static_cast<QWidget*>(txtWinsock_), static_cast<QWidget*>(cmdComDbg_),
                             static_cast<QWidget*>(cmdScrDbg_), static_cast<QWidget*>(cmdStop_)})
        control->setEnabled(control->geometry().intersects(client));
}

void FrmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const TwipScale scale = TwipScale::ForWidget(this);
    if (scale.Dpi() != dpi_) return FollowDpiLater();  // a new screen: its own size
    width_twips_ = scale.ToTwips(width());
    height_twips_now_ = HeightTwipsAt(scale);
    ApplyLayout();
}

void FrmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Another font or style changes what the captions need.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        if (TwipScale::ForWidget(this).Dpi() != dpi_) return FollowDpiLater();  // fonts of a new screen
        setMinimumSize(MinimumClientSize(TwipScale::ForWidget(this), Needs()));
        ApplyLayout();
    }
}

void FrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (watching_screens_ || windowHandle() == nullptr) return;
    // A move to a screen of another DPI, or a new DPI of the screen itself.
    watching_screens_ = true;
    connect(windowHandle(), &QWindow::screenChanged, this, [this](QScreen* screen) {
        WatchScreenDpi(screen);
        FollowDpiLater();
    });
    WatchScreenDpi(windowHandle()->screen());
    FollowDpiLater();
}

void FrmMain::FollowDpiLater() {
    // Qt gives the controls the fonts of the new screen one after the other,
    // parents first: the captions' needs are known once all have them.
    if (dpi_follow_posted_) return;
    dpi_follow_posted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            dpi_follow_posted_ = false;
            FollowDpi();
        },
        Qt::QueuedConnection);
}

void FrmMain::WatchScreenDpi(QScreen* screen) {
    disconnect(screen_dpi_);
    if (screen != nullptr)
        screen_dpi_ = connect(screen, &QScreen::logicalDotsPerInchChanged, this, [this] { FollowDpiLater(); });
}

void FrmMain::FollowDpi() {
    const TwipScale scale = TwipScale::ForWidget(this);
    if (scale.Dpi() == dpi_) return;
    // The window keeps its size in twips (as last sized at the old DPI); the
    // layout is redone in twips at the new scale, as the first show does it.
    const int width_twips = width_twips_, height_twips = height_twips_now_;
    dpi_ = scale.Dpi();
    const QSize minimum = MinimumClientSize(scale, Needs());
    setMinimumSize(minimum);
    height_twips_ = height_twips;
    resize(std::max(minimum.width(), scale.ToPixels(width_twips)),
           std::max(0, scale.ToPixels(height_twips - kFrameTwips)));
    ApplyLayout();
    imgLogo_->setPixmap(LogoPixmap(imgLogo_->size(), devicePixelRatioF()));
    // The fixed font takes other pixels on the new screen.
    txtDebug_->Rewrap();
    txtWinsock_->Rewrap();
}

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
