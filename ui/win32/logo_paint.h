// The Varnel logo drawn with GDI: a terminal prompt on a rounded tile, with
// the name beside it, fitted into a rectangle (left-aligned, centred
// vertically) as the Qt window shows its SVG.
#pragma once

#include <windows.h>

namespace varnel_win {

void PaintLogo(HDC dc, const RECT& area);

}  // namespace varnel_win
