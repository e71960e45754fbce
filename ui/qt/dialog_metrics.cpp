#include "ui/qt/dialog_metrics.h"

#include <QFontDatabase>
#include <QFontMetrics>

namespace ui::qt {

namespace {

// a * b / c rounded half away from zero, without overflow for layout values.
int mulDiv(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    const long long q = p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c);
    return static_cast<int>(q);
}

}  // namespace

QFont dialogFont(const res::DialogTemplate& layout) {
    QFont font;
    const QString family = QString::fromUtf8(layout.fontName);
    if (QFontDatabase::hasFamily(family)) {
        font.setFamily(family);
    } else {
        font.setFamily(QStringLiteral("Sans Serif"));
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(layout.fontPointSize);
    return font;
}

DialogBaseUnits dialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    return {(width / 26 + 1) / 2, metrics.height()};
}

int dialogXToPixels(int x, DialogBaseUnits base) {
    return mulDiv(x, base.x, 4);
}

int dialogYToPixels(int y, DialogBaseUnits base) {
    return mulDiv(y, base.y, 8);
}

QRect dialogRectToPixels(int x, int y, int width, int height, DialogBaseUnits base) {
    return {dialogXToPixels(x, base), dialogYToPixels(y, base), dialogXToPixels(width, base),
            dialogYToPixels(height, base)};
}

}  // namespace ui::qt
