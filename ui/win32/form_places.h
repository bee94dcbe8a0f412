// Where the window's controls go, in pixels, for a client area of a given
// size: the form is designed in twips (1/1440 inch) and placed at the screen's
// DPI with MulDiv(twips, dpi, 1440). The rules are those of the Qt window's
// layout: at the designed size, and at any smaller height such as the
// collapsed one, every control sits at its designed place; extra height goes
// to the session log and the debug box, extra width to the controls that span
// the window. A captioned control never gets less room than its caption needs.
#pragma once

namespace varnel_win {

struct PxRect {
    int left = 0, top = 0, width = 0, height = 0;
    int Right() const { return left + width; }
    int Bottom() const { return top + height; }
};
struct PxSize {
    int width = 0, height = 0;
};

// Window heights in twips, the frame included (as IMainWindow counts them).
constexpr int kExpandedTwips = 5775;
constexpr int kCollapsedTwips = 3165;
// The designed client area; the rest of the designed height is the frame.
constexpr int kClientWidthTwips = 4245;
constexpr int kClientHeightTwips = 5415;
constexpr int kFrameTwips = kExpandedTwips - kClientHeightTwips;

int TwipsToPixels(int twips, int dpi);
int PixelsToTwips(int pixels, int dpi);

// The room the captioned controls need, in pixels.
struct CaptionNeeds {
    PxSize readMe, label, check, comDbg, scrDbg, stop;
};

struct FormPlaces {
    PxRect logo, readMe, debugLog, label, check, input, winsockParked, comDbg, scrDbg, stop;
};

FormPlaces PlaceControls(int dpi, PxSize client, const CaptionNeeds& needs);
// The smallest client area: wide enough for every caption, as high as the collapsed window.
PxSize MinimumClientSize(int dpi, const CaptionNeeds& needs);
// The client area of the first show: the designed one, widened where a caption needs it.
PxSize DesignedClientSize(int dpi, const CaptionNeeds& needs);

}  // namespace varnel_win
