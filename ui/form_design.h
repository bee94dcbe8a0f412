// The main form as designed, in twips (1/1440 inch) within the client area:
// where each control sits at the designed size. The Qt and the Win32 windows
// place their controls from this one table.
#pragma once

namespace form_design {

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
constexpr Place kWinsockParked{240, 3495, 3765, 1140};
constexpr Place kButtonRow{120, 4875, 4005, 420};
constexpr int kMargin = 120;     // between the window's edge and its controls
constexpr int kButtonGap = 45;   // between two buttons of the row
constexpr int kInputGap = 120;   // between the debug box and the buttons

}  // namespace form_design
