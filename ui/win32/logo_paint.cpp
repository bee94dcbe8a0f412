#include "ui/win32/logo_paint.h"

#include <algorithm>

namespace varnel_win {

namespace {

// The logo's design space (the SVG's view box).
constexpr int kDesignWidth = 242;
constexpr int kDesignHeight = 98;

struct Fit {
    double scale;
    int left, top;
    int X(double x) const { return left + static_cast<int>(x * scale + 0.5); }
    int Y(double y) const { return top + static_cast<int>(y * scale + 0.5); }
    int L(double length) const { return std::max(1, static_cast<int>(length * scale + 0.5)); }
};

COLORREF Mix(COLORREF a, COLORREF b, double t) {
    const auto channel = [t](int x, int y) { return static_cast<BYTE>(x + (y - x) * t + 0.5); };
    return RGB(channel(GetRValue(a), GetRValue(b)), channel(GetGValue(a), GetGValue(b)),
               channel(GetBValue(a), GetBValue(b)));
}

// The tile: a diagonal gradient from blue to teal, clipped to a rounded square.
void PaintTile(HDC dc, const Fit& f) {
    const int left = f.X(4), top = f.Y(4), right = f.X(94), bottom = f.Y(94);
    HRGN tile = ::CreateRoundRectRgn(left, top, right + 1, bottom + 1, f.L(36), f.L(36));
    ::SelectClipRgn(dc, tile);
    const int side = right - left;
    for (int i = 0; i < 2 * side; i += 2) {
        HBRUSH brush = ::CreateSolidBrush(Mix(RGB(0x1d, 0x4e, 0x89), RGB(0x0f, 0x8b, 0x8d), i / (2.0 * side)));
        // One diagonal band: the points whose x + y lie in [i, i + 2).
        const POINT band[4] = {{left + i, top}, {left + i + 2, top}, {left, top + i + 2}, {left, top + i}};
        HRGN region = ::CreatePolygonRgn(band, 4, WINDING);
        ::FillRgn(dc, region, brush);
        ::DeleteObject(region);
        ::DeleteObject(brush);
    }
    ::SelectClipRgn(dc, nullptr);
    ::DeleteObject(tile);
}

void Stroke(HDC dc, const Fit& f, COLORREF color, double width, const POINT* points, int count) {
    LOGBRUSH brush{BS_SOLID, color, 0};
    HPEN pen = ::ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND, f.L(width), &brush, 0,
                              nullptr);
    HGDIOBJ old = ::SelectObject(dc, pen);
    ::Polyline(dc, points, count);
    ::SelectObject(dc, old);
    ::DeleteObject(pen);
}

void Arc(HDC dc, const Fit& f, double radius) {
    // A quarter circle about (62, 34) from the top to the right.
    LOGBRUSH brush{BS_SOLID, RGB(0xbf, 0xe3, 0xe4), 0};
    HPEN pen = ::ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND, f.L(5), &brush, 0, nullptr);
    HGDIOBJ old = ::SelectObject(dc, pen);
    ::Arc(dc, f.X(62 - radius), f.Y(34 - radius), f.X(62 + radius), f.Y(34 + radius), f.X(62 + radius), f.Y(34),
          f.X(62), f.Y(34 - radius));
    ::SelectObject(dc, old);
    ::DeleteObject(pen);
}

void Text(HDC dc, const Fit& f, const wchar_t* text, double x, double baseline, double size, int weight,
          COLORREF color) {
    HFONT font = ::CreateFontW(-f.L(size), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, VARIABLE_PITCH | FF_SWISS, L"Verdana");
    HGDIOBJ old = ::SelectObject(dc, font);
    ::SetTextColor(dc, color);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextAlign(dc, TA_LEFT | TA_BASELINE);
    ::TextOutW(dc, f.X(x), f.Y(baseline), text, static_cast<int>(::wcslen(text)));
    ::SelectObject(dc, old);
    ::DeleteObject(font);
}

}  // namespace

void PaintLogo(HDC dc, const RECT& area) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return;
    const double scale = std::min(static_cast<double>(width) / kDesignWidth,
                                  static_cast<double>(height) / kDesignHeight);
    const Fit f{scale, area.left, area.top + static_cast<int>((height - kDesignHeight * scale) / 2)};
    const int saved = ::SaveDC(dc);
    PaintTile(dc, f);
    const POINT prompt[3] = {{f.X(22), f.Y(34)}, {f.X(42), f.Y(50)}, {f.X(22), f.Y(66)}};
    Stroke(dc, f, RGB(0xff, 0xff, 0xff), 9, prompt, 3);
    HBRUSH cursor = ::CreateSolidBrush(RGB(0xf4, 0xd3, 0x5e));
    HGDIOBJ oldBrush = ::SelectObject(dc, cursor);
    HGDIOBJ oldPen = ::SelectObject(dc, ::GetStockObject(NULL_PEN));
    ::RoundRect(dc, f.X(50), f.Y(60), f.X(76) + 1, f.Y(68) + 1, f.L(6), f.L(6));
    ::SelectObject(dc, oldPen);
    ::SelectObject(dc, oldBrush);
    ::DeleteObject(cursor);
    Arc(dc, f, 14);
    Arc(dc, f, 26);
    Text(dc, f, L"Varnel", 104, 58, 38, FW_BOLD, RGB(0x1d, 0x4e, 0x89));
    Text(dc, f, L"by Tamsk", 106, 82, 17, FW_NORMAL, RGB(0x5b, 0x6b, 0x7a));
    ::RestoreDC(dc, saved);
}

}  // namespace varnel_win
