#include "ui/qt/twips.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace varnel_qt {

namespace {
constexpr double kTwipsPerInch = 1440.0;
constexpr double kFallbackDpi = 96.0;
}  // namespace

TwipScale::TwipScale(double dpi) : dpi_(dpi > 0 ? dpi : kFallbackDpi) {}

TwipScale TwipScale::ForWidget(const QWidget* widget) {
    const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    return TwipScale(screen != nullptr ? screen->logicalDotsPerInch() : kFallbackDpi);
}

int TwipScale::ToPixels(int twips) const {
    return static_cast<int>(std::lround(twips * dpi_ / kTwipsPerInch));
}

int TwipScale::ToTwips(int pixels) const {
    return static_cast<int>(std::lround(pixels * kTwipsPerInch / dpi_));
}

QRect TwipScale::ToPixels(int left, int top, int width, int height) const {
    return QRect(ToPixels(left), ToPixels(top), ToPixels(width), ToPixels(height));
}

}  // namespace varnel_qt
