// Where frmMain's controls go for a given client size. The window is designed
// in twips; at the designed size (and at any smaller height, such as the
// collapsed one) every control sits at its designed place. Extra height goes
// to the session log and the debug box, extra width to every control that
// spans the window; the buttons keep their order and share the row. A control
// never gets less room than its caption needs (its size hint), so the window
// has a minimum width, and its minimum height is the collapsed one.
#pragma once

#include <QRect>
#include <QSize>

#include "ui/qt/twips.h"

namespace varnel_qt {

// Window heights in twips, the frame included.
constexpr int kExpandedTwips = 5775;   // the designed size: both regions shown
constexpr int kCollapsedTwips = 3165;  // the debug region is cut off
// The designed client area; the rest of the designed height is the frame.
constexpr int kClientWidthTwips = 4245;
constexpr int kClientHeightTwips = 5415;
constexpr int kFrameTwips = kExpandedTwips - kClientHeightTwips;
// The debug region starts this far below the top of the client area.
constexpr int kDebugRegionTopTwips = 3000;

// The room the captioned controls need (their size hints, in pixels).
struct CaptionNeeds {
    QSize readMe, label, check, comDbg, scrDbg, stop;
};

struct FormPlaces {
    QRect logo, readMe, debugLog, label, check, input, winsockParked, comDbg, scrDbg, stop;
};

// The places for a client area of the given size (pixels).
FormPlaces PlaceControls(const TwipScale& scale, QSize client, const CaptionNeeds& needs);

// The smallest client area: wide enough for every caption, as high as the
// collapsed window.
QSize MinimumClientSize(const TwipScale& scale, const CaptionNeeds& needs);

// The client area of the first show: the designed one, widened where a
// caption needs it.
QSize DesignedClientSize(const TwipScale& scale, const CaptionNeeds& needs);

}  // namespace varnel_qt
