#pragma once

// Dialog units and the dialog font. A layout gives positions and sizes in
// dialog units: a horizontal unit is a quarter of the dialog font's average
// character width, a vertical unit an eighth of its height.

#include <QFont>
#include <QRect>
#include <QString>

#include "res/resources.h"

namespace ui::qt {

// The average character width and the height of the dialog font, in pixels.
struct DialogBaseUnits {
    int x;
    int y;
};

// The layout's font at its point size; the platform's sans-serif font when the
// named family is not installed.
QFont dialogFont(const res::DialogTemplate& layout);

// The base units of a font: the width of the 52 letters a-z, A-Z divided by
// 52 and rounded, and the font's height.
DialogBaseUnits dialogBaseUnits(const QFont& font);

// Dialog units to pixels, rounded to the nearest pixel (x * base.x / 4,
// y * base.y / 8).
int dialogXToPixels(int x, DialogBaseUnits base);
int dialogYToPixels(int y, DialogBaseUnits base);
QRect dialogRectToPixels(int x, int y, int width, int height, DialogBaseUnits base);

}  // namespace ui::qt
