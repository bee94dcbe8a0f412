// Whether Qt can open a window here, decided before the application object is
// made (Qt ends the process when its platform cannot start).
#pragma once

#include <string>

namespace varnel_qt {

// True if the platform Qt will use can open windows. Otherwise false, with a
// one-line reason. Without QT_QPA_PLATFORM the X display must answer; where
// only a Wayland display exists and Qt's Wayland platform is installed, that
// platform is chosen instead.
bool PrepareDisplay(std::string* reason);

}  // namespace varnel_qt
