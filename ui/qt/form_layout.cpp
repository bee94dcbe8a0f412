#include "ui/qt/form_layout.h"
#include "ui/form_design.h"

#include <algorithm>

namespace varnel_qt {

namespace {

using namespace form_design;

int Max(int a, int b) { return std::max(a, b); }

// The inner width the controls of each row need side by side.
int NeededInnerWidth(const TwipScale& s, const CaptionNeeds& n) {
    const int top = s.ToPixels(kLogo.width) + s.ToPixels(kReadMe.left - kLogo.left - kLogo.width) +
                    Max(s.ToPixels(kReadMe.width), n.readMe.width());
    const int labels = Max(s.ToPixels(kLabel.width), n.label.width()) +
                       s.ToPixels(kShowWinsock.left - kLabel.left - kLabel.width) +
                       Max(s.ToPixels(kShowWinsock.width), n.check.width());
    const int button = std::max({n.comDbg.width(), n.scrDbg.width(), n.stop.width()});
    const int buttons = 3 * button + 2 * s.ToPixels(kButtonGap);
    return std::max({top, labels, buttons});
}

}  // namespace

QSize MinimumClientSize(const TwipScale& s, const CaptionNeeds& n) {
    return QSize(2 * s.ToPixels(kMargin) + NeededInnerWidth(s, n),
                 s.ToPixels(kCollapsedTwips - kFrameTwips));
}

QSize DesignedClientSize(const TwipScale& s, const CaptionNeeds& n) {
    return QSize(Max(s.ToPixels(kClientWidthTwips), MinimumClientSize(s, n).width()),
                 s.ToPixels(kClientHeightTwips));
}

FormPlaces PlaceControls(const TwipScale& s, QSize client, const CaptionNeeds& n) {
    const auto px = [&s](int twips) { return s.ToPixels(twips); };
    const int margin = px(kMargin);
    const int width = Max(client.width(), MinimumClientSize(s, n).width());
    const int inner = width - 2 * margin;
    const int right = width - margin;

    // Extra height beyond the designed client area: the session log and the
    // debug box share it in the proportion of their designed heights.
    const int extra = Max(0, client.height() - px(kClientHeightTwips));
    const int logExtra = extra * kDebugLog.height / (kDebugLog.height + kInput.height);
    const int shift = logExtra;  // the debug region moves down below the log

    FormPlaces p;
    p.logo = QRect(margin, px(kLogo.top), px(kLogo.width), px(kLogo.height));
    const QSize readMe(Max(px(kReadMe.width), n.readMe.width()), Max(px(kReadMe.height), n.readMe.height()));
    p.readMe = QRect(QPoint(right - readMe.width(), px(kReadMe.top)), readMe);
    p.debugLog = QRect(margin, px(kDebugLog.top), inner, px(kDebugLog.height) + logExtra);

    p.label = QRect(margin, px(kLabel.top) + shift, Max(px(kLabel.width), n.label.width()),
                    Max(px(kLabel.height), n.label.height()));
    const QSize check(Max(px(kShowWinsock.width), n.check.width()),
                      Max(px(kShowWinsock.height), n.check.height()));
    p.check = QRect(QPoint(right - check.width(), px(kShowWinsock.top) + shift), check);

    // The button row keeps its designed bottom (moved by all the extra
    // height); a taller caption takes its room from the debug box above.
    const int buttonHeight = std::max({px(kButtonRow.height), n.comDbg.height(), n.scrDbg.height(),
                                       n.stop.height()});
    const int buttonBottom = px(kButtonRow.top + kButtonRow.height) + extra;
    const int buttonTop = buttonBottom - buttonHeight;
    const int gap = px(kButtonGap);
    const int buttonWidth = (inner - 2 * gap) / 3;
    p.comDbg = QRect(margin, buttonTop, buttonWidth, buttonHeight);
    p.scrDbg = QRect(margin + buttonWidth + gap, buttonTop, buttonWidth, buttonHeight);
    const int stopLeft = margin + 2 * (buttonWidth + gap);
    p.stop = QRect(stopLeft, buttonTop, right - stopLeft, buttonHeight);

    const int inputTop = px(kInput.top) + shift;
    p.input = QRect(margin, inputTop, inner, Max(0, buttonTop - px(kInputGap) - inputTop));
    p.winsockParked = QRect(px(kWinsockParked.left), px(kWinsockParked.top) + shift,
                            inner - 2 * px(kWinsockParked.left - kMargin), px(kWinsockParked.height));
    return p;
}

}  // namespace varnel_qt
