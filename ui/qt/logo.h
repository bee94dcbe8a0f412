// The logo picture (logo.svg, built in as a resource), drawn at any size.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace varnel_qt {

// The whole logo fitted into size (logical pixels), keeping its proportions.
QPixmap LogoPixmap(QSize size, qreal device_pixel_ratio);
// The tile of the logo alone, for the window's icon.
QIcon LogoIcon();

}  // namespace varnel_qt
