#include "ui/win32/form_places.h"
#include "ui/form_design.h"

#include <windows.h>

#include <algorithm>

namespace varnel_win {

namespace {

using namespace form_design;

int NeededInnerWidth(int dpi, const CaptionNeeds& n) {
    const auto px = [dpi](int twips) { return TwipsToPixels(twips, dpi); };
    const int top = px(kLogo.width) + px(kReadMe.left - kLogo.left - kLogo.width) +
                    std::max(px(kReadMe.width), n.readMe.width);
    const int labels = std::max(px(kLabel.width), n.label.width) +
                       px(kShowWinsock.left - kLabel.left - kLabel.width) +
                       std::max(px(kShowWinsock.width), n.check.width);
    const int button = std::max({n.comDbg.width, n.scrDbg.width, n.stop.width});
    return std::max({top, labels, 3 * button + 2 * px(kButtonGap)});
}

}  // namespace

int TwipsToPixels(int twips, int dpi) { return ::MulDiv(twips, dpi, 1440); }
int PixelsToTwips(int pixels, int dpi) { return ::MulDiv(pixels, 1440, dpi); }

PxSize MinimumClientSize(int dpi, const CaptionNeeds& n) {
    return {2 * TwipsToPixels(kMargin, dpi) + NeededInnerWidth(dpi, n),
            TwipsToPixels(kCollapsedTwips - kFrameTwips, dpi)};
}

PxSize DesignedClientSize(int dpi, const CaptionNeeds& n) {
    return {std::max(TwipsToPixels(kClientWidthTwips, dpi), MinimumClientSize(dpi, n).width),
            TwipsToPixels(kClientHeightTwips, dpi)};
}

FormPlaces PlaceControls(int dpi, PxSize client, const CaptionNeeds& n) {
    const auto px = [dpi](int twips) { return TwipsToPixels(twips, dpi); };
    const int margin = px(kMargin);
    const int width = std::max(client.width, MinimumClientSize(dpi, n).width);
    const int inner = width - 2 * margin;
    const int right = width - margin;

    // Extra height beyond the designed client area: the session log and the
    // debug box share it in the proportion of their designed heights.
    const int extra = std::max(0, client.height - px(kClientHeightTwips));
    const int shift = extra * kDebugLog.height / (kDebugLog.height + kInput.height);

    FormPlaces p;
    p.logo = {margin, px(kLogo.top), px(kLogo.width), px(kLogo.height)};
    const int readMeWidth = std::max(px(kReadMe.width), n.readMe.width);
    p.readMe = {right - readMeWidth, px(kReadMe.top), readMeWidth, std::max(px(kReadMe.height), n.readMe.height)};
    p.debugLog = {margin, px(kDebugLog.top), inner, px(kDebugLog.height) + shift};
    p.label = {margin, px(kLabel.top) + shift, std::max(px(kLabel.width), n.label.width),
               std::max(px(kLabel.height), n.label.height)};
    const int checkWidth = std::max(px(kShowWinsock.width), n.check.width);
    p.check = {right - checkWidth, px(kShowWinsock.top) + shift, checkWidth,
               std::max(px(kShowWinsock.height), n.check.height)};

    // The button row keeps its designed bottom (moved by all the extra
    // height); a taller caption takes its room from the debug box above.
    const int buttonHeight =
        std::max({px(kButtonRow.height), n.comDbg.height, n.scrDbg.height, n.stop.height});
    const int buttonTop = px(kButtonRow.top + kButtonRow.height) + extra - buttonHeight;
    const int gap = px(kButtonGap);
    const int buttonWidth = (inner - 2 * gap) / 3;
    p.comDbg = {margin, buttonTop, buttonWidth, buttonHeight};
    p.scrDbg = {margin + buttonWidth + gap, buttonTop, buttonWidth, buttonHeight};
    const int stopLeft = margin + 2 * (buttonWidth + gap);
    p.stop = {stopLeft, buttonTop, right - stopLeft, buttonHeight};

    const int inputTop = px(kInput.top) + shift;
    p.input = {margin, inputTop, inner, std::max(0, buttonTop - px(kInputGap) - inputTop)};
    p.winsockParked = {px(kWinsockParked.left), px(kWinsockParked.top) + shift,
                       inner - 2 * px(kWinsockParked.left - kMargin), px(kWinsockParked.height)};
    return p;
}

}  // namespace varnel_win
