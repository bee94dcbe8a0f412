// Twips (1/1440 inch) to pixels and back. The window is designed in twips;
// this is the one place that turns them into pixels, from the screen's logical
// DPI: pixels = twips * dpi / 1440, rounded to the nearest pixel.
#pragma once

class QRect;
class QWidget;

namespace varnel_qt {

class TwipScale {
public:
    explicit TwipScale(double dpi);
    // The logical DPI of the screen the widget is on (the primary screen if none yet).
    static TwipScale ForWidget(const QWidget* widget);

    double Dpi() const { return dpi_; }
    int ToPixels(int twips) const;
    int ToTwips(int pixels) const;
    QRect ToPixels(int left, int top, int width, int height) const;

private:
    double dpi_;
};

}  // namespace varnel_qt
